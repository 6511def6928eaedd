// The fast design set against the straightforward one: per-point sets against the separate
// occultation functions, the separation against its plain form, design arrays against a plain
// evaluation kept here, any thread count against one, and the tool's full reports against reports
// made before the speed work.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "lustre.h"
#include "optimize.h"
#include "test_util.h"

namespace {


// Equal to the last bit; zeros may differ in sign (they do: -(-0·x)/R against a stored +0).
bool SameBits(long double a, long double b) {
    if (a == 0.0L && b == 0.0L) return true;
    return std::memcmp(&a, &b, 10) == 0;  // the 80 bits; NaNs must match too
}

// The bisection's split: the middle, but at Kepler's cusp (ends of very different magnitude)
// 0 or the middle of the exponents, so that tiny roots are reached.
long double PlainBracketSplit(long double a, long double b) {
    if ((a < 0.0L && b > 0.0L) || (a > 0.0L && b < 0.0L)) return 0.0L;
    const long double lo = std::fmin(std::fabs(a), std::fabs(b));
    const long double hi = std::fmax(std::fabs(a), std::fabs(b));
    if (hi <= 4 * lo) return (a + b) / 2;
    const int lo_exp =
        lo == 0.0L ? std::ilogb(std::numeric_limits<long double>::denorm_min()) : std::ilogb(lo);
    return std::copysign(std::ldexp(1.0L, (lo_exp + std::ilogb(hi)) / 2), a + b);
}

// Kepler's equation as it was first solved: the sign of sin(x/2) from sinl, a sincosl at every
// Newton pass.
long double PlainKepler(long double x, long double e) {
    int newton_passes = 0, bisection_passes = 0;
    int* newton = &newton_passes;
    int* bisection = &bisection_passes;
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
    const long double q = (x - kPi) / 6.283185307179586477L;
    if (!(std::fabs(q) < 0x1p62L)) return x_in;
    const long long n = llroundl(q);
    const long double o = 6.283185307179586477L * n + kPi;
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
        if (!(std::fabs((x1 - x2) / x2) > 0x1p-62L)) break;
    }

    long double result = x1;
    if (adjust) {
        // d1 is the residual at x1 (not divided by v); f changes sign between x1 and x2.
        long double m;
        do {
            ++*bisection;
            m = PlainBracketSplit(x1, x2);
            if (m == x1 || m == x2) break;
            const long double r = m - e * sinl(m) - x;
            if (r == 0.0L) break;  // exact root
            if ((d1 > 0.0L) == (r < 0.0L)) {
                x2 = m;
            } else {
                x1 = m;
                d1 = r;
            }
        } while (std::fabs((x1 - x2) / x2) > 0x1p-63L && *bisection < kKeplerMaxPasses);
        result = m;
    }
    return neg_e ? result + kPi : result;
}

