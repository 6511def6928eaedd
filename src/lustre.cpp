#include "lustre.h"

#include <cmath>
#include <cstring>

#include "constants.h"

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

// The six closed forms of the uniform and quadratic terms over the shared angles and root; the
// separate functions and the per-point set below both evaluate them.
long double L0Of(const OccultGeometry& g, long double r) {
    return r * r * g.psi2 + g.psi1 - g.Q / 2;
}

// Minus the common chord: moving the planet outwards uncovers the lens along it.
long double D1L0Of(long double Q, long double delta) { return Q > 0.0L ? -Q / delta : 0.0L; }

// The length of the planet's rim on the stellar disc.
long double D2L0Of(long double psi2, long double r) { return 2 * r * psi2; }

long double L2Of(const OccultGeometry& g, long double delta, long double r) {
    return g.psi1 / 2 + g.psi2 * (r * r) * (2 * (delta * delta) + r * r) / 2 -
           (delta * delta + 5 * (r * r) + 1) * g.Q / 8;
}

long double D1L2Of(long double psi2, long double Q, long double delta, long double r) {
    return 2 * psi2 * delta * (r * r) - ((delta * delta + r * r + 1) / (2 * delta)) * Q;
}

long double D2L2Of(long double psi2, long double Q, long double delta, long double r) {
    return 2 * r * ((delta * delta + r * r) * psi2 - Q);
}

}  // namespace

long double L0(long double delta, long double r) {
    if (r <= 0.0L || delta < 0.0L) return 0.0L;
    return L0Of(OccultAngles(delta, r), r);
}

long double D1L0(long double delta, long double r) {
    if (r <= 0.0L || delta <= 0.0L) return 0.0L;
    return D1L0Of(OccultRoot(delta, r), delta);
}

long double D2L0(long double delta, long double r) {
    if (r <= 0.0L || delta < 0.0L) return 0.0L;
    return D2L0Of(OccultPsi2(delta, r), r);
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

constexpr long double kL1HalfHalf = 0.60275310675215330836L;  // L1(½, ½) = π/3 - 4/9: k = 1, r = δ

// The stellar centre near the planet's rim, |r - δ| ≤ 2^-24. There n = -4δr/(r - δ)² runs to
// -∞ and Π̃ = K̃ + (s·c·n/3)·RJ(…) is a difference of two terms of order K̃ that leaves
// O(|r - δ|): the rounding of P grows like ε/|r - δ| and is O(1) an ulp away from r = δ.
// Byrd & Friedman's relation for the characteristic m'/N (DLMF 19.7.9, here in Carlson's form),
//   Π(N, m') = -(m'/(3N))·RJ(0, 1 - m', 1, 1 - m'/N) + (π/2)·√(N/((1 - N)(N - m'))),
// with N = c·n and m' the parameter (k, or 1/k on the folded branch), has no such difference.
// Its second term makes P exactly -(π/3)·sgn(r - δ)·√(1 - (r - δ)²), which joins the step term
// into π/3 on both sides; what is left of P is
//   k < 1:  -2(r + δ)(r - δ)·RJ(x_e, y_e, 1, 1/(1 - (r - δ)²))/(9(1 - (r - δ)²)),
//   k > 1:  -s·2(r + δ)(r - δ)·RJ(x_e, y_e, 1, 1 + (r - δ)²/(4δr))/(9·4δr),
// smooth through r = δ, where it is 0.  Outside the band the two forms agree to the rounding
// of the first, at most about 1e-12 at its edge.
constexpr long double kNearCentre = 0x1p-24L;

long double ThirdKindNearCentre(const LinearTermParts& e) {
    const long double a = e.rmindeltaq;
    if (e.k < 1.0L) {
        const long double sqq2 = 1 - a;
        return -2 * e.rplusdelta * e.rmindelta * RJ(e.xe, e.ye, 1.0L, 1 / sqq2) / (9 * sqq2);
    }
    return -e.s * 2 * e.rplusdelta * e.rmindelta * RJ(e.xe, e.ye, 1.0L, 1 + a / e.rdelta4) /
           (9 * e.rdelta4);
}

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
//
// `e` holds the elliptic parts, or is null outside |r - δ| < 1, where only the step term is left.
long double L1Of(const LinearTermParts* e, long double delta, long double r) {
    long double result = 0.0L;
    bool near_centre = false;
    if (e) {
        if (e->k == 1.0L) {
            return 2 * atan2l(e->sqq, delta - r) / 3 +
                   e->Et * 2 * (7 * (r * r) + delta * delta - 4) * e->sqq / 9;
        }
        long double P = 0.0L;
        near_centre = r != delta && std::fabs(e->rmindelta) <= kNearCentre;
        if (near_centre) {
            P = ThirdKindNearCentre(*e);
        } else if (r != delta) {  // exact on purpose: at r = δ the step supplies half the jump
            const long double n = -e->rdelta4 / e->rmindeltaq;
            const long double Pt =
                e->Kt + (e->s * e->c * n / 3) * RJ(e->xe, e->ye, 1.0L, 1 - e->c * n);
            P = Pt * 2 * e->rplusdelta / (-3 * e->rmindelta);
        }
        const long double F = e->Kt * 2 *
                              ((1 - e->rmindeltaq) * (e->rplusdelta * e->rplusdelta - 1) -
                               3 * e->rmindelta * e->rplusdelta) /
                              9;
        result = (P - F) / e->sqq;
        result += e->Et * 2 * (7 * (r * r) + delta * delta - 4) * e->sqq / 9;
    }
    if (near_centre) {
        result += kPiOver3;  // the step and the jump of P, joined
    } else if (r > delta) {
        result += kTwoPiOver3;
    } else if (r == delta) {
        result += kPiOver3;
    }
    return result;
}

// On the contact line the first-kind part carries the factor (r + δ)² - 1 = 0 against a
// logarithmic K̃ and drops out; Ẽ = 1.
long double D1L1Of(const LinearTermParts& e, long double delta, long double r) {
    const long double first_kind =
        e.k == 1.0L ? 0.0L : 2 * (e.rplusdelta * e.rplusdelta - 1) * e.Kt;
    return -(e.sqq / (3 * delta)) * (first_kind + 2 * (1 - r * r - delta * delta) * e.Et);
}

// r times the integral of μ along the planet's rim; on the contact line Ẽ = 1.
long double D2L1Of(const LinearTermParts& e, long double r) { return 4 * r * e.sqq * e.Et; }

}  // namespace

