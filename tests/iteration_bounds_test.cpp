// Every iteration of the model ends: Carlson's duplication, Kepler's Newton steps and
// bisection, the phase of mid-transit and the quadrature sweeps of the square-root term. Each
// is driven with its worst valid arguments, where it must end with a finite value, and with
// non-finite and absurd ones, where it must end with a finite value or NaN. Every loop has a
// cap that ends it with NaN (or, for the phase, hands over to a bounded direct search), so a
// finite result also shows that the cap was not what ended it.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "lustre.h"
#include "test_util.h"

namespace {

constexpr long double kPi = 3.14159265358979323851L;
constexpr long double kTwoPi = 6.283185307179586477L;
constexpr long double kNaN = std::numeric_limits<long double>::quiet_NaN();
constexpr long double kInf = std::numeric_limits<long double>::infinity();
constexpr long double kMax = std::numeric_limits<long double>::max();
constexpr long double kTiny = std::numeric_limits<long double>::denorm_min();

const long double kNonFinite[] = {kNaN, kInf, -kInf};

// A value a loop may end with on arguments outside its domain.
bool EndsWithNumberOrNaN(long double v) { return std::isfinite(v) || std::isnan(v); }

// `k` steps of nextafterl from x towards `to`.
long double Ulps(long double x, int k, long double to) {
    for (int i = 0; i < k; ++i) x = nextafterl(x, to);
    return x;
}

std::string At(long double a, long double b) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "(%.21Lg, %.21Lg)", a, b);
    return buf;
}

}  // namespace

// The linear term asks for RF(0, y, 1), RD(0, y, 1) and RJ(0, y, 1, p) with y = 1 - m down to
// the smallest numbers (m → 1 on the contact line) and p = 1 - n from 1 up to about 2^130 (r an
// ulp from δ); the spread of the arguments sets the number of passes.
TEST(IterationBounds, CarlsonDuplicationEndsOnWorstArguments) {
    const long double ys[] = {1.0L, 0x1p-64L, 1e-300L, 1e-4000L, 0x1p-16382L, kTiny};
    const long double ps[] = {1.0L, nextafterl(1.0L, 2.0L), 0x1p130L, 1e60L, 1e300L};
    for (long double y : ys) {
        EXPECT_TRUE(std::isfinite(RF(0.0L, y, 1.0L))) << "RF y " << double(y);
        EXPECT_TRUE(std::isfinite(RD(0.0L, y, 1.0L))) << "RD y " << double(y);
        for (long double p : ps)
            EXPECT_TRUE(std::isfinite(RJ(0.0L, y, 1.0L, p))) << "RJ" << At(y, p);
        // A tiny p makes the integral itself overflow: +∞ is its value, not a failure.
        for (long double p : {1e-30L, 0x1p-16382L, kTiny})
            EXPECT_GT(RJ(0.0L, y, 1.0L, p), 0.0L) << "RJ" << At(y, p);
    }
    // Non-finite arguments, and finite ones so far apart that the stopping quantity overflows
    // while the running mean stays finite: the cap ends these with NaN.
    for (long double bad : kNonFinite) {
        EXPECT_TRUE(EndsWithNumberOrNaN(RF(bad, 1.0L, 1.0L)));
        EXPECT_TRUE(EndsWithNumberOrNaN(RD(1.0L, 1.0L, bad)));
        EXPECT_TRUE(EndsWithNumberOrNaN(RJ(1.0L, bad, 1.0L, 1.0L)));
        EXPECT_TRUE(EndsWithNumberOrNaN(RJ(0.0L, 1.0L, 1.0L, bad)));
    }
    EXPECT_TRUE(EndsWithNumberOrNaN(RF(kMax, kTiny, 1.0L)));
    EXPECT_TRUE(EndsWithNumberOrNaN(RD(kTiny, kMax, kMax)));
    EXPECT_TRUE(EndsWithNumberOrNaN(RJ(kMax, kTiny, 1.0L, kMax)));
}

