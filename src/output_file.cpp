#include "output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>

namespace {

// The temporary file being written, for output_file_remove_pending: a fixed buffer, so that a
// signal handler reads it without allocating. The flag is set only once the name is complete.
char pending_name[PATH_MAX + 64];
volatile std::sig_atomic_t pending = 0;

void SetPending(const std::string& name) {
    pending = 0;
    if (name.size() >= sizeof pending_name) return;  // open() refuses such names anyway
    std::memcpy(pending_name, name.c_str(), name.size() + 1);
    pending = 1;
}

// Names that stand for a descriptor of this process rather than a file of their own.
bool NamesDescriptor(const std::string& path) {
    for (const char* prefix : {"/dev/stdout", "/dev/stderr", "/dev/fd/", "/proc/self/fd/"})
        if (path.compare(0, std::strlen(prefix), prefix) == 0) return true;
    return false;
}

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The standard stream whose file is `st`, if any.
std::FILE* StandardStreamOf(const struct stat& st) {
    struct stat s;
    if (fstat(STDOUT_FILENO, &s) == 0 && SameFile(s, st)) return stdout;
    if (fstat(STDERR_FILENO, &s) == 0 && SameFile(s, st)) return stderr;
    return nullptr;
}

std::string DirectoryOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

OutputFile::~OutputFile() { discard(); }

bool OutputFile::open(const char* path) {
    discard();
    struct stat st;
    const bool exists = stat(path, &st) == 0;
    if (exists) {
        if (std::FILE* standard = StandardStreamOf(st)) {
            std::fflush(standard);
            stream_ = standard;
            borrowed_ = in_place_ = true;
            return true;
        }
    }
    if (NamesDescriptor(path) || (exists && !S_ISREG(st.st_mode))) {
        // A regular file behind a descriptor is appended to: whoever opened it may be writing
        // there too, and truncating would leave them a hole of zero bytes.
        const int flags = exists && S_ISREG(st.st_mode) ? O_WRONLY | O_APPEND : O_WRONLY;
        const int fd = ::open(path, flags | O_CLOEXEC);
        if (fd < 0) return false;
        stream_ = fdopen(fd, "w");
        if (!stream_) {
            ::close(fd);
            return false;
        }
        in_place_ = true;
        return true;
    }

    target_ = path;
    struct stat link;
    if (exists && lstat(path, &link) == 0 && S_ISLNK(link.st_mode)) {
        char resolved[PATH_MAX];
        if (realpath(path, resolved)) target_ = resolved;
    }
    const std::string dir = DirectoryOf(target_);
    const std::string base = target_.substr(target_.find_last_of('/') + 1);
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        temporary_ = dir + "/." + base + "." + std::to_string(getpid()) + "-" +
                     std::to_string(attempt) + ".tmp";
        if (temporary_.size() >= sizeof pending_name) {
            errno = ENAMETOOLONG;
            break;
        }
        // 0666 less the umask, as for a file created by fopen; an existing target's mode is
        // kept below.
        fd = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        temporary_.clear();
        return false;
    }
    SetPending(temporary_);
    if (exists) (void)fchmod(fd, st.st_mode & 07777);
    stream_ = fdopen(fd, "w");
    if (!stream_) {
        ::close(fd);
        discard();
        return false;
    }
    return true;
}

bool OutputFile::commit() {
    if (!stream_) return false;
    bool ok = std::fflush(stream_) == 0 && !std::ferror(stream_);
    if (borrowed_) {
        stream_ = nullptr;
        borrowed_ = in_place_ = false;
        return ok;
    }
    if (!temporary_.empty()) ok = fsync(fileno(stream_)) == 0 && ok;
    ok = std::fclose(stream_) == 0 && ok;
    stream_ = nullptr;
    in_place_ = false;
    if (temporary_.empty()) return ok;
    ok = ok && std::rename(temporary_.c_str(), target_.c_str()) == 0;
    if (ok) {
        // The rename itself is durable once the directory is synced.
        const int dir = ::open(DirectoryOf(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            (void)fsync(dir);
            ::close(dir);
        }
    } else {
        const int saved = errno;
        (void)unlink(temporary_.c_str());
        errno = saved;
    }
    pending = 0;
    temporary_.clear();
    return ok;
}

void OutputFile::discard() {
    if (stream_ && !borrowed_) std::fclose(stream_);
    stream_ = nullptr;
    borrowed_ = in_place_ = false;
    if (!temporary_.empty()) {
        pending = 0;
        (void)unlink(temporary_.c_str());
        temporary_.clear();
    }
}

void output_file_remove_pending() {
    if (pending) (void)unlink(pending_name);
}
