// The fit: counts of the unknowns, the limb-darkening solve, the residual and the
// Levenberg-Marquardt step, the time of mid-transit and the uncertainties of the reported values.
#include "optimize.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "algebra.h"
#include "constants.h"
#include "lustre.h"
#include "optimize_sums.h"

using namespace detail;  // the private engine of the fitting library

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

FitCounts count_fit_period(int parflag, int ldflag) {
    FitCounts c = count_fit(parflag, ldflag);
    if (parflag & kFitPeriod) c.parnum += 1;
    c.len = (c.parnum + 1) * c.ldnum;
    return c;
}

// =============================================================================================
// Linear limb-darkening fit, residual, Levenberg-Marquardt step
// =============================================================================================

namespace {

// Range rules of a step, strict comparisons so that a NaN stays.  The radius resets are
// doubles widened on purpose.
void KeepInRange(long double* par) {
    if (par[1] > 1.0L) par[1] = 1.0L;
    if (par[1] < 0.0L) par[1] = 0.0L;
    if (par[3] > 1.0L) par[3] = 1.0L;
    if (par[3] < 0.0L) par[3] = 0.0L;
    if (par[4] > 1.0L || par[4] < 0.0L) par[4] = 0.09;
    if (par[5] > 1.0L || par[5] < 0.0L) par[5] = 0.009;
}

}  // namespace

namespace detail {

// Applies the increments `dpar` of the fitted parameters (in bit order, the period last) to par
// and *period, then the range rules; returns the sum of the applied |increments|. With the
// period the time unknowns are T_n and P, as in the design set (with the phase of least
// separation of the orbit before the step); the phase parameter follows them.
long double ApplyStep(const long double* dpar, long double* par, long double* period,
                      long double epoch, int parflag) {
    const bool fit_period = parflag & kFitPeriod;
    long double mmin = 0.0L, tref = 0.0L;
    if (fit_period) {
        mmin = phmin_ci(EvalEccentricity(par[1]), par[2], par[3]);
        tref = ((par[0] + mmin) * *period) / kTwoPi + epoch * *period;
    }
    long double step = 0.0L;
    int next = 0;
    for (int index = 0; index < kGeometricCount; ++index) {
        if (!(parflag & FitBit(index))) continue;
        const long double delta = dpar[next++];
        step = step + std::fabs(delta);
        if (fit_period && index == 0)
            tref = tref + delta;
        else
            par[index] = par[index] + delta;
    }
    if (fit_period) {
        long double delta = dpar[next++];
        if (*period + delta <= 0.0L) delta = -*period / 2;  // NaN passes, as in the rules below
        step = step + std::fabs(delta);
        *period = *period + delta;
        par[0] = (kTwoPi * (tref - epoch * *period)) / *period - mmin;
    }
    KeepInRange(par);
    return step;
}

}  // namespace detail

void fitted_lin(long double* linfit, const long double* data, const long double* lset,
                std::int64_t pointnum, int parflag, int ldflag) {
    fitted_lin_period(linfit, data, lset, pointnum, parflag & ~kFitPeriod, ldflag);
}

void fitted_lin_period(long double* linfit, const long double* data, const long double* lset,
                       std::int64_t pointnum, int parflag, int ldflag) {
    const FitCounts fc = count_fit_period(parflag, ldflag);
    const int n = fc.ldnum - 1;
    long double LMatr[25] = {};
    long double LCol[5] = {};
    Pair pairs[kMaxPairs];
    const int count = NormalPairs(n, pairs);
    long double sums[kMaxPairs];
    PairSums(
        pointnum, pairs, count,
        [&](std::int64_t begin, int points, SumBlock* block) {
            for (int p = 0; p < points; ++p) {
                const std::int64_t i = begin + p;
                if (i + kAhead < pointnum) PrefetchRow(lset, fc.len, 0, n, i + kAhead);
                const long double* B = lset + i * fc.len;
                const long double sigma = data[3 * i + 2];
                block->v[p] = sigma * sigma;
                // The uniform term keeps its fixed coefficient 1 and moves to the data side.
                block->c[p][0] = data[3 * i + 1] - B[0];
                CopyFew(block->c[p] + 1, B + 1, n);
            }
        },
        sums);
    SpreadNormal(n, pairs, sums, LMatr, LCol);
    const long double det = LinearSolve_L(LMatr, LCol, linfit, n);
    if (det == 0.0L) StopSingular("null det linfit \n");  // exact on purpose; NaN passes
}

