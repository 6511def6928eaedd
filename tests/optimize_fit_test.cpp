// The fit's mathematics in process: every design-array entry against central differences of
// the model flux, the design set behind the star and at the edges of the parameter ranges, a
// noise-free light curve fitted back to its inputs, the reported uncertainties against the
// scatter of fits over noise realisations, and the orientation of ω.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "lustre.h"
#include "optimize.h"
#include "test_util.h"

namespace {

constexpr long double kPeriod = 3.0L;

using Params = std::array<long double, 6>;  // φ0, e, ω [rad], cos² i, rsun, rplanet

// An orbit as a user states it, angles in degrees.
struct Orbit {
    long double e, omega_deg, inc_deg, rsun, rplanet;
};

std::string Describe(const Orbit& o) {
    char buf[128];
    std::snprintf(buf, sizeof buf, "e %.3Lg ω %.4Lg° i %.4Lg° rsun %.4Lg rplanet %.4Lg", o.e,
                  o.omega_deg, o.inc_deg, o.rsun, o.rplanet);
    return buf;
}

long double CosSquared(long double inc_deg) {
    const long double c = cosl(inc_deg * kPi / 180);
    return c * c;
}

Params ToParams(const Orbit& o, long double phi0) {
    return {phi0, o.e, o.omega_deg * kPi / 180, CosSquared(o.inc_deg), o.rsun, o.rplanet};
}

// The mean anomaly of true anomaly ν, from the orbit's geometry alone.
long double MeanOfTrue(long double nu, long double e) {
    const long double E = 2 * atan2l(sqrtl(1 - e) * sinl(nu / 2), sqrtl(1 + e) * cosl(nu / 2));
    return E - e * sinl(E);
}

// The time at which the model's mean anomaly 2π·t/P - φ0 equals M.
long double TimeOfMean(long double M, const Params& p, long double period = kPeriod) {
    return (M + p[0]) * period / (2 * kPi);
}

// Observations at `times` with flux 1 and uncertainty `sigma`.
std::vector<long double> Observations(const std::vector<long double>& times,
                                      long double sigma = 1) {
    std::vector<long double> data(3 * times.size());
    for (std::size_t i = 0; i < times.size(); ++i) {
        data[3 * i] = times[i];
        data[3 * i + 1] = 1;
        data[3 * i + 2] = sigma;
    }
    return data;
}

std::vector<long double> Design(const Params& p, const std::vector<long double>& times, int parflag,
                                int ldflag, long double period = kPeriod) {
    const std::vector<long double> data = Observations(times);
    std::vector<long double> lset(times.size() * count_fit(parflag, ldflag).len);
    der_set_norm_ci(lset.data(), data.data(), times.size(), period, p.data(), parflag, ldflag);
    return lset;
}

// Centre distance in stellar radii at time t, and whether the planet is in front.
struct Position {
    long double x;
    int front;
};
Position Locate(long double t, const Params& p) {
    const long double M = 2 * kPi * t / kPeriod - p[0];
    long double d, df, de, dw, di;
    const int front = DeltaEccentric_omega_ci_d(M, p[1], p[2], p[3], &d, &df, &de, &dw, &di);
    return {d / p[4], front};
}

}  // namespace

// ---- design array against central differences -------------------------------------------

namespace {

enum Zone { kInside, kCrossing, kOutside, kNone };

// Where a point lies, when it lies further than `margin` (in stellar radii) from every case
// boundary of the occultation terms: x = 0, x = ρ, x = 1 - ρ, x = 1 + ρ.
Zone Classify(Position at, long double rho, long double margin) {
    if (!at.front) return kNone;
    const long double x = at.x;
    for (long double edge : {0.0L, rho, 1 - rho, 1 + rho})
        if (std::fabs(x - edge) < margin) return kNone;
    if (x < 1 - rho) return kInside;
    if (x < 1 + rho) return kCrossing;
    return kOutside;
}

// Times around mid-transit, up to three in each zone, spread over the zone.
std::vector<long double> TransitTimes(const Params& p, long double margin) {
    const long double mmin = phmin_ci(p[1], p[2], p[3]);
    std::vector<long double> zone[3];
    for (int j = -200; j <= 200; ++j) {
        const long double t = TimeOfMean(mmin + 0.002L * j + 0.0007L, p);  // off the centre
        const Zone z = Classify(Locate(t, p), p[5] / p[4], margin);
        if (z != kNone) zone[z].push_back(t);
    }
    std::vector<long double> times;
    for (const auto& z : zone) {
        if (z.empty()) continue;
        times.push_back(z.front());
        times.push_back(z[z.size() / 2]);
        times.push_back(z.back());
    }
    return times;
}

}  // namespace

