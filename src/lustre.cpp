#include "lustre.h"

#include <cmath>

namespace {

constexpr long double kPi = 3.14159265358979323851L;  // π rounded to 64 bits

}  // namespace

// =============================================================================================
// Carlson's symmetric elliptic integrals
// =============================================================================================

// Duplication method (Carlson 1995; DLMF 19.36): each pass replaces every argument v by
// (v + λ)/4, which leaves the integral unchanged up to a known factor and shrinks the spread of
// the arguments fourfold; once the scaled spread is at most the mean A, the fifth-order Taylor
// series in the normalised differences X, Y, Z ends the work. Its first omitted term is about
// stop^-6 (2e-24 to 3e-24), below the rounding of the 64-bit significand.

namespace {

constexpr long double kStopRF = 8326.831776556042L;  // (3e-24)^(-1/6)
constexpr long double kStopRD = 8326.831776556042L;  // (3e-24)^(-1/6)
constexpr long double kStopRJ = 8908.987181403392L;  // (2e-24)^(-1/6)

// Every loop ends by itself: a finite stopping quantity, quartered each pass, underflows within
// about 16 420 passes, and an infinite one needs arguments so large that λ overflows and stops
// the loop. The cap only guards that reasoning and is never reached; the arguments of the
// linear term take 7 to 11 passes in RF and RD and 8 to 20 in RJ (about 70 when r is an ulp
// away from δ and the fourth argument is near 1e38).
constexpr int kMaxDuplications = 16500;

constexpr long double kNaN = std::numeric_limits<long double>::quiet_NaN();

// The integrals diverge when two of x, y, z vanish and are undefined for negative arguments;
// both (and NaN) are answered at once instead of by thousands of passes into underflow.
bool OutsideCarlsonDomain(long double x, long double y, long double z) {
    if (!(x >= 0.0L) || !(y >= 0.0L) || !(z >= 0.0L)) return true;
    return (x == 0.0L) + (y == 0.0L) + (z == 0.0L) >= 2;
}

long double MaxAbs3(long double a, long double b, long double c) {
    return std::fmax(std::fabs(a), std::fmax(std::fabs(b), std::fabs(c)));
}

}  // namespace

long double RF(long double x, long double y, long double z) {
    if (OutsideCarlsonDomain(x, y, z)) return kNaN;
    const long double A0 = (x + y + z) / 3;
    const long double AmxF = A0 - x, AmyF = A0 - y, AmzF = A0 - z;
    long double Q = MaxAbs3(AmxF, AmyF, AmzF) * kStopRF;
    long double AmF = A0, xm = x, ym = y, zm = z, powinvfour = 1.0L;
    int passes = 0;
    do {
        if (++passes > kMaxDuplications) return kNaN;
        const long double lambda = sqrtl(xm * ym) + sqrtl(ym * zm) + sqrtl(xm * zm);
        AmF = (AmF + lambda) / 4;
        xm = (xm + lambda) / 4;
        ym = (ym + lambda) / 4;
        zm = (zm + lambda) / 4;
        powinvfour /= 4;
        Q /= 4;
    } while (Q > AmF);  // strict: equality ends the loop
    const long double X = AmxF * powinvfour / AmF;
    const long double Y = AmyF * powinvfour / AmF;
    const long double Z = AmzF * powinvfour / AmF;  // its own difference, not -(X + Y)
    const long double E2 = X * Y - Z * Z;
    const long double E3 = X * Y * Z;
    return 1 / sqrtl(AmF) * (1 - E2 / 10 + E3 / 14 + E2 * E2 / 24 - 3 * E2 * E3 / 44);
}