// The projected separation as it was first written, E from the plain solver and its sine and
// cosine taken afresh.
int PlainSeparation(long double fi, long double e, long double omega, long double cisqrt,
                    long double* delta, long double* df, long double* de, long double* dw,
                    long double* di) {
    const long double E = PlainKepler(fi, e);
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
    const long double P = 1.0L - cisqrt;
    const long double S = sqrtl(1.0L + (cisqrt - 1.0L) * su2);
    *delta = r * S;
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

// The design set evaluated straightforwardly, point by point, every occultation function
// called separately: the evaluation the fast one must reproduce.
void PlainDesignSet(long double* lset, const long double* data, std::int64_t pointnum,
                    long double period, const long double* params, int parflag, int ldflag) {
    const FitCounts fc = count_fit(parflag, ldflag);
    const long double e = params[1] == 1.0L ? std::nextafter(1.0L, 0.0L) : params[1];
    const long double omega = params[2];
    const long double ci = params[3];
    const long double R = params[4] < 0x1p-64L ? 0x1p-64L : params[4];
    const long double Rp = params[5];
    const long double rprs = Rp / R;
    const long double rq = R * R;
    for (std::int64_t i = 0; i < pointnum; ++i) {
        const long double t = data[3 * i];
        const long double tp = t / period;
        const long double M = (tp + tp) * kPi - params[0];
        long double dl, ddlf, ddle, ddlw, ddli;
        const int isoverlap = PlainSeparation(M, e, omega, ci, &dl, &ddlf, &ddle, &ddlw, &ddli);
        if (!isoverlap) dl = R + Rp + 1.0L;
        if (std::isinf(ddli)) ddli = 0.0L;
        const long double x = dl / R;
        long double LMatr[6] = {}, D1LMatr[6] = {}, D2LMatr[6] = {};
        const long double l0 = L0(x, rprs), d1l0 = D1L0(x, rprs), d2l0 = D2L0(x, rprs);
        LMatr[0] = 1.0L - l0 / kPi;
        D1LMatr[0] = -d1l0 / kPi;
        D2LMatr[0] = -d2l0 / kPi;
        int k = 1;
        long double l1 = 0, d1l1 = 0, d2l1 = 0;
        if (ldflag & (2 | 4)) l1 = L1(x, rprs), d1l1 = D1L1(x, rprs), d2l1 = D2L1(x, rprs);
        if (ldflag & 2) {
            LMatr[k] = (l0 + l0) / 3.0L - l1;
            D1LMatr[k] = (d1l0 + d1l0) / 3.0L - d1l1;
            D2LMatr[k] = (d2l0 + d2l0) / 3.0L - d2l1;
            ++k;
        }
        if (ldflag & 4) {
            const long double l2 = L2(x, rprs), d1l2 = D1L2(x, rprs), d2l2 = D2L2(x, rprs);
            LMatr[k] = 11.0L * l0 / 6.0L - (l1 + l1) - l2;
            D1LMatr[k] = 11.0L * d1l0 / 6.0L - (d1l1 + d1l1) - d1l2;
            D2LMatr[k] = 11.0L * d2l0 / 6.0L - (d2l1 + d2l1) - d2l2;
            ++k;
        }
        if (ldflag & 8) {
            const long double l3 = L3(x, rprs), d1l3 = D1L3(x, rprs), d2l3 = D2L3(x, rprs);
            LMatr[k] = 4.0L * l0 / 5.0L - l3;
            D1LMatr[k] = 4.0L * d1l0 / 5.0L - d1l3;
            D2LMatr[k] = 4.0L * d2l0 / 5.0L - d2l3;
            ++k;
        }
        long double* block = lset + i * fc.len;
        for (int b = 0; b < fc.ldnum; ++b) {
            const long double B = LMatr[b], Gx = D1LMatr[b], Grho = D2LMatr[b];
            int row = 0;
            block[row++ * fc.ldnum + b] = B;
            if (parflag & 1) block[row++ * fc.ldnum + b] = -(Gx * ddlf) / R;
            if (parflag & 2) block[row++ * fc.ldnum + b] = (Gx * ddle) / R;
            if (parflag & 4) block[row++ * fc.ldnum + b] = (Gx * ddlw) / R;
            if (parflag & 8) block[row++ * fc.ldnum + b] = (Gx * ddli) / R;
            if (parflag & 16) block[row++ * fc.ldnum + b] = -(Gx * dl + Grho * Rp) / rq;
            if (parflag & 32) block[row++ * fc.ldnum + b] = Grho / R;
        }
    }
}

// Projected separation in stellar radii at time t, as the design set computes it.
long double SeparationOverR(const long double* par, long double period, long double t) {
    const long double tp = t / period;
    long double delta, df, de, dw, di;
    DeltaEccentric_omega_ci_d((tp + tp) * kPi - par[0], par[1], par[2], par[3], &delta, &df, &de,
                              &dw, &di);
    return delta;
}

// A time in [lo, hi] at which the separation crosses `target` (bisection; the separation must
// lie on opposite sides of it at lo and hi).
long double TimeAtSeparation(const long double* par, long double period, long double lo,
                             long double hi, long double target) {
    const bool rising = SeparationOverR(par, period, hi) > target;
    for (int k = 0; k < 200; ++k) {
        const long double mid = lo + (hi - lo) / 2;
        if (mid == lo || mid == hi) break;
        if ((SeparationOverR(par, period, mid) > target) == rising) {
            hi = mid;
        } else {
            lo = mid;
        }
    }
    return lo;
}

struct Geometry {
    long double par[6];
    long double period;
    std::vector<long double> data;
};

std::string Describe(const Geometry& g) {
    std::ostringstream s;
    s.precision(21);
    s << "phi0 " << g.par[0] << " e " << g.par[1] << " omega " << g.par[2] << " ci " << g.par[3]
      << " R " << g.par[4] << " Rp " << g.par[5] << " P " << g.period;
    return s.str();
}

// Times over two orbits, densely through the transit, and placed by bisection at separations
// a hair inside and outside first and last contact, where the screen must hand the point on.
Geometry MakeGeometry(std::mt19937_64& gen, int kind) {
    std::uniform_real_distribution<double> U(0.0, 1.0);
    Geometry g;
    g.period = 2.0L + 3 * U(gen);
    g.par[1] = kind % 3 == 0 ? 0.0L : 0.9L * U(gen);
    g.par[2] = 2 * kPi * U(gen);
    g.par[3] = kind % 4 == 1 ? 0.0L : 0.01L * U(gen);
    g.par[4] = 0.05L + 0.25L * U(gen);
    const long double ratio[] = {0.1L, 1.0L, 1.5L, 0.02L};  // r = ρ; r = 1 and r > 1 included
    g.par[5] = g.par[4] * ratio[kind % 4] * (0.8L + 0.4L * U(gen));
    const long double tmid = g.period * U(gen);
    g.par[0] = phase_parameter(tmid, g.period, g.par);
    const long double window = 0.3L * g.period * (g.par[4] + g.par[5]);
    auto add = [&](long double t) { g.data.insert(g.data.end(), {t, 1.0L, 0.001L}); };
    for (int k = 0; k < 40; ++k) add(tmid - g.period + 2 * g.period * U(gen));
    for (int k = 0; k < 40; ++k) add(tmid - window + 2 * window * U(gen));
    // Contacts: the separation runs from its least value at tmid to beyond contact.
    const long double contact = g.par[4] + g.par[5], inner = std::fabs(g.par[4] - g.par[5]);
    for (long double side : {-1.0L, 1.0L}) {
        const long double far = tmid + side * g.period / 4;
        if (SeparationOverR(g.par, g.period, far) <= contact) continue;
        if (SeparationOverR(g.par, g.period, tmid) >= inner) continue;
        for (long double eps : {0.0L, 1e-15L, 1e-9L, 0x1p-20L, 1e-5L, -1e-15L, -1e-9L}) {
            for (long double target : {contact * (1 + eps), inner * (1 + eps)}) {
                const long double lo = side < 0 ? far : tmid, hi = side < 0 ? tmid : far;
                add(TimeAtSeparation(g.par, g.period, lo, hi, target));
            }
        }
    }
    return g;
}

// Compares the fast design array with the plain one for every mask pair; returns the number of
// points that differ.
int CompareDesignSets(const Geometry& g, const std::vector<int>& parflags,
                      const std::vector<int>& ldflags) {
    const std::int64_t points = static_cast<std::int64_t>(g.data.size() / 3);
    int bad = 0;
    for (int ldflag : ldflags) {
        for (int parflag : parflags) {
            const FitCounts fc = count_fit(parflag, ldflag);
            std::vector<long double> fast(fc.len * points, -7.0L), plain(fc.len * points, -9.0L);
            der_set_norm_ci(fast.data(), g.data.data(), points, g.period, g.par, parflag, ldflag);
            PlainDesignSet(plain.data(), g.data.data(), points, g.period, g.par, parflag, ldflag);
            for (std::int64_t i = 0; i < points; ++i) {
                for (int k = 0; k < fc.len; ++k) {
                    const std::int64_t at = i * fc.len + k;
                    if (SameBits(fast[at], plain[at])) continue;
                    ADD_FAILURE() << Describe(g) << " parflag " << parflag << " ldflag " << ldflag
                                  << " t " << static_cast<double>(g.data[3 * i]) << " entry " << k
                                  << ": " << static_cast<double>(fast[at]) << " against "
                                  << static_cast<double>(plain[at]);
                    ++bad;
                    break;
                }
                if (bad > 5) return bad;
            }
        }
    }
    return bad;
}

}  // namespace

