// The fast design set against the straightforward one: per-point sets against the separate
// occultation functions, the screened design array against the full evaluation of every point
// (the screen switched off), any thread count against one, and the tool's full reports against
// reports made before the speed work.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "lustre.h"
#include "optimize.h"
#include "test_util.h"

namespace {

// Equal in all 80 bits, the sign of a zero and NaNs included.
bool Bits(long double a, long double b) { return std::memcmp(&a, &b, 10) == 0; }

struct Geometry {
    long double par[6], period;
    std::vector<long double> data;
};

// The design array of g's points for the masks, screened or not.
std::vector<long double> DesignSet(const Geometry& g, int parflag, int ldflag, bool screen) {
    const std::int64_t points = g.data.size() / 3;
    std::vector<long double> lset(count_fit(parflag, ldflag).len * points, screen ? -7.0L : -9.0L);
    set_design_screen(screen);
    der_set_norm_ci(lset.data(), g.data.data(), points, g.period, g.par, parflag, ldflag);
    set_design_screen(true);
    return lset;
}

// Times over two orbits, densely through the transit, and at the last time the full evaluation
// sees the star occulted before and after mid-transit (found by bisection), next to it and a
// little beyond, where the screen must hand the point on. Planets with r = ρ, r = 1 and r > 1
// are included; kind % 3 == 0 is circular, kind % 4 == 1 edge-on.
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
    const long double tmid = g.period * U(gen), window = 0.3L * g.period * (g.par[4] + g.par[5]);
    g.par[0] = phase_parameter(tmid, g.period, g.par);
    auto add = [&](long double t) { g.data.insert(g.data.end(), {t, 1.0L, 0.001L}); };
    for (int k = 0; k < 40; ++k) add(tmid - g.period + 2 * g.period * U(gen));
    for (int k = 0; k < 40; ++k) add(tmid - window + 2 * window * U(gen));
    const auto occulted = [&](long double t) {
        Geometry one = g;
        one.data = {t, 1.0L, 1.0L};
        return DesignSet(one, 0, 1, false)[0] != 1.0L;
    };
    for (long double side : {-1.0L, 1.0L}) {
        long double in = tmid, out = tmid + side * g.period / 4;
        if (!occulted(in) || occulted(out)) continue;
        for (long double mid; (mid = in + (out - in) / 2) != in && mid != out;)
            (occulted(mid) ? in : out) = mid;
        for (long double eps : {0.0L, 1e-15L, 1e-9L, 0x1p-20L, 1e-5L})
            add(in - side * eps * window), add(out + side * eps * window);
    }
    return g;
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
    using Fn = long double (*)(long double, long double);
    const Fn fns[4][3] = {{L0, D1L0, D2L0}, {L1, D1L1, D2L1}, {L2, D1L2, D2L2}, {L3, D1L3, D2L3}};
    for (const auto& [delta, r] : cases) {
        OccultTerm l0, l2;
        L0L2Set(delta, r, &l0, &l2);
        const OccultTerm sets[4] = {l0, L1Set(delta, r), l2, L3Set(delta, r)};
        for (int t = 0; t < 4; ++t) {
            const long double got[3] = {sets[t].value, sets[t].d1, sets[t].d2};
            for (int k = 0; k < 3; ++k)
                EXPECT_TRUE(Bits(got[k], fns[t][k](delta, r)))
                    << "term " << t << " value " << k << " at δ, r"
                    << Show({delta, r, got[k], fns[t][k](delta, r)});
        }
    }
}

