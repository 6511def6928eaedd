// The hidden flux of the four intensity terms (uniform, μ, ρ², √μ) and its partial derivatives:
// reference values (tests/data/occultation.txt: closed forms, guards, an area integral, central
// differences, the worst arguments of the √μ sweeps), continuity across the case boundaries, the
// stored Gauss rules of the √μ term.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "lustre.h"
#include "test_util.h"

using Fn = long double (*)(long double, long double);
const Fn kTerms[4][3] = {{L0, D1L0, D2L0}, {L1, D1L1, D2L1}, {L2, D1L2, D2L2}, {L3, D1L3, D2L3}};

TEST(Occultation, ReferenceValuesAndCentralDifferences) {
    const auto cases = ReadRefCases(SOURCE_DIR "/tests/data/occultation.txt");
    ASSERT_GT(cases.size(), 900u);
    for (RefCase c : cases) {
        const auto& a = c.args;
        const int i = c.name.back() - '0', j = c.name[0] == 'L' ? 0 : c.name[1] - '0';
        const Fn f = c.name == "ReArcCos" ? nullptr : kTerms[i][0];
        if (c.value == "fd") {  // the five-point difference of the term along δ (D1) or r (D2)
            c.want = FivePoint(
                [&](long double t) { return f(a[0] + (j == 1) * t, a[1] + (j == 2) * t); },
                i == 3 ? 0x1p-14L : 0x1p-26L);
        }
        const long double got = f ? kTerms[i][j](a.at(0), a.at(1)) : ReArcCos(a.at(0));
        EXPECT_TRUE(c.Meets(got)) << c.line << "\n got" << Show({got, c.want});
    }
}

// On r + δ = 1 (k = 1) the closed forms are ∞ - ∞ and the limits are used: every term is finite
// on the line, in the last bit next to it and where 0.9 - δ + 0.1 is not exactly 1 - δ (the
// integrals are never asked for two zero arguments), and L1 is continuous with both sides (1e-12
// away along the normal). Next to r = δ, at the edge of the band |r - δ| ≤ 2^-24 where the
// cancellation-free form takes over, the two forms of L1 meet within ε·K̃/|r - δ|.
TEST(LinearL1, ContinuousAcrossContactLineAndEqualRadii) {
    for (int i = 1; i < 64; ++i) {
        const long double delta = i / 64.0L;
        for (const long double r : {1 - delta, 0.9L - delta + 0.1L}) {
            SCOPED_TRACE("δ, r" + Show({delta, r}));
            for (const long double rr : {r, nextafterl(r, 0.0L), nextafterl(r, 2.0L)})
                for (const auto& fam : kTerms)
                    for (const Fn f : fam) EXPECT_TRUE(std::isfinite(f(delta, rr))) << Show({rr});
            if (delta < 0.25L) continue;  // the slopes along the normal grow as δ → 0
            for (const Fn f : kTerms[1]) {
                EXPECT_LE(std::fabs(f(delta - 0.5e-12L, r - 0.5e-12L) - f(delta, r)), 1e-10L);
                EXPECT_LE(std::fabs(f(delta + 0.5e-12L, r + 0.5e-12L) - f(delta, r)), 1e-10L);
            }
        }
    }
    for (const long double d : {0.125L, 0.3L, 0.55L, 0.7L})
        for (const long double edge : {d + 0x1p-24L, d - 0x1p-24L})
            EXPECT_LE(std::fabs(L1(d, edge) - L1(d, nextafterl(edge, edge > d ? 2.0L : 0.0L))),
                      1e-11L)
                << Show({d, edge});
}

// The 16-point rules (Legendre, Jacobi (1 - x)^(1/4) and (1 - x)^(1/2)): ascending nodes,
// positive weights, and exactness for x^k·(1 - x)^α with k ≤ 31 against m₀ = 1/(α+1),
// mₖ = mₖ₋₁·k/(k+α+1) (the weight sums to 4 ulps; ~10 ulps at k = 31, where an ulp off in an
// end node costs about that much); the first inexact degrees miss by far more (800 ulps at 33).
TEST(SqrtTermL3, QuadratureTables) {
    const long double* const tables[3][2] = {{nodes_Legendre, weights_Legendre},
                                             {nodes_Jacobi1d4, weights_Jacobi1d4},
                                             {nodes_Jacobi1d2, weights_Jacobi1d2}};
    for (int t = 0; t < 3; ++t) {
        SCOPED_TRACE("rule " + std::to_string(t));
        const long double *nodes = tables[t][0], *weights = tables[t][1], alpha = t / 4.0L;
        for (int i = 0; i < 16; ++i)
            EXPECT_TRUE(weights[i] > 0 && (i == 0 || nodes[i] > nodes[i - 1])) << i;
        long double moment = 1 / (alpha + 1);
        for (int k = 0; k <= 33; ++k) {
            if (k > 0) moment = moment * k / (k + alpha + 1);
            long double sum = 0;
            for (int i = 0; i < 16; ++i) sum += weights[i] * powl(nodes[i], k);
            EXPECT_TRUE(k <= 31 ? UlpDistance(sum, moment) <= (k ? kUlps16 : kUlps4)
                                : k == 32 || UlpDistance(sum, moment) > 200)
                << k;
        }
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
                if (touching)
                    EXPECT_LE(std::fabs(next - at),
                              10 * powl(std::fabs(kappa - 1), 0.75L) * std::fabs(at));
                else
                    EXPECT_LE(UlpDistance(next, at), kUlps16);
            }
        }
    }
}

// The sweeps end (the rows "= finite" of the table hold their worst finite arguments) on
// non-finite arguments, and on radii so large that D = 4δr overflows or so small that it
// underflows, which mean nothing.
TEST(SqrtTermL3, SweepsEndOnNonFiniteArguments) {
    for (long double bad : {(long double)NAN, (long double)INFINITY, -(long double)INFINITY}) {
        for (long double other : {0.0L, 0.5L, 1.5L, bad}) {
            for (const Fn f : kTerms[3]) {
                EXPECT_FALSE(std::isinf(f(bad, other))) << Show({bad, other});
                EXPECT_FALSE(std::isinf(f(other, bad))) << Show({other, bad});
            }
        }
    }
    for (long double r : {1e4000L, 1e-4000L})
        for (const Fn f : kTerms[3]) (void)(f(r, r) + f(r + r * 1e-19L, r));
}
