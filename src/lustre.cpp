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
constexpr long double kThreePiOver4 = 2.356194490192344929L;  // 3π/4
constexpr long double kTolNewton = 0x1p-62L;     // relative step that ends the Newton loop
constexpr long double kTolBisection = 0x1p-63L;  // relative bracket that ends the bisection
constexpr long double kTolPhase = 0x1p-63L;      // relative change that ends the phase iteration
constexpr long double kCycleWidth = 0x1p-60L;    // a two-value cycle this narrow has settled
constexpr int kPhminMaxPasses = 4096;            // fixed-point passes before the direct search
constexpr int kPhminScan = 128;                  // samples of the front half-orbit
constexpr int kPhminBisections = 128;            // halvings of the sampled bracket

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

namespace {

// Mean anomaly of the true anomaly whose half is h: E = 2·atan(√((1-e)/(1+e))·tan h) with the
// single-argument arc tangent, so E and M = E - e·sin E lie in [-π, π].
long double MeanFromHalfTrue(long double h, long double e, long double root_ratio) {
    long double sh, ch;
    sincosl(h, &sh, &ch);
    const long double E = 2 * atanl(root_ratio * sh / ch);
    return E - e * sinl(E);
}

// Direct minimisation of δ over the front half-orbit u = ν + ω = π + φ, φ in [0, π].  Up to
// the factor (1 - e²)², δ² = (cos² φ + cos² i·sin² φ)/(1 + e·cos ν)²; a scan finds the smallest
// sample, and bisection on the sign of
//   H = 2e·sin ν·(cos² φ + cos² i·sin² φ) - 2 sin² i·sin φ·cos φ·(1 + e·cos ν),
// which has the sign of dδ²/dν, pins the stationary point beside it to the last bit.
long double PhaseMinDirect(long double e, long double w, long double ci, long double root_ratio) {
    const long double P = 1.0L - ci;
    struct Point {
        long double phi, dist2, slope;
    };
    auto at = [&](long double phi) {
        long double sp, cp, sn, cn;
        sincosl(phi, &sp, &cp);
        sincosl(phi + kPi - w, &sn, &cn);
        const long double ang = cp * cp + ci * (sp * sp);
        const long double den = 1.0L + e * cn;
        return Point{phi, ang / (den * den), 2 * e * sn * ang - 2 * P * sp * cp * den};
    };
    Point best = at(0.0L);
    int jbest = 0;
    for (int j = 1; j <= kPhminScan; ++j) {
        const Point p = at(kPi * j / kPhminScan);
        if (p.dist2 < best.dist2) {
            best = p;
            jbest = j;
        }
    }
    long double phi = best.phi;
    const Point lo = at(jbest > 0 ? kPi * (jbest - 1) / kPhminScan : 0.0L);
    const Point hi = at(jbest < kPhminScan ? kPi * (jbest + 1) / kPhminScan : kPi);
    if (lo.slope < 0.0L && hi.slope > 0.0L) {
        long double a = lo.phi, b = hi.phi;
        for (int k = 0; k < kPhminBisections; ++k) {
            const long double m = a + (b - a) / 2;
            if (m == a || m == b) break;
            const long double slope = at(m).slope;
            if (slope < 0.0L) {
                a = m;
            } else if (slope > 0.0L) {
                b = m;
            } else {
                a = b = m;
            }
        }
        phi = a + (b - a) / 2;
    }
    // With no falling-then-rising bracket δ is least at the sample itself: an end of the half,
    // when the orbit is far from edge-on and r shrinks towards the limb.
    return MeanFromHalfTrue((phi + kPi - w) / 2, e, root_ratio);
}

long double PhaseMinSolve(long double e, long double w, long double ci, int* passes,
                          int* fallback) {
    *passes = 0;
    *fallback = 0;
    const long double sqe = sqrtl(1.0L - e * e);
    const long double root_ratio = sqrtl((1.0L - e) / (1.0L + e));      // tan(E/2) / tan(ν/2)
    const long double inv_root_ratio = sqrtl((1.0L + e) / (1.0L - e));  // tan(ν/2) / tan(E/2)
    const long double k = ci / (1.0L - ci);                             // cot² i
    // Start at the conjunction ν + ω = 3π/2.
    long double f1 = MeanFromHalfTrue(kThreePiOver4 - w / 2, e, root_ratio);
    long double f2;
    // The pass maps f2 to f1 and nothing else, so a repeated value means a cycle for good.
    // Brent's method finds it: compare with a mark that is moved at powers of two.
    long double mark = f1;
    int power = 1, lambda = 0;
    // Fixed point of the stationarity of δ² in ν, cos u = -k·e·sin E/(e·sin E·cos u - √(1-e²)
    // ·sin u), solved for u' = π + acos(...) on the front half-orbit.
    while (*passes < kPhminMaxPasses) {
        f2 = f1;
        ++*passes;
        const long double E = Kepler(f2, e);
        long double sh, ch;
        sincosl(E / 2, &sh, &ch);
        const long double nu = 2 * atanl(inv_root_ratio * sh / ch);
        const long double u = nu + w;
        long double su, cu;
        sincosl(u, &su, &cu);
        const long double g = e * sinl(E);
        const long double phi = acosl(g * k / (g * cu - sqe * su));
        const long double nu1 = phi + kPi - w;
        f1 = MeanFromHalfTrue(nu1 / 2, e, root_ratio);
        if (std::isnan(f1)) break;  // the arc cosine has no real value
        if (!(std::fabs((f1 - f2) / f2) >= kTolPhase)) return f1;
        ++lambda;
        if (f1 == mark) {
            // Two values a few units in the last place of π apart (the precision of the
            // angles the pass works with) have settled; a longer or wider cycle never will.
            if (lambda == 2 && std::fabs(f1 - f2) <= kCycleWidth) return f1;
            break;
        }
        if (lambda == power) {
            mark = f1;
            power *= 2;
            lambda = 0;
        }
    }
    *fallback = 1;
    return PhaseMinDirect(e, w, ci, root_ratio);
}

}  // namespace

long double PhminCounted_ci(long double e, long double w, long double ci, int* passes,
                            int* fallback) {
    return PhaseMinSolve(e, w, ci, passes, fallback);
}

long double phmin_ci(long double e, long double w, long double ci) {
    int passes, fallback;
    return PhaseMinSolve(e, w, ci, &passes, &fallback);
}
