#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "lustre.h"
#include "test_util.h"

namespace {

constexpr long double kPiRef = 3.14159265358979323846264338327950288L;

// ∫_a^b f by the tanh-sinh rule (step 1/64, |t| ≤ 4). The abscissae are placed from the nearer
// end, so the square-root branch points at the ends are sampled without rounding trouble and
// the rule converges double-exponentially. Compensated sum.
template <class F>
long double TanhSinh(F f, long double a, long double b) {
    const long double h = 1.0L / 64, half = (b - a) / 2;
    long double sum = 0.0L, comp = 0.0L;
    for (int j = -256; j <= 256; ++j) {
        const long double t = j * h;
        const long double u = kPiRef / 2 * sinhl(t);
        const long double w = kPiRef / 2 * coshl(t) / (coshl(u) * coshl(u));
        const long double dist = 2 * half / (1 + expl(2 * std::fabs(u)));  // half·(1 - tanh|u|)
        const long double x = j < 0 ? a + dist : b - dist;
        const long double yk = w * f(x) - comp, next = sum + yk;
        comp = (next - sum) - yk;
        sum = next;
    }
    return half * h * sum;
}

// ∫∫ profile(ρ²) over the part of the unit disc under a planet of radius r at distance δ, in
// polar coordinates about the stellar centre: the circle of radius ρ lies under the planet
// wholly for ρ < r - δ and along an arc of half-angle φ(ρ) for |δ - r| < ρ < δ + r.
template <class Profile>
long double HiddenIntegral(Profile profile, long double delta, long double r) {
    long double total = 0.0L;
    if (r > delta) {
        total += TanhSinh([&](long double rho) { return 2 * kPiRef * rho * profile(rho * rho); },
                          0.0L, std::fmin(r - delta, 1.0L));
    }
    const long double lo = std::fabs(delta - r), hi = std::fmin(delta + r, 1.0L);
    if (lo < hi) {
        auto arc = [&](long double rho) {
            if (rho == 0.0L) return 0.0L;
            const long double w = (rho * rho + delta * delta - r * r) / (2 * rho * delta);
            const long double phi = acosl(std::fmax(-1.0L, std::fmin(1.0L, w)));
            return 2 * phi * rho * profile(rho * rho);
        };
        total += TanhSinh(arc, lo, hi);
    }
    return total;
}

long double HiddenArea(long double delta, long double r) {
    return HiddenIntegral([](long double) { return 1.0L; }, delta, r);
}
long double HiddenMu(long double delta, long double r) {
    return HiddenIntegral([](long double rho2) { return sqrtl(std::fmax(0.0L, 1 - rho2)); }, delta,
                          r);
}
long double HiddenRho2(long double delta, long double r) {
    return HiddenIntegral([](long double rho2) { return rho2; }, delta, r);
}

// K(¼) and E(¼) by the arithmetic-geometric mean (DLMF 19.8.1, 19.8.6).
void AgmQuarter(long double* K, long double* E) {
    long double a = 1.0L, b = sqrtl(0.75L), c2sum = 0.125L, pow2 = 0.5L;
    for (int i = 0; i < 10; ++i) {
        const long double an = (a + b) / 2, c = (a - b) / 2;
        b = sqrtl(a * b);
        a = an;
        pow2 *= 2;
        c2sum += pow2 * c * c;
    }
    *K = kPiRef / (2 * a);
    *E = *K * (1 - c2sum);
}

using Fn = long double (*)(long double, long double);

struct Family {
    const char* name;
    Fn f, d1, d2;
};
const Family kFamilies[] = {{"L0", L0, D1L0, D2L0}, {"L1", L1, D1L1, D2L1}, {"L2", L2, D1L2, D2L2}};

}  // namespace

TEST(Occultation, ReArcCosClampsToLimitingAngles) {
    EXPECT_EQ(ReArcCos(1.0L), 0.0L);
    EXPECT_EQ(ReArcCos(7.5L), 0.0L);
    EXPECT_EQ(ReArcCos(INFINITY), 0.0L);
    EXPECT_LE(UlpDistance(ReArcCos(-1.0L), kPiRef), kUlps4);
    EXPECT_LE(UlpDistance(ReArcCos(-INFINITY), kPiRef), kUlps4);
    EXPECT_LE(UlpDistance(ReArcCos(0.5L), kPiRef / 3), kUlps4);
}

