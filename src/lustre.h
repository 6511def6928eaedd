// The light-curve model: Carlson's symmetric elliptic integrals, the hidden flux of the four
// intensity terms (uniform, μ, ρ², √μ) with their partial derivatives by the centre distance
// `delta` and the radius ratio `r` (both in stellar radii), Kepler's equation, the projected
// star-planet separation with its parameter derivatives, and the phase of mid-transit.
// Every function is pure and works in 80-bit long double.
#pragma once

#include <limits>

static_assert(std::numeric_limits<long double>::digits == 64,
              "transitlm needs the x87 80-bit long double (64-bit mantissa)");

// Carlson's symmetric integrals of the first, second and third kind: the duplication theorem
// until the arguments agree to Carlson's stopping rule, then his fifth-order series. Within 4
// ulps of closed forms (K, E, homogeneity, symmetry), 16 ulps of the complete integrals near
// m = 1, and 512 ulps on RJ's logarithmic branch (p below the other arguments), against
// tanh-sinh quadrature. NaN outside the domain. The three together cost about 2.5 µs, most of
// the linear term's cost.
long double RF(long double x, long double y, long double z);
long double RD(long double x, long double y, long double z);
long double RJ(long double x, long double y, long double z, long double p);

// Arc cosine clamped to [0, π] outside [-1, 1].
long double ReArcCos(long double x);

// The hidden part of each intensity term, with its partial derivatives by δ (D1) and by r (D2),
// for a planet of radius r at centre distance δ, both in stellar radii; 0 when the discs do
// not overlap, the whole-disc value when the planet covers the star. Closed forms for the
// uniform, linear (through RF, RD, RJ) and quadratic terms: within 4 ulps of exact values at
// special points (δ = 0, δ = r, δ = r = 1), 16 ulps for the linear term, 1e-17 absolute
// against area quadrature anywhere, continuous to 1e-10 across every contact and r = δ.
// Costs per call: uniform and quadratic 0.1–0.3 µs, linear 2.5 µs.

// Uniform disc: hidden area.
long double L0(long double delta, long double r);
long double D1L0(long double delta, long double r);
long double D2L0(long double delta, long double r);

// Linear term: integral of μ over the hidden part of the disc.
long double L1(long double delta, long double r);
long double D1L1(long double delta, long double r);
long double D2L1(long double delta, long double r);

// Quadratic term: integral of ρ² over the hidden part of the disc.
long double L2(long double delta, long double r);
long double D1L2(long double delta, long double r);
long double D2L2(long double delta, long double r);

// Square-root term: integral of √μ over the hidden part of the disc, by the divergence theorem
// a line integral along the planet's limb, taken by 16-point Gauss–Legendre and Gauss–Jacobi
// rules on graded panels (the Jacobi rules absorb the (1 - x)^(1/4) edge of the stellar
// limb). Within 1e-15 relative of area quadrature, derivatives within 1e-12 relative of
// central differences. 14–33 µs a call, the cost of a point in transit with this term.
long double L3(long double delta, long double r);
long double D1L3(long double delta, long double r);
long double D2L3(long double delta, long double r);

// A term's hidden flux at (delta, r) and its partial derivatives by delta and by r.
struct OccultTerm {
    long double value, d1, d2;
};

// The same three numbers as the separate functions, bit for bit, with their common work done
// once: L0L2Set fills the uniform term and, when l2 is not null, the quadratic term from one
// set of angles; L1Set evaluates RF, RD and RJ once; L3Set sweeps the limb once for both
// derivatives and shares the sines of the panels that L3 has in common with them.
void L0L2Set(long double delta, long double r, OccultTerm* l0, OccultTerm* l2);
OccultTerm L1Set(long double delta, long double r);
OccultTerm L3Set(long double delta, long double r);

// 16-point rules on [0, 1]: weight 1, (1 - x)^(1/4) and (1 - x)^(1/2); nodes ascending.
extern const long double nodes_Legendre[16];
extern const long double weights_Legendre[16];
extern const long double nodes_Jacobi1d4[16];
extern const long double weights_Jacobi1d4[16];
extern const long double nodes_Jacobi1d2[16];
extern const long double weights_Jacobi1d2[16];

// Eccentric anomaly E solving E - e·sin E = x: Newton from the odd multiple of π nearest x
// (or the bound on its near side), from which it approaches monotonically; a fixed slope after
// the first overshoot and bisection after a second. The residual of Kepler's equation is
// within 4 ulps for every e in [0, 1] and far-off epochs. 0.6 µs (e = 0) to 2.2 µs (e = 0.9).
long double Kepler(long double x, long double e);

// Kepler that also reports its Newton and bisection passes; each loop stops at
// kKeplerMaxPasses, a bound that well-posed input never reaches.
constexpr int kKeplerMaxPasses = 1000;
long double KeplerCounted(long double x, long double e, int* newton, int* bisection);

// Projected separation δ at mean anomaly `fi` (lengths in semi-major axes) and its partial
// derivatives by the mean anomaly, e, ω and cos² i; returns 1 when the planet is in front.
// The true anomaly from the two-argument arc tangent of E/2; the derivatives analytic, within
// 1e-11 relative of central differences over circular to nearly parabolic orbits. 1.9 µs
// (e = 0) to 3.5 µs (e = 0.3) a call, Kepler's solver included.
int DeltaEccentric_omega_ci_d(long double fi, long double e, long double omega, long double cisqrt,
                              long double* delta, long double* df, long double* de, long double* dw,
                              long double* di);

// Mean anomaly in [-π, π] of the smallest projected separation in front of the star: a
// fixed-point iteration on the conjunction condition from ν + ω = 3π/2, with a direct
// minimisation of δ over the front half-orbit (scan, then bisection on the sign of dδ²/dν)
// when the iteration cycles or does not settle. δ there is within 1e-18 of a brute-force
// minimum.
long double phmin_ci(long double e, long double w, long double ci);

// phmin_ci that also reports its fixed-point passes and whether (1) or not (0) it fell back
// to minimising the separation directly.
long double PhminCounted_ci(long double e, long double w, long double ci, int* passes,
                            int* fallback);
