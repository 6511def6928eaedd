// The design set: the model and its derivatives at every point, instantaneous or integrated
// over each exposure, with the double-precision screen for points out of transit.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <vector>

#include "constants.h"
#include "lustre.h"
#include "optimize.h"
#include "optimize_sums.h"

namespace {

using detail::EvalEccentricity;
using detail::kRsunFloor;

long double EvalRsun(long double rsun) { return rsun < kRsunFloor ? kRsunFloor : rsun; }

// Model evaluations of the exposures that touch a transit, summed over the threads.
struct ExposureTally {
    std::atomic<std::int64_t> exposures{0}, evaluations{0};
    std::atomic<int> most{0};
    void Add(int n) {
        if (n == 0) return;
        ++exposures;
        evaluations += n;
        int m = most.load();
        while (n > m && !most.compare_exchange_weak(m, n)) {
        }
    }
};

// Per call: the parameters as the model sees them, the counts, and the screen for points out
// of transit.
class DesignSet {
   public:
    DesignSet(long double period, const long double* params, int parflag, int ldflag,
              long double epoch)
        : fc_(count_fit_period(parflag, ldflag)),
          parflag_(parflag),
          ldflag_(ldflag),
          period_(period),
          phi0_(params[0]),
          e_(EvalEccentricity(params[1])),
          omega_(params[2]),
          ci_(params[3]),
          R_(EvalRsun(params[4])),
          Rp_(params[5]),
          rprs_(Rp_ / R_),
          rq_(R_ * R_) {
        if (parflag & kFitPeriod) {
            // T_n and the slope of M by it; M = 2π(t - T_n)/P + M_min + 2πn.
            const long double mmin = phmin_ci(e_, omega_, ci_);
            mref_ = mmin + kTwoPi * epoch;
            dMdT_ = -kTwoPi / period_;
        }
        SetUpScreen();
    }

    // Point i's block of the design array.
    void Point(const long double* data, std::int64_t i, long double* lset) const {
        long double* block = lset + i * fc_.len;
        const long double t = data[3 * i];
        const long double tp = t / period_;
        const long double M = (tp + tp) * kPi - phi0_;
        if (screen_ && CertainlyOutOfTransit(M)) {
            // What the full evaluation stores for an unocculted star: every term and every
            // derivative 0 except the uniform term's value 1.
            for (int k = 0; k < fc_.len; ++k) block[k] = 0.0L;
            if (fc_.len > 0) block[0] = 1.0L;
            return;
        }
        Evaluate(M, block);
    }

    // Point i's block as the mean over an exposure of the mean-anomaly length 2·half.
    void ExposedPoint(const long double* data, std::int64_t i, long double* lset) const;

    void SetExposure(long double exposure);
    void SetTally(ExposureTally* tally) { tally_ = tally; }

   private:
    // The separation and its four derivatives (as DeltaEccentric_omega_ci_d gives them), and
    // whether the planet is in front of the star.
    struct Orbit {
        long double dl, ddlf, ddle, ddlw, ddli;
        int isoverlap;
    };
    void Evaluate(long double M, long double* block) const;
    void FromOrbit(long double M, Orbit o, long double* block) const;
    Orbit NodeOrbit(long double m) const;
    int TimeRow(long double M, long double m, long double* block) const;
    void SetUpScreen();
    bool CertainlyOutOfTransit(long double M, double margin = 0.0) const;
    long double Separation(long double M) const;
    long double Crossing(long double level, long double side) const;
    void Integrate(long double M, long double m, long double a, long double b, bool at_a, bool at_b,
                   int n, long double sign, long double* acc) const;
    void Piece(long double M, long double m, long double a, long double b, bool at_a, bool at_b,
               bool in_transit, long double gap, long double sign, long double* acc,
               int* evaluations) const;

    FitCounts fc_;
    int parflag_, ldflag_;
    long double period_, phi0_, e_, omega_, ci_, R_, Rp_, rprs_, rq_;
    long double mref_ = 0, dMdT_ = 0;  // with the period fitted: M at T_n, and ∂M/∂T_n

    // The screen, in double precision.
    bool screen_ = false;
    double e_d_ = 0, w_d_ = 0, cw_ = 0, sw_ = 0, ci_d_ = 0, contact_ = 0, inv_1me_ = 0,
           omega_slack_ = 0;