// Closed forms at touching, equal-radius and concentric configurations, and whole-disc values.
TEST(Occultation, ExactValues) {
    const long double s3 = sqrtl(3.0L), pi = kPiRef;
    long double K4, E4;
    AgmQuarter(&K4, &E4);
    const long double r3 = 0.375L, mu3 = sqrtl(1 - r3 * r3);
    const struct {
        Fn f;
        long double delta, r, expected, ulps;
        const char* what;
    } cases[] = {
        {L0, 1.0L, 1.0L, 2 * pi / 3 - s3 / 2, kUlps4, "L0 δ = r = 1"},
        {D1L0, 1.0L, 1.0L, -s3, kUlps4, "D1L0 δ = r = 1"},
        {D2L0, 1.0L, 1.0L, 2 * pi / 3, kUlps4, "D2L0 δ = r = 1"},
        {L0, 0.5L, 0.5L, pi / 4, kUlps4, "L0 δ = r = ½"},
        {D2L0, 0.5L, 0.5L, pi, kUlps4, "D2L0 δ = r = ½"},
        {L0, 0.0L, r3, pi * r3 * r3, kUlps4, "L0 δ = 0"},
        {D2L0, 0.0L, r3, 2 * pi * r3, kUlps4, "D2L0 δ = 0"},
        {L0, 0.0L, 1.0L, pi, kUlps4, "L0 δ = 0, r = 1"},
        {D2L0, 0.0L, 1.0L, pi, kUlps4, "D2L0 δ = 0, r = 1"},
        {L0, 0.0L, 1.5L, pi, kUlps4, "L0 δ = 0, r > 1"},
        {L0, 0.25L, 1.5L, pi, kUlps4, "L0 whole disc"},
        {L1, 0.5L, 0.5L, pi / 3 - 4.0L / 9, 128, "L1 δ = r = ½ (constant to 17 digits)"},
        {L1, 0.0L, r3, 2 * pi / 3 * (1 - mu3 * mu3 * mu3), kUlps16, "L1 δ = 0"},
        {D2L1, 0.0L, r3, 2 * pi * r3 * mu3, kUlps16, "D2L1 δ = 0"},
        {L1, 1.0L, 1.0L, pi / 3 + 16 * E4 / 9 - 5 * K4 / 3, kUlps16, "L1 δ = r = 1"},
        {D1L1, 1.0L, 1.0L, 4 * E4 / 3 - 2 * K4, kUlps16, "D1L1 δ = r = 1"},
        {D2L1, 1.0L, 1.0L, 8 * E4 - 6 * K4, kUlps16, "D2L1 δ = r = 1"},
        {L1, 0.25L, 1.5L, 2 * pi / 3, kUlps4, "L1 whole disc"},
        {L1, 0.0L, 1.0L, 2 * pi / 3, kUlps4, "L1 δ = 0, r = 1"},
        {L2, 1.0L, 1.0L, 2 * pi / 3 - 7 * s3 / 8, kUlps16, "L2 δ = r = 1"},
        {D1L2, 1.0L, 1.0L, 2 * pi / 3 - 3 * s3 / 2, kUlps16, "D1L2 δ = r = 1"},
        {D2L2, 1.0L, 1.0L, 4 * pi / 3 - 2 * s3, kUlps16, "D2L2 δ = r = 1"},
        {L2, 0.5L, 0.5L, 3 * pi / 32, kUlps4, "L2 δ = r = ½"},
        {D1L2, 0.5L, 0.5L, pi / 4, kUlps4, "D1L2 δ = r = ½"},
        {D2L2, 0.5L, 0.5L, pi / 2, kUlps4, "D2L2 δ = r = ½"},
        {L2, 0.0L, r3, pi * r3 * r3 * r3 * r3 / 2, kUlps4, "L2 δ = 0"},
        {D2L2, 0.0L, r3, 2 * pi * r3 * r3 * r3, kUlps4, "D2L2 δ = 0"},
        {L2, 0.0L, 1.0L, pi / 2, kUlps4, "L2 δ = 0, r = 1"},
        {D2L2, 0.0L, 1.0L, pi, kUlps4, "D2L2 δ = 0, r = 1"},
        {L2, 0.25L, 1.5L, pi / 2, kUlps4, "L2 whole disc"},
    };
    for (const auto& c : cases) {
        EXPECT_LE(UlpDistance(c.f(c.delta, c.r), c.expected), c.ulps) << c.what;
    }
}

// Configurations with a zero value or slope: outside the star, under the whole star, δ = 0,
// r ≤ 0; and the equal-radius touching point where D1L0 vanishes.
TEST(Occultation, ZeroOutsideAndAtDomainEdges) {
    const struct {
        long double delta, r;
        bool value_zero;
    } cases[] = {
        {1.25L, 0.25L, true}, {3.0L, 0.5L, true},   {0.5L, 0.0L, true},
        {0.5L, -0.25L, true}, {0.25L, 1.5L, false}, {0.0L, 0.375L, false},
    };
    for (const auto& c : cases) {
        for (const Family& fam : kFamilies) {
            const long double f = fam.f(c.delta, c.r), d1 = fam.d1(c.delta, c.r);
            const long double d2 = fam.d2(c.delta, c.r);
            const std::string at = std::string(fam.name) + " at " +
                                   std::to_string(double(c.delta)) + ", " +
                                   std::to_string(double(c.r));
            if (c.value_zero) {
                EXPECT_EQ(f, 0.0L) << at;
            }
            EXPECT_EQ(d1, 0.0L) << "D1 of " << at;
            if (c.value_zero || c.r > 1) {
                EXPECT_EQ(d2, 0.0L) << "D2 of " << at;
            }
        }
    }
    EXPECT_EQ(D1L0(0.5L, 0.5L), 0.0L);
}