void linfit2ld(long double* ld, const long double* linfit, int ldflag) {
    long double s = 1.0L;
    int next = 0;
    for (int term = 0; term < kLawTermCount; ++term)
        if (ldflag & TermBit(term)) s = s - kLf[term] * linfit[next++];
    s = s / kPi;  // s = 1/S
    for (int k = 0; k < next; ++k) ld[k] = linfit[k] / s;
}

long double residual(const long double* lset, const long double* data, std::int64_t pointnum,
                     int parflag, int ldflag) {
    long double linf[kMaxCoefficients];
    fitted_lin(linf, data, lset, pointnum, parflag, ldflag);
    return residual_with(lset, data, pointnum, parflag, ldflag, linf);
}

long double residual_with(const long double* lset, const long double* data, std::int64_t pointnum,
                          int parflag, int ldflag, const long double* linf) {
    return residual_period(lset, data, pointnum, parflag & ~kFitPeriod, ldflag, linf);
}

long double residual_period(const long double* lset, const long double* data, std::int64_t pointnum,
                            int parflag, int ldflag, const long double* linf) {
    const FitCounts fc = count_fit_period(parflag, ldflag);
    // One sum of whole terms, formed in the fill.
    const Pair pair = {kTermColumn, 0};
    long double res;
    PairSums(
        pointnum, &pair, 1,
        [&](std::int64_t begin, int points, SumBlock* block) {
            for (int p = 0; p < points; ++p) {
                const std::int64_t i = begin + p;
                if (i + kAhead < pointnum) PrefetchRow(lset, fc.len, 0, fc.ldnum - 1, i + kAhead);
                const long double* B = lset + i * fc.len;
                const long double s = model_flux(B, fc.ldnum, linf) - data[3 * i + 1];
                const long double eps = data[3 * i + 2] * data[3 * i + 2];
                block->c[p][0] = (s / eps) * s;
            }
        },
        &res);
    return res / pointnum;
}

void normal_equations(const long double* lset, const long double* data, std::int64_t pointnum,
                      int parflag, int ldflag, const long double* linf, long double* LMatr,
                      long double* LCol) {
    normal_equations_period(lset, data, pointnum, parflag & ~kFitPeriod, ldflag, linf, LMatr, LCol);
}

void normal_equations_period(const long double* lset, const long double* data,
                             std::int64_t pointnum, int parflag, int ldflag,
                             const long double* linf, long double* LMatr, long double* LCol) {
    const FitCounts fc = count_fit_period(parflag, ldflag);
    const int n = fc.parnum + fc.ldnum - 1;
    for (int a = 0; a < n * n; ++a) LMatr[a] = 0.0L;
    for (int a = 0; a < n; ++a) LCol[a] = 0.0L;
    Pair pairs[kMaxPairs];
    const int count = NormalPairs(n, pairs);
    long double sums[kMaxPairs];
    PairSums(
        pointnum, pairs, count,
        [&](std::int64_t begin, int points, SumBlock* block) {
            for (int p = 0; p < points; ++p) {
                const std::int64_t i = begin + p;
                if (i + kAhead < pointnum) PrefetchRow(lset, fc.len, 0, fc.len - 1, i + kAhead);
                const long double* R = lset + i * fc.len;
                block->v[p] = data[3 * i + 2] * data[3 * i + 2];
                // Row m of the point's block: the model (m = 0) and its derivatives at fixed
                // coefficients, then the basis values as derivatives by the coefficients.
                long double* d = block->c[p];
                for (int m = 0; m <= fc.parnum; ++m) {
                    d[m] = model_flux(R + m * fc.ldnum, fc.ldnum, linf);
                }
                CopyFew(d + fc.parnum + 1, R + 1, fc.ldnum - 1);
                d[0] = data[3 * i + 1] - d[0];  // the residual y - F
            }
        },
        sums);
    SpreadNormal(n, pairs, sums, LMatr, LCol);
}

