// The QR (Givens) solver of the fit's normal equations, on systems with known answers.
#include "algebra.h"

#include <gtest/gtest.h>

#include <cmath>
#include <utility>
#include <vector>

#include "test_util.h"

using Matrix = std::vector<long double>;

// Small systems: the empty product, a negative scalar, a diagonal (every rotation skipped, the
// sign kept), a last column only in the first row (the rotations walk the 5 down: det =
// -(5·2·3) by cofactors), and a singular one (zero last column) that stops with det 0, the
// solved part and the undivided numerator; a last column whose first entry is 0 and second is
// not (the skipped rotation goes on to the next).
TEST(LinearSolve, SmallSystemsWithKnownAnswers) {
    const struct {
        int n;
        Matrix a, b, x;
        long double det, ulps;  // 0: exact
    } cases[] = {
        {0, {}, {}, {}, 1.0L, 0},
        {1, {-4}, {3}, {-0.75L}, -4.0L, 0},
        {1, {0}, {3}, {3}, 0.0L, 0},
        {3, {2, 0, 0, 0, -4, 0, 0, 0, 0.5L}, {1, 1, 1}, {0.5L, -0.25L, 2}, -4.0L, 0},
        {3, {1, 0, 5, 0, 2, 0, 3, 0, 0}, {11, 4, 3}, {1, 2, 2}, -30.0L, kUlps4},
        {3, {2, 1, 0, 1, 3, 0, 4, 5, 0}, {4, 7, 9}, {1, 2, 9 - 4 - 10}, 0.0L, kUlps4},
        {3, {2, 1, 0, 1, 3, 5, 0, 0, 1}, {4, 2, -1}, {1, 2, -1}, 5.0L, kUlps4},  // rows 1, 2 turn
    };
    for (const auto& c : cases) {
        long double x[3] = {42.0L};
        EXPECT_LE(UlpDistance(LinearSolve_L(c.a.data(), c.b.data(), x, c.n), c.det), c.ulps)
            << "n " << c.n << " det" << Show({c.det});
        EXPECT_EQ(x[0], c.n == 0 ? 42.0L : x[0]);  // nothing written
        for (int k = 0; k < c.n; ++k) EXPECT_LE(UlpDistance(x[k], c.x[k]), c.ulps) << k;
    }
}

// A well-conditioned n×n matrix of small integers (9 is the largest order the fit solves), its
// determinant exact by fractions, and b = A·x exact for integer x: the solution and the
// determinant to the last bits; the caller's matrix and right-hand side are not touched.
TEST(LinearSolve, KnownSolutionAndDeterminant) {
    for (const auto& [n, exact] :
         {std::pair<int, long double>{2, 379}, {3, 9181}, {5, 4187082}, {9, 693218626020}}) {
        Matrix a(n * n), xtrue(n), b(n, 0.0L), x(n);
        for (int r = 0; r < n; ++r)
            for (int k = 0; k < n; ++k)
                a[r * n + k] = ((r * 7 + k * 3) % 11) - 5 + (r == k ? 20 : 0);
        for (int k = 0; k < n; ++k) xtrue[k] = k % 2 ? -(k + 1.0L) : (k + 1.0L);
        for (int r = 0; r < n; ++r)
            for (int k = 0; k < n; ++k) b[r] += a[r * n + k] * xtrue[k];
        const Matrix a_before = a, b_before = b;
        const long double det = LinearSolve_L(a.data(), b.data(), x.data(), n);
        EXPECT_LE(std::fabs(det / exact - 1), 1e-16L) << "n " << n;
        for (int k = 0; k < n; ++k) EXPECT_LE(std::fabs(x[k] - xtrue[k]), 1e-16L * n) << k;
        EXPECT_EQ(a, a_before);
        EXPECT_EQ(b, b_before);
    }
}