// Contacts (δ + r = 1, |δ - r| = 1), r = δ, δ = 0, the constant of L1 at (½, ½), and their
// neighbours: every number of a set equals its separate function to the bit.
TEST(PerPointSets, EqualTheSeparateFunctions) {
    std::vector<std::pair<long double, long double>> cases;
    for (long double r : {0.1L, 0.5L, 0.75L, 1.0L, 1.3L, 0.013L}) {
        for (long double delta : {1 - r, 1 + r, r - 1, r, 0.0L, r / 2, 0.5L + r / 3}) {
            if (delta < 0) continue;
            cases.push_back({delta, r});
            cases.push_back({std::nextafter(delta, 3.0L), r});
            if (delta > 0) cases.push_back({std::nextafter(delta, -1.0L), r});
        }
    }
    std::mt19937_64 gen(7);
    std::uniform_real_distribution<double> U(0.0, 1.0);
    for (int k = 0; k < 200; ++k) {
        const long double r = k % 2 ? 0.3L * U(gen) : 2.0L * U(gen);
        cases.push_back({(1 + r) * 1.2L * U(gen), r});
    }
    cases.push_back({-0.25L, 0.1L});
    cases.push_back({0.5L, 0.0L});
    cases.push_back({0.5L, -0.1L});
    for (const auto& [delta, r] : cases) {
        OccultTerm l0, l2;
        L0L2Set(delta, r, &l0, &l2);
        const OccultTerm l1 = L1Set(delta, r), l3 = L3Set(delta, r);
        const long double got[12] = {l0.value, l0.d1, l0.d2, l1.value, l1.d1, l1.d2,
                                     l2.value, l2.d1, l2.d2, l3.value, l3.d1, l3.d2};
        const long double want[12] = {L0(delta, r), D1L0(delta, r), D2L0(delta, r),
                                      L1(delta, r), D1L1(delta, r), D2L1(delta, r),
                                      L2(delta, r), D1L2(delta, r), D2L2(delta, r),
                                      L3(delta, r), D1L3(delta, r), D2L3(delta, r)};
        for (int k = 0; k < 12; ++k) {
            // Here even the sign of a zero is the separate function's.
            EXPECT_EQ(std::memcmp(&got[k], &want[k], 10), 0)
                << "delta " << static_cast<double>(delta) << " r " << static_cast<double>(r)
                << " value " << k << ": " << static_cast<double>(got[k]) << " against "
                << static_cast<double>(want[k]);
        }
    }
}

