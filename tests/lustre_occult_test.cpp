// The hidden flux of the four intensity terms (uniform, μ, ρ², √μ) and its partial derivatives:
// closed forms, guards, an independent area integral, central differences, continuity across the
// case boundaries, the stored Gauss rules of the √μ term, and the ends of its sweeps.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <vector>

#include "lustre.h"
#include "test_util.h"

namespace {

// ∫_a^b f by the tanh-sinh rule of step 1/64 (|t| ≤ 4). f(da, db) receives the abscissa as its
// distances from both ends, formed without cancellation, so that end-point singularities (square
// and fourth roots) are sampled cleanly and the rule converges double-exponentially. Compensated.
template <class F>
long double TanhSinh(F f, long double a, long double b) {
    const long double h = 0x1p-6L;
    const long double half = (b - a) / 2;
    long double sum = 0.0L, comp = 0.0L;
    for (long double t = -4; t <= 4; t += h) {
        const long double u = kPi / 2 * sinhl(t);
        const long double w = half * kPi / 2 * coshl(t) / (coshl(u) * coshl(u));
        const long double da = 2 * half / (1 + expl(-2 * u)), db = 2 * half / (1 + expl(2 * u));
        if (!(da > 0 && db > 0)) continue;
        const long double yk = w * f(da, db) - comp, next = sum + yk;
        comp = (next - sum) - yk;
        sum = next;
    }
    return h * sum;
}

using Fn = long double (*)(long double, long double);
using Profile = long double (*)(long double rho, long double one_minus_rho);

struct Family {
    const char* name;
    Fn f, d1, d2;
    long double whole;  // the flux of the whole disc
    Profile intensity;
};
const Family kFamilies[] = {
    {"L0", L0, D1L0, D2L0, kPi, [](long double, long double) { return 1.0L; }},
    {"L1", L1, D1L1, D2L1, 2 * kPi / 3,
     [](long double, long double q) { return sqrtl(q * (2 - q)); }},
    {"L2", L2, D1L2, D2L2, kPi / 2, [](long double rho, long double) { return rho * rho; }},
    {"L3", L3, D1L3, D2L3, 4 * kPi / 5,
     [](long double, long double q) { return sqrtl(sqrtl(q * (2 - q))); }},
};
const Family& kL1 = kFamilies[1];
const Family& kL3 = kFamilies[3];

// ∫∫ intensity over the part of the unit disc under a planet of radius r at distance δ, in polar
// coordinates about the stellar centre: the disc ρ < r - δ is hidden whole, and the circle of
// radius ρ along an arc of half-angle φ(ρ) for |δ - r| < ρ < δ + r. φ is taken by the half-angle
// form of the law of cosines from distances to the ends of [a, b] that carry no cancellation.
long double Hidden(const Family& fam, long double delta, long double r) {
    long double total = 0.0L;
    if (r > delta) {
        const long double c = std::fmin(r - delta, 1.0L);
        total = TanhSinh(
            [&](long double da, long double db) {
                const long double rho = da < db ? da : c - db;
                return 2 * kPi * rho * fam.intensity(rho, c == 1 ? db : (1 - c) + db);
            },
            0.0L, c);
    }
    const long double a = std::fabs(delta - r), hi = delta + r, b = std::fmin(hi, 1.0L);
    if (a >= b) return total;
    return total + TanhSinh(
                       [&](long double da, long double db) {
                           const long double rho = da < db ? a + da : b - db;
                           const long double to_hi = b == hi ? db : (hi - b) + db;  // δ + r − ρ
                           const long double to_one = b == 1 ? db : (1 - b) + db;   // 1 − ρ
                           const long double minus = delta >= r ? da : rho + a;  // ρ − (δ − r)
                           const long double plus = delta >= r ? rho + a : da;   // ρ + (δ − r)
                           const long double phi =
                               2 * atan2l(sqrtl(to_hi * minus), sqrtl(plus * (rho + hi)));
                           return 2 * phi * rho * fam.intensity(rho, to_one);
                       },
                       a, b);
}

// The complete integrals K(m) = ∫₀¹ dt/√((1 - t²)(1 - m t²)) and E(m) = ∫₀¹ √((1 - m t²)/(1 - t²)).
long double CompleteK(long double m, bool second_kind) {
    return TanhSinh(
        [&](long double da, long double db) {
            const long double t = da < db ? da : 1 - db, s = 1 - m * t * t;
            return (second_kind ? s : 1.0L) / sqrtl(db * (1 + t) * s);
        },
        0.0L, 1.0L);
}

}  // namespace

