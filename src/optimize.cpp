#include "optimize.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "algebra.h"
#include "lustre.h"

namespace {
constexpr long double kPi = 3.14159265358979323851L;  // π rounded to 64 bits
}  // namespace

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
// Design set
// =============================================================================================

namespace {

// The range rules of the step admit e = 1 and R = 0, where the separation's derivatives and
// the change to stellar radii divide by zero; such vectors are evaluated just inside.
constexpr long double kRsunFloor = 0x1p-64L;  // far below any star seen from its planet

long double EvalEccentricity(long double e) {
    return e == 1.0L ? std::nextafter(1.0L, 0.0L) : e;  // exact on purpose
}
long double EvalRsun(long double rsun) { return rsun < kRsunFloor ? kRsunFloor : rsun; }

}  // namespace

void der_set_norm_ci(long double* lset, const long double* data, std::int64_t pointnum,
                     long double period, const long double* params, int parflag, int ldflag) {
    const FitCounts fc = count_fit(parflag, ldflag);
    const long double e = EvalEccentricity(params[1]);
    const long double omega = params[2];
    const long double ci = params[3];
    const long double R = EvalRsun(params[4]);
    const long double Rp = params[5];
    const long double rprs = Rp / R;
    const long double rq = R * R;

    for (std::int64_t i = 0; i < pointnum; ++i) {
        const long double t = data[3 * i];
        const long double tp = t / period;
        const long double M = (tp + tp) * kPi - params[0];
        long double dl, ddlf, ddle, ddlw, ddli;
        const int isoverlap =
            DeltaEccentric_omega_ci_d(M, e, omega, ci, &dl, &ddlf, &ddle, &ddlw, &ddli);
        if (!isoverlap) dl = R + Rp + 1.0L;  // behind the star: beyond any contact
        // Where the orbit passes exactly through the line of sight (S = 0), δ grows like
        // √(cos² i) and its slope by cos² i is infinite; every basis term is flat in x there
        // (and beyond contact), so the product is 0, not 0·∞.
        if (std::isinf(ddli)) ddli = 0.0L;
        const long double x = dl / R;

        // Basis values and their derivatives by x and by ρ, in basis order; a mask with bits
        // beyond the four terms gets zero columns for them.
        long double LMatr[6] = {}, D1LMatr[6] = {}, D2LMatr[6] = {};
        const long double l0 = L0(x, rprs), d1l0 = D1L0(x, rprs), d2l0 = D2L0(x, rprs);
        LMatr[0] = 1.0L - l0 / kPi;
        D1LMatr[0] = -d1l0 / kPi;
        D2LMatr[0] = -d2l0 / kPi;
        int k = 1;  // next basis index
        long double l1 = 0, d1l1 = 0, d2l1 = 0;
        if (ldflag & (2 | 4)) l1 = L1(x, rprs), d1l1 = D1L1(x, rprs), d2l1 = D2L1(x, rprs);
        if (ldflag & 2) {  // (1 - μ) - 1/3
            LMatr[k] = (l0 + l0) / 3.0L - l1;
            D1LMatr[k] = (d1l0 + d1l0) / 3.0L - d1l1;
            D2LMatr[k] = (d2l0 + d2l0) / 3.0L - d2l1;
            ++k;
        }
        if (ldflag & 4) {  // (1 - μ)² - 1/6 = 5/6 - 2μ + μ², with μ² = 1 - ρ²
            const long double l2 = L2(x, rprs), d1l2 = D1L2(x, rprs), d2l2 = D2L2(x, rprs);
            LMatr[k] = 11.0L * l0 / 6.0L - (l1 + l1) - l2;
            D1LMatr[k] = 11.0L * d1l0 / 6.0L - (d1l1 + d1l1) - d1l2;
            D2LMatr[k] = 11.0L * d2l0 / 6.0L - (d2l1 + d2l1) - d2l2;
            ++k;
        }
        if (ldflag & 8) {  // (1 - √μ) - 1/5
            const long double l3 = L3(x, rprs), d1l3 = D1L3(x, rprs), d2l3 = D2L3(x, rprs);
            LMatr[k] = 4.0L * l0 / 5.0L - l3;
            D1LMatr[k] = 4.0L * d1l0 / 5.0L - d1l3;
            D2LMatr[k] = 4.0L * d2l0 / 5.0L - d2l3;
            ++k;
        }

        // Chain rule through x = δ/R and ρ = Rp/R; M falls as φ0 grows.  A mask without the
        // uniform bit has fewer slots per row than terms computed: only ldnum are stored.
        long double* block = lset + i * fc.len;
        for (int b = 0; b < fc.ldnum; ++b) {
            const long double B = LMatr[b], Gx = D1LMatr[b], Grho = D2LMatr[b];
            int row = 0;
            block[row++ * fc.ldnum + b] = B;
            if (parflag & 1) block[row++ * fc.ldnum + b] = -(Gx * ddlf) / R;
            if (parflag & 2) block[row++ * fc.ldnum + b] = (Gx * ddle) / R;
            if (parflag & 4) block[row++ * fc.ldnum + b] = (Gx * ddlw) / R;
            if (parflag & 8) block[row++ * fc.ldnum + b] = (Gx * ddli) / R;
            if (parflag & 16) block[row++ * fc.ldnum + b] = -(Gx * dl + Grho * Rp) / rq;
            if (parflag & 32) block[row++ * fc.ldnum + b] = Grho / R;
        }
    }
}

