// The fit's mathematics in process: every design-array entry (at the time and over an exposure,
// with and without the period) against central differences of the model flux, the design array
// finite for any parameters the fit can reach, noise-free light curves fitted back to their
// inputs by the Driver's loop (with a zero-point, trends and held law coefficients), the
// reported uncertainties against an independent propagation, the period against an independent
// model, the orientation of ω, derived quantities, exposures and correlated noise.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "algebra.h"
#include "driver.h"
#include "lustre.h"
#include "optimize.h"
#include "rednoise.h"
#include "report.h"
#include "test_util.h"

namespace {

constexpr long double kPeriod = 3.0L, kT = 1.2L;  // the orbits' period and time of mid-transit
constexpr long double kX = 0.0204335L;            // an exposure of Kepler's long cadence [d]
using Params = std::array<long double, 6>;        // φ0, e, ω [rad], cos² i, rsun, rplanet
using Vec = std::vector<long double>;
const Vec kLaw = {0.4L, 0.25L};  // the two law coefficients of the synthetic curves

// An orbit as a user states it, angles in degrees, with its transit at `t`.
Params Orbit(long double e, long double omega_deg, long double inc_deg, long double rsun,
             long double rplanet, long double t = kT, long double period = kPeriod) {
    const long double c = cosl(inc_deg * kPi / 180);
    Params p{0, e, omega_deg * kPi / 180, c * c, rsun, rplanet};
    p[0] = phase_parameter(t, period, p.data());
    return p;
}

// `times` and then `count` times spread evenly over [from, to].
Vec Spread(Vec times, long double from, long double to, int count) {
    for (int i = 0; i < count; ++i) times.push_back(from + (to - from) * i / (count - 1));
    return times;
}
// Two transits, 0.3 d on either side of mid-transit.
const Vec kTwoTransits =
    Spread(Spread({}, kT - 0.3L, kT + 0.3L, 600), kT + kPeriod - 0.3L, kT + kPeriod + 0.3L, 600);

// Observations at `times` with flux 1 and uncertainty `sigma`.
Vec Observations(const Vec& times, long double sigma = 1) {
    Vec data;
    for (long double t : times) data.insert(data.end(), {t, 1.0L, sigma});
    return data;
}

Vec Design(const Params& p, const Vec& times, int parflag, int ldflag, long double exposure = 0,
           long double period = kPeriod) {
    const Vec data = Observations(times);
    Vec lset(times.size() * count_fit(parflag, ldflag).len);
    der_set_norm_ci_exposure(lset.data(), data.data(), times.size(), period, p.data(), parflag,
                             ldflag, exposure);
    return lset;
}

// x = δ/R at time t as the design set sees it (behind the star: infinite).
long double CentreDistance(const Params& p, long double t) {
    long double d, g[4];
    return DeltaEccentric_omega_ci_d(2 * kPi * t / kPeriod - p[0], p[1], p[2], p[3], &d, g, g + 1,
                                     g + 2, g + 3)
               ? d / p[4]
               : INFINITY;
}

// The rows of numbers of the table tests/data/`name`, its comment lines (#) left out.
std::vector<Vec> Table(const std::string& name) {
    std::istringstream in(TempDir::ReadFile(SOURCE_DIR "/tests/data/" + name));
    std::vector<Vec> rows;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream words(line);
        rows.emplace_back();
        for (long double v; words >> v;) rows.back().push_back(v);
    }
    return rows;
}

// Times around mid-transit, three in each zone (inside, crossing, outside), spread over the
// zone, each further than `margin` (in stellar radii) from every case boundary of the
// occultation terms: x = 0, x = ρ, x = 1 - ρ, x = 1 + ρ.
Vec TransitTimes(const Params& p, long double margin) {
    const long double mmin = phmin_ci(p[1], p[2], p[3]), rho = p[5] / p[4];
    Vec zone[3], times;
    for (int j = -200; j <= 200; ++j) {
        const long double t = (mmin + 0.002L * j + 0.0007L + p[0]) * kPeriod / (2 * kPi);
        const long double x = CentreDistance(p, t);
        bool near = std::isinf(x);
        for (long double edge : {0.0L, rho, 1 - rho, 1 + rho}) near |= std::fabs(x - edge) < margin;
        if (!near) zone[x < 1 - rho ? 0 : x < 1 + rho ? 1 : 2].push_back(t);
    }
    for (const auto& z : zone)
        if (!z.empty()) times.insert(times.end(), {z.front(), z[z.size() / 2], z.back()});
    return times;
}

}  // namespace