    // The exposure: its half length in mean anomaly, and the contacts of the transit as offsets
    // in mean anomaly from the smallest separation in front of the star, ascending.
    long double half_ = 0.0L, mid_ = 0.0L;
    bool transit_ = true;
    int contacts_ = 0;
    long double contact_at_[4] = {};
    long double scale_ = 0.0L;                               // the shortest ingress or egress
    long double cw_l_ = 0.0L, sw_l_ = 0.0L, w_l_ = 0.0L;     // cos ω, sin ω, √(1 - e²)
    long double Emid_ = 0.0L, sEmid_ = 0.0L, cEmid_ = 1.0L;  // E at mid-transit, its sine, cosine
    ExposureTally* tally_ = nullptr;
};

void DesignSet::Evaluate(long double M, long double* block) const {
    Orbit o;
    o.isoverlap =
        DeltaEccentric_omega_ci_d(M, e_, omega_, ci_, &o.dl, &o.ddlf, &o.ddle, &o.ddlw, &o.ddli);
    FromOrbit(M, o, block);
}

// The block of the orbit `o` at mean anomaly M (M for the period row alone).
void DesignSet::FromOrbit(long double M, Orbit o, long double* block) const {
    long double dl = o.dl, ddli = o.ddli;
    const long double ddlf = o.ddlf, ddle = o.ddle, ddlw = o.ddlw;
    const int isoverlap = o.isoverlap;
    if (!isoverlap) dl = R_ + Rp_ + 1.0L;  // behind the star: beyond any contact
    // Where the orbit passes exactly through the line of sight (S = 0), δ grows like
    // √(cos² i) and its slope by cos² i is infinite; every basis term is flat in x there
    // (and beyond contact), so the product is 0, not 0·∞.
    if (std::isinf(ddli)) ddli = 0.0L;
    const long double x = dl / R_;

    // Basis values and their derivatives by x and by ρ, in basis order; a mask with bits
    // beyond the four terms gets zero columns for them.
    long double LMatr[6] = {}, D1LMatr[6] = {}, D2LMatr[6] = {};
    OccultTerm l0, l1 = {0, 0, 0}, l2, l3;
    L0L2Set(x, rprs_, &l0, (ldflag_ & kQuadBit) ? &l2 : nullptr);
    LMatr[0] = 1.0L - l0.value / kPi;
    D1LMatr[0] = -l0.d1 / kPi;
    D2LMatr[0] = -l0.d2 / kPi;
    int k = 1;  // next basis index
    if (ldflag_ & (kLinBit | kQuadBit)) l1 = L1Set(x, rprs_);
    if (ldflag_ & kLinBit) {  // (1 - μ) - 1/3
        LMatr[k] = (l0.value + l0.value) / 3.0L - l1.value;
        D1LMatr[k] = (l0.d1 + l0.d1) / 3.0L - l1.d1;
        D2LMatr[k] = (l0.d2 + l0.d2) / 3.0L - l1.d2;
        ++k;
    }
    if (ldflag_ & kQuadBit) {  // (1 - μ)² - 1/6 = 5/6 - 2μ + μ², with μ² = 1 - ρ²
        LMatr[k] = 11.0L * l0.value / 6.0L - (l1.value + l1.value) - l2.value;
        D1LMatr[k] = 11.0L * l0.d1 / 6.0L - (l1.d1 + l1.d1) - l2.d1;
        D2LMatr[k] = 11.0L * l0.d2 / 6.0L - (l1.d2 + l1.d2) - l2.d2;
        ++k;
    }
    if (ldflag_ & kSqrtBit) {  // (1 - √μ) - 1/5
        l3 = L3Set(x, rprs_);
        LMatr[k] = 4.0L * l0.value / 5.0L - l3.value;
        D1LMatr[k] = 4.0L * l0.d1 / 5.0L - l3.d1;
        D2LMatr[k] = 4.0L * l0.d2 / 5.0L - l3.d2;
        ++k;
    }

    // Chain rule through x = δ/R and ρ = Rp/R; M falls as φ0 grows.  A mask without the
    // uniform bit has fewer slots per row than terms computed: only ldnum are stored.  With the
    // period fitted, M = 2π(t - T_n)/P + M_n moves with T_n and with P at fixed T_n, by
    // -2π(t - T_n)/P² = ∂M/∂T_n·(M - M_n)/2π.
    const bool period = parflag_ & kFitPeriod;
    const long double dMdP = period ? dMdT_ * ((M - mref_) / kTwoPi) : 0.0L;
    const int ldnum = fc_.ldnum;
    for (int b = 0; b < ldnum; ++b) {
        const long double B = LMatr[b], Gx = D1LMatr[b], Grho = D2LMatr[b];
        int row = 0;
        block[row++ * ldnum + b] = B;
        if (parflag_ & FitBit(kInTshift))
            block[row++ * ldnum + b] = period ? ((Gx * ddlf) / R_) * dMdT_ : -(Gx * ddlf) / R_;
        if (parflag_ & FitBit(kInEccentr)) block[row++ * ldnum + b] = (Gx * ddle) / R_;
        if (parflag_ & FitBit(kInPeriastr)) block[row++ * ldnum + b] = (Gx * ddlw) / R_;
        if (parflag_ & FitBit(kInInclination)) block[row++ * ldnum + b] = (Gx * ddli) / R_;
        if (parflag_ & FitBit(kInRsun)) block[row++ * ldnum + b] = -(Gx * dl + Grho * Rp_) / rq_;
        if (parflag_ & FitBit(kInRplanet)) block[row++ * ldnum + b] = Grho / R_;
        if (period) block[row++ * ldnum + b] = ((Gx * ddlf) / R_) * dMdP;
    }
}

// The screen. Beyond contact (δ/R ≥ 1 + ρ by more than rounding) every term and derivative
// of the model is exactly 0, and so is every derivative row (0 times the finite derivatives of
// δ); behind the star the model puts δ at R + Rp + 1, beyond contact by 1/R. Both give the same
// block, so a point is certainly out of transit when δ is clearly beyond contact or the planet
// is clearly behind the star, whichever holds.
//
// The screen recomputes the orbit in double precision from the same mean anomaly, reduced by
// whole turns: E by Newton's method, then with r·cos ν = cos E - e and r·sin ν = √(1-e²)·sin E
// the products r·cos u and r·sin u (u = ν + ω) and δ² = (r·cos u)² + cos² i·(r·sin u)², with no
// arc tangent. Both δ and r·sin u move by at most |ΔE| when E moves (the point (r·cos ν,
// r·sin ν) moves at most as fast as E, and a rotation and the factor cos² i ≤ 1 do not speed it
// up), so their error is that of E plus rounding: the residual of Kepler's equation over its
// smallest slope 1 - e, the reduction of M, and the rounding of the extended evaluation, which
// works on the unreduced M and so carries an error that grows with |M|. The margin below covers
// each of these many times over; a point inside it takes the full evaluation.
// The slack of the screen, each bound many times what it covers:
// - a contact radius and the "behind the star" test widened by 2^-20 relative;
// - the mean anomaly screened only below 2^40 rad, reduced by whole turns with 1/2π in double;
// - the angles M and ω, rounded to double and evaluated in extended precision without
//   reduction, off by at most 2^-48·(|angle| + 1);
// - Newton's method on Kepler's equation stopped at steps of 2^-45, after at most 40 passes;
// - the double-precision orbit from E on, off by at most 2^-40;
// - δ = √δ², moved by at most 2^-50/δ by the rounding of δ².
constexpr long double kContactSlack = 0x1p-20L;
constexpr long double kMaxScreenedAnomaly = 0x1p40L;
constexpr double kInverseTwoPi = 0.15915494309189535;
constexpr double kAngleSlack = 0x1p-48;
constexpr double kKeplerStepStop = 0x1p-45;
constexpr int kMaxKeplerPasses = 40;
constexpr double kOrbitSlack = 0x1p-40;
constexpr double kRootSlack = 0x1p-50;

void DesignSet::SetUpScreen() {
    const long double behind = (R_ + Rp_ + 1.0L) / R_;  // x of a point behind the star
    screen_ = detail::DesignScreen() && std::isfinite(period_) && period_ != 0.0L &&
              std::isfinite(phi0_) && e_ >= 0.0L && e_ < 1.0L && std::isfinite(omega_) &&
              ci_ >= 0.0L && ci_ <= 1.0L && std::isfinite(R_) && Rp_ > 0.0L && std::isfinite(Rp_) &&
              behind >= (1.0L + rprs_) * (1.0L + kContactSlack) && fc_.len > 0;
    if (!screen_) return;
    e_d_ = static_cast<double>(e_);
    w_d_ = std::sqrt(1.0 - e_d_ * e_d_);
    cw_ = static_cast<double>(cosl(omega_));
    sw_ = static_cast<double>(sinl(omega_));
    ci_d_ = static_cast<double>(ci_);
    contact_ = static_cast<double>((R_ + Rp_) * (1.0L + kContactSlack));
    inv_1me_ = static_cast<double>(1.0L / (1.0L - e_));
    omega_slack_ = kAngleSlack * (std::fabs(static_cast<double>(omega_)) + 1.0);
}

bool DesignSet::CertainlyOutOfTransit(long double M, double margin) const {
    if (!(std::fabs(M) < kMaxScreenedAnomaly)) return false;
    // Whole turns off, so that the angle is small enough for double precision; any whole
    // number near M/2π will do.
    const double turns = std::nearbyint(static_cast<double>(M) * kInverseTwoPi);
    const double m = static_cast<double>(M - static_cast<long double>(turns) * kTwoPi);
    double E = m, sE, cE, res = 0.0;
    if (e_d_ != 0.0) {
        E = m + e_d_ * std::sin(m);
        int pass = 0;
        for (;; ++pass) {
            sincos(E, &sE, &cE);
            const double step = (E - e_d_ * sE - m) / (1.0 - e_d_ * cE);
            E -= step;
            if (std::fabs(step) <= kKeplerStepStop) break;
            if (pass == kMaxKeplerPasses) return false;
        }
        res = std::fabs(E - e_d_ * std::sin(E) - m);
    }
    sincos(E, &sE, &cE);
    const double X = cE - e_d_, Y = w_d_ * sE;
    const double rsu = Y * cw_ + X * sw_;  // r·sin u
    const double rcu = X * cw_ - Y * sw_;  // r·cos u
    const double delta = std::sqrt(rcu * rcu + ci_d_ * (rsu * rsu));
    // A window of half length `margin` about M: E moves by at most margin/(1 - e) in it.
    const double slack =
        (kAngleSlack * (std::fabs(static_cast<double>(M)) + 1.0) + res + kOrbitSlack + margin) *
            inv_1me_ +
        omega_slack_ + kRootSlack / delta;
    return rsu > slack || delta > contact_ + slack;
}

// ---- exposures ----------------------------------------------------------------------------
//
// The mean over a window of every entry of the block. As a function of time the model is
// smooth except at the contacts (δ/R = 1 ± ρ), where the hidden flux behaves like
// (t - t_c)^(3/2) and its derivatives like (t - t_c)^(1/2); there every fixed rule converges
// only algebraically. So the window is split at the contacts inside it, and each piece in
// transit is mapped so that the contact ends become smooth: t = a + ℓ·s³ at a contact end a
// (turning (t - a)^(k/2)·dt into s^(3k/2 + 2)·ds), the quintic smoothstep ℓ·(10s³ - 15s⁴ + 6s⁵)
// between two contacts, and nothing elsewhere; then Gauss-Legendre in s. Pieces out of transit
// are exact without a single evaluation: every entry is that of the unocculted star. A contact
// just beyond an end of the window, which would hold the rule there to slow convergence, is
// met by integrating up to it and taking off the overshoot. The contacts come from the orbit
// once per parameter vector, as offsets in mean anomaly from the transit's smallest separation.
//
// Node counts, against a reference of tanh-sinh quadrature between contacts found by root
// finding (worst basis-term error 4e-14 over hot-Jupiter ingresses, full transits, central,
// grazing and eccentric orbits, long and short windows): 16 between two contacts; from one
// contact 10 and 3 more per shortest ingress or egress (the scale on which the flux varies) of
// the piece's length, since the cubic map spreads the nodes at the far end; and for a piece with
// no contact as many as its distance to the nearest contact asks (the Bernstein ellipse of that
// distance). A piece longer than twice the scale is cut into equal parts first.

constexpr int kMaxNodes = 32;
constexpr int kNodesBetweenContacts = 16;
constexpr int kNodesFromContact = 10;  // and 3 more per shortest ingress of the piece's length
constexpr int kMinNodes = 4;
constexpr long double kNodesPerLogRho = 12.0L;  // n·ln ρ that a free end needs
// Parts of a piece at most: an ingress shorter than about 1/2048 of the exposure (a planet of a
// millionth of the star's radius, say) gets parts longer than twice the ingress, whose node
// counts still follow their distance to the contacts; the cost of an exposure stays bounded.
constexpr long double kMaxParts = 1024.0L;

// A node count from its real-valued need: rounded up and clamped to kMaxNodes before the
// conversion, so that a need of inf or NaN (an ingress or a gap of 0) takes the most nodes.
int NodesFor(long double need) {
    return need <= static_cast<long double>(kMaxNodes) ? static_cast<int>(std::ceil(need))
                                                       : kMaxNodes;
}
constexpr long double kReach = 0.5L;  // contacts this far beyond, in windows, are met

// Gauss-Legendre rules of 1 … kMaxNodes nodes on [0, 1], by Newton's method on the Legendre
// polynomials in extended precision (each node to a few ulps, far below what the exposures
// need).
struct LegendreRules {
    long double node[kMaxNodes + 1][kMaxNodes], weight[kMaxNodes + 1][kMaxNodes];
    LegendreRules() {
        for (int n = 1; n <= kMaxNodes; ++n) {
            for (int j = 0; j < n; ++j) {
                long double x = cosl(kPi * (j + 0.75L) / (n + 0.5L)), dp = 1.0L;
                for (int pass = 0; pass < 100; ++pass) {
                    long double p0 = 1.0L, p1 = x;  // P_0, P_1 up to P_n by the recurrence
                    for (int k = 2; k <= n; ++k) {
                        const long double p2 = ((2 * k - 1) * x * p1 - (k - 1) * p0) / k;
                        p0 = p1;
                        p1 = p2;
                    }
                    dp = n * (x * p1 - p0) / (x * x - 1.0L);
                    const long double step = p1 / dp;
                    x -= step;
                    if (std::fabs(step) <= 0x1p-63L) break;
                }
                node[n][n - 1 - j] = (1.0L + x) / 2;  // ascending: x runs down from near 1
                weight[n][n - 1 - j] = 1.0L / ((1.0L - x * x) * dp * dp);
            }
        }
    }
};

const LegendreRules& Rules() {
    static const LegendreRules rules;
    return rules;
}

// Room for a block of any masks count_fit counts (at most 8 rows of 6 entries).
constexpr int kMaxBlock = 64;

// The separation as the design set uses it: behind the star, beyond any contact.
long double DesignSet::Separation(long double M) const {
    long double dl, df, de, dw, di;
    const int front = DeltaEccentric_omega_ci_d(M, e_, omega_, ci_, &dl, &df, &de, &dw, &di);
    return front ? dl : R_ + Rp_ + 1.0L;
}

// The offset from mid_ on `side` (±1) at which the separation first rises through `level`:
// strides doubling out from the minimum until it is passed, then bisection to the last bit.
// 0 when the separation stays below the level for half a turn.
long double DesignSet::Crossing(long double level, long double side) const {
    long double in = 0.0L, out = 0x1p-30L;
    while (!(Separation(mid_ + side * out) >= level)) {
        in = out;
        out = 2 * out;
        if (out > kPi) return 0.0L;
    }
    for (;;) {
        const long double m = (in + out) / 2;
        if (m == in || m == out) break;
        (Separation(mid_ + side * m) >= level ? out : in) = m;
    }
    return side * out;
}

void DesignSet::SetExposure(long double exposure) {
    half_ = (exposure / period_) * kPi;  // π·X/P, half of 2π·X/P
    cw_l_ = cosl(omega_);
    sw_l_ = sinl(omega_);
    w_l_ = sqrtl(1.0L - e_ * e_);
    contacts_ = 0;
    transit_ = true;
    mid_ = phmin_ci(e_, omega_, ci_);
    Emid_ = Kepler(mid_, e_);
    sincosl(Emid_, &sEmid_, &cEmid_);
    const long double outer = R_ + Rp_, inner = std::fabs(R_ - Rp_);
    const long double least = Separation(mid_);
    if (!(least < outer)) {  // no transit (or no number): every window is unocculted
        transit_ = least >= outer ? false : true;
        return;
    }
    const long double c1 = Crossing(outer, -1.0L), c4 = Crossing(outer, 1.0L);
    if (c1 == 0.0L || c4 == 0.0L) return;  // in front of the star all the way: no contacts
    contact_at_[contacts_++] = c1;
    if (least < inner) {
        contact_at_[contacts_++] = Crossing(inner, -1.0L);
        contact_at_[contacts_++] = Crossing(inner, 1.0L);
        scale_ = std::fmin(contact_at_[1] - c1, c4 - contact_at_[2]);
    } else {
        scale_ = (c4 - c1) / 2;  // grazing: the whole transit is ingress and egress
    }
    contact_at_[contacts_++] = c4;
}

// The separation at a node, from a mean anomaly m reduced to the turn of the transit: the
// geometry of the separation's own derivation, with the true anomaly taken from E through
// r·cos ν = cos E - e and r·sin ν = √(1 - e²)·sin E and turned by ω, where the separation
// takes an arc tangent and three more sines. It agrees with that evaluation to rounding (a few
// 1e-19 of the flux), while costing one sine and cosine beyond the solution of Kepler's
// equation (none at all for e = 0, where E = m exactly).
DesignSet::Orbit DesignSet::NodeOrbit(long double m) const {
    const long double E = e_ == 0.0L ? m : Kepler(m, e_);  // exact on purpose: the root is m
    // sin E and cos E turned from those at mid-transit by the small angle E - E_mid, whose
    // sine and cosine take no reduction by π/2.
    long double sd, cd;
    sincosl(E - Emid_, &sd, &cd);
    const long double sE = sEmid_ * cd + cEmid_ * sd, cE = cEmid_ * cd - sEmid_ * sd;
    const long double r = 1.0L - e_ * cE;
    const long double cn = (cE - e_) / r, sn = (w_l_ * sE) / r;
    const long double su = sn * cw_l_ + cn * sw_l_, cu = cn * cw_l_ - sn * sw_l_;
    const long double s2u = 2 * (su * cu), su2 = su * su;
    const long double P = 1.0L - ci_;
    const long double S = sqrtl(1.0L + (ci_ - 1.0L) * su2);
    Orbit o;
    o.dl = r * S;
    long double tf = 0.0L, te = 0.0L, tw = 0.0L;
    if (o.dl != 0.0L) {  // exact on purpose: a central conjunction, where 0 is a subgradient
        tf = P * s2u * w_l_ / (2 * o.dl);
        te = P * s2u * sE / (2 * S);
        tw = -P * s2u * r / (2 * S);
    }
    o.ddlf = e_ * sE * S / r - tf;
    o.ddle = (e_ - cE) * S / r - te * (1 / w_l_ + w_l_ / r);
    o.ddlw = tw;
    o.ddli = su2 * r / (2 * S);
    o.isoverlap = su < 0.0L ? 1 : 0;
    return o;
}

// Adds sign·∫ over [M + a, M + b] of the block, by mean anomaly, to acc, with n nodes of the
// map that the contact ends at_a, at_b ask for; m is M reduced to the turn of the transit.
void DesignSet::Integrate(long double M, long double m, long double a, long double b, bool at_a,
                          bool at_b, int n, long double sign, long double* acc) const {
    const long double length = b - a;
    const int len = fc_.len;
    const LegendreRules& rules = Rules();
    long double block[kMaxBlock];
    for (int j = 0; j < n; ++j) {
        const long double s = rules.node[n][j];
        long double u, slope;  // the piece's fraction at s, and its slope
        if (at_a && at_b) {
            const long double r = 1.0L - s;
            u = s * s * s * (10.0L - 15.0L * s + 6.0L * s * s);
            slope = 30.0L * (s * s) * (r * r);
        } else if (at_a) {
            u = s * s * s;
            slope = 3.0L * s * s;
        } else if (at_b) {
            const long double r = 1.0L - s;
            u = 1.0L - r * r * r;
            slope = 3.0L * r * r;
        } else {
            u = s;
            slope = 1.0L;
        }
        const long double w = sign * rules.weight[n][j] * slope * length;
        const long double offset = a + length * u;
        FromOrbit(M + offset, NodeOrbit(m + offset), block);
        for (int k = 0; k < len; ++k) acc[k] += w * block[k];
    }
}

// The same for a piece that may hold the transit: out of transit exactly, else by parts no
// longer than twice the ingress. `gap` is the distance from [a, b] to the nearest contact
// other than its ends.
void DesignSet::Piece(long double M, long double m, long double a, long double b, bool at_a,
                      bool at_b, bool in_transit, long double gap, long double sign,
                      long double* acc, int* evaluations) const {
    const long double length = b - a;
    if (!(length > 0.0L)) return;
    if (!in_transit) {
        if (fc_.len > 0) acc[0] += sign * length;
        return;
    }
    const long double most = scale_ + scale_;
    const long double parts = length > most ? std::fmin(std::ceil(length / most), kMaxParts) : 1.0L;
    const long double step = length / parts;
    for (long double p = 0; p < parts; ++p) {
        const bool first = p == 0, last = p + 1 == parts;
        const bool ca = first && at_a, cb = last && at_b;
        const long double pa = first ? a : a + p * step, pb = last ? b : a + (p + 1) * step;
        int n = kNodesBetweenContacts;
        if (!(ca && cb)) {
            // A free end converges as ρ^(-2n), ρ the sum of the semi-axes of the largest ellipse
            // about the part, with foci at its ends, that holds no contact.
            long double g = gap + std::fmin(pa - a, b - pb);
            if (at_a && !first) g = std::fmin(g, pa - a);
            if (at_b && !last) g = std::fmin(g, b - pb);
            const long double r = 1.0L + (g + g) / (pb - pa);
            const long double rho = r + std::sqrt(r * r - 1.0L);
            n = std::isfinite(rho) ? NodesFor(kNodesPerLogRho / std::log(rho)) : kMinNodes;
            const int least =
                ca || cb
                    ? std::min(kNodesFromContact + NodesFor(3.0L * (pb - pa) / scale_), kMaxNodes)
                    : kMinNodes;
            if (n < least) n = least;
            if (n > kMaxNodes) n = kMaxNodes;
        }
        Integrate(M, m, pa, pb, ca, cb, n, sign, acc);
        *evaluations += n;
    }
}

void DesignSet::ExposedPoint(const long double* data, std::int64_t i, long double* lset) const {
    long double* block = lset + i * fc_.len;
    const long double t = data[3 * i];
    const long double tp = t / period_;
    const long double M = (tp + tp) * kPi - phi0_;
    if (!transit_ || (screen_ && CertainlyOutOfTransit(M, static_cast<double>(half_)))) {
        for (int k = 0; k < fc_.len; ++k) block[k] = 0.0L;
        if (fc_.len > 0) block[0] = 1.0L;
        return;
    }
    long double acc[kMaxBlock] = {};
    int evaluations = 0;
    const long double width = half_ + half_;
    // M less whole turns, to the turn of the transit nearest to it: small arguments for the
    // sines of the nodes.
    const long double from_mid = M - mid_;
    const long double whole = std::nearbyint(from_mid / kTwoPi);
    const long double m = M - whole * kTwoPi;
    if (contacts_ == 0) {  // in transit all along the front: one smooth piece, all nodes
        Integrate(M, m, -half_, half_, false, false, kMaxNodes, 1.0L, acc);
        for (int k = 0; k < fc_.len; ++k) block[k] = acc[k] / width;
        TimeRow(M, m, block);
        return;
    }
    // The contacts about the window, as offsets from M, ascending and in whole transits: the
    // transit nearest to M and those whole turns before and after that the window reaches,
    // one more on each side.
    const long double reach = kReach * width;
    const long double centre = from_mid - whole * kTwoPi;
    const long double turns = std::ceil((half_ + reach) / kTwoPi) + 1.0L;
    long double at[4 * 8];
    const int room = static_cast<int>(sizeof at / sizeof at[0]);
    int count = 0;
    for (long double k = -turns; k <= turns && count + contacts_ <= room; ++k)
        for (int c = 0; c < contacts_; ++c) at[count++] = (contact_at_[c] + k * kTwoPi) - centre;
    auto gap_of = [&](long double a, long double b) {  // [a, b] to the nearest contact outside
        long double g = INFINITY;
        for (int c = 0; c < count; ++c) {
            if (at[c] < a) g = std::fmin(g, a - at[c]);
            if (at[c] > b) g = std::fmin(g, at[c] - b);
        }
        return g;
    };
    // In transit when an odd share of a transit's contacts lies below: between its first and
    // last contact.
    auto in_transit = [&](long double x) {
        int below = 0;
        while (below < count && at[below] < x) ++below;
        return below % contacts_ != 0;
    };

    // The overshoot pays only when the contact beyond an end is nearer to it than the nearest
    // contact on its inner side: the overshoot's own free end lies at the window's end, as far
    // from that inner contact as the piece it replaces is from the outer one, and the rule
    // converges with the ratio of that distance to the length.
    long double lo = -half_, hi = half_, above = INFINITY, below = -INFINITY;
    bool lo_c = false, hi_c = false;
    for (int c = 0; c < count; ++c) {
        if (at[c] <= -half_ && at[c] >= -half_ - reach) lo = at[c], lo_c = true;
        if (at[c] >= half_ && at[c] <= half_ + reach && !hi_c) hi = at[c], hi_c = true;
        if (at[c] > -half_) above = std::fmin(above, at[c]);
        if (at[c] < half_) below = std::fmax(below, at[c]);
    }
    if (lo_c && !(-half_ - lo < above + half_)) lo = -half_, lo_c = false;
    if (hi_c && !(hi - half_ < half_ - below)) hi = half_, hi_c = false;
    if (lo_c)
        Piece(M, m, lo, -half_, true, false, in_transit((lo - half_) / 2), gap_of(lo, -half_),
              -1.0L, acc, &evaluations);
    if (hi_c)
        Piece(M, m, half_, hi, false, true, in_transit((half_ + hi) / 2), gap_of(half_, hi), -1.0L,
              acc, &evaluations);
    long double cut = lo;
    bool cut_c = lo_c;
    for (int c = 0; c < count; ++c) {
        if (at[c] > cut && at[c] < hi) {
            Piece(M, m, cut, at[c], cut_c, true, in_transit((cut + at[c]) / 2), gap_of(cut, at[c]),
                  1.0L, acc, &evaluations);
            cut = at[c];
            cut_c = true;
        }
    }
    Piece(M, m, cut, hi, cut_c, hi_c, in_transit((cut + hi) / 2), gap_of(cut, hi), 1.0L, acc,
          &evaluations);
    for (int k = 0; k < fc_.len; ++k) block[k] = acc[k] / width;
    if (evaluations > 0) evaluations += TimeRow(M, m, block);  // else unocculted: the row is 0
    if (tally_) tally_->Add(evaluations);
}

// A translation in time moves the window mean by the difference of its end values:
// ∂/∂M (1/2h)∫ over [M - h, M + h] of B = (B(M + h) - B(M - h))/2h, exact, where the
// quadrature of the row, with its (t - t_c)^(1/2) ends, converges slowest. The phase row (or
// with the period fitted the T_n row) takes it; returns the evaluations spent.
int DesignSet::TimeRow(long double M, long double m, long double* block) const {
    if (!(parflag_ & FitBit(kInTshift))) return 0;
    long double after[kMaxBlock], before[kMaxBlock];
    FromOrbit(M + half_, NodeOrbit(m + half_), after);
    FromOrbit(M - half_, NodeOrbit(m - half_), before);
    const long double slope = (parflag_ & kFitPeriod) ? dMdT_ : -1.0L;  // ∂M/∂T_n, ∂M/∂φ0
    const int ldnum = fc_.ldnum;
    for (int b = 0; b < ldnum; ++b)
        block[ldnum + b] = slope * ((after[b] - before[b]) / (half_ + half_));
    return 2;
}

// The design array of observations integrated over their exposures.
void ExposedDesign(long double* lset, const long double* data, std::int64_t pointnum,
                   long double period, const long double* params, int parflag, int ldflag,
                   long double epoch, long double exposure, ExposureCost* cost) {
    DesignSet set(period, params, parflag, ldflag, epoch);
    set.SetExposure(exposure);
    ExposureTally tally;
    if (cost) set.SetTally(&tally);
    detail::ShareOutPoints(pointnum, [&](std::int64_t i) { set.ExposedPoint(data, i, lset); });
    if (cost) *cost = {tally.exposures.load(), tally.evaluations.load(), tally.most.load()};
}

}  // namespace

