#include "lustre.h"

#include <cmath>

namespace {

constexpr long double kPi = 3.14159265358979323851L;  // π rounded to 64 bits

}  // namespace

// =============================================================================================
// Carlson's symmetric elliptic integrals
// =============================================================================================


// =============================================================================================
// Occultation of the uniform, linear and quadratic intensity terms (closed forms)
// =============================================================================================


// =============================================================================================
// Occultation of the square-root intensity term (Gaussian quadrature along the planet's limb)
// =============================================================================================


// =============================================================================================
// Orbit: Kepler's equation, projected separation, phase of mid-transit
// =============================================================================================

namespace {

constexpr long double kTwoPi = 6.283185307179586477L;         // 2π
constexpr long double kTolNewton = 0x1p-62L;     // relative step that ends the Newton loop
constexpr long double kTolBisection = 0x1p-63L;  // relative bracket that ends the bisection

long double KeplerSolve(long double x, long double e, int* newton, int* bisection) {
    *newton = 0;
    *bisection = 0;
    if (!std::isfinite(x) || !std::isfinite(e))
        return std::numeric_limits<long double>::quiet_NaN();
    if (std::fabs(e) > 1.0L) return 0.0L;
    // sin x vanishes at no long double but ±0 (none other is a multiple of π), so the trivial
    // root is found without a sine.
    if (x == 0.0L) return x;
    const long double x_in = x;
    bool neg_e = false;
    if (e < 0.0L) {  // E - π solves the equation for -e and x - π
        e = -e;
        x = x - kPi;
        neg_e = true;
    }
    const long double a = x - e;
    const long double b = x + e;

    // Start at the odd multiple of π nearest to x, or at the bound on the near side of it: on
    // each half-orbit f(E) = E - e·sin E - x is convex or concave, and from this side Newton
    // approaches the root monotonically.  The whole-orbit count takes 64 bits; beyond 2^62 orbits
    // neighbouring long doubles are 2 or more apart while |E - x| ≤ |e| ≤ 1, so x itself is a
    // nearest long double to E.
    const long double q = (x - kPi) / kTwoPi;
    if (!(std::fabs(q) < 0x1p62L)) return x_in;
    const long long n = llroundl(q);
    const long double o = kTwoPi * n + kPi;
    long double x1;
    if (sinl(x / 2) > 0.0L) {
        x1 = (a > o) ? a : o;
    } else {
        x1 = (o > b) ? b : o;
    }

    long double s, c;
    sincosl(x1, &s, &c);
    long double v = 1.0L - c * e;
    long double d1 = (x1 - s * e - x) / v;
    long double x2, d2;
    int cnt = 0;
    bool adjust = false;
    // After the first overshoot the slope is frozen (a fixed-slope step); a second overshoot
    // hands the sign change between x1 and x2 to bisection.
    while (*newton < kKeplerMaxPasses) {
        ++*newton;
        x2 = x1;
        d2 = d1;
        x1 = x1 - d1;
        sincosl(x1, &s, &c);
        d1 = x1 - s * e - x;
        if (d1 == 0.0L) break;  // exact root
        if ((d2 > 0.0L) == (d1 < 0.0L)) {
            if (++cnt > 1) {
                adjust = true;
                break;
            }
        }
        if (cnt == 0) v = 1.0L - c * e;
        if (v == 0.0L) {
            // The slope vanishes only for |e| = 1 at E ≡ 0 (mod 2π), where f is flat to
            // working precision; bisect the whole bracket: f(a) ≤ 0 ≤ f(b).
            x1 = a;
            d1 = a - e * sinl(a) - x;
            x2 = b;
            adjust = true;
            break;
        }
        d1 = d1 / v;
        if (!(std::fabs((x1 - x2) / x2) > kTolNewton)) break;
    }

    long double result = x1;
    if (adjust) {
        // d1 is the residual at x1 (not divided by v); f changes sign between x1 and x2.
        long double m;
        do {
            ++*bisection;
            m = (x1 + x2) / 2;
            const long double r = m - e * sinl(m) - x;
            if (r == 0.0L) break;  // exact root
            if ((d1 > 0.0L) == (r < 0.0L)) {
                x2 = m;
            } else {
                x1 = m;
                d1 = r;
            }
        } while (std::fabs((x1 - x2) / x2) > kTolBisection && *bisection < kKeplerMaxPasses);
        result = m;
    }
    return neg_e ? result + kPi : result;
}

}  // namespace

long double KeplerCounted(long double x, long double e, int* newton, int* bisection) {
    return KeplerSolve(x, e, newton, bisection);
}

long double Kepler(long double x, long double e) {
    int newton, bisection;
    return KeplerSolve(x, e, &newton, &bisection);
}

int DeltaEccentric_omega_ci_d(long double fi, long double e, long double omega, long double cisqrt,
                              long double* delta, long double* df, long double* de, long double* dw,
                              long double* di) {
    const long double E = Kepler(fi, e);
    // The two-argument arc tangent puts ν on the right branch, E = ±π included.
    long double sh, ch;
    sincosl(E / 2, &sh, &ch);
    const long double nu = 2 * atan2l(sqrtl(1.0L + e) * sh, sqrtl(1.0L - e) * ch);
    long double sE, cE;
    sincosl(E, &sE, &cE);
    const long double u = nu + omega;
    const long double su = sinl(u);
    const long double s2u = sinl(2 * u);
    const long double su2 = su * su;
    const long double r = 1.0L - e * cE;
    const long double w = sqrtl(1.0L - e * e);
    const long double P = 1.0L - cisqrt;  // sin² i
    const long double S = sqrtl(1.0L + (cisqrt - 1.0L) * su2);
    *delta = r * S;
    // The terms with sin 2u over S or δ are 0/0 at an exactly central conjunction (S = 0, cos i
    // = 0, cos u = 0), where δ = r·|cos u| has a kink; 0 is a subgradient there.
    long double tf = 0.0L, te = 0.0L, tw = 0.0L;
    if (*delta != 0.0L) {
        tf = P * s2u * w / (2 * *delta);
        te = P * s2u * sE / (2 * S);
        tw = -P * s2u * r / (2 * S);
    }
    *df = e * sE * S / r - tf;
    *de = (e - cE) * S / r - te * (1 / w + w / r);
    *dw = tw;
    *di = su2 * r / (2 * S);
    return su < 0.0L ? 1 : 0;
}
