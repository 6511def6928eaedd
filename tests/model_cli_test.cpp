// End-to-end runs of transitlm-model: the table against transitlm's report of the same
// parameters, the figure parsed as XML, and the errors against transitlm's.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

CliResult RunModel(std::initializer_list<std::string> args) {
    return RunProgram(TRANSITLM_MODEL_BIN, args);
}

const std::string kExampleTable = std::string(SOURCE_DIR) + "/examples/hotjupiter.txt";

// Rows of the table: time, flux, uncertainty, model, residual, folded time.
std::vector<std::vector<long double>> ReadRows(const std::string& text, std::string* header) {
    std::vector<std::vector<long double>> rows;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (line.empty()) continue;
        if (line[0] == '#') {
            *header += line;
            continue;
        }
        std::vector<long double> row;
        const char* p = line.c_str();
        for (char* next; row.size() < 7; p = next) {
            const long double v = std::strtold(p, &next);
            if (next == p) break;
            row.push_back(v);
        }
        rows.push_back(row);
    }
    return rows;
}

// ---- a minimal XML reader: enough to prove a figure well formed and to count its parts ----

struct XmlNode {
    std::string name;
    std::map<std::string, std::string> attrs;
    std::vector<XmlNode> children;
    std::string text;  // character data of this element and its descendants, entities kept
};

class XmlReader {
   public:
    // False, with the reason, on unbalanced or crossed tags, unquoted or repeated attributes,
    // a raw '<' or an unknown entity, text outside the one root element.
    bool Parse(const std::string& doc, XmlNode* root, std::string* error) {
        s_ = doc;
        i_ = 0;
        if (s_.compare(0, 5, "<?xml") == 0 && !SkipPast("?>")) return Fail("declaration", error);
        SkipMisc();
        if (!Element(root)) return Fail(error_, error);
        SkipMisc();
        if (i_ != s_.size()) return Fail("content after the root element", error);
        return true;
    }

   private:
    bool Fail(const std::string& why, std::string* error) {
        *error = why + " at byte " + std::to_string(i_);
        return false;
    }
    bool SkipPast(const char* end) {
        const std::size_t at = s_.find(end, i_);
        if (at == std::string::npos) return false;
        i_ = at + std::strlen(end);
        return true;
    }
    void SkipMisc() {
        for (;;) {
            while (i_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[i_]))) ++i_;
            if (s_.compare(i_, 4, "<!--") == 0 && SkipPast("-->")) continue;
            return;
        }
    }
    std::string Name() {
        const std::size_t start = i_;
        while (i_ < s_.size() &&
               (std::isalnum(static_cast<unsigned char>(s_[i_])) || std::strchr("_:-.", s_[i_])))
            ++i_;
        return s_.substr(start, i_ - start);
    }
    bool Entity() {  // at '&'
        const std::size_t semi = s_.find(';', i_);
        if (semi == std::string::npos) return false;
        const std::string ref = s_.substr(i_ + 1, semi - i_ - 1);
        const bool ok = ref == "amp" || ref == "lt" || ref == "gt" || ref == "quot" ||
                        ref == "apos" ||
                        (ref.size() > 1 && ref[0] == '#' &&
                         ref.find_first_not_of("0123456789", 1) == std::string::npos) ||
                        (ref.size() > 2 && ref.compare(0, 2, "#x") == 0 &&
                         ref.find_first_not_of("0123456789abcdefABCDEF", 2) == std::string::npos);
        i_ = semi + 1;
        return ok;
    }
    bool Element(XmlNode* node) {
        if (i_ >= s_.size() || s_[i_] != '<') return Err("expected an element");
        ++i_;
        node->name = Name();
        if (node->name.empty()) return Err("element without a name");
        for (;;) {
            const std::size_t before = i_;
            while (i_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[i_]))) ++i_;
            if (s_.compare(i_, 2, "/>") == 0) {
                i_ += 2;
                return true;
            }
            if (i_ < s_.size() && s_[i_] == '>') {
                ++i_;
                break;
            }
            if (i_ == before) return Err("attributes must be separated by blanks");
            const std::string attr = Name();
            if (attr.empty() || s_.compare(i_, 1, "=") != 0) return Err("bad attribute");
            ++i_;
            const char quote = i_ < s_.size() ? s_[i_] : 0;
            if (quote != '"' && quote != '\'') return Err("unquoted attribute");
            const std::size_t start = ++i_;
            while (i_ < s_.size() && s_[i_] != quote) {
                if (s_[i_] == '<') return Err("'<' in an attribute");
                if (s_[i_] != '&')
                    ++i_;
                else if (!Entity())
                    return Err("bad entity in an attribute");
            }
            if (i_ >= s_.size()) return Err("unterminated attribute");
            if (!node->attrs.emplace(attr, s_.substr(start, i_ - start)).second)
                return Err("repeated attribute " + attr);
            ++i_;
        }
        for (;;) {  // content
            if (i_ >= s_.size()) return Err("unclosed element " + node->name);
            if (s_.compare(i_, 4, "<!--") == 0) {
                if (!SkipPast("-->")) return Err("unterminated comment");
            } else if (s_.compare(i_, 2, "</") == 0) {
                i_ += 2;
                if (Name() != node->name || s_.compare(i_, 1, ">") != 0)
                    return Err("crossed end tag in " + node->name);
                ++i_;
                return true;
            } else if (s_[i_] == '<') {
                node->children.emplace_back();
                if (!Element(&node->children.back())) return false;
                node->text += node->children.back().text;
            } else if (s_[i_] == '&') {
                const std::size_t start = i_;
                if (!Entity()) return Err("bad entity in text");
                node->text += s_.substr(start, i_ - start);
            } else {
                node->text += s_[i_++];
            }
        }
    }
    bool Err(const std::string& why) {
        error_ = why;
        return false;
    }

    std::string s_, error_;
    std::size_t i_ = 0;
};