long double L1(long double delta, long double r) {
    if (delta == 0.5L && r == 0.5L) return kL1HalfHalf;
    if (!LinearTermHasEllipticPart(delta, r)) return L1Of(nullptr, delta, r);
    const LinearTermParts e = LinearTermElliptic(delta, r);
    return L1Of(&e, delta, r);
}

long double D1L1(long double delta, long double r) {
    if (!LinearTermHasEllipticPart(delta, r) || delta == 0.0L) return 0.0L;
    const LinearTermParts e = LinearTermElliptic(delta, r);
    return D1L1Of(e, delta, r);
}

long double D2L1(long double delta, long double r) {
    if (!LinearTermHasEllipticPart(delta, r)) return 0.0L;
    const LinearTermParts e = LinearTermElliptic(delta, r);
    return D2L1Of(e, r);
}

long double L2(long double delta, long double r) {
    if (r <= 0.0L || delta < 0.0L) return 0.0L;
    return L2Of(OccultAngles(delta, r), delta, r);
}

long double D1L2(long double delta, long double r) {
    if (r <= 0.0L || delta <= 0.0L) return 0.0L;
    return D1L2Of(OccultPsi2(delta, r), OccultRoot(delta, r), delta, r);
}

long double D2L2(long double delta, long double r) {
    if (r <= 0.0L || delta < 0.0L) return 0.0L;
    return D2L2Of(OccultPsi2(delta, r), OccultRoot(delta, r), delta, r);
}

// =============================================================================================
// Occultation of the square-root intensity term (Gaussian quadrature along the planet's limb)
// =============================================================================================

// The √μ term has no closed form. The radial field (2/5)·(1 − μ^(5/2))/ρ has divergence √μ, so by
// the divergence theorem the hidden flux is a line integral along the part of the planet's limb
// inside the star (the μ^(5/2) part vanishes on the stellar limb) plus 2/5 of the angle through
// which the boundary of the hidden region winds about the stellar centre.
//
// The limb is parametrised by θ ∈ [0, π/2], half the angle at the planet's centre from the limb
// point nearest the stellar centre; with n = (δ − p)², D = 4δp and K = 1 − n a limb point has
// ρ² = n + D·sin²θ and μ² = K − D·sin²θ. The integrand is even in θ, so both halves of the limb
// are one integral over [0, π/2]. Panels at most 1/2 wide are graded so that μ² (and for L3 also
// ρ²) changes at most by a factor 2 across each, which keeps a 16-point rule at full precision;
// where the planet's limb meets the stellar limb the integrand behaves like a fractional power
// of the distance to the end point, and an end panel with a Gauss-Jacobi rule absorbs it.
//
// The rules live on [0, 1] with ascending nodes and approximate ∫₀¹ f(x)·w(x) dx for w = 1,
// (1 − x)^(1/4) and (1 − x)^(1/2). They are the exact Gauss rules rounded to long double, printed
// by tools/gen_quadrature from 113-bit arithmetic; regenerate rather than edit.