// The analytic entries against five-point central differences of the basis values (row 0 of
// the design array with all four terms) in each parameter.  Steps: 2^-20 for φ0, e and ω, 2^-20
// relative for the radii, 2^-12 relative for cos² i (2^-20 of a cos² i near 1e-6 would leave
// the rounding of δ over a step of 1e-12).  A step moves x by at most ~1e-5 and every point is
// 0.01 from each case boundary, so the O(h⁴) truncation is ~(1e-5/1e-2)⁴ = 1e-12 of the entry,
// and the rounding of the values over h adds ~1e-12; the tolerance, 1e-8 of |entry| + 1e-3
// (worst seen 5e-10), holds both, while a lost factor, a wrong sign or a row or term out of
// place misses by O(1).  Masks without some terms or parameters must give the same entries in
// their own places.
TEST(DesignSet, EveryEntryMatchesCentralDifferences) {
    const struct {
        Orbit o;
        bool central;  // the planet covers the centre of the star (x < ρ) at mid-transit
    } orbits[] = {
        {{0.0L, 90.0L, 87.0L, 0.1L, 0.012L}, false},   // circular, impact parameter 0.52
        {{0.0L, 90.0L, 89.9L, 0.08L, 0.024L}, true},   // circular, ρ = 0.3
        {{0.3L, 40.0L, 88.0L, 0.1L, 0.012L}, false},   // eccentric, transit past apastron
        {{0.5L, 250.0L, 89.5L, 0.06L, 0.015L}, true},  // eccentric, near periastron
    };
    const struct {
        int parflag, ldflag;
    } masks[] = {{63, 15}, {63, 5}, {63, 9}, {48, 15}, {48, 3}, {1 | 8 | 32, 13}, {2 | 4, 11}};
    const long double margin = 0.01L;  // in stellar radii; a step moves x by ~1e-5

    for (const auto& orbit : orbits) {
        const Orbit& o = orbit.o;
        const Params p = ToParams(o, 0.7L);
        const std::vector<long double> times = TransitTimes(p, margin);
        ASSERT_EQ(times.size(), 9u) << Describe(o);  // three in each zone
        EXPECT_EQ(Locate(times[1], p).x < o.rplanet / o.rsun, orbit.central) << Describe(o);
        const std::vector<long double> value = Design(p, times, 0, 15);

        // fd[(i·6 + j)·4 + term]: ∂B_term/∂p_j at point i.
        std::vector<long double> fd(times.size() * 24);
        for (int j = 0; j < 6; ++j) {
            const long double h = j == 3 ? p[3] * 0x1p-12L : (j > 3 ? p[j] : 1.0L) * 0x1p-20L;
            // Five-point stencil: the error is O(h⁴).
            std::vector<long double> v[5];
            for (int s = -2; s <= 2; ++s) {
                Params q = p;
                q[j] += s * h;
                v[s + 2] = Design(q, times, 0, 15);
            }
            for (std::size_t i = 0; i < times.size(); ++i)
                for (int term = 0; term < 4; ++term) {
                    const auto at = [&](int s) { return v[s + 2][4 * i + term]; };
                    fd[(i * 6 + j) * 4 + term] =
                        (8 * (at(1) - at(-1)) - (at(2) - at(-2))) / (12 * h);
                }
        }

        for (const auto& m : masks) {
            const FitCounts fc = count_fit(m.parflag, m.ldflag);
            const std::vector<long double> lset = Design(p, times, m.parflag, m.ldflag);
            std::vector<int> term{0}, param;
            for (int b = 1; b < 4; ++b)
                if (m.ldflag & (1 << b)) term.push_back(b);
            for (int j = 0; j < 6; ++j)
                if (m.parflag & (1 << j)) param.push_back(j);
            for (std::size_t i = 0; i < times.size(); ++i) {
                const long double* block = &lset[i * fc.len];
                const Position at = Locate(times[i], p);
                for (int k = 0; k < fc.ldnum; ++k) {
                    // Row 0 is the value of the same term whatever else is in use.
                    EXPECT_EQ(block[k], value[4 * i + term[k]])
                        << Describe(o) << " x " << double(at.x) << " ldflag " << m.ldflag;
                    for (int r = 0; r < fc.parnum; ++r) {
                        const long double got = block[(r + 1) * fc.ldnum + k];
                        const long double want = fd[(i * 6 + param[r]) * 4 + term[k]];
                        const long double err = std::fabs(got - want) / (std::fabs(want) + 1e-3L);
                        EXPECT_LE(err, 1e-8L)
                            << Describe(o) << " x " << double(at.x) << " parflag " << m.parflag
                            << " ldflag " << m.ldflag << " parameter " << param[r] << " term "
                            << term[k] << ": " << double(got) << " vs " << double(want);
                    }
                }
            }
        }
    }
}

// Behind the star the point is an unocculted star whatever the separation: at the secondary
// conjunction δ is well inside the stellar disc, yet B_0 = 1, the other terms are 0 and every
// derivative row is 0 (of either sign).
TEST(DesignSet, BehindTheStarIsAnUnoccultedStar) {
    const Orbit orbits[] = {{0.0L, 90.0L, 89.9L, 0.08L, 0.024L},
                            {0.3L, 40.0L, 88.0L, 0.1L, 0.012L},
                            {0.5L, 250.0L, 89.5L, 0.06L, 0.015L}};
    for (const Orbit& o : orbits) {
        const Params p = ToParams(o, 0.7L);
        // Secondary conjunction ν + ω = π/2, and either side of it.
        const long double msec = MeanOfTrue(kPi / 2 - p[2], o.e);
        std::vector<long double> times;
        for (long double dm : {0.0L, 0.01L, -0.02L, 0.3L, -0.4L})
            times.push_back(TimeOfMean(msec + dm, p));
        const Position at = Locate(times[0], p);
        ASSERT_EQ(at.front, 0) << Describe(o);
        ASSERT_LT(at.x, 0.5L) << Describe(o);  // it would occult were it in front
        const std::vector<long double> lset = Design(p, times, 63, 15);
        for (std::size_t i = 0; i < times.size(); ++i) {
            ASSERT_EQ(Locate(times[i], p).front, 0);
            const long double* block = &lset[28 * i];
            EXPECT_EQ(block[0], 1.0L) << Describe(o) << " point " << i;
            for (int e = 1; e < 28; ++e)
                EXPECT_EQ(block[e], 0.0L) << Describe(o) << " point " << i << " entry " << e;
        }
    }
}

