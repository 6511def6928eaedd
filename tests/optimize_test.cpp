// The readers of the parameter file and the data table and the small rules of the fit, by the
// cases of tests/data/input_cases.txt; the fit on a given design array: the linear fit of the
// law's basis, the residual and the Levenberg-Marquardt step.
#include "optimize.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

using Words = std::vector<std::string>;

long double Number(const std::string& word) { return std::strtold(word.c_str(), nullptr); }

void CheckParameterFile(const std::string& text, const std::string& path, const Words& want) {
    TempDir dir;
    const std::string file = path.empty() ? dir.Write("p.par", text) : path;
    long double tbl[kInputSlots] = {7.0L}, inp[kInputSlots], par[6];
    int flags[2];
    const int res = load_input(file.c_str(), tbl, &flags[0], &flags[1]);
    const char* const slots[] = {"tshift",  "eccentr", "periastr",   "inclination", "rsun",
                                 "rplanet", "period",  "iterations", "lm"};
    for (std::size_t k = 1; k + 1 < want.size(); k += 2) {
        const std::string& name = want[k];
        long double got = name == "res" ? res : NAN, ulps = 0;
        RunOptions options;
        if (name == "pflag" || name == "lflag") got = flags[name == "lflag"];
        if (name == "fit_period") got = read_options(file.c_str(), &options) && options.fit_period;
        if (name == "omega" || name == "cos2i") {
            EXPECT_TRUE(read_parameters(file.c_str(), inp, par, &flags[0], &flags[1]));
            got = par[name == "omega" ? 2 : 3], ulps = kUlps16;
        }
        for (int s = 0; s < kInputSlots; ++s)
            if (name == slots[s]) got = tbl[s];
        const long double v = Number(want[k + 1]);
        EXPECT_TRUE(UlpDistance(got, v) <= ulps || (std::isnan(got) && std::isnan(v)))
            << name << Show({got});
    }
}

void CheckTable(const std::string& text, const std::string& path, const Words& want) {
    TempDir dir;
    long double* raw = reinterpret_cast<long double*>(&dir);
    TableError err;
    TableNotes notes;
    const std::string file = path.empty() ? dir.Write("d.txt", text) : path;
    const std::int64_t count = load_table(file.c_str(), &raw, &err, &notes);
    const std::unique_ptr<long double[]> owned(raw);
    const std::vector<long double> got(raw, raw + std::max<std::int64_t>(count, 0));
    if (want[0] == "refused") {
        EXPECT_EQ(raw, nullptr);
        EXPECT_EQ(count == -1 ? err.kind : -1, std::stoi(want[1]));
        EXPECT_EQ(err.line, std::stoi(want[2]));
        EXPECT_EQ(err.word, want.size() > 3 ? want[3] : err.word);
        return;
    }
    ASSERT_EQ(err.kind, TableError::kNone);
    if (want[0] == "mag") {
        const long double median = Number(want[2]);
        EXPECT_EQ(notes.magnitude_column, want[1]);
        EXPECT_EQ(notes.median_magnitude, median);
        ASSERT_EQ(got.size(), 3 * (want.size() - 3) / 2);
        for (std::size_t k = 3, i = 0; k + 1 < want.size(); k += 2, i += 3) {
            const long double f = std::pow(10.0L, (median - Number(want[k])) / 2.5L);
            EXPECT_EQ(got[i], i / 3 + 1.0L);
            EXPECT_LE(UlpDistance(got[i + 1], f), kUlps4) << i;
            const long double sigma = 0.4L * std::log(10.0L) * f * Number(want[k + 1]);
            EXPECT_LE(UlpDistance(got[i + 2], sigma), kUlps4) << i;
        }
        return;
    }
    std::vector<long double> rows;
    std::size_t k = 1;
    for (; k < want.size() && want[k] != "notes"; ++k) rows.push_back(Number(want[k]));
    EXPECT_EQ(got, rows);
    const auto note = [&](int i) { return k + i < want.size() ? std::stoll(want[k + i]) : 0; };
    EXPECT_EQ(notes.missing, note(1));
    EXPECT_EQ(notes.first_missing, note(2));
    EXPECT_EQ(notes.flagged, note(3));
    EXPECT_EQ(notes.first_flagged, note(4));
    EXPECT_EQ(notes.magnitude_column, "");
}