long double lm_step(const long double* lset, const long double* data, std::int64_t pointnum,
                    long double* par, int parflag, int ldflag, long double lambda) {
    long double linf[kMaxCoefficients];
    fitted_lin(linf, data, lset, pointnum, parflag, ldflag);
    return lm_step_with(lset, data, pointnum, par, parflag, ldflag, lambda, linf);
}

long double lm_step_with(const long double* lset, const long double* data, std::int64_t pointnum,
                         long double* par, int parflag, int ldflag, long double lambda,
                         const long double* linf) {
    long double period = 1.0L;  // not read or changed without the period's bit
    return lm_step_period(lset, data, pointnum, par, &period, 0.0L, parflag & ~kFitPeriod, ldflag,
                          lambda, linf);
}

long double lm_step_period(const long double* lset, const long double* data, std::int64_t pointnum,
                           long double* par, long double* period, long double epoch, int parflag,
                           int ldflag, long double lambda, const long double* linf) {
    const FitCounts fc = count_fit_period(parflag, ldflag);
    const int n = fc.parnum + fc.ldnum - 1;
    long double LMatr[kMaxUnknowns * kMaxUnknowns];
    long double LCol[kMaxUnknowns];
    long double dpar[kMaxUnknowns];
    normal_equations_period(lset, data, pointnum, parflag, ldflag, linf, LMatr, LCol);

    // The damping grows with the length of the gradient, the same on every diagonal entry.
    long double g2 = 0.0L;
    for (int a = 0; a < n; ++a) g2 = g2 + LCol[a] * LCol[a];
    const long double mu = std::sqrt(g2);
    for (int a = 0; a < n; ++a) LMatr[a * n + a] = LMatr[a * n + a] + lambda * mu;

    const long double det = LinearSolve_L(LMatr, LCol, dpar, n);
    if (det == 0.0L) StopSingular("null det lm");  // exact on purpose; NaN passes

    return ApplyStep(dpar, par, period, epoch, parflag);
}

bool improves_best(std::int64_t i, long double m, long double min) {
    return i == 1 || m < min || (std::isnan(min) && !std::isnan(m));
}

// =============================================================================================
// Time of mid-transit and uncertainties of the reported values
// =============================================================================================

namespace detail {

// ∂M_min/∂p for slot `slot` (1 e, 2 ω, 3 cos² i) by a central difference, one-sided at the
// edges of e ≥ 0 and 0 ≤ cos² i ≤ 1; a step across the ±π seam is unwrapped.
long double MidTransitSlope(const long double* params, int slot) {
    constexpr long double h = 1e-7L;
    long double lo[kGeometricCount], hi[kGeometricCount];
    for (int i = 0; i < kGeometricCount; ++i) lo[i] = hi[i] = params[i];
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

}  // namespace detail

long double mid_transit_slope(const long double* params, int slot) {
    return MidTransitSlope(params, slot);
}

long double phase_parameter(long double tshift, long double period, const long double* params) {
    const long double X = (2.0L * tshift * kPi) / period;
    return X - phmin_ci(EvalEccentricity(params[1]), params[2], params[3]);
}

long double mid_transit_time(const long double* params, long double period) {
    const long double mmin = phmin_ci(EvalEccentricity(params[1]), params[2], params[3]);
    return ((params[0] + mmin) * period) / kTwoPi;
}

// The timing information of a point is (∂F/∂M)²/σ², and the covariance of the time of
// mid-transit at epoch n and the period vanishes, for those two alone, when T_n is the centre
// of the data under these weights; the uniform term's row carries the shape of the transit.
long double reference_epoch(const long double* data, std::int64_t pointnum, long double period,
                            const long double* params) {
    std::vector<long double> st(2 * static_cast<std::size_t>(pointnum));
    der_set_norm_ci(st.data(), data, pointnum, period, params, 1, 1);
    const long double t0 = mid_transit_time(params, period);
    long double sw = 0.0L, swt = 0.0L, s1 = 0.0L, s1t = 0.0L;
    for (std::int64_t i = 0; i < pointnum; ++i) {
        const long double v = data[3 * i + 2] * data[3 * i + 2], dt = data[3 * i] - t0;
        const long double w = (st[2 * i + 1] * st[2 * i + 1]) / v;
        sw += w;
        swt += w * dt;
        s1 += 1.0L / v;
        s1t += dt / v;
    }
    const long double centre = sw > 0.0L && std::isfinite(swt / sw) ? swt / sw : s1t / s1;
    const long double epoch = std::nearbyint(centre / period);
    return std::isfinite(epoch) ? epoch : 0.0L;
}

namespace detail {

// 1σ of the reported values from the covariance `cov` (n×n, scaled already) of the fitted
// parameters in bit order (the period last, with kFitPeriod) and then the free basis
// coefficients c.
void PropagateCovariance(const long double* cov, int n, long double period,
                         const long double* params, int parflag, const LawTerms& law,
                         const long double* c, long double epoch, FitUncertainties* result) {
    FitUncertainties& out = *result;
    const bool fit_period = parflag & kFitPeriod;
    const int parnum = count_fit_period(parflag, 1).parnum;
    // Covariance and σ of linear functions with gradients `a` and `b` over the unknowns.
    auto covariance = [&](const long double* a, const long double* b) {
        long double var = 0.0L;
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) var += a[i] * cov[i * n + j] * b[j];
        return var;
    };
    auto sigma = [&](const long double* grad) { return std::sqrt(covariance(grad, grad)); };
    // What the covariance cannot give (a variance that rounding made negative, or NaN) is
    // unbounded, and shown as such.
    auto bounded = [](long double s) { return s >= 0.0L ? s : INFINITY; };