// The solver decides the start from the position of x/2 between multiples of π and skips the
// sincosl of an unchanged iterate: the same roots, over all eccentricities (negative, 0, 1,
// beyond), far-off epochs and mean anomalies on and next to the multiples of π.
TEST(PerPointSets, KeplerEqualsItsPlainForm) {
    std::mt19937_64 gen(5);
    std::uniform_real_distribution<double> U(0.0, 1.0);
    std::vector<std::pair<long double, long double>> cases;
    for (long double e : {0.0L, 0.3L, -0.3L, 0.9L, 1.0L, -1.0L, 1.5L})
        for (int k = -4; k <= 4; ++k)
            for (long double x : {k * kPi, k * kPi / 2, k * 2 * kPi + 1e-17L, k * 2 * kPi - 1e-12L,
                                  std::nextafter(k * kPi, 100.0L), 1e13L + k})
                cases.push_back({x, e});
    for (int k = 0; k < 3000; ++k)
        cases.push_back({(U(gen) - 0.5) * (k % 3 ? 100.0L : 1e8L), k % 4 ? U(gen) : 0.0L});
    for (const auto& [x, e] : cases) {
        const long double got = Kepler(x, e), want = PlainKepler(x, e);
        EXPECT_EQ(std::memcmp(&got, &want, 10), 0)
            << "x " << static_cast<double>(x) << " e " << static_cast<double>(e);
    }
}