// Eccentric and circular orbits, edge-on ones, planets smaller than, as large as and larger
// than the star, points at and next to the contacts, every mask combination of the terms and a
// spread of parameter masks; and parameter vectors the screen must not judge: e = 1 and R = 0
// (evaluated just inside), a negative planet radius, a face-on orbit, not-a-number parameters.
TEST(DesignSetSpeed, ScreenEqualsTheFullEvaluation) {
    std::mt19937_64 gen(2024);
    std::vector<Geometry> shapes;
    for (int kind = 0; kind < 8; ++kind) shapes.push_back(MakeGeometry(gen, kind));
    const Geometry base = MakeGeometry(gen, 1);
    const long double nan = std::nanl("");
    for (const auto& [slot, value] : {std::pair<int, long double>{1, 1.0L},
                                      {4, 0.0L},
                                      {5, -0.01L},
                                      {3, 1.0L},
                                      {1, nan},
                                      {5, nan},
                                      {0, nan}})
        shapes.push_back(base), shapes.back().par[slot] = value;
    // Equal to the last bit (zeros may differ in sign: -(-0·x)/R against a stored +0); the
    // first differences are reported.
    int bad = 0;
    for (std::size_t s = 0; s < shapes.size(); ++s) {
        const Geometry& g = shapes[s];
        for (int ldflag :
             s < 8 ? std::vector<int>{1, 3, 5, 7, 9, 15, 2, 6, 14, 17} : std::vector<int>{15})
            for (int parflag : s < 8 ? std::vector<int>{63, 0, 48, 6} : std::vector<int>{63}) {
                const auto fast = DesignSet(g, parflag, ldflag, true);
                const auto plain = DesignSet(g, parflag, ldflag, false);
                for (std::size_t at = 0; at < fast.size() && bad < 5; ++at)
                    if (!Bits(fast[at], plain[at]) && !(fast[at] == 0 && plain[at] == 0))
                        ADD_FAILURE()
                            << "parflag " << parflag << " ldflag " << ldflag << " entry " << at
                            << Show({fast[at], plain[at]}) << "; φ0, e, ω, cos² i, R, Rp, P"
                            << Show({g.par[0], g.par[1], g.par[2], g.par[3], g.par[4], g.par[5],
                                     g.period}),
                            ++bad;
            }
    }
}

// The points are shared among threads; the arrays and every sum over them come out the same.
TEST(DesignSetSpeed, ThreadCountChangesNoBit) {
    Geometry g{{0.0L, 0.05L, 1.3L, 0.002L, 0.15L, 0.015L}, 3.0L, {}};
    for (int i = 0; i < 9000; ++i) {
        const long double t = i * (2.0L / 1440);
        const long double dip = std::fabs(std::remainder(t - 1.5L, g.period)) < 0.06L ? 0.01L : 0;
        g.data.insert(g.data.end(), {t, 1.0L - dip + 1e-4L * std::sin(7.0L * i), 3e-4L});
    }
    g.par[0] = phase_parameter(1.5L, g.period, g.par);
    auto run = [&](int threads) {
        set_design_threads(threads);
        std::vector<long double> out = DesignSet(g, 63, 15, true);
        const long double* lset = out.data();
        long double r[11];  // linf, residual, step, par
        std::copy(g.par, g.par + 6, r + 5);
        fitted_lin(r, g.data.data(), lset, 9000, 63, 15);
        r[3] = residual(lset, g.data.data(), 9000, 63, 15);
        r[4] = lm_step(lset, g.data.data(), 9000, r + 5, 63, 15, 0.01L);
        out.insert(out.end(), r, r + 11);
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
    const std::string example = std::string(SOURCE_DIR) + "/examples/hotjupiter";
    const std::string hatp3 = std::string(SHARED_DATA_DIR) + "/hatp3b_keplercam_i.txt";
    const auto report_of = [](const std::string& out) {  // the quote after it is not compared
        return out.substr(0, out.find("\nconvergence  "));
    };
    TempDir tmp;
    for (const std::string name :
         {"all_terms_eccentric", "sqrt_only", "hatp3b_all", "hotjupiter"}) {
        const std::string table = name == "hatp3b_all" ? hatp3 : example + ".txt";
        if (!std::filesystem::exists(table)) continue;  // data beside the checkout
        const std::string par = name == "hotjupiter" ? example + ".par" : dir + name + ".par";
        const CliResult res = RunTool({par, table, tmp.path() + "/" + name});
        EXPECT_EQ(res.status, 0) << name;
        EXPECT_EQ(report_of(res.out), TempDir::ReadFile(dir + name + ".stdout")) << name;
        EXPECT_EQ(report_of(tmp.Read(name)), TempDir::ReadFile(dir + name + ".result")) << name;
    }
    const std::string report = tmp.Read("hotjupiter");
    EXPECT_NEAR(double(ReportValue(report, "inclination ")), 86.8, 0.3);
    EXPECT_NEAR(double(ReportValue(report, "rsun ")), 0.115, 0.004);
    EXPECT_NEAR(double(ReportValue(report, "rplanet ")), 0.0138, 0.0004);
    if (!std::filesystem::exists(hatp3))
        GTEST_SKIP() << "the other runs passed; no data at " << hatp3;
}
