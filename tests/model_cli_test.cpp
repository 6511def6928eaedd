// transitlm-model end to end: the table against transitlm's report of the same parameters and the
// figure parsed as XML (its messages are cases of tests/data/cli_cases.txt); and what the figure
// does not show of the plotting helpers, in process.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "svgplot.h"
#include "test_util.h"

namespace {

const std::string kExampleTable = std::string(SOURCE_DIR) + "/examples/hotjupiter.txt";

// Rows of the table: time, flux, uncertainty, model, residual, folded time; the header apart.
std::vector<std::vector<long double>> ReadRows(const std::string& text, std::string* header) {
    std::vector<std::vector<long double>> rows;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, 1, "#") == 0) {
            *header += line;
            continue;
        }
        std::istringstream fields(line);
        rows.emplace_back();
        for (long double v; fields >> v;) rows.back().push_back(v);
    }
    return rows;
}

// The figure as Python's XML parser reads it (a document that is not well formed fails the
// calling test, and so does a root that is no SVG element): per panel the markers in groups of
// class "points" and the drawing commands M of the paths of class "errorbars" and "raw" and L of
// class "model", and the text of the whole figure, entities decoded.
struct Figure {
    std::map<std::string, std::size_t> upper, lower;
    std::string text;
};

void ReadFigure(const std::string& file, Figure* fig) {
    if (RunProgram("/bin/sh", {"-c", "command -v python3"}).status != 0)
        GTEST_SKIP() << "no python3 to parse the figure";
    const CliResult res = RunProgram("python3", {SOURCE_DIR "/tests/python/svg_panels.py", file});
    ASSERT_EQ(res.status, 0) << res.err;
    std::istringstream in(res.out);
    for (auto* panel : {&fig->upper, &fig->lower})
        for (const char* k : {"points", "errorbars", "raw", "model"}) in >> (*panel)[k];
    fig->text = res.out.substr(std::size_t(in.tellg()));
}

}  // namespace

// The weighted mean squared residual of the table is the reduced chi-square that transitlm
// reports for the same parameters (an iteration count below 1 evaluates them once), so the
// model column carries the fit's limb-darkening coefficients and basis, point for point: the
// example near its fit with the quadratic law, an eccentric orbit off the data's with the
// square-root and linear terms, a uniform disc (no coefficient fitted), and a held coefficient
// with a trend per transit, whose table adds the corrected flux and the trend (their product
// is the flux). The last column is t - T0 brought into [-P/2, P/2) by whole periods, T0 the time
// of mid-transit of the report: so too for times over eight periods either side of an eccentric
// orbit's transit, some half a period from it.
TEST(ModelTable, ReproducesTheReducedChiSquareAndFoldsTheTime) {
    TempDir dir;
    std::string folded;
    for (int k = -8; k <= 8; ++k)
        for (double offset : {0.0, 1.25, -1.25, 0.3, -1.1, 2.4999}) {
            char row[64];
            std::snprintf(row, sizeof row, "%.17g 1 0.001\n", 1.23 + 2.5 * k + offset);
            folded += row;
        }
    const std::pair<const char*, std::string> cases[] = {
        {"tshift 1.5999 f\nperiod 3.2\ninclination 86.94 f\nrsun 0.11507 f\nrplanet 0.013627 f\n"
         "eccentr 0\nperiastr 90\nlin\nquad\n",
         kExampleTable},
        {"tshift 1.62\nperiod 3.2\neccentr 0.25 f\nperiastr 40\ninclination 86.5\nrsun 0.12\n"
         "rplanet 0.0135\nlin\nsqrt\n",
         kExampleTable},
        {"tshift 1.6\nperiod 3.2\ninclination 87\nrsun 0.115\nrplanet 0.0138\n", kExampleTable},
        {"tshift 1.6\nperiod 3.2\ninclination 86.9 f\nrsun 0.115\nrplanet 0.0138\nlin\n"
         "quad 0.2 fixed\ntrend 1\n",
         kExampleTable},
        {"tshift 1.23\nperiod 2.5\neccentr 0.3\nperiastr 40\ninclination 85\nrsun 0.2\n"
         "rplanet 0.02\n",
         dir.Write("folded.txt", folded)},
    };
    for (const auto& [text, table] : cases) {
        SCOPED_TRACE(text);
        std::string header;
        const auto input = ReadRows(TempDir::ReadFile(table), &header);
        const std::string par = dir.Write("p.par", text + std::string("iterations 0.5\n"));
        const CliResult fit = RunTool({par, table});
        ASSERT_EQ(fit.status, 0) << fit.out;
        const CliResult model =
            RunProgram(TRANSITLM_MODEL_BIN, {par, table, dir.path() + "/m.tsv"});
        ASSERT_EQ(model.status, 0) << model.out;
        EXPECT_EQ(model.out, "");
        header.clear();
        const auto rows = ReadRows(dir.Read("m.tsv"), &header);
        const bool trend = std::string(text).find("trend") != std::string::npos;
        EXPECT_EQ(header, std::string("# time\tflux\tuncertainty\tmodel\tresidual\t"
                                      "time_from_mid_transit") +
                              (trend ? "\tcorrected_flux\ttrend" : ""));
        ASSERT_EQ(rows.size(), input.size());
        const long double t0 = ReportValue(fit.out, "tshift   "),
                          P = ReportValue(fit.out, "period  ");
        long double sum = 0.0L;
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const auto& row = rows[i];
            ASSERT_EQ(row.size(), trend ? 8u : 6u) << "row " << i;
            if (trend) {
                EXPECT_LE(std::fabs(row[6] * row[7] / row[1] - 1), 1e-18L) << i;
            }
            for (int k = 0; k < 3; ++k) EXPECT_EQ(row[k], input[i][k]) << "row " << i;
            EXPECT_LE(std::fabs((row[1] - row[3]) - row[4]), 1e-18L) << "row " << i;
            sum += (row[4] / (row[2] * row[2])) * row[4];
            EXPECT_TRUE(row[5] >= -P / 2 && row[5] < P / 2) << Show({row[0], row[5]});
            const long double periods = (row[0] - t0 - row[5]) / P;
            EXPECT_LE(std::fabs(periods - std::round(periods)), 1e-16L) << Show({row[0]});
        }
        const long double chi2 = ReportValue(fit.out, "chi_square_reduced  ");
        EXPECT_LE(std::fabs(sum / rows.size() / chi2 - 1), 1e-17L)  // 19-digit columns
            << "table, report" << Show({sum / rows.size(), chi2});
    }
}

