#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "lustre.h"
#include "test_util.h"

namespace {

constexpr long double kNaN = std::numeric_limits<long double>::quiet_NaN();
constexpr long double kInf = std::numeric_limits<long double>::infinity();

// |E - e·sin E - x| in units in the last place of the largest term.  For e < 0 the solver
// works with x - π and E - π, so those join the scale (π alone near x = 0).
long double KeplerResidualUlps(long double x, long double e, long double E) {
    long double big = std::fmax(std::fabs(x), std::fabs(E));
    if (e < 0) big = std::max({big, std::fabs(x - kPi), std::fabs(E - kPi), kPi});
    const long double res = std::fabs(E - e * sinl(E) - x);
    return res == 0 ? 0 : res / std::ldexp(1.0L, std::ilogb(big) - 63);
}

// δ from the position in the orbital plane, (cos E - e, √(1-e²)·sin E), turned by ω; the
// offset along the line of sight shrinks by cos i.  Gives the front flag and S = δ/r too.
struct Cartesian {
    long double delta, S;
    int flag;
};
Cartesian CartesianSeparation(long double fi, long double e, long double omega,
                              long double cisqrt) {
    const long double E = Kepler(fi, e);
    const long double X = cosl(E) - e, Y = sqrtl(1 - e * e) * sinl(E);
    const long double along = X * cosl(omega) - Y * sinl(omega);  // r·cos u
    const long double depth = X * sinl(omega) + Y * cosl(omega);  // r·sin u
    const long double delta = sqrtl(along * along + cisqrt * depth * depth);
    return {delta, delta / (1 - e * cosl(E)), depth < 0 ? 1 : 0};
}

// δ, and in g the derivatives by the mean anomaly, e, ω and cos² i; returns the front flag.
int Separation(long double fi, long double e, long double omega, long double ci, long double* d,
               long double* g = nullptr) {
    long double unused[4];
    if (!g) g = unused;
    return DeltaEccentric_omega_ci_d(fi, e, omega, ci, d, g, g + 1, g + 2, g + 3);
}
long double Delta(long double fi, long double e, long double omega, long double ci) {
    long double d;
    Separation(fi, e, omega, ci, &d);
    return d;
}

// Smallest δ over the front half u = ν + ω in [π, 2π], by brute force in the true anomaly.
// *at_end tells whether the smallest sample is an end of the half.
long double FrontMinimumBruteForce(long double e, long double w, long double ci,
                                   bool* at_end = nullptr) {
    constexpr int kSamples = 20000;
    long double best = kInf;
    int jbest = 0;
    for (int j = 0; j <= kSamples; ++j) {
        const long double u = kPi + kPi * j / kSamples, nu = u - w;
        const long double r = (1 - e * e) / (1 + e * cosl(nu));
        const long double d = r * sqrtl(cosl(u) * cosl(u) + ci * sinl(u) * sinl(u));
        if (d < best) best = d, jbest = j;
    }
    if (at_end) *at_end = jbest == 0 || jbest == kSamples;
    return best;
}

}  // namespace

// x on a grid over ±99 rad (both signs, every half-orbit of the start rules) and a few stretches
// far out, where the whole-orbit count needs more than 32 bits (from ~1.35e10); e over [-1, 1]
// with the values next to ±1. The residual stays within a few ulps, and from the chosen start
// Newton needs a handful of passes and bisection only cleans up the last bits: the counts stay
// far below the cap.
TEST(KeplerSolver, ResidualAndPassesOverManyOrbits) {
    std::vector<long double> es = {0x1p-40L, 0.9990234375L};
    for (int k = -16; k <= 16; ++k) es.push_back(k / 16.0L);
    for (long double edge : {-1.0L, 1.0L}) {
        es.push_back(nextafterl(edge, 0));
        es.push_back(nextafterl(nextafterl(edge, 0), 0));
    }
    std::vector<long double> xs;
    for (int i = -8000; i <= 8000; ++i) xs.push_back(i * 0.0123456789L);
    for (long double x0 : {1.0e6L, 2.0e10L, 1.0e15L, -1.0e15L, 1.0e18L})
        for (int j = 0; j < 40; ++j) xs.push_back(x0 + 0.37L * j);
    for (long double e : es) {
        for (long double x : xs) {
            int newton, bisection;
            const long double E = KeplerCounted(x, e, &newton, &bisection);
            if (KeplerResidualUlps(x, e, E) > kUlps4 || newton > 64 || bisection > 64) {
                ADD_FAILURE() << "x, e" << Show({x, e}) << ": residual "
                              << double(KeplerResidualUlps(x, e, E)) << " ulps, passes " << newton
                              << " + " << bisection;
                return;
            }
        }
    }
}