// clang-format off
// BEGIN generated by tools/gen_quadrature
const long double nodes_Legendre[16] = {
    0.005299532504175033701922913L,
    0.02771248846338371196100579L,
    0.06718439880608412805976605L,
    0.1222977958224984830524494L,
    0.1910618777986781257766641L,
    0.2709916111713863068287903L,
    0.3591982246103705433847697L,
    0.4524937450811812799073403L,
    0.5475062549188187200926597L,
    0.6408017753896294566152303L,
    0.7290083888286136931712097L,
    0.8089381222013218742233359L,
    0.8777022041775015169475506L,
    0.9328156011939158719402339L,
    0.9722875115366162880389942L,
    0.9947004674958249662980771L,
};
const long double weights_Legendre[16] = {
    0.01357622970587704742589029L,
    0.03112676196932394643142192L,
    0.04757925584124639240496255L,
    0.06231448562776693602623814L,
    0.07479799440828836604075087L,
    0.08457825969750126909465604L,
    0.09130170752246179443338183L,
    0.09472530522753424814269836L,
    0.09472530522753424814269836L,
    0.09130170752246179443338183L,
    0.08457825969750126909465604L,
    0.07479799440828836604075087L,
    0.06231448562776693602623814L,
    0.04757925584124639240496255L,
    0.03112676196932394643142192L,
    0.01357622970587704742589029L,
};
const long double nodes_Jacobi1d4[16] = {
    0.005220597121045183776805682L,
    0.0273028141517933072009307L,
    0.06620477820594136147849366L,
    0.120550483759094028960794L,
    0.1884061958266336525454656L,
    0.2673563382504704940464555L,
    0.3545901630094220225037819L,
    0.4470019468213368174639239L,
    0.5413015980172135380902477L,
    0.6341318056643010813604913L,
    0.7221875765815941408672945L,
    0.8023339115644340545112733L,
    0.871717442207175460678442L,
    0.9278680954413566444791746L,
    0.9687874184780568367547717L,
    0.9930233310241623830335919L,
};
const long double weights_Jacobi1d4[16] = {
    0.01335688039357600065387367L,
    0.03045942620818817076712619L,
    0.04610578954300348073607422L,
    0.05952319370091055958378253L,
    0.07008671418938359416131234L,
    0.07733392542300689473369362L,
    0.08099034727613343736771971L,
    0.08098593248304235748796859L,
    0.0774609230717635604433599L,
    0.07076097928449914843708814L,
    0.06142244425809798232990619L,
    0.05014973936978049599032064L,
    0.03778864940515220712408261L,
    0.02530304313371431605175606L,
    0.01377420611078926846366701L,
    0.004497806148958525668268581L,
};
const long double nodes_Jacobi1d2[16] = {
    0.005143979307365324606437523L,
    0.02690510018677571783606999L,
    0.06525346129857608643531208L,
    0.11885287482812503397938L,
    0.18582445064904253619059L,
    0.2638194359139448613803849L,
    0.350102255326483695991651L,
    0.4416465851757408753981897L,
    0.5352415347558130192421006L,
    0.6276042793481131764348338L,
    0.7154952094720109951753155L,
    0.7958315618908860079348668L,
    0.8657955482325906865420419L,
    0.9229331891781754657211084L,
    0.9652403878525268603220249L,
    0.991233223506906579886616L,
};
const long double weights_Jacobi1d2[16] = {
    0.0131444910964792960369054L,
    0.0298189391973945911494148L,
    0.04470995161851547169106731L,
    0.05692273630179442456138513L,
    0.0657878942166750065549975L,
    0.0708908649354989731086618L,
    0.07210075624209733409932637L,
    0.06957807457298162045398728L,
    0.06375981677455903767721436L,
    0.0553230001490637034409687L,
    0.04512949546449740226070658L,
    0.03415651241550405980903699L,
    0.02341821721506450017000739L,
    0.01388465853311770286803064L,
    0.006404388090401379034755412L,
    0.001636869843022163750201027L,
};
// END
// clang-format on