// Three figures: (a) every observation of a short table lies in the window of a long transit:
// both panels show each point with its error bar, and the model is a curve on a grid finer than
// the data; the title carries the reduced chi-square of transitlm's report, to six digits, and
// the data file's name, escaped. (b) The example's transit covers 4% of its orbit: the axis zooms
// to three transit durations and says so; the duration is the closed form for a circular orbit,
// P/π·asin(√((R* + Rp)² - cos² i)/sin i) with lengths in semi-major axes; drawn and left-out
// points add up to the table, the drawn ones those within 1.5 durations of three transits,
// sampled every two minutes. (c) Beyond a few thousand points in the window the panels show
// weighted means in bins over the raw points, drawn faint without error bars (dots on the same
// pixel once); the file stays small.
TEST(ModelFigure, PanelsZoomAndBins) {
    TempDir dir;
    std::string shortTable, longTable;
    for (int i = 0; i < 240; ++i) {
        char row[96];
        const double t = i / 100.0, dip = std::fabs(std::remainder(t - 0.3, 1.0)) < 0.08;
        std::snprintf(row, sizeof row, "%.2f %.6f 0.001\n", t,
                      1 - 0.011 * dip + 0.0008 * std::sin(7.0 * i));
        shortTable += row;
    }
    for (int i = 0; i < 20000; ++i) {
        char row[96];
        const double t = i / 20000.0;
        std::snprintf(row, sizeof row, "%.6f %.6f 0.002\n", t,
                      1 - 0.012 * (std::fabs(t - 0.5) < 0.1) + 0.002 * std::sin(1e3 * i));
        longTable += row;
    }
    const std::string data = dir.Write("d & <x>.txt", shortTable);
    const std::string par =
        dir.Write("a.par",
                  "tshift 0.3\nperiod 1\neccentr 0.3\nperiastr 40\n"
                  "inclination 80\nrsun 0.45\nrplanet 0.05\nlin\niterations 0.5\n");
    Figure fig[3];
    const std::string runs[3][3] = {
        {par, data, "a.svg"},
        {dir.Write("b.par",
                   "tshift 1.6\nperiod 3.2\ninclination 86.8\nrsun 0.115\nrplanet 0.0138\nlin\n"),
         kExampleTable, "b.svg"},
        {dir.Write("c.par",
                   "tshift 0.5\nperiod 1\ninclination 75\nrsun 0.45\nrplanet 0.05\nquad\n"),
         dir.Write("c.txt", longTable), "c.svg"}};
    for (int k = 0; k < 3; ++k) {
        ASSERT_EQ(
            RunProgram(TRANSITLM_MODEL_BIN, {runs[k][0], runs[k][1], dir.path() + "/" + runs[k][2]})
                .status,
            0);
        ReadFigure(dir.path() + "/" + runs[k][2], &fig[k]);
        if (HasFatalFailure() || IsSkipped()) return;
    }
    // (a)
    for (auto* panel : {&fig[0].upper, &fig[0].lower}) {
        EXPECT_EQ((*panel)["points"], 240u);
        EXPECT_EQ((*panel)["errorbars"], 240u);
        EXPECT_EQ((*panel)["raw"], 0u);
    }
    EXPECT_GE(fig[0].upper["model"], 1000u);
    // T0 to a millionth of a day (a tenth of a second); the axis says its unit.
    char chi2[32];
    std::snprintf(chi2, sizeof chi2, "= %.6Lg",
                  ReportValue(RunTool({par, data}).out, "chi_square_reduced  "));
    const char* const words[] = {"Relative flux", "Time from mid-transit T0 [d]", "= 0.300000",
                                 "d & <x>.txt", chi2};
    for (const char* w : words) EXPECT_NE(fig[0].text.find(w), std::string::npos) << w;
    EXPECT_EQ(fig[0].text.find("zoomed"), std::string::npos);
    // (b)
    const long double rsun = 0.115L, rplanet = 0.0138L, i = 86.8L * kPi / 180, P = 3.2L;
    const std::string& text = fig[1].text;
    const std::string key = "zoomed to the transit: 3 \u00d7 its duration ";
    const std::size_t at = text.find(key);
    ASSERT_NE(at, std::string::npos) << text;
    const long double chord = sqrtl((rsun + rplanet) * (rsun + rplanet) - cosl(i) * cosl(i));
    const long double expected = P / kPi * asinl(chord / sinl(i));
    EXPECT_NEAR(double(std::strtold(text.c_str() + at + key.size(), nullptr)), double(expected),
                1e-3 * double(expected));
    const std::size_t drawn = fig[1].upper["points"];
    EXPECT_EQ(drawn + std::strtoul(text.c_str() + text.find("; ", at) + 2, nullptr, 10), 6912u);
    EXPECT_EQ(fig[1].lower["errorbars"], drawn);
    EXPECT_NEAR(double(drawn), 3 * 3 * double(expected) * 720, 6);
    // (c)
    for (auto* panel : {&fig[2].upper, &fig[2].lower}) {
        EXPECT_EQ((*panel)["errorbars"], 150u);  // every bin holds points
        EXPECT_EQ((*panel)["points"], 150u);
        EXPECT_GT((*panel)["raw"], 1000u);
        EXPECT_LE((*panel)["raw"], 20000u);
    }
    EXPECT_NE(fig[2].text.find("weighted means in 150 bins"), std::string::npos);
    EXPECT_LT(dir.Read("c.svg").size(), 1000000u);
}

