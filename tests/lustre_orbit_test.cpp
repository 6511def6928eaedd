// The orbit: the Kepler solver, the projected separation δ and its derivatives, and the phase of
// mid-transit, against tests/data/orbit.txt, the Cartesian position and central differences.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "lustre.h"
#include "test_util.h"

constexpr long double kInf = std::numeric_limits<long double>::infinity();

// |E - e·sin E - x| in units in the last place of the largest term.  For e < 0 the solver
// works with x - π and E - π, so those join the scale (π alone near x = 0).
long double KeplerResidualUlps(long double x, long double e, long double E) {
    long double big = std::fmax(std::fabs(x), std::fabs(E));
    if (e < 0) big = std::max({big, std::fabs(x - kPi), std::fabs(E - kPi), kPi});
    const long double res = std::fabs(E - e * sinl(E) - x);
    return res == 0 ? 0 : res / std::ldexp(1.0L, std::ilogb(big) - 63);
}

// δ, and in g the derivatives by the mean anomaly, e, ω and cos² i; returns the front flag.
int Separation(long double fi, long double e, long double omega, long double ci, long double* d,
               long double* g) {
    return DeltaEccentric_omega_ci_d(fi, e, omega, ci, d, g, g + 1, g + 2, g + 3);
}

// x on a grid over ±99 rad (both signs, every half-orbit of the start rules), stretches far out
// where the whole-orbit count needs more than 32 bits (from ~1.35e10), the worst arguments (next
// to the odd multiples of π where the start changes side, the cusp at E = 0, times of 1e9
// periods); e over [-1, 1] with the values next to ±1. The residual stays within a few ulps, and
// from the chosen start Newton needs a handful of passes and bisection only cleans up the last
// bits. Near the cusp with e near 1 the slope 1 - e·cos E vanishes and the root |x|/(1 - e) (or
// (6x)^(1/3) at e = 1) may lie hundreds of binades below where Newton leaves off: it must have
// the sign of x, a residual of an ulp of itself, and f must change sign within a factor 2 of it.
TEST(KeplerSolver, ResidualAndPassesOverManyOrbits) {
    std::vector<long double> es = {0x1p-40L, 0.9990234375L, 0.999999L};
    for (int k = -16; k <= 16; ++k) es.push_back(k / 16.0L);
    for (long double edge : {-1.0L, 1.0L}) {
        es.push_back(nextafterl(edge, 0));
        es.push_back(nextafterl(nextafterl(edge, 0), 0));
    }
    const long double tiny = std::numeric_limits<long double>::denorm_min();
    std::vector<long double> xs;
    for (int i = -8000; i <= 8000; ++i) xs.push_back(i * 0.0123456789L);
    for (long double x0 : {1.0e6L, 2.0e10L, 1.0e15L, -1.0e15L, 1.0e18L})
        for (int j = 0; j < 40; ++j) xs.push_back(x0 + 0.37L * j);
    const std::size_t worst = xs.size();  // these may need more bisection passes
    for (long double x : {tiny, -tiny, 1e-30L, 1e-100L, -1e-1000L, 1e-4000L, 3 * kPi})
        xs.push_back(x);
    for (long double periods : {1.0L, 1e6L, 1e9L, -1e9L}) {
        for (long double offset : {0.0L, 1e-9L, 0.5L, kPi, 4.0L}) {
            const long double x0 = 2 * kPi * periods + offset;
            for (long double x : {x0, nextafterl(x0, kInf), nextafterl(nextafterl(x0, kInf), kInf)})
                xs.push_back(x);
        }
    }
    for (long double e : es) {
        for (std::size_t i = 0; i < xs.size(); ++i) {
            const long double x = xs[i];
            const int cap = i < worst ? 64 : kKeplerMaxPasses - 1;
            int newton, bisection;
            const long double E = KeplerCounted(x, e, &newton, &bisection);
            if (!(KeplerResidualUlps(x, e, E) <= kUlps4) || newton > cap || bisection > cap) {
                ADD_FAILURE() << "x, e" << Show({x, e}) << ": residual "
                              << double(KeplerResidualUlps(x, e, E)) << " ulps, passes " << newton
                              << " + " << bisection;
                return;
            }
        }
    }
    for (long double e : {1.0L, nextafterl(1.0L, 0), 0.999999L}) {
        for (long double x :
             {1e-30L, -1e-30L, 1e-40L, -1e-40L, 1e-100L, 1e-1000L, 1e-4000L, 1e-4900L, 1e-4940L}) {
            const long double E = Kepler(x, e);
            SCOPED_TRACE("x, e, E" + Show({x, e, E}));
            EXPECT_EQ(std::signbit(E), std::signbit(x));
            EXPECT_LE(KeplerResidualUlps(x, e, E), 1.0L);
            auto f = [&](long double t) { return t - e * sinl(t) - x; };
            EXPECT_TRUE(x < 0 || (f(E / 2) <= 0 && f(2 * E) >= 0));
        }
    }
}

