// Property test of the design set: for parameter vectors anywhere in the ranges the fit can
// produce, every entry of the design array - values and derivatives of all four basis terms
// by all six parameters - is a finite number, at points of every kind.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "lustre.h"
#include "optimize.h"
#include "test_util.h"

namespace {

constexpr long double kThreePiOver2 = 4.712388980384689857694L;

enum PointKind { kBehind, kBeyondContact, kCrossing, kInside, kCentral, kKinds };
const char* const kKindNames[kKinds] = {"behind", "beyond contact", "crossing", "inside",
                                        "central"};

struct Draw {
    long double params[6];
    std::vector<long double> data;  // time, flux, sigma
};

std::string Describe(const long double* p, long double t) {
    std::ostringstream s;
    s.precision(21);
    s << "phi0 " << p[0] << " e " << p[1] << " w " << p[2] << " ci " << p[3] << " rsun " << p[4]
      << " rplanet " << p[5] << " t " << t;
    return s.str();
}

// The point's kind by the separation the model sees: x = δ/R against ρ = Rp/R.
PointKind Classify(const long double* p, long double t) {
    const long double M = ((t + t) * kPi) - p[0];  // period 1
    long double delta, g[4];
    const long double e = p[1] == 1.0L ? std::nextafter(1.0L, 0.0L) : p[1];
    if (!DeltaEccentric_omega_ci_d(M, e, p[2], p[3], &delta, g, g + 1, g + 2, g + 3))
        return kBehind;
    if (delta == 0.0L) return kCentral;
    const long double x = delta / p[4], rho = p[5] / p[4];
    if (x >= 1 + rho) return kBeyondContact;
    if (x > std::fabs(1 - rho)) return kCrossing;
    return kInside;
}

class Sampler {
   public:
    explicit Sampler(std::uint64_t seed) : rng_(seed) {}
    long double Uniform(long double lo, long double hi) {
        return lo + (hi - lo) * std::uniform_real_distribution<double>(0, 1)(rng_);
    }
    long double LogUniform(long double lo, long double hi) {
        return std::exp(Uniform(std::log(lo), std::log(hi)));
    }
    template <std::size_t N>
    long double Pick(const long double (&choices)[N]) {
        return choices[std::uniform_int_distribution<std::size_t>(0, N - 1)(rng_)];
    }
    bool Coin(double p) { return std::bernoulli_distribution(p)(rng_); }

   private:
    std::mt19937_64 rng_;
};

// A parameter vector in the fit's ranges (e and cos² i in [0, 1], radii in [0, 1] with the
// reset values of the step, any ω), with the transit at t = 0 of a period-1 orbit, and 48
// times: across the transit on the scale of its duration, at random phases, and 1e9 periods on.
Draw DrawParameters(Sampler& s) {
    Draw d;
    long double* p = d.params;
    const long double es[] = {0.0L, 1.0L, std::nextafter(1.0L, 0.0L), 0.5L, 0.999999L};
    p[1] = s.Coin(0.4) ? s.Pick(es) : s.Uniform(0, 1);
    const long double ws[] = {0.0L, kPi / 2, kPi, kThreePiOver2, -kPi / 2, 7.0L};
    p[2] = s.Coin(0.3) ? s.Pick(ws) : s.Uniform(-2 * kPi, 2 * kPi);
    const long double cis[] = {0.0L, 1.0L, 1e-30L, 0.999999L};
    p[3] = s.Coin(0.3) ? s.Pick(cis) : s.Coin(0.5) ? s.Uniform(0, 1) : s.LogUniform(1e-8L, 1e-1L);
    const long double rsuns[] = {0.0L, 0x1p-64L, 1e-12L, 1.0L, 0.09L, 0.08999999999999999666L};
    p[4] = s.Coin(0.3) ? s.Pick(rsuns) : s.LogUniform(1e-6L, 1);
    const long double rplanets[] = {0.0L, 1.0L, 0.008999999999999999319988397L, 1e-30L};
    if (s.Coin(0.2)) {
        p[5] = s.Pick(rplanets);
    } else if (s.Coin(0.3)) {
        p[5] = p[4] * s.Pick({0.5L, 1.0L, 2.0L, 0.1L});  // radius ratios of contact geometry
    } else {
        p[5] = s.LogUniform(1e-8L, 1);
    }
    p[0] = 0.0L;
    p[0] = phase_parameter(0.0L, 1.0L, p);
    if (std::isnan(p[0])) p[0] = -kThreePiOver2;
    // Duration of a transit on a circular orbit, in periods, as a scale for the times.
    const long double span = (std::fmax(p[4], 1e-9L) + p[5]) / kPi;
    for (int i = 0; i < 48; ++i) {
        long double t;
        if (i < 32) {
            t = span * (i - 16) / 12.0L;
        } else if (i < 44) {
            t = s.Uniform(-0.5L, 0.5L);
        } else {
            t = 1e9L + span * (i - 46) / 2.0L;
        }
        d.data.insert(d.data.end(), {t, 1.0L, 1e-3L});
    }
    return d;
}

long double PointTime(const Draw& d, int i) { return d.data[3 * i]; }

}  // namespace

TEST(DesignSet, FiniteAtEveryKindOfPoint) {
    Sampler s(20261207);
    int seen[kKinds] = {};
    const int kTrials = 300;
    for (int trial = 0; trial < kTrials; ++trial) {
        Draw d = DrawParameters(s);
        if (trial == 0) {
            // Exactly central: edge-on, circular, at the conjunction, where δ = 0 and the
            // separation's derivatives are 0/0 (a kink of δ = r·|cos u|).
            const long double central[6] = {-kThreePiOver2, 0.0L, 0.0L, 0.0L, 0.1L, 0.01L};
            std::copy(central, central + 6, d.params);
            d.data[0] = 0.0L;
            ASSERT_EQ(Classify(d.params, 0.0L), kCentral);
        }
        const int n = static_cast<int>(d.data.size() / 3);
        const FitCounts fc = count_fit(63, 15);
        std::vector<long double> lset(static_cast<std::size_t>(fc.len) * n);
        der_set_norm_ci(lset.data(), d.data.data(), n, 1.0L, d.params, 63, 15);
        for (int i = 0; i < n; ++i) {
            ++seen[Classify(d.params, PointTime(d, i))];
            for (int k = 0; k < fc.len; ++k) {
                const long double v = lset[static_cast<std::size_t>(i) * fc.len + k];
                ASSERT_TRUE(std::isfinite(v))
                    << "entry " << k << " (row " << k / fc.ldnum << ", term " << k % fc.ldnum
                    << ") = " << double(v) << " at " << Describe(d.params, PointTime(d, i));
            }
        }
    }
    for (int kind = 0; kind < kKinds; ++kind)
        EXPECT_GT(seen[kind], 0) << "no point " << kKindNames[kind];
}