// The cases of one line: count_fit, the range rules of lm_step, improves_best.
void CheckRule(const Words& w) {
    std::vector<long double> v;
    for (std::size_t k = 1; k < w.size(); ++k) v.push_back(Number(w[k]));
    if (w[0] == "counts") {
        const FitCounts n = count_fit(int(v[0]), int(v[1]));
        EXPECT_EQ(std::vector<long double>({v[2], v[3], v[4]}),
                  std::vector<long double>({1.0L * n.ldnum, 1.0L * n.parnum, 1.0L * n.len}));
    } else if (w[0] == "step" || w[0] == "rule") {
        const bool step = w[0] == "step";
        const long double lset[2] = {step ? 0.0L : 1.0L, 1.0L}, data[3] = {0, step ? v[2] : 1, 1};
        long double par[6] = {0.0L, 0.5L, 0.0L, 0.5L, 0.1L, 0.01L};
        const int slot = int(v[0]);
        par[slot] = v[1];
        EXPECT_EQ(lm_step(lset, data, 1, par, step << slot, 1, 0.0L), step ? std::fabs(v[2]) : 0);
        EXPECT_EQ(par[slot], v.back());
    } else {
        ASSERT_EQ(w[0], "best");
        EXPECT_EQ(improves_best(std::int64_t(v[0]), v[1], v[2]), v[3] != 0);
    }
}

}  // namespace

TEST(Readers, CasesOfTheDataFile) {
    std::ifstream in(std::string(SOURCE_DIR) + "/tests/data/input_cases.txt");
    ASSERT_TRUE(in.good());
    std::string line, kind, text, path;
    int cases = 0;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream split(line);
        Words words;
        for (std::string w; split >> w;) words.push_back(w);
        if (words[0].rfind("par", 0) == 0 || words[0].rfind("table", 0) == 0) {
            kind = words[0], text = Unescape(line.substr(std::min(line.size(), kind.size() + 1)));
            path = kind.find("-file") != std::string::npos ? text : "";
            continue;
        }
        SCOPED_TRACE(line + (kind.empty() ? "" : " for " + kind + " " + text));
        if (words[0] == "got")
            CheckParameterFile(text, path, words);
        else if (words[0] == "rows" || words[0] == "mag" || words[0] == "refused")
            CheckTable(text, path, words);
        else
            CheckRule(words), kind.clear();
        ++cases;
    }
    EXPECT_EQ(cases, 90);
}

namespace {

// A design array of `points` points for the masks, filled with smooth made-up values, and data
// whose fluxes follow F = B0 + Σ c_k·B_k exactly.
struct Design {
    FitCounts fc;
    std::vector<long double> lset, data;
};

Design MakeDesign(int points, int parflag, int ldflag, const std::vector<long double>& c) {
    Design d{count_fit(parflag, ldflag), {}, {}};
    d.lset.resize(points * d.fc.len);
    for (int i = 0; i < points; ++i) {
        long double* B = &d.lset[i * d.fc.len];
        for (int e = 0; e < d.fc.len; ++e)
            B[e] = std::sin((0.37L + 0.21L * e) * i + 1.3L * e) + (e == 0 ? 2 : 0);
        long double f = B[0];
        for (int k = 1; k < d.fc.ldnum; ++k) f += c[k - 1] * B[k];
        d.data.insert(d.data.end(), {1.0L * i, f, 0.001L * (1 + i % 3)});
    }
    return d;
}

}  // namespace

