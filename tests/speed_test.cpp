// The fast design set against the straightforward one: per-point sets against the separate
// occultation functions, the solver and the separation against their plain forms, design arrays
// against a plain evaluation kept here, any thread count against one, and the tool's full
// reports against reports made before the speed work.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "lustre.h"
#include "optimize.h"
#include "test_util.h"

namespace {

using Fn = long double (*)(long double, long double);

// Equal in all 80 bits, the sign of a zero and NaNs included.
bool Bits(long double a, long double b) { return std::memcmp(&a, &b, 10) == 0; }

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
    int newton = 0, bisection = 0;
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
    while (newton < kKeplerMaxPasses) {
        ++newton;
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
            ++bisection;
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
        } while (std::fabs((x1 - x2) / x2) > 0x1p-63L && bisection < kKeplerMaxPasses);
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
    long double delta, g[4];
    DeltaEccentric_omega_ci_d((t / period + t / period) * kPi - par[0], par[1], par[2], par[3],
                              &delta, g, g + 1, g + 2, g + 3);
    return delta;
}

struct Geometry {
    long double par[6];
    long double period;
    std::vector<long double> data;
};

// Times over two orbits, densely through the transit, and placed by bisection at separations a
// hair inside and outside first and last contact, where the screen must hand the point on.
// Planets with r = ρ, r = 1 and r > 1 are included; kind % 3 == 0 is circular, kind % 4 == 1
// edge-on.
Geometry MakeGeometry(std::mt19937_64& gen, int kind) {
    std::uniform_real_distribution<double> U(0.0, 1.0);
    Geometry g;
    g.period = 2.0L + 3 * U(gen);
    g.par[1] = kind % 3 == 0 ? 0.0L : 0.9L * U(gen);
    g.par[2] = 2 * kPi * U(gen);
    g.par[3] = kind % 4 == 1 ? 0.0L : 0.01L * U(gen);
    g.par[4] = 0.05L + 0.25L * U(gen);
    const long double ratio[] = {0.1L, 1.0L, 1.5L, 0.02L};
    g.par[5] = g.par[4] * ratio[kind % 4] * (0.8L + 0.4L * U(gen));
    const long double tmid = g.period * U(gen);
    g.par[0] = phase_parameter(tmid, g.period, g.par);
    const long double window = 0.3L * g.period * (g.par[4] + g.par[5]);
    auto add = [&](long double t) { g.data.insert(g.data.end(), {t, 1.0L, 0.001L}); };
    for (int k = 0; k < 40; ++k) add(tmid - g.period + 2 * g.period * U(gen));
    for (int k = 0; k < 40; ++k) add(tmid - window + 2 * window * U(gen));
    const long double contact = g.par[4] + g.par[5], inner = std::fabs(g.par[4] - g.par[5]);
    for (long double side : {-1.0L, 1.0L}) {
        const long double far = tmid + side * g.period / 4;
        if (SeparationOverR(g.par, g.period, far) <= contact) continue;
        if (SeparationOverR(g.par, g.period, tmid) >= inner) continue;
        for (long double eps : {0.0L, 1e-15L, 1e-9L, 0x1p-20L, 1e-5L, -1e-15L, -1e-9L}) {
            for (long double target : {contact * (1 + eps), inner * (1 + eps)}) {
                // Bisection from tmid, where the separation is least; the earlier time is kept.
                long double near = tmid, out = far;
                for (long double mid; (mid = near + (out - near) / 2) != near && mid != out;)
                    (SeparationOverR(g.par, g.period, mid) > target ? out : near) = mid;
                add(side < 0 ? out : near);
            }
        }
    }
    return g;
}

// The fast design array against the plain one for every mask pair, equal to the last bit
// (zeros may differ in sign: -(-0·x)/R against a stored +0); the first differences are reported.
void CompareDesignSets(const Geometry& g, const std::vector<int>& parflags,
                       const std::vector<int>& ldflags) {
    const std::int64_t points = static_cast<std::int64_t>(g.data.size() / 3);
    int bad = 0;
    for (int ldflag : ldflags) {
        for (int parflag : parflags) {
            const FitCounts fc = count_fit(parflag, ldflag);
            std::vector<long double> fast(fc.len * points, -7.0L), plain(fc.len * points, -9.0L);
            der_set_norm_ci(fast.data(), g.data.data(), points, g.period, g.par, parflag, ldflag);
            PlainDesignSet(plain.data(), g.data.data(), points, g.period, g.par, parflag, ldflag);
            for (std::int64_t at = 0; at < fc.len * points && bad < 5; ++at) {
                if (Bits(fast[at], plain[at]) || (fast[at] == 0 && plain[at] == 0)) continue;
                ++bad;
                ADD_FAILURE() << "φ0, e, ω, cos² i, R, Rp, P"
                              << Show({g.par[0], g.par[1], g.par[2], g.par[3], g.par[4], g.par[5],
                                       g.period})
                              << " parflag " << parflag << " ldflag " << ldflag << " t"
                              << Show({g.data[3 * (at / fc.len)]}) << " entry " << at % fc.len
                              << ":" << Show({fast[at], plain[at]});
            }
        }
    }
}

}  // namespace