namespace {

// J2 = ∫₀^(π/2) √(cos θ) dθ = √π·Γ(3/4)/(2·Γ(5/4)), and J1 = ∫₀^(π/2) cos 2θ·√(cos θ) dθ = J2/5,
// each rounded once from the exact value.
constexpr long double kJ2 = 1.198140234735592207439922L;
constexpr long double kJ1 = 0.2396280469471184414879845L;

constexpr int kNodes = 16;
constexpr long double kMaxPanel = 0.5L;  // widest panel of the graded sweep, in θ

// A sweep's panels are at most ½ wide (four cover [0, π/2]), or μ² doubles across them (from
// the first node past a crossing, where μ² is at least about D·2^-62, up to K: some 66 panels),
// or ρ² halves (from n + D down to n, |δ − p| being at least an ulp: log2(1 + D/n) ≤ 130
// panels). The worst sweeps met take 148 panels (δ and p an ulp apart) and 64 (δ + p an ulp
// from 1). The cap makes the bound hold whatever the rounding: a sweep that reaches it gives
// its last panel a NaN lower end, which ends the loop and carries into the result.
constexpr int kMaxSweepPanels = 1024;

// Fourth root as the square root of a square root.
long double QuarterRoot(long double x) { return sqrtl(sqrtl(x)); }

long double Max(long double a, long double b) { return a > b ? a : b; }

// Geometry of the limb for given δ and p: n = (δ − p)², D = 4δp, K = 1 − n.
struct Limb {
    long double delta, r, n, D, K;
};

Limb MakeLimb(long double delta, long double r) {
    const long double n = (delta - r) * (delta - r);
    return {delta, r, n, 4 * delta * r, 1 - n};
}

// Graded sweep of L3 from the lower end X1 down to θ = 0: calls panel(X1, X0) for each panel in
// order. Going down, μ² may grow and ρ² shrink at most by a factor 2 across a panel; the second
// bound grades the panels towards θ = 0 when δ and p are close and 1/ρ² is nearly singular (for
// n = 0 the integrand stays finite and needs no grading). The bounds may all lie below 0, and the
// integrand is even in θ: a panel reaching below 0 would count part of the limb twice, so the
// lower end is clamped at 0.
template <class Panel>
void SweepL3(const Limb& g, long double X1, Panel&& panel) {
    for (int panels = 1; X1 > 0; ++panels) {
        const long double X0 = X1;
        X1 = Max(X0 - kMaxPanel, 0.0L);
        const long double s = sinl(X0);
        const long double T = g.D * (s * s);  // ρ²(X0) = n + T
        if (2 * T - g.K > 0) X1 = Max(X1, asinl(sqrtl((2 * T - g.K) / g.D)));
        if (g.n > 0 && T - g.n > 0) X1 = Max(X1, asinl(sqrtl((T - g.n) / (2 * g.D))));
        if (panels == kMaxSweepPanels) X1 = std::numeric_limits<long double>::quiet_NaN();
        panel(X1, X0);
    }
}

// θh, the limb point where μ² = ρ² = 1/2, or 0 when there is none: an end panel stops there.
long double ThetaH(const Limb& g) {
    return g.K - g.n > 0 ? asinl(sqrtl((g.K - g.n) / (2 * g.D))) : 0.0L;
}

// Node i of a Gauss-Legendre panel: θi, and wi·g(θi) from s = sin θi, with
// g(θ) = (δ − p − 2δ·sin²θ)·μ²·(μ²)^(1/4)/ρ².
long double LegendreNode(long double X1, long double X0, int i) {
    return X1 + (X0 - X1) * nodes_Legendre[i];
}
long double L3SweepTerm(const Limb& g, int i, long double s) {
    const long double sin2 = s * s;
    const long double mu2 = g.K - g.D * sin2;
    const long double rho2 = g.n + g.D * sin2;
    const long double value = (g.delta - g.r - 2 * g.delta * sin2) * mu2 * QuarterRoot(mu2) / rho2;
    return weights_Legendre[i] * value;
}

// Σ wi·g(θi) over the Gauss-Legendre nodes of [X1, X0].
long double L3SweepSum(const Limb& g, long double X1, long double X0) {
    long double sum = 0;
    for (int i = 0; i < kNodes; ++i) sum = sum + L3SweepTerm(g, i, sinl(LegendreNode(X1, X0, i)));
    return sum;
}

// End panel [X1, X0] of a limb crossing the stellar limb at X0: μ² vanishes linearly there, and
// the (1 − x)^(1/4) rule takes the fourth root of the distance to X0 as its weight.
long double JacobiNode(long double X1, long double X0, int i) {
    return X1 + (X0 - X1) * nodes_Jacobi1d4[i];
}
long double L3CrossingTerm(const Limb& g, int i, long double s) {
    const long double sin2 = s * s;
    const long double mu2 = g.K - g.D * sin2;
    const long double rho2 = g.n + g.D * sin2;
    return weights_Jacobi1d4[i] * (g.delta - g.r - 2 * g.delta * sin2) * mu2 *
           QuarterRoot(mu2 / (1 - nodes_Jacobi1d4[i])) / rho2;
}
long double L3CrossingSum(const Limb& g, long double X1, long double X0) {
    long double sum = 0;
    for (int i = 0; i < kNodes; ++i) sum = sum + L3CrossingTerm(g, i, sinl(JacobiNode(X1, X0, i)));
    return sum;
}

// End panel [X1, π/2] of a limb touching the stellar limb from inside: there μ² = D·cos²θ
// vanishes quadratically, μ²·(μ²)^(1/4) = D^(5/4)·cos²θ·√(cos θ), and the (1 − x)^(1/2) rule
// takes the square root of the distance to π/2 as its weight.
long double L3TouchingSum(const Limb& g, long double X1, long double X0) {
    const long double D54 = g.D * QuarterRoot(g.D);
    long double sum = 0;
    for (int i = 0; i < kNodes; ++i) {
        const long double x = nodes_Jacobi1d2[i];
        const long double theta = X1 + (X0 - X1) * x;
        long double s, c;
        sincosl(theta, &s, &c);
        const long double sin2 = s * s;
        const long double rho2 = g.n + g.D * sin2;
        sum = sum + weights_Jacobi1d2[i] * (g.delta - g.r - 2 * g.delta * sin2) * D54 * (c * c) *
                        sqrtl(c / (1 - x)) / rho2;
    }
    return sum;
}

// Graded sweep of D1L3 and D2L3 from X1 down to θ = 0, with κ = K/D: μ² = D·(κ − sin²θ) grows at
// most by a factor 2 across a panel. These integrands have no 1/ρ², so there is no ρ² bound.
// The lower end is clamped at 0 as in SweepL3.
template <class Panel>
void SweepLimb(long double kappa, long double X1, Panel&& panel) {
    for (int panels = 1; X1 > 0; ++panels) {
        const long double X0 = X1;
        X1 = Max(X0 - kMaxPanel, 0.0L);
        const long double s = sinl(X0);
        if (2 * (s * s) - kappa > 0) X1 = Max(X1, asinl(sqrtl(2 * (s * s) - kappa)));
        if (panels == kMaxSweepPanels) X1 = std::numeric_limits<long double>::quiet_NaN();
        panel(X1, X0);
    }
}

// End panel of D1L3 and D2L3 for κ < 1: from the crossing point X0 = asin(√κ) down by at most
// 1/2 and at most as far as 2·X0 − π/2.
void LimbEndPanel(long double kappa, long double* X1, long double* X0) {
    *X0 = asinl(sqrtl(kappa));
    *X1 = Max(Max(2 * *X0 - kPi / 2, *X0 - kMaxPanel), 0.0L);
}

// Σ wi·c(θi)·((κ − sin²θi)/(1 − xi))^(1/4) over the (1 − x)^(1/4) rule on [X1, X0], with
// c = cos 2θ for D1L3 (with_cos2) and c = 1 for D2L3.
long double LimbEndRoot(long double kappa, int i, long double s) {
    return QuarterRoot((kappa - s * s) / (1 - nodes_Jacobi1d4[i]));
}
long double LimbEndSum(long double kappa, long double X1, long double X0, bool with_cos2) {
    long double sum = 0;
    for (int i = 0; i < kNodes; ++i) {
        const long double theta = JacobiNode(X1, X0, i);
        const long double root = LimbEndRoot(kappa, i, sinl(theta));
        sum = sum + (with_cos2 ? weights_Jacobi1d4[i] * cosl(2 * theta) * root
                               : weights_Jacobi1d4[i] * root);
    }
    return sum;
}

// Σ wi·cos 2θi·(κ − sin²θi)^(1/4) over the Gauss-Legendre nodes of [X1, X0]. For κ > 1.5 the
// planet is well inside the disc, the sweep covers all of [0, π/2], and the integral is a small
// difference of large parts; there each summand takes the antisymmetric form
// (1/2)·cos 2θ·[(κ − sin²θ)^(1/4) − (κ − cos²θ)^(1/4)], which has the same integral over
// [0, π/2], written without cancellation with c = κ − 1/2, d = (cos 2θ)/2 (κ − sin²θ = c + d).
bool D1L3Antisymmetric(long double kappa) { return kappa > 1.5L; }
long double D1L3AntisymmetricValue(long double kappa, long double cos2) {
    const long double c = kappa - 0.5L;
    const long double d = cos2 / 2;
    const long double root_plus = sqrtl(c + d), root_minus = sqrtl(c - d);
    return d * cos2 / ((root_plus + root_minus) * (sqrtl(root_plus) + sqrtl(root_minus)));
}
long double D1L3SweepSum(long double kappa, long double X1, long double X0) {
    const bool antisymmetric = D1L3Antisymmetric(kappa);
    long double sum = 0;
    for (int i = 0; i < kNodes; ++i) {
        const long double theta = LegendreNode(X1, X0, i);
        const long double cos2 = cosl(2 * theta);
        long double value;
        if (antisymmetric) {
            value = D1L3AntisymmetricValue(kappa, cos2);
        } else {
            const long double s = sinl(theta);
            value = cos2 * QuarterRoot(kappa - s * s);
        }
        sum = sum + weights_Legendre[i] * value;
    }
    return sum;
}

// Σ wi·(κ − sin²θi)^(1/4) over the Gauss-Legendre nodes of [X1, X0].
long double D2L3SweepSum(long double kappa, long double X1, long double X0) {
    long double sum = 0;
    for (int i = 0; i < kNodes; ++i) {
        const long double s = sinl(LegendreNode(X1, X0, i));
        sum = sum + weights_Legendre[i] * QuarterRoot(kappa - s * s);
    }
    return sum;
}

}  // namespace