// Exact data: the coefficients come back, the residual is 0, and scaling every σ exactly changes
// no bit. One term on noisy data: c = Σ(y - B0)B1/σ² / Σ B1²/σ², the weights 1/σ² in their
// place. (The residual's weights: the model table's mean squared residual is the reduced
// chi-square, tests/model_cli_test.cpp.)
TEST(LinearFit, CoefficientsAndResidual) {
    const std::vector<long double> c = {0.375L, -0.25L, 0.125L};
    for (int ldflag : {3, 5, 9, 7, 15}) {
        Design d = MakeDesign(40, 2, ldflag, c);
        long double got[4] = {}, scaled[4] = {};
        fitted_lin(got, d.data.data(), d.lset.data(), 40, 2, ldflag);
        for (int k = 0; k < d.fc.ldnum - 1; ++k)
            EXPECT_LE(std::fabs(got[k] - c[k]), 1e-17L) << ldflag << k;
        EXPECT_LE(residual(d.lset.data(), d.data.data(), 40, 2, ldflag), 1e-25L);
        for (int i = 0; i < 40; ++i) d.data[3 * i + 2] *= 1024.0L;
        fitted_lin(scaled, d.data.data(), d.lset.data(), 40, 2, ldflag);
        for (int k = 0; k < d.fc.ldnum - 1; ++k) EXPECT_EQ(scaled[k], got[k]) << ldflag;
    }
    Design d = MakeDesign(25, 0, 3, {0.0L});
    long double num = 0, den = 0, cfit[1];
    for (int i = 0; i < 25; ++i) {
        d.data[3 * i + 1] += 0.01L * std::cos(1.7L * i);
        const long double v = d.data[3 * i + 2] * d.data[3 * i + 2];
        num += (d.data[3 * i + 1] - d.lset[2 * i]) * d.lset[2 * i + 1] / v;
        den += d.lset[2 * i + 1] * d.lset[2 * i + 1] / v;
    }
    for (int ldflag : {3, 5}) {
        fitted_lin(cfit, d.data.data(), d.lset.data(), 25, 0, ldflag);
        EXPECT_LE(UlpDistance(cfit[0], num / den), kUlps16) << ldflag;
    }
}

// With λ large the solution tends to g/(λ·μ), whose length over all unknowns is 1/λ; the
// returned step sums only the parameter part. (The undamped step is pinned by the "step" rows of
// the case file and by the fits of optimize_fit_test, which land on their inputs.)
TEST(LevenbergMarquardt, LargeDamping) {
    Design d = MakeDesign(20, 1 | 8, 3, {0.2L});
    for (int i = 0; i < 20; ++i) d.data[3 * i + 1] += 0.003L * std::sin(2.1L * i);
    long double linf[1], LMatr[9], g[3], p[6] = {0.1L, 0, 0, 0.2L, 0.1L, 0.01L};
    fitted_lin(linf, d.data.data(), d.lset.data(), 20, 9, 3);
    normal_equations(d.lset.data(), d.data.data(), 20, 9, 3, linf, LMatr, g);
    const long double lambda = 1e18L, mu = std::sqrt(g[0] * g[0] + g[1] * g[1] + g[2] * g[2]);
    const long double step = lm_step(d.lset.data(), d.data.data(), 20, p, 9, 3, lambda);
    const long double want = (std::fabs(g[0]) + std::fabs(g[1])) / (lambda * mu);
    EXPECT_LE(std::fabs(step - want) / want, 1e-9L);
}

// A planet of radius 1e-12 hides ~1e-24 of the star: over an exposure the design set must still
// end (not cut the window into ~1e10 parts at its tiny contacts) and give, at every point across
// mid-transit, the flux of the set at the time to the window mean's rounding (15 ulps of 1).
TEST(DesignSet, ExposureOfATinyPlanetEnds) {
    const long double c = cosl(89 * kPi / 180), period = 3, tmid = 1.2L;
    long double p[6] = {0, 0, 0, c * c, 0.1L, 1e-12L};
    p[0] = phase_parameter(tmid, period, p);
    std::vector<long double> data;
    for (int i = -4; i <= 4; ++i) data.insert(data.end(), {tmid + 0.005L * i, 1.0L, 1e-3L});
    const int points = 9, ldflag = 1 | kLinBit | kQuadBit, len = count_fit(0, ldflag).len;
    std::vector<long double> at(points * len), over(points * len);
    der_set_norm_ci_exposure(at.data(), data.data(), points, period, p, 0, ldflag, 0.0L);
    der_set_norm_ci_exposure(over.data(), data.data(), points, period, p, 0, ldflag, 0.02L);
    const long double linf[2] = {0.4L, 0.25L};
    for (int i = 0; i < points; ++i)
        EXPECT_LE(
            std::fabs(model_flux(&over[i * len], 3, linf) - model_flux(&at[i * len], 3, linf)),
            1e-17L)
            << i;
}
