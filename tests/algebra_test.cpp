#include "algebra.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

#include "test_util.h"

namespace {

using Matrix = std::vector<long double>;

// Determinant by Gaussian elimination with partial pivoting: an independent reference.
long double PivotedDeterminant(Matrix a, int n) {
    long double det = 1.0L;
    for (int col = 0; col < n; ++col) {
        int best = col;
        for (int r = col + 1; r < n; ++r)
            if (std::fabs(a[r * n + col]) > std::fabs(a[best * n + col])) best = r;
        if (a[best * n + col] == 0.0L) return 0.0L;
        if (best != col) {
            for (int k = 0; k < n; ++k) std::swap(a[best * n + k], a[col * n + k]);
            det = -det;
        }
        det *= a[col * n + col];
        for (int r = col + 1; r < n; ++r) {
            const long double f = a[r * n + col] / a[col * n + col];
            for (int k = col; k < n; ++k) a[r * n + k] -= f * a[col * n + k];
        }
    }
    return det;
}

// A well-conditioned 9×9 matrix of small integers (the largest order the fit solves), with
// an integer solution so that b = A·x is exact.
Matrix SampleMatrix(int n) {
    Matrix a(n * n);
    for (int r = 0; r < n; ++r)
        for (int k = 0; k < n; ++k) a[r * n + k] = ((r * 7 + k * 3) % 11) - 5 + (r == k ? 20 : 0);
    return a;
}

}  // namespace

TEST(LinearSolve, EmptyAndScalarSystems) {
    long double x[1] = {42.0L};
    EXPECT_EQ(LinearSolve_L(nullptr, nullptr, x, 0), 1.0L);  // the empty product
    EXPECT_EQ(x[0], 42.0L);                                  // nothing written

    const long double a[1] = {-4.0L}, b[1] = {3.0L};
    EXPECT_EQ(LinearSolve_L(a, b, x, 1), -4.0L);
    EXPECT_EQ(x[0], -0.75L);

    const long double zero[1] = {0.0L};
    EXPECT_EQ(LinearSolve_L(zero, b, x, 1), 0.0L);
    EXPECT_EQ(x[0], 3.0L);  // the undivided numerator
}

TEST(LinearSolve, DiagonalKeepsSignAndSkipsEveryRotation) {
    const long double a[9] = {2.0L, 0, 0, 0, -4.0L, 0, 0, 0, 0.5L};
    const long double b[3] = {1.0L, 1.0L, 1.0L};
    long double x[3];
    EXPECT_EQ(LinearSolve_L(a, b, x, 3), -4.0L);
    EXPECT_EQ(x[0], 0.5L);
    EXPECT_EQ(x[1], -0.25L);
    EXPECT_EQ(x[2], 2.0L);
}

TEST(LinearSolve, KnownSolutionAndDeterminant) {
    for (int n : {2, 3, 5, 9}) {
        const Matrix a = SampleMatrix(n);
        Matrix xtrue(n), b(n, 0.0L), x(n);
        for (int k = 0; k < n; ++k) xtrue[k] = k % 2 ? -(k + 1.0L) : (k + 1.0L);
        for (int r = 0; r < n; ++r)
            for (int k = 0; k < n; ++k) b[r] += a[r * n + k] * xtrue[k];
        const Matrix a_before = a, b_before = b;

        const long double det = LinearSolve_L(a.data(), b.data(), x.data(), n);
        const long double ref = PivotedDeterminant(a, n);
        EXPECT_LE(std::fabs(det - ref) / std::fabs(ref), 1e-16L) << "n " << n;
        for (int k = 0; k < n; ++k)
            EXPECT_LE(std::fabs(x[k] - xtrue[k]), 1e-16L * n) << "n " << n << " k " << k;
        // The caller's matrix and right-hand side are not touched.
        EXPECT_EQ(std::memcmp(a.data(), a_before.data(), n * n * sizeof(long double)), 0);
        EXPECT_EQ(std::memcmp(b.data(), b_before.data(), n * sizeof(long double)), 0);
    }
}

TEST(LinearSolve, RowSwapFlipsDeterminantKeepsSolution) {
    const int n = 5;
    Matrix a = SampleMatrix(n), b(n), x1(n), x2(n);
    for (int r = 0; r < n; ++r) b[r] = 0.25L * r - 1.0L;
    const long double d1 = LinearSolve_L(a.data(), b.data(), x1.data(), n);
    for (int k = 0; k < n; ++k) std::swap(a[1 * n + k], a[3 * n + k]);
    std::swap(b[1], b[3]);
    const long double d2 = LinearSolve_L(a.data(), b.data(), x2.data(), n);
    EXPECT_LE(UlpDistance(d1, -d2), kUlps16);
    for (int k = 0; k < n; ++k) EXPECT_LE(std::fabs(x1[k] - x2[k]), 1e-17L) << "k " << k;
}

TEST(LinearSolve, LastColumnOnlyInFirstRow) {
    // The rotations walk the 5 down to the last diagonal element: det = -(5·2·3) by cofactors.
    const long double a[9] = {1, 0, 5, 0, 2, 0, 3, 0, 0};
    const long double b[3] = {11, 4, 3};  // x = (1, 2, 2)
    long double x[3];
    EXPECT_LE(UlpDistance(LinearSolve_L(a, b, x, 3), -30.0L), kUlps4);
    EXPECT_LE(UlpDistance(x[0], 1.0L), kUlps4);
    EXPECT_LE(UlpDistance(x[1], 2.0L), kUlps4);
    EXPECT_LE(UlpDistance(x[2], 2.0L), kUlps4);
}

TEST(LinearSolve, SingularStopsWithZeroAndPartialSolution) {
    // A zero last column: every rotation is skipped and the last diagonal element is 0.
    const long double a[9] = {2, 1, 0, 1, 3, 0, 4, 5, 0};
    const long double b[3] = {4, 7, 9};
    long double x[3] = {0, 0, -123.0L};
    EXPECT_EQ(LinearSolve_L(a, b, x, 3), 0.0L);
    EXPECT_LE(UlpDistance(x[0], 1.0L), kUlps4);  // solved before the zero pivot
    EXPECT_LE(UlpDistance(x[1], 2.0L), kUlps4);
    EXPECT_LE(std::fabs(x[2] - (9.0L - 4.0L - 10.0L)), 1e-17L);  // the undivided numerator
}