// =============================================================================================
// Linear limb-darkening fit, residual, Levenberg-Marquardt step
// =============================================================================================

namespace {

// Disc integrals of the zero-mean profiles (1 - μ) - 1/3, (1 - μ)² - 1/6 and (1 - √μ) - 1/5
// are 0; these are -π/3, -π/6, -π/5, the weights of the law coefficients in the normalisation
// S = π + Σ Lf_b·u_b, looked up by the term's bit (lin, quad, sqrt), not its basis index.
constexpr long double kLf[3] = {-1.0471975511965977461L, -0.52359877559829887307L,
                                -0.62831853071795864770L};

constexpr int kMaxUnknowns = 9;  // six parameters and three coefficients

void ExitRun(int status) { std::exit(status); }

SingularStopHandler singular_stop = ExitRun;

// Ends the run on a linear system with a determinant of exactly zero.
[[noreturn]] void StopSingular(const char* message) {
    std::fputs(message, stdout);
    std::fflush(stdout);
    singular_stop(1);
    std::exit(1);  // a handler that returns still ends the run
}

}  // namespace

SingularStopHandler set_singular_stop_handler(SingularStopHandler handler) {
    const SingularStopHandler previous = singular_stop;
    singular_stop = handler;
    return previous;
}

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

// =============================================================================================
// Time of mid-transit and uncertainties of the reported values
// =============================================================================================

namespace {

constexpr long double kTwoPi = 6.283185307179586477L;

// ∂M_min/∂p for slot `slot` (1 e, 2 ω, 3 cos² i) by a central difference, one-sided at the
// edges of e ≥ 0 and 0 ≤ cos² i ≤ 1; a step across the ±π seam is unwrapped.
long double MidTransitSlope(const long double* params, int slot) {
    constexpr long double h = 1e-7L;
    long double lo[6], hi[6];
    for (int i = 0; i < 6; ++i) lo[i] = hi[i] = params[i];
    lo[slot] -= h;
    hi[slot] += h;
    if (slot != 2 && lo[slot] < 0.0L) lo[slot] = params[slot];
    if (slot == 1 && hi[slot] >= 1.0L) hi[slot] = params[slot];
    if (slot == 3 && hi[slot] > 1.0L) hi[slot] = params[slot];
    const long double diff = std::remainder(phmin_ci(EvalEccentricity(hi[1]), hi[2], hi[3]) -
                                                phmin_ci(EvalEccentricity(lo[1]), lo[2], lo[3]),
                                            kTwoPi);
    return diff / (hi[slot] - lo[slot]);
}

}  // namespace

