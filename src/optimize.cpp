#include "optimize.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "algebra.h"
#include "lustre.h"

// =============================================================================================
// Input files
// =============================================================================================

namespace {

// Reads the whole file into `text`; false when it cannot be opened or read (a directory opens
// on Linux but fails on the first read).  Reading to the end also serves pipes, which cannot
// seek.
bool ReadWholeFile(const char* fnm, std::string* text) {
    std::FILE* f = std::fopen(fnm, "r");
    if (!f) return false;
    text->clear();
    char chunk[1 << 16];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0) text->append(chunk, got);
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    return !failed;
}

// The twelve keys in search order; a trailing blank is part of the key.
constexpr const char* kInputKeys[12] = {"tshift ", "eccentr ", "periastr ", "inclination ",
                                        "rsun ",   "rplanet ", "period ",   "iterations",
                                        "lm",      "lin",      "quad",      "sqrt"};
constexpr int kKeyLin = 9;
constexpr int kFirstLdKey = 9;   // "lin", "quad", "sqrt" select terms 2, 4, 8
constexpr int kLastMarkKey = 5;  // "tshift " .. "rplanet " may carry "f" marks
constexpr int kLastValueKey = 8;

}  // namespace

int load_input(const char* fnm, long double* tbl, int* pflag, int* lflag) {
    for (int slot : {kInEccentr, kInPeriastr, kInRsun, kInRplanet, kInPeriod, kInIterations, kInLm})
        tbl[slot] = 0.0L;
    tbl[kInInclination] = 90.0L;
    *pflag = 0;
    *lflag = 1;

    std::string text;
    if (!ReadWholeFile(fnm, &text)) return 1;
    // The text ends with a line feed of its own; std::string adds the terminator that stops
    // strtold, so no search, conversion or mark scan leaves the bytes that were read.
    text.push_back('\n');
    if (text.find("rsun ") == std::string::npos) return 2;

    for (int key = 0; key < 12; ++key) {
        const std::string name = kInputKeys[key];
        std::size_t at = text.find(name);
        // The first "lin" is usually the one inside "inclination": look once more past it.
        if (key == kKeyLin && at != std::string::npos && text[at + name.size()] == 'a')
            at = text.find(name, at + name.size());
        if (at == std::string::npos) continue;
        const std::size_t after = at + name.size();

        if (key <= kLastValueKey) tbl[key] = std::strtold(text.c_str() + after, nullptr);
        if (key <= kLastMarkKey) {
            // The character right after the key is not examined; the scan runs to the line
            // end over the number and whatever else stands on the line.
            for (std::size_t i = after + 1; i < text.size() && text[i] != '\n'; ++i)
                if (text[i] == 'f') *pflag |= 1 << key;
        }
        if (key >= kFirstLdKey) *lflag |= 2 << (key - kFirstLdKey);
    }

    if (tbl[kInPeriod] <= 0.0L) tbl[kInPeriod] = 1.0L;            // NaN stays
    if (tbl[kInIterations] == 0.0L) tbl[kInIterations] = 100.0L;  // exact on purpose
    return 0;
}

bool isnumchar(char c) {
    return (c >= '0' && c <= '9') || c == 'E' || c == 'e' || c == '+' || c == '-' || c == '.';
}

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f' || c == '\0';
}

// The whitespace-separated word of `text` around position `at`, for messages; a word that
// runs on and on is cut, so a binary file cannot flood the terminal.
std::string WordAround(const std::string& text, std::size_t at) {
    constexpr std::size_t kMaxWord = 80;
    std::size_t begin = at, end = at;
    while (begin > 0 && !IsBlank(text[begin - 1]) && text[begin - 1] != '\n') --begin;
    while (end < text.size() && !IsBlank(text[end]) && text[end] != '\n') ++end;
    if (end - begin > kMaxWord) return text.substr(begin, kMaxWord) + "...";
    return text.substr(begin, end - begin);
}

// Calls visit(begin, end, line) for every run of number characters outside comment lines (a
// line whose first non-blank character is '#'), in file order; stops early when visit
// returns false.
template <typename Visit>
void ForEachToken(const std::string& text, Visit visit) {
    std::size_t i = 0;
    std::int64_t line = 1;
    // A UTF-8 byte-order mark from a spreadsheet export is not part of the first line.
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) i = 3;
    bool line_start = true;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '\n') {
            ++line;
            line_start = true;
            ++i;
            continue;
        }
        if (line_start && c == '#') {
            while (i < text.size() && text[i] != '\n') ++i;
            continue;
        }
        if (!IsBlank(c)) line_start = false;
        if (!isnumchar(c)) {
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < text.size() && isnumchar(text[end])) ++end;
        if (!visit(i, end, line)) return;
        i = end;
    }
}

}  // namespace