namespace {

bool AllFinite(const std::vector<long double>& v) {
    return std::all_of(v.begin(), v.end(), [](long double a) { return std::isfinite(a); });
}

}  // namespace

// A step may leave e at exactly 1 or rsun at exactly 0.  The design set is then evaluated just
// inside the range (e at the largest long double below 1, rsun at 2^-64) and stays finite, in
// and out of transit.
TEST(DesignSet, FiniteAtTheEdgesOfTheRanges) {
    const Params base = ToParams({0.3L, 40.0L, 89.9L, 0.1L, 0.012L}, 0.7L);
    std::vector<long double> times;
    for (int j = -32; j < 32; ++j) times.push_back(kPeriod * j / 64);
    const long double mmin = phmin_ci(base[1], base[2], base[3]);
    for (long double dm : {0.0L, 0.01L, -0.03L, 1e-9L, -1e-15L}) {
        times.push_back(TimeOfMean(mmin + dm, base));
        times.push_back(TimeOfMean(dm, base));  // periastron, where e → 1 is most violent
    }

    Params e1 = base, below = base;
    e1[1] = 1.0L;
    below[1] = std::nextafter(1.0L, 0.0L);
    const std::vector<long double> at_e1 = Design(e1, times, 63, 15);
    EXPECT_TRUE(AllFinite(at_e1));
    EXPECT_EQ(at_e1, Design(below, times, 63, 15));

    Params r0 = base, floored = base;
    r0[4] = 0.0L;
    floored[4] = 0x1p-64L;
    const std::vector<long double> at_r0 = Design(r0, times, 63, 15);
    EXPECT_TRUE(AllFinite(at_r0));
    EXPECT_EQ(at_r0, Design(floored, times, 63, 15));
    // The planet, far larger than such a star, hides it whole at mid-transit.
    EXPECT_EQ(at_r0[28 * 64], 0.0L);

    // An exactly central transit at the exact conjunction: δ = 0, where δ has a kink in cos² i
    // (∂δ/∂cos² i = r/(2S) with S = 0).  Circular, ω = 0, cos² i = 0, P = 4 and t = -1 put the
    // conjunction at M = -π/2 exactly.
    const Params central = {0.0L, 0.0L, 0.0L, 0.0L, 0.1L, 0.012L};
    long double d, df, de, dw, di;
    ASSERT_EQ(DeltaEccentric_omega_ci_d(-kPi / 2, 0.0L, 0.0L, 0.0L, &d, &df, &de, &dw, &di), 1);
    ASSERT_EQ(d, 0.0L);
    const std::vector<long double> at_centre = Design(central, {-1.0L}, 63, 15, 4.0L);
    EXPECT_TRUE(AllFinite(at_centre));
    for (int k = 0; k < 4; ++k)
        EXPECT_TRUE(std::isfinite(at_centre[4 * 4 + k])) << k;  // cos² i row
}

// ---- fits of synthetic light curves -------------------------------------------------------

namespace {

// Weights of the law coefficients in the disc-integrated intensity S = π + Σ Lf_b·u_b: the
// disc integrals of -(1 - μ), -(1 - μ)² and -(1 - √μ) are -π/3, -π/6 and -π/5.
constexpr long double kLawWeight[3] = {-kPi / 3, -kPi / 6, -kPi / 5};

// A deterministic source of standard normal deviates: SplitMix64 and the Box-Muller transform.
class Normal {
   public:
    explicit Normal(std::uint64_t seed) : state_(seed) {}
    long double operator()() {
        const long double u1 = (Next() >> 11) * 0x1p-53L + 0x1p-54L;  // (0, 1)
        const long double u2 = (Next() >> 11) * 0x1p-53L;
        return sqrtl(-2 * logl(u1)) * cosl(2 * kPi * u2);
    }

