// Dense linear algebra in 80-bit long double.
#pragma once

#include <limits>

static_assert(std::numeric_limits<long double>::digits == 64,
              "transitlm needs the x87 80-bit long double (64-bit mantissa)");

// Solves A·x = b for the n×n row-major matrix A by Givens rotations of neighbouring rows and
// forward substitution; returns det A, exactly 0 when the triangular factor is singular
// (x is then incomplete).  A and b are not written.
long double LinearSolve_L(const long double* A, const long double* b, long double* x, const int n);
