// The linear part of the model: the limb-darkening coefficients with a flux zero-point, a
// polynomial trend per transit window and held coefficients, solved at every geometry.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "algebra.h"
#include "constants.h"
#include "lustre.h"
#include "optimize.h"
#include "optimize_sums.h"

using namespace detail;  // the private engine of the fitting library

// =============================================================================================
// The linear part of the model beyond the limb darkening: zero-point, trends, held coefficients
// =============================================================================================

LinearModel linear_model(const RunOptions& options) {
    LinearModel model;
    model.held = options.held & kLawBits;
    for (int term = 0; term < kLawTermCount; ++term)
        model.held_value[term] = options.held_value[term];
    if (options.trend >= 0) {
        model.degree = options.trend;
        model.per_transit = true;
    } else if (options.zeropoint) {
        model.degree = 0;
    }
    return model;
}

bool linear_model_used(const LinearModel& model) { return model.held != 0 || model.degree >= 0; }

void set_windows(LinearModel* model, const long double* data, std::int64_t pointnum,
                 long double period, const long double* params) {
    const long double t0 = mid_transit_time(params, period);
    model->window.assign(static_cast<std::size_t>(pointnum), 0);
    model->tau.resize(static_cast<std::size_t>(pointnum));
    model->centre.clear();
    // Transit number of each point: the nearest mid-transit t0 + kP.
    std::vector<long double> cycle(static_cast<std::size_t>(pointnum), 0.0L);
    const bool finite = std::isfinite(t0) && std::isfinite(period) && period > 0.0L;
    if (model->per_transit && finite)
        for (std::int64_t i = 0; i < pointnum; ++i)
            cycle[i] = std::nearbyint((data[3 * i] - t0) / period);
    // One window of cycle 0 when all points share it: no sort of N zeros at every solve.
    std::vector<long double> cycles(pointnum > 0 ? 1 : 0, 0.0L);
    if (model->per_transit && finite) {
        cycles = cycle;
        std::sort(cycles.begin(), cycles.end());
        cycles.erase(std::unique(cycles.begin(), cycles.end()), cycles.end());
    }
    for (long double k : cycles) model->centre.push_back(finite ? t0 + k * period : 0.0L);
    model->windows = static_cast<int>(cycles.size());
    for (std::int64_t i = 0; i < pointnum; ++i) {
        const int w = static_cast<int>(std::lower_bound(cycles.begin(), cycles.end(), cycle[i]) -
                                       cycles.begin());
        model->window[i] = w;
        model->tau[i] = data[3 * i] - model->centre[w];
    }
    model->order.assign(cycles.size(), model->degree);
    // A window holds one time at least, so only a trend of degree 1 or more can lack times.
    if (model->degree < 1) return;
    std::vector<std::vector<long double>> times(cycles.size());
    for (std::int64_t i = 0; i < pointnum; ++i) times[model->window[i]].push_back(data[3 * i]);
    for (std::size_t w = 0; w < times.size(); ++w) {
        std::sort(times[w].begin(), times[w].end());
        const auto distinct = std::unique(times[w].begin(), times[w].end()) - times[w].begin();
        if (distinct <= model->degree) model->order[w] = static_cast<int>(distinct) - 1;
    }
}