long double RD(long double x, long double y, long double z) {
    if (OutsideCarlsonDomain(x, y, z)) return kNaN;
    const long double A0 = (x + y + 3 * z) / 5;
    const long double AmxD = A0 - x, AmyD = A0 - y, AmzD = A0 - z;
    long double Q = MaxAbs3(AmxD, AmyD, AmzD) * kStopRD;
    long double AmD = A0, xm = x, ym = y, zm = z, powinvfour = 1.0L, sumD = 0.0L;
    int passes = 0;
    do {
        if (++passes > kMaxDuplications) return kNaN;
        const long double lambda = sqrtl(xm * ym) + sqrtl(ym * zm) + sqrtl(xm * zm);
        sumD += powinvfour / (sqrtl(zm) * (zm + lambda));
        AmD = (AmD + lambda) / 4;
        xm = (xm + lambda) / 4;
        ym = (ym + lambda) / 4;
        zm = (zm + lambda) / 4;
        powinvfour /= 4;
        Q /= 4;
    } while (Q > AmD);
    const long double X = AmxD * powinvfour / AmD;
    const long double Y = AmyD * powinvfour / AmD;
    const long double Z = -(X + Y) / 3;
    const long double E2 = X * Y - 6 * (Z * Z);
    const long double E3 = (3 * X * Y - 8 * (Z * Z)) * Z;
    const long double E4 = 3 * (X * Y - Z * Z) * (Z * Z);
    const long double E5 = X * Y * (Z * Z * Z);
    return powinvfour / sqrtl(AmD * AmD * AmD) *
               (1 - 3 * E2 / 14 + E3 / 6 + 9 * (E2 * E2) / 88 - 3 * E4 / 22 - 9 * E2 * E3 / 52 +
                3 * E5 / 26) +
           3 * sumD;
}

// The sum of Carlson's RC terms is written without RC: with δ0 = (p - x)(p - y)(p - z), pass m
// adds 6·4^-m·RC(1, 1 + e_m)/d_m, e_m = 4^-3m·δ0/d_m², which is an arc tangent for δ0 > 0 and
// an area tangent, written ln((d + s)/(d - s)) = ln(1 + 2s/(d - s)), for δ0 < 0. `sqdelta8`
// carries 8^-m·√|δ0| and `powertwo` 2^m·6/√|δ0| (3/√|δ0| with the ½ of the artanh folded in).
long double RJ(long double x, long double y, long double z, long double p) {
    if (OutsideCarlsonDomain(x, y, z) || !(p > 0.0L)) return kNaN;
    const long double A0 = (x + y + z + 2 * p) / 5;
    const long double AmxJ = A0 - x, AmyJ = A0 - y, AmzJ = A0 - z, AmpJ = A0 - p;
    const long double Q = std::fmax(MaxAbs3(AmxJ, AmyJ, AmzJ), std::fabs(AmpJ)) * kStopRJ;
    long double AmJ = A0, xm = x, ym = y, zm = z, pm = p, powinvfour = 1.0L, sumJ = 0.0L;
    const long double sqdelta0 = (p - x) * (p - y) * (p - z);
    long double sqdelta8 = sqrtl(std::fabs(sqdelta0));
    const int sgn = sqdelta0 == 0.0L ? 0 : (sqdelta0 < 0.0L ? -1 : 1);
    long double powertwo = sgn == 1 ? 6 / sqdelta8 : (sgn == -1 ? 3 / sqdelta8 : 6.0L);
    int passes = 0;
    do {
        if (++passes > kMaxDuplications) return kNaN;
        const long double sqx = sqrtl(xm), sqy = sqrtl(ym), sqz = sqrtl(zm), sqp = sqrtl(pm);
        const long double lambda = sqx * sqy + sqy * sqz + sqx * sqz;
        const long double dm = (sqp + sqx) * (sqp + sqy) * (sqp + sqz);
        if (sgn == 0) {
            sumJ += 6 * powinvfour / dm;
        } else if (sgn == 1) {
            sumJ += powertwo * atan2l(sqdelta8, dm);
        } else {
            const long double t = 2 * sqdelta8 / (dm - sqdelta8);
            sumJ += powertwo * logl(1 + t);
        }
        AmJ = (AmJ + lambda) / 4;
        xm = (xm + lambda) / 4;
        ym = (ym + lambda) / 4;
        zm = (zm + lambda) / 4;
        pm = (pm + lambda) / 4;
        powinvfour /= 4;
        sqdelta8 /= 8;
        powertwo *= 2;
    } while (Q * powinvfour > AmJ);
    const long double X = AmxJ * powinvfour / AmJ;
    const long double Y = AmyJ * powinvfour / AmJ;
    const long double Z = AmzJ * powinvfour / AmJ;
    const long double P = (-X - Y - Z) / 2;
    const long double XYZ = X * Y * Z;
    const long double E2 = X * Y + X * Z + Y * Z - 3 * (P * P);
    const long double E3 = XYZ + 2 * E2 * P + 4 * (P * P * P);
    const long double E4 = (2 * XYZ + E2 * P + 3 * (P * P * P)) * P;
    const long double E5 = XYZ * (P * P);
    return powinvfour / sqrtl(AmJ * AmJ * AmJ) *
               (1 - 3 * E2 / 14 + E3 / 6 + 9 * (E2 * E2) / 88 - 3 * E4 / 22 - 9 * E2 * E3 / 52 +
                3 * E5 / 26) +
           sumJ;
}