// Eccentricities at and next to ±1, mean anomalies next to the odd multiples of π where the
// start changes side and the cusp at E = 0, and times of 1e9 periods.
TEST(IterationBounds, KeplerEndsOnWorstArguments) {
    const long double es[] = {1.0L, nextafterl(1.0L, 0), -1.0L, nextafterl(-1.0L, 0), 0.999999L};
    std::vector<long double> xs = {kTiny,    -kTiny, 1e-30L, 1e-100L, -1e-1000L,
                                   1e-4000L, kPi,    -kPi,   3 * kPi};
    for (long double periods : {1.0L, 1e6L, 1e9L, -1e9L}) {
        const long double x0 = kTwoPi * periods;
        for (long double offset : {0.0L, 1e-9L, 0.5L, kPi, 4.0L})
            for (int k : {0, 1, 2}) xs.push_back(Ulps(x0 + offset, k, kInf));
    }
    for (long double e : es) {
        for (long double x : xs) {
            int newton, bisection;
            const long double E = KeplerCounted(x, e, &newton, &bisection);
            ASSERT_TRUE(std::isfinite(E)) << "x, e " << At(x, e);
            EXPECT_LT(newton, kKeplerMaxPasses) << "x, e " << At(x, e);
            EXPECT_LT(bisection, kKeplerMaxPasses) << "x, e " << At(x, e);
        }
    }
    // Near the cusp E = 0 with e just below 1, f(E) = E - e·sin E - x is nearly (1 - e)·E - x
    // and the root |x|/(1 - e) may lie hundreds of binades below where Newton leaves off; f
    // must change sign within a factor 2 of the result.
    for (long double e : {nextafterl(1.0L, 0), 0.999999L}) {
        for (long double x : {1e-100L, 1e-1000L, 1e-4000L, 1e-4940L}) {
            const long double E = Kepler(x, e);
            auto f = [&](long double t) { return t - e * sinl(t) - x; };
            EXPECT_LE(f(E / 2), 0.0L) << "x, e " << At(x, e) << " E " << double(E);
            EXPECT_GE(f(2 * E), 0.0L) << "x, e " << At(x, e) << " E " << double(E);
        }
    }
    for (long double bad : kNonFinite) {
        EXPECT_TRUE(EndsWithNumberOrNaN(Kepler(bad, 0.5L)));
        EXPECT_TRUE(EndsWithNumberOrNaN(Kepler(1.0L, bad)));
    }
    EXPECT_TRUE(EndsWithNumberOrNaN(Kepler(kMax, 1.0L)));
}

// Over eccentricities up to an ulp below 1, inclinations from edge-on to face-on and every
// ω, the phase ends inside [-π, π]. Where the fixed-point pass converges slowly (its map has a
// slope near -1: inclinations far from edge-on, or e near 1 with the minimum near M = 0) it
// may use up its passes and hand over to the direct search, which is bounded by construction.
TEST(IterationBounds, PhaseOfMidTransitEndsOnWorstArguments) {
    const long double es[] = {0.0L,
                              1e-12L,
                              0.49295080285434428324L,
                              0.9L,
                              0.999999L,
                              0.99999999999996572956L,
                              nextafterl(1.0L, 0)};
    const long double cis[] = {
        0.0L, 1e-30L, 0.01L, 0.66607592043690755368L, 0.7453089825671231905L, nextafterl(1.0L, 0),
        1.0L};
    for (long double e : es) {
        for (long double ci : cis) {
            for (int j = -24; j <= 24; ++j) {
                const long double w = j * kPi / 8 - 1.502349840865930819L;
                int passes, fallback;
                const long double M = PhminCounted_ci(e, w, ci, &passes, &fallback);
                ASSERT_TRUE(M >= -kPi && M <= kPi) << "e, ci " << At(e, ci) << " w " << double(w);
            }
        }
    }
    // Not-a-number and infinite arguments give NaN, not a sample of the direct search.
    for (long double bad : kNonFinite) {
        EXPECT_TRUE(std::isnan(phmin_ci(bad, 0.0L, 0.0L)));
        EXPECT_TRUE(std::isnan(phmin_ci(0.5L, bad, 0.1L)));
        EXPECT_TRUE(std::isnan(phmin_ci(0.5L, 1.0L, bad)));
    }
    EXPECT_TRUE(EndsWithNumberOrNaN(phmin_ci(1.0L, 1.0L, 0.5L)));
    EXPECT_TRUE(EndsWithNumberOrNaN(phmin_ci(0.5L, kMax, 0.5L)));
}

