#include "algebra.h"

#include <cmath>
#include <cstddef>
#include <vector>

// Orthogonal triangularisation by Givens rotations of neighbouring rows, without pivoting.
// Column m = n-1 down to 1 is swept top to bottom: each rotation of rows (j, j+1) zeroes
// [j][m] and carries the pair's norm into [j+1][m], so the column's norm ends on the diagonal
// and the matrix becomes lower triangular.  Rotations have determinant +1, so det A is the
// product of the diagonal, whose sign sits in [0][0] and in any diagonal element whose last
// rotation was skipped.  Nothing is divided by a pivot until the forward substitution.
long double LinearSolve_L(const long double* A, const long double* b, long double* x, const int n) {
    if (n <= 0) return 1.0L;  // the empty product
    const std::size_t order = static_cast<std::size_t>(n);
    std::vector<long double> inter_A(A, A + order * order);
    std::vector<long double> inter_b(b, b + order);
    auto at = [&](std::size_t row, std::size_t col) -> long double& {
        return inter_A[row * order + col];
    };

    for (std::size_t m = order - 1; m >= 1; --m) {
        for (std::size_t j = 0; j < m; ++j) {
            long double s = at(j, m);
            long double c = at(j + 1, m);
            if (s == 0.0L) continue;  // exact on purpose: nothing to rotate away
            const long double f = 1.0L / std::sqrt(s * s + c * c);
            s = s * f;
            c = c * f;
            for (std::size_t k = 0; k <= m; ++k) {
                const long double u = at(j, k);
                const long double v = at(j + 1, k);
                at(j, k) = u * c - v * s;
                at(j + 1, k) = u * s + v * c;
            }
            const long double u = inter_b[j];
            const long double v = inter_b[j + 1];
            inter_b[j] = u * c - v * s;
            inter_b[j + 1] = u * s + v * c;
        }
    }

    long double d = 1.0L;
    for (std::size_t i = 0; i < order; ++i) {
        long double sum = inter_b[i];
        for (std::size_t j = 0; j < i; ++j) sum = sum - x[j] * at(i, j);
        x[i] = sum;
        if (at(i, i) == 0.0L) {  // exact on purpose: only a true zero is singular
            d = 0.0L;
            break;
        }
        d = d * at(i, i);
        x[i] = x[i] / at(i, i);
    }
    return d;
}