const XmlNode* FindById(const XmlNode& node, const std::string& id) {
    const auto it = node.attrs.find("id");
    if (it != node.attrs.end() && it->second == id) return &node;
    for (const XmlNode& child : node.children)
        if (const XmlNode* found = FindById(child, id)) return found;
    return nullptr;
}

// The number of markers (circles) in the groups of class "points" below `node`.
std::size_t CountPoints(const XmlNode& node) {
    const auto c = node.attrs.find("class");
    std::size_t n = 0;
    if (c != node.attrs.end() && c->second == "points")
        for (const XmlNode& child : node.children) n += child.name == "circle";
    for (const XmlNode& child : node.children) n += CountPoints(child);
    return n;
}

// The number of drawing commands `cmd` in the paths of class `cls` below `node`.
std::size_t CountPathCommands(const XmlNode& node, const std::string& cls, char cmd) {
    std::size_t n = 0;
    const auto c = node.attrs.find("class");
    if (node.name == "path" && c != node.attrs.end() && c->second == cls)
        for (char ch : node.attrs.at("d")) n += ch == cmd;
    for (const XmlNode& child : node.children) n += CountPathCommands(child, cls, cmd);
    return n;
}

struct Figure {
    XmlNode root;
    const XmlNode* upper = nullptr;
    const XmlNode* lower = nullptr;
};

// Parses the SVG file; a fault fails the calling test.
void ReadFigure(const std::string& file, Figure* fig) {
    std::string error;
    ASSERT_TRUE(XmlReader().Parse(TempDir::ReadFile(file), &fig->root, &error)) << error;
    EXPECT_EQ(fig->root.name, "svg");
    EXPECT_EQ(fig->root.attrs["xmlns"], "http://www.w3.org/2000/svg");
    fig->upper = FindById(fig->root, "upper-panel");
    fig->lower = FindById(fig->root, "lower-panel");
    ASSERT_NE(fig->upper, nullptr);
    ASSERT_NE(fig->lower, nullptr);
}

}  // namespace

TEST(ModelCli, XmlReaderRefusesMalformedDocuments) {
    const char* const bad[] = {"<svg><g></svg>",    "<svg a=1/>",       "<svg a='1' a='2'/>",
                               "<svg>&nbsp;</svg>", "<svg>a < b</svg>", "<svg/><svg/>",
                               "<svg><g></g>",      "<svg b=\"<\"/>",   "<svg a='1'b='2'/>"};
    for (const char* doc : bad) {
        XmlNode root;
        std::string error;
        EXPECT_FALSE(XmlReader().Parse(doc, &root, &error)) << doc;
    }
    XmlNode root;
    std::string error;
    EXPECT_TRUE(
        XmlReader().Parse("<?xml version=\"1.0\"?>\n<svg a='&amp;&#8722;'><!-- c --><g/>"
                          "x &lt; y</svg>\n",
                          &root, &error))
        << error;
}