// The analytic entries against five-point central differences of the basis values (row 0 of
// the design array with all four terms) in each parameter, on circular and eccentric orbits,
// with the planet over the stellar centre at mid-transit or not: points inside, crossing and out
// of transit, 0.01 from every case boundary; steps 2^-20 (φ0, e, ω), 2^-20 relative (radii) and
// 2^-12 relative for cos² i (2^-20 of a cos² i near 1e-6 would leave the rounding of δ over a
// step of 1e-12). A step moves x by ~1e-5, so the O(h⁴) truncation is ~(1e-5/1e-2)⁴ = 1e-12 of
// the entry and the rounding over h ~1e-12: the tolerance, 1e-8 of |entry| + 1e-3 (worst seen
// 5e-10), holds both, while a lost factor, a wrong sign or a row or term out of place misses by
// O(1). Masks without some terms or parameters give the same entries in their own places. (The
// rows over an exposure: the window means below.)
TEST(DesignSet, EveryEntryMatchesCentralDifferences) {
    const Params cases[] = {
        Orbit(0.0L, 90, 87.0L, 0.1L, 0.012L),    // b = 0.52
        Orbit(0.0L, 90, 89.9L, 0.08L, 0.024L),   // ρ = 0.3, central
        Orbit(0.3L, 40, 88.0L, 0.1L, 0.012L),    // past apastron
        Orbit(0.5L, 250, 89.5L, 0.06L, 0.015L),  // near periastron
    };
    const int masks[][2] = {{63, 15}, {63, 5},          {63, 9},    {48, 15},
                            {48, 3},  {1 | 8 | 32, 13}, {2 | 4, 11}};
    for (const Params& p : cases) {
        SCOPED_TRACE("e, ω, cos² i" + Show({p[1], p[2], p[3]}));
        const Vec times = TransitTimes(p, 0.01L);
        ASSERT_EQ(times.size(), 9u);  // three in each zone
        const Vec value = Design(p, times, 0, 15);
        Vec fd[6];  // fd[j][4·i + term]: ∂B_term/∂p_j at point i
        for (int j = 0; j < 6; ++j)
            fd[j] = FivePoint(
                [&](long double x) {
                    Params q = p;
                    q[j] += x;
                    return Design(q, times, 0, 15);
                },
                j == 3  ? p[3] * 0x1p-12L
                : j > 3 ? p[j] * 0x1p-20L
                        : 0x1p-20L);
        for (const auto& [parflag, ldflag] : masks) {
            const FitCounts fc = count_fit(parflag, ldflag);
            const Vec lset = Design(p, times, parflag, ldflag);
            std::vector<int> term{0}, param;
            for (int b = 1; b < 4; ++b)
                if (ldflag & (1 << b)) term.push_back(b);
            for (int j = 0; j < 6; ++j)
                if (parflag & (1 << j)) param.push_back(j);
            for (std::size_t i = 0; i < times.size(); ++i)
                for (int k = 0; k < fc.ldnum; ++k) {
                    const long double* block = &lset[i * fc.len];
                    EXPECT_EQ(block[k], value[4 * i + term[k]]) << "point " << i << " " << ldflag;
                    for (int r = 0; r < fc.parnum; ++r) {
                        const long double got = block[(r + 1) * fc.ldnum + k],
                                          want = fd[param[r]][4 * i + term[k]];
                        EXPECT_LE(std::fabs(got - want) / (std::fabs(want) + 1e-3L), 1e-8L)
                            << "point " << i << " parameter " << param[r] << " term " << term[k]
                            << Show({got, want});
                    }
                }
        }
    }
}

// With the period fitted the time rows are ∂B/∂T_n, T_n the time of mid-transit at epoch n,
// and ∂B/∂P at fixed T_n: both against five-point differences of the value rows, at points of
// the transits of epochs 0 and 40, held at epochs 0, 7 and -3, at the time and integrated over
// an exposure of 0.01 (the period row is integrated like the others); every other row is the
// six-parameter array's, bit for bit. Steps move M by ~1e-6 (T) and by up to ~5e-6 (P, at 40
// periods from T_n); the points are 0.01 in x from every case boundary, as above.
TEST(DesignSet, PeriodRowsMatchCentralDifferences) {
    const int masks[] = {63 | kFitPeriod, 1 | 8 | 16 | 32 | kFitPeriod, kFitPeriod, 2 | kFitPeriod};
    for (const Params& p :
         {Orbit(0.0L, 90, 87.0L, 0.1L, 0.012L), Orbit(0.3L, 40, 88.0L, 0.1L, 0.012L)}) {
        Vec times = TransitTimes(p, 0.01L);
        for (std::size_t i = 0, n = times.size(); i < n; ++i)
            times.push_back(times[i] + 40 * kPeriod);
        const Vec data = Observations(times);
        const std::int64_t points = times.size();
        const long double mmin = phmin_ci(p[1], p[2], p[3]);
        for (const auto& [epoch, exposure] :
             {std::pair{0.0L, 0.0L}, {7.0L, 0.0L}, {-3.0L, 0.0L}, {7.0L, 0.01L}}) {
            const long double tn = mid_transit_time(p.data(), kPeriod) + epoch * kPeriod;
            const auto values = [&](long double dt, long double dp) {  // T_n, P moved by dt, dp
                Params q = p;
                const long double P = kPeriod + dp;
                q[0] = (2 * kPi * (tn + dt - epoch * P)) / P - mmin;
                Vec v(4 * points);
                der_set_norm_ci_exposure(v.data(), data.data(), points, P, q.data(), 0, 15,
                                         exposure);
                return v;
            };
            const Vec dt = FivePoint([&](long double x) { return values(x, 0); }, 0x1p-21L),
                      dp = FivePoint([&](long double x) { return values(0, x); }, 0x1p-24L);
            for (int mask : masks) {
                const FitCounts fc = count_fit_period(mask, 15);
                const int rows6 = count_fit(mask, 15).parnum;
                Vec lset(points * fc.len), six(points * 4 * (rows6 + 1));
                der_set_period(lset.data(), data.data(), points, kPeriod, p.data(), mask, 15, epoch,
                               exposure);
                der_set_norm_ci_exposure(six.data(), data.data(), points, kPeriod, p.data(),
                                         mask & 63, 15, exposure);
                for (std::int64_t i = 0; i < points; ++i)
                    for (int k = 0; k < 4; ++k) {
                        const long double* block = &lset[i * fc.len];
                        for (int r = (mask & 1) ? 2 : 1; r <= rows6; ++r)  // after the T_n row
                            EXPECT_EQ(block[r * 4 + k], six[i * 4 * (rows6 + 1) + r * 4 + k]);
                        EXPECT_EQ(block[k], six[i * 4 * (rows6 + 1) + k]);  // the values
                        for (const auto& [row, want] : {std::pair{mask & 1 ? 1 : -1, dt[4 * i + k]},
                                                        {rows6 + 1, dp[4 * i + k]}}) {
                            if (row < 0) continue;
                            EXPECT_LE(
                                std::fabs(block[row * 4 + k] - want) / (std::fabs(want) + 1e-3L),
                                1e-8L)
                                << "row " << row << " mask " << mask << " epoch " << double(epoch)
                                << " point " << i << " term " << k;
                        }
                    }
            }
        }
    }
}

