// The orbit: Kepler's equation, the projected separation and its derivatives, the phase of
// mid-transit.
#include <cmath>
#include <cstring>
#include <limits>

#include "constants.h"
#include "lustre.h"

// =============================================================================================
// Orbit: Kepler's equation, projected separation, phase of mid-transit
// =============================================================================================

namespace {

constexpr long double kTolNewton = 0x1p-62L;     // relative step that ends the Newton loop
constexpr long double kTolBisection = 0x1p-63L;  // relative bracket that ends the bisection
constexpr long double kTolPhase = 0x1p-63L;      // relative change that ends the phase iteration
constexpr long double kCycleWidth = 0x1p-60L;    // a two-value cycle this narrow has settled
constexpr int kPhminMaxPasses = 4096;            // fixed-point passes before the direct search
constexpr int kPhminScan = 128;                  // samples of the front half-orbit
constexpr int kPhminBisections = 128;            // halvings of the sampled bracket

// The point that splits a bisection bracket: its middle, unless the ends differ in magnitude by
// more than a factor of 4. That happens only at the cusp E = 0 for |e| near 1, where f is flat
// to working precision over a bracket far wider than a tiny root (|E| ≈ |x|/(1 - |e|) can lie
// hundreds of binades below the bracket); there the bracket is split at 0 if it holds 0, and
// else at the middle of the exponents, so that any root is reached in a few dozen passes.
long double BracketSplit(long double a, long double b) {
    if ((a < 0.0L && b > 0.0L) || (a > 0.0L && b < 0.0L)) return 0.0L;
    const long double lo = std::fmin(std::fabs(a), std::fabs(b));
    const long double hi = std::fmax(std::fabs(a), std::fabs(b));
    if (hi <= 4 * lo) return (a + b) / 2;
    const int lo_exp =
        lo == 0.0L ? std::ilogb(std::numeric_limits<long double>::denorm_min()) : std::ilogb(lo);
    return std::copysign(std::ldexp(1.0L, (lo_exp + std::ilogb(hi)) / 2), a + b);
}

// Whether sinl(h) > 0, that is, whether h lies strictly between 2kπ and (2k + 1)π. Away from
// the multiples of π the position of h/π between two whole numbers tells without a sine; there
// the sine is at least sin(π·2^-20) and its sign beyond doubt. Near them, and for |h| so large
// that h/π has lost that resolution, the sine itself decides.
bool SineIsPositive(long double h) {
    if (std::fabs(h) < 0x1p40L) {
        const long double q = h / kPi;
        const long double whole = floorl(q);
        const long double frac = q - whole;
        if (frac > 0x1p-20L && frac < 1.0L - 0x1p-20L)
            return (static_cast<long long>(whole) & 1) == 0;  // an even whole: h in (2kπ, (2k+1)π)
    }
    return sinl(h) > 0.0L;
}

// Sine and cosine of the eccentric anomaly returned, when the solver has them: the last Newton
// iterate is the result, and its sincosl has been taken.
struct RootSinCos {
    bool known = false;
    long double s = 0.0L, c = 0.0L;
};

long double KeplerSolve(long double x, long double e, int* newton, int* bisection,
                        RootSinCos* at_root = nullptr) {
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
    if (SineIsPositive(x / 2)) {
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
        // A zero correction (from a start on the root, as for e = 0) leaves the iterate, and
        // its sine and cosine, as they were; the bits are compared so that -0 is not +0.
        if (std::memcmp(&x1, &x2, 10) != 0) sincosl(x1, &s, &c);
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
    if (at_root && !adjust && !neg_e) *at_root = {true, s, c};
    if (adjust) {
        // d1 is the residual at x1 (not divided by v); f changes sign between x1 and x2.
        long double m;
        do {
            ++*bisection;
            m = BracketSplit(x1, x2);
            // No long double left between the ends (adjacent subnormals are relatively far
            // apart): every further pass would give this m again.
            if (m == x1 || m == x2) break;
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
    int newton, bisection;
    RootSinCos at_root;
    const long double E = KeplerSolve(fi, e, &newton, &bisection, &at_root);
    // The two-argument arc tangent puts ν on the right branch, E = ±π included.
    long double sh, ch;
    sincosl(E / 2, &sh, &ch);
    const long double nu = 2 * atan2l(sqrtl(1.0L + e) * sh, sqrtl(1.0L - e) * ch);
    long double sE = at_root.s, cE = at_root.c;  // taken once, by the solver, when it has them
    if (!at_root.known) sincosl(E, &sE, &cE);
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
struct FrontPoint {
    long double phi, dist2, slope;
};

FrontPoint FrontAt(long double phi, long double e, long double w, long double ci) {
    const long double P = 1.0L - ci;
    long double sp, cp, sn, cn;
    sincosl(phi, &sp, &cp);
    sincosl(phi + kPi - w, &sn, &cn);
    const long double ang = cp * cp + ci * (sp * sp);
    const long double den = 1.0L + e * cn;
    return FrontPoint{phi, ang / (den * den), 2 * e * sn * ang - 2 * P * sp * cp * den};
}

FrontPoint FrontMinimum(long double e, long double w, long double ci) {
    auto at = [&](long double phi) { return FrontAt(phi, e, w, ci); };
    FrontPoint best = at(0.0L);
    int jbest = 0;
    for (int j = 1; j <= kPhminScan; ++j) {
        const FrontPoint p = at(kPi * j / kPhminScan);
        if (p.dist2 < best.dist2) {
            best = p;
            jbest = j;
        }
    }
    const FrontPoint lo = at(jbest > 0 ? kPi * (jbest - 1) / kPhminScan : 0.0L);
    const FrontPoint hi = at(jbest < kPhminScan ? kPi * (jbest + 1) / kPhminScan : kPi);
    // With no falling-then-rising bracket δ is least at the sample itself: an end of the half,
    // when the orbit is far from edge-on and r shrinks towards the limb.
    if (!(lo.slope < 0.0L && hi.slope > 0.0L)) return best;
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
    return at(a + (b - a) / 2);
}

long double MeanOfFront(long double phi, long double e, long double w, long double root_ratio) {
    return MeanFromHalfTrue((phi + kPi - w) / 2, e, root_ratio);
}

// The fixed point solves dδ²/dν = 0 from the conjunction and cannot tell the minimum it lands
// on from a maximum or from a shallower minimum: with the conjunction near apoastron on an
// eccentric or inclined orbit, r falls off on either side faster than the angle lifts δ, and
// the smallest δ in front lies towards an end of the half (for e near 1 just beside periastron,
// where the transit of such an orbit happens). A scan of the half in double precision, which
// only has to see a clearly smaller δ, decides whether the direct search is needed; where the
// stationary point is the least δ, as on every orbit near edge-on, the fixed point stands to
// the last bit.
long double LeastOf(long double f1, long double phi, long double e, long double w, long double ci,
                    long double root_ratio) {
    constexpr long double kClearlyBelow = 1.0L - 0x1p-32L;  // far beyond the rounding of δ²
    constexpr double kSeenBelow = 1.0 - 0x1p-20;            // far beyond the rounding of the scan
    const long double fixed = FrontAt(phi, e, w, ci).dist2;
    const double ed = static_cast<double>(e), cid = static_cast<double>(ci);
    bool below = false;
    for (int j = 0; j <= kPhminScan && !below; ++j) {
        const long double at = kPi * j / kPhminScan;
        const double sp = std::sin(static_cast<double>(at)), cp = std::cos(static_cast<double>(at));
        const double den = 1.0 + ed * std::cos(static_cast<double>(at + kPi - w));
        const double dist2 = (cp * cp + cid * (sp * sp)) / (den * den);
        below = dist2 < static_cast<double>(fixed) * kSeenBelow;
    }
    if (!below) return f1;
    const FrontPoint least = FrontMinimum(e, w, ci);
    return least.dist2 < fixed * kClearlyBelow ? MeanOfFront(least.phi, e, w, root_ratio) : f1;
}

long double PhaseMinSolve(long double e, long double w, long double ci, int* passes,
                          int* fallback) {
    *passes = 0;
    *fallback = 0;
    // Values that are not finite pass through as NaN; the direct search would pick a sample.
    if (!std::isfinite(e) || !std::isfinite(w) || !std::isfinite(ci))
        return std::numeric_limits<long double>::quiet_NaN();
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
        if (!(std::fabs((f1 - f2) / f2) >= kTolPhase))
            return LeastOf(f1, phi, e, w, ci, root_ratio);
        ++lambda;
        if (f1 == mark) {
            // Two values a few units in the last place of π apart (the precision of the
            // angles the pass works with) have settled; a longer or wider cycle never will.
            if (lambda == 2 && std::fabs(f1 - f2) <= kCycleWidth)
                return LeastOf(f1, phi, e, w, ci, root_ratio);
            break;
        }
        if (lambda == power) {
            mark = f1;
            power *= 2;
            lambda = 0;
        }
    }
    *fallback = 1;
    return MeanOfFront(FrontMinimum(e, w, ci).phi, e, w, root_ratio);
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