   private:
    std::uint64_t Next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::uint64_t state_;
};

// Observations of the model `truth` with law coefficients `u` (for the terms of `ldflag`, in
// the order lin, quad, sqrt) at `times`, with uncertainty σ and, when `noise` is given, Gaussian
// noise of that σ added.
std::vector<long double> LightCurve(const Params& truth, const std::vector<long double>& times,
                                    int ldflag, const std::vector<long double>& u,
                                    long double sigma, Normal* noise = nullptr) {
    const FitCounts fc = count_fit(0, ldflag);
    long double S = kPi;
    for (int b = 0, k = 0; b < 3; ++b)
        if (ldflag & (2 << b)) S += kLawWeight[b] * u[k++];
    const std::vector<long double> basis = Design(truth, times, 0, ldflag);
    std::vector<long double> data = Observations(times, sigma);
    for (std::size_t i = 0; i < times.size(); ++i) {
        long double flux = basis[i * fc.ldnum];
        for (int k = 1; k < fc.ldnum; ++k) flux += (u[k - 1] / S) * basis[i * fc.ldnum + k];
        data[3 * i + 1] = noise ? flux + sigma * (*noise)() : flux;
    }
    return data;
}

struct FitResult {
    Params best;
    long double chi2;
    std::vector<long double> lset;  // design array of `best`
};

// The Driver's loop: a damped step, the design array of the new set, its reduced chi-square;
// the best set met is kept (a NaN best gives way to a number), then evaluated once more.
FitResult RunFit(Params par, const std::vector<long double>& data, int parflag, int ldflag,
                 long double lambda, int iterations, long double period = kPeriod) {
    const std::int64_t n = data.size() / 3;
    std::vector<long double> st(n * count_fit(parflag, ldflag).len);
    der_set_norm_ci(st.data(), data.data(), n, period, par.data(), parflag, ldflag);
    Params best = par;
    long double min = NAN;
    for (int i = 1; i <= iterations; ++i) {
        lm_step(st.data(), data.data(), n, par.data(), parflag, ldflag, lambda);
        der_set_norm_ci(st.data(), data.data(), n, period, par.data(), parflag, ldflag);
        const long double m = residual(st.data(), data.data(), n, parflag, ldflag);
        if (i == 1 || m < min || (std::isnan(min) && !std::isnan(m))) {
            min = m;
            best = par;
        }
    }
    der_set_norm_ci(st.data(), data.data(), n, period, best.data(), parflag, ldflag);
    return {best, residual(st.data(), data.data(), n, parflag, ldflag), st};
}

// `count` times spread evenly over [from, to].
void Spread(std::vector<long double>* times, long double from, long double to, int count) {
    for (int i = 0; i < count; ++i) times->push_back(from + (to - from) * i / (count - 1));
}

}  // namespace

// Noise-free observations of two transits, made with known values and law coefficients, fitted
// from moved starting values by the Driver's loop: the fit must come back to the inputs, up
// to the rounding of the model, and through the phase parameter to the time of mid-transit.
// The circular fit settles after ~15 steps.  The eccentric one fits all six parameters; e, ω
// and the radii are nearly degenerate in a transit, so its steps wander before they settle
// (after 25 to 40 steps from starts like these).  The inputs come back to ~1e-17 (circular)
// and ~2e-14 (eccentric) relative.
TEST(SyntheticFit, NoiseFreeCurveRecoversItsInputs) {
    const long double T = 1.2L;  // time of mid-transit
    std::vector<long double> times;
    Spread(&times, T - 0.12L, T + 0.12L, 1000);
    Spread(&times, T + kPeriod - 0.12L, T + kPeriod + 0.12L, 1000);
    const int ldflag = 7;
    const std::vector<long double> u = {0.4L, 0.25L};
    const struct {
        Orbit truth;
        int parflag;
        Params moved;  // start minus truth
        int iterations;
    } cases[] = {
        {{0.0L, 90.0L, 87.0L, 0.1L, 0.012L},
         1 | 8 | 16 | 32,
         {0.005L, 0, 0, 0.0008L, 0.006L, -0.0007L},
         30},
        {{0.3L, 40.0L, 88.0L, 0.1L, 0.012L},
         63,
         {0.003L, 0.02L, 0.05L, 0.0003L, 0.003L, 0.0005L},
         60},
    };
    for (const auto& c : cases) {
        Params truth = ToParams(c.truth, 0.0L);
        truth[0] = phase_parameter(T, kPeriod, truth.data());
        const std::vector<long double> data = LightCurve(truth, times, ldflag, u, 1e-4L);
        Params start = truth;
        for (int j = 0; j < 6; ++j) start[j] += c.moved[j];
        const FitResult fit = RunFit(start, data, c.parflag, ldflag, 0.001L, c.iterations);

        for (int j = 0; j < 6; ++j) {
            const long double err = std::fabs(fit.best[j] - truth[j]);
            if (c.parflag & (1 << j)) {
                EXPECT_LE(err, 1e-10L * std::fabs(truth[j])) << Describe(c.truth) << " slot " << j;
            } else {
                EXPECT_EQ(err, 0.0L) << Describe(c.truth) << " slot " << j;
            }
        }
        EXPECT_LE(fit.chi2, 1e-20L) << Describe(c.truth);
        EXPECT_LE(std::fabs(mid_transit_time(fit.best.data(), kPeriod) - T), 1e-10L * kPeriod)
            << Describe(c.truth);
        long double linf[2], ld[2];
        fitted_lin(linf, data.data(), fit.lset.data(), times.size(), c.parflag, ldflag);
        linfit2ld(ld, linf, ldflag);
        for (int k = 0; k < 2; ++k)
            EXPECT_LE(std::fabs(ld[k] - u[k]), 1e-10L) << Describe(c.truth) << " law " << k;
    }
    // On a circular orbit mid-transit is the conjunction ν = 3π/2 - ω, here M = ±π.
    Params circ = ToParams(cases[0].truth, 0.0L);
    EXPECT_LE(
        std::fabs(std::remainder(
            phase_parameter(T, kPeriod, circ.data()) - (2 * kPi * T / kPeriod - kPi), 2 * kPi)),
        1e-17L);
}