// Roots solved independently to 30 digits (mpmath findroot, 50-digit arithmetic).
TEST(KeplerSolver, ReferenceRoots) {
    const struct {
        long double x, e, E;
    } cases[] = {
        {1.0L, 0.5L, 1.49870113351784831405798549726L},
        {0.125L, 0.875L, 0.664764731678437835857360732234L},
        {2.0L, -0.375L, 1.62556222896182007318794750768L},
        {-7.25L, 0.9990234375L, -8.19236978790526646757769003359L},
        {1000.5L, 1.0L, 1001.27745205036441901708376396L},
        {1.0e15L, 0.75L, 1000000000000000.42669477616526L},
    };
    for (const auto& c : cases) {
        EXPECT_LE(UlpDistance(Kepler(c.x, c.e), c.E), kUlps4) << "x, e" << Show({c.x, c.e});
    }
}

TEST(KeplerSolver, TrivialRootsAndGuards) {
    for (long double e : {-1.0L, -0.5L, 0.0L, 0.5L, 1.0L}) {
        EXPECT_EQ(Kepler(0.0L, e), 0.0L);
        EXPECT_TRUE(std::signbit(Kepler(-0.0L, e))) << "e " << double(e);
    }
    for (long double x : {0.3L, -2.0L, 4.5L, 123.25L}) {
        EXPECT_LE(UlpDistance(Kepler(x, 0.0L), x), 1.0L) << "x " << double(x);
    }
    EXPECT_EQ(Kepler(1.0L, nextafterl(1.0L, 2.0L)), 0.0L);
    EXPECT_EQ(Kepler(1.0L, nextafterl(-1.0L, -2.0L)), 0.0L);
    for (long double bad : {kNaN, kInf, -kInf}) {
        EXPECT_TRUE(std::isnan(Kepler(bad, 0.5L)));
        EXPECT_TRUE(std::isnan(Kepler(1.0L, bad)));
    }
    // Beyond a 64-bit orbit count the long doubles are 2 or more apart and |E - x| ≤ 1.
    EXPECT_EQ(Kepler(0x1p70L, 0.5L), 0x1p70L);
    EXPECT_EQ(Kepler(std::numeric_limits<long double>::max(), 1.0L),
              std::numeric_limits<long double>::max());
}

