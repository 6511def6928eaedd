// transitlm: fits a planetary-transit model to a light curve.
//
//     transitlm PARAMETER_FILE DATA_FILE [RESULT_FILE]
#include "driver.h"

int main(int argc, char** argv) { return transitlm_main(argc, argv); }