// =============================================================================================
// Occultation of the uniform, linear and quadratic intensity terms (closed forms)
// =============================================================================================

// Arc cosine clamped to [0, π]: for circles that do not cross, the ratios run far outside
// [-1, 1] and must give the limiting angles, not NaN.
long double ReArcCos(long double x) {
    if (x >= 1.0L) return 0.0L;
    if (x <= -1.0L) return kPi;
    return acosl(x);
}

namespace {

// Angle at a centre between the line of centres and an intersection point of the circles,
// ReArcCos(numerator/δ). At δ = 0 no division is made: the limits are taken directly.
long double OccultAngle(long double numerator, long double delta) {
    if (delta != 0.0L) return ReArcCos(numerator / delta);
    if (numerator == 0.0L) return kPi / 2;  // exact on purpose: circles of equal radius
    return numerator > 0.0L ? 0.0L : kPi;
}

// ψ1, at the stellar centre: half the arc of the stellar limb inside the planet's disc.
long double OccultPsi1(long double delta, long double r) {
    return OccultAngle((delta * delta + 1 - r * r) / 2, delta);
}

// ψ2, at the planet's centre: half the arc of the planet's rim inside the stellar disc.
long double OccultPsi2(long double delta, long double r) {
    return OccultAngle((delta * delta + r * r - 1) / 2 / r, delta);
}

// Q = √((1 - (r - δ)²)((r + δ)² - 1)), δ times the common chord when the circles cross, else 0.
long double OccultRoot(long double delta, long double r) {
    const long double rplusdelta = r + delta, rmindelta = r - delta;
    const long double q = (1 - rmindelta * rmindelta) * (rplusdelta * rplusdelta - 1);
    return q > 0.0L ? sqrtl(q) : 0.0L;
}

struct OccultGeometry {
    long double psi1, psi2, Q;
};

// The clamped angles and Q = 0 outside the crossing give every configuration without a case
// split: no overlap (0, 0), planet on the disc (0, π), planet over the whole disc (π, 0).
OccultGeometry OccultAngles(long double delta, long double r) {
    return {OccultPsi1(delta, r), OccultPsi2(delta, r), OccultRoot(delta, r)};
}

}  // namespace

long double L0(long double delta, long double r) {
    if (r <= 0.0L || delta < 0.0L) return 0.0L;
    const OccultGeometry g = OccultAngles(delta, r);
    return r * r * g.psi2 + g.psi1 - g.Q / 2;
}

// Minus the common chord: moving the planet outwards uncovers the lens along it.
long double D1L0(long double delta, long double r) {
    if (r <= 0.0L || delta <= 0.0L) return 0.0L;
    const long double Q = OccultRoot(delta, r);
    return Q > 0.0L ? -Q / delta : 0.0L;
}

// The length of the planet's rim on the stellar disc.
long double D2L0(long double delta, long double r) {
    if (r <= 0.0L || delta < 0.0L) return 0.0L;
    return 2 * r * OccultPsi2(delta, r);
}