// Property test: every entry of the design array - values and derivatives of all four basis
// terms by all six parameters - is a finite number, at points of every kind (behind the star,
// beyond the contacts, crossing the limb, inside, exactly central), for parameter vectors in the
// fit's ranges (e and cos² i in [0, 1], radii in [0, 1] with the reset values of the step, any
// ω), often at their edges, with the transit at t = 0 of a period-1 orbit, and 51 times: across
// the transit on the scale of its duration, at random phases, at and next to periastron (where
// e → 1 is most violent) and 1e9 periods on; behind the star every point is an unocculted star.
// The first draw is exactly central: edge-on, circular, at the conjunction, where δ = 0 and the
// separation's derivatives are 0/0 (a kink of δ = r·|cos u|).
TEST(DesignSet, FiniteAtEveryKindOfPoint) {
    std::mt19937_64 rng(20261207);
    // One of `choices` with probability `pick`, else uniform (or log-uniform) in [lo, hi].
    const auto draw = [&](double pick, Vec choices, long double lo, long double hi, bool log) {
        if (std::bernoulli_distribution(pick)(rng))
            return choices[std::uniform_int_distribution<std::size_t>(0, choices.size() - 1)(rng)];
        const long double u = std::uniform_real_distribution<double>(0, 1)(rng);
        return log ? expl(logl(lo) + (logl(hi) - logl(lo)) * u) : lo + (hi - lo) * u;
    };
    const FitCounts fc = count_fit(63, 15);
    for (int trial = 0; trial < 300; ++trial) {
        long double p[6] = {
            0, draw(0.4, {0, 1, nextafterl(1, 0), 0.5L, 0.999999L}, 0, 1, false),
            draw(0.3, {0, kPi / 2, kPi, 3 * kPi / 2, -kPi / 2, 7}, -2 * kPi, 2 * kPi, false),
            draw(0.3, {0, 1, 1e-30L, 0.999999L, 0.5L}, 1e-8L, 1, true),
            draw(0.3, {0, 0x1p-64L, 1e-12L, 1, 0.09L, 0.08999999999999999666L}, 1e-6L, 1, true)};
        const long double R = p[4];
        p[5] = draw(0.4, {0, 1, 0.008999999999999999319988397L, 1e-30L, R / 2, R, 2 * R, R / 10},
                    1e-8L, 1, true);
        p[0] = phase_parameter(0.0L, 1.0L, p);
        if (std::isnan(p[0])) p[0] = -3 * kPi / 2;
        const long double span = (std::fmax(p[4], 1e-9L) + p[5]) / kPi;  // a transit, circular
        Vec times = Spread({}, -16 * span / 12, 15 * span / 12, 32);
        for (int i = 0; i < 12; ++i) times.push_back(draw(0, {}, -0.5L, 0.5L, false));
        for (long double dm : {0.0L, 1e-9L, -1e-15L}) times.push_back((p[0] + dm) / (2 * kPi));
        times = Spread(times, 1e9L - span, 1e9L + span / 2, 4);
        if (trial == 0) {  // exactly central
            const long double central[6] = {-3 * kPi / 2, 0.0L, 0.0L, 0.0L, 0.1L, 0.01L};
            std::copy(central, central + 6, p);
            times[0] = 0.0L;
        }
        const Vec data = Observations(times, 1e-3L);
        Vec lset(fc.len * times.size());
        der_set_norm_ci(lset.data(), data.data(), times.size(), 1.0L, p, 63, 15);
        for (std::size_t i = 0; i < times.size(); ++i) {
            SCOPED_TRACE("φ0, e, ω, cos² i, rsun, rplanet, t" +
                         Show({p[0], p[1], p[2], p[3], p[4], p[5], times[i]}));
            long double delta, g[4];  // behind the star by the separation the model sees
            const bool behind = !DeltaEccentric_omega_ci_d(
                2 * times[i] * kPi - p[0], p[1] == 1 ? nextafterl(1, 0) : p[1], p[2], p[3], &delta,
                g, g + 1, g + 2, g + 3);
            for (int k = 0; k < fc.len; ++k) {
                const long double v = lset[i * fc.len + k];
                ASSERT_TRUE(std::isfinite(v)) << "entry " << k << " = " << double(v);
                EXPECT_TRUE(!behind || v == (k == 0 ? 1.0L : 0.0L)) << "entry " << k << ", behind";
            }
        }
    }
}

// Every entry of the integrated design array against the window means of
// tests/data/window_means.txt, over 31 windows spread across the transit and beyond it: a hot
// Jupiter at Kepler long cadence (windows holding one or two contacts, or none), a grazing
// transit, an eccentric orbit, a window longer than the whole transit (all four contacts
// inside), the square-root term, a large planet, a near-central transit (a window whose start
// lies just before the second contact, with the first within reach beyond it: an overshoot there
// would end next to a contact), and a transit 487 turns on (four years of a 3-day period). The
// file's means come from an independent integration (the file says how). Values to 1e-12
// absolute, derivative rows to 1e-6 of |entry| + 1.
TEST(Exposure, WindowMeansMatchTheStoredIntegration) {
    const std::vector<Vec> rows = Table("window_means.txt");
    ASSERT_EQ(rows.size(), 8u * 32);
    for (std::size_t r = 0; r < rows.size(); r += 32) {
        const Vec& c = rows[r];  // e, ω, i, rsun, rplanet, turns, X, ldflag
        SCOPED_TRACE("case " + std::to_string(r / 32 + 1) + " of window_means.txt");
        Params p = Orbit(c[0], c[1], c[2], c[3], c[4]);
        p[0] += c[5] * (2 * kPi);
        const int ldflag = int(c[7]), len = count_fit(63, ldflag).len;
        Vec times;
        for (int i = 1; i <= 31; ++i) times.push_back(rows[r + i][0]);
        const Vec got = Design(p, times, 63, ldflag, c[6]);
        for (int i = 0; i < 31 * len; ++i) {
            const long double want = rows[r + 1 + i / len].at(1 + i % len);
            EXPECT_LE(std::fabs(got[i] - want),
                      i % len < count_fit(0, ldflag).ldnum ? 1e-12L : 1e-6L * (std::fabs(want) + 1))
                << " t " << double(times[i / len]) << " entry " << i % len << Show({got[i], want});
        }
    }
}