TEST(Occultation, ReArcCosClampsToLimitingAngles) {
    EXPECT_EQ(ReArcCos(1.0L), 0.0L);
    EXPECT_EQ(ReArcCos(7.5L), 0.0L);
    EXPECT_LE(UlpDistance(ReArcCos(-INFINITY), kPi), kUlps4);
    EXPECT_LE(UlpDistance(ReArcCos(0.5L), kPi / 3), kUlps4);
}

// Closed forms at touching, equal-radius and concentric configurations.
TEST(Occultation, ExactValues) {
    const long double s3 = sqrtl(3.0L), pi = kPi;
    const long double K4 = CompleteK(0.25L, false), E4 = CompleteK(0.25L, true);
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
        {L1, 0.5L, 0.5L, pi / 3 - 4.0L / 9, 128, "L1 δ = r = ½ (constant to 17 digits)"},
        {L1, 0.0L, r3, 2 * pi / 3 * (1 - mu3 * mu3 * mu3), kUlps16, "L1 δ = 0"},
        {D2L1, 0.0L, r3, 2 * pi * r3 * mu3, kUlps16, "D2L1 δ = 0"},
        {L1, 1.0L, 1.0L, pi / 3 + 16 * E4 / 9 - 5 * K4 / 3, kUlps16, "L1 δ = r = 1"},
        {D1L1, 1.0L, 1.0L, 4 * E4 / 3 - 2 * K4, kUlps16, "D1L1 δ = r = 1"},
        {D2L1, 1.0L, 1.0L, 8 * E4 - 6 * K4, kUlps16, "D2L1 δ = r = 1"},
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
    };
    for (const auto& c : cases) {
        EXPECT_LE(UlpDistance(c.f(c.delta, c.r), c.expected), c.ulps) << c.what;
    }
}

// No overlap (the discs apart or touching from outside, no planet, a negative radius) hides
// nothing; a planet over the whole star (r - δ ≥ 1) hides the whole disc; neither moves.
TEST(Occultation, GuardsOutsideAndOverTheWholeDisc) {
    const struct {
        long double delta, r;
        bool whole;
    } cases[] = {{1.25L, 0.25L, false}, {1.5L, 0.5L, false},   {3.0L, 0.5L, false},
                 {0.5L, 0.0L, false},   {0.5L, -0.25L, false}, {0.25L, 1.5L, true},
                 {0.25L, 1.25L, true},  {0.5L, 4.0L, true}};
    for (const auto& c : cases) {
        for (const Family& fam : kFamilies) {
            SCOPED_TRACE(fam.name + Show({c.delta, c.r}));
            EXPECT_LE(UlpDistance(fam.f(c.delta, c.r), c.whole ? fam.whole : 0), kUlps4);
            EXPECT_EQ(fam.d1(c.delta, c.r), 0.0L);
            EXPECT_EQ(fam.d2(c.delta, c.r), 0.0L);
        }
    }
    for (const Family& fam : kFamilies) EXPECT_EQ(fam.d1(0.0L, 0.375L), 0.0L) << fam.name;
    EXPECT_EQ(D1L0(0.5L, 0.5L), 0.0L);  // equal radii touching the limb: the chord is 0
    EXPECT_EQ(L3(-0.1L, 0.3L), 0.0L);
    EXPECT_EQ(D1L3(-0.1L, 0.3L), 0.0L);
    EXPECT_EQ(D2L3(-0.1L, 0.3L), 0.0L);
    // One ulp inside either guard the √μ scheme runs and gives values next to the guarded ones.
    for (const auto& c : {std::make_pair(nextafterl(1.5L, 0.0L), 0.5L),
                          std::make_pair(0.25L, nextafterl(1.25L, 0.0L))}) {
        SCOPED_TRACE(Show({c.first, c.second}));
        EXPECT_LE(std::fabs(L3(c.first, c.second) - (c.second > 1 ? kL3.whole : 0)), 1e-18L);
        EXPECT_LE(std::fabs(D1L3(c.first, c.second)), 1e-12L);
        EXPECT_LE(std::fabs(D2L3(c.first, c.second)), 1e-12L);
    }
}