// The worst arguments end finite, well inside the cap: e at and next to ±1, mean anomalies next
// to the odd multiples of π where the start changes side and the cusp at E = 0, and times of 1e9
// periods. Near the cusp with |e| near 1 the slope 1 - e·cos E vanishes and f(E) = E - e·sin E - x
// is flat in the last bits; the root |x|/(1 - e) (or (6x)^(1/3) at e = 1) may lie hundreds of
// binades below where Newton leaves off. The result must have the root's sign, a residual of an
// ulp of itself, and f must change sign within a factor 2 of it.
TEST(KeplerSolver, EndsOnWorstArguments) {
    const long double tiny = std::numeric_limits<long double>::denorm_min();
    std::vector<long double> xs = {tiny,     -tiny, 1e-30L, 1e-100L, -1e-1000L,
                                   1e-4000L, kPi,   -kPi,   3 * kPi};
    for (long double periods : {1.0L, 1e6L, 1e9L, -1e9L}) {
        for (long double offset : {0.0L, 1e-9L, 0.5L, kPi, 4.0L}) {
            const long double x0 = 2 * kPi * periods + offset;
            for (long double x : {x0, nextafterl(x0, kInf), nextafterl(nextafterl(x0, kInf), kInf)})
                xs.push_back(x);
        }
    }
    for (long double e : {1.0L, nextafterl(1.0L, 0), -1.0L, nextafterl(-1.0L, 0), 0.999999L}) {
        for (long double x : xs) {
            int newton, bisection;
            SCOPED_TRACE("x, e" + Show({x, e}));
            ASSERT_TRUE(std::isfinite(KeplerCounted(x, e, &newton, &bisection)));
            EXPECT_LT(std::max(newton, bisection), kKeplerMaxPasses);
        }
    }
    for (long double e : {1.0L, nextafterl(1.0L, 0), 0.999999L}) {
        for (long double x :
             {1e-30L, -1e-30L, 1e-40L, -1e-40L, 1e-100L, 1e-1000L, 1e-4000L, 1e-4900L, 1e-4940L}) {
            const long double E = Kepler(x, e);
            SCOPED_TRACE("x, e, E" + Show({x, e, E}));
            ASSERT_TRUE(std::isfinite(E));
            EXPECT_EQ(std::signbit(E), std::signbit(x));
            EXPECT_LE(KeplerResidualUlps(x, e, E), 1.0L);
            auto f = [&](long double t) { return t - e * sinl(t) - x; };
            EXPECT_TRUE(x < 0 || (f(E / 2) <= 0 && f(2 * E) >= 0));
        }
    }
}

// δ and the front flag against the Cartesian position; S = √(1 - sin² i·sin² u) loses absolute
// accuracy ~2^-64/S where sin² u is near 1 and the orbit nearly edge-on, so the tolerance widens
// there. The four derivatives against five-point central differences in long double with steps
// 2^-12 of the local scale: (1 - e) for the anomaly and e, S = δ/r for ω, S² for cos² i (δ is
// r·√(cos² u + cos² i·sin² u)), over eccentric, inclined, face-on and edge-on orbits on both
// halves of the orbit. Truncation and rounding both stay near 1e-13; the kink of δ at an
// edge-on conjunction (S → 0) is left out.
TEST(ProjectedSeparation, MatchesCartesianOrbitAndCentralDifferences) {
    for (long double e : {0.0L, 0.2L, 0.6L, 0.9L}) {
        for (long double ci : {0.0L, 0.02L, 0.4L, 1.0L}) {
            for (long double omega : {-2.0L, 0.3L, 1.7L, 4.0L}) {
                for (int j = -20; j <= 20; ++j) {
                    const long double args[4] = {0.3125L * j, e, omega, ci};
                    SCOPED_TRACE("fi, e, ω, cos² i" + Show({args[0], e, omega, ci}));
                    long double d, g[4];
                    const Cartesian ref = CartesianSeparation(args[0], e, omega, ci);
                    EXPECT_EQ(Separation(args[0], e, omega, ci, &d, g), ref.flag);
                    EXPECT_LE(std::fabs(d - ref.delta), 0x1p-63L * (8 + 2 / ref.S));
                    if (ref.S < 0.02L) continue;
                    for (int k = 0; k < 4; ++k) {
                        const long double h = 0x1p-12L * (k == 3 ? ref.S * ref.S : (1 - e) * ref.S);
                        if (k == 1 && e < 2 * h) continue;  // e - 2h must stay ≥ 0
                        const long double fd = FivePoint(
                            [&](long double t) {
                                long double a[4] = {args[0], args[1], args[2], args[3]};
                                a[k] += t;
                                return Delta(a[0], a[1], a[2], a[3]);
                            },
                            h);
                        EXPECT_LE(std::fabs(g[k] - fd) / std::fmax(1, std::fabs(g[k])), 1e-11L)
                            << "derivative " << k;
                    }
                }
            }
        }
    }
    // The flag follows the sign of sin u, 0 at u = 0 exactly.
    long double d;
    EXPECT_EQ(Separation(0.0L, 0.0L, 0.0L, 0.5L, &d), 0);
    EXPECT_EQ(Separation(-0x1p-60L, 0.0L, 0.0L, 0.5L, &d), 1);
    EXPECT_EQ(Separation(0x1p-60L, 0.0L, 0.0L, 0.5L, &d), 0);
}

