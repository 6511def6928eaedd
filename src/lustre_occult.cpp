// The hidden flux of the uniform, linear and quadratic intensity terms in closed form, with
// their partial derivatives, separately and as per-point sets.
#include <cmath>
#include <cstring>
#include <limits>

#include "constants.h"
#include "lustre.h"

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