namespace {

constexpr int kMaxRows = 8;  // rows of a point's block: the value, six derivatives, the period

// How the basis terms enter for one linear model. A held law coefficient u_j ties its basis
// coefficient to the free ones: with S = π + Σ Lf_b·u_b over all terms, c_j = u_j/S gives
// c_j = β_j·(1 - Σ_F Lf_b·c_b), the sum over the free terms, with β_j = u_j/(π + Σ_H Lf·u)
// over the held ones. So G = B̃_0 + Σ_F c_k·B̃_k with the folded basis B̃_0 = B_0 + h and
// B̃_k = B_k - Lf_k·h, h = Σ_H β_j·B_j.
struct LinearSetup {
    FitCounts fc;
    int nfree = 0;
    int free_basis[kMaxCoefficients] = {};        // basis index of each free term
    long double beta[kMaxCoefficients + 1] = {};  // by basis index; 0 unless held
    bool any_held = false;
    LawTerms law;  // the free terms' weights; held_scale = 1 - Σ_H Lf_j·β_j
    int D = 0;     // baseline coefficients per window
    int W = 0;     // windows
};

LinearSetup SetUpLinear(const LinearModel& model, int parflag, int ldflag) {
    LinearSetup s;
    s.fc = count_fit_period(parflag, ldflag);
    long double held_lf_u = 0.0L;
    for (int term = 0; term < kLawTermCount; ++term)
        if ((ldflag & TermBit(term)) && (model.held & TermBit(term)))
            held_lf_u += kLf[term] * model.held_value[term];
    const long double norm = kPi + held_lf_u;
    long double scale = 1.0L;
    // Basis index k = 1 … ldnum - 1 runs over the terms in use in bit order; bits beyond the
    // three law terms are free terms with no weight in the normalisation.
    for (int bit = 2, k = 1; bit <= 32 && k < s.fc.ldnum; bit <<= 1) {
        if (!(ldflag & bit)) continue;
        const int term = bit == 2 ? 0 : bit == 4 ? 1 : bit == 8 ? 2 : -1;
        if (term >= 0 && (model.held & bit)) {
            s.beta[k] = model.held_value[term] / norm;
            scale -= kLf[term] * s.beta[k];
            s.any_held = true;
        } else {
            s.law.lf[s.nfree] = term >= 0 ? kLf[term] : 0.0L;
            s.law.slot[s.nfree] = k - 1;
            s.free_basis[s.nfree++] = k;
        }
        ++k;
    }
    s.law.nfree = s.nfree;
    s.law.held_scale = scale;
    s.D = model.degree + 1;
    s.W = s.D > 0 ? model.windows : 0;
    return s;
}

// The folded basis B̃ of one row of a point's block (ldnum entries) into out[0 … nfree].
void FoldRow(const LinearSetup& s, const long double* row, long double* out) {
    long double h = 0.0L;
    if (s.any_held)
        for (int k = 1; k < s.fc.ldnum; ++k) h = h + s.beta[k] * row[k];
    out[0] = row[0] + h;
    for (int f = 0; f < s.nfree; ++f) out[1 + f] = row[s.free_basis[f]] - s.law.lf[f] * h;
}

// Normal equations of the linear part, with `rows` parameter derivatives in front of the free
// coefficients among the global unknowns g; the baseline's unknowns form one block per window.
struct LinearSystem {
    int ng = 0, D = 0, W = 0;
    std::vector<long double> Agg, bg;      // ng×ng, ng
    std::vector<long double> Aw, Awg, bw;  // per window: D×D, D×ng, D
    long double chi2 = 0.0L;               // Σ r²/σ² at the coefficients given
};

// With `chi2_only`, only sys->chi2 is summed (the residual of every iteration).
void AccumulateLinear(const LinearSetup& s, const LinearModel& model, const long double* lset,
                      const long double* data, std::int64_t pointnum, const LinearFit& fit,
                      int rows, LinearSystem* sys, bool chi2_only = false) {
    const int ng = rows + s.nfree, D = s.D;
    sys->ng = ng;
    sys->D = D;
    sys->W = s.W;
    sys->Agg.assign(static_cast<std::size_t>(ng) * ng, 0.0L);
    sys->bg.assign(ng, 0.0L);
    sys->Aw.assign(static_cast<std::size_t>(s.W) * D * D, 0.0L);
    sys->Awg.assign(static_cast<std::size_t>(s.W) * D * ng, 0.0L);
    sys->bw.assign(static_cast<std::size_t>(s.W) * D, 0.0L);
    long double chi2 = 0.0L;
    for (std::int64_t i = 0; i < pointnum; ++i) {
        const long double* R = lset + i * s.fc.len;
        long double B[kMaxRows][kMaxCoefficients + 1], G[kMaxRows];
        for (int m = 0; m <= rows; ++m) {
            FoldRow(s, R + m * s.fc.ldnum, B[m]);
            G[m] = B[m][0];
            for (int f = 0; f < s.nfree; ++f) G[m] = G[m] + B[m][1 + f] * fit.c[f];
        }
        long double power[3] = {1.0L, 0.0L, 0.0L}, P = 1.0L;
        const int w = D > 0 ? model.window[i] : 0;
        if (D > 0) {
            for (int d = 1; d < D; ++d) power[d] = power[d - 1] * model.tau[i];
            P = 0.0L;
            for (int d = D - 1; d >= 0; --d) P = P + fit.a[w * D + d] * power[d];
        }
        const long double r = data[3 * i + 1] - P * G[0];
        const long double v = data[3 * i + 2] * data[3 * i + 2];
        chi2 = chi2 + (r / v) * r;
        if (chi2_only) continue;
        long double Jg[kMaxUnknowns], Jw[3];
        for (int m = 1; m <= rows; ++m) Jg[m - 1] = P * G[m];
        for (int f = 0; f < s.nfree; ++f) Jg[rows + f] = P * B[0][1 + f];
        for (int d = 0; d < D; ++d) Jw[d] = power[d] * G[0];
        for (int a = 0; a < ng; ++a) {
            for (int b = 0; b < ng; ++b) sys->Agg[a * ng + b] += (Jg[a] * Jg[b]) / v;
            sys->bg[a] += (r * Jg[a]) / v;
        }
        for (int d = 0; d < D; ++d) {
            long double* Aw = sys->Aw.data() + static_cast<std::size_t>(w) * D * D;
            long double* Awg = sys->Awg.data() + static_cast<std::size_t>(w) * D * ng;
            for (int e = 0; e < D; ++e) Aw[d * D + e] += (Jw[d] * Jw[e]) / v;
            for (int a = 0; a < ng; ++a) Awg[d * ng + a] += (Jw[d] * Jg[a]) / v;
            sys->bw[w * D + d] += (r * Jw[d]) / v;
        }
    }
    // Coefficients beyond what a window's times determine stay at 0: their equations become
    // Δa = 0.
    for (int w = 0; w < s.W; ++w)
        for (int d = model.order[w] + 1; d < D; ++d) {
            long double* Aw = sys->Aw.data() + static_cast<std::size_t>(w) * D * D;
            for (int e = 0; e < D; ++e) Aw[d * D + e] = Aw[e * D + d] = 0.0L;
            Aw[d * D + d] = 1.0L;
            for (int a = 0; a < ng; ++a)
                sys->Awg[(static_cast<std::size_t>(w) * D + d) * ng + a] = 0.0L;
            sys->bw[w * D + d] = 0.0L;
        }
    sys->chi2 = chi2;
}

// The system with the window blocks eliminated: per window X_w = A_w⁻¹·[A_wg | b_w], the
// Schur complement S = A_gg - Σ A_wgᵀ·X_w and its right-hand side. `damping` is added to the
// diagonal of A_gg first; false when a determinant is exactly 0.
struct ReducedSystem {
    std::vector<long double> S, rhs, X;  // X: per window D×(ng + 1)
};

bool ReduceLinear(const LinearSystem& sys, long double damping, ReducedSystem* red) {
    const int ng = sys.ng, D = sys.D;
    red->S = sys.Agg;
    red->rhs = sys.bg;
    for (int a = 0; a < ng; ++a) red->S[a * ng + a] = red->S[a * ng + a] + damping;
    red->X.assign(static_cast<std::size_t>(sys.W) * D * (ng + 1), 0.0L);
    std::vector<long double> A(static_cast<std::size_t>(D) * D), col(D), x(D);
    for (int w = 0; w < sys.W; ++w) {
        const long double* Awg = sys.Awg.data() + static_cast<std::size_t>(w) * D * ng;
        long double* X = red->X.data() + static_cast<std::size_t>(w) * D * (ng + 1);
        std::copy_n(sys.Aw.data() + static_cast<std::size_t>(w) * D * D, D * D, A.begin());
        for (int j = 0; j <= ng; ++j) {
            for (int d = 0; d < D; ++d) col[d] = j < ng ? Awg[d * ng + j] : sys.bw[w * D + d];
            if (LinearSolve_L(A.data(), col.data(), x.data(), D) == 0.0L) return false;
            for (int d = 0; d < D; ++d) X[d * (ng + 1) + j] = x[d];
        }
        for (int a = 0; a < ng; ++a) {
            for (int b = 0; b < ng; ++b)
                for (int d = 0; d < D; ++d)
                    red->S[a * ng + b] -= Awg[d * ng + a] * X[d * (ng + 1) + b];
            for (int d = 0; d < D; ++d) red->rhs[a] -= Awg[d * ng + a] * X[d * (ng + 1) + ng];
        }
    }
    return true;
}

// Solves the reduced system: the global increments dg, then each window's da.
bool SolveReduced(const LinearSystem& sys, const ReducedSystem& red, long double* dg,
                  std::vector<long double>* da) {
    const int ng = sys.ng, D = sys.D;
    if (LinearSolve_L(red.S.data(), red.rhs.data(), dg, ng) == 0.0L) return false;
    da->assign(static_cast<std::size_t>(sys.W) * D, 0.0L);
    for (int w = 0; w < sys.W; ++w) {
        const long double* X = red.X.data() + static_cast<std::size_t>(w) * D * (ng + 1);
        for (int d = 0; d < D; ++d) {
            long double v = X[d * (ng + 1) + ng];
            for (int a = 0; a < ng; ++a) v -= X[d * (ng + 1) + a] * dg[a];
            (*da)[w * D + d] = v;
        }
    }
    return true;
}

// Gauss-Newton iterations of the bilinear problem end when a step promises a decrease of the
// chi-square below this fraction of it, or promises no less than the step before (rounding).
constexpr long double kLinearTol = 0x1p-64L;
constexpr int kMaxLinearIterations = 100;

}  // namespace

