// Cost of the design set per observation and of a whole fit, on synthetic light curves of a
// hot Jupiter at two-minute cadence with about 5% of the points in transit.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "constants.h"
#include "driver.h"
#include "lustre.h"
#include "optimize.h"
#include "rednoise.h"

namespace {

constexpr long double kPeriod = 3.0L;           // days
constexpr long double kTshift = 1.5L;           // days
constexpr long double kCadence = 2.0L / 1440;   // days
constexpr long double kRsun = 0.15L;            // R*/a
constexpr long double kRplanet = 0.015L;        // Rp/a
constexpr long double kInclination = 88.0L;     // degrees
constexpr long double kU1 = 0.4L, kU2 = 0.25L;  // quadratic law
constexpr long double kNoise = 300e-6L;

constexpr int kAllTerms = 1 | 2 | 4 | 8;
constexpr int kLinQuad = 1 | 2 | 4;
constexpr int kAllParams = 63;
constexpr int kFourParams = 1 | 8 | 16 | 32;  // tshift, inclination, rsun, rplanet

struct Curve {
    long double par[6];
    std::vector<long double> data;  // time, flux, uncertainty
    std::int64_t points() const { return static_cast<std::int64_t>(data.size() / 3); }
};

// Which points to keep: all of them, only those in transit, only those out of transit.
enum Subset { kAll = 0, kInTransit = 1, kOutOfTransit = 2 };

bool InTransit(const long double* par, long double t) {
    const long double tp = t / kPeriod;
    long double delta, df, de, dw, di;
    const int front = DeltaEccentric_omega_ci_d((tp + tp) * kPi - par[0], par[1], par[2], par[3],
                                                &delta, &df, &de, &dw, &di);
    return front && delta < par[4] + par[5];
}

// `points` observations of the true model (quadratic law) plus Gaussian noise of a fixed seed.
Curve MakeCurve(std::int64_t points, long double e, Subset subset) {
    Curve c;
    const long double ci = std::cos((kInclination * kPi) / 180.0L);
    c.par[1] = e;
    c.par[2] = 90.0L * kPi / 180.0L;
    c.par[3] = ci * ci;
    c.par[4] = kRsun;
    c.par[5] = kRplanet;
    c.par[0] = phase_parameter(kTshift, kPeriod, c.par);
    for (std::int64_t i = 0; c.points() < points; ++i) {
        const long double t = i * kCadence;
        if (subset != kAll && InTransit(c.par, t) != (subset == kInTransit)) continue;
        c.data.insert(c.data.end(), {t, 1.0L, kNoise});
    }
    std::vector<long double> basis(3 * points);
    der_set_norm_ci(basis.data(), c.data.data(), points, kPeriod, c.par, 0, kLinQuad);
    const long double S = kPi - (kPi / 3) * kU1 - (kPi / 6) * kU2;
    std::mt19937_64 gen(20261207);
    std::normal_distribution<double> noise;
    for (std::int64_t i = 0; i < points; ++i) {
        const long double* B = &basis[3 * i];
        c.data[3 * i + 1] = B[0] + (kU1 / S) * B[1] + (kU2 / S) * B[2] + kNoise * noise(gen);
    }
    return c;
}

// Design set of the true parameters; one item is one observation.
void BM_DesignSet(benchmark::State& state, Subset subset, long double e, int parflag, int ldflag) {
    set_design_threads(1);  // the cost of one point on one core
    const Curve c = MakeCurve(subset == kInTransit ? 2000 : 20000, e, subset);
    const FitCounts fc = count_fit(parflag, ldflag);
    std::vector<long double> lset(static_cast<std::size_t>(fc.len) * c.points());
    for (auto _ : state) {
        der_set_norm_ci(lset.data(), c.data.data(), c.points(), kPeriod, c.par, parflag, ldflag);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * c.points());
}

BENCHMARK_CAPTURE(BM_DesignSet, curve_all_terms_6par, kAll, 0.0L, kAllParams, kAllTerms);
BENCHMARK_CAPTURE(BM_DesignSet, curve_lin_quad_4par, kAll, 0.0L, kFourParams, kLinQuad);
BENCHMARK_CAPTURE(BM_DesignSet, curve_e03_all_terms_6par, kAll, 0.3L, kAllParams, kAllTerms);
BENCHMARK_CAPTURE(BM_DesignSet, out_of_transit_all_terms_6par, kOutOfTransit, 0.0L, kAllParams,
                  kAllTerms);
BENCHMARK_CAPTURE(BM_DesignSet, in_transit_lin_quad_6par, kInTransit, 0.0L, kAllParams, kLinQuad);
BENCHMARK_CAPTURE(BM_DesignSet, in_transit_all_terms_6par, kInTransit, 0.0L, kAllParams, kAllTerms);

// The Driver's whole fit of a 100 000-point light curve: lin and quad, tshift, inclination,
// rsun and rplanet fitted from a start a few per cent off, 20 iterations of the fit loop, which
// leaves the best set designed and solved; on one thread and on two.
FitProblem CurveProblem(const Curve& c) {
    FitProblem p;
    p.data = c.data.data();
    p.points = c.points();
    p.parflag = kFourParams;
    p.ldflag = kLinQuad;
    p.lambda = 0.01L;
    return p;
}

void FitCurve(FitState* s) {
    long double start[6] = {0.0L, 0.0L,          90.0L * kPi / 180.0L,
                            0.0L, kRsun * 1.03L, kRplanet * 0.97L};
    const long double ci = std::cos(((kInclination - 0.9L) * kPi) / 180.0L);
    start[3] = ci * ci;
    start[0] = phase_parameter(kTshift + 0.0025L, kPeriod, start);
    std::copy(start, start + 6, s->par);
    s->period = kPeriod;
    s->Design();
    fit_loop(s, 20, false);
}

void BM_Fit(benchmark::State& state) {
    set_design_threads(static_cast<int>(state.range(0)));
    const Curve c = MakeCurve(100000, 0.0L, kAll);
    const FitProblem problem = CurveProblem(c);
    FitState s(problem, c.par, kPeriod);
    for (auto _ : state) {
        FitCurve(&s);
        long double ld[kMaxCoefficients];
        s.LawCoefficients(ld);
        benchmark::DoNotOptimize(ld[0]);
    }
    state.SetItemsProcessed(state.iterations() * c.points());
}
BENCHMARK(BM_Fit)
    ->Name("Fit/100000_points_20_iterations")
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0)
    ->ArgName("threads")
    ->Arg(1)
    ->Arg(2);