// Hidden flux of the √μ term: 1.6·p times the limb integral (both halves, arc element 2p·dθ,
// (2/5)·2·2 = 1.6), plus 2/5 of the winding angle about the stellar centre.
long double L3(long double delta, long double r) {
    if (delta - r >= 1) return 0;  // no overlap
    if (r <= 0 || delta < 0) return 0;
    if (r - delta >= 1) return kFourPiOver5;  // the whole disc is hidden
    const Limb g = MakeLimb(delta, r);
    if (g.K <= 0) return 0;  // only rounding gets here

    long double S = 0;
    long double X1 = kPi / 2;  // inside (K > D): the sweep starts at π/2
    if (g.D > g.K) {           // crossing at θc = asin(√(K/D))
        const long double X0 = asinl(sqrtl(g.K / g.D));
        X1 = Max(Max(Max(2 * X0 - kPi / 2, X0 - kMaxPanel), 0.0L), ThetaH(g));
        S = (X0 - X1) * L3CrossingSum(g, X1, X0);
    } else if (g.K == g.D) {  // exact on purpose: touching from inside, δ + p = 1
        const long double X0 = kPi / 2;
        X1 = Max(Max(kPi / 2 - kMaxPanel, 0.0L), ThetaH(g));
        S = (X0 - X1) * L3TouchingSum(g, X1, X0);
    }
    SweepL3(g, X1,
            [&](long double lo, long double hi) { S = S + (hi - lo) * L3SweepSum(g, lo, hi); });

    long double result = 1.6L * r * S;
    if (r > delta) result = result + kFourPiOver5;  // the stellar centre is covered
    if (delta == r) result = result + kTwoPiOver5;  // exact on purpose: centre on the limb
    return result;
}

