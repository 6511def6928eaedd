#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "lustre.h"
#include "test_util.h"

namespace {

// Complete integrals K(m) and E(m) by the arithmetic-geometric mean (DLMF 19.8.1, 19.8.6),
// independent of the duplication method; the argument is the complementary parameter 1 - m.
// K - E = K·Σ 2^(n-1)·c_n² is kept apart: near m = 1 forming E itself cancels.
struct CompleteKE {
    long double K, KminusE;
};

CompleteKE AgmKE(long double mc) {
    long double a = 1.0L, b = sqrtl(mc), c2sum = (1 - mc) / 2, pow2 = 0.5L;
    for (int i = 0; i < 40 && a != b; ++i) {
        const long double an = (a + b) / 2, c = (a - b) / 2;
        b = sqrtl(a * b);
        a = an;
        pow2 *= 2;
        c2sum += pow2 * c * c;
    }
    const long double K = kPi / (2 * a);
    return {K, K * c2sum};
}

// RJ(x, y, z, p) = (3/2)∫₀^∞ dt / (√((t+x)(t+y)(t+z))·(t+p)) with t = e^v: the integrand
// decays exponentially at both ends and is analytic in the strip |Im v| < π, so the
// trapezoidal rule with step 1/8 is exact far below the rounding; summed with compensation.
long double RJByQuadrature(long double x, long double y, long double z, long double p) {
    const long double h = 0.125L;
    long double sum = 0.0L, comp = 0.0L;
    for (int i = -1000; i <= 400; ++i) {
        const long double t = expl(i * h);
        const long double term = t / (sqrtl((t + x) * (t + y) * (t + z)) * (t + p));
        const long double yk = term - comp, next = sum + yk;
        comp = (next - sum) - yk;
        sum = next;
    }
    return 1.5L * h * sum;
}

}  // namespace

TEST(CarlsonRF, ClosedFormsAndSymmetry) {
    EXPECT_LE(UlpDistance(RF(0.0L, 1.0L, 1.0L), kPi / 2), kUlps4);      // K(0) = π/2
    EXPECT_LE(UlpDistance(RF(2.25L, 2.25L, 2.25L), 2.0L / 3), kUlps4);  // 1/√x in one pass
    EXPECT_LE(UlpDistance(RF(0.5L, 2.0L, 8.0L), RF(8.0L, 0.5L, 2.0L)), kUlps4);
    EXPECT_LE(UlpDistance(RF(2.0L, 8.0L, 32.0L), RF(0.5L, 2.0L, 8.0L) / 2), kUlps4);  // degree -½
}

// K(m) = RF(0, 1 - m, 1) and K(m) - E(m) = (m/3)·RD(0, 1 - m, 1), up to m one ulp below 1 and
// beyond (1 - m = 1e-300, 1e-4000: far-apart arguments take more passes but stay well inside
// the cap).
TEST(CarlsonRF, CompleteIntegralsAgainstAgm) {
    for (const long double y :
         {0.875L, 0.5L, 0.125L, 0x1p-20L, 0x1p-40L, 0x1p-64L, 1e-300L, 1e-4000L}) {
        const CompleteKE ref = AgmKE(y);
        const long double K = RF(0.0L, y, 1.0L);
        EXPECT_LE(UlpDistance(K, ref.K), kUlps16) << "m = 1 -" << Show({y});
        EXPECT_LE(UlpDistance(RF(y, 0.0L, 1.0L), K), kUlps4) << "m = 1 -" << Show({y});
        EXPECT_LE(UlpDistance((1 - y) / 3 * RD(0.0L, y, 1.0L), ref.KminusE), kUlps16)
            << "m = 1 -" << Show({y});
    }
}

TEST(CarlsonRD, ClosedFormsAndIdentities) {
    EXPECT_LE(UlpDistance(RD(0.0L, 1.0L, 1.0L), 3 * kPi / 4), kUlps4);
    EXPECT_LE(UlpDistance(RD(2.25L, 2.25L, 2.25L), 8.0L / 27), kUlps4);  // x^(-3/2)
    EXPECT_LE(UlpDistance(RD(0.5L, 2.0L, 8.0L), RD(2.0L, 0.5L, 8.0L)), kUlps4);
    // DLMF 19.21.6: RD(x,y,z) + RD(y,z,x) + RD(z,x,y) = 3/√(xyz).
    const long double x = 0.5L, y = 2.0L, z = 9.0L;
    EXPECT_LE(UlpDistance(RD(x, y, z) + RD(y, z, x) + RD(z, x, y), 1.0L), kUlps16);
}

TEST(CarlsonRJ, ClosedFormsAndReductionToRD) {
    EXPECT_LE(UlpDistance(RJ(0.0L, 1.0L, 1.0L, 1.0L), RD(0.0L, 1.0L, 1.0L)), kUlps4);
    EXPECT_LE(UlpDistance(RJ(2.25L, 2.25L, 2.25L, 2.25L), 8.0L / 27), kUlps4);
    EXPECT_LE(UlpDistance(RJ(0.5L, 2.0L, 1.5L, 1.5L), RD(0.5L, 2.0L, 1.5L)), kUlps16);
    EXPECT_LE(UlpDistance(RJ(0.5L, 2.0L, 8.0L, 3.0L), RJ(8.0L, 0.5L, 2.0L, 3.0L)), kUlps4);
    // RJ(x,x,x,p) = 3(RC(x,p) - 1/√x)/(x - p), far-apart arguments.
    const long double x = 1e-40L, p = 1.0L, rc = atanl(sqrtl((p - x) / x)) / sqrtl(p - x);
    EXPECT_LE(UlpDistance(RJ(x, x, x, p), 3 * (rc - 1 / sqrtl(x)) / (x - p)), kUlps16);
}