void fitted_linear(LinearFit* fit, const LinearModel& model, const long double* data,
                   const long double* lset, std::int64_t pointnum, int parflag, int ldflag) {
    const LinearSetup s = SetUpLinear(model, parflag, ldflag);
    fit->c.assign(s.nfree, 0.0L);
    fit->a.assign(static_cast<std::size_t>(s.W) * s.D, 0.0L);
    for (int w = 0; w < s.W; ++w) fit->a[w * s.D] = 1.0L;
    LinearSystem sys;
    ReducedSystem red;
    long double dg[kMaxUnknowns];
    std::vector<long double> da;
    // Without a baseline the problem is linear and one step from c = 0 solves it. With one,
    // the first step solves the baseline alone for c = 0, exactly, and the joint steps follow.
    long double promised = INFINITY;
    for (int it = 0; it < kMaxLinearIterations; ++it) {
        AccumulateLinear(s, model, lset, data, pointnum, *fit, 0, &sys);
        if (it == 0 && s.D > 0 && s.nfree > 0) {
            LinearSystem alone = sys;
            alone.ng = 0;
            alone.Agg.clear();
            alone.bg.clear();
            alone.Awg.clear();
            if (!ReduceLinear(alone, 0.0L, &red) || !SolveReduced(alone, red, dg, &da))
                StopSingular("null det linfit \n");
            for (std::size_t k = 0; k < da.size(); ++k) fit->a[k] = fit->a[k] + da[k];
            continue;
        }
        if (!ReduceLinear(sys, 0.0L, &red) || !SolveReduced(sys, red, dg, &da))
            StopSingular("null det linfit \n");
        long double gain = 0.0L;  // the decrease of Σ r²/σ² the step promises
        for (int a = 0; a < sys.ng; ++a) gain += dg[a] * sys.bg[a];
        for (std::size_t k = 0; k < da.size(); ++k) gain += da[k] * sys.bw[k];
        for (int f = 0; f < s.nfree; ++f) fit->c[f] = fit->c[f] + dg[f];
        for (std::size_t k = 0; k < da.size(); ++k) fit->a[k] = fit->a[k] + da[k];
        if (s.D == 0 || !(gain > kLinearTol * sys.chi2) || !(gain < promised)) break;
        promised = gain;
    }
}