// The rednoise switch after the fit above: β and the residual permutation (40 shifts of 2
// refit steps each), to be read against Fit/100000_points_20_iterations of the same threads;
// the switch is to cost at most 10 such fits.
void BM_RedNoise(benchmark::State& state) {
    set_design_threads(static_cast<int>(state.range(0)));
    const Curve c = MakeCurve(100000, 0.0L, kAll);
    const FitProblem problem = CurveProblem(c);
    FitState s(problem, c.par, kPeriod);
    FitCurve(&s);
    const FitUncertainties unc = fit_uncertainties(s.lset.data(), c.data.data(), c.points(),
                                                   kPeriod, s.par, kFourParams, kLinQuad, 1.0L);
    const BestFit best{c.data.data(), c.points(), kPeriod, s.par,   s.lset.data(),
                       kFourParams,   kLinQuad,   0.01L,   nullptr, 0.0L};
    for (auto _ : state) {
        const RedNoise red = rednoise_uncertainties(best, unc);
        benchmark::DoNotOptimize(red.permutation.sigma.par[5]);
    }
    state.SetItemsProcessed(state.iterations() * c.points());
}
BENCHMARK(BM_RedNoise)
    ->Name("RedNoise/100000_points_40_shifts")
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0)
    ->ArgName("threads")
    ->Arg(1)
    ->Arg(2);

