// Property test of the design set: for parameter vectors anywhere in the ranges the fit can
// produce, every entry of the design array - values and derivatives of all four basis terms
// by all six parameters - is a finite number, at points of every kind; behind the star every
// point is an unocculted star.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "lustre.h"
#include "optimize.h"
#include "test_util.h"

namespace {

enum PointKind { kBehind, kBeyondContact, kCrossing, kInside, kCentral, kKinds };

// The point's kind by the separation the model sees: x = δ/R against ρ = Rp/R (period 1).
PointKind Classify(const long double* p, long double t) {
    long double delta, g[4];
    const long double e = p[1] == 1.0L ? nextafterl(1.0L, 0.0L) : p[1];
    if (!DeltaEccentric_omega_ci_d((t + t) * kPi - p[0], e, p[2], p[3], &delta, g, g + 1, g + 2,
                                   g + 3))
        return kBehind;
    if (delta == 0.0L) return kCentral;
    const long double x = delta / p[4], rho = p[5] / p[4];
    if (x >= 1 + rho) return kBeyondContact;
    return x > std::fabs(1 - rho) ? kCrossing : kInside;
}

}  // namespace

// Parameter vectors in the fit's ranges (e and cos² i in [0, 1], radii in [0, 1] with the reset
// values of the step, any ω), often at the edges, with the transit at t = 0 of a period-1 orbit,
// and 50 times: across the transit on the scale of its duration, at random phases, at and next
// to periastron (where e → 1 is most violent) and 1e9 periods on. The first draw is exactly
// central: edge-on, circular, at the conjunction, where δ = 0 and the separation's derivatives
// are 0/0 (a kink of δ = r·|cos u|).
TEST(DesignSet, FiniteAtEveryKindOfPoint) {
    std::mt19937_64 rng(20261207);
    auto uniform = [&](long double lo, long double hi) {
        return lo + (hi - lo) * std::uniform_real_distribution<double>(0, 1)(rng);
    };
    auto log_uniform = [&](long double lo, long double hi) {
        return expl(uniform(logl(lo), logl(hi)));
    };
    auto coin = [&](double p) { return std::bernoulli_distribution(p)(rng); };
    auto pick = [&](std::vector<long double> choices) {
        return choices[std::uniform_int_distribution<std::size_t>(0, choices.size() - 1)(rng)];
    };
    const FitCounts fc = count_fit(63, 15);
    int seen[kKinds] = {};
    for (int trial = 0; trial < 300; ++trial) {
        long double p[6];
        p[1] =
            coin(0.4) ? pick({0.0L, 1.0L, nextafterl(1.0L, 0.0L), 0.5L, 0.999999L}) : uniform(0, 1);
        p[2] = coin(0.3) ? pick({0.0L, kPi / 2, kPi, 3 * kPi / 2, -kPi / 2, 7.0L})
                         : uniform(-2 * kPi, 2 * kPi);
        p[3] = coin(0.3)   ? pick({0.0L, 1.0L, 1e-30L, 0.999999L})
               : coin(0.5) ? uniform(0, 1)
                           : log_uniform(1e-8L, 1e-1L);
        p[4] = coin(0.3) ? pick({0.0L, 0x1p-64L, 1e-12L, 1.0L, 0.09L, 0.08999999999999999666L})
                         : log_uniform(1e-6L, 1);
        if (coin(0.2)) {
            p[5] = pick({0.0L, 1.0L, 0.008999999999999999319988397L, 1e-30L});
        } else {
            p[5] = coin(0.3) ? p[4] * pick({0.5L, 1.0L, 2.0L, 0.1L}) : log_uniform(1e-8L, 1);
        }
        p[0] = phase_parameter(0.0L, 1.0L, p);
        if (std::isnan(p[0])) p[0] = -3 * kPi / 2;
        std::vector<long double> times;
        const long double span = (std::fmax(p[4], 1e-9L) + p[5]) / kPi;  // a transit, circular
        for (int i = 0; i < 32; ++i) times.push_back(span * (i - 16) / 12.0L);
        for (int i = 0; i < 12; ++i) times.push_back(uniform(-0.5L, 0.5L));
        for (long double dm : {0.0L, 1e-9L, -1e-15L}) times.push_back((p[0] + dm) / (2 * kPi));
        for (int i = 44; i < 48; ++i) times.push_back(1e9L + span * (i - 46) / 2.0L);
        if (trial == 0) {
            const long double central[6] = {-3 * kPi / 2, 0.0L, 0.0L, 0.0L, 0.1L, 0.01L};
            std::copy(central, central + 6, p);
            times[0] = 0.0L;
            ASSERT_EQ(Classify(p, 0.0L), kCentral);
        }
        std::vector<long double> data;
        for (long double t : times) data.insert(data.end(), {t, 1.0L, 1e-3L});
        std::vector<long double> lset(fc.len * times.size());
        der_set_norm_ci(lset.data(), data.data(), times.size(), 1.0L, p, 63, 15);
        for (std::size_t i = 0; i < times.size(); ++i) {
            const PointKind kind = Classify(p, times[i]);
            ++seen[kind];
            for (int k = 0; k < fc.len; ++k) {
                const long double v = lset[i * fc.len + k];
                ASSERT_TRUE(std::isfinite(v))
                    << "entry " << k << " = " << double(v)
                    << " at φ0, e, ω, cos² i, rsun, rplanet, t"
                    << Show({p[0], p[1], p[2], p[3], p[4], p[5], times[i]});
                if (kind == kBehind) {
                    EXPECT_EQ(v, k == 0 ? 1.0L : 0.0L) << "entry " << k << " behind the star";
                }
            }
        }
    }
    for (int kind = 0; kind < kKinds; ++kind)
        EXPECT_GT(seen[kind], 0) << "no point of kind " << kind;
}
