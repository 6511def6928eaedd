// The options both tools share: --help, -h and --version. Every other argument is a file name;
// one that begins with '-' and names no existing file is taken for a mistyped option.
#pragma once

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