// Each way of summing the RC terms against the integral itself: arc tangent when
// (p - x)(p - y)(p - z) > 0, logarithm when it is negative, plain terms when it is zero. The
// logarithm is taken as ln(1 + t) for small t: each pass loses about ε absolute there, scaled
// by 2^m, so that branch (which the linear term never takes) is held to a looser bound.
TEST(CarlsonRJ, EachBranchAgainstQuadrature) {
    constexpr long double kUlpsLogBranch = 512.0L;
    const struct {
        long double x, y, z, p, ulps;
        const char* branch;
    } cases[] = {
        {0.0L, 0.36L, 1.0L, 2.5L, kUlps4, "atan, p above all (as the linear term uses it)"},
        {0.0L, 0.75L, 1.0L, 1e6L, kUlps4, "atan, p far above all"},
        {0.5L, 1.0L, 4.0L, 0.75L, kUlps16, "atan, p below two of them"},
        {0.5L, 1.0L, 2.0L, 0.25L, kUlpsLogBranch, "log, p below all"},
        {0.5L, 1.0L, 4.0L, 2.0L, kUlpsLogBranch, "log, p below exactly one"},
        {0.5L, 1.0L, 4.0L, 3.9L, kUlpsLogBranch, "log, p just below one"},
        {0.0L, 1.0L, 4.0L, 0.125L, kUlpsLogBranch, "log, p below all, x = 0"},
        {0.5L, 1.0L, 4.0L, 1.0L, kUlps4, "plain, p equal to y"},
        {0.0L, 0.5L, 1.0L, 1.0L, kUlps4, "plain, p equal to z"},
    };
    for (const auto& c : cases) {
        EXPECT_LE(UlpDistance(RJ(c.x, c.y, c.z, c.p), RJByQuadrature(c.x, c.y, c.z, c.p)), c.ulps)
            << c.branch << ":" << Show({c.x, c.y, c.z, c.p});
    }
}

// Two zero arguments (a divergent integral) and negative ones give NaN at once; NaN passes.
TEST(CarlsonGuards, OutsideTheDomainGivesNaN) {
    const long double nan = std::nanl("");
    const long double outside[] = {
        RF(0.0L, 0.0L, 1.0L),        RF(1.0L, 0.0L, 0.0L),       RF(-1e-30L, 1.0L, 1.0L),
        RF(nan, 1.0L, 1.0L),         RD(0.0L, 0.0L, 1.0L),       RD(0.0L, 1.0L, 0.0L),
        RD(1.0L, 1.0L, -2.0L),       RJ(0.0L, 0.0L, 1.0L, 1.0L), RJ(1.0L, -1.0L, 1.0L, 1.0L),
        RJ(1.0L, 1.0L, 1.0L, -1.0L), RJ(1.0L, 1.0L, 1.0L, 0.0L)};
    for (int i = 0; i < 11; ++i) EXPECT_TRUE(std::isnan(outside[i])) << "case " << i;
}

// The duplication ends on the worst arguments of the linear term: RF(0, y, 1), RD(0, y, 1) and
// RJ(0, y, 1, p) with y = 1 - m down to the smallest numbers (m → 1 on the contact line) and
// p = 1 - n from 1 up to about 2^130 (r an ulp from δ); the spread of the arguments sets the
// number of passes, and a pass cap would end with NaN. A tiny p makes the integral itself
// overflow: +∞ is its value. Non-finite arguments, and finite ones so far apart that the
// stopping quantity overflows while the running mean stays finite, end with a number or NaN.
TEST(CarlsonGuards, DuplicationEndsOnWorstArguments) {
    const long double tiny = std::numeric_limits<long double>::denorm_min();
    const long double huge = std::numeric_limits<long double>::max();
    for (long double y : {1.0L, 0x1p-64L, 1e-300L, 1e-4000L, 0x1p-16382L, tiny}) {
        EXPECT_TRUE(std::isfinite(RF(0.0L, y, 1.0L))) << "RF" << Show({y});
        EXPECT_TRUE(std::isfinite(RD(0.0L, y, 1.0L))) << "RD" << Show({y});
        for (long double p : {1.0L, nextafterl(1.0L, 2.0L), 0x1p130L, 1e60L, 1e300L})
            EXPECT_TRUE(std::isfinite(RJ(0.0L, y, 1.0L, p))) << "RJ" << Show({y, p});
        for (long double p : {1e-30L, 0x1p-16382L, tiny})
            EXPECT_GT(RJ(0.0L, y, 1.0L, p), 0.0L) << "RJ" << Show({y, p});
    }
    const long double inf = INFINITY;
    for (long double v :
         {RF(inf, 1, 1), RF(-inf, 1, 1), RD(1, 1, inf), RJ(1, inf, 1, 1), RJ(0, 1, 1, inf),
          RF(huge, tiny, 1), RD(tiny, huge, huge), RJ(huge, tiny, 1, huge)})
        EXPECT_TRUE(std::isfinite(v) || std::isnan(v));
}