void linear_basis_coefficients(long double* linf, const LinearFit& fit, const LinearModel& model,
                               int ldflag) {
    const LinearSetup s = SetUpLinear(model, 0, ldflag);
    long double free_sum = 1.0L;  // 1 - Σ_F Lf_b·c_b
    for (int f = 0; f < s.nfree; ++f) free_sum -= s.law.lf[f] * fit.c[f];
    for (int k = 1; k < s.fc.ldnum; ++k) linf[k - 1] = s.beta[k] * free_sum;
    for (int f = 0; f < s.nfree; ++f) linf[s.free_basis[f] - 1] = fit.c[f];
}

void linear2ld(long double* ld, const LinearFit& fit, const LinearModel& model, int ldflag) {
    long double linf[kMaxCoefficients];
    linear_basis_coefficients(linf, fit, model, ldflag);
    linfit2ld(ld, linf, ldflag);
    for (int term = 0, k = 0; term < kLawTermCount; ++term) {
        if (!(ldflag & TermBit(term))) continue;
        if (model.held & TermBit(term)) ld[k] = model.held_value[term];
        ++k;
    }
}

long double zeropoint_level(const LinearFit& fit, const LinearModel& model) {
    if (model.degree < 0 || model.window.empty()) return 1.0L;
    if (!model.per_transit) return fit.a[0];
    const std::int64_t pointnum = static_cast<std::int64_t>(model.window.size());
    long double sum = 0.0L;
    for (std::int64_t i = 0; i < pointnum; ++i) sum += baseline_at(fit, model, i);
    return sum / pointnum;
}