// The solver's sine and cosine of E, reused by the separation, are those sincosl gives: over
// circular, eccentric, nearly parabolic and negative-eccentricity orbits and far-off epochs.
TEST(PerPointSets, SeparationEqualsItsPlainForm) {
    std::mt19937_64 gen(11);
    std::uniform_real_distribution<double> U(0.0, 1.0);
    for (int k = 0; k < 3000; ++k) {
        const long double M = (U(gen) - 0.5) * (k % 7 == 0 ? 1e7L : 2000.0L);
        long double e = k % 5 == 0 ? 0.0L : (k % 5 == 1 ? 0.999999L * U(gen) : 0.95L * U(gen));
        if (k % 11 == 0) e = -e;
        const long double omega = 7 * U(gen), ci = 0.01L * U(gen);
        long double got[5], want[5];
        const int front =
            DeltaEccentric_omega_ci_d(M, e, omega, ci, &got[0], &got[1], &got[2], &got[3], &got[4]);
        const int plain_front =
            PlainSeparation(M, e, omega, ci, &want[0], &want[1], &want[2], &want[3], &want[4]);
        EXPECT_EQ(front, plain_front);
        for (int j = 0; j < 5; ++j)
            EXPECT_EQ(std::memcmp(&got[j], &want[j], 10), 0)
                << "M " << static_cast<double>(M) << " e " << static_cast<double>(e) << " output "
                << j;
    }
}

// Eccentric and circular orbits, edge-on ones, planets smaller than, as large as and larger
// than the star, points at and next to the contacts, every mask combination of the terms and a
// spread of parameter masks.
TEST(DesignSetSpeed, EqualsTheStraightforwardEvaluation) {
    set_design_threads(2);
    std::mt19937_64 gen(2024);
    const std::vector<int> ldflags = {1, 3, 5, 7, 9, 15, 2, 6, 14, 17};
    const std::vector<int> parflags = {63, 0, 48, 6};
    for (int kind = 0; kind < 8; ++kind) {
        const Geometry g = MakeGeometry(gen, kind);
        EXPECT_EQ(CompareDesignSets(g, parflags, ldflags), 0) << Describe(g);
    }
    set_design_threads(0);
}

// Parameter vectors the screen must not judge: e = 1 and R = 0 (evaluated just inside),
// a negative planet radius, a face-on orbit, not-a-number parameters.
TEST(DesignSetSpeed, DegenerateParametersFallBackToTheFullEvaluation) {
    std::mt19937_64 gen(99);
    Geometry base = MakeGeometry(gen, 1);
    const long double nan = std::nanl("");
    const struct {
        int slot;
        long double value;
    } changes[] = {{1, 1.0L}, {4, 0.0L}, {5, -0.01L}, {3, 1.0L}, {1, nan}, {5, nan}, {0, nan}};
    for (const auto& c : changes) {
        Geometry g = base;
        g.par[c.slot] = c.value;
        EXPECT_EQ(CompareDesignSets(g, {63}, {15}), 0) << "slot " << c.slot;
    }
}