// The reported 1σ of each value against the sample standard deviation of fits of 24 noise
// realisations (Gaussian noise of the quoted σ, fits started at the true values).  For Gaussian
// estimates 23·s²/σ² follows χ² with 23 degrees of freedom, so s/σ lies in [0.549, 1.504]
// with probability 0.999; the sample means lie within 4σ/√24 of the true values.  With 400
// realisations every ratio is within 1% of 1.
TEST(FitUncertainties, MatchTheScatterOverNoiseRealisations) {
    const int realisations = 24;
    const long double T = 1.2L, sigma = 2e-4L;
    const int parflag = 1 | 8 | 16 | 32, ldflag = 7;
    std::vector<long double> times;
    Spread(&times, T - 0.12L, T + 0.12L, 300);
    const std::int64_t n = times.size();
    const std::vector<long double> u = {0.4L, 0.25L};
    const Orbit orbit = {0.0L, 90.0L, 87.0L, 0.1L, 0.012L};
    Params truth = ToParams(orbit, 0.0L);
    truth[0] = phase_parameter(T, kPeriod, truth.data());

    // Time of mid-transit, inclination [°], rsun, rplanet, lin, quad.
    const char* const names[6] = {"tshift", "inclination", "rsun", "rplanet", "lin", "quad"};
    const long double want[6] = {T, orbit.inc_deg, orbit.rsun, orbit.rplanet, u[0], u[1]};
    long double sum[6] = {}, sum2[6] = {}, quoted[6] = {};
    Normal noise(12345);
    for (int r = 0; r < realisations; ++r) {
        const std::vector<long double> data = LightCurve(truth, times, ldflag, u, sigma, &noise);
        const FitResult fit = RunFit(truth, data, parflag, ldflag, 0.001L, 10);
        long double linf[2], ld[2];
        fitted_lin(linf, data.data(), fit.lset.data(), n, parflag, ldflag);
        linfit2ld(ld, linf, ldflag);
        const FitUncertainties unc = fit_uncertainties(fit.lset.data(), data.data(), n, kPeriod,
                                                       fit.best.data(), parflag, ldflag, fit.chi2);
        const long double value[6] = {mid_transit_time(fit.best.data(), kPeriod),
                                      inclination_degrees(fit.best[3]),
                                      fit.best[4],
                                      fit.best[5],
                                      ld[0],
                                      ld[1]};
        const long double s[6] = {unc.par[0], unc.par[3], unc.par[4],
                                  unc.par[5], unc.ld[0],  unc.ld[1]};
        for (int j = 0; j < 6; ++j) {
            sum[j] += value[j] - want[j];
            sum2[j] += (value[j] - want[j]) * (value[j] - want[j]);
            quoted[j] += s[j] / realisations;
        }
    }
    for (int j = 0; j < 6; ++j) {
        const long double mean = sum[j] / realisations;
        const long double sd = sqrtl((sum2[j] - realisations * mean * mean) / (realisations - 1));
        EXPECT_GE(sd / quoted[j], 0.549L) << names[j] << " σ " << double(quoted[j]);
        EXPECT_LE(sd / quoted[j], 1.504L) << names[j] << " σ " << double(quoted[j]);
        EXPECT_LE(std::fabs(mean), 4 * quoted[j] / sqrtl(realisations)) << names[j];
    }
}

// The law coefficients alone, on a fixed geometry: they are then the only unknowns, a fit is
// one linear solve, and 2000 realisations are cheap.  s/σ then has a relative spread of
// 1/√(2·1999) = 1.6%, so it must lie within 7% (4.4 spreads) of 1; the noise is small enough
// that u = π·c/(1 - Σ Lf·c) is linear over it to far better than that.
TEST(FitUncertainties, LawCoefficientsMatchTheirScatter) {
    const int realisations = 2000;
    const long double T = 1.2L, sigma = 5e-5L;
    std::vector<long double> times;
    Spread(&times, T - 0.12L, T + 0.12L, 300);
    const std::int64_t n = times.size();
    Params truth = ToParams({0.0L, 90.0L, 87.0L, 0.1L, 0.012L}, 0.0L);
    truth[0] = phase_parameter(T, kPeriod, truth.data());
    const struct {
        int ldflag;
        std::vector<long double> u;
    } laws[] = {{7, {0.4L, 0.25L}}, {11, {0.3L, 0.2L}}, {3, {0.6L}}};
    Normal noise(777);
    for (const auto& law : laws) {
        const int m = static_cast<int>(law.u.size());
        const std::vector<long double> exact = LightCurve(truth, times, law.ldflag, law.u, sigma);
        const std::vector<long double> basis = Design(truth, times, 0, law.ldflag);
        const FitUncertainties unc = fit_uncertainties(basis.data(), exact.data(), n, kPeriod,
                                                       truth.data(), 0, law.ldflag, 1.0L);
        long double sum[3] = {}, sum2[3] = {};
        std::vector<long double> data = exact;
        for (int r = 0; r < realisations; ++r) {
            for (std::int64_t i = 0; i < n; ++i)
                data[3 * i + 1] = exact[3 * i + 1] + sigma * noise();
            long double linf[3], ld[3];
            fitted_lin(linf, data.data(), basis.data(), n, 0, law.ldflag);
            linfit2ld(ld, linf, law.ldflag);
            for (int k = 0; k < m; ++k) {
                sum[k] += ld[k] - law.u[k];
                sum2[k] += (ld[k] - law.u[k]) * (ld[k] - law.u[k]);
            }
        }
        for (int k = 0; k < m; ++k) {
            const long double mean = sum[k] / realisations;
            const long double sd =
                sqrtl((sum2[k] - realisations * mean * mean) / (realisations - 1));
            EXPECT_LE(std::fabs(sd / unc.ld[k] - 1), 0.07L)
                << "ldflag " << law.ldflag << " term " << k;
        }
    }
}