long double baseline_at(const LinearFit& fit, const LinearModel& model, std::int64_t i) {
    const int D = model.degree + 1;
    if (D == 0) return 1.0L;
    const long double* a = fit.a.data() + static_cast<std::size_t>(model.window[i]) * D;
    long double P = 0.0L;
    for (int d = D - 1; d >= 0; --d) P = P * model.tau[i] + a[d];
    return P;
}

long double residual_linear(const long double* lset, const long double* data, std::int64_t pointnum,
                            int parflag, int ldflag, const LinearModel& model,
                            const LinearFit& fit) {
    const LinearSetup s = SetUpLinear(model, parflag, ldflag);
    LinearSystem sys;
    AccumulateLinear(s, model, lset, data, pointnum, fit, 0, &sys, true);
    return sys.chi2 / pointnum;
}

long double lm_step_linear(const long double* lset, const long double* data, std::int64_t pointnum,
                           long double* par, int parflag, int ldflag, long double lambda,
                           const LinearModel& model, const LinearFit& fit) {
    long double period = 1.0L;  // not read or changed without the period's bit
    return lm_step_linear_period(lset, data, pointnum, par, &period, 0.0L, parflag & ~kFitPeriod,
                                 ldflag, lambda, model, fit);
}

long double lm_step_linear_period(const long double* lset, const long double* data,
                                  std::int64_t pointnum, long double* par, long double* period,
                                  long double epoch, int parflag, int ldflag, long double lambda,
                                  const LinearModel& model, const LinearFit& fit) {
    const LinearSetup s = SetUpLinear(model, parflag, ldflag);
    LinearSystem sys;
    AccumulateLinear(s, model, lset, data, pointnum, fit, s.fc.parnum, &sys);
    // The damping grows with the length of the gradient, the same on every diagonal entry of
    // the parameters and the free coefficients, as in lm_step. The baseline's unknowns carry
    // the unit of the flux: they stay undamped and are eliminated exactly, so that the step
    // does not depend on that unit.
    long double g2 = 0.0L;
    for (long double g : sys.bg) g2 = g2 + g * g;
    ReducedSystem red;
    long double dpar[kMaxUnknowns];
    std::vector<long double> da;
    if (!ReduceLinear(sys, lambda * std::sqrt(g2), &red) || !SolveReduced(sys, red, dpar, &da))
        StopSingular("null det lm");
    return ApplyStep(dpar, par, period, epoch, parflag);
}