std::int64_t load_table(const char* fnm, long double** tbl, TableError* err) {
    TableError local;
    TableError& e = err ? *err : local;
    e = TableError{};
    *tbl = nullptr;

    std::string text;
    if (!ReadWholeFile(fnm, &text)) {
        e.kind = TableError::kOpen;
        return -1;
    }

    std::int64_t count = 0;
    ForEachToken(text, [&](std::size_t, std::size_t, std::int64_t) {
        ++count;
        return true;
    });

    std::unique_ptr<long double[]> values(new long double[count]);
    std::int64_t stored = 0;
    std::string token;
    ForEachToken(text, [&](std::size_t begin, std::size_t end, std::int64_t line) {
        // The token is converted whole: a lone sign or point, the "e" of a word, a date such
        // as 2020-01-05 or a value that overflows is refused rather than guessed.
        token.assign(text, begin, end - begin);
        char* stop = nullptr;
        const long double v = std::strtold(token.c_str(), &stop);
        if (stop != token.c_str() + token.size() || std::isinf(v)) {
            e.kind = TableError::kNotNumber;
            e.line = line;
            e.word = WordAround(text, begin);
            return false;
        }
        // Every sum of the fit divides by the square of the uncertainty.
        if (stored % 3 == 2 && !(v > 0.0L)) {
            e.kind = TableError::kUncertainty;
            e.line = line;
            return false;
        }
        values[stored++] = v;
        return true;
    });
    if (e.kind != TableError::kNone) return -1;

    *tbl = values.release();
    return count;
}

// =============================================================================================
// Fit state
// =============================================================================================

int count_bits(int mask) {
    int n = 0;
    for (int bit = 1; bit <= 32; bit <<= 1)
        if (mask & bit) ++n;
    return n;
}

FitCounts count_fit(int parflag, int ldflag) {
    FitCounts c;
    c.ldnum = count_bits(ldflag);
    c.parnum = count_bits(parflag);
    c.len = (c.parnum + 1) * c.ldnum;
    return c;
}

// =============================================================================================
// Linear limb-darkening fit, residual, Levenberg-Marquardt step
// =============================================================================================

namespace {

constexpr long double kPi = 3.14159265358979323851L;

// Disc integrals of the zero-mean profiles (1 - μ) - 1/3, (1 - μ)² - 1/6 and (1 - √μ) - 1/5
// are 0; these are -π/3, -π/6, -π/5, the weights of the law coefficients in the normalisation
// S = π + Σ Lf_b·u_b, looked up by the term's bit (lin, quad, sqrt), not its basis index.
constexpr long double kLf[3] = {-1.0471975511965977461L, -0.52359877559829887307L,
                                -0.62831853071795864770L};

constexpr int kMaxUnknowns = 9;  // six parameters and three coefficients

// Ends the run on a linear system with a determinant of exactly zero.
[[noreturn]] void StopSingular(const char* message) {
    std::fputs(message, stdout);
    std::fflush(stdout);
    std::exit(1);
}

}  // namespace

void fitted_lin(long double* linfit, const long double* data, const long double* lset,
                std::int64_t pointnum, int parflag, int ldflag) {
    const FitCounts fc = count_fit(parflag, ldflag);
    const int n = fc.ldnum - 1;
    long double LMatr[25] = {};
    long double LCol[5] = {};
    for (std::int64_t i = 0; i < pointnum; ++i) {
        const long double* B = lset + i * fc.len;
        const long double y = data[3 * i + 1];
        const long double sigma = data[3 * i + 2];
        const long double v = sigma * sigma;
        for (int j = 1; j <= n; ++j)
            for (int k = 1; k <= n; ++k) LMatr[(j - 1) * n + (k - 1)] += (B[j] * B[k]) / v;
        // The uniform term keeps its fixed coefficient 1 and moves to the data side.
        for (int j = 1; j <= n; ++j) LCol[j - 1] += ((y - B[0]) * B[j]) / v;
    }
    const long double det = LinearSolve_L(LMatr, LCol, linfit, n);
    if (det == 0.0L) StopSingular("null det linfit \n");  // exact on purpose; NaN passes
}