// Edge-on at the conjunction δ = r·|cos u| has a kink at δ = 0; the terms 0/0 take 0 and the
// derivative by cos² i is +∞ (δ = r·√(cos² i) there), but nothing is NaN.
TEST(ProjectedSeparation, CentralConjunctionHasZeroSubgradient) {
    for (long double e : {0.0L, 0.3L, 0.8L}) {
        for (long double omega : {0.0L, 1.25L, -2.5L}) {
            SCOPED_TRACE("e, ω" + Show({e, omega}));
            long double d, g[4];
            EXPECT_EQ(Separation(phmin_ci(e, omega, 0.0L), e, omega, 0.0L, &d, g), 1);
            EXPECT_EQ(std::vector<long double>({d, g[0], g[1], g[2], g[3]}),
                      std::vector<long double>({0, 0, 0, 0, kInf}));
        }
    }
}

// The time of mid-transit is the least δ in front, which is where the model's transit is
// deepest: across e up to 1 - 1e-6 and every ω, never a larger stationary point of δ (a maximum
// at the conjunction, or a shallower minimum) while a smaller δ lies elsewhere in front. When e
// is large the least δ may lie at an end of the half, where r is small; otherwise it is a
// stationary point beside the conjunction, not the conjunction itself.
TEST(MidTransitPhase, MinimisesSeparationInFront) {
    for (long double e : {0.1L, 0.3L, 0.6L, 0.9L, 0.99L, 0.9999L, 0.999999L}) {
        for (long double ci : {1e-6L, 0.005L, 0.02L}) {
            for (int j = 0; j < 16; ++j) {
                const long double w = j * kPi / 8 + 0.1L;  // never an apsis at the conjunction
                SCOPED_TRACE("e, ω, cos² i" + Show({e, w, ci}));
                const long double M = phmin_ci(e, w, ci);
                ASSERT_TRUE(M >= -kPi && M <= kPi);
                long double d, g[4];
                const int flag = Separation(M, e, w, ci, &d, g);
                bool at_end;
                EXPECT_LE(d, FrontMinimumBruteForce(e, w, ci, &at_end) * (1 + 1e-9L));
                if (at_end) continue;
                EXPECT_EQ(flag, 1);
                for (long double step : {1e-7L, 1e-4L, 1e-2L, -1e-7L, -1e-4L, -1e-2L}) {
                    long double near;
                    if (Separation(M + step, e, w, ci, &near) == 1) {
                        EXPECT_LT(d, near) << "step " << double(step);
                    }
                }
                if (e <= 0.9L) {
                    EXPECT_LE(std::fabs(g[0]), 1e-15L);
                    EXPECT_GT(std::fabs(M - phmin_ci(e, w, 0.0L)), 1e-12L);  // not the conjunction
                }
            }
        }
    }
}