namespace {

// The fitted quantities in the report's order: parameters in bit order (the period, slot 6,
// last), the free law coefficients, the zero-point.
std::vector<FittedQuantity> FittedQuantities(int parflag, int ldflag, const LawTerms& law,
                                             bool zeropoint) {
    const char* term_name[kMaxCoefficients] = {};
    for (int term = 0, k = 0; term < kLawTermCount; ++term)
        if (ldflag & TermBit(term)) term_name[k++] = kTermNames[term];
    std::vector<FittedQuantity> q;
    for (int slot = 0; slot < kGeometricCount; ++slot)
        if (parflag & FitBit(slot))
            q.push_back({FittedQuantity::kParameter, slot, kParameterNames[slot]});
    if (parflag & kFitPeriod)
        q.push_back({FittedQuantity::kParameter, kInPeriod, kParameterNames[kInPeriod]});
    for (int f = 0; f < law.nfree; ++f) {
        const char* name = term_name[law.slot[f]];
        q.push_back({FittedQuantity::kCoefficient, law.slot[f], name ? name : "coefficient"});
    }
    if (zeropoint) q.push_back({FittedQuantity::kZeropoint, 0, "zeropoint"});
    return q;
}

// J and J·C·Jᵀ from the covariance of the unknowns in out->unknowns, whose free basis
// coefficients are c: each reported value by the unknowns, as PropagateCovariance propagates
// them, the inclination's row the slope of i across the 1σ interval of cos² i.
void ReportCovariance(FitCovariance* out, long double period, const long double* params,
                      const LawTerms& law, const long double* c, long double epoch) {
    const int n = out->size();
    out->jacobian.assign(n * n, 0.0L);
    out->reported.assign(n * n, 0.0L);
    int unknown[7] = {-1, -1, -1, -1, -1, -1, -1}, parnum = 0;
    for (int a = 0; a < n; ++a)
        if (out->quantities[a].kind == FittedQuantity::kParameter) {
            unknown[out->quantities[a].index] = a;
            ++parnum;
        }
    long double D = 1.0L;
    for (int k = 0; k < law.nfree; ++k) D -= law.lf[k] * c[k];
    const long double deg = 180.0L / kPi;
    for (int r = 0; r < n; ++r) {
        long double* J = &out->jacobian[r * n];
        const FittedQuantity& q = out->quantities[r];
        if (q.kind == FittedQuantity::kZeropoint) {
            J[r] = 1.0L;
        } else if (q.kind == FittedQuantity::kCoefficient) {
            const int j = r - parnum;  // u_j = π·c_j/(D·h) with D = 1 - Σ Lf_b·c_b
            for (int k = 0; k < law.nfree; ++k)
                J[parnum + k] =
                    (kPi * c[j] * law.lf[k] / (D * D) + (j == k ? kPi / D : 0.0L)) / law.held_scale;
        } else if (q.index == 0) {
            // With the period the unknowns are T_n and P, and T = T_n - n·P.
            const long double tscale = period / kTwoPi;
            J[r] = unknown[kInPeriod] >= 0 ? 1.0L : tscale;
            if (unknown[kInPeriod] >= 0) J[unknown[kInPeriod]] = -epoch;
            for (int slot = 1; slot <= 3; ++slot)
                if (unknown[slot] >= 0) J[unknown[slot]] = tscale * MidTransitSlope(params, slot);
        } else if (q.index == 3) {
            const long double s = std::sqrt(out->unknowns[r * n + r]), ci = params[3];
            const long double lo = std::fmax(ci - s, 0.0L), hi = std::fmin(ci + s, 1.0L);
            if (s > 0.0L)
                J[r] = deg * (std::acos(std::sqrt(hi)) - std::acos(std::sqrt(lo))) / (2.0L * s);
        } else {
            J[r] = q.index == 2 ? deg : 1.0L;
        }
    }
    // Each entry once, mirrored, so that the matrix is symmetric to the bit.
    const std::vector<long double>& U = out->unknowns;
    for (int r = 0; r < n; ++r)
        for (int col = r; col < n; ++col) {
            long double v = 0.0L;
            for (int a = 0; a < n; ++a)
                for (int b = 0; b < n; ++b)
                    v += out->jacobian[r * n + a] * U[a * n + b] * out->jacobian[col * n + b];
            out->reported[r * n + col] = out->reported[col * n + r] = v;
        }
}

void Unbounded(FitCovariance* out) {
    const int n = out->size();
    out->bounded = false;
    out->unknowns.assign(n * n, INFINITY);
    out->jacobian.assign(n * n, 0.0L);
    out->reported.assign(n * n, INFINITY);
}

}  // namespace

FitCovariance fit_covariance(const long double* lset, const long double* data,
                             std::int64_t pointnum, long double period, const long double* params,
                             int parflag, int ldflag, long double chi2) {
    return fit_covariance_period(lset, data, pointnum, period, params, parflag & ~kFitPeriod,
                                 ldflag, chi2, 0.0L);
}

FitCovariance fit_covariance_period(const long double* lset, const long double* data,
                                    std::int64_t pointnum, long double period,
                                    const long double* params, int parflag, int ldflag,
                                    long double chi2, long double epoch) {
    const FitCounts fc = count_fit_period(parflag, ldflag);
    const LawTerms law = FreeLawTerms(ldflag, fc.ldnum - 1);
    FitCovariance out;
    out.quantities = FittedQuantities(parflag, ldflag, law, false);
    const int n = out.size();
    if (n == 0) return out;

    long double linf[kMaxCoefficients];
    fitted_lin_period(linf, data, lset, pointnum, parflag, ldflag);
    long double N[kMaxUnknowns * kMaxUnknowns], g[kMaxUnknowns];
    normal_equations_period(lset, data, pointnum, parflag, ldflag, linf, N, g);
    const long double scale = chi2 > 1.0L ? chi2 : 1.0L;
    out.unknowns.assign(n * n, 0.0L);
    for (int col = 0; col < n; ++col) {
        long double unit[kMaxUnknowns] = {}, x[kMaxUnknowns];
        unit[col] = 1.0L;
        if (LinearSolve_L(N, unit, x, n) == 0.0L) {
            Unbounded(&out);
            return out;
        }
        for (int row = 0; row < n; ++row) out.unknowns[row * n + col] = x[row] * scale;
    }
    ReportCovariance(&out, period, params, law, linf, epoch);
    return out;
}