// ---- the plotting helpers, what the figures above do not show ------------------------------

// Ticks over ranges of every scale and sign: the step is 1, 2 or 5 times a power of ten, every
// major tick a multiple of it inside the range, about as many as asked, with labels that tell
// them apart, and minor ticks between them; an empty or non-finite range has none. Labels use a
// true minus sign and no negative zero; markup is escaped, _{} and ^{} become sub- and
// superscripts. Widths: 0.62 em a character, 0.68 bold, an em space 1 em, scripts at 72%; a title
// wider than the page breaks at its gaps (two em spaces, dropped) into lines that fit, keeping
// every piece, and a file name wider than the page loses its middle to "…". Weighted means by
// hand: in [0, 1) with two bins, (1 ± 1), (3 ± 2) and (7 ± 4) at the lower end share the first
// bin with weights 1, 1/4, 1/16; the point at the upper end and the NaN belong to no bin, and
// the empty second bin is left out.
TEST(SvgPlot, TicksLabelsTitlesAndBins) {
    const struct {
        double lo, hi;
        int target;
    } cases[] = {{-0.18, 0.18, 9},
                 {0.9815, 1.0025, 7},
                 {-1873.0, 1873.0, 5},
                 {0.0, 1.0, 6},
                 {-0.5, 0.5, 9},
                 {1e-7, 3.3e-7, 5},
                 {2458000.1, 2458000.4, 8},
                 {-3e5, -2.9e5, 6},
                 {0.999, 1.001, 7},
                 {1, 1, 5},
                 {NAN, 1, 5},
                 {0, INFINITY, 5}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.lo) + " " + std::to_string(c.hi));
        const AxisTicks t = NiceTicks(c.lo, c.hi, c.target);
        if (!std::isfinite(c.hi - c.lo) || c.hi == c.lo) {
            EXPECT_TRUE(t.major.empty());
            continue;
        }
        const double mantissa = t.step / std::pow(10.0, std::floor(std::log10(t.step) + 1e-9));
        EXPECT_NEAR(mantissa, mantissa < 1.5 ? 1 : mantissa < 3.5 ? 2 : 5, 1e-9) << t.step;
        EXPECT_GE(int(t.major.size()), c.target / 2);
        EXPECT_LE(int(t.major.size()), 2 * c.target);
        EXPECT_GT(t.minor.size(), t.major.size());
        std::set<std::string> labels;
        for (double v : t.major) {
            EXPECT_TRUE(v >= c.lo - 1e-9 * t.step && v <= c.hi + 1e-9 * t.step) << v;
            EXPECT_NEAR(v / t.step, std::round(v / t.step), 1e-6);
            labels.insert(TickLabel(v, t.decimals));
        }
        EXPECT_EQ(labels.size(), t.major.size());
        for (double v : t.minor) EXPECT_GT(std::fabs(v / t.step - std::round(v / t.step)), 0.1);
    }
    EXPECT_EQ(TickLabel(-0.05, 2), "\u22120.05");
    EXPECT_EQ(TickLabel(-1e-17, 2), "0.00");
    EXPECT_EQ(TickLabel(0.98499999999999999, 3), "0.985");
    EXPECT_EQ(XmlEscape("a<b & \"c\" 'd'>"), "a&lt;b &amp; &quot;c&quot; &apos;d&apos;&gt;");
    EXPECT_EQ(RichText("R_{p} & a_b x^{<} c_{"),
              "R<tspan baseline-shift=\"sub\" font-size=\"72%\">p</tspan> &amp; a_b x<tspan "
              "baseline-shift=\"super\" font-size=\"72%\">&lt;</tspan> c_{");
    EXPECT_DOUBLE_EQ(TextWidth("ab", 10, true), 13.6);
    EXPECT_DOUBLE_EQ(TextWidth("R_{p}\u2003\u00b0", 10, false), 6.2 + 0.72 * 6.2 + 10 + 6.2);
    const std::string gap = "\u2003\u2003";
    std::string geometry;
    for (int k = 0; k < 12; ++k)
        geometry += (k ? gap : "") + "x_{" + std::to_string(k) + "} = 0.123456";
    EXPECT_EQ(WrapTitle(geometry, 15, false, 2000), std::vector<std::string>{geometry});
    std::string joined;
    for (const std::string& l : WrapTitle(geometry, 15, false, 400)) {
        EXPECT_LE(TextWidth(l, 15, false), 400) << l;
        joined += (joined.empty() ? "" : gap) + l;
    }
    EXPECT_EQ(joined, geometry);
    EXPECT_NE(joined.find(gap), std::string::npos);
    const std::string name = std::string(200, 'a') + "_sector_56.txt";
    const std::vector<std::string> files = WrapTitle(name + ": 1000 observations", 18, true, 856);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_LE(TextWidth(files[0], 18, true), 856) << files[0];
    EXPECT_NE(files[0].find("aaa\u2026"), std::string::npos) << files[0];
    EXPECT_NE(files[0].find("_sector_56.txt: 1000 observations"), std::string::npos) << files[0];
    const std::vector<BinnedPoint> b =
        BinWeighted({0.1, 0.3, 1.0, NAN, 0.0}, {1, 3, 5, 1, 7}, {1, 2, 1, 1, 4}, 0.0, 1.0, 2);
    ASSERT_EQ(b.size(), 1u);
    const double w = 1 + 0.25 + 0.0625;
    EXPECT_DOUBLE_EQ(b[0].y, (1 + 0.75 + 7 * 0.0625) / w);
    EXPECT_DOUBLE_EQ(b[0].err, 1 / std::sqrt(w));
    EXPECT_DOUBLE_EQ(b[0].x, (0.1 + 0.3 + 0.0) / 3);
    EXPECT_EQ(b[0].count, 3u);
}