namespace {

// The reported values as functions of the unknowns: time of mid-transit, e, ω and i in
// degrees, rsun, rplanet, and the lin and quad law coefficients.
using Reported = std::array<long double, 8>;
Reported ReportedValues(const Params& q, const long double* c) {
    long double ld[2];
    linfit2ld(ld, c, 7);
    return {mid_transit_time(q.data(), kPeriod),
            q[1],
            degrees(q[2]),
            inclination_degrees(q[3]),
            q[4],
            q[5],
            ld[0],
            ld[1]};
}

// Inverse of the n×n matrix a (row-major) by Gauss-Jordan elimination with partial pivoting.
std::vector<long double> Inverse(std::vector<long double> a, int n) {
    std::vector<long double> inv(n * n, 0.0L);
    for (int i = 0; i < n; ++i) inv[i * n + i] = 1;
    for (int col = 0; col < n; ++col) {
        int piv = col;
        for (int r = col + 1; r < n; ++r)
            if (std::fabs(a[r * n + col]) > std::fabs(a[piv * n + col])) piv = r;
        for (int k = 0; k < n; ++k) {
            std::swap(a[col * n + k], a[piv * n + k]);
            std::swap(inv[col * n + k], inv[piv * n + k]);
        }
        const long double d = a[col * n + col];
        for (int k = 0; k < n; ++k) {
            a[col * n + k] /= d;
            inv[col * n + k] /= d;
        }
        for (int r = 0; r < n; ++r) {
            if (r == col) continue;
            const long double f = a[r * n + col];
            for (int k = 0; k < n; ++k) {
                a[r * n + k] -= f * a[col * n + k];
                inv[r * n + k] -= f * inv[col * n + k];
            }
        }
    }
    return inv;
}

}  // namespace