// Contacts (δ + r = 1, |δ - r| = 1), r = δ, δ = 0, the constant of L1 at (½, ½), and their
// neighbours: every number of a set equals its separate function to the bit, the sign of a
// zero included.
TEST(PerPointSets, EqualTheSeparateFunctions) {
    std::vector<std::pair<long double, long double>> cases = {
        {-0.25L, 0.1L}, {0.5L, 0.0L}, {0.5L, -0.1L}};
    for (long double r : {0.1L, 0.5L, 0.75L, 1.0L, 1.3L, 0.013L}) {
        for (long double delta : {1 - r, 1 + r, r - 1, r, 0.0L, r / 2, 0.5L + r / 3}) {
            if (delta < 0) continue;
            cases.push_back({delta, r});
            cases.push_back({nextafterl(delta, 3.0L), r});
            if (delta > 0) cases.push_back({nextafterl(delta, -1.0L), r});
        }
    }
    std::mt19937_64 gen(7);
    std::uniform_real_distribution<double> U(0.0, 1.0);
    for (int k = 0; k < 200; ++k) {
        const long double r = k % 2 ? 0.3L * U(gen) : 2.0L * U(gen);
        cases.push_back({(1 + r) * 1.2L * U(gen), r});
    }
    for (const auto& [delta, r] : cases) {
        OccultTerm l0, l2;
        L0L2Set(delta, r, &l0, &l2);
        const OccultTerm sets[4] = {l0, L1Set(delta, r), l2, L3Set(delta, r)};
        const Fn fns[4][3] = {
            {L0, D1L0, D2L0}, {L1, D1L1, D2L1}, {L2, D1L2, D2L2}, {L3, D1L3, D2L3}};
        for (int t = 0; t < 4; ++t) {
            const long double got[3] = {sets[t].value, sets[t].d1, sets[t].d2};
            for (int k = 0; k < 3; ++k)
                EXPECT_TRUE(Bits(got[k], fns[t][k](delta, r)))
                    << "term " << t << " value " << k << " at δ, r"
                    << Show({delta, r, got[k], fns[t][k](delta, r)});
        }
    }
}

// The solver decides the start from the position of x/2 between multiples of π and skips the
// sincosl of an unchanged iterate: the same roots, over all eccentricities (negative, 0, 1,
// beyond), far-off epochs and mean anomalies on and next to the multiples of π. The separation
// reuses the solver's sine and cosine of E, which must be those sincosl gives: over circular,
// eccentric, nearly parabolic and negative-eccentricity orbits and far-off epochs.
TEST(PerPointSets, KeplerAndSeparationEqualTheirPlainForms) {
    std::mt19937_64 gen(5);
    std::uniform_real_distribution<double> U(0.0, 1.0);
    std::vector<std::pair<long double, long double>> cases;
    for (long double e : {0.0L, 0.3L, -0.3L, 0.9L, 1.0L, -1.0L, 1.5L})
        for (int k = -4; k <= 4; ++k)
            for (long double x : {k * kPi, k * kPi / 2, k * 2 * kPi + 1e-17L, k * 2 * kPi - 1e-12L,
                                  nextafterl(k * kPi, 100.0L), 1e13L + k})
                cases.push_back({x, e});
    for (int k = 0; k < 3000; ++k)
        cases.push_back({(U(gen) - 0.5) * (k % 3 ? 100.0L : 1e8L), k % 4 ? U(gen) : 0.0L});
    for (const auto& [x, e] : cases)
        EXPECT_TRUE(Bits(Kepler(x, e), PlainKepler(x, e))) << "x, e" << Show({x, e});
    for (int k = 0; k < 3000; ++k) {
        const long double M = (U(gen) - 0.5) * (k % 7 == 0 ? 1e7L : 2000.0L);
        long double e = k % 5 == 0 ? 0.0L : (k % 5 == 1 ? 0.999999L * U(gen) : 0.95L * U(gen));
        if (k % 11 == 0) e = -e;
        const long double omega = 7 * U(gen), ci = 0.01L * U(gen);
        long double got[5], want[5];
        EXPECT_EQ(
            DeltaEccentric_omega_ci_d(M, e, omega, ci, got, got + 1, got + 2, got + 3, got + 4),
            PlainSeparation(M, e, omega, ci, want, want + 1, want + 2, want + 3, want + 4));
        for (int j = 0; j < 5; ++j)
            EXPECT_TRUE(Bits(got[j], want[j])) << "M, e" << Show({M, e}) << " output " << j;
    }
}

