// Helpers shared by the tests: distances in units in the last place, named tolerances, central
// differences, and running the built tools on files in a temporary directory.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "constants.h"

// Distance of a and b in units in the last place of the larger one (64-bit significand).
inline long double UlpDistance(long double a, long double b) {
    if (a == b) return 0.0L;
    if (std::isnan(a) || std::isnan(b)) return INFINITY;  // a NaN never passes
    const long double big = std::fmax(std::fabs(a), std::fabs(b));
    return std::fabs(a - b) / std::ldexp(1.0L, std::ilogb(big) - 63);
}

constexpr long double kUlps4 = 4.0L;
constexpr long double kUlps16 = 16.0L;

// Long doubles to all their digits, for failure messages.
inline std::string Show(std::initializer_list<long double> values) {
    std::ostringstream s;
    s.precision(21);
    for (long double v : values) s << ' ' << v;
    return s.str();
}

// f'(0) by the five-point central difference of step h, entry by entry when f gives a vector:
// the error is O(h⁴), so a lost factor or sign shows as an O(1) miss.
template <class F>
auto FivePoint(F f, long double h) {
    auto a = f(-2 * h), b = f(-h), c = f(h), d = f(2 * h);
    if constexpr (std::is_floating_point_v<decltype(a)>) {
        return (8 * (c - b) - (d - a)) / (12 * h);
    } else {
        for (std::size_t i = 0; i < a.size(); ++i)
            a[i] = (8 * (c[i] - b[i]) - (d[i] - a[i])) / (12 * h);
        return a;
    }
}

// A table of reference values (tests/data/*.txt), one case a line: NAME ARGUMENT... = VALUE
// TOLERANCE UNIT, UNIT one of ulp (of the larger), abs, rel, or same (bit for bit: the sign of a
// zero, NaN for NaN). Lines starting with '#' are comments. VALUE "finite" (with no tolerance)
// asks for any finite value; another VALUE that is not a number names a value the test forms.
struct RefCase {
    std::string name, value, unit, line;
    std::vector<long double> args;
    long double want, tol;
    // Whether `got` is the value within the tolerance; a NaN meets only "nan ... same".
    bool Meets(long double got) const {
        if (value == "finite") return std::isfinite(got);
        if (unit == "same")
            return std::isnan(want) ? std::isnan(got)
                                    : got == want && std::signbit(got) == std::signbit(want);
        if (got == want) return true;  // infinities too
        const long double miss = unit == "ulp" ? UlpDistance(got, want) : std::fabs(got - want);
        return miss <= (unit == "rel" ? tol * std::fabs(want) : tol);
    }
};

inline std::vector<RefCase> ReadRefCases(const std::string& file) {
    std::vector<RefCase> cases;
    std::ifstream in(file);
    for (std::string line, word; std::getline(in, line);) {
        std::istringstream words(line);
        RefCase c{"", "", "", line, {}, 0, 0};
        if (!(words >> c.name) || c.name[0] == '#') continue;
        while (words >> word && word != "=") c.args.push_back(std::strtold(word.c_str(), nullptr));
        std::string tol;
        words >> c.value >> tol >> c.unit;
        c.want = std::strtold(c.value.c_str(), nullptr), c.tol = std::strtold(tol.c_str(), nullptr);
        cases.push_back(c);
    }
    return cases;
}

// The text of a case line with its escapes decoded: \n \t \r \0 \\ and \xHH.
inline std::string Unescape(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char c = s[i] == '\\' && i + 1 < s.size() ? s[++i] : 0;
        const std::size_t named = std::string("ntr0").find(c);
        if (c == 'x')
            out += char(std::stoi(s.substr(i + 1, 2), nullptr, 16)), i += 2;
        else
            out += c == 0 ? s[i] : named == std::string::npos ? c : "\n\t\r\0"[named];
    }
    return out;
}

// Whether this build runs under AddressSanitizer (make sanitize): its shadow memory reserves far
// more address space than any `ulimit -v` leaves, so a tool run under such a limit cannot start.
#ifndef __has_feature
#define __has_feature(x) 0
#endif
#if defined(__SANITIZE_ADDRESS__) || __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif

// A directory under /tmp that lives as long as the object.
class TempDir {
   public:
    TempDir() {
        char name[] = "/tmp/transitlm-test-XXXXXX";
        const char* made = mkdtemp(name);
        path_ = made ? made : "/tmp";
    }
    ~TempDir() {
        if (path_ != "/tmp") (void)std::system(("rm -rf '" + path_ + "'").c_str());
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // Writes `text` (bytes as given) to a file of this directory; returns its path.
    std::string Write(const std::string& name, const std::string& text) const {
        const std::string file = path_ + "/" + name;
        std::ofstream(file, std::ios::binary) << text;
        return file;
    }
    std::string Read(const std::string& name) const { return ReadFile(path_ + "/" + name); }

    static std::string ReadFile(const std::string& file) {
        std::ostringstream all;
        all << std::ifstream(file, std::ios::binary).rdbuf();
        return all.str();
    }

   private:
    std::string path_;
};

struct CliResult {
    std::string out;  // standard output, byte for byte
    int status;       // exit status, or -1 when the tool did not exit normally
    std::string err;  // standard error
};

inline std::string ShellQuote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += (c == '\'') ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Runs `program` with the given arguments after the shell commands `prefix`.
inline CliResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                            const std::string& prefix = "") {
    char err_file[] = "/tmp/transitlm-stderr-XXXXXX";
    const int fd = mkstemp(err_file);
    if (fd >= 0) close(fd);
    std::string cmd = prefix + ShellQuote(program);
    for (const auto& a : args) cmd += " " + ShellQuote(a);
    cmd += fd >= 0 ? " 2>" + ShellQuote(err_file) : " 2>/dev/null";
    CliResult res{"", -1, ""};
    FILE* pipe = popen(cmd.c_str(), "r");
    if (pipe) {
        char buf[4096];
        size_t got;
        while ((got = fread(buf, 1, sizeof buf, pipe)) > 0) res.out.append(buf, got);
        const int raw = pclose(pipe);
        if (raw != -1 && WIFEXITED(raw)) res.status = WEXITSTATUS(raw);
    }
    if (fd >= 0) {
        res.err = TempDir::ReadFile(err_file);
        unlink(err_file);
    }
    return res;
}

inline CliResult RunTool(const std::vector<std::string>& args, const std::string& prefix = "") {
    return RunProgram(TRANSITLM_BIN, args, prefix);
}

// The number after `name` on the first line of a report that starts with it, or NaN.
inline long double ReportValue(const std::string& out, const std::string& name) {
    std::size_t at = out.compare(0, name.size(), name) == 0 ? 0 : out.find("\n" + name);
    if (at == std::string::npos) return NAN;
    if (out[at] == '\n') ++at;
    return std::strtold(out.c_str() + at + name.size(), nullptr);
}