// Every point's block depends on that point alone, so the points are handed out in shares to
// the threads, each share written by one thread; the array is the same whatever the count.
void der_set_norm_ci(long double* lset, const long double* data, std::int64_t pointnum,
                     long double period, const long double* params, int parflag, int ldflag) {
    der_set_period(lset, data, pointnum, period, params, parflag & ~kFitPeriod, ldflag, 0.0L);
}

void der_set_period(long double* lset, const long double* data, std::int64_t pointnum,
                    long double period, const long double* params, int parflag, int ldflag,
                    long double epoch, long double exposure, ExposureCost* cost) {
    if (exposure != 0.0L) {  // exact on purpose: 0 is the model at the time, bit for bit
        ExposedDesign(lset, data, pointnum, period, params, parflag, ldflag, epoch, exposure, cost);
        return;
    }
    if (cost) *cost = ExposureCost{};
    const DesignSet set(period, params, parflag, ldflag, epoch);
    detail::ShareOutPoints(pointnum, [&](std::int64_t i) { set.Point(data, i, lset); });
}

void der_set_norm_ci_exposure(long double* lset, const long double* data, std::int64_t pointnum,
                              long double period, const long double* params, int parflag,
                              int ldflag, long double exposure, ExposureCost* cost) {
    der_set_period(lset, data, pointnum, period, params, parflag & ~kFitPeriod, ldflag, 0.0L,
                   exposure, cost);
}

void der_set_norm_ci_parts(long double* lset, const long double* data,
                           const std::vector<DataPart>& parts, long double period,
                           const long double* params, int parflag, int ldflag) {
    const int len = count_fit(parflag, ldflag).len;
    for (const DataPart& part : parts)
        der_set_norm_ci_exposure(lset + len * part.first, data + 3 * part.first, part.count, period,
                                 params, parflag, ldflag, part.exposure);
}
