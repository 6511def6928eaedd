#include "optimize.h"
