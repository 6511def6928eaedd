// Helpers of the fuzz targets: a scratch directory for the files the readers open, and a check
// that aborts (which libFuzzer reports as a finding) with the condition that failed.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#define FUZZ_CHECK(cond)                                                                  \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)

// A directory of this process for the files given to the readers, on /dev/shm when there is
// one (no disk traffic at millions of runs), removed with its files when the process exits.
class ScratchDir {
   public:
    static ScratchDir& Get() {
        static ScratchDir dir;
        return dir;
    }
    // The path of file `name` of the directory; the file is removed at exit.
    std::string File(const std::string& name) {
        const std::string path = path_ + "/" + name;
        files_.push_back(path);
        return path;
    }

   private:
    ScratchDir() {
        for (const char* base : {"/dev/shm", "/tmp"}) {
            std::string name = std::string(base) + "/transitlm-fuzz-XXXXXX";
            if (mkdtemp(&name[0])) {
                path_ = name;
                break;
            }
        }
        FUZZ_CHECK(!path_.empty());
    }
    ~ScratchDir() {
        for (const std::string& f : files_) std::remove(f.c_str());
        rmdir(path_.c_str());
    }
    std::string path_;
    std::vector<std::string> files_;
};

// Writes `size` bytes to `path`, replacing the file.
inline void WriteBytes(const std::string& path, const void* bytes, std::size_t size) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    FUZZ_CHECK(f != nullptr);
    FUZZ_CHECK(size == 0 || std::fwrite(bytes, 1, size, f) == size);
    FUZZ_CHECK(std::fclose(f) == 0);
}