// Every term against the area integral, inside, crossing, touching from inside and with r > 1.
// A stray 1e-20 in place of the exact zero argument of RF and RD shows as an error near 5e-12
// (at δ = 0.95, r = 0.1), a √μ panel reaching below θ = 0 as one far above 1e-15.
// Next to r = δ, where L1 rounds like ε/|r - δ|, L1 is left out (mask 13).
TEST(Occultation, AgreesWithNumericalIntegral) {
    const struct {
        long double delta, r;
        unsigned families;  // bit i: L<i>
    } cases[] = {
        {0.95L, 0.1L, 15},
        {0.7L, 0.7L, 15},
        {1.05L, 0.1L, 15},
        {0.85L, 0.2L, 15},
        {0.5L, 0.9L, 15},
        {1.0L, 0.5L, 15},
        {0.6L, 1.2L, 15},
        {0.3L, 0.2L, 15},
        {0.55L, 0.45L, 15},
        {0.625L, 0.375L, 15},
        {0.1L, 0.2L, 15},
        {1.3L, 0.75L, 15},
        {0.3L, 0.1L, 15},
        {0.25L, 0.5L, 15},
        {0.375L, 0.375L, 15},
        {0.875L, 0.125L, 15},
        {0.75L, 0.5L, 15},
        {1.25L, 0.375L, 15},
        {0.75L, 0.75L, 15},
        {0.5L, 1.25L, 15},
        {1.25L, 1.5L, 15},
        {1.75L, 1.125L, 15},
        {0.25L, 0.25L + 0x1p-20L, 13},
        {0.5L, 0.5L - 0x1p-20L, 13},
    };
    for (const auto& c : cases) {
        for (int i = 0; i < 4; ++i) {
            if (!(c.families >> i & 1)) continue;
            const long double ref = Hidden(kFamilies[i], c.delta, c.r);
            EXPECT_LE(std::fabs(kFamilies[i].f(c.delta, c.r) - ref), i == 3 ? 1e-15L * ref : 1e-17L)
                << kFamilies[i].name << Show({c.delta, c.r});
        }
    }
}

// Five-point central differences at points further than 2h from every case boundary (across a
// kink a right derivative looks wrong). L0..L2 with h = 2^-26, far below the 1e-4 gaps to the
// contact lines where their third derivatives grow; on the contact line r + δ = 1 L1 is C¹ with
// an x²·ln|x| term that a symmetric difference cancels, while L0 and L2 start like x^(3/2)
// there. L3 with h = 2^-14 (its rounding over h) in every branch: inside with κ > 1.5 (the
// antisymmetric D1L3 summand) and κ ≤ 1.5, crossing, and r > 1. Each case names its families.
TEST(Occultation, DerivativesMatchCentralDifferences) {
    constexpr unsigned kAll = 7, kL1Only = 2, kNotL1 = 5, kL3Only = 8;
    const struct {
        long double delta, r;
        unsigned families;  // bit i: L<i>
    } cases[] = {
        {0.3L, 0.2L, kAll},      {0.2L, 0.35L, kAll},      {0.6L, 0.3999L, kAll},
        {0.75L, 0.25L, kL1Only}, {0.9L, 0.1L, kL1Only},    {0.6L, 0.4001L, kAll},
        {0.95L, 0.1L, kAll | 8}, {0.7L, 0.5L, kAll},       {1.0L, 1.0L, kNotL1},
        {0.6L, 1.2L, kAll},      {1.0999L, 0.1L, kAll},    {0.3L, 0.1L, kL3Only},
        {0.05L, 0.2L, kL3Only},  {0.6L, 0.2L, kL3Only},    {0.25L, 0.5L, kL3Only},
        {0.7L, 0.2L, kL3Only},   {0.75L, 0.5L, kL3Only},   {1.25L, 0.375L, kL3Only},
        {0.5L, 1.25L, kL3Only},  {1.75L, 1.125L, kL3Only}, {0.375L, 0.125L, kL3Only},
    };
    for (const auto& c : cases) {
        for (unsigned i = 0; i < 4; ++i) {
            if (!(c.families >> i & 1)) continue;
            const Family& fam = kFamilies[i];
            const long double h = i == 3 ? 0x1p-14L : 0x1p-26L;
            const long double d1 = fam.d1(c.delta, c.r), d2 = fam.d2(c.delta, c.r);
            SCOPED_TRACE(fam.name + Show({c.delta, c.r}));
            const long double fd1 =
                FivePoint([&](long double t) { return fam.f(c.delta + t, c.r); }, h);
            const long double fd2 =
                FivePoint([&](long double t) { return fam.f(c.delta, c.r + t); }, h);
            EXPECT_LE(std::fabs(d1 - fd1), i == 3 ? 1e-12L * std::fabs(d1) : 1e-8L) << "D1";
            EXPECT_LE(std::fabs(d2 - fd2), i == 3 ? 1e-12L * std::fabs(d2) : 1e-8L) << "D2";
        }
    }
}

