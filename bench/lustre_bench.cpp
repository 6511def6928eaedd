// Cost per call of the light-curve model: each occultation family (value and both partial
// derivatives) with the planet inside the stellar disc, crossing its limb and outside it;
// Kepler's equation and the projected separation at three eccentricities.  Inputs come from
// arrays so that nothing folds; one item is one (δ, r) pair or one mean anomaly.
#include <benchmark/benchmark.h>

#include <vector>

#include "lustre.h"

namespace {

constexpr int kSamples = 64;
constexpr long double kRadius = 0.1L;  // planet radius over stellar radius

enum Region { kInside = 0, kCrossing = 1, kOutside = 2 };

// kSamples centre distances spread over the region, for the radius kRadius.
std::vector<long double> Distances(int region) {
    long double lo = 0.0L, hi = 1.0L - kRadius;
    if (region == kCrossing) lo = 1.0L - kRadius, hi = 1.0L + kRadius;
    if (region == kOutside) lo = 1.0L + kRadius, hi = 2.0L;
    std::vector<long double> d(kSamples);
    for (int i = 0; i < kSamples; ++i) d[i] = lo + (hi - lo) * (i + 0.5L) / kSamples;
    return d;
}

template <long double (*F)(long double, long double), long double (*D1)(long double, long double),
          long double (*D2)(long double, long double)>
void BM_Family(benchmark::State& state) {
    const std::vector<long double> d = Distances(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        for (long double delta : d) {
            benchmark::DoNotOptimize(F(delta, kRadius));
            benchmark::DoNotOptimize(D1(delta, kRadius));
            benchmark::DoNotOptimize(D2(delta, kRadius));
        }
    }
    state.SetItemsProcessed(state.iterations() * kSamples);
}

void RegionArgs(benchmark::internal::Benchmark* b) {
    b->ArgName("region")->Arg(kInside)->Arg(kCrossing)->Arg(kOutside);
}

BENCHMARK_TEMPLATE(BM_Family, L0, D1L0, D2L0)->Name("Uniform/separate")->Apply(RegionArgs);
BENCHMARK_TEMPLATE(BM_Family, L1, D1L1, D2L1)->Name("Linear/separate")->Apply(RegionArgs);
BENCHMARK_TEMPLATE(BM_Family, L2, D1L2, D2L2)->Name("Quadratic/separate")->Apply(RegionArgs);
BENCHMARK_TEMPLATE(BM_Family, L3, D1L3, D2L3)->Name("SquareRoot/separate")->Apply(RegionArgs);

// The per-point sets that the design set calls: value and both derivatives, work done once.
void UniformSet(long double delta, long double r) {
    OccultTerm l0;
    L0L2Set(delta, r, &l0, nullptr);
    benchmark::DoNotOptimize(l0);
}
void QuadraticSet(long double delta, long double r) {  // with the uniform term it comes with
    OccultTerm l0, l2;
    L0L2Set(delta, r, &l0, &l2);
    benchmark::DoNotOptimize(l2);
}
void LinearSet(long double delta, long double r) { benchmark::DoNotOptimize(L1Set(delta, r)); }
void SquareRootSet(long double delta, long double r) { benchmark::DoNotOptimize(L3Set(delta, r)); }

template <void (*Set)(long double, long double)>
void BM_Set(benchmark::State& state) {
    const std::vector<long double> d = Distances(static_cast<int>(state.range(0)));
    for (auto _ : state)
        for (long double delta : d) Set(delta, kRadius);
    state.SetItemsProcessed(state.iterations() * kSamples);
}

BENCHMARK_TEMPLATE(BM_Set, UniformSet)->Name("Uniform/set")->Apply(RegionArgs);
BENCHMARK_TEMPLATE(BM_Set, LinearSet)->Name("Linear/set")->Apply(RegionArgs);
BENCHMARK_TEMPLATE(BM_Set, QuadraticSet)->Name("Uniform+Quadratic/set")->Apply(RegionArgs);
BENCHMARK_TEMPLATE(BM_Set, SquareRootSet)->Name("SquareRoot/set")->Apply(RegionArgs);

// Mean anomalies over several orbits, as a light curve sees them.
std::vector<long double> MeanAnomalies() {
    std::vector<long double> m(kSamples);
    for (int i = 0; i < kSamples; ++i) m[i] = -20.0L + 40.0L * (i + 0.5L) / kSamples;
    return m;
}

long double Eccentricity(const benchmark::State& state) { return state.range(0) / 10.0L; }

void EccentricityArgs(benchmark::internal::Benchmark* b) {
    b->ArgName("e_x10")->Arg(0)->Arg(3)->Arg(9);
}

void BM_Kepler(benchmark::State& state) {
    const std::vector<long double> m = MeanAnomalies();
    const long double e = Eccentricity(state);
    for (auto _ : state)
        for (long double x : m) benchmark::DoNotOptimize(Kepler(x, e));
    state.SetItemsProcessed(state.iterations() * kSamples);
}
BENCHMARK(BM_Kepler)->Apply(EccentricityArgs);

void BM_Separation(benchmark::State& state) {
    const std::vector<long double> m = MeanAnomalies();
    const long double e = Eccentricity(state);
    long double delta, df, de, dw, di;
    for (auto _ : state) {
        for (long double x : m) {
            benchmark::DoNotOptimize(
                DeltaEccentric_omega_ci_d(x, e, 1.2L, 0.0025L, &delta, &df, &de, &dw, &di));
            benchmark::DoNotOptimize(delta);
        }
    }
    state.SetItemsProcessed(state.iterations() * kSamples);
}
BENCHMARK(BM_Separation)->Name("DeltaEccentric_omega_ci_d")->Apply(EccentricityArgs);

}  // namespace

BENCHMARK_MAIN();