namespace {

// The linear term in closed form through Carlson's symmetric integrals. With
// k = 4δr/(1 - (r - δ)²), k < 1 when the planet lies on the disc and the complete integrals of
// parameter k appear; for k > 1 (limb crossing) they run only up to the branch point
// sin θ = 1/√k and are written through the parameter 1/k:
//   K̃ = s·RF(x_e, y_e, 1),  Ẽ = K̃ - (s·c·k/3)·RD(x_e, y_e, 1),
//   Π̃ = K̃ + (s·c·n/3)·RJ(x_e, y_e, 1, 1 - c·n),
// with s = c = 1 for k < 1 and s = 1/√k, c = 1/k for k ≥ 1, so that one of x_e = |1 - c| and
// y_e = |1 - c·k| vanishes. For k ≥ 1 the rounded (1/k)·k is often not 1, so y_e is set to its
// exact value 0: a stray 1e-20 there turns into an error of order √ε in RF and RD.
//
// On the contact line r + δ = 1 (k = 1 exactly) K̃ and Π̃ diverge like ln|1 - k| and the
// formulas are ∞ - ∞; there E(1) = 1 and the limits are taken in closed form (see L1).
struct LinearTermParts {
    long double rplusdelta, rmindelta, rmindeltaq, rdelta4;
    long double k, s, c, xe, ye, sqq;
    long double Kt, Et;  // K̃ and Ẽ; on the contact line K̃ = ∞ and Ẽ = E(1) = 1
};

LinearTermParts LinearTermElliptic(long double delta, long double r) {
    LinearTermParts e;
    e.rplusdelta = r + delta;
    e.rmindelta = r - delta;
    e.rmindeltaq = e.rmindelta * e.rmindelta;
    e.rdelta4 = 4 * delta * r;
    e.k = e.rdelta4 / (1 - e.rmindeltaq);
    if (e.k < 1.0L) {
        e.s = 1.0L;
        e.c = 1.0L;
    } else {
        e.s = 1 / sqrtl(e.k);
        e.c = 1 / e.k;
    }
    e.xe = std::fabs(1 - e.c);
    e.ye = e.k < 1.0L ? std::fabs(1 - e.c * e.k) : 0.0L;  // exactly 0 for k ≥ 1, see above
    e.sqq = sqrtl(1 - e.rmindeltaq);
    if (e.k == 1.0L) {  // exact on purpose: only here are x_e and y_e both 0
        e.Kt = std::numeric_limits<long double>::infinity();
        e.Et = 1.0L;
    } else {
        e.Kt = e.s * RF(e.xe, e.ye, 1.0L);
        e.Et = e.Kt - (e.s * e.c * e.k / 3) * RD(e.xe, e.ye, 1.0L);
    }
    return e;
}

// Outside |r - δ| < 1 there is no elliptic part: the planet covers the whole disc or nothing.
bool LinearTermHasEllipticPart(long double delta, long double r) {
    const long double rmindelta = r - delta;
    return !(rmindelta >= 1.0L || rmindelta <= -1.0L || r <= 0.0L || delta < 0.0L);
}

constexpr long double kTwoPiOver3 = 2.0943951023931954923L;  // 2π/3
constexpr long double kPiOver3 = 1.0471975511965977462L;     // π/3

}  // namespace