// On r + δ = 1 (k = 1) the closed forms are ∞ - ∞ and the limits are used: finite, continuous
// with both sides (1e-12 away along the normal), and correct against the area integral (L1(½, ½)
// keeps its 17-digit constant). Next to the line, in the last bit and where 0.9 - δ + 0.1 is
// not exactly 1 - δ, every term is finite: the integrals are never asked for two zero arguments.
TEST(LinearL1, ContinuousAcrossContactLine) {
    for (int i = 1; i < 64; ++i) {
        const long double delta = i / 64.0L;
        for (const long double r : {1 - delta, 0.9L - delta + 0.1L}) {
            SCOPED_TRACE("δ, r" + Show({delta, r}));
            for (const long double rr : {r, nextafterl(r, 0.0L), nextafterl(r, 2.0L)})
                for (const Family& fam : kFamilies)
                    for (const Fn f : {fam.f, fam.d1, fam.d2})
                        EXPECT_TRUE(std::isfinite(f(delta, rr))) << fam.name << Show({rr});
            if (delta < 0.25L) continue;  // the slopes along the normal grow as δ → 0
            for (const Fn f : {kL1.f, kL1.d1, kL1.d2}) {
                EXPECT_LE(std::fabs(f(delta - 0.5e-12L, r - 0.5e-12L) - f(delta, r)), 1e-10L);
                EXPECT_LE(std::fabs(f(delta + 0.5e-12L, r + 0.5e-12L) - f(delta, r)), 1e-10L);
            }
        }
        if (i != 32) {
            EXPECT_LE(std::fabs(L1(delta, 1 - delta) - Hidden(kL1, delta, 1 - delta)), 1e-17L)
                << Show({delta});
        }
    }
}

// With the stellar centre next to the planet's rim the third-kind part is a difference of two
// terms of order K̃ that leaves O(|r - δ|); inside |r - δ| ≤ 2^-24 the cancellation-free form
// takes over, so L1 keeps full accuracy down to an ulp from r = δ, on and off the limb. At the
// band's edge the two forms meet within the rounding of the outer one, about ε·K̃/|r - δ|.
TEST(LinearL1, AccurateNextToEqualRadii) {
    const long double band = 0x1p-24L;
    for (const long double d : {0.125L, 0.3L, 0.55L, 0.7L}) {
        for (const long double off : {0.0L, 1e-18L, 1e-15L, 1e-12L, 1e-9L, band * 0.999L}) {
            for (const long double r :
                 {d + off, d - off, nextafterl(d, 2.0L), nextafterl(d, 0.0L)}) {
                EXPECT_LE(std::fabs(L1(d, r) - Hidden(kL1, d, r)), 3e-17L) << Show({d, r});
            }
        }
        for (const long double edge : {d + band, d - band})
            EXPECT_LE(std::fabs(L1(d, edge) - L1(d, nextafterl(edge, edge > d ? 2.0L : 0.0L))),
                      1e-11L)
                << Show({d, edge});
    }
}