// ∂L3/∂δ = −4p·∫ √μ·cos 2θ dθ over the part of the limb inside the star, with
// √μ = D^(1/4)·(κ − sin²θ)^(1/4) and κ = K/D.
long double D1L3(long double delta, long double r) {
    if (delta - r >= 1) return 0;  // the guards of L3
    if (r <= 0 || delta < 0) return 0;
    if (r - delta >= 1) return 0;
    const Limb g = MakeLimb(delta, r);
    const long double kappa = g.K / g.D;
    if (kappa <= 0) return 0;
    if (kappa == 1) return -4 * r * QuarterRoot(g.D) * kJ1;  // exact on purpose: touching

    long double S = 0;
    long double X1 = kPi / 2;
    if (kappa < 1) {
        long double X0;
        LimbEndPanel(kappa, &X1, &X0);
        S = (X0 - X1) * LimbEndSum(kappa, X1, X0, true);
    }
    SweepLimb(kappa, X1, [&](long double lo, long double hi) {
        S = S + (hi - lo) * D1L3SweepSum(kappa, lo, hi);
    });
    return -4 * r * QuarterRoot(g.D) * S;
}

// ∂L3/∂p = 4p·∫ √μ dθ over the part of the limb inside the star.
long double D2L3(long double delta, long double r) {
    if (delta - r >= 1) return 0;  // the guards of L3
    if (r <= 0 || delta < 0) return 0;
    if (r - delta >= 1) return 0;
    const Limb g = MakeLimb(delta, r);
    // Exact on purpose: at δ = 0, κ is infinite and D^(1/4) is 0; the limb is the circle
    // ρ = p, where √μ = (1 − p²)^(1/4) all along.
    if (delta == 0) return 2 * kPi * r * QuarterRoot(g.K);
    const long double kappa = g.K / g.D;
    if (kappa <= 0) return 0;
    if (kappa == 1) return 4 * r * QuarterRoot(g.D) * kJ2;  // exact on purpose: touching

    long double S = 0;
    long double X1 = kPi / 2;
    if (kappa < 1) {
        long double X0;
        LimbEndPanel(kappa, &X1, &X0);
        S = (X0 - X1) * LimbEndSum(kappa, X1, X0, false);
    }
    SweepLimb(kappa, X1, [&](long double lo, long double hi) {
        S = S + (hi - lo) * D2L3SweepSum(kappa, lo, hi);
    });
    return 4 * r * QuarterRoot(g.D) * S;
}

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