// L1 = (P - F)/√(1 - (r - δ)²) + second-kind part + step, where the step term 2π/3 (π/3 at
// r = δ) makes up the jump of the third-kind part P when the stellar centre passes under the
// rim of the planet.
//
// Contact line r + δ = 1. There 4δr = 1 - (r - δ)², so with a = (r - δ)² the characteristic is
// n = 1 - 1/a and the first-kind part is F = -(2/3)(r - δ)·K. Splitting
//   1/(1 - n sin²θ) = 1/(1 - n) - n cos²θ/((1 - n)(1 - n sin²θ))
// gives Π(n, k) - a·K(k) = -(n/(1 - n))∫ cos²θ dθ/((1 - n sin²θ)√(1 - k sin²θ)), which stays
// finite as k → 1, where √(1 - sin²θ) = cos θ and the integral becomes
// ∫₀¹ du/(1 - n u²) = atan(√-n)/√-n. Hence
//   P - F → -(2/(3(r - δ)))·|r - δ|·√(1 - a)·atan(√(1 - a)/|r - δ|),
// and (P - F)/√(1 - a) plus the step term is (2/3)·atan2(√(1 - (r - δ)²), δ - r) on both sides
// of r = δ (π/3 at r = δ = ½). With E(1) = 1:
//   L1 = (2/3)·atan2(sqq, δ - r) + 2(7r² + δ² - 4)·sqq/9   on r + δ = 1.
long double L1(long double delta, long double r) {
    if (delta == 0.5L && r == 0.5L) return 0.60275310675215330836L;  // π/3 - 4/9, k = 1 and r = δ
    long double result = 0.0L;
    if (LinearTermHasEllipticPart(delta, r)) {
        const LinearTermParts e = LinearTermElliptic(delta, r);
        if (e.k == 1.0L) {
            return 2 * atan2l(e.sqq, delta - r) / 3 +
                   e.Et * 2 * (7 * (r * r) + delta * delta - 4) * e.sqq / 9;
        }
        long double P = 0.0L;
        if (r != delta) {  // exact on purpose: at r = δ the step term supplies half the jump
            const long double n = -e.rdelta4 / e.rmindeltaq;
            const long double Pt = e.Kt + (e.s * e.c * n / 3) * RJ(e.xe, e.ye, 1.0L, 1 - e.c * n);
            P = Pt * 2 * e.rplusdelta / (-3 * e.rmindelta);
        }
        const long double F = e.Kt * 2 *
                              ((1 - e.rmindeltaq) * (e.rplusdelta * e.rplusdelta - 1) -
                               3 * e.rmindelta * e.rplusdelta) /
                              9;
        result = (P - F) / e.sqq;
        result += e.Et * 2 * (7 * (r * r) + delta * delta - 4) * e.sqq / 9;
    }
    if (r > delta) {
        result += kTwoPiOver3;
    } else if (r == delta) {
        result += kPiOver3;
    }
    return result;
}

// On the contact line the first-kind part carries the factor (r + δ)² - 1 = 0 against a
// logarithmic K̃ and drops out; Ẽ = 1.
long double D1L1(long double delta, long double r) {
    if (!LinearTermHasEllipticPart(delta, r) || delta == 0.0L) return 0.0L;
    const LinearTermParts e = LinearTermElliptic(delta, r);
    const long double first_kind =
        e.k == 1.0L ? 0.0L : 2 * (e.rplusdelta * e.rplusdelta - 1) * e.Kt;
    return -(e.sqq / (3 * delta)) * (first_kind + 2 * (1 - r * r - delta * delta) * e.Et);
}

// r times the integral of μ along the planet's rim; on the contact line Ẽ = 1.
long double D2L1(long double delta, long double r) {
    if (!LinearTermHasEllipticPart(delta, r)) return 0.0L;
    const LinearTermParts e = LinearTermElliptic(delta, r);
    return 4 * r * e.sqq * e.Et;
}

long double L2(long double delta, long double r) {
    if (r <= 0.0L || delta < 0.0L) return 0.0L;
    const OccultGeometry g = OccultAngles(delta, r);
    return g.psi1 / 2 + g.psi2 * (r * r) * (2 * (delta * delta) + r * r) / 2 -
           (delta * delta + 5 * (r * r) + 1) * g.Q / 8;
}

long double D1L2(long double delta, long double r) {
    if (r <= 0.0L || delta <= 0.0L) return 0.0L;
    const long double psi2 = OccultPsi2(delta, r);
    const long double Q = OccultRoot(delta, r);
    return 2 * psi2 * delta * (r * r) - ((delta * delta + r * r + 1) / (2 * delta)) * Q;
}

long double D2L2(long double delta, long double r) {
    if (r <= 0.0L || delta < 0.0L) return 0.0L;
    const long double psi2 = OccultPsi2(delta, r);
    const long double Q = OccultRoot(delta, r);
    return 2 * r * ((delta * delta + r * r) * psi2 - Q);
}

// =============================================================================================
// Occultation of the square-root intensity term (Gaussian quadrature along the planet's limb)
// =============================================================================================


// =============================================================================================
// Orbit: Kepler's equation, projected separation, phase of mid-transit
// =============================================================================================