// The lens at limb-crossing and other points against a polar-grid quadrature of the hidden
// area, μ and ρ². A stray 1e-20 in place of the exact zero argument of RF and RD shows here
// as an error near 5e-12 (at δ = 0.95, r = 0.1).
TEST(Occultation, AgreesWithNumericalIntegral) {
    const struct {
        long double delta, r;
    } cases[] = {
        {0.95L, 0.1L}, {0.7L, 0.7L}, {1.05L, 0.1L},  {0.85L, 0.2L},    {0.5L, 0.9L}, {1.0L, 0.5L},
        {0.6L, 1.2L},  {0.3L, 0.2L}, {0.55L, 0.45L}, {0.625L, 0.375L}, {0.1L, 0.2L}, {1.3L, 0.75L},
    };
    constexpr long double kAbs = 1e-17L;
    for (const auto& c : cases) {
        EXPECT_NEAR(double(L0(c.delta, c.r) - HiddenArea(c.delta, c.r)), 0.0, kAbs)
            << "L0 at " << double(c.delta) << ", " << double(c.r);
        EXPECT_NEAR(double(L1(c.delta, c.r) - HiddenMu(c.delta, c.r)), 0.0, kAbs)
            << "L1 at " << double(c.delta) << ", " << double(c.r);
        EXPECT_NEAR(double(L2(c.delta, c.r) - HiddenRho2(c.delta, c.r)), 0.0, kAbs)
            << "L2 at " << double(c.delta) << ", " << double(c.r);
    }
}

// Central differences are off by O(h²) (h = 2^-26 stays far below the 1e-4 gaps to the
// contact lines, where the third derivatives grow), so a lost factor or sign shows as an O(1)
// miss. On the contact line r + δ = 1 L1 is C¹ with an x²·ln|x| term that a symmetric
// difference cancels, while L0 and L2 start like x^(3/2) there; near r = δ the rounding of L1
// grows like ε/|r - δ|. Each case names the families it is a fair test for.
TEST(Occultation, DerivativesMatchCentralDifferences) {
    constexpr unsigned kAll = 7, kL1Only = 2, kNotL1 = 5;
    const struct {
        long double delta, r;
        unsigned families;  // bit i: L<i>
        const char* where;
    } cases[] = {
        {0.3L, 0.2L, kAll, "inside"},
        {0.2L, 0.35L, kAll, "inside, over the stellar centre"},
        {0.6L, 0.3999L, kAll, "inside, 1e-4 from contact"},
        {0.75L, 0.25L, kL1Only, "on the contact line"},
        {0.9L, 0.1L, kL1Only, "on the contact line (inexact)"},
        {0.6L, 0.4001L, kAll, "crossing, 1e-4 past contact"},
        {0.95L, 0.1L, kAll, "crossing"},
        {0.7L, 0.5L, kAll, "crossing"},
        {1.0L, 1.0L, kNotL1, "crossing, equal radii"},
        {0.6L, 1.2L, kAll, "crossing, planet larger"},
        {1.0999L, 0.1L, kAll, "crossing, 1e-4 from first contact"},
    };
    const long double h = 0x1p-26L;
    for (const auto& c : cases) {
        for (unsigned i = 0; i < 3; ++i) {
            if (!(c.families >> i & 1)) continue;
            const Family& fam = kFamilies[i];
            const long double fd1 = (fam.f(c.delta + h, c.r) - fam.f(c.delta - h, c.r)) / (2 * h);
            const long double fd2 = (fam.f(c.delta, c.r + h) - fam.f(c.delta, c.r - h)) / (2 * h);
            EXPECT_NEAR(double(fam.d1(c.delta, c.r)), double(fd1), 1e-8)
                << "D1" << fam.name << " " << c.where << " " << double(c.delta) << ", "
                << double(c.r);
            EXPECT_NEAR(double(fam.d2(c.delta, c.r)), double(fd2), 1e-8)
                << "D2" << fam.name << " " << c.where << " " << double(c.delta) << ", "
                << double(c.r);
        }
    }
}