void linfit2ld(long double* ld, const long double* linfit, int ldflag) {
    long double s = 1.0L;
    int next = 0;
    for (int term = 0; term < 3; ++term)
        if (ldflag & (2 << term)) s = s - kLf[term] * linfit[next++];
    s = s / kPi;  // s = 1/S
    for (int k = 0; k < next; ++k) ld[k] = linfit[k] / s;
}

long double residual(const long double* lset, const long double* data, std::int64_t pointnum,
                     int parflag, int ldflag) {
    const FitCounts fc = count_fit(parflag, ldflag);
    long double linf[4];
    fitted_lin(linf, data, lset, pointnum, parflag, ldflag);
    long double res = 0.0L;
    for (std::int64_t i = 0; i < pointnum; ++i) {
        const long double* B = lset + i * fc.len;
        long double s = B[0];
        for (int k = 1; k < fc.ldnum; ++k) s = B[k] * linf[k - 1] + s;
        s = s - data[3 * i + 1];
        const long double eps = data[3 * i + 2] * data[3 * i + 2];
        res = res + (s / eps) * s;
    }
    return res / pointnum;
}

void normal_equations(const long double* lset, const long double* data, std::int64_t pointnum,
                      int parflag, int ldflag, const long double* linf, long double* LMatr,
                      long double* LCol) {
    const FitCounts fc = count_fit(parflag, ldflag);
    const int n = fc.parnum + fc.ldnum - 1;
    for (int a = 0; a < n * n; ++a) LMatr[a] = 0.0L;
    for (int a = 0; a < n; ++a) LCol[a] = 0.0L;
    long double d[kMaxUnknowns + 1];  // the model flux, then one Jacobian row
    for (std::int64_t i = 0; i < pointnum; ++i) {
        const long double* R = lset + i * fc.len;
        const long double y = data[3 * i + 1];
        const long double v = data[3 * i + 2] * data[3 * i + 2];
        // Row m of the block: the model and its derivatives at fixed coefficients.
        for (int m = 0; m <= fc.parnum; ++m) {
            const long double* row = R + m * fc.ldnum;
            d[m] = row[0];
            for (int k = 1; k < fc.ldnum; ++k) d[m] = d[m] + row[k] * linf[k - 1];
        }
        for (int k = 1; k < fc.ldnum; ++k) d[fc.parnum + k] = R[k];
        const long double* J = d + 1;
        for (int a = 0; a < n; ++a)
            for (int b = 0; b < n; ++b) LMatr[a * n + b] += (J[a] * J[b]) / v;
        for (int a = 0; a < n; ++a) LCol[a] += ((y - d[0]) * J[a]) / v;
    }
}

long double lm_step(const long double* lset, const long double* data, std::int64_t pointnum,
                    long double* par, int parflag, int ldflag, long double lambda) {
    long double linf[4];
    fitted_lin(linf, data, lset, pointnum, parflag, ldflag);
    const FitCounts fc = count_fit(parflag, ldflag);
    const int n = fc.parnum + fc.ldnum - 1;
    long double LMatr[kMaxUnknowns * kMaxUnknowns];
    long double LCol[kMaxUnknowns];
    long double dpar[kMaxUnknowns];
    normal_equations(lset, data, pointnum, parflag, ldflag, linf, LMatr, LCol);

    // The damping grows with the length of the gradient, the same on every diagonal entry.
    long double g2 = 0.0L;
    for (int a = 0; a < n; ++a) g2 = g2 + LCol[a] * LCol[a];
    const long double mu = std::sqrt(g2);
    for (int a = 0; a < n; ++a) LMatr[a * n + a] = LMatr[a * n + a] + lambda * mu;

    const long double det = LinearSolve_L(LMatr, LCol, dpar, n);
    if (det == 0.0L) StopSingular("null det lm");  // exact on purpose; NaN passes

    long double step = 0.0L;
    int next = 0;
    for (int index = 0; index < 6; ++index) {
        if (!(parflag & (1 << index))) continue;
        const long double delta = dpar[next++];
        step = step + std::fabs(delta);
        par[index] = par[index] + delta;
    }
    // Range rules, strict comparisons so that a NaN stays.  The radius resets are doubles
    // widened on purpose.
    if (par[1] > 1.0L) par[1] = 1.0L;
    if (par[1] < 0.0L) par[1] = 0.0L;
    if (par[3] > 1.0L) par[3] = 1.0L;
    if (par[3] < 0.0L) par[3] = 0.0L;
    if (par[4] > 1.0L || par[4] < 0.0L) par[4] = 0.09;
    if (par[5] > 1.0L || par[5] < 0.0L) par[5] = 0.009;
    return step;
}