// The whole propagation against an independent one: the Jacobian of the model flux by
// five-point differences of the basis values (with the linear coefficients as further
// unknowns), its normal matrix inverted here, and the gradients of the reported values by
// differences of mid_transit_time, degrees, inclination_degrees and linfit2ld.  The noise is
// so low that the interval of the inclination maps linearly.  The differences are good to
// ~1e-12 and the conditioning of the six-parameter problem amplifies that to ~2e-7 (seen), so
// the tolerance is 1e-5; a wrong slope of the phase of least separation, a lost degree factor
// or a wrong term of the law gradient misses by far more.
TEST(FitUncertainties, AgreeWithFiniteDifferencePropagation) {
    const long double T = 1.2L, sigma = 1e-10L;
    std::vector<long double> times;
    Spread(&times, T - 0.12L, T + 0.12L, 400);
    const std::int64_t n = times.size();
    const std::vector<long double> u = {0.4L, 0.25L};
    const int ldflag = 7;
    Params p = ToParams({0.3L, 40.0L, 88.0L, 0.1L, 0.012L}, 0.0L);
    p[0] = phase_parameter(T, kPeriod, p.data());
    const std::vector<long double> data = LightCurve(p, times, ldflag, u, sigma);
    const long double S = kPi + kLawWeight[0] * u[0] + kLawWeight[1] * u[1];
    const long double c[2] = {u[0] / S, u[1] / S};
    const auto flux = [&](const Params& q) {
        const std::vector<long double> B = Design(q, times, 0, ldflag);
        std::vector<long double> F(n);
        for (std::int64_t i = 0; i < n; ++i)
            F[i] = B[3 * i] + c[0] * B[3 * i + 1] + c[1] * B[3 * i + 2];
        return F;
    };
    const std::vector<long double> basis = Design(p, times, 0, ldflag);
    const long double steps[6] = {0x1p-20L,        0x1p-20L,        0x1p-20L,
                                  p[3] * 0x1p-12L, p[4] * 0x1p-20L, p[5] * 0x1p-20L};

    for (int parflag : {1 | 8 | 16 | 32, 1 | 2 | 8 | 16 | 32, 1 | 4 | 8 | 16 | 32, 63}) {
        std::vector<int> param;
        for (int j = 0; j < 6; ++j)
            if (parflag & (1 << j)) param.push_back(j);
        const int np = param.size(), nu = np + 2;
        // Jacobian columns: the fitted parameters, then the two coefficients.
        std::vector<std::vector<long double>> J(nu, std::vector<long double>(n));
        for (int a = 0; a < np; ++a) {
            const int j = param[a];
            const long double h = steps[j];
            std::vector<long double> F[5];
            for (int s = -2; s <= 2; ++s) {
                Params q = p;
                q[j] += s * h;
                F[s + 2] = flux(q);
            }
            for (std::int64_t i = 0; i < n; ++i)
                J[a][i] = (8 * (F[3][i] - F[1][i]) - (F[4][i] - F[0][i])) / (12 * h);
        }
        for (std::int64_t i = 0; i < n; ++i) {
            J[np][i] = basis[3 * i + 1];
            J[np + 1][i] = basis[3 * i + 2];
        }
        std::vector<long double> N(nu * nu, 0.0L);
        for (int a = 0; a < nu; ++a)
            for (int b = 0; b < nu; ++b)
                for (std::int64_t i = 0; i < n; ++i)
                    N[a * nu + b] += J[a][i] * J[b][i] / (sigma * sigma);
        const std::vector<long double> C = Inverse(N, nu);

        // Gradients of the reported values over the unknowns, by five-point differences (steps
        // 16 times those above for the time of mid-transit, which the phase of least
        // separation gives to a few ulps).
        std::vector<Reported> grad(nu);
        for (int a = 0; a < nu; ++a) {
            const long double h = a < np ? 16 * steps[param[a]] : 0x1p-20L;
            Reported at[5];
            for (int s = -2; s <= 2; ++s) {
                Params q = p;
                long double cc[2] = {c[0], c[1]};
                (a < np ? q[param[a]] : cc[a - np]) += s * h;
                at[s + 2] = ReportedValues(q, cc);
            }
            for (int r = 0; r < 8; ++r)
                grad[a][r] = (8 * (at[3][r] - at[1][r]) - (at[4][r] - at[0][r])) / (12 * h);
        }

        const std::vector<long double> lset = Design(p, times, parflag, ldflag);
        const FitUncertainties unc = fit_uncertainties(lset.data(), data.data(), n, kPeriod,
                                                       p.data(), parflag, ldflag, 0.0L);
        const Reported got = {unc.par[0], unc.par[1], unc.par[2], unc.par[3],
                              unc.par[4], unc.par[5], unc.ld[0],  unc.ld[1]};
        for (int r = 0; r < 8; ++r) {
            if (r < 6 && !(parflag & (1 << r))) continue;
            long double var = 0;
            for (int a = 0; a < nu; ++a)
                for (int b = 0; b < nu; ++b) var += grad[a][r] * C[a * nu + b] * grad[b][r];
            const long double want = sqrtl(var);
            EXPECT_LE(std::fabs(got[r] / want - 1), 1e-5L)
                << "parflag " << parflag << " value " << r;
        }
    }
}

// The covariance is scaled by the reduced chi-square when it exceeds 1 and only then; values
// not fitted get 0.
TEST(FitUncertainties, ScalingAndParametersNotFitted) {
    const long double T = 1.2L;
    std::vector<long double> times;
    Spread(&times, T - 0.12L, T + 0.12L, 200);
    const std::int64_t n = times.size();
    Params p = ToParams({0.3L, 40.0L, 88.0L, 0.1L, 0.012L}, 0.0L);
    p[0] = phase_parameter(T, kPeriod, p.data());
    const std::vector<long double> data = LightCurve(p, times, 3, {0.5L}, 1e-6L);

    for (int parflag : {1 | 8 | 16 | 32, 1 | 2 | 4 | 16 | 32, 48, 2 | 4}) {
        const std::vector<long double> lset = Design(p, times, parflag, 3);
        const auto unc = [&](long double chi2) {
            return fit_uncertainties(lset.data(), data.data(), n, kPeriod, p.data(), parflag, 3,
                                     chi2);
        };
        const FitUncertainties one = unc(1.0L), four = unc(4.0L), small = unc(0.25L);
        for (int j = 0; j < 6; ++j) {
            if (!(parflag & (1 << j))) {
                EXPECT_EQ(one.par[j], 0.0L) << "parflag " << parflag << " slot " << j;
                EXPECT_EQ(four.par[j], 0.0L) << "parflag " << parflag << " slot " << j;
                continue;
            }
            EXPECT_GT(one.par[j], 0.0L) << "parflag " << parflag << " slot " << j;
            EXPECT_EQ(small.par[j], one.par[j]) << "parflag " << parflag << " slot " << j;
            // The inclination is the half-width of the image of the interval cos² i ± σ, which
            // doubles up to O((σ/cos² i)²), here ~1e-7.
            const long double tol = j == 3 ? 1e-5L : 1e-17L;
            EXPECT_LE(std::fabs(four.par[j] / one.par[j] - 2), tol)
                << "parflag " << parflag << " slot " << j;
        }
        EXPECT_GT(one.ld[0], 0.0L);
        EXPECT_LE(std::fabs(four.ld[0] / one.ld[0] - 2), 1e-17L);
        EXPECT_EQ(small.ld[0], one.ld[0]);
        EXPECT_EQ(one.ld[1], 0.0L);  // no quadratic term
        EXPECT_EQ(one.ld[2], 0.0L);
    }
}

// ---- orientation of ω ---------------------------------------------------------------------