// The 16-point rules: the published end entries (a 19-digit value matches within half a unit of
// its last digit plus the table's own half ulp), ascending nodes and positive weights, and
// exactness for x^k·(1 - x)^α with k ≤ 31 against m₀ = 1/(α+1), mₖ = mₖ₋₁·k/(k+α+1) (the weight
// sums 1, 4/5, 2/3 to 4 ulps; ~10 ulps at k = 31, where an ulp off in an end node costs about
// that much); the first inexact degrees miss by far more (about 50 ulps at k = 32, 800 at 33).
TEST(SqrtTermL3, QuadratureTables) {
    const long double* const tables[3][2] = {{nodes_Legendre, weights_Legendre},
                                             {nodes_Jacobi1d4, weights_Jacobi1d4},
                                             {nodes_Jacobi1d2, weights_Jacobi1d2}};
    const long double alphas[3] = {0.0L, 0.25L, 0.5L};
    const char* const printed[3][4] = {// first node and weight, last node and weight
                                       {"0.005299532504175033702", "0.01357622970587704743",
                                        "0.9947004674958249663", "0.01357622970587704743"},
                                       {"0.005220597121045183777", "0.01335688039357600065",
                                        "0.9930233310241623830", "0.004497806148958525668"},
                                       {"0.005143979307365324606", "0.01314449109647929604",
                                        "0.9912332235069065799", "0.001636869843022163750"}};
    for (int t = 0; t < 3; ++t) {
        SCOPED_TRACE("rule " + std::to_string(t));
        const long double *nodes = tables[t][0], *weights = tables[t][1];
        const long double entries[4] = {nodes[0], weights[0], nodes[15], weights[15]};
        for (int j = 0; j < 4; ++j) {
            const long double decimal = std::strtold(printed[t][j], nullptr);
            const long double half_digit = 0.5L * powl(10.0L, floorl(log10l(decimal)) - 18);
            EXPECT_LE(std::fabs(entries[j] - decimal),
                      half_digit + std::ldexp(1.0L, std::ilogb(decimal) - 63))
                << printed[t][j];
        }
        for (int i = 0; i < 16; ++i)
            EXPECT_TRUE(weights[i] > 0 && (i == 0 || nodes[i] > nodes[i - 1])) << i;
        long double moment = 1 / (alphas[t] + 1);
        for (int k = 0; k <= 33; ++k) {
            if (k > 0) moment = moment * k / (k + alphas[t] + 1);
            long double sum = 0;
            for (int i = 0; i < 16; ++i) sum += weights[i] * powl(nodes[i], k);
            if (k <= 31) {
                EXPECT_LE(UlpDistance(sum, moment), k == 0 ? kUlps4 : kUlps16) << k;
            } else if (k == 33) {
                EXPECT_GT(UlpDistance(sum, moment), 200.0L);
            }
        }
    }
}

// At δ = 0 the planet's limb is the circle ρ = r: L3 = (4π/5)·(1 − (1 − r²)^(5/4)), D1L3 = 0
// by symmetry, D2L3 = 2π·r·(1 − r²)^(1/4). The L3 difference loses the bits the cancellation
// costs, so it is measured in ulps of 4π/5. A tiny δ > 0 goes through the general scheme and
// must meet the same values (the functions are even in δ).
TEST(SqrtTermL3, CentredPlanetClosedForms) {
    for (const long double r : {0.0625L, 0.375L, 0.75L, 0.9921875L}) {
        const long double hidden = -kL3.whole * expm1l(1.25L * log1pl(-r * r));
        const long double d2 = 2 * kPi * r * expl(0.25L * log1pl(-r * r));
        for (const long double delta : {0.0L, 0x1p-40L}) {
            SCOPED_TRACE("δ, r" + Show({delta, r}));
            EXPECT_LE(std::fabs(L3(delta, r) - hidden) / std::ldexp(1.0L, 1 - 63), 8.0L);
            EXPECT_LE(std::fabs(D1L3(delta, r)), 1e-10L);
            EXPECT_LE(UlpDistance(D2L3(delta, r), d2), kUlps16);
        }
        EXPECT_EQ(D1L3(0, r), 0.0L) << Show({r});
    }
}