// =============================================================================================
// Per-point sets: each occultation term with its two partial derivatives, work done once
// =============================================================================================

// The design set needs, at every point, a term's value and both partial derivatives at the same
// (δ, r). Evaluated separately they repeat their common work: the angles ψ1, ψ2 and the root Q
// (uniform and quadratic terms), RF and RD (linear term, three times each), the panels, nodes
// and sines of the limb integrals (square-root term). Here that work is done once per point;
// every operation that reaches a result is the one the separate function performs, in the
// same order, so each set equals its three separate functions bit for bit.

void L0L2Set(long double delta, long double r, OccultTerm* l0, OccultTerm* l2) {
    if (r <= 0.0L || delta < 0.0L) {
        *l0 = {0.0L, 0.0L, 0.0L};
        if (l2) *l2 = {0.0L, 0.0L, 0.0L};
        return;
    }
    const OccultGeometry g = OccultAngles(delta, r);
    const bool centred = delta <= 0.0L;  // the δ-derivatives are 0 at δ = 0
    *l0 = {L0Of(g, r), centred ? 0.0L : D1L0Of(g.Q, delta), D2L0Of(g.psi2, r)};
    if (l2) {
        *l2 = {L2Of(g, delta, r), centred ? 0.0L : D1L2Of(g.psi2, g.Q, delta, r),
               D2L2Of(g.psi2, g.Q, delta, r)};
    }
}

OccultTerm L1Set(long double delta, long double r) {
    if (!LinearTermHasEllipticPart(delta, r)) return {L1(delta, r), 0.0L, 0.0L};
    const LinearTermParts e = LinearTermElliptic(delta, r);
    return {delta == 0.5L && r == 0.5L ? kL1HalfHalf : L1Of(&e, delta, r),
            delta == 0.0L ? 0.0L : D1L1Of(e, delta, r), D2L1Of(e, r)};
}

namespace {

// The sines at the nodes of one panel of the L3 sweep (or of its Jacobi end panel), kept so that
// the derivative sweeps can reuse them where their panel is the same to the last bit. Panels of
// the two schemes coincide wherever neither the ρ² bound of L3 nor a μ² bound cuts them, which
// is most of the limb of a planet away from the stellar centre.
struct NodeSines {
    long double lo, hi;
    bool jacobi;
    long double s[kNodes];
};

constexpr int kKeptPanels = 24;  // the graded sweeps need more only very close to δ = p

class PanelSines {
   public:
    // Sines of the panel [lo, hi], computed and kept.
    const long double* Make(long double lo, long double hi, bool jacobi) {
        NodeSines* p = count_ < kKeptPanels ? &kept_[count_++] : &spare_;
        p->lo = lo;
        p->hi = hi;
        p->jacobi = jacobi;
        for (int i = 0; i < kNodes; ++i)
            p->s[i] = sinl(jacobi ? JacobiNode(lo, hi, i) : LegendreNode(lo, hi, i));
        return p->s;
    }
    // Kept sines of [lo, hi], or null.
    const long double* Find(long double lo, long double hi, bool jacobi) const {
        for (int k = 0; k < count_; ++k)
            if (kept_[k].lo == lo && kept_[k].hi == hi && kept_[k].jacobi == jacobi)
                return kept_[k].s;
        return nullptr;
    }

