// Output files that are never left half written.
//
// A regular file (or a name that does not exist yet) is written to a temporary file in the same
// directory, which replaces the target by rename() only once it is complete, flushed and synced:
// a run that is killed, or that fails on a full disc, leaves the earlier file as it was. A symbolic
// link keeps pointing where it did: the file it names is the one replaced.
//
// Special files are written in place, since they cannot be renamed over and hold no earlier
// result to lose: a FIFO, a terminal or another device, and names of open descriptors
// (/dev/stdout, /dev/stderr, /dev/fd/N, /proc/self/fd/N). Where such a name, or any name, is the
// file behind standard output or standard error, the output goes through that stream, after what
// has already been printed there, so that nothing written there is overwritten or padded.
#pragma once

#include <cstdio>
#include <string>

class OutputFile {
   public:
    OutputFile() = default;
    ~OutputFile();  // an output not committed is discarded
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Opens the stream that will become `path`; false (with errno set) when it cannot be made.
    bool open(const char* path);
    // The stream to write to; null before a successful open().
    std::FILE* stream() const { return stream_; }
    // Whether open() chose to write the target in place (a special file).
    bool in_place() const { return in_place_; }

    // Makes the written bytes the target's: flush, sync, close, rename. False when a write
    // failed before or any of these steps fails; a regular target is then left untouched.
    bool commit();
    // Drops what was written: the temporary file is removed, the target left untouched.
    void discard();

   private:
    std::FILE* stream_ = nullptr;
    bool borrowed_ = false;  // stream_ is stdout or stderr, which stay open
    bool in_place_ = false;
    std::string target_;     // the file to replace (a symbolic link resolved)
    std::string temporary_;  // beside it; empty when writing in place
};

// Removes the temporary file of the output being written, if any. Only async-signal-safe
// calls: for a signal handler that ends the process at once.
void output_file_remove_pending();