    int unknown[7];  // position of each fitted parameter (the period last) among the unknowns
    for (int i = 0, next = 0; i < 7; ++i) unknown[i] = (parflag & FitBit(i)) ? next++ : -1;
    long double grad[kMaxUnknowns];
    auto clear = [&] {
        for (long double& v : grad) v = 0.0L;
    };

    // Time of mid-transit T = (φ0 + M_min(e, ω, cos² i))·P/(2π), when it is fitted; it then
    // moves with e, ω and cos² i as well, where those are fitted too. With the period the
    // unknowns are T_n and P, and T = T_n - n·P. The gradient of T_n is kept for its block.
    long double gtref[kMaxUnknowns] = {}, gperiod[kMaxUnknowns] = {};
    if (parflag & FitBit(kInTshift)) {
        clear();
        const long double tscale = period / kTwoPi;
        if (unknown[0] >= 0) grad[unknown[0]] = fit_period ? 1.0L : tscale;
        for (int slot = 1; slot <= 3; ++slot)
            if (unknown[slot] >= 0) grad[unknown[slot]] = tscale * MidTransitSlope(params, slot);
        std::copy(grad, grad + kMaxUnknowns, gtref);
        if (fit_period) grad[unknown[kInPeriod]] = -epoch;
        out.par[0] = sigma(grad);
    }
    if (fit_period) {
        gperiod[unknown[kInPeriod]] = 1.0L;
        out.period = sigma(gperiod);
        if (parflag & FitBit(kInTshift)) {
            out.tref_sigma = sigma(gtref);
            const long double s = out.tref_sigma * out.period;
            out.correlation = s > 0.0L ? covariance(gtref, gperiod) / s : 0.0L;
        }
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
        out.par[3] = std::isfinite(s)
                         ? deg * (std::acos(std::sqrt(lo)) - std::acos(std::sqrt(hi))) / 2.0L
                         : INFINITY;
    }