long double phase_parameter(long double tshift, long double period, const long double* params) {
    const long double X = (2.0L * tshift * kPi) / period;
    return X - phmin_ci(EvalEccentricity(params[1]), params[2], params[3]);
}

long double mid_transit_time(const long double* params, long double period) {
    const long double mmin = phmin_ci(EvalEccentricity(params[1]), params[2], params[3]);
    return ((params[0] + mmin) * period) / kTwoPi;
}

FitUncertainties fit_uncertainties(const long double* lset, const long double* data,
                                   std::int64_t pointnum, long double period,
                                   const long double* params, int parflag, int ldflag,
                                   long double chi2) {
    FitUncertainties out{};
    const FitCounts fc = count_fit(parflag, ldflag);
    const int n = fc.parnum + fc.ldnum - 1;
    if (n == 0) return out;

    long double linf[4];
    fitted_lin(linf, data, lset, pointnum, parflag, ldflag);
    long double N[kMaxUnknowns * kMaxUnknowns], g[kMaxUnknowns];
    normal_equations(lset, data, pointnum, parflag, ldflag, linf, N, g);

    // Covariance: the inverse of the undamped normal matrix, column by column, scaled by the
    // reduced chi-square when the scatter exceeds the quoted uncertainties.
    long double cov[kMaxUnknowns * kMaxUnknowns];
    const long double scale = chi2 > 1.0L ? chi2 : 1.0L;
    for (int col = 0; col < n; ++col) {
        long double unit[kMaxUnknowns] = {}, x[kMaxUnknowns];
        unit[col] = 1.0L;
        if (LinearSolve_L(N, unit, x, n) == 0.0L) {
            // No information on some combination of the unknowns: nothing is bounded.
            for (int i = 0; i < 6; ++i) out.par[i] = (parflag & (1 << i)) ? INFINITY : 0.0L;
            for (int k = 0; k + 1 < fc.ldnum; ++k) out.ld[k] = INFINITY;
            return out;
        }
        for (int row = 0; row < n; ++row) cov[row * n + col] = x[row] * scale;
    }
    // σ of a linear function with gradient `grad` over the unknowns.
    auto sigma = [&](const long double* grad) {
        long double var = 0.0L;
        for (int a = 0; a < n; ++a)
            for (int b = 0; b < n; ++b) var += grad[a] * cov[a * n + b] * grad[b];
        return std::sqrt(var);
    };

    int unknown[6];  // position of each fitted parameter among the unknowns, or -1
    for (int i = 0, next = 0; i < 6; ++i) unknown[i] = (parflag & (1 << i)) ? next++ : -1;
    long double grad[kMaxUnknowns];
    auto clear = [&] {
        for (long double& v : grad) v = 0.0L;
    };

    // Time of mid-transit T = (φ0 + M_min(e, ω, cos² i))·P/(2π).
    if (parflag & (1 | 2 | 4 | 8)) {
        clear();
        const long double tscale = period / kTwoPi;
        if (unknown[0] >= 0) grad[unknown[0]] = tscale;
        for (int slot = 1; slot <= 3; ++slot)
            if (unknown[slot] >= 0) grad[unknown[slot]] = tscale * MidTransitSlope(params, slot);
        out.par[0] = sigma(grad);
    }
    const long double deg = 180.0L / kPi;
    for (int slot : {1, 2, 4, 5}) {
        if (unknown[slot] < 0) continue;
        clear();
        grad[unknown[slot]] = slot == 2 ? deg : 1.0L;
        out.par[slot] = sigma(grad);
    }
    if (unknown[3] >= 0) {
        // i = acos(√(cos² i)) has an infinite slope at i = 90°, where cos² i is quadratic in
        // the angle: take half the width of the image of the 1σ interval of cos² i instead,
        // which is the linear propagation wherever that is meaningful.
        clear();
        grad[unknown[3]] = 1.0L;
        const long double s = sigma(grad), ci = params[3];
        const long double lo = std::fmax(ci - s, 0.0L), hi = std::fmin(ci + s, 1.0L);
        out.par[3] = deg * (std::acos(std::sqrt(lo)) - std::acos(std::sqrt(hi))) / 2.0L;
    }

    // Law coefficients u_j = π·c_j/D with D = 1 - Σ Lf_b·c_b.
    long double lf[3];
    for (int term = 0, k = 0; term < 3; ++term)
        if (ldflag & (2 << term)) lf[k++] = kLf[term];
    long double D = 1.0L;
    for (int k = 0; k + 1 < fc.ldnum; ++k) D -= lf[k] * linf[k];
    for (int j = 0; j + 1 < fc.ldnum; ++j) {
        clear();
        for (int k = 0; k + 1 < fc.ldnum; ++k)
            grad[fc.parnum + k] = kPi * linf[j] * lf[k] / (D * D) + (j == k ? kPi / D : 0.0L);
        out.ld[j] = sigma(grad);
    }
    return out;
}