// The tool puts mid-transit at ν + ω = 270° (the planet in front when sin(ν + ω) < 0); the usual
// convention puts it at ν = 90° - ω.  So ω here is the usual ω plus 180°, and the usual
// formulas then hold: the separation at conjunction is cos i·(1 - e²)/(1 + e·sin ω), and the
// least separation lies below it by the second-order amount that the change of the orbital
// radius across the conjunction brings: with κ = d ln r/dν = e·sin ν/(1 + e·cos ν) there,
// δ_min/δ_conj = 1 - κ²·cos² i/(2·sin² i) + O(cos⁴ i).  Taking ω unchanged would be off by O(e).
TEST(Orientation, ImpactParameterOfTheUsualConvention) {
    const struct {
        long double e, omega_deg, inc_deg;  // ω in the usual convention
    } cases[] = {
        {0.3L, 60, 88}, {0.5L, 150, 89}, {0.2L, -45, 87}, {0.6L, 260, 89.5L}, {0.1L, 10, 85},
    };
    for (const auto& c : cases) {
        const long double omega = c.omega_deg * kPi / 180, tool = omega + kPi;
        const long double ci = CosSquared(c.inc_deg), e = c.e;
        const long double usual = cosl(c.inc_deg * kPi / 180) * (1 - e * e) / (1 + e * sinl(omega));
        const long double wrong = cosl(c.inc_deg * kPi / 180) * (1 - e * e) / (1 + e * sinl(tool));
        long double d, df, de, dw, di;

        // The conjunction: δ = r·S with S² = 1 - sin² i·sin² u computed with a cancellation of
        // 1/cos² i ulps.
        const long double nu = 3 * kPi / 2 - tool;
        ASSERT_EQ(DeltaEccentric_omega_ci_d(MeanOfTrue(nu, e), e, tool, ci, &d, &df, &de, &dw, &di),
                  1);
        EXPECT_LE(std::fabs(d - usual), 4 * 0x1p-64L / ci * usual)
            << "e " << double(e) << " ω " << double(c.omega_deg);

        const long double kappa = e * sinl(nu) / (1 + e * cosl(nu));
        const long double deficit = kappa * kappa * ci / (2 * (1 - ci));
        ASSERT_EQ(
            DeltaEccentric_omega_ci_d(phmin_ci(e, tool, ci), e, tool, ci, &d, &df, &de, &dw, &di),
            1);
        EXPECT_LE(std::fabs((usual - d) / usual - deficit), 0.02L * deficit)
            << "e " << double(e) << " ω " << double(c.omega_deg);
        EXPECT_GT(std::fabs(wrong - d), 100 * deficit * d);
    }
}

namespace {

// Time from first to last contact of a transit, from the design set's B_0 < 1: bisection for
// each contact between a time inside the transit and one a tenth of the period away.
long double Duration(const Params& p, long double inside) {
    const auto hidden = [&](long double t) { return Design(p, {t}, 0, 1)[0] < 1; };
    const auto contact = [&](long double out) {
        long double a = out, b = inside;
        for (;;) {
            const long double m = a + (b - a) / 2;
            if (m == a || m == b) return b;
            (hidden(m) ? b : a) = m;
        }
    };
    return contact(inside + 0.1L * kPeriod) - contact(inside - 0.1L * kPeriod);
}

}  // namespace

// The usual duration scales with √(1 - e²)/(1 + e·sin ω) against a circular orbit of the same
// impact parameter b = δ_conj/R.  That ratio assumes a straight path at constant speed; the arc
// sine of the chord and the curvature of the path add relative terms of order x² with
// x = (R + Rp)/min(r, 1), r the orbital radius at conjunction, so the tolerance is x².
TEST(Orientation, TransitDurationOfTheUsualConvention) {
    const long double R = 0.02L, Rp = 0.002L;
    const struct {
        long double e, omega_deg, b;  // ω in the usual convention
    } cases[] = {
        {0.3L, 60, 0}, {0.3L, 60, 0.5L}, {0.5L, 150, 0.3L}, {0.2L, -45, 0}, {0.6L, 260, 0.4L},
    };
    for (const auto& c : cases) {
        const long double omega = c.omega_deg * kPi / 180, tool = omega + kPi, e = c.e;
        const long double r = (1 - e * e) / (1 + e * sinl(omega));
        const long double cos_ecc = c.b * R / r, cos_circ = c.b * R;
        const Params ecc = {0.3L, e, tool, cos_ecc * cos_ecc, R, Rp};
        const Params circ = {0.3L, 0, kPi / 2, cos_circ * cos_circ, R, Rp};
        const long double ratio =
            Duration(ecc, TimeOfMean(MeanOfTrue(3 * kPi / 2 - tool, e), ecc)) /
            Duration(circ, TimeOfMean(kPi, circ));
        const long double want = sqrtl(1 - e * e) / (1 + e * sinl(omega));
        const long double wrong = sqrtl(1 - e * e) / (1 + e * sinl(tool));
        const long double x = (R + Rp) / std::min(r, 1.0L);
        EXPECT_LE(std::fabs(ratio / want - 1), x * x)
            << "e " << double(e) << " ω " << double(c.omega_deg) << " b " << double(c.b);
        EXPECT_GT(std::fabs(ratio / wrong - 1), 10 * x * x);
    }
}