TEST(ModelCli, UsageAndOutputErrors) {
    TempDir dir;
    const struct {
        std::vector<std::string> args;
        const char* out;
    } cases[] = {
        {{}, "usage: transitlm-model PARAMETER_FILE DATA_FILE OUTPUT\n"},
        {{"any.par"}, "Data file is not specified."},  // no line feed, as transitlm
        {{"any.par", "any.txt"}, "Output file is not specified.\n"},
        // The name is checked before either file is read.
        {{"none.par", "none.txt", "fig.png"},
         "The output file name must end in .tsv, .txt or .svg: fig.png\n"},
        {{"none.par", "none.txt", "svg"},
         "The output file name must end in .tsv, .txt or .svg: svg\n"},
    };
    for (const auto& c : cases) {
        CliResult res{"", -1};
        switch (c.args.size()) {
            case 0:
                res = RunModel({});
                break;
            case 1:
                res = RunModel({c.args[0]});
                break;
            case 2:
                res = RunModel({c.args[0], c.args[1]});
                break;
            default:
                res = RunModel({c.args[0], c.args[1], c.args[2]});
        }
        EXPECT_EQ(res.out, c.out) << c.args.size() << " arguments";
        EXPECT_EQ(res.status, 2) << c.out;
    }

    const std::string params = dir.Write("p.par", "rsun 0.1\nrplanet 0.01\n");
    const std::string table = dir.Write("d.txt", "0 1 0.01\n0.5 1 0.01\n");
    const std::string unwritable = dir.path() + "/no/such/dir/out.svg";
    const CliResult res = RunModel({params, table, unwritable});
    EXPECT_EQ(res.out, "The output file can not be written: " + unwritable + "\n");
    EXPECT_EQ(res.status, 2);
    // Upper-case extensions are accepted.
    EXPECT_EQ(RunModel({params, table, dir.path() + "/OUT.SVG"}).status, 0);
}

// The readers are transitlm's: every refusal prints the same message with the same status, and
// no output file is made.
TEST(ModelCli, InputErrorsAsTransitlm) {
    TempDir dir;
    const std::string good_params = dir.Write("good.par", "rsun 0.1\nrplanet 0.01\nsqrt\n");
    const std::string good_table = dir.Write("good.txt", "0.25 1 0.01\n0.5 1 0.01\n");
    const struct {
        std::string params, table;
    } cases[] = {
        {dir.path() + "/none.par", good_table},
        {dir.Write("norsun.par", "period 3\n"), good_table},
        {dir.Write("negrsun.par", "rsun -1\n"), good_table},
        {good_params, dir.path() + "/none.txt"},
        {good_params, dir.Write("word.txt", "time flux error\n1 1 0.1\n")},
        {good_params, dir.Write("sigma.txt", "1 1 0.1\n2 1 0\n")},
        {good_params, dir.Write("empty.txt", "# nothing\n")},
        // sqrt on and no point in transit: the limb-darkening fit is singular (status 1).
        {good_params, good_table},
    };
    for (const auto& c : cases) {
        const std::string out = dir.path() + "/out.tsv";
        const CliResult fit = RunTool({c.params, c.table});
        const CliResult model = RunModel({c.params, c.table, out});
        EXPECT_EQ(model.out, fit.out) << c.params << " " << c.table;
        EXPECT_EQ(model.status, fit.status) << c.params << " " << c.table;
        EXPECT_NE(model.status, 0) << fit.out;
        EXPECT_FALSE(std::ifstream(out).good()) << "an output file was made for " << fit.out;
    }
}

// The weighted mean squared residual of the table is the reduced chi-square that transitlm
// reports for the same parameters (an iteration count below 1 evaluates them once), so the
// model column carries the fit's limb-darkening coefficients and basis, point for point.
TEST(ModelTable, ReproducesTheReducedChiSquare) {
    TempDir dir;
    const char* const params[] = {
        // the bundled example near its fit, quadratic law
        "tshift 1.5999 f\nperiod 3.2\ninclination 86.94 f\nrsun 0.11507 f\nrplanet 0.013627 f\n"
        "eccentr 0\nperiastr 90\nlin\nquad\niterations 0.5\n",
        // an eccentric orbit off the data's, square-root and linear terms
        "tshift 1.62\nperiod 3.2\neccentr 0.25 f\nperiastr 40\ninclination 86.5\nrsun 0.12\n"
        "rplanet 0.0135\nlin\nsqrt\niterations 0.5\n",
        // a uniform disc: no coefficient is fitted
        "tshift 1.6\nperiod 3.2\ninclination 87\nrsun 0.115\nrplanet 0.0138\niterations 0.5\n",
    };
    const std::vector<std::vector<long double>> input = [] {
        std::string header;
        return ReadRows(TempDir::ReadFile(kExampleTable), &header);
    }();
    for (const char* text : params) {
        const std::string par = dir.Write("p.par", text);
        const std::string out = dir.path() + "/m.tsv";
        const CliResult fit = RunTool({par, kExampleTable});
        ASSERT_EQ(fit.status, 0) << fit.out;
        const CliResult model = RunModel({par, kExampleTable, out});
        ASSERT_EQ(model.status, 0) << model.out;
        EXPECT_EQ(model.out, "");

        std::string header;
        const auto rows = ReadRows(dir.Read("m.tsv"), &header);
        EXPECT_EQ(header, "# time\tflux\tuncertainty\tmodel\tresidual\ttime_from_mid_transit");
        ASSERT_EQ(rows.size(), input.size());
        long double sum = 0.0L;
        for (std::size_t i = 0; i < rows.size(); ++i) {
            ASSERT_EQ(rows[i].size(), 6u) << "row " << i;
            for (int k = 0; k < 3; ++k) EXPECT_EQ(rows[i][k], input[i][k]) << "row " << i;
            const long double r = rows[i][4];
            EXPECT_LE(std::fabs((rows[i][1] - rows[i][3]) - r), 1e-18L) << "row " << i;
            sum += (r / (rows[i][2] * rows[i][2])) * r;
        }
        const long double chi2 = ReportValue(fit.out, "chi_square_reduced  ");
        EXPECT_LE(std::fabs(sum / rows.size() / chi2 - 1), 1e-17L)  // 19-digit columns
            << text << "\ntable " << double(sum / rows.size()) << " report " << double(chi2);
    }
}

