// The whole run of the tool as a function (defined in main.cpp, the Driver), so that a
// program can run it in-process.
#pragma once

// Runs `transitlm` on the command line argv[0..argc-1] and returns its exit status. The run
// keeps its state in variables of the Driver and sets all of them before use, so it may be
// called again. An exactly singular system of the fit ends the process (see
// set_singular_stop_handler in optimize.h).
int transitlm_main(int argc, char** argv);