// Four years of Kepler long cadence (71 500 points every 0.0204335 d, a hot Jupiter of 3 d
// with about 4% of the points in transit, 100 ppm), each point the mean of the true model over
// its exposure; a fit like BM_Fit's (lin and quad, tshift, inclination, rsun, rplanet, 20
// iterations of damping 0.001 from a start 1 degree and a few per cent off, which the fit with
// the exposure reaches the truth from by its last steps) with `exposure 0.0204335` (argument 1)
// and without it (0), on one thread. The counters give the model evaluations per exposure that
// touches the transit, mean and most, in the final evaluation; the target is a ratio of at
// most 8 between the two times.
constexpr long double kLongCadence = 0.0204335L;  // days, also the exposure

void BM_LongCadenceFit(benchmark::State& state) {
    set_design_threads(1);
    const long double exposure = state.range(0) ? kLongCadence : 0.0L;
    constexpr std::int64_t kPoints = 71500;
    long double truth[6];
    const long double ci = std::cos((86.0L * kPi) / 180.0L);
    truth[1] = 0.0L;
    truth[2] = 90.0L * kPi / 180.0L;
    truth[3] = ci * ci;
    truth[4] = 0.125L;
    truth[5] = 0.0125L;
    truth[0] = phase_parameter(kTshift, kPeriod, truth);
    std::vector<long double> data;
    for (std::int64_t i = 0; i < kPoints; ++i)
        data.insert(data.end(), {i * kLongCadence, 1.0L, 1e-4L});
    {
        std::vector<long double> basis(3 * kPoints);
        der_set_norm_ci_exposure(basis.data(), data.data(), kPoints, kPeriod, truth, 0, kLinQuad,
                                 kLongCadence);
        const long double S = kPi - (kPi / 3) * kU1 - (kPi / 6) * kU2;
        std::mt19937_64 gen(20261207);
        std::normal_distribution<double> noise;
        for (std::int64_t i = 0; i < kPoints; ++i) {
            const long double* B = &basis[3 * i];
            data[3 * i + 1] = B[0] + (kU1 / S) * B[1] + (kU2 / S) * B[2] + 1e-4L * noise(gen);
        }
    }
    FitProblem problem;
    problem.data = data.data();
    problem.points = kPoints;
    problem.parflag = kFourParams;
    problem.ldflag = kLinQuad;
    problem.lambda = 0.001L;
    if (exposure != 0.0L) {
        DataPart part;
        part.count = kPoints;
        part.exposure = exposure;
        problem.parts = {part};
    }
    FitState s(problem, truth, kPeriod);
    for (auto _ : state) {
        const long double cs = std::cos((85.0L * kPi) / 180.0L);
        s.par[1] = 0.0L;
        s.par[2] = truth[2];
        s.par[3] = cs * cs;
        s.par[4] = 0.125L * 1.03L;
        s.par[5] = 0.0125L * 0.97L;
        s.par[0] = phase_parameter(kTshift + 0.0025L, kPeriod, s.par);
        s.period = kPeriod;
        s.Design();
        const FitRecord rec = fit_loop(&s, 20, false);
        benchmark::DoNotOptimize(rec.best_chi2);
    }
    const long double* par = s.par;
    const FitCounts fc = count_fit(kFourParams, kLinQuad);
    std::vector<long double> st(static_cast<std::size_t>(fc.len) * kPoints);
    ExposureCost cost;
    der_set_norm_ci_exposure(st.data(), data.data(), kPoints, kPeriod, par, kFourParams, kLinQuad,
                             exposure, &cost);
    state.counters["exposures_in_transit"] = static_cast<double>(cost.exposures);
    state.counters["evaluations_mean"] =
        cost.exposures ? static_cast<double>(cost.evaluations) / cost.exposures : 0.0;
    state.counters["evaluations_max"] = cost.most;
    long double shown[6];
    report_values(par, kPeriod, shown);
    state.counters["rsun"] = static_cast<double>(shown[4]);
    state.counters["inclination"] = static_cast<double>(shown[3]);
    state.SetItemsProcessed(state.iterations() * kPoints);
}
BENCHMARK(BM_LongCadenceFit)
    ->Name("LongCadenceFit/71500_points_20_iterations")
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0)
    ->ArgName("exposure")
    ->Arg(0)
    ->Arg(1);

}  // namespace

BENCHMARK_MAIN();