// ---- fits of synthetic light curves -------------------------------------------------------

namespace {

// The normalised coefficients c_k = u_k / S of the law u (terms of `ldflag`, in the order lin,
// quad, sqrt), S = π + Σ w_b·u_b the disc-integrated intensity: the disc integrals of -(1 - μ),
// -(1 - μ)² and -(1 - √μ) are w = -π/3, -π/6 and -π/5.
Vec Normalised(int ldflag, const Vec& u) {
    const long double weight[3] = {-kPi / 3, -kPi / 6, -kPi / 5};
    long double S = kPi;
    for (int b = 0, k = 0; b < 3; ++b)
        if (ldflag & (2 << b)) S += weight[b] * u[k++];
    Vec c;
    for (long double v : u) c.push_back(v / S);
    return c;
}

// Observations of the model `truth` with law coefficients `u` at `times` (each the mean over
// `exposure` when it is given) and uncertainty σ, noise-free.
Vec LightCurve(const Params& truth, const Vec& times, int ldflag, const Vec& u, long double sigma,
               long double exposure = 0) {
    const int ldnum = count_fit(0, ldflag).ldnum;
    const Vec c = Normalised(ldflag, u), basis = Design(truth, times, 0, ldflag, exposure);
    Vec data = Observations(times, sigma);
    for (std::size_t i = 0; i < times.size(); ++i) {
        long double flux = basis[i * ldnum];
        for (int k = 1; k < ldnum; ++k) flux += c[k - 1] * basis[i * ldnum + k];
        data[3 * i + 1] = flux;
    }
    return data;
}

// The baselines of the linear model's curves: a zero-point kF0 (1), or a straight line per
// transit (2), of zero-point kF0 on average.
constexpr long double kF0 = 0.9997L;
const long double kLine[2][2] = {{kF0 - 0.0011L, 0.0013L}, {kF0 + 0.0011L, -0.0009L}};
Vec Baselined(Vec data, int baseline) {
    for (std::size_t i = 0; baseline > 0 && i < data.size() / 3; ++i) {
        const int w = data[3 * i] > kT + kPeriod / 2;
        data[3 * i + 1] *=
            baseline == 1 ? kF0 : kLine[w][0] + kLine[w][1] * (data[3 * i] - kT - w * kPeriod);
    }
    return data;
}

LinearModel Model(bool zeropoint, int trend, int held = 0) {
    RunOptions o;
    o.zeropoint = zeropoint;
    o.trend = trend;
    o.held = held;
    o.held_value[0] = kLaw[0];
    o.held_value[1] = kLaw[1];
    return linear_model(o);
}

// A fit as the Driver's loop leaves it (damping 0.001, every point over one exposure, the period
// fitted from the reference epoch of the start) after `iterations` steps from `start`; 0: the
// start, solved. Its state holds the best set, designed and solved.
struct Fit {
    std::unique_ptr<FitProblem> problem;
    std::unique_ptr<FitState> s;
    Params best;
    long double period, epoch, chi2, level, ld[kMaxCoefficients];
    bool extended;
    FitUncertainties Unc(long double m) const { return s->Uncertainties(m); }
    FitCovariance Cov(long double m) const { return s->Covariance(m); }
    BestFit Best() const {
        return {problem->data,
                problem->points,
                period,
                s->par,
                s->lset.data(),
                problem->parflag,
                problem->ldflag,
                0.001L,
                extended ? &s->linear : nullptr,
                0};
    }
};

Fit RunFit(const Params& start, const Vec& data, int parflag, int ldflag, int iterations,
           long double exposure = 0, const LinearModel& linear = {}, long double period = kPeriod) {
    auto problem = std::make_unique<FitProblem>();
    problem->data = data.data();
    problem->points = static_cast<std::int64_t>(data.size() / 3);
    problem->parts = {DataPart{0, problem->points, exposure, "", ""}};
    problem->parflag = parflag;
    problem->ldflag = ldflag;
    problem->lambda = 0.001L;
    problem->linear = linear;
    if (parflag & kFitPeriod)
        problem->epoch = reference_epoch(data.data(), problem->points, period, start.data());
    auto s = std::make_unique<FitState>(*problem, start.data(), period);
    s->Design();
    fit_loop(s.get(), iterations, false);
    Fit f{nullptr,        nullptr,    {}, s->period,    problem->epoch,
          s->ChiSquare(), s->Level(), {}, s->Extended()};
    std::copy(s->par, s->par + 6, f.best.begin());
    s->LawCoefficients(f.ld);
    f.problem = std::move(problem);
    f.s = std::move(s);
    return f;
}

// The point of the derived quantities: the parameters, the period, the basis coefficients c.
FitPoint Point(const Params& p, const Vec& c, int ldflag, long double period = kPeriod) {
    FitPoint at{};
    std::copy(p.begin(), p.end(), at.params);
    std::copy(c.begin(), c.end(), at.linf);
    at.period = period;
    at.ldflag = ldflag;
    return at;
}

// G·N⁻¹·Gᵀ, nv×nv, for the normal matrix N = JᵀJ/σ² of the Jacobian columns J[a] (the model flux
// at every point by unknown a) and the gradients G[a] (the nv values by unknown a).
Vec Propagate(const std::vector<Vec>& J, const std::vector<Vec>& G, long double sigma) {
    const int nu = J.size(), nv = G[0].size();
    Vec N(nu * nu, 0.0L), y(nu), out(nv * nv, 0.0L);
    for (int a = 0; a < nu; ++a)
        for (int b = 0; b < nu; ++b)
            for (std::size_t i = 0; i < J[a].size(); ++i)
                N[a * nu + b] += J[a][i] * J[b][i] / (sigma * sigma);
    for (int s = 0; s < nv; ++s) {
        Vec g(nu);
        for (int a = 0; a < nu; ++a) g[a] = G[a][s];
        LinearSolve_L(N.data(), g.data(), y.data(), nu);
        for (int r = 0; r < nv; ++r)
            for (int a = 0; a < nu; ++a) out[r * nv + s] += G[a][r] * y[a];
    }
    return out;
}

}  // namespace