// Eccentric and circular orbits, edge-on ones, planets smaller than, as large as and larger
// than the star, points at and next to the contacts, every mask combination of the terms and a
// spread of parameter masks; and parameter vectors the screen must not judge: e = 1 and R = 0
// (evaluated just inside), a negative planet radius, a face-on orbit, not-a-number parameters.
TEST(DesignSetSpeed, EqualsTheStraightforwardEvaluation) {
    set_design_threads(2);
    std::mt19937_64 gen(2024);
    for (int kind = 0; kind < 8; ++kind)
        CompareDesignSets(MakeGeometry(gen, kind), {63, 0, 48, 6},
                          {1, 3, 5, 7, 9, 15, 2, 6, 14, 17});
    const Geometry base = MakeGeometry(gen, 1);
    const long double nan = std::nanl("");
    const std::pair<int, long double> changes[] = {{1, 1.0L}, {4, 0.0L}, {5, -0.01L}, {3, 1.0L},
                                                   {1, nan},  {5, nan},  {0, nan}};
    for (const auto& [slot, value] : changes) {
        Geometry g = base;
        g.par[slot] = value;
        CompareDesignSets(g, {63}, {15});
    }
    set_design_threads(0);
}

// The points are shared among threads; the arrays and every sum over them come out the same.
TEST(DesignSetSpeed, ThreadCountChangesNoBit) {
    std::vector<long double> data;
    const long double period = 3.0L;
    const std::int64_t points = 9000;
    for (int i = 0; i < points; ++i) {
        const long double t = i * (2.0L / 1440);
        const long double dip = std::fabs(std::remainder(t - 1.5L, period)) < 0.06L ? 0.01L : 0.0L;
        data.insert(data.end(), {t, 1.0L - dip + 1e-4L * std::sin(7.0L * i), 3e-4L});
    }
    long double par0[6] = {0.0L, 0.05L, 1.3L, 0.002L, 0.15L, 0.015L};
    par0[0] = phase_parameter(1.5L, period, par0);
    const FitCounts fc = count_fit(63, 15);
    auto run = [&](int threads) {
        set_design_threads(threads);
        std::vector<long double> out(fc.len * points + 3 + 2 + 6);  // array, linf, res, step, par
        long double* r = out.data() + fc.len * points;
        std::copy(par0, par0 + 6, r + 5);
        der_set_norm_ci(out.data(), data.data(), points, period, r + 5, 63, 15);
        fitted_lin(r, data.data(), out.data(), points, 63, 15);
        r[3] = residual(out.data(), data.data(), points, 63, 15);
        r[4] = lm_step(out.data(), data.data(), points, r + 5, 63, 15, 0.01L);
        return out;
    };
    const std::vector<long double> one = run(1);
    for (int threads : {2, 3, 5}) {
        const std::vector<long double> many = run(threads);
        for (std::size_t k = 0; k < one.size(); ++k)
            if (!Bits(one[k], many[k])) {
                ADD_FAILURE() << threads << " threads, entry " << k << Show({one[k], many[k]});
                break;
            }
    }
    set_design_threads(0);
}

// Whole runs of the tool, byte for byte against the reports it printed before the speed work
// (tests/data/speed/*.stdout, *.result): all four terms with every parameter fitted on an
// eccentric orbit, the square-root term alone, a ground-based transit in full BJD, the example.
// And the reports still mean what they say: the example's fit finds the radii and the
// inclination its light curve was made with (rsun 0.115, rplanet 0.0138, 86.8°).
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
    std::string absent;  // a run on data beside the checkout, which a user's clone lacks
    for (const auto& r : runs) {
        if (std::FILE* f = std::fopen(r.table.c_str(), "r")) {
            std::fclose(f);
        } else {
            absent = r.table;
            continue;
        }
        const std::string result = tmp.path() + "/" + r.name + ".result";
        const CliResult res = RunTool({r.params, r.table, result});
        EXPECT_EQ(res.status, 0) << r.name;
        // The reports to the byte; the quote that follows them begins with its convergence line.
        const auto report_of = [](const std::string& out) {
            return out.substr(0, out.find("\nconvergence  "));
        };
        EXPECT_EQ(report_of(res.out), TempDir::ReadFile(dir + r.name + ".stdout")) << r.name;
        EXPECT_EQ(report_of(TempDir::ReadFile(result)), TempDir::ReadFile(dir + r.name + ".result"))
            << r.name;
    }
    const std::string report = tmp.Read("hotjupiter.result");
    EXPECT_NEAR(double(ReportValue(report, "inclination ")), 86.8, 0.3);
    EXPECT_NEAR(double(ReportValue(report, "rsun ")), 0.115, 0.004);
    EXPECT_NEAR(double(ReportValue(report, "rplanet ")), 0.0138, 0.0004);
    if (!absent.empty()) GTEST_SKIP() << "the other runs passed; no data at " << absent;
}