   private:
    NodeSines kept_[kKeptPanels];
    NodeSines spare_;
    int count_ = 0;
};

// L3 as the separate function computes it, on a limb that crosses the stellar limb or lies
// inside the disc (not touching), keeping the sines of its panels.
long double L3Kept(const Limb& g, PanelSines* sines) {
    long double S = 0;
    long double X1 = kPi / 2;
    if (g.D > g.K) {
        const long double X0 = asinl(sqrtl(g.K / g.D));
        X1 = Max(Max(Max(2 * X0 - kPi / 2, X0 - kMaxPanel), 0.0L), ThetaH(g));
        const long double* s = sines->Make(X1, X0, true);
        long double sum = 0;
        for (int i = 0; i < kNodes; ++i) sum = sum + L3CrossingTerm(g, i, s[i]);
        S = (X0 - X1) * sum;
    }
    SweepL3(g, X1, [&](long double lo, long double hi) {
        const long double* s = sines->Make(lo, hi, false);
        long double sum = 0;
        for (int i = 0; i < kNodes; ++i) sum = sum + L3SweepTerm(g, i, s[i]);
        S = S + (hi - lo) * sum;
    });
    long double result = 1.6L * g.r * S;
    if (g.r > g.delta) result = result + kFourPiOver5;
    if (g.delta == g.r) result = result + kTwoPiOver5;  // exact on purpose, as in L3
    return result;
}

// The limb integrals S1 of D1L3 and S2 of D2L3 over the panels they share, with the sines kept
// by L3 where its panel is the same.
void D1D2L3Kept(long double kappa, const PanelSines& sines, long double* S1, long double* S2) {
    long double X1 = kPi / 2;
    *S1 = 0;
    *S2 = 0;
    if (kappa < 1) {
        long double X0;
        LimbEndPanel(kappa, &X1, &X0);
        const long double* kept = sines.Find(X1, X0, true);
        long double sum1 = 0, sum2 = 0;
        for (int i = 0; i < kNodes; ++i) {
            const long double theta = JacobiNode(X1, X0, i);
            const long double root = LimbEndRoot(kappa, i, kept ? kept[i] : sinl(theta));
            sum1 = sum1 + weights_Jacobi1d4[i] * cosl(2 * theta) * root;
            sum2 = sum2 + weights_Jacobi1d4[i] * root;
        }
        *S1 = (X0 - X1) * sum1;
        *S2 = (X0 - X1) * sum2;
    }
    const bool antisymmetric = D1L3Antisymmetric(kappa);
    SweepLimb(kappa, X1, [&](long double lo, long double hi) {
        const long double* kept = sines.Find(lo, hi, false);
        long double sum1 = 0, sum2 = 0;
        for (int i = 0; i < kNodes; ++i) {
            const long double theta = LegendreNode(lo, hi, i);
            const long double cos2 = cosl(2 * theta);
            const long double s = kept ? kept[i] : sinl(theta);
            const long double root = QuarterRoot(kappa - s * s);
            const long double value1 =
                antisymmetric ? D1L3AntisymmetricValue(kappa, cos2) : cos2 * root;
            sum1 = sum1 + weights_Legendre[i] * value1;
            sum2 = sum2 + weights_Legendre[i] * root;
        }
        *S1 = *S1 + (hi - lo) * sum1;
        *S2 = *S2 + (hi - lo) * sum2;
    });
}

}  // namespace

OccultTerm L3Set(long double delta, long double r) {
    if (delta - r >= 1) return {0, 0, 0};  // the guards of L3, D1L3 and D2L3
    if (r <= 0 || delta < 0) return {0, 0, 0};
    if (r - delta >= 1) return {kFourPiOver5, 0, 0};
    const Limb g = MakeLimb(delta, r);
    const long double kappa = g.K / g.D;
    // The closed forms at δ = 0 and on contact, and rounding's K ≤ 0, take the separate paths.
    if (delta == 0 || !(g.K > 0) || g.K == g.D || !(kappa > 0) || kappa == 1)
        return {L3(delta, r), D1L3(delta, r), D2L3(delta, r)};
    PanelSines sines;
    const long double value = L3Kept(g, &sines);
    long double S1, S2;
    D1D2L3Kept(kappa, sines, &S1, &S2);
    return {value, -4 * r * QuarterRoot(g.D) * S1, 4 * r * QuarterRoot(g.D) * S2};
}
