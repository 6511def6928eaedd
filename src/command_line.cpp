#include "command_line.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>

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

int leave(int status) {
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "The standard output can not be written.\n");
        return kExitUsage;
    }
    return status;
}

bool handled_command_line(int argc, char** argv, const char* tool, const char* usage,
                          const char* help, int* status) {
    const char* unknown = nullptr;
    switch (scan_command_line(argc, argv, &unknown)) {
        case CommandLineAction::kHelp:
            std::printf("%s%s", usage, help);
            *status = leave(kExitOk);
            return true;
        case CommandLineAction::kVersion:
            print_version();
            *status = leave(kExitOk);
            return true;
        case CommandLineAction::kUnknownOption:
            std::printf("Unknown option %s (a file of that name is ./%s); see %s --help\n", unknown,
                        unknown, tool);
            *status = leave(kExitUsage);
            return true;
        case CommandLineAction::kRun:
            break;
    }
    if (argc <= 1) {
        std::printf("%s", usage);
        *status = leave(kExitUsage);
        return true;
    }
    if (argc == 2) {
        std::printf("Data file is not specified.");
        *status = leave(kExitUsage);
        return true;
    }
    return false;
}

int run_tool(int (*run)(int, char**), int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {  // a size beyond what any allocator can give
    }
    std::printf("The memory for the fit can not be obtained.\n");
    return leave(kExitUsage);
}