// The sweeps of L3, D1L3 and D2L3 grade their panels where μ² or ρ² varies fast: on the
// contacts, where δ and p are a few ulps apart (up to about 150 panels), and for tiny and huge
// radii. A sweep that hit its cap would end with NaN.
TEST(IterationBounds, SquareRootTermSweepsEndOnWorstArguments) {
    struct Point {
        long double delta, r;
    };
    std::vector<Point> points;
    for (long double d : {0.5L, 0.25L, 0.75L, 0.1L, 1e-3L, 0.9L, 0.999L}) {
        for (int k = 0; k <= 3; ++k) {
            points.push_back({d, Ulps(d, k, kInf)});  // r = δ and neighbours
            points.push_back({d, Ulps(d, k, 0.0L)});
            points.push_back({d, Ulps(1 - d, k, kInf)});  // δ + r = 1 (touching) and across
            points.push_back({d, Ulps(1 - d, k, 0.0L)});
            points.push_back({d, Ulps(1 + d, k, 0.0L)});  // r − δ = 1 (star covered)
            points.push_back({Ulps(1 + d, k, 0.0L), d});  // δ − r = 1 (first contact)
        }
    }
    for (long double r : {1e-30L, 1e-300L, 1e-2000L}) {
        for (long double d : {0.0L, r, 2 * r, 0.5L, 1 - r, Ulps(1 - r, 1, 0.0L), 1.0L})
            points.push_back({d, r});
    }
    for (long double r : {1e10L, 0x1p64L, 1e100L}) {
        for (long double d : {r - 1 + 1e-12L * r, r - 0.5L, r, r + 0.5L, Ulps(r + 1, 1, 0.0L)})
            points.push_back({d, r});
    }
    points.push_back({0.0L, 0.5L});  // central
    for (const Point& p : points) {
        if (p.r - p.delta >= 1 || p.delta - p.r >= 1) continue;  // guarded, no sweep
        EXPECT_TRUE(std::isfinite(L3(p.delta, p.r))) << "L3" << At(p.delta, p.r);
        EXPECT_TRUE(std::isfinite(D1L3(p.delta, p.r))) << "D1L3" << At(p.delta, p.r);
        EXPECT_TRUE(std::isfinite(D2L3(p.delta, p.r))) << "D2L3" << At(p.delta, p.r);
    }
    for (long double bad : kNonFinite) {
        for (long double other : {0.0L, 0.5L, 1.5L, bad}) {
            for (auto f : {L3, D1L3, D2L3}) {
                EXPECT_TRUE(EndsWithNumberOrNaN(f(bad, other))) << At(bad, other);
                EXPECT_TRUE(EndsWithNumberOrNaN(f(other, bad))) << At(other, bad);
            }
        }
    }
    // Radii so large that D = 4δp overflows, and so small that it underflows with n: the
    // values mean nothing there (±∞ or NaN), but the sweeps end.
    for (long double r : {1e4000L, 1e-4000L}) {
        for (auto f : {L3, D1L3, D2L3}) {
            (void)f(r, r);
            (void)f(r + r * 1e-19L, r);
        }
    }
}