// The last column is t - T0 brought into [-P/2, P/2) by whole periods, T0 the time of
// mid-transit of the report.
TEST(ModelTable, FoldsTheTimeOnThePeriod) {
    TempDir dir;
    const std::string par =
        dir.Write("p.par",
                  "tshift 1.23\nperiod 2.5\neccentr 0.3\nperiastr 40\ninclination 85\nrsun 0.2\n"
                  "rplanet 0.02\niterations 0.5\n");
    // Times over eight periods either side, some half a period from mid-transit.
    std::string table;
    for (int k = -8; k <= 8; ++k)
        for (double offset : {0.0, 1.25, -1.25, 0.3, -1.1, 2.4999}) {
            char row[64];
            std::snprintf(row, sizeof row, "%.17g 1 0.001\n", 1.23 + 2.5 * k + offset);
            table += row;
        }
    const std::string data = dir.Write("d.txt", table);
    const CliResult fit = RunTool({par, data});
    const long double t0 = ReportValue(fit.out, "tshift   ");
    ASSERT_EQ(RunModel({par, data, dir.path() + "/m.txt"}).status, 0);
    std::string header;
    const auto rows = ReadRows(dir.Read("m.txt"), &header);
    ASSERT_EQ(rows.size(), 17u * 6);
    const long double P = 2.5L;
    for (const auto& row : rows) {
        const long double t = row[0], folded = row[5];
        EXPECT_GE(folded, -P / 2) << double(t);
        EXPECT_LT(folded, P / 2) << double(t);
        const long double periods = (t - t0 - folded) / P;
        EXPECT_LE(std::fabs(periods - std::round(periods)), 1e-16L) << double(t);
    }
}

// Every observation of a short table lies in the window of a long transit: both panels show
// each point with its error bar, and the model is a curve on a grid finer than the data.
TEST(ModelFigure, WellFormedWithBothPanels) {
    TempDir dir;
    const std::string par =
        dir.Write("p.par",
                  "tshift 0.3\nperiod 1\neccentr 0.3\nperiastr 40\ninclination 80\nrsun 0.45\n"
                  "rplanet 0.05\nlin\niterations 0.5\n");
    std::string table;
    for (int i = 0; i < 240; ++i) {
        char row[96];
        const double t = i / 100.0, dip = std::fabs(std::remainder(t - 0.3, 1.0)) < 0.08;
        std::snprintf(row, sizeof row, "%.2f %.6f 0.001\n", t,
                      1 - 0.011 * dip + 0.0008 * std::sin(7.0 * i));
        table += row;
    }
    const std::string data = dir.Write("d & <x>.txt", table);  // a name to be escaped
    const std::string out = dir.path() + "/fig.svg";
    ASSERT_EQ(RunModel({par, data, out}).status, 0);
    Figure fig;
    ReadFigure(out, &fig);
    if (HasFatalFailure()) return;

    for (const XmlNode* panel : {fig.upper, fig.lower}) {
        EXPECT_EQ(CountPoints(*panel), 240u);
        EXPECT_EQ(CountPathCommands(*panel, "errorbars", 'M'), 240u);
        EXPECT_EQ(CountPathCommands(*panel, "raw", 'M'), 0u);
    }
    EXPECT_GE(CountPathCommands(*fig.upper, "model", 'L'), 1000u);
    EXPECT_NE(fig.root.text.find("Relative flux"), std::string::npos);
    EXPECT_NE(fig.root.text.find("Time from mid-transit"), std::string::npos);
    EXPECT_EQ(fig.root.text.find("zoomed"), std::string::npos);
    EXPECT_NE(fig.root.text.find("d &amp; &lt;x&gt;.txt"), std::string::npos);

    // The title carries the reduced chi-square of transitlm's report, to six digits.
    char chi2[32];
    std::snprintf(chi2, sizeof chi2, "= %.6Lg",
                  ReportValue(RunTool({par, data}).out, "chi_square_reduced  "));
    EXPECT_NE(fig.root.text.find(chi2), std::string::npos) << chi2;
}