    // Law coefficients u_j = π·c_j/(D·h) with D = 1 - Σ Lf_b·c_b.
    long double D = 1.0L;
    for (int k = 0; k < law.nfree; ++k) D -= law.lf[k] * c[k];
    for (int j = 0; j < law.nfree; ++j) {
        clear();
        for (int k = 0; k < law.nfree; ++k)
            grad[parnum + k] =
                (kPi * c[j] * law.lf[k] / (D * D) + (j == k ? kPi / D : 0.0L)) / law.held_scale;
        out.ld[law.slot[j]] = sigma(grad);
    }
    for (int i = 0; i < kGeometricCount; ++i)
        if (unknown[i] >= 0) out.par[i] = bounded(out.par[i]);
    for (int j = 0; j < law.nfree; ++j) out.ld[law.slot[j]] = bounded(out.ld[law.slot[j]]);
}

LawTerms FreeLawTerms(int ldflag, int nfree) {
    LawTerms law;
    law.nfree = nfree;
    for (int term = 0, k = 0; term < kLawTermCount; ++term)
        if (ldflag & TermBit(term)) law.lf[k++] = kLf[term];
    for (int k = 0; k < law.nfree; ++k) law.slot[k] = k;
    return law;
}

void MarkUnbounded(FitUncertainties* out, int parflag, const LawTerms& law) {
    for (int i = 0; i < kGeometricCount; ++i) out->par[i] = (parflag & FitBit(i)) ? INFINITY : 0.0L;
    for (int f = 0; f < law.nfree; ++f) out->ld[law.slot[f]] = INFINITY;
    if (parflag & kFitPeriod) {
        out->period = INFINITY;
        if (parflag & FitBit(kInTshift)) out->tref_sigma = INFINITY;
    }
}

}  // namespace detail

FitUncertainties fit_uncertainties(const long double* lset, const long double* data,
                                   std::int64_t pointnum, long double period,
                                   const long double* params, int parflag, int ldflag,
                                   long double chi2) {
    return fit_uncertainties_period(lset, data, pointnum, period, params, parflag & ~kFitPeriod,
                                    ldflag, chi2, 0.0L);
}

FitUncertainties fit_uncertainties_period(const long double* lset, const long double* data,
                                          std::int64_t pointnum, long double period,
                                          const long double* params, int parflag, int ldflag,
                                          long double chi2, long double epoch) {
    FitUncertainties out{};
    const bool fit_period = parflag & kFitPeriod;
    if (fit_period) {
        out.epoch = epoch;
        out.tref = mid_transit_time(params, period) + epoch * period;
    }
    const FitCounts fc = count_fit_period(parflag, ldflag);
    const int n = fc.parnum + fc.ldnum - 1;
    if (n == 0) return out;

    long double linf[kMaxCoefficients];
    fitted_lin_period(linf, data, lset, pointnum, parflag, ldflag);
    long double N[kMaxUnknowns * kMaxUnknowns], g[kMaxUnknowns];
    normal_equations_period(lset, data, pointnum, parflag, ldflag, linf, N, g);

    // Covariance: the inverse of the undamped normal matrix, column by column, scaled by the
    // reduced chi-square when the scatter exceeds the quoted uncertainties.
    long double cov[kMaxUnknowns * kMaxUnknowns];
    const long double scale = chi2 > 1.0L ? chi2 : 1.0L;
    const LawTerms law = FreeLawTerms(ldflag, fc.ldnum - 1);
    for (int col = 0; col < n; ++col) {
        long double unit[kMaxUnknowns] = {}, x[kMaxUnknowns];
        unit[col] = 1.0L;
        if (LinearSolve_L(N, unit, x, n) == 0.0L) {
            MarkUnbounded(&out, parflag, law);
            return out;
        }
        for (int row = 0; row < n; ++row) cov[row * n + col] = x[row] * scale;
    }
    PropagateCovariance(cov, n, period, params, parflag, law, linf, epoch, &out);
    return out;
}

long double degrees(long double rad) { return (rad * 180.0L) / kPi; }

long double inclination_degrees(long double ci) { return degrees(std::acos(std::sqrt(ci))); }

std::string non_finite_names(const long double* shown, const long double* ld, int ldflag,
                             long double chi2) {
    std::string list;
    auto add = [&](const char* name, long double v) {
        if (std::isfinite(v)) return;
        if (!list.empty()) list += ", ";
        list += name;
    };
    for (int i = 0; i < kGeometricCount; ++i) add(kParameterNames[i], shown[i]);
    for (int term = 0, k = 0; term < kLawTermCount; ++term)
        if (ldflag & TermBit(term)) add(kTermNames[term], ld[k++]);
    add("chi_square_reduced", chi2);
    return list;
}

void report_values(const long double* params, long double period, long double* shown) {
    shown[0] = mid_transit_time(params, period);
    shown[1] = params[1];
    shown[2] = degrees(params[2]);
    shown[3] = inclination_degrees(params[3]);
    shown[4] = params[4];
    shown[5] = params[5];
}
