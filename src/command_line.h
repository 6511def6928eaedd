// What both tools share on the command line: the exit statuses, the options --help, -h and
// --version, the first arguments and the way out. Every other argument is a file name; one that
// begins with '-' and names no existing file is taken for a mistyped option.
#pragma once

// The exit statuses of both tools.
enum ExitStatus {
    kExitOk = 0,         // a completed run
    kExitSingular = 1,   // a linear system of the fit had a determinant of exactly zero
    kExitUsage = 2,      // a usage, input or output error
    kExitNotFinite = 3,  // a result that is not a finite number (nothing written)
    kExitSignal = 128,   // plus the signal: a fit stopped early by SIGINT (130) or SIGTERM (143)
};

enum class CommandLineAction {
    kRun,            // no option: the arguments are file names
    kHelp,           // --help or -h: print the usage, status 0
    kVersion,        // --version: print "transitlm VERSION", status 0
    kUnknownOption,  // an argument like an option that is none and names no file
};

// Scans argv[1..argc-1] in order; the first option met decides. For kUnknownOption, *unknown
// is the argument.
CommandLineAction scan_command_line(int argc, char** argv, const char** unknown);

// "transitlm VERSION\n", the line both tools print for --version.
void print_version();

// Every way out of a tool goes through here, so that standard output is flushed once, at the
// end; an output that did not reach its reader (a full disk, a closed pipe) turns `status` into
// kExitUsage, said on standard error.
int leave(int status);

// The options and the first two arguments, as both tools take them: --help or -h prints
// `usage` and `help`, --version the version line (status 0); an unknown option is named with
// a pointer to `tool --help`; no argument prints `usage`, a parameter file alone says that the
// data file is missing (status 2). Returns true when the run ends there, with *status.
bool handled_command_line(int argc, char** argv, const char* tool, const char* usage,
                          const char* help, int* status);

// `run`(argc, argv), where memory that can not be had ends the run with its message, status 2.
int run_tool(int (*run)(int, char**), int argc, char** argv);