// The example's transit covers 4% of its orbit: the axis zooms to three transit durations and
// says so.  The duration found by the program is checked against the closed form for a
// circular orbit, P/π·asin(√((R* + Rp)² - cos² i)/sin i) with lengths in semi-major axes.
TEST(ModelFigure, ZoomsToTheTransit) {
    TempDir dir;
    const long double rsun = 0.115L, rplanet = 0.0138L, incl = 86.8L, P = 3.2L;
    const std::string par = dir.Write(
        "p.par", "tshift 1.6\nperiod 3.2\ninclination 86.8\nrsun 0.115\nrplanet 0.0138\nlin\n");
    const std::string out = dir.path() + "/fig.svg";
    ASSERT_EQ(RunModel({par, kExampleTable, out}).status, 0);
    Figure fig;
    ReadFigure(out, &fig);
    if (HasFatalFailure()) return;

    const std::string& text = fig.root.text;
    const std::string key = "zoomed to the transit: 3 \u00d7 its duration ";
    const std::size_t at = text.find(key);
    ASSERT_NE(at, std::string::npos) << text;
    const long double duration = std::strtold(text.c_str() + at + key.size(), nullptr);
    const long double kPi = 3.14159265358979323851L;
    const long double i = incl * kPi / 180;
    const long double chord =
        std::sqrt((rsun + rplanet) * (rsun + rplanet) - std::cos(i) * std::cos(i));
    const long double expected = P / kPi * std::asin(chord / std::sin(i));
    EXPECT_NEAR(double(duration), double(expected), 1e-3 * double(expected));

    // Drawn and left out add up to the table; the drawn ones are those within 1.5 durations.
    const std::size_t drawn = CountPoints(*fig.upper);
    const std::size_t left = std::strtoul(text.c_str() + text.find("; ", at) + 2, nullptr, 10);
    EXPECT_EQ(drawn + left, 6912u);
    EXPECT_EQ(CountPathCommands(*fig.lower, "errorbars", 'M'), drawn);
    // Three transits of 1.5 durations either side, sampled every two minutes.
    EXPECT_NEAR(double(drawn), 3 * 3 * double(expected) * 720, 6);
}

// Beyond a few thousand points in the window the panels show weighted means in bins over the
// raw points, drawn faint without error bars; the file stays small.
TEST(ModelFigure, LargeTablesAreBinned) {
    TempDir dir;
    const std::string par = dir.Write("p.par",
                                      "tshift 0.5\nperiod 1\ninclination 75\nrsun 0.45\n"
                                      "rplanet 0.05\nquad\n");
    std::string table;
    for (int i = 0; i < 20000; ++i) {
        char row[96];
        const double t = i / 20000.0;
        std::snprintf(row, sizeof row, "%.6f %.6f 0.002\n", t,
                      1 - 0.012 * (std::fabs(t - 0.5) < 0.1) + 0.002 * std::sin(1e3 * i));
        table += row;
    }
    const std::string out = dir.path() + "/fig.svg";
    ASSERT_EQ(RunModel({par, dir.Write("d.txt", table), out}).status, 0);
    Figure fig;
    ReadFigure(out, &fig);
    if (HasFatalFailure()) return;
    for (const XmlNode* panel : {fig.upper, fig.lower}) {
        const std::size_t bins = CountPathCommands(*panel, "errorbars", 'M');
        EXPECT_EQ(bins, 150u);  // every bin holds points
        EXPECT_EQ(CountPoints(*panel), bins);
        const std::size_t raw = CountPathCommands(*panel, "raw", 'M');
        EXPECT_GT(raw, 1000u);
        EXPECT_LE(raw, 20000u);  // dots on the same pixel are drawn once
    }
    EXPECT_NE(fig.root.text.find("weighted means in 150 bins"), std::string::npos);
    EXPECT_LT(TempDir::ReadFile(out).size(), 1000000u);
}