std::vector<long double> correlation_matrix(const std::vector<long double>& cov, int n) {
    std::vector<long double> corr(cov.size());
    for (int r = 0; r < n; ++r)
        for (int c = 0; c < n; ++c) {
            const long double vr = cov[r * n + r], vc = cov[c * n + c];
            corr[r * n + c] = vr > 0.0L && vc > 0.0L && std::isfinite(vr) && std::isfinite(vc)
                                  ? cov[r * n + c] / std::sqrt(vr * vc)
                                  : NAN;
        }
    for (int r = 0; r < n; ++r)
        if (!std::isnan(corr[r * n + r])) corr[r * n + r] = 1.0L;  // exact, not 1 ± rounding
    return corr;
}

namespace {

// The joint covariance of the linear model, unscaled: `cov` (ng×ng) of the fitted parameters
// and the free coefficients, the variance of the mean level and q, which gives its covariance
// with them: Cov(L, g) = -S⁻¹·q.  False when a system is singular.
struct LinearCovariance {
    LinearSetup s;
    LinearFit fit;
    int ng = 0, D = 0;
    std::vector<long double> cov, q;
    long double level_var = 0.0L;
};
bool JointLinearCovariance(const long double* lset, const long double* data, std::int64_t pointnum,
                           int parflag, int ldflag, const LinearModel& model,
                           LinearCovariance* out) {
    out->s = SetUpLinear(model, parflag, ldflag);
    const LinearSetup& s = out->s;
    fitted_linear(&out->fit, model, data, lset, pointnum, parflag, ldflag);
    LinearSystem sys;
    AccumulateLinear(s, model, lset, data, pointnum, out->fit, s.fc.parnum, &sys);
    const int ng = sys.ng, D = sys.D;
    out->ng = ng;
    out->D = D;

    // The global block of the joint covariance is the inverse of the Schur complement; a
    // window's constant term has in addition (A_w⁻¹)₀₀ and its coupling through X_w.
    ReducedSystem red;
    std::vector<long double>& cov = out->cov;
    cov.assign(static_cast<std::size_t>(ng) * ng, 0.0L);
    bool regular = ReduceLinear(sys, 0.0L, &red);
    for (int col = 0; regular && col < ng; ++col) {
        long double unit[kMaxUnknowns] = {}, x[kMaxUnknowns];
        unit[col] = 1.0L;
        regular = LinearSolve_L(red.S.data(), unit, x, ng) != 0.0L;
        for (int row = 0; row < ng; ++row) cov[row * ng + col] = x[row];
    }
    // The mean level L = Σ_i P_i/N has the gradient l_w[d] = Σ_{i in w} τ_i^d/N by window w's
    // coefficients; Var L = Σ_w l_wᵀ·A_w⁻¹·l_w + qᵀ·S⁻¹·q with q = Σ_w X_wᵀ·l_w.
    std::vector<long double> l(static_cast<std::size_t>(sys.W) * D, 0.0L);
    for (std::int64_t i = 0; i < pointnum && D > 0; ++i) {
        long double power = 1.0L;
        for (int d = 0; d <= model.order[model.window[i]]; ++d) {
            l[model.window[i] * D + d] += power / pointnum;
            power = power * model.tau[i];
        }
    }
    long double& level_var = out->level_var;
    level_var = 0.0L;
    std::vector<long double>& q = out->q;
    q.assign(ng, 0.0L);
    std::vector<long double> A(static_cast<std::size_t>(D) * D), x(D);
    for (int w = 0; regular && w < sys.W; ++w) {
        const long double* lw = l.data() + static_cast<std::size_t>(w) * D;
        const long double* X = red.X.data() + static_cast<std::size_t>(w) * D * (ng + 1);
        std::copy_n(sys.Aw.data() + static_cast<std::size_t>(w) * D * D, D * D, A.begin());
        regular = LinearSolve_L(A.data(), lw, x.data(), D) != 0.0L;
        for (int d = 0; d < D; ++d) level_var += lw[d] * x[d];
        for (int a = 0; a < ng; ++a)
            for (int d = 0; d < D; ++d) q[a] += X[d * (ng + 1) + a] * lw[d];
    }
    if (!regular) return false;
    if (D > 0)
        for (int a = 0; a < ng; ++a)
            for (int b = 0; b < ng; ++b) level_var += q[a] * cov[a * ng + b] * q[b];
    return true;
}

}  // namespace