// δ and the front flag against the Cartesian position (cos E - e, √(1-e²)·sin E) turned by ω,
// the offset along the line of sight shrunk by cos i; S = δ/r = √(1 - sin² i·sin² u) loses
// absolute accuracy ~2^-64/S where sin² u is near 1 and the orbit nearly edge-on, so the
// tolerance widens there. The four derivatives against five-point central differences with steps
// 2^-12 of the local scale: (1 - e) for the anomaly and e, S for ω, S² for cos² i, over
// eccentric, inclined, face-on and edge-on orbits on both halves of the orbit; truncation and
// rounding both stay near 1e-13; the kink of δ at an edge-on conjunction (S → 0) is left out.
// There the terms 0/0 take 0 and the derivative by cos² i is +∞, but nothing is NaN.
TEST(ProjectedSeparation, MatchesCartesianOrbitAndCentralDifferences) {
    for (long double e : {0.0L, 0.2L, 0.6L, 0.9L}) {
        for (long double ci : {0.0L, 0.02L, 0.4L, 1.0L}) {
            for (long double omega : {-2.0L, 0.3L, 1.7L, 4.0L}) {
                for (int j = -20; j <= 20; ++j) {
                    const long double args[4] = {0.3125L * j, e, omega, ci};
                    SCOPED_TRACE("fi, e, ω, cos² i" + Show({args[0], e, omega, ci}));
                    const long double E = Kepler(args[0], e);
                    const long double X = cosl(E) - e, Y = sqrtl(1 - e * e) * sinl(E);
                    const long double along = X * cosl(omega) - Y * sinl(omega);  // r·cos u
                    const long double depth = X * sinl(omega) + Y * cosl(omega);  // r·sin u
                    const long double delta = sqrtl(along * along + ci * depth * depth);
                    const long double S = delta / (1 - e * cosl(E));
                    long double d, g[4];
                    EXPECT_EQ(Separation(args[0], e, omega, ci, &d, g), depth < 0 ? 1 : 0);
                    EXPECT_LE(std::fabs(d - delta), 0x1p-63L * (8 + 2 / S));
                    if (S < 0.02L) continue;
                    for (int k = 0; k < 4; ++k) {
                        const long double h = 0x1p-12L * (k == 3 ? S * S : (1 - e) * S);
                        if (k == 1 && e < 2 * h) continue;  // e - 2h must stay ≥ 0
                        const long double fd = FivePoint(
                            [&](long double t) {
                                long double a[4] = {args[0], args[1], args[2], args[3]}, n, gn[4];
                                a[k] += t;
                                Separation(a[0], a[1], a[2], a[3], &n, gn);
                                return n;
                            },
                            h);
                        EXPECT_LE(std::fabs(g[k] - fd) / std::fmax(1, std::fabs(g[k])), 1e-11L)
                            << "derivative " << k;
                    }
                }
            }
            if (ci > 0) continue;
            for (long double omega : {0.0L, 1.25L, -2.5L}) {
                long double d, g[4];
                EXPECT_EQ(Separation(phmin_ci(e, omega, 0.0L), e, omega, 0.0L, &d, g), 1);
                EXPECT_EQ(std::vector<long double>({d, g[0], g[1], g[2], g[3]}),
                          std::vector<long double>({0, 0, 0, 0, kInf}))
                    << "e, ω" << Show({e, omega});
            }
        }
    }
    // The flag follows the sign of sin u, 0 at u = 0 exactly.
    long double d, g[4];
    EXPECT_EQ(Separation(0.0L, 0.0L, 0.0L, 0.5L, &d, g), 0);
    EXPECT_EQ(Separation(-0x1p-60L, 0.0L, 0.0L, 0.5L, &d, g), 1);
    EXPECT_EQ(Separation(0x1p-60L, 0.0L, 0.0L, 0.5L, &d, g), 0);
}

