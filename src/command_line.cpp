#include "command_line.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>

CommandLineAction scan_command_line(int argc, char** argv, const char** unknown) {
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (a[0] != '-') continue;
        if (std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0)
            return CommandLineAction::kHelp;
        if (std::strcmp(a, "--version") == 0) return CommandLineAction::kVersion;
        struct stat st;
        if (stat(a, &st) != 0) {
            *unknown = a;
            return CommandLineAction::kUnknownOption;
        }
    }
    return CommandLineAction::kRun;
}

void print_version() { std::printf("transitlm %s\n", TRANSITLM_VERSION); }