TEST(MidTransitPhase, ConjunctionForCircularOrEdgeOn) {
    for (long double e : {0.0L, 0.2L, 0.7L}) {
        for (long double w : {-4.0L, -1.0L, 0.0L, 1.5L, 3.0L, 7.5L}) {
            // Mean anomaly of ν = 3π/2 - ω by the two-argument half-angle formula.
            const long double nu = 3 * kPi / 2 - w;
            long double E = 2 * atan2l(sqrtl(1 - e) * sinl(nu / 2), sqrtl(1 + e) * cosl(nu / 2));
            if (E > kPi) E -= 2 * kPi;
            if (E < -kPi) E += 2 * kPi;
            for (long double ci : {0.0L, 0.3L}) {
                if (e > 0 && ci > 0) continue;
                EXPECT_LE(std::fabs(phmin_ci(e, w, ci) - (E - e * sinl(E))), 1e-18L)
                    << "e, ω, cos² i" << Show({e, w, ci});
            }
        }
    }
}

// Cases where the fixed-point iteration gives a NaN at once, cycles for ever, or comes back
// NaN after some passes; and face-on, where cot² i is infinite.
TEST(MidTransitPhase, FallbackGivesFiniteMinimum) {
    const struct {
        long double e, ci, w;
        bool interior;  // the minimum lies strictly inside the front half
    } cases[] = {
        {0.3L, 0.8L, -3.0L, true},    // acos of a value outside [-1, 1] at once
        {0.3L, 0.8L, -2.0L, true},    // a long cycle
        {0.95L, 0.04L, 1.5L, false},  // NaN after a few passes; least δ at the edge
        {0.2L, 1.0L, 1.0L, false},    // face-on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("e, ω, cos² i" + Show({c.e, c.w, c.ci}));
        int passes, fallback;
        const long double M = PhminCounted_ci(c.e, c.w, c.ci, &passes, &fallback);
        EXPECT_EQ(fallback, 1);
        ASSERT_TRUE(M >= -kPi && M <= kPi);
        long double d, g[4];
        const int flag = Separation(M, c.e, c.w, c.ci, &d, g);
        EXPECT_LE(d, FrontMinimumBruteForce(c.e, c.w, c.ci) + 1e-18L);
        EXPECT_TRUE(!c.interior || (flag == 1 && std::fabs(g[0]) <= 1e-17L)) << Show({g[0]});
    }
}

// Over eccentricities up to an ulp below 1, inclinations from edge-on to face-on and every ω, the
// phase ends inside [-π, π]. Where the fixed-point pass converges slowly (its map has a slope
// near -1: inclinations far from edge-on, or e near 1 with the minimum near M = 0) it may use up
// its passes and hand over to the direct search, which is bounded by construction. Not-a-number
// and infinite arguments give NaN, not a sample of the direct search.
TEST(MidTransitPhase, EndsOnWorstArguments) {
    for (long double e : {0.0L, 1e-12L, 0.49295080285434428324L, 0.9L, 0.999999L,
                          0.99999999999996572956L, nextafterl(1.0L, 0)}) {
        for (long double ci : {0.0L, 1e-30L, 0.01L, 0.66607592043690755368L, 0.7453089825671231905L,
                               nextafterl(1.0L, 0), 1.0L}) {
            for (int j = -24; j <= 24; ++j) {
                const long double w = j * kPi / 8 - 1.502349840865930819L;
                const long double M = phmin_ci(e, w, ci);
                ASSERT_TRUE(M >= -kPi && M <= kPi) << "e, ω, cos² i" << Show({e, w, ci});
            }
        }
    }
    for (long double bad : {kNaN, kInf, -kInf}) {
        EXPECT_TRUE(std::isnan(phmin_ci(bad, 0.0L, 0.0L)));
        EXPECT_TRUE(std::isnan(phmin_ci(0.5L, bad, 0.1L)));
        EXPECT_TRUE(std::isnan(phmin_ci(0.5L, 1.0L, bad)));
    }
    for (long double M : {phmin_ci(1.0L, 1.0L, 0.5L),
                          phmin_ci(0.5L, std::numeric_limits<long double>::max(), 0.5L)})
        EXPECT_FALSE(std::isinf(M));
}
