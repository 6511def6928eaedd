// π and the fractions of it that the model and the fit use, each rounded to the 64-bit mantissa
// of long double and typed once. The fractions are constants of their own, not computed from
// kPi: a quotient such as kPi / 3 is rounded again and can land one unit in the last place
// away from the value that the closed forms and the published tables are built on.
#pragma once

constexpr long double kPi = 3.14159265358979323851L;          // π
constexpr long double kTwoPi = 6.283185307179586477L;         // 2π
constexpr long double kThreePiOver4 = 2.356194490192344929L;  // 3π/4: the conjunction, halved
constexpr long double kDegToRad = 0.017453292519943295769L;   // π/180

// Whole-disc fluxes that the linear and square-root terms add when the planet covers the
// stellar centre (r > δ), and half of them when the centre lies on the planet's limb (r = δ).
// kPiOver3, kFourPiOver5 and kTwoPiOver5 are the 19-digit values the closed forms were built
// with: they lie 1, 1 and 4 units in the last place from π/3, 4π/5 and 2π/5 rounded, and every
// light curve is pinned to exactly these values.
constexpr long double kTwoPiOver3 = 2.0943951023931954923L;  // 2π/3
constexpr long double kPiOver3 = 1.0471975511965977462L;     // π/3
constexpr long double kFourPiOver5 = 2.513274122871834591L;  // 4π/5
constexpr long double kTwoPiOver5 = 1.256637061435917295L;   // 2π/5

// Disc integrals -π/3, -π/6, -π/5 of the zero-mean profiles of the linear, quadratic and
// square-root terms: the weights of the law coefficients in the normalisation
// S = π + Σ Lf_b·u_b. Here -π/3 is the correctly rounded value.
constexpr long double kLf[3] = {-1.0471975511965977461L, -0.52359877559829887307L,
                                -0.62831853071795864770L};
