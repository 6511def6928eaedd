#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "lustre.h"
#include "test_util.h"

namespace {

constexpr long double kPi = 3.14159265358979323851L;
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

std::string Figure(long double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3Lg", v);
    return buf;
}

// x on a grid over ±99 rad (both signs, every half-orbit of the start rules) and a few
// stretches far out, where the whole-orbit count needs more than 32 bits (from ~1.35e10).
std::vector<long double> ManyOrbits(int n, long double step) {
    std::vector<long double> xs;
    for (int i = -n; i <= n; ++i) xs.push_back(i * step);
    for (long double x0 : {1.0e6L, 2.0e10L, 1.0e15L, -1.0e15L, 1.0e18L})
        for (int j = 0; j < 40; ++j) xs.push_back(x0 + 0.37L * j);
    return xs;
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

long double Separation(long double fi, long double e, long double omega, long double cisqrt) {
    long double d, df, de, dw, di;
    DeltaEccentric_omega_ci_d(fi, e, omega, cisqrt, &d, &df, &de, &dw, &di);
    return d;
}

// Smallest δ over the front half u = ν + ω in [π, 2π], by brute force in the true anomaly.
long double FrontMinimumBruteForce(long double e, long double w, long double ci) {
    long double best = kInf;
    for (int j = 0; j <= 20000; ++j) {
        const long double u = kPi + kPi * j / 20000, nu = u - w;
        const long double r = (1 - e * e) / (1 + e * cosl(nu));
        best = std::fmin(best, r * sqrtl(cosl(u) * cosl(u) + ci * sinl(u) * sinl(u)));
    }
    return best;
}

}  // namespace

TEST(KeplerSolver, ResidualWithinFewUlpsOverManyOrbits) {
    const long double es[] = {
        -1.0L,         nextafterl(-1.0L, 0), -0.875L, -0.25L, 0.0L, 0x1p-40L, 0.125L, 0.5L, 0.875L,
        0.9990234375L, nextafterl(1.0L, 0),  1.0L};
    long double worst = 0;
    for (long double e : es) {
        for (long double x : ManyOrbits(8000, 0.0123456789L)) {
            const long double E = Kepler(x, e);
            const long double ulps = KeplerResidualUlps(x, e, E);
            worst = std::fmax(worst, ulps);
            if (ulps > kUlps4) {
                ADD_FAILURE() << "x " << double(x) << " e " << double(e) << ": " << double(ulps);
                return;
            }
        }
    }
    RecordProperty("worst_residual_ulps", Figure(worst));
}

TEST(KeplerSolver, PassCapNeverReachedOverDenseGrid) {
    std::vector<long double> es;
    for (int k = -64; k <= 64; ++k) es.push_back(k / 64.0L);
    for (long double edge : {-1.0L, 1.0L}) {
        es.push_back(nextafterl(edge, 0));
        es.push_back(nextafterl(nextafterl(edge, 0), 0));
    }
    int most_newton = 0, most_bisection = 0;
    for (long double e : es) {
        for (long double x : ManyOrbits(2000, 0.0523L)) {
            int newton, bisection;
            KeplerCounted(x, e, &newton, &bisection);
            most_newton = std::max(most_newton, newton);
            most_bisection = std::max(most_bisection, bisection);
        }
    }
    // From the chosen start Newton needs a handful of passes and bisection only cleans up the
    // last bits, so the counts stay far below the cap.
    EXPECT_LE(most_newton, 64);
    EXPECT_LE(most_bisection, 64);
    EXPECT_LT(std::max(most_newton, most_bisection), kKeplerMaxPasses);
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
        EXPECT_LE(UlpDistance(Kepler(c.x, c.e), c.E), kUlps4)
            << "x " << double(c.x) << " e " << double(c.e);
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
}

// At |e| = 1 and E ≈ 0 the slope 1 - e·cos E vanishes and f is flat in the last bits: any
// result is acceptable that has the root's sign and a residual of an ulp of itself.
TEST(KeplerSolver, CuspAtUnitEccentricityStaysFinite) {
    for (long double e : {1.0L, nextafterl(1.0L, 0)}) {
        for (long double x : {1e-40L, -1e-40L, 1e-30L, -1e-30L, 1e-4900L}) {
            const long double E = Kepler(x, e);
            ASSERT_TRUE(std::isfinite(E)) << "x " << double(x) << " e " << double(e);
            EXPECT_EQ(std::signbit(E), std::signbit(x));
            EXPECT_LE(KeplerResidualUlps(x, e, E), 1.0L) << "x " << double(x);
        }
    }
}

// S = √(1 - sin² i·sin² u) loses absolute accuracy ~2^-64/S where sin² u is near 1 and the
// orbit nearly edge-on, so the tolerance widens there.
TEST(ProjectedSeparation, MatchesCartesianOrbit) {
    for (long double e : {0.0L, 0.25L, 0.75L}) {
        for (long double ci : {0.0L, 0.015625L, 0.5L, 1.0L}) {
            for (long double omega : {-2.0L, 0.5L, 4.0L}) {
                for (int j = -20; j <= 20; ++j) {
                    const long double fi = 0.3125L * j;
                    long double d, df, de, dw, di;
                    const int flag =
                        DeltaEccentric_omega_ci_d(fi, e, omega, ci, &d, &df, &de, &dw, &di);
                    const Cartesian ref = CartesianSeparation(fi, e, omega, ci);
                    EXPECT_LE(std::fabs(d - ref.delta), 0x1p-63L * (8 + 2 / ref.S))
                        << "fi " << double(fi) << " e " << double(e) << " ci " << double(ci);
                    EXPECT_EQ(flag, ref.flag) << "fi " << double(fi) << " e " << double(e);
                }
            }
        }
    }
}

// Fourth-order central differences in long double with steps 2^-12 of the local scale: (1 - e)
// for the anomaly and e, S = δ/r for ω, S² for cos² i (δ is r·√(cos² u + cos² i·sin² u)).
// Truncation and rounding both stay near 1e-13; the kink of δ at an edge-on conjunction
// (S → 0) is left out.
TEST(ProjectedSeparation, DerivativesMatchCentralDifferences) {
    long double worst = 0;
    for (long double e : {0.0L, 0.2L, 0.6L, 0.9L}) {
        for (long double ci : {0.0L, 0.02L, 0.4L, 1.0L}) {
            for (long double omega : {-2.0L, 0.3L, 1.7L, 4.0L}) {
                for (int j = -12; j <= 12; ++j) {
                    const long double args[4] = {0.53L * j, e, omega, ci};
                    long double d, g[4];
                    const int flag = DeltaEccentric_omega_ci_d(args[0], e, omega, ci, &d, g, g + 1,
                                                               g + 2, g + 3);
                    const long double S = CartesianSeparation(args[0], e, omega, ci).S;
                    if (S < 0.02L) continue;
                    for (int k = 0; k < 4; ++k) {
                        const long double h = 0x1p-12L * (k == 3 ? S * S : (1 - e) * S);
                        if (k == 1 && e < 2 * h) continue;  // e - 2h must stay ≥ 0
                        auto at = [&](long double t) {
                            long double a[4] = {args[0], args[1], args[2], args[3]};
                            a[k] += t;
                            return Separation(a[0], a[1], a[2], a[3]);
                        };
                        const long double fd =
                            (at(-2 * h) - 8 * at(-h) + 8 * at(h) - at(2 * h)) / (12 * h);
                        const long double err =
                            std::fabs(g[k] - fd) / std::fmax(1, std::fabs(g[k]));
                        worst = std::fmax(worst, err);
                        EXPECT_LE(err, 1e-11L) << "derivative " << k << " fi " << double(args[0])
                                               << " e " << double(e) << " ci " << double(ci)
                                               << " omega " << double(omega) << " flag " << flag;
                    }
                }
            }
        }
    }
    RecordProperty("worst_relative_derivative_error", Figure(worst));
}

// Edge-on at the conjunction δ = r·|cos u| has a kink at δ = 0; the terms 0/0 take 0 and the
// derivative by cos² i is +∞ (δ = r·√(cos² i) there), but nothing is NaN.
TEST(ProjectedSeparation, CentralConjunctionHasZeroSubgradient) {
    for (long double e : {0.0L, 0.3L, 0.8L}) {
        for (long double omega : {0.0L, 1.25L, -2.5L}) {
            const long double fi = phmin_ci(e, omega, 0.0L);
            long double d, df, de, dw, di;
            EXPECT_EQ(DeltaEccentric_omega_ci_d(fi, e, omega, 0.0L, &d, &df, &de, &dw, &di), 1);
            ASSERT_EQ(d, 0.0L) << "e " << double(e) << " omega " << double(omega);
            EXPECT_EQ(df, 0.0L);
            EXPECT_EQ(de, 0.0L);
            EXPECT_EQ(dw, 0.0L);
            EXPECT_EQ(di, kInf);
        }
    }
}

TEST(ProjectedSeparation, FlagFollowsSignOfSinU) {
    long double d, df, de, dw, di;
    EXPECT_EQ(DeltaEccentric_omega_ci_d(0.0L, 0.0L, 0.0L, 0.5L, &d, &df, &de, &dw, &di), 0);
    EXPECT_EQ(DeltaEccentric_omega_ci_d(-0x1p-60L, 0.0L, 0.0L, 0.5L, &d, &df, &de, &dw, &di), 1);
    EXPECT_EQ(DeltaEccentric_omega_ci_d(0x1p-60L, 0.0L, 0.0L, 0.5L, &d, &df, &de, &dw, &di), 0);
}

TEST(MidTransitPhase, MinimisesSeparationInFront) {
    for (long double e : {0.1L, 0.3L, 0.6L, 0.9L}) {
        for (long double ci : {1e-4L, 0.005L, 0.02L}) {
            for (long double w : {-2.5L, -1.0L, 0.5L, 2.0L, 4.0L}) {
                const long double M = phmin_ci(e, w, ci);
                ASSERT_TRUE(M >= -kPi && M <= kPi) << "e " << double(e) << " w " << double(w);
                long double d, g[4];
                EXPECT_EQ(DeltaEccentric_omega_ci_d(M, e, w, ci, &d, g, g + 1, g + 2, g + 3), 1);
                for (long double step : {1e-7L, 1e-4L, 1e-2L}) {
                    EXPECT_LT(d, Separation(M + step, e, w, ci)) << "e " << double(e);
                    EXPECT_LT(d, Separation(M - step, e, w, ci)) << "e " << double(e);
                }
                EXPECT_LE(std::fabs(g[0]), 1e-15L) << "e " << double(e) << " w " << double(w);
                EXPECT_GT(std::fabs(M - phmin_ci(e, w, 0.0L)), 1e-12L);  // not the conjunction
            }
        }
    }
}

TEST(MidTransitPhase, ConjunctionForCircularOrEdgeOn) {
    const long double three_half_pi = 4.712388980384689857693965L;
    for (long double e : {0.0L, 0.2L, 0.7L}) {
        for (long double w : {-4.0L, -1.0L, 0.0L, 1.5L, 3.0L, 7.5L}) {
            // Mean anomaly of ν = 3π/2 - ω by the two-argument half-angle formula.
            const long double nu = three_half_pi - w;
            const long double E =
                2 * atan2l(sqrtl(1 - e) * sinl(nu / 2), sqrtl(1 + e) * cosl(nu / 2));
            const long double E1 = E > kPi ? E - 2 * kPi : (E < -kPi ? E + 2 * kPi : E);
            const long double ref = E1 - e * sinl(E1);
            for (long double ci : {0.0L, 0.3L}) {
                if (e > 0 && ci > 0) continue;
                const long double M = phmin_ci(e, w, ci);
                EXPECT_LE(std::fabs(M - ref), 1e-18L)
                    << "e " << double(e) << " w " << double(w) << " ci " << double(ci);
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
        int passes, fallback;
        const long double M = PhminCounted_ci(c.e, c.w, c.ci, &passes, &fallback);
        EXPECT_EQ(fallback, 1) << "e " << double(c.e) << " ci " << double(c.ci);
        ASSERT_TRUE(M >= -kPi && M <= kPi) << "e " << double(c.e) << " ci " << double(c.ci);
        long double d, g[4];
        const int flag = DeltaEccentric_omega_ci_d(M, c.e, c.w, c.ci, &d, g, g + 1, g + 2, g + 3);
        EXPECT_LE(d, FrontMinimumBruteForce(c.e, c.w, c.ci) + 1e-18L) << "e " << double(c.e);
        if (c.interior) {
            EXPECT_EQ(flag, 1);
            EXPECT_LE(std::fabs(g[0]), 1e-17L) << "e " << double(c.e) << " ci " << double(c.ci);
        }
    }
}