// Kepler roots and guards, and the phase at the conjunction of circular or edge-on orbits. The
// time of mid-transit is the least δ in front, which is where the model's transit is deepest:
// across e up to 1 - 1e-6 and every ω, never a larger stationary point of δ (a maximum at the
// conjunction, or a shallower minimum) while a smaller δ lies elsewhere in front. When e is large
// the least δ may lie at an end of the half ("-end"), where r is small; otherwise it is a
// stationary point beside the conjunction, not the conjunction itself. The "fallback" cases hand
// over from the fixed-point pass to the direct search.
TEST(Orbit, ReferenceValues) {
    const auto cases = ReadRefCases(SOURCE_DIR "/tests/data/orbit.txt");
    ASSERT_GT(cases.size(), 400u);
    for (const RefCase& c : cases) {
        SCOPED_TRACE(c.line);
        const auto& a = c.args;
        if (c.name == "Kepler" || c.name == "phmin") {
            const long double got =
                c.name == "Kepler" ? Kepler(a.at(0), a.at(1)) : phmin_ci(a.at(0), a.at(1), a.at(2));
            EXPECT_TRUE(c.Meets(got)) << Show({got});
            continue;
        }
        const long double e = a.at(0), w = a.at(1), ci = a.at(2);
        int passes, fallback;
        const long double M = PhminCounted_ci(e, w, ci, &passes, &fallback);
        ASSERT_TRUE(M >= -kPi && M <= kPi);
        EXPECT_TRUE(c.name[1] != 'a' || fallback == 1);
        long double d, g[4];
        const int flag = Separation(M, e, w, ci, &d, g);
        EXPECT_TRUE(c.Meets(d)) << Show({d});
        if (c.name.back() == 'd') continue;  // at an end of the half
        EXPECT_EQ(flag, 1);
        for (long double step : {1e-7L, 1e-4L, 1e-2L, -1e-7L, -1e-4L, -1e-2L}) {
            long double near, gn[4];
            EXPECT_TRUE(Separation(M + step, e, w, ci, &near, gn) != 1 || d < near) << double(step);
        }
        if (e <= 0.9L) {
            EXPECT_LE(std::fabs(g[0]), c.name[1] == 'a' ? 1e-17L : 1e-15L);
            EXPECT_GT(std::fabs(M - phmin_ci(e, w, 0.0L)), 1e-12L);  // not the conjunction
        }
    }
}

// Over eccentricities up to an ulp below 1, inclinations from edge-on to face-on and every ω, the
// phase ends inside [-π, π]. Where the fixed-point pass converges slowly (its map has a slope
// near -1: inclinations far from edge-on, or e near 1 with the minimum near M = 0) it may use up
// its passes and hand over to the direct search, which is bounded by construction.
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
    for (long double M : {phmin_ci(1.0L, 1.0L, 0.5L),
                          phmin_ci(0.5L, std::numeric_limits<long double>::max(), 0.5L)})
        EXPECT_FALSE(std::isinf(M));
}
