// The plotting helpers of the figure: nice ticks, labels, markup, weighted bins.
#include "svgplot.h"

#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <string>
#include <vector>

// Over ranges of every scale and sign: the step is 1, 2 or 5 times a power of ten, every major
// tick is a multiple of it inside the range, there are about as many as asked, and the labels
// tell them apart.
TEST(NiceTicks, NiceStepsInsideTheRange) {
    const struct {
        double lo, hi;
        int target;
    } cases[] = {
        {-0.18, 0.18, 9}, {0.9815, 1.0025, 7}, {-1873.0, 1873.0, 5},      {0.0, 1.0, 6},
        {-0.5, 0.5, 9},   {1e-7, 3.3e-7, 5},   {2458000.1, 2458000.4, 8}, {-3e5, -2.9e5, 6},
        {0.999, 1.001, 7}};
    for (const auto& c : cases) {
        const AxisTicks t = NiceTicks(c.lo, c.hi, c.target);
        const double mantissa = t.step / std::pow(10.0, std::floor(std::log10(t.step) + 1e-9));
        EXPECT_TRUE(std::fabs(mantissa - 1) < 1e-9 || std::fabs(mantissa - 2) < 1e-9 ||
                    std::fabs(mantissa - 5) < 1e-9)
            << c.lo << " " << c.hi << " step " << t.step;
        EXPECT_GE(int(t.major.size()), c.target / 2) << c.lo << " " << c.hi;
        EXPECT_LE(int(t.major.size()), 2 * c.target) << c.lo << " " << c.hi;
        std::set<std::string> labels;
        for (double v : t.major) {
            EXPECT_GE(v, c.lo - 1e-9 * t.step) << c.lo << " " << c.hi;
            EXPECT_LE(v, c.hi + 1e-9 * t.step) << c.lo << " " << c.hi;
            EXPECT_NEAR(v / t.step, std::round(v / t.step), 1e-6) << c.lo << " " << c.hi;
            labels.insert(TickLabel(v, t.decimals));
        }
        EXPECT_EQ(labels.size(), t.major.size()) << c.lo << " " << c.hi;
        for (double v : t.minor) EXPECT_GT(std::fabs(v / t.step - std::round(v / t.step)), 0.1);
    }
    // The two axes of the bundled example's figure.
    const AxisTicks x = NiceTicks(-0.18, 0.18, 9);
    EXPECT_DOUBLE_EQ(x.step, 0.05);
    EXPECT_EQ(x.major.size(), 7u);  // -0.15 .. 0.15
    EXPECT_EQ(x.minor.size(), 30u);
    EXPECT_EQ(x.decimals, 2);
    EXPECT_DOUBLE_EQ(NiceTicks(0.9815, 1.0025, 7).step, 0.005);
    // Nothing to tick.
    EXPECT_TRUE(NiceTicks(1, 1, 5).major.empty());
    EXPECT_TRUE(NiceTicks(NAN, 1, 5).major.empty());
    EXPECT_TRUE(NiceTicks(0, INFINITY, 5).major.empty());
}

TEST(NiceTicks, LabelsAndMarkup) {
    EXPECT_EQ(TickLabel(-0.05, 2), "\u22120.05");  // a true minus sign
    EXPECT_EQ(TickLabel(-1e-17, 2), "0.00");       // a rounding residue is no negative zero
    EXPECT_EQ(TickLabel(1000, 0), "1000");
    EXPECT_EQ(TickLabel(0.98499999999999999, 3), "0.985");
    EXPECT_EQ(XmlEscape("a<b & \"c\" 'd'>"), "a&lt;b &amp; &quot;c&quot; &apos;d&apos;&gt;");
    EXPECT_EQ(RichText("R_{p}/R_{*} & x^{2}"),
              "R<tspan baseline-shift=\"sub\" font-size=\"72%\">p</tspan>/R<tspan "
              "baseline-shift=\"sub\" font-size=\"72%\">*</tspan> &amp; x<tspan "
              "baseline-shift=\"super\" font-size=\"72%\">2</tspan>");
    EXPECT_EQ(RichText("a_b ^{<} c_{"),
              "a_b <tspan baseline-shift=\"super\" "
              "font-size=\"72%\">&lt;</tspan> c_{");
}

// Weighted means by hand: in [0, 1) with two bins, (1 ± 1), (3 ± 2) and (7 ± 4) at the lower
// end share the first bin with weights 1, 1/4, 1/16; the point at the upper end and the NaN
// belong to no bin, and the empty second bin is left out.
TEST(BinWeighted, WeightedMeansAndErrors) {
    const std::vector<double> x = {0.1, 0.3, 1.0, NAN, 0.0};
    const std::vector<double> y = {1.0, 3.0, 5.0, 1.0, 7.0};
    const std::vector<double> s = {1.0, 2.0, 1.0, 1.0, 4.0};
    const std::vector<BinnedPoint> b = BinWeighted(x, y, s, 0.0, 1.0, 2);
    ASSERT_EQ(b.size(), 1u);
    const double w = 1 + 0.25 + 0.0625;
    EXPECT_DOUBLE_EQ(b[0].y, (1 + 0.75 + 7 * 0.0625) / w);
    EXPECT_DOUBLE_EQ(b[0].err, 1 / std::sqrt(w));
    EXPECT_DOUBLE_EQ(b[0].x, (0.1 + 0.3 + 0.0) / 3);
    EXPECT_EQ(b[0].count, 3u);

    // Many bins: every point counted once, means inside the spread of their bin.
    std::vector<double> xs, ys, ss;
    for (int i = 0; i < 1000; ++i) {
        xs.push_back(i / 1000.0);
        ys.push_back(std::sin(i * 0.37));
        ss.push_back(0.5 + (i % 3));
    }
    std::size_t total = 0;
    for (const BinnedPoint& p : BinWeighted(xs, ys, ss, 0.0, 1.0, 37)) {
        total += p.count;
        EXPECT_LE(std::fabs(p.y), 1.0);
        EXPECT_GT(p.err, 0.0);
    }
    EXPECT_EQ(total, 1000u);
}