// Noise-free curves of two transits, made with known values and law coefficients, fitted from
// moved starting values by the Driver's loop: the fit comes back to the inputs, up to the
// rounding of the model (~1e-17 relative circular, ~2e-14 eccentric), through the phase
// parameter to the time of mid-transit, and with a baseline to its zero-point (the mean of each
// line over its window's points is its offset: τ is symmetric). The circular fit settles after
// ~15 steps; the eccentric one fits all six parameters, and as e, ω and the radii are nearly
// degenerate in a transit its steps wander before they settle (25 to 40 steps). The fit with
// trends, with a law coefficient held, with a zero-point and both held, and of a long-cadence
// curve with its exposure recover as the plain fit does (held coefficients exactly); a
// zero-point alone cannot follow lines, nor a fit without the exposure a long-cadence curve.
TEST(SyntheticFit, NoiseFreeCurvesRecoverTheirInputs) {
    const Params circ = Orbit(0.0L, 90, 87.0L, 0.1L, 0.012L),
                 ecc = Orbit(0.3L, 40, 88.0L, 0.1L, 0.012L);
    const Params move_circ = {0.005L, 0, 0, 0.0008L, 0.006L, -0.0007L},
                 move_ecc = {0.003L, 0.02L, 0.05L, 0.0003L, 0.003L, 0.0005L};
    const int circular = 1 | 8 | 16 | 32;
    const struct {
        const char* what;
        Params truth, moved;
        int parflag, iterations, baseline;
        LinearModel model;
        bool recovers;
        long double made, fitted;  // the exposures of the curve and of the fit
    } cases[] = {
        {"circular", circ, move_circ, circular, 30, 0, {}, true, 0, 0},
        {"eccentric", ecc, move_ecc, 63, 60, 0, {}, true, 0, 0},
        {"long cadence", circ, move_circ, circular, 30, 0, {}, true, kX, kX},
        {"long cadence as short", circ, move_circ, circular, 30, 0, {}, false, kX, 0},
        {"trend 1", circ, move_circ, circular, 30, 2, Model(false, 1), true, 0, 0},
        {"trend 1, quad held", circ, move_circ, circular, 30, 2, Model(false, 1, 4), true, 0, 0},
        {"zeropoint, both held", circ, move_circ, circular, 30, 1, Model(true, -1, 6), true, 0, 0},
        {"zeropoint on lines", circ, move_circ, circular, 30, 2, Model(true, -1), false, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Vec data =
            Baselined(LightCurve(c.truth, kTwoTransits, 7, kLaw, 1e-4L, c.made), c.baseline);
        Params start = c.truth;
        for (int j = 0; j < 6; ++j) start[j] += c.moved[j];
        const Fit fit = RunFit(start, data, c.parflag, 7, c.iterations, c.fitted, c.model);
        long double miss = 0;  // the largest relative miss of a fitted parameter
        for (int j = 0; j < 6; ++j)
            if (c.parflag & (1 << j))
                miss = std::fmax(miss, std::fabs(fit.best[j] / c.truth[j] - 1));
        if (!c.recovers) {
            EXPECT_GE(miss, 1e-6L);
            EXPECT_GE(fit.chi2, 0.05L);  // 0.08 seen without the exposure, 1.3 on lines
            continue;
        }
        EXPECT_LE(miss, 1e-10L);
        for (int j = 0; j < 6; ++j)
            EXPECT_TRUE((c.parflag & (1 << j)) || fit.best[j] == c.truth[j]) << j;
        EXPECT_LE(fit.chi2, 1e-18L);
        EXPECT_LE(std::fabs(mid_transit_time(fit.best.data(), kPeriod) - kT), 1e-10L * kPeriod);
        EXPECT_LE(std::fabs(fit.level - (c.baseline ? kF0 : 1)), 1e-12L) << Show({fit.level});
        for (int k = 0; k < 2; ++k) {
            EXPECT_LE(std::fabs(fit.ld[k] - kLaw[k]), 1e-10L) << "law " << k;
            EXPECT_TRUE(!(c.model.held & (2 << k)) || fit.ld[k] == kLaw[k]) << "law " << k;
        }
    }
}

// The whole propagation of the Driver's uncertainties against an independent one, at the true
// set of noise-free curves of σ 1e-10 (so low that the interval of the inclination maps
// linearly): the unknowns are the fitted parameters, the free law coefficients u (not the basis
// coefficients: the propagation does not depend on the choice) and the baseline's coefficients;
// the model, P_w(τ)·G with c = u/S, is formed here, its Jacobian and the gradients of every
// reported value (report_values, u, the mean level Σ P_i/N) by five-point differences, and N⁻¹
// solved here (steps 2^-20, 2^-20 relative for the radii, 2^-16 relative for cos² i, which
// keeps a grazing transit's points near the contact on one side of it, 2^-24 for the period).
// The lin+quad and lin+sqrt laws (whose weights are looked up by the term's bit), the law
// alone, e or ω or both fitted (their degree factors), a grazing transit, an exposure, the
// period with transits at epochs 0 and 40 (σ of the period, of tshift at epoch 0 and of T_n at
// the reference epoch 20, and their correlation), a zero-point, trends of degree 1 and 2, held
// terms. The differences are good to ~1e-12 and the conditioning of the six-parameter problem
// amplifies that to ~2e-7 (seen), so the tolerance is 1e-5 of σ_a·σ_b (the eccentric orbit with
// all seven unknowns over an exposure reaches 9e-5 and is left out);
// a wrong slope of the phase of least separation, a lost degree factor or a wrong term of the
// law gradient misses by far more. The Driver's 1σ are the roots of the diagonal; the
// covariance is scaled by the reduced chi-square when it exceeds 1 and only then (the
// inclination's half-width of cos² i ± σ doubles only up to O((σ/cos² i)²)); values not fitted
// and held coefficients get 0.
TEST(FitUncertainties, AgreeWithFiniteDifferencePropagation) {
    const long double sigma = 1e-10L;
    const Vec one = Spread({}, kT - 0.12L, kT + 0.12L, 400),
              far = Spread(one, kT + 40 * kPeriod - 0.12L, kT + 40 * kPeriod + 0.12L, 400);
    int cases = 0;
    for (const Vec& r : Table("fit_propagation.txt")) {
        SCOPED_TRACE("case " + std::to_string(++cases));
        const struct {
            Params p;
            int parflag, ldflag, baseline;
            LinearModel model;
            long double X;  // the exposure
        } c{Orbit(r[0], r[1], r[2], r[3], r[4]),
            int(r[5]),
            int(r[6]),
            int(r[7]),
            r[8] != 0 ? Model(r[9] != 0, int(r[10]), int(r[11])) : LinearModel{},
            r[12]};
        const Vec& times = c.baseline ? kTwoTransits : c.parflag & kFitPeriod ? far : one;
        const std::size_t n = times.size();
        const int D = c.model.degree + 1;
        std::vector<int> param, free;
        Vec x0, h;                   // the unknowns and their steps
        for (int j = 0; j < 7; ++j)  // slot 6: the period
            if (c.parflag & (j < 6 ? 1 << j : kFitPeriod)) {
                param.push_back(j);
                x0.push_back(j < 6 ? c.p[j] : kPeriod);
                h.push_back(j == 6   ? 0x1p-24L
                            : j == 3 ? c.p[3] * 0x1p-16L
                            : j > 3  ? c.p[j] * 0x1p-20L
                                     : 0x1p-20L);
            }
        for (int k = 0; k < 2; ++k)
            if (!(c.model.held & (2 << k))) {
                free.push_back(k);
                x0.push_back(kLaw[k]);
                h.push_back(0x1p-20L);
            }
        const std::size_t at_baseline = x0.size();
        for (int w = 0; w < c.baseline; ++w)
            for (int d = 0; d < D; ++d) {
                x0.push_back(c.baseline == 1 ? (d ? 0 : kF0) : d < 2 ? kLine[w][d] : 0);
                h.push_back(0x1p-20L);
            }
        const auto window = [&](std::size_t i) {
            return c.baseline == 2 && times[i] > kT + kPeriod / 2;
        };
        const auto baseline = [&](const Vec& x, std::size_t i) {
            long double P = c.baseline ? 0 : 1, power = 1;
            for (int d = 0; d < D; ++d, power *= times[i] - kT - window(i) * kPeriod)
                P += x[at_baseline + window(i) * D + d] * power;
            return P;
        };
        const auto unpack = [&](const Vec& x, Params* q, long double* P, Vec* u) {
            std::array<long double, 7> all;
            std::copy(c.p.begin(), c.p.end(), all.begin());
            all[6] = kPeriod;
            *u = kLaw;
            for (std::size_t a = 0; a < param.size(); ++a) all[param[a]] = x[a];
            for (std::size_t b = 0; b < free.size(); ++b) (*u)[free[b]] = x[param.size() + b];
            std::copy(all.begin(), all.begin() + 6, q->begin());
            *P = all[6];
        };
        const auto flux = [&](const Vec& x) {
            Params q;
            long double P;
            Vec u;
            unpack(x, &q, &P, &u);
            const Vec B = Design(q, times, 0, c.ldflag, c.X, P), cc = Normalised(c.ldflag, u);
            Vec F(n);
            for (std::size_t i = 0; i < n; ++i)
                F[i] = baseline(x, i) * (B[3 * i] + cc[0] * B[3 * i + 1] + cc[1] * B[3 * i + 2]);
            return F;
        };
        Vec data = Observations(times, sigma), F = flux(x0);  // the model at the true values
        for (std::size_t i = 0; i < n; ++i) data[3 * i + 1] = F[i];
        const Fit fit = RunFit(c.p, data, c.parflag, c.ldflag, 0, c.X, c.model);
        const FitCovariance cov = fit.Cov(0.0L);
        const int nc = cov.size();
        ASSERT_EQ(nc, int(param.size() + free.size()) + (c.baseline > 0));
        const auto reported = [&](const Vec& x) {  // in the order of cov.quantities
            Params q;
            long double P, shown[6], level = 0;
            Vec u, r;
            unpack(x, &q, &P, &u);
            report_values(q.data(), P, shown);
            for (std::size_t i = 0; i < n; ++i) level += baseline(x, i) / n;
            for (const FittedQuantity& f : cov.quantities)
                r.push_back(f.kind == FittedQuantity::kParameter ? f.index < 6 ? shown[f.index] : P
                            : f.kind == FittedQuantity::kCoefficient ? u[f.index]
                                                                     : level);
            r.resize(nc + (c.baseline ? 0 : kDerivedCount));  // the derived quantities
            if (!c.baseline) derived_values(Point(q, Normalised(c.ldflag, u), c.ldflag, P), &r[nc]);
            if (c.parflag & kFitPeriod) r.push_back(shown[0] + fit.epoch * P);  // T_n
            return r;
        };
        std::vector<Vec> J, G;
        for (std::size_t a = 0; a < x0.size(); ++a) {
            const auto along = [&](auto f) {
                return [&, f](long double t) {
                    Vec x = x0;
                    x[a] += t;
                    return f(x);
                };
            };
            J.push_back(FivePoint(along(flux), h[a]));
            // 16 times the step for the parameters: the time of mid-transit, from the phase of
            // least separation, is good to a few ulps.
            G.push_back(FivePoint(along(reported), a < param.size() ? 16 * h[a] : h[a]));
        }
        const Vec want = Propagate(J, G, sigma);
        const int nv = G[0].size();
        const FitUncertainties got = fit.Unc(0.0L), small = fit.Unc(0.25L), four = fit.Unc(4.0L);
        const Vec corr = correlation_matrix(cov.reported, nc);
        const auto sigma_of = [&](const FitUncertainties& u, const FittedQuantity& f) {
            return f.kind == FittedQuantity::kParameter ? f.index < 6 ? u.par[f.index] : u.period
                   : f.kind == FittedQuantity::kCoefficient ? u.ld[f.index]
                                                            : u.zeropoint;
        };
        for (int a = 0; a < nc; ++a) {
            const FittedQuantity& f = cov.quantities[a];
            const long double s = sigma_of(got, f);
            EXPECT_LE(std::fabs(sqrtl(cov.reported[a * nc + a]) / s - 1), 1e-15L) << f.name;
            EXPECT_EQ(corr[a * nc + a], 1.0L);
            EXPECT_EQ(sigma_of(small, f), s) << f.name;
            const bool inclination = f.kind == FittedQuantity::kParameter && f.index == 3;
            EXPECT_LE(std::fabs(sigma_of(four, f) / s - 2), inclination ? 1e-5L : 1e-17L) << f.name;
            for (int b = 0; b < nc; ++b) {
                const long double scale = s * sigma_of(got, cov.quantities[b]);
                EXPECT_LE(std::fabs(cov.reported[a * nc + b] - want[a * nv + b]) / scale, 1e-5L)
                    << f.name << ", " << cov.quantities[b].name;
                EXPECT_EQ(corr[a * nc + b], corr[b * nc + a]);
                EXPECT_LE(std::fabs(corr[a * nc + b] - cov.reported[a * nc + b] / scale), 1e-15L);
            }
        }
        for (int j = 0; j < 6; ++j) EXPECT_TRUE((c.parflag & (1 << j)) || four.par[j] == 0) << j;
        for (int k = 0; k < 2; ++k) EXPECT_TRUE(!(c.model.held & (2 << k)) || four.ld[k] == 0) << k;
        if (c.parflag & kFitPeriod) {  // T_n at the reference epoch, and its correlation with P
            const int t = nv - 1, p = param.size() - 1;
            EXPECT_EQ(fit.epoch, 20);  // between epochs 0 and 40
            EXPECT_LE(std::fabs(got.tref_sigma / sqrtl(want[t * nv + t]) - 1), 1e-5L);
            EXPECT_LE(std::fabs(got.correlation -
                                want[t * nv + p] / sqrtl(want[t * nv + t] * want[p * nv + p])),
                      1e-5L);
        }
        if (c.baseline) continue;
        // The derived quantities: a/R*, Rp/R*, b, T14 and T23 against the file's search on the
        // separation, the depth against the model flux at mid-transit, and their 1σ.
        const std::vector<DerivedQuantity> d =
            derived_quantities(Point(c.p, Normalised(c.ldflag, kLaw), c.ldflag), cov);
        ASSERT_EQ(d.size(), std::size_t(kDerivedCount));
        const long double values[6] = {1 / c.p[4], c.p[5] / c.p[4],
                                       r.at(13),   1 - LightCurve(c.p, {kT}, c.ldflag, kLaw, 1)[1],
                                       r.at(14),   r.at(15) < 0 ? NAN : r.at(15)};
        for (int q = 0; q < kDerivedCount; ++q) {
            if (q < 6 && std::isnan(values[q])) {
                EXPECT_TRUE(std::isnan(d[q].value) && std::isnan(d[q].sigma)) << d[q].name;
                continue;
            }
            const long double tol = q == 2 ? 1e-9L : q >= 4 ? 1e-15L : 1e-17L;
            EXPECT_LE(q < 6 ? std::fabs(d[q].value / values[q] - 1) : 0, tol) << d[q].name;
            const long double sd = sqrtl(want[(nc + q) * (nv + 1)]);
            EXPECT_LE(std::fabs(d[q].sigma - sd), 1e-5L * sd)
                << d[q].name << Show({d[q].sigma, sd});
        }
    }
    EXPECT_EQ(cases, 15);
    // The density: with P from Kepler's third law for the Sun's GM and an orbit of 1 au, ρ* is
    // the Sun's mean density, 3·GM/(4π·G·R³).
    constexpr long double kGMSun = 1.32712440018e20L, kAu = 1.495978707e11L, kRSun = 6.957e8L;
    FitPoint sun = Point(Orbit(0.0L, 90, 89.0L, kRSun / kAu, 0.0L), {}, 1);
    sun.period = 2 * kPi * sqrtl(kAu * kAu * kAu / kGMSun) / 86400;
    long double v[kDerivedCount];
    derived_values(sun, v);
    const long double density = 3 * kGMSun / (4 * kPi * 6.67430e-11L * kRSun * kRSun * kRSun) / 1e3;
    EXPECT_LE(std::fabs(v[6] / density - 1), 1e-15L) << Show({v[6], density});
}

// ---- the period -----------------------------------------------------------------------------

// Period, tshift and the time of mid-transit at the reference epoch, fitted with i and the
// radii to two sectors of 2-minute data two years apart, made by an independent model
// (tests/data/two_sectors.txt): 0.24 d around the transits of epochs 0, 1, 2 and 228 … 231 of a
// hot Jupiter (P 3.2 d, T 1.2, i 87°, R*/a 0.1, Rp/a 0.012, u 0.4, 0.25, circular). From a start
// whose period is off by 6e-5 d (18 minutes at the second sector) the fit of the noise-free curve
// comes back to the truth to 1e-9 d (i and R*/a to 1e-6° and 1e-8, the accuracy of the independent
// model: 1e-7° and 2e-9 seen); at the reference epoch, the transit next to the timing-weighted
// centre (131.6), T_n and P are nearly uncorrelated. (The σ of the period, of T_n and of tshift are
// checked against an independent propagation above.)
TEST(PeriodFit, TwoSectorsFromAnIndependentModel) {
    constexpr long double P = 3.2L, T = 1.2L, inc = 87.0L, rsun = 0.1L;
    Vec data;  // time, flux, σ
    for (const Vec& row : Table("two_sectors.txt"))
        data.insert(data.end(), {row[0], row[1], 2.5e-4L});
    ASSERT_EQ(data.size(), 3u * 7 * 173);
    const Params start = Orbit(0, 90, 86.5L, 0.104L, 0.0125L, T + 0.002L, P + 6e-5L);
    const Fit fit = RunFit(start, data, 1 | 8 | 16 | 32 | kFitPeriod, 7, 40, 0, {}, P + 6e-5L);
    const FitUncertainties unc = fit.Unc(fit.chi2);
    EXPECT_EQ(fit.epoch, 132);
    EXPECT_LE(std::fabs(fit.period - P), 1e-9L);
    EXPECT_LE(std::fabs(mid_transit_time(fit.best.data(), fit.period) - T), 1e-9L);
    EXPECT_LE(std::fabs(unc.tref - (T + 132 * P)), 1e-9L);
    EXPECT_LE(std::fabs(inclination_degrees(fit.best[3]) - inc), 1e-6L);
    EXPECT_LE(std::fabs(fit.best[4] - rsun), 1e-8L);
    EXPECT_LT(std::fabs(unc.correlation), 0.1L);
}

// ---- uncertainties under correlated noise -------------------------------------------------

// One curve each of white noise and of white plus AR(1) noise with a correlation time of 30
// minutes (quoted σ the white part), fitted with the basis coefficients and with a zero-point.
// β is near 1 on white noise and well above it on correlated noise; the scaled 1σ are β times
// the covariance's, bit for bit; the permutation spread runs over kPermutationShifts shifts,
// gives 0 for a value not fitted and stays near the covariance's 1σ, but for the time of
// mid-transit on correlated noise, where it follows β. (One realisation each, the bounds wide:
// β ~1.1 and ~2.6 seen, the time's spread over its covariance 1σ ~1.3 and ~2.0, the others 0.7
// to 0.9.) The model of the best fit gives back the fit's chi-square; shifts beyond the points
// repeat none: one per point.
TEST(RedNoise, BetaPermutationAndModelOnWhiteAndCorrelatedNoise) {
    const Params truth = Orbit(0.0L, 90, 87.0L, 0.1L, 0.012L);
    const Vec times = Spread({}, kT - 0.25L, kT + 0.25L, 360);  // 2-minute cadence over 12 h
    const long double white = 3e-4L, phi = expl(-1.0L / 15);    // the AR(1) lag-one correlation
    const std::int64_t n = times.size();
    std::mt19937_64 gen(2026);
    for (int c = 0; c < 2; ++c) {
        SCOPED_TRACE(c ? "red noise" : "white noise");
        std::normal_distribution<double> g;
        Vec data = LightCurve(truth, times, 7, kLaw, white);
        long double s = c ? 3e-4L : 0, ar = s * g(gen);  // the AR(1) process's σ, its value
        for (std::int64_t i = 0; i < n; ++i) {
            data[3 * i + 1] += white * g(gen) + ar;
            ar = phi * ar + s * sqrtl(1 - phi * phi) * g(gen);
        }
        const Fit fit = RunFit(truth, data, 1 | 8 | 16 | 32, 7, 8),
                  zp = RunFit(truth, data, 1 | 8 | 16 | 32, 7, 8, 0, Model(true, -1));
        const FitUncertainties unc = fit.Unc(fit.chi2);
        const RedNoise red = rednoise_uncertainties(fit.Best(), unc);
        EXPECT_EQ(red.permutation.shifts, kPermutationShifts);
        EXPECT_EQ(red.permutation.sigma.par[1], 0.0L);  // not fitted
        EXPECT_GE(red.beta, c ? 1.8L : 0.8L);
        EXPECT_LE(red.beta, c ? 3.5L : 1.3L);
        for (int slot : {0, 3, 4, 5}) {
            EXPECT_EQ(red.scaled.par[slot], unc.par[slot] * red.beta) << slot;
            const long double ratio = red.permutation.sigma.par[slot] / unc.par[slot];
            EXPECT_GE(ratio, c && slot == 0 ? 1.5L : 0.5L) << slot;
            EXPECT_LE(ratio, c ? 5 : 1.6L) << slot;
        }
        for (const Fit* f : {&fit, &zp}) {
            const Vec model = best_fit_model(f->Best());
            long double sum = 0;
            for (std::int64_t i = 0; i < n; ++i)
                sum += powl((data[3 * i + 1] - model[i]) / data[3 * i + 2], 2);
            EXPECT_LE(std::fabs(sum / n / f->chi2 - 1), 1e-15L) << "linear model " << f->extended;
        }
        if (c == 0) continue;
        const Vec model = best_fit_model(zp.Best());
        Vec resid(n);
        for (std::int64_t i = 0; i < n; ++i) resid[i] = data[3 * i + 1] - model[i];
        EXPECT_EQ(residual_permutation(zp.Best(), model, resid, 1000).shifts, n);
    }
}