// On r + δ = 1 (k = 1) the closed forms are ∞ - ∞ and the limits are used: finite, continuous
// with both sides (1e-12 away along the normal), and correct against the quadrature.
TEST(LinearL1, ContinuousAcrossContactLine) {
    const struct {
        long double delta, r;
    } cases[] = {
        {0.75L, 0.25L}, {0.625L, 0.375L}, {0.9375L, 0.0625L}, {0.25L, 0.75L},
        {0.9L, 0.1L},   {0.3L, 0.7L},     {0.99L, 0.01L},     {0.5L, 0.5L},
    };
    const Family& lin = kFamilies[1];
    const Fn fns[] = {lin.f, lin.d1, lin.d2};
    const char* names[] = {"L1", "D1L1", "D2L1"};
    for (const auto& c : cases) {
        for (int i = 0; i < 3; ++i) {
            const long double on = fns[i](c.delta, c.r);
            const long double in = fns[i](c.delta - 0.5e-12L, c.r - 0.5e-12L);
            const long double out = fns[i](c.delta + 0.5e-12L, c.r + 0.5e-12L);
            ASSERT_TRUE(std::isfinite(on)) << names[i] << " " << double(c.delta);
            EXPECT_NEAR(double(in), double(on), 1e-10) << names[i] << " inside " << double(c.delta);
            EXPECT_NEAR(double(out), double(on), 1e-10)
                << names[i] << " outside " << double(c.delta);
        }
        if (c.delta != 0.5L) {  // L1(½, ½) keeps its 17-digit constant
            EXPECT_NEAR(double(L1(c.delta, c.r) - HiddenMu(c.delta, c.r)), 0.0, 1e-17)
                << "L1 on the line at " << double(c.delta);
        }
    }
}

// Every value near the line, including the neighbours in the last bit, is finite: the
// integrals are never asked for two zero arguments.
TEST(LinearL1, FiniteNearContactLine) {
    for (int i = 1; i < 64; ++i) {
        const long double delta = i / 64.0L;
        for (const long double r : {1 - delta, nextafterl(1 - delta, 0.0L),
                                    nextafterl(1 - delta, 2.0L), 0.9L - delta + 0.1L}) {
            for (const Family& fam : kFamilies) {
                EXPECT_TRUE(std::isfinite(fam.f(delta, r))) << fam.name << " " << double(delta);
                EXPECT_TRUE(std::isfinite(fam.d1(delta, r))) << fam.name << " " << double(delta);
                EXPECT_TRUE(std::isfinite(fam.d2(delta, r))) << fam.name << " " << double(delta);
            }
        }
    }
}

// Across r = δ the step term makes up the jump of the third-kind part. Its rounding grows like
// ε/|r - δ|, so the neighbours are taken 2^-20 away and compared with the tangent line.
TEST(LinearL1, ContinuousAcrossEqualRadii) {
    const long double h = 0x1p-20L;
    for (const long double d : {0.125L, 0.3L, 0.7L, 1.0L}) {
        const long double on = L1(d, d), slope = D2L1(d, d);
        EXPECT_NEAR(double(L1(d, d + h) - on - h * slope), 0.0, 1e-11) << "above, δ " << double(d);
        EXPECT_NEAR(double(L1(d, d - h) - on + h * slope), 0.0, 1e-11) << "below, δ " << double(d);
    }
}

// With the stellar centre next to the planet's rim the third-kind part is a difference of two
// terms of order K̃ that leaves O(|r - δ|); inside |r - δ| ≤ 2^-24 the cancellation-free form
// takes over, so L1 keeps full accuracy down to an ulp from r = δ, on and off the limb.
TEST(LinearL1, AccurateNextToEqualRadii) {
    for (const long double d : {0.125L, 0.3L, 0.55L, 0.7L}) {
        const long double band = 0x1p-24L;
        const long double offsets[] = {0.0L, 1e-18L, 1e-15L, 1e-12L, 1e-9L, band * 0.999L};
        for (const long double off : offsets) {
            for (const long double r :
                 {d + off, d - off, nextafterl(d, 2.0L), nextafterl(d, 0.0L)}) {
                EXPECT_NEAR(double(L1(d, r) - HiddenMu(d, r)), 0.0, 3e-17)
                    << "δ " << double(d) << " r - δ " << double(r - d);
            }
        }
        // At the band's edge the two forms meet within the rounding of the outer one, about
        // ε·K̃/|r - δ| (up to 6e-12 here).
        const long double in = L1(d, d + band), out = L1(d, nextafterl(d + band, 2.0L));
        EXPECT_NEAR(double(in - out), 0.0, 1e-11) << "δ " << double(d);
        EXPECT_NEAR(double(L1(d, d - band) - L1(d, nextafterl(d - band, 0.0L))), 0.0, 1e-11);
    }
}
