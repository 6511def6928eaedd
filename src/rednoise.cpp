#include "rednoise.h"

#include <algorithm>
#include <cmath>

#include "driver.h"
#include "report.h"

namespace {

// The central 68.27 % of a normal distribution: from Φ(−1) to Φ(1).
constexpr long double kLowQuantile = 0.158655253931457051415L;
constexpr long double kHighQuantile = 0.841344746068542948585L;

// The problem of the refits: the best fit's, its parts or all points over its exposure.
FitProblem RefitProblem(const BestFit& f, const long double* data) {
    FitProblem p;
    p.data = data;
    p.points = f.pointnum;
    if (f.parts)
        p.parts = *f.parts;
    else
        p.parts.push_back(DataPart{0, f.pointnum, f.exposure, "", ""});
    p.parflag = f.parflag;
    p.ldflag = f.ldflag;
    p.lambda = f.lambda;
    if (f.linear) p.linear = *f.linear;
    return p;
}

// Every fitted quantity of a solved state, in the layout of FitUncertainties: the six reported
// values, the law coefficients, the zero-point level.
FitUncertainties Quantities(const FitState& s) {
    FitUncertainties q{};
    report_values(s.par, s.period, q.par);
    s.LawCoefficients(q.ld);
    q.zeropoint = s.Extended() ? s.Level() : 1.0L;
    return q;
}

// Which entries of FitUncertainties the fit determines.
struct Fitted {
    bool par[6] = {};
    bool ld[kMaxCoefficients] = {};
    bool zeropoint = false;
};
Fitted FittedEntries(const BestFit& f) {
    Fitted w;
    for (int i = 0; i < kGeometricCount; ++i) w.par[i] = (f.parflag & FitBit(i)) != 0;
    const int held = f.linear ? f.linear->held : 0;
    for (int term = 0, k = 0; term < kLawTermCount; ++term)
        if (f.ldflag & TermBit(term)) w.ld[k++] = !(held & TermBit(term));
    w.zeropoint = f.linear && f.linear->degree >= 0;
    return w;
}

// Half the width of the central 68.27 % of `v`, between order statistics by linear
// interpolation.
long double CentralHalfWidth(std::vector<long double> v) {
    std::sort(v.begin(), v.end());
    auto quantile = [&](long double p) {
        const long double at = p * (v.size() - 1);
        const std::size_t lo = static_cast<std::size_t>(at);
        if (lo + 1 >= v.size()) return v.back();
        return v[lo] + (at - lo) * (v[lo + 1] - v[lo]);
    };
    return (quantile(kHighQuantile) - quantile(kLowQuantile)) / 2.0L;
}

}  // namespace

std::vector<long double> best_fit_model(const BestFit& f) {
    const FitProblem problem = RefitProblem(f, f.data);
    FitState s(problem, f.params, f.period);
    std::copy(f.lset, f.lset + s.lset.size(), s.lset.begin());
    s.Solve();
    long double c[kMaxCoefficients];
    s.BasisCoefficients(c);
    const FitCounts fc = count_fit(f.parflag, f.ldflag);
    std::vector<long double> model(f.pointnum);
    for (std::int64_t i = 0; i < f.pointnum; ++i) {
        const long double* B = f.lset + i * fc.len;
        const long double G = model_flux(B, fc.ldnum, c);
        model[i] = s.Extended() ? baseline_at(s.lfit, s.linear, i) * G : G;
    }
    return model;
}

std::vector<long double> beta_widths(const long double* params, long double period) {
    const TransitContacts c = transit_contacts(params, period);
    const long double total = c.t4 - c.t1;
    if (!(total > 0.0L)) return {};
    const long double ingress = std::isnan(c.t2) ? total / 2.0L : c.t2 - c.t1;
    std::vector<long double> widths;
    for (int k = 0; k < kBetaWidths; ++k)
        widths.push_back(ingress + (total - ingress) * k / (kBetaWidths - 1));
    return widths;
}

