// Square-root limb-darkening term: the stored Gauss rules, and L3, D1L3, D2L3 against closed forms,
// an independent area integral of √μ, their own central differences and their case boundaries.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "lustre.h"
#include "test_util.h"

namespace {

const long double kPiRef = 3.14159265358979323846264338L;

// ---------------------------------------------------------------------------------------------
// Quadrature tables

struct Rule {
    const char* name;
    const long double* nodes;
    const long double* weights;
    long double alpha;  // weight (1 - x)^alpha on [0, 1]
};

const Rule kRules[] = {
    {"Legendre", nodes_Legendre, weights_Legendre, 0.0L},
    {"Jacobi1d4", nodes_Jacobi1d4, weights_Jacobi1d4, 0.25L},
    {"Jacobi1d2", nodes_Jacobi1d2, weights_Jacobi1d2, 0.5L},
};

// A published 19-digit value matches the table within half a unit of its last digit (plus the
// half ulp of the table's own rounding).
void ExpectPrinted(long double value, const char* printed, const std::string& what) {
    const long double decimal = std::strtold(printed, nullptr);
    const long double half_digit = 0.5L * std::pow(10.0L, std::floor(std::log10(decimal)) - 18);
    const long double ulp = std::ldexp(1.0L, std::ilogb(decimal) - 63);
    EXPECT_LE(std::fabs(value - decimal), half_digit + ulp) << what << " vs " << printed;
}

TEST(QuadratureTables, FirstAndLastEntries) {
    ExpectPrinted(nodes_Legendre[0], "0.005299532504175033702", "Legendre node 0");
    ExpectPrinted(weights_Legendre[0], "0.01357622970587704743", "Legendre weight 0");
    ExpectPrinted(nodes_Legendre[15], "0.9947004674958249663", "Legendre node 15");
    ExpectPrinted(weights_Legendre[15], "0.01357622970587704743", "Legendre weight 15");
    ExpectPrinted(nodes_Jacobi1d4[0], "0.005220597121045183777", "Jacobi1d4 node 0");
    ExpectPrinted(weights_Jacobi1d4[0], "0.01335688039357600065", "Jacobi1d4 weight 0");
    ExpectPrinted(nodes_Jacobi1d4[15], "0.9930233310241623830", "Jacobi1d4 node 15");
    ExpectPrinted(weights_Jacobi1d4[15], "0.004497806148958525668", "Jacobi1d4 weight 15");
    ExpectPrinted(nodes_Jacobi1d2[0], "0.005143979307365324606", "Jacobi1d2 node 0");
    ExpectPrinted(weights_Jacobi1d2[0], "0.01314449109647929604", "Jacobi1d2 weight 0");
    ExpectPrinted(nodes_Jacobi1d2[15], "0.9912332235069065799", "Jacobi1d2 node 15");
    ExpectPrinted(weights_Jacobi1d2[15], "0.001636869843022163750", "Jacobi1d2 weight 15");
}

TEST(QuadratureTables, WeightSums) {
    const long double sums[] = {1.0L, 4.0L / 5, 2.0L / 3};
    for (int j = 0; j < 3; ++j) {
        long double sum = 0;
        for (int i = 0; i < 16; ++i) sum += kRules[j].weights[i];
        EXPECT_LE(UlpDistance(sum, sums[j]), kUlps4) << kRules[j].name;
    }
}

// A 16-point Gauss rule integrates x^k·(1 - x)^α exactly for k ≤ 31 and not beyond: a good table
// is within ~10 ulps through k = 31 (an ulp off in an end node costs about that much at k = 31),
// and the first inexact degrees miss by hundreds of ulps (about 50 at k = 32, 800 at k = 33).
TEST(QuadratureTables, ExactThroughDegree31) {
    for (const Rule& rule : kRules) {
        for (int i = 0; i < 16; ++i) {
            EXPECT_GT(rule.weights[i], 0.0L) << rule.name << " " << i;
            if (i > 0) {
                EXPECT_GT(rule.nodes[i], rule.nodes[i - 1]) << rule.name << " " << i;
            }
        }
        long double moment = 1 / (rule.alpha + 1);  // ∫₀¹ x^k (1 - x)^α dx by recurrence
        for (int k = 0; k <= 33; ++k) {
            if (k > 0) moment = moment * k / (k + rule.alpha + 1);
            long double sum = 0;
            for (int i = 0; i < 16; ++i) sum += rule.weights[i] * std::pow(rule.nodes[i], k);
            if (k <= 31) {
                EXPECT_LE(UlpDistance(sum, moment), kUlps16) << rule.name << " k " << k;
            } else if (k == 33) {
                EXPECT_GT(UlpDistance(sum, moment), 200.0L) << rule.name << " k " << k;
            }
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Reference: the hidden flux as an area integral in polar coordinates about the stellar centre.
// The circle of radius ρ meets the planet's disc in an arc of half-angle φ(ρ), so
//   L3 = ∫ 2φ(ρ)·ρ·(1 − ρ²)^(1/4) dρ  over ρ ∈ [|δ − p|, min(δ + p, 1)],
// plus (4π/5)·(1 − (1 − (p − δ)²)^(5/4)) for the disc ρ < p − δ that is covered whole.
// φ has square-root end points at |δ − p| and δ + p, and (1 − ρ²)^(1/4) a fourth-root one at 1;
// tanh-sinh quadrature absorbs such end-point powers, given the distances to both ends without
// cancellation.

// Integrand at ρ = a + da = b − db on [a, b] = [|δ − p|, min(δ + p, 1)].
struct Annulus {
    long double delta, r, a, b;
    long double operator()(long double da, long double db) const {
        const long double hi = delta + r;
        const long double rho = da < db ? a + da : b - db;
        const long double to_hi = b == hi ? db : (hi - b) + db;   // δ + p − ρ
        const long double to_one = b == 1 ? db : (1 - b) + db;    // 1 − ρ
        const long double rho_minus = delta >= r ? da : rho + a;  // ρ − (δ − p)
        const long double rho_plus = delta >= r ? rho + a : da;   // ρ + (δ − p)
        // Half-angle form of the law of cosines, free of cancellation at both ends.
        const long double phi =
            2 * std::atan2(std::sqrt(to_hi * rho_minus), std::sqrt(rho_plus * (rho + hi)));
        return 2 * phi * rho * std::sqrt(std::sqrt(to_one * (2 - to_one)));
    }
};

// Tanh-sinh rule of step h on [a, b]: x = c + w·tanh(π/2·sinh t).
long double TanhSinh(const Annulus& f, long double h) {
    const long double half = (f.b - f.a) / 2;
    long double sum = 0;
    for (long double t = -6; t <= 6; t += h) {
        const long double u = kPiRef / 2 * std::sinh(t);
        const long double weight = half * kPiRef / 2 * std::cosh(t) / std::pow(std::cosh(u), 2);
        const long double da = half * 2 / (1 + std::exp(-2 * u));  // w·(1 + tanh u)
        const long double db = half * 2 / (1 + std::exp(2 * u));   // w·(1 − tanh u)
        if (da > 0 && db > 0) sum += weight * f(da, db);
    }
    return h * sum;
}

long double AreaL3(long double delta, long double r) {
    const long double a = std::fabs(delta - r);
    const Annulus f{delta, r, a, std::fmin(delta + r, 1.0L)};
    const long double fine = TanhSinh(f, 0x1p-6L);
    EXPECT_LE(std::fabs(fine - TanhSinh(f, 0x1p-5L)), 1e-16L * fine) << "reference unconverged";
    long double covered = 0;
    if (r > delta) covered = -4 * kPiRef / 5 * std::expm1(1.25L * std::log1p(-a * a));
    return covered + fine;
}

struct Point {
    long double delta, r;
};

std::string Where(const Point& c) {
    char text[80];
    std::snprintf(text, sizeof text, "delta %.21Lg r %.21Lg", c.delta, c.r);
    return text;
}

// ---------------------------------------------------------------------------------------------
// L3, D1L3, D2L3

// At δ = 0 the planet's limb is the circle ρ = p: L3 = (4π/5)·(1 − (1 − p²)^(5/4)),
// D1L3 = 0 by symmetry, D2L3 = 2π·p·(1 − p²)^(1/4). The L3 difference loses the bits the
// cancellation costs, so it is measured in ulps of 4π/5. A tiny δ > 0 goes through the general
// scheme and must meet the same values (the functions are even in δ).
TEST(SqrtTermL3, CentredPlanetClosedForms) {
    const long double radii[] = {0.0625L, 0.375L, 0.75L, 0.9921875L};
    const long double whole = 4 * kPiRef / 5;
    for (const long double r : radii) {
        const long double hidden = -whole * std::expm1(1.25L * std::log1p(-r * r));
        const long double d2 = 2 * kPiRef * r * std::exp(0.25L * std::log1p(-r * r));
        for (const long double delta : {0.0L, 0x1p-40L}) {
            const Point c{delta, r};
            EXPECT_LE(std::fabs(L3(delta, r) - hidden) / std::ldexp(1.0L, 1 - 63), 8.0L)
                << Where(c);
            EXPECT_LE(std::fabs(D1L3(delta, r)), 1e-10L) << Where(c);
            EXPECT_LE(UlpDistance(D2L3(delta, r), d2), kUlps16) << Where(c);
        }
        EXPECT_EQ(D1L3(0, r), 0.0L) << r;
    }
}

// The quadrature is meant to be exact to long double (about 1e-18 is seen), so the tolerance sits
// far below what a wrong panel bound or rule leaves.
TEST(SqrtTermL3, MatchesAreaIntegral) {
    const Point cases[] = {
        {0.3L, 0.1L},               // inside
        {0.25L, 0.5L},              // inside, covering the stellar centre
        {0.375L, 0.375L},           // inside, centre on the planet's limb
        {0.25L, 0.25L + 0x1p-20L},  // δ just below p: 1/ρ² nearly singular
        {0.5L, 0.5L - 0x1p-20L},    // just inside the limb
        {0.625L, 0.375L},           // touching from inside
        {0.875L, 0.125L},           // touching from inside, small planet
        {0.95L, 0.1L},              // crossing
        {0.75L, 0.5L},              // crossing
        {1.25L, 0.375L},            // crossing, mostly outside
        {0.75L, 0.75L},             // crossing, centre on the planet's limb
        {0.5L, 1.25L},              // p > 1, centre covered
        {1.25L, 1.5L},              // p > 1, centre covered, most of the disc hidden
        {1.75L, 1.125L},            // p > 1, centre visible
    };
    for (const Point& c : cases) {
        const long double ref = AreaL3(c.delta, c.r);
        EXPECT_LE(std::fabs(L3(c.delta, c.r) - ref), 1e-15L * ref) << Where(c);
    }
}

using Term = long double (*)(long double, long double);

long double Kappa(long double delta, long double r) {
    return (1 - (delta - r) * (delta - r)) / (4 * delta * r);
}

// The four nextafterl neighbours of a point, in δ and in p.
struct Neighbour {
    long double delta, r, step_delta, step_r;
};

void ForNeighbours(const Point& c, void (*check)(const Point&, const Neighbour&)) {
    for (const long double to : {0.0L, 4.0L}) {
        const long double d = std::nextafter(c.delta, to);
        const long double r = std::nextafter(c.r, to);
        check(c, {d, c.r, d - c.delta, 0});
        check(c, {c.delta, r, 0, r - c.r});
    }
}

// At δ + p = 1 the touching branches (Jacobi (1 − x)^(1/2) end panel for L3, closed forms for the
// derivatives) must meet the crossing and inside branches one ulp away. L3 is smooth there and
// moves by its derivative times the step. D1L3 and D2L3 are integrals of (κ − sin²θ)^(1/4), which
// move by O(|κ − 1|^(3/4)) as κ leaves 1 (relative: about 0.7 and 1.2 |κ − 1|^(3/4) inside and
// outside for D2L3, five times that for D1L3 as J1 = J2/5), a few 1e-14 for one ulp of δ.
TEST(SqrtTermL3, ContinuousWhereTheLimbsTouch) {
    const Point cases[] = {{0.625L, 0.375L},
                           {0.5L, 0.5L},
                           {0.0625L, 0.9375L},
                           {0.875L, 0.125L},
                           {0.984375L, 0.015625L}};
    for (const Point& c : cases) {
        ForNeighbours(c, [](const Point& c, const Neighbour& m) {
            const long double predicted = L3(c.delta, c.r) + D1L3(c.delta, c.r) * m.step_delta +
                                          D2L3(c.delta, c.r) * m.step_r;
            // Where δ = p as well, the cancellation of the next test adds its loss.
            const long double slack = c.delta == c.r ? 16 * 0x1p-62L : 0;
            EXPECT_LE(std::fabs(L3(m.delta, m.r) - predicted),
                      kUlps4 * std::ldexp(1.0L, std::ilogb(predicted) - 63) + slack)
                << Where(c);
            const long double loss = 10 * std::pow(std::fabs(Kappa(m.delta, m.r) - 1), 0.75L);
            for (const Term f : {D1L3, D2L3}) {
                const long double at = f(c.delta, c.r);
                EXPECT_LE(std::fabs(f(m.delta, m.r) - at), loss * std::fabs(at)) << Where(c);
            }
        });
    }
}

// At δ = p the stellar centre lies on the planet's limb: L3 adds 2π/5 instead of the 4π/5 or 0 of
// its neighbours, whose line integrals carry the difference in a last panel a few ulps wide.
// That cancellation costs bits of 2π/5, not of L3. The derivatives have no case change here.
TEST(SqrtTermL3, ContinuousWhereTheLimbPassesTheCentre) {
    const Point cases[] = {{0.25L, 0.25L}, {0.0625L, 0.0625L}, {0.75L, 0.75L}, {1.25L, 1.25L}};
    for (const Point& c : cases) {
        ForNeighbours(c, [](const Point& c, const Neighbour& m) {
            const long double predicted = L3(c.delta, c.r) + D1L3(c.delta, c.r) * m.step_delta +
                                          D2L3(c.delta, c.r) * m.step_r;
            EXPECT_LE(std::fabs(L3(m.delta, m.r) - predicted), 16 * 0x1p-62L) << Where(c);
            EXPECT_LE(UlpDistance(D1L3(m.delta, m.r), D1L3(c.delta, c.r)), kUlps16) << Where(c);
            EXPECT_LE(UlpDistance(D2L3(m.delta, m.r), D2L3(c.delta, c.r)), kUlps16) << Where(c);
        });
    }
}

// Five-point central differences (error O(h⁴) plus L3's rounding over h) against the analytic
// partials, in every branch: inside with κ > 1.5 (the antisymmetric D1L3 summand), inside with
// κ ≤ 1.5, crossing, and p > 1.
TEST(SqrtTermL3, DerivativesMatchCentralDifferences) {
    const Point cases[] = {{0.3L, 0.1L},  {0.05L, 0.2L},   {0.6L, 0.2L},    {0.25L, 0.5L},
                           {0.7L, 0.2L},  {0.95L, 0.1L},   {0.75L, 0.5L},   {1.25L, 0.375L},
                           {0.5L, 1.25L}, {1.75L, 1.125L}, {0.375L, 0.125L}};
    const long double h = 0x1p-14L;
    for (const Point& c : cases) {
        const auto diff = [&](long double dd, long double dr) {
            const auto at = [&](int k) { return L3(c.delta + k * dd, c.r + k * dr); };
            return (8 * (at(1) - at(-1)) - (at(2) - at(-2))) / (12 * h);
        };
        const long double d1 = D1L3(c.delta, c.r), d2 = D2L3(c.delta, c.r);
        EXPECT_LE(std::fabs(d1 - diff(h, 0)), 1e-12L * std::fabs(d1)) << Where(c);
        EXPECT_LE(std::fabs(d2 - diff(0, h)), 1e-12L * std::fabs(d2)) << Where(c);
    }
}

TEST(SqrtTermL3, Guards) {
    const long double whole = 4 * kPiRef / 5;
    const struct {
        Point c;
        long double l3;
    } cases[] = {
        {{1.5L, 0.5L}, 0},        // δ − p = 1: the discs touch from outside
        {{3.0L, 0.5L}, 0},        // far apart
        {{0.3L, 0.0L}, 0},        // no planet
        {{0.3L, -0.1L}, 0},       // p < 0
        {{-0.1L, 0.3L}, 0},       // δ < 0
        {{0.25L, 1.25L}, whole},  // p − δ = 1: the star touches the planet's limb inside
        {{0.0L, 1.0L}, whole},    // a planet as large as the star, centred
        {{0.5L, 4.0L}, whole},
    };
    for (const auto& k : cases) {
        EXPECT_LE(UlpDistance(L3(k.c.delta, k.c.r), k.l3), kUlps4) << Where(k.c);
        EXPECT_EQ(D1L3(k.c.delta, k.c.r), 0.0L) << Where(k.c);
        EXPECT_EQ(D2L3(k.c.delta, k.c.r), 0.0L) << Where(k.c);
    }
    // One ulp inside either guard the scheme runs and gives values next to the guarded ones.
    const Point inside[] = {{std::nextafter(1.5L, 0.0L), 0.5L},
                            {0.25L, std::nextafter(1.25L, 0.0L)}};
    const long double guarded[] = {0, whole};
    for (int i = 0; i < 2; ++i) {
        const Point& c = inside[i];
        EXPECT_LE(std::fabs(L3(c.delta, c.r) - guarded[i]), 1e-18L) << Where(c);
        EXPECT_LE(std::fabs(D1L3(c.delta, c.r)), 1e-12L) << Where(c);
        EXPECT_LE(std::fabs(D2L3(c.delta, c.r)), 1e-12L) << Where(c);
    }
}

}  // namespace