// The √μ term against its nextafterl neighbours in δ and in r on the case boundaries. At δ + r = 1
// the touching branches (Jacobi (1 − x)^(1/2) end panel for L3, closed forms for the derivatives)
// meet the crossing and inside ones: L3 is smooth there and moves by its derivative times the
// step; D1L3 and D2L3 are integrals of (κ − sin²θ)^(1/4), which move by O(|κ − 1|^(3/4)) as κ
// leaves 1 (relative: about 0.7 and 1.2 |κ − 1|^(3/4) inside and outside for D2L3, five times
// that for D1L3), a few 1e-14 for one ulp of δ. At δ = r the stellar centre lies on the planet's
// limb: L3 adds 2π/5 instead of the 4π/5 or 0 of its neighbours, whose line integrals carry the
// difference in a last panel a few ulps wide; that cancellation costs bits of 2π/5, not of L3,
// and the derivatives have no case change there.
TEST(SqrtTermL3, ContinuousAcrossCaseBoundaries) {
    const struct {
        long double delta, r;
    } cases[] = {{0.625L, 0.375L},   {0.5L, 0.5L},           {0.0625L, 0.9375L},
                 {0.875L, 0.125L},   {0.984375L, 0.015625L}, {0.25L, 0.25L},
                 {0.0625L, 0.0625L}, {0.75L, 0.75L},         {1.25L, 1.25L}};
    for (const auto& c : cases) {
        const bool touching = c.delta + c.r == 1, centre = c.delta == c.r;
        for (int k = 0; k < 4; ++k) {
            const long double to = k % 2 ? 0.0L : 4.0L;
            const long double d = k < 2 ? nextafterl(c.delta, to) : c.delta;
            const long double r = k < 2 ? c.r : nextafterl(c.r, to);
            SCOPED_TRACE("δ, r and the neighbour" + Show({c.delta, c.r, d, r}));
            const long double predicted = L3(c.delta, c.r) + D1L3(c.delta, c.r) * (d - c.delta) +
                                          D2L3(c.delta, c.r) * (r - c.r);
            const long double tol =
                (touching ? kUlps4 * std::ldexp(1.0L, std::ilogb(predicted) - 63) : 0) +
                (centre ? 16 * 0x1p-62L : 0);
            EXPECT_LE(std::fabs(L3(d, r) - predicted), tol);
            const long double kappa = (1 - (d - r) * (d - r)) / (4 * d * r);
            for (const Fn f : {D1L3, D2L3}) {
                const long double at = f(c.delta, c.r), next = f(d, r);
                const long double ulp =
                    std::ldexp(1.0L, std::ilogb(std::fmax(std::fabs(at), std::fabs(next))) - 63);
                EXPECT_LE(std::fabs(next - at),
                          touching ? 10 * powl(std::fabs(kappa - 1), 0.75L) * std::fabs(at)
                                   : kUlps16 * ulp);
            }
        }
    }
}

// The sweeps grade their panels where μ² or ρ² varies fast: on the contacts, where δ and r are a
// few ulps apart (up to about 150 panels), and for tiny and huge radii. A sweep that hit its cap
// would end with NaN. Non-finite arguments, and radii so large that D = 4δr overflows or so small
// that it underflows, mean nothing, but the sweeps end.
TEST(SqrtTermL3, SweepsEndOnWorstArguments) {
    auto ulps = [](long double x, int k, long double to) {
        for (int i = 0; i < k; ++i) x = nextafterl(x, to);
        return x;
    };
    std::vector<std::pair<long double, long double>> points = {{0.0L, 0.5L}};
    for (long double d : {0.5L, 0.25L, 0.75L, 0.1L, 1e-3L, 0.9L, 0.999L}) {
        for (int k = 0; k <= 3; ++k) {
            for (long double to : {0.0L, 4.0L}) {
                points.push_back({d, ulps(d, k, to)});      // r = δ and neighbours
                points.push_back({d, ulps(1 - d, k, to)});  // δ + r = 1 and across
            }
            points.push_back({d, ulps(1 + d, k, 0.0L)});  // r − δ = 1 (star covered)
            points.push_back({ulps(1 + d, k, 0.0L), d});  // δ − r = 1 (first contact)
        }
    }
    for (long double r : {1e-30L, 1e-300L, 1e-2000L})
        for (long double d : {0.0L, r, 2 * r, 0.5L, 1 - r, ulps(1 - r, 1, 0.0L), 1.0L})
            points.push_back({d, r});
    for (long double r : {1e10L, 0x1p64L, 1e100L})
        for (long double d : {r - 1 + 1e-12L * r, r - 0.5L, r, r + 0.5L, ulps(r + 1, 1, 0.0L)})
            points.push_back({d, r});
    for (const auto& [d, r] : points) {
        if (r - d >= 1 || d - r >= 1) continue;  // guarded, no sweep
        for (const Fn f : {L3, D1L3, D2L3}) EXPECT_TRUE(std::isfinite(f(d, r))) << Show({d, r});
    }
    for (long double bad : {(long double)NAN, (long double)INFINITY, -(long double)INFINITY}) {
        for (long double other : {0.0L, 0.5L, 1.5L, bad}) {
            for (const Fn f : {L3, D1L3, D2L3}) {
                EXPECT_FALSE(std::isinf(f(bad, other))) << Show({bad, other});
                EXPECT_FALSE(std::isinf(f(other, bad))) << Show({other, bad});
            }
        }
    }
    for (long double r : {1e4000L, 1e-4000L})
        for (const Fn f : {L3, D1L3, D2L3}) (void)(f(r, r) + f(r + r * 1e-19L, r));
}