long double time_averaging_beta(const long double* data, std::int64_t pointnum,
                                const std::vector<long double>& model,
                                const std::vector<long double>& widths) {
    if (pointnum < 4) return 1.0L;
    std::vector<long double> r(pointnum), gaps;
    long double sum2 = 0.0L;
    for (std::int64_t i = 0; i < pointnum; ++i) {
        r[i] = data[3 * i + 1] - model[i];
        sum2 += r[i] * r[i];
        if (i > 0 && data[3 * i] > data[3 * i - 3]) gaps.push_back(data[3 * i] - data[3 * i - 3]);
    }
    if (gaps.empty() || !(sum2 > 0.0L)) return 1.0L;
    std::nth_element(gaps.begin(), gaps.begin() + gaps.size() / 2, gaps.end());
    const long double cadence = gaps[gaps.size() / 2];
    const long double sigma1 = std::sqrt(sum2 / pointnum);

    long double ratios = 0.0L;
    int used = 0;
    for (const long double w : widths) {
        const long double per_bin = std::round(w / cadence);
        if (!(per_bin >= 2.0L) || per_bin > pointnum / 2) continue;
        const std::int64_t N = static_cast<std::int64_t>(per_bin), M = pointnum / N;
        long double s2 = 0.0L;
        for (std::int64_t b = 0; b < M; ++b) {
            long double mean = 0.0L;
            for (std::int64_t i = b * N; i < (b + 1) * N; ++i) mean += r[i];
            mean /= N;
            s2 += mean * mean;
        }
        const long double sigmaN = std::sqrt(s2 / M);
        const long double expected =
            sigma1 * std::sqrt(static_cast<long double>(M) / (N * (M - 1.0L)));
        ratios += sigmaN / expected;
        ++used;
    }
    return used ? std::fmax(ratios / used, 1.0L) : 1.0L;
}

PermutationSpread residual_permutation(const BestFit& f, const std::vector<long double>& model,
                                       const std::vector<long double>& residuals, int shifts) {
    PermutationSpread out;
    const std::int64_t n = f.pointnum;
    out.shifts = static_cast<int>(std::min<std::int64_t>(shifts, n));
    const Fitted fitted = FittedEntries(f);
    std::vector<FitUncertainties> values;
    std::vector<long double> data(f.data, f.data + 3 * n);
    const FitProblem problem = RefitProblem(f, data.data());
    FitState s(problem, f.params, f.period);
    for (int j = 0; j < out.shifts; ++j) {
        const std::int64_t shift = j * n / out.shifts;
        for (std::int64_t i = 0; i < n; ++i)
            data[3 * i + 1] = model[i] + residuals[(i + shift) % n];
        // The design array does not depend on the fluxes: the best fit's starts every refit.
        std::copy(f.params, f.params + 6, s.par);
        s.period = f.period;
        std::copy(f.lset, f.lset + s.lset.size(), s.lset.begin());
        fit_loop(&s, kRefitSteps, true);
        values.push_back(Quantities(s));
    }
    if (values.empty()) return out;
    auto spread = [&](auto member) {
        std::vector<long double> v;
        for (const FitUncertainties& q : values) v.push_back(member(q));
        return CentralHalfWidth(v);
    };
    for (int i = 0; i < 6; ++i)
        if (fitted.par[i])
            out.sigma.par[i] = spread([i](const FitUncertainties& q) { return q.par[i]; });
    for (int k = 0; k < kMaxCoefficients; ++k)
        if (fitted.ld[k])
            out.sigma.ld[k] = spread([k](const FitUncertainties& q) { return q.ld[k]; });
    if (fitted.zeropoint)
        out.sigma.zeropoint = spread([](const FitUncertainties& q) { return q.zeropoint; });
    return out;
}

RedNoise rednoise_uncertainties(const BestFit& f, const FitUncertainties& unc) {
    RedNoise out;
    const std::vector<long double> model = best_fit_model(f);
    out.beta = time_averaging_beta(f.data, f.pointnum, model, beta_widths(f.params, f.period));
    out.scaled = unc;
    for (long double& s : out.scaled.par) s *= out.beta;
    for (long double& s : out.scaled.ld) s *= out.beta;
    out.scaled.zeropoint *= out.beta;
    out.scaled.period *= out.beta;
    std::vector<long double> residuals(f.pointnum);
    for (std::int64_t i = 0; i < f.pointnum; ++i) residuals[i] = f.data[3 * i + 1] - model[i];
    out.permutation = residual_permutation(f, model, residuals, kPermutationShifts);
    return out;
}