FitUncertainties fit_uncertainties_linear(const long double* lset, const long double* data,
                                          std::int64_t pointnum, long double period,
                                          const long double* params, int parflag, int ldflag,
                                          const LinearModel& model, long double chi2) {
    return fit_uncertainties_linear_period(lset, data, pointnum, period, params,
                                           parflag & ~kFitPeriod, ldflag, model, chi2, 0.0L);
}

FitUncertainties fit_uncertainties_linear_period(const long double* lset, const long double* data,
                                                 std::int64_t pointnum, long double period,
                                                 const long double* params, int parflag, int ldflag,
                                                 const LinearModel& model, long double chi2,
                                                 long double epoch) {
    FitUncertainties out{};
    const bool fit_period = parflag & kFitPeriod;
    if (fit_period) {
        out.epoch = epoch;
        out.tref = mid_transit_time(params, period) + epoch * period;
    }
    LinearCovariance lc;
    const bool regular = JointLinearCovariance(lset, data, pointnum, parflag, ldflag, model, &lc);
    const LinearSetup& s = lc.s;
    if (!regular) {
        MarkUnbounded(&out, parflag, s.law);
        if (lc.D > 0) out.zeropoint = INFINITY;
        return out;
    }
    const long double scale = chi2 > 1.0L ? chi2 : 1.0L;
    if (lc.D > 0) out.zeropoint = std::sqrt(lc.level_var * scale);
    for (long double& v : lc.cov) v = v * scale;
    PropagateCovariance(lc.cov.data(), lc.ng, period, params, parflag, s.law, lc.fit.c.data(),
                        epoch, &out);
    return out;
}

FitCovariance fit_covariance_linear(const long double* lset, const long double* data,
                                    std::int64_t pointnum, long double period,
                                    const long double* params, int parflag, int ldflag,
                                    const LinearModel& model, long double chi2) {
    return fit_covariance_linear_period(lset, data, pointnum, period, params, parflag & ~kFitPeriod,
                                        ldflag, model, chi2, 0.0L);
}

FitCovariance fit_covariance_linear_period(const long double* lset, const long double* data,
                                           std::int64_t pointnum, long double period,
                                           const long double* params, int parflag, int ldflag,
                                           const LinearModel& model, long double chi2,
                                           long double epoch) {
    LinearCovariance lc;
    const bool regular = JointLinearCovariance(lset, data, pointnum, parflag, ldflag, model, &lc);
    FitCovariance out;
    out.quantities = FittedQuantities(parflag, ldflag, lc.s.law, lc.D > 0);
    const int n = out.size(), ng = lc.ng;
    if (n == 0) return out;
    if (!regular) {
        Unbounded(&out);
        return out;
    }
    // The unknowns: the ng global ones, then the level when there is a baseline.
    const long double scale = chi2 > 1.0L ? chi2 : 1.0L;
    out.unknowns.assign(n * n, 0.0L);
    for (int a = 0; a < ng; ++a)
        for (int b = 0; b < ng; ++b) out.unknowns[a * n + b] = lc.cov[a * ng + b] * scale;
    if (lc.D > 0) {
        for (int a = 0; a < ng; ++a) {
            long double v = 0.0L;
            for (int b = 0; b < ng; ++b) v -= lc.cov[a * ng + b] * lc.q[b];
            out.unknowns[a * n + ng] = out.unknowns[ng * n + a] = v * scale;
        }
        out.unknowns[ng * n + ng] = lc.level_var * scale;
    }
    ReportCovariance(&out, period, params, lc.s.law, lc.fit.c.data(), epoch);
    return out;
}