// =============================================================================================
// The run's input as the command-line tools read it
// =============================================================================================

namespace {
constexpr long double kDegToRad = 0.017453292519943295769L;  // π/180 rounded to 64 bits
}  // namespace

bool read_parameters(const char* fnm, long double* inp, long double* par, int* pflag, int* lflag) {
    inp[kInTshift] = 0.0L;
    const int res = load_input(fnm, inp, pflag, lflag);
    if (res == 1) {
        std::printf("The input file can not be opened.");
        return false;
    }
    // A radius that is zero, negative or not a number would divide every model evaluation by
    // zero; values of 1 and above are unusual but meaningful and pass.
    if (res == 2 || !(inp[kInRsun] > 0.0L)) {
        std::printf("The input file does not contain a valid value of radius of star (0 < R* < 1)");
        return false;
    }
    // An endless run is never what was meant; a count below 1 or NaN runs no step.
    if (std::isinf(inp[kInIterations]) && inp[kInIterations] > 0.0L) {
        std::printf("The input file asks for an infinite number of iterations.\n");
        return false;
    }

    for (int i = 1; i <= 5; ++i) par[i] = inp[i];
    // Times π first, then / 180: the order fixes the last bit of cos² i.
    const long double theta = (inp[kInInclination] * kPi) / 180.0L;
    const long double ci = std::cos(theta);
    par[3] = ci * ci;
    par[2] = par[2] * kDegToRad;
    par[0] = 0.0L;  // the phase parameter is set once the period is known to the fit
    return true;
}

bool read_observations(const char* fnm, std::unique_ptr<long double[]>* data, std::int64_t* pnum) {
    long double* raw = nullptr;
    TableError err;
    const std::int64_t count = load_table(fnm, &raw, &err);
    data->reset(raw);
    switch (err.kind) {
        case TableError::kNone:
            break;
        case TableError::kOpen:
            std::printf("The data file can not be opened.\n");
            return false;
        case TableError::kNotNumber:
            std::printf("The data file holds a value that is not a number on line %lld: %s\n",
                        static_cast<long long>(err.line), err.word.c_str());
            return false;
        case TableError::kUncertainty:
            std::printf("The data file holds an uncertainty that is not positive on line %lld.\n",
                        static_cast<long long>(err.line));
            return false;
    }
    *pnum = count / 3;  // a last group of one or two values is no observation
    if (*pnum == 0) {
        std::printf("The data file holds no observations.\n");
        return false;
    }
    return true;
}

long double degrees(long double rad) { return (rad * 180.0L) / kPi; }

long double inclination_degrees(long double ci) { return degrees(std::acos(std::sqrt(ci))); }

void report_values(const long double* params, long double period, long double* shown) {
    shown[0] = mid_transit_time(params, period);
    shown[1] = params[1];
    shown[2] = degrees(params[2]);
    shown[3] = inclination_degrees(params[3]);
    shown[4] = params[4];
    shown[5] = params[5];
}