// The points are shared among threads; the arrays and every sum over them come out the same.
TEST(DesignSetSpeed, ThreadCountChangesNoBit) {
    std::vector<long double> data;
    const long double period = 3.0L;
    for (int i = 0; i < 9000; ++i) {
        const long double t = i * (2.0L / 1440);
        const long double dip = std::fabs(std::remainder(t - 1.5L, period)) < 0.06L ? 0.01L : 0.0L;
        data.insert(data.end(), {t, 1.0L - dip + 1e-4L * std::sin(7.0L * i), 3e-4L});
    }
    const std::int64_t points = 9000;
    long double par0[6] = {0.0L, 0.05L, 1.3L, 0.002L, 0.15L, 0.015L};
    par0[0] = phase_parameter(1.5L, period, par0);
    const int parflag = 63, ldflag = 15;
    const FitCounts fc = count_fit(parflag, ldflag);
    struct Run {
        std::vector<long double> lset;
        long double linf[4], res, step, par[6];
    };
    auto run = [&](int threads) {
        set_design_threads(threads);
        Run r;
        r.lset.resize(fc.len * points);
        std::copy(par0, par0 + 6, r.par);
        der_set_norm_ci(r.lset.data(), data.data(), points, period, r.par, parflag, ldflag);
        fitted_lin(r.linf, data.data(), r.lset.data(), points, parflag, ldflag);
        r.res = residual(r.lset.data(), data.data(), points, parflag, ldflag);
        r.step = lm_step(r.lset.data(), data.data(), points, r.par, parflag, ldflag, 0.01L);
        return r;
    };
    const Run one = run(1);
    for (int threads : {2, 3, 5}) {
        const Run many = run(threads);
        EXPECT_EQ(std::memcmp(one.lset.data(), many.lset.data(), one.lset.size() * 16), 0)
            << threads << " threads";
        EXPECT_TRUE(SameBits(one.res, many.res)) << threads << " threads";
        EXPECT_TRUE(SameBits(one.step, many.step)) << threads << " threads";
        for (int k = 0; k < 3; ++k) EXPECT_TRUE(SameBits(one.linf[k], many.linf[k]));
        for (int k = 0; k < 6; ++k) EXPECT_TRUE(SameBits(one.par[k], many.par[k]));
    }
    set_design_threads(0);
}

// Whole runs of the tool, byte for byte against the reports it printed before the speed work
// (tests/data/speed/*.stdout, *.result): all four terms with every parameter fitted on an
// eccentric orbit, the square-root term alone, a ground-based transit in full BJD, the example.
TEST(DesignSetSpeed, ReportsAreUnchanged) {
    const std::string dir = std::string(SOURCE_DIR) + "/tests/data/speed/";
    const std::string example = std::string(SOURCE_DIR) + "/examples/";
    const struct {
        std::string name, params, table;
    } runs[] = {
        {"all_terms_eccentric", dir + "all_terms_eccentric.par", example + "hotjupiter.txt"},
        {"sqrt_only", dir + "sqrt_only.par", example + "hotjupiter.txt"},
        {"hatp3b_all", dir + "hatp3b_all.par",
         std::string(SHARED_DATA_DIR) + "/hatp3b_keplercam_i.txt"},
        {"hotjupiter", example + "hotjupiter.par", example + "hotjupiter.txt"},
    };
    TempDir tmp;
    for (const auto& r : runs) {
        const std::string result = tmp.path() + "/" + r.name + ".result";
        const CliResult res = RunTool({r.params, r.table, result});
        EXPECT_EQ(res.status, 0) << r.name;
        EXPECT_EQ(res.out, TempDir::ReadFile(dir + r.name + ".stdout")) << r.name;
        EXPECT_EQ(TempDir::ReadFile(result), TempDir::ReadFile(dir + r.name + ".result")) << r.name;
    }
    // And the reports still mean what they say: the example's fit finds the radii and the
    // inclination its light curve was made with (rsun 0.115, rplanet 0.0138, 86.8°).
    std::istringstream report(TempDir::ReadFile(tmp.path() + "/hotjupiter.result"));
    std::string line;
    int found = 0;
    while (std::getline(report, line)) {
        std::istringstream fields(line);
        std::string name;
        double value = 0.0;
        if (!(fields >> name >> value)) continue;
        if (name == "inclination") {
            EXPECT_NEAR(value, 86.8, 0.3);
            ++found;
        }
        if (name == "rsun") {
            EXPECT_NEAR(value, 0.115, 0.004);
            ++found;
        }
        if (name == "rplanet") {
            EXPECT_NEAR(value, 0.0138, 0.0004);
            ++found;
        }
    }
    EXPECT_EQ(found, 3);
}
