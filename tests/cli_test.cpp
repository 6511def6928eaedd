// End-to-end runs of the built tool: standard output byte for byte and the exit status.
#include <glob.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

const std::string kExampleTable = std::string(SOURCE_DIR) + "/examples/hotjupiter.txt";

// Moved off the example's values (tshift 1.6, inclination 86.8, rsun 0.115, rplanet 0.0138).
const std::string kFitParams =
    "tshift 1.601 f\neccentr 0\nperiastr 90\ninclination 86.0 f\nrsun 0.12 f\n"
    "rplanet 0.0133 f\nperiod 3.2\nlm 0.01\nlin\nquad\n";

// Runs the cases of tests/data/`name` (tests/data/cli_cases.txt says the format) in a scratch
// directory; returns the number of runs. A "needs FILE..." whose file is absent ends the cases
// there and says why in `skipped`.
int RunCaseFile(const std::string& name, std::string* skipped = nullptr) {
    TempDir dir;
    std::istringstream lines(TempDir::ReadFile(SOURCE_DIR "/tests/data/" + name));
    std::vector<std::pair<std::string, std::string>> vars = {
        {"$EXAMPLE", kExampleTable}, {"$VERSION", TRANSITLM_VERSION}, {"$SHARED", SHARED_DATA_DIR}};
    CliResult res{"", 0, ""};
    std::string shell, where;
    std::size_t from = 0;  // where "near" looks in standard output
    int want_status = -1, cases = 0, number = 0;
    const auto finish = [&] {  // the status of the case before
        if (want_status >= 0) {
            EXPECT_EQ(res.status, want_status) << where << "\n" << res.out;
        }
        want_status = -1;
    };
    // TEXT decoded; "<NAME" is the content of the file NAME.
    const auto text = [&](const std::string& t) {
        return t.compare(0, 1, "<") == 0 ? dir.Read(t.substr(1)) : Unescape(t);
    };
    for (std::string line; std::getline(lines, line);) {
        ++number;
        if (line.empty() || line[0] == '#') continue;
        const std::size_t sp = line.find(' ');
        std::string key = line.substr(0, sp);
        std::string rest = sp == std::string::npos ? "" : line.substr(sp + 1);
        for (const auto& [name, value] : vars)
            for (std::size_t at; (at = rest.find(name)) != std::string::npos;)
                rest.replace(at, name.size(), value);
        const std::size_t sp2 = rest.find(' ');
        const std::string first = rest.substr(0, sp2);
        const std::string second = sp2 == std::string::npos ? "" : rest.substr(sp2 + 1);
        SCOPED_TRACE(name + ":" + std::to_string(number) + ": " + line);
        const char mark =
            !key.empty() && std::string("^~!$").find(key.back()) != key.npos ? key.back() : 0;
        if (mark) key.pop_back();
        if (key == "set") {
            vars.insert(vars.begin(), {"$" + first, second});
        } else if (key == "file") {
            dir.Write(first, text(second));
        } else if (key == "link" || key == "hardlink") {
            const std::string made = dir.path() + "/" + first, to = dir.path() + "/" + second;
            EXPECT_EQ(key == "link" ? symlink(second.c_str(), made.c_str())
                                    : link(to.c_str(), made.c_str()),
                      0);
        } else if (key == "shell") {
            shell = rest + " ";
        } else if (key == "run") {
            finish();
            std::istringstream words(rest);
            std::string tool;
            std::vector<std::string> args;
            words >> tool;
            for (std::string w; words >> w;) args.push_back(w);
            EXPECT_TRUE(tool == "transitlm" || tool == "transitlm-model");
            res = RunProgram(tool == "transitlm" ? TRANSITLM_BIN : TRANSITLM_MODEL_BIN, args,
                             "cd " + ShellQuote(dir.path()) + " && " + shell);
            shell.clear();
            where = line;
            from = 0;
            want_status = 2;
            ++cases;
        } else if (key == "out" || key == "err" || key == "holds") {
            const std::string got = key == "out"   ? res.out
                                    : key == "err" ? res.err
                                                   : dir.Read(first);
            const std::string want = text(key == "holds" ? second : rest);
            const std::size_t at = got.find(want), end = got.size() - want.size();
            EXPECT_TRUE(mark == 0     ? got == want
                        : mark == '^' ? at == 0
                        : mark == '~' ? at != got.npos
                        : mark == '!' ? at == got.npos
                                      : want.size() <= got.size() && got.find(want, end) == end)
                << key << ":\n"
                << got;
        } else if (key == "needs") {
            std::istringstream files(rest);
            for (std::string f; files >> f && skipped->empty();)
                if (!std::ifstream(f).good()) *skipped = "no data at " + f;
            if (!skipped->empty()) break;
        } else if (key == "from") {
            from = res.out.find(text(rest));
            EXPECT_NE(from, std::string::npos) << res.out;
        } else if (key == "near") {  // NAME[:2] WANT TOL: the first (second) number after NAME
            std::istringstream words(rest);
            std::string at;
            long double want = NAN, tol = NAN, got = NAN;
            words >> at >> want >> tol;
            const bool second = at.size() > 2 && at.compare(at.size() - 2, 2, ":2") == 0;
            const std::size_t line_at = res.out.find(
                "\n" + at.substr(0, at.size() - 2 * second) + " ", std::min(from, res.out.size()));
            std::istringstream values(line_at == std::string::npos ? "" : res.out.substr(line_at));
            values >> at >> got;
            if (second) values >> got;
            EXPECT_LE(std::fabs(got - want), tol) << Show({got}) << "\n" << res.out;
        } else if (key == "status") {
            want_status = std::stoi(rest);
        } else if (key == "absent") {
            glob_t found;
            EXPECT_EQ(glob((dir.path() + "/" + rest).c_str(), 0, nullptr, &found), GLOB_NOMATCH);
            globfree(&found);
        } else {
            ADD_FAILURE() << "unknown key";
        }
    }
    finish();
    return cases;
}

}  // namespace

// Usage and input errors of both tools byte for byte, help, version and options, output that
// cannot be written, singular systems, tables of other forms, result files read back and special
// files.
TEST(Cli, CaseFile) { EXPECT_GT(RunCaseFile("cli_cases.txt"), 100); }

// Fits of published TESS light curves, each started from its shipped file, against the
// independent reference fits of the data's README (when the data are beside the checkout).
TEST(CliFit, PublishedTessLightCurves) {
    std::string skipped;
    RunCaseFile("published_cases.txt", &skipped);
    if (!skipped.empty()) GTEST_SKIP() << skipped;
}

TEST(Cli, OutOfMemoryIsReportedNotACrash) {
    if (kAddressSanitizer) {
        GTEST_SKIP() << "AddressSanitizer reserves more address space than ulimit -v allows, "
                        "and reports allocation failures itself";
    }
    TempDir dir;
    std::string rows;
    for (int i = 0; i < 3000000; ++i) rows += "1 1 1\n";  // 9 million values, 144 MB of them
    const CliResult res =
        RunTool({dir.Write("p.par", "rsun 0.1\n"), dir.Write("d.txt", rows)}, "ulimit -v 100000; ");
    EXPECT_EQ(res.out, "The memory for the fit can not be obtained.\n");
    EXPECT_EQ(res.status, 2);
}

// ---- the fit through the command line ------------------------------------------------------

// Fits of the example from a moved start. Progress lines
// "%d   %.19Lg     ... %.19Lg    %.19Lg" (i, tshift, e, ω, rsun, rplanet, i, [period,] step, χ²)
// come for each step that improves the best set (the first always), so the chi-squares fall;
// the last one is the best set, and the report shows the very same digits. Every tshift is the
// data's transit at 1.6, and no value of the report or its 1σ is NaN. With the period fitted,
// the reference epoch's time of mid-transit is tshift + epoch·period. A result file read back
// as a parameter file starts where the first fit ended: the same values, fitted parameters (the
// period too), terms, held coefficients, zero-point, trend and exposure (the limb darkening and
// the chi-square would move without it), when an iteration count below 1 or not a number runs
// no step. (Orbits near e = 1 and a table at one time: tests/data/cli_cases.txt.)
TEST(CliFit, FitsReportAndResultFiles) {
    TempDir dir;
    std::string held = kFitParams, period = kFitParams;
    held.replace(held.find("\nquad"), 5, "\nquad 0.25 fixed");
    period.replace(period.find("period 3.2"), 10, "period 3.2 f");
    const std::pair<std::string, std::string> cases[] = {
        // parameters, a line the output holds
        {kFitParams + "iterations 8\n", "\nquad  "},
        {held + "zeropoint\niterations 8\n", "\nquad  0.25 fixed\n"},
        {kFitParams + "trend 1\niterations 8\n", "\ntrend  1 \n"},
        {kFitParams + "exposure 0.0204335\niterations 8\n", "\nexposure  0.0204335 \n"},
        {period + "iterations 8\n", " fitted\nlin  "},
        {period + "zeropoint\niterations 8\n", " fitted\nlin  "}};
    auto shape = [](const std::string& out) {  // the report's keys and marks, not its numbers
        std::istringstream in(out.substr(out.find("tshift ")));
        std::string s;
        for (std::string line; std::getline(in, line) && !line.empty();)
            s += line.substr(0, line.find(' ')) + (line.find(" fitted") != line.npos  ? " f\n"
                                                   : line.find(" fixed") != line.npos ? " held\n"
                                                                                      : "\n");
        return s;
    };
    for (const auto& [params, holds] : cases) {
        SCOPED_TRACE(params);
        const CliResult first =
            RunTool({dir.Write("p.par", params), kExampleTable, dir.path() + "/r.txt"});
        ASSERT_EQ(first.status, 0);
        const bool fits_period = params.find("period 3.2 f") != params.npos;
        std::istringstream text(first.out);
        std::vector<std::string> f, last;
        long double previous = INFINITY;
        int step = 0;
        for (std::string line;
             std::getline(text, line) && !line.empty() && std::isdigit(line[0]);) {
            std::istringstream fields(line);
            f.assign(fits_period ? 10 : 9, "");
            for (std::string& v : f) fields >> v;
            std::string want = f[0] + "   " + f[1];
            for (std::size_t k = 2; k + 1 < f.size(); ++k) want += "     " + f[k];
            EXPECT_EQ(line, want + "    " + f.back());
            EXPECT_LT(std::strtold(f.back().c_str(), nullptr), previous);
            EXPECT_NEAR(std::stod(f[1]), 1.6, 0.005) << line;
            step = std::stoi(f[0]);
            previous = std::strtold(f.back().c_str(), nullptr);
            last = f;
        }
        ASSERT_GT(step, 0);
        const std::string report = first.out.substr(first.out.find("tshift "));
        for (const std::string& line :
             {"tshift   " + last[1] + " fitted\n", "eccentr   " + last[2] + " \n",
              "periastr   " + last[3] + " \n", "rsun   " + last[4] + " fitted\n",
              "rplanet   " + last[5] + " fitted\n", "inclination   " + last[6] + " fitted\n",
              fits_period ? "period  " + last[7] + " fitted\n" : std::string("period  3.2 \n"),
              "\nchi_square_reduced  " + last.back() + " \n"})
            EXPECT_NE(report.find(line), std::string::npos) << line;
        EXPECT_NE(first.out.find(holds), std::string::npos) << holds;
        EXPECT_EQ(report.substr(0, report.find("\nconvergence")).find("nan"), std::string::npos);
        const std::string sigmas = report.substr(report.find("1-sigma"));
        EXPECT_EQ(sigmas.find("reference_epoch") != std::string::npos, fits_period);
        if (fits_period) {
            const long double epoch = ReportValue(sigmas, "reference_epoch "),
                              tref = ReportValue(sigmas, "tshift_at_reference_epoch ");
            EXPECT_EQ(epoch, 1);  // the middle one of three transits
            EXPECT_NEAR(double(tref - (ReportValue(report, "tshift ") +
                                       epoch * ReportValue(report, "period "))),
                        0, 1e-15);
            EXPECT_GT(ReportValue(sigmas, "period "), 0);
            EXPECT_LT(ReportValue(sigmas, "tshift_at_reference_epoch_sigma "),
                      ReportValue(sigmas, "tshift "));
            EXPECT_LT(std::fabs(ReportValue(sigmas, "correlation_tshift_period ")), 0.1L);
        }
        for (const char* count : {"iterations 0.5\n", "iterations -5\n", "iterations nan\n"}) {
            SCOPED_TRACE(count);
            const CliResult second =
                RunTool({dir.Write("again.par", dir.Read("r.txt") + count), kExampleTable});
            ASSERT_EQ(second.status, 0);
            EXPECT_EQ(second.out.compare(0, 7, "tshift "), 0);  // no progress line: no step
            for (const char* name :
                 {"tshift ", "eccentr ", "periastr ", "inclination ", "rsun ", "rplanet ",
                  "period ", "lin ", "quad ", "zeropoint ", "exposure ", "chi_square_reduced "}) {
                const long double a = ReportValue(report, name), b = ReportValue(second.out, name);
                if (std::isnan(a) && std::isnan(b)) continue;  // a line of another form
                EXPECT_LE(std::fabs(a - b), 1e-15L * std::fmax(1.0L, std::fabs(a)))
                    << name << Show({a, b});
            }
            EXPECT_EQ(shape(report), shape(second.out));
        }
    }
}

// A run killed at any moment leaves the earlier result file or a complete new one. SIGINT
// mid-fit ends it after the step under way, status 130, with the best set so far reported and
// written, the file's report that of standard output (so it starts a second run where the first
// stopped, as every result file does). A second signal ends the run at once and leaves the
// earlier file.
TEST(CliFit, SignalsNeverLoseAResult) {
    TempDir dir;
    const std::string table = ShellQuote(kExampleTable);
    const std::string tool = "cd " + ShellQuote(dir.path()) + "; " + ShellQuote(TRANSITLM_BIN);
    auto run = [&](const std::string& script) { return RunProgram("sh", {"-c", script}).out; };
    dir.Write("short.par", kFitParams + "iterations 3\n");
    ASSERT_EQ(RunTool({dir.path() + "/short.par", kExampleTable, dir.path() + "/new.par"}).status,
              0);
    const std::string complete = dir.Read("new.par");
    for (const char* delay : {"0", "0.03", "0.06", "0.09", "0.12", "0.15", "0.2", "0.3"}) {
        dir.Write("r.par", "old\n");
        run(tool + " short.par " + table + " r.par >/dev/null & sleep " + delay +
            "; kill -KILL $! 2>/dev/null; wait");
        const std::string left = dir.Read("r.par");
        EXPECT_TRUE(left == "old\n" || left == complete) << "killed after " << delay << " s";
    }

    // Waits for the third progress line, then signals.
    dir.Write("long.par", kFitParams + "iterations 100000\n");
    auto interrupt = [&](const std::string& signals) {
        dir.Write("r.par", "old\n");
        run(tool + " long.par " + table +
            " r.par >out 2>err & for k in $(seq 600); do grep -q '^3 ' " +
            "out && break; sleep 0.05; done; " + signals + "; wait $!; echo $? >status");
        return std::stoi(dir.Read("status"));
    };
    EXPECT_EQ(interrupt("kill -INT $!"), 130);
    const std::string err = dir.Read("err");
    EXPECT_EQ(err.rfind("note: the fit was interrupted by SIGINT after step ", 0), 0u) << err;
    const std::string out = dir.Read("out"), result = dir.Read("r.par");
    const std::size_t report = out.find("tshift ");
    ASSERT_NE(report, std::string::npos);
    const std::string head = result.substr(0, result.find('\n', result.find("chi_square")) + 1);
    EXPECT_EQ(out.compare(report, head.size(), head), 0) << result;  // the report's lines

    run("rm -f " + ShellQuote(dir.path()) + "/.*.tmp");  // what a kill during the write left
    EXPECT_NE(interrupt("kill -INT $!; kill -TERM $!"), 0);
    EXPECT_EQ(dir.Read("r.par"), "old\n");
    EXPECT_EQ(run("ls -A " + ShellQuote(dir.path()) + " | grep -c tmp"), "0\n");
}

// The rednoise switch adds two blocks after the covariance's 1σ and changes nothing else: the
// run's standard output without them is the plain run's, byte for byte (a "rednoise" in a
// comment switches nothing); every fitted quantity has a positive 1σ in both, the others 0.
// The text result holds the same blocks after its report. A result file named *.json holds the
// result as JSON: Python's json module parses it (numbers kept as their text), and each of its
// numbers stands in the text result, digit for digit, on the line of its quantity: the report's
// values, the 1σ, the derived quantities, the correlations and both blocks.
TEST(CliFit, RedNoiseBlocksAndJsonResult) {
    TempDir dir;
    const std::string plain = kFitParams + "iterations 3\nzeropoint\n";
    const CliResult base = RunTool({dir.Write("p.par", plain), kExampleTable});
    ASSERT_EQ(base.status, 0);
    EXPECT_EQ(RunTool({dir.Write("c.par", plain + "# rednoise\n"), kExampleTable}).out, base.out);
    const std::string params = dir.Write("r.par", plain + "rednoise\n");
    const CliResult red = RunTool({params, kExampleTable, dir.path() + "/r.txt"});
    ASSERT_EQ(red.status, 0);
    ASSERT_EQ(RunTool({params, kExampleTable, dir.path() + "/r.JSON"}).status, 0);
    const std::size_t from = red.out.find("\n1-sigma uncertainties scaled by the time-averaging");
    const std::size_t perm = red.out.find("\n1-sigma uncertainties from residual permutation");
    ASSERT_NE(from, std::string::npos);
    ASSERT_NE(perm, std::string::npos);
    const std::size_t end = red.out.find('\n', red.out.find("\nchi_square_reduced", perm) + 1) + 1;
    const std::string blocks = red.out.substr(from, end - from), text = dir.Read("r.txt");
    EXPECT_EQ(red.out.substr(0, from) + red.out.substr(end), base.out);
    EXPECT_NE(text.find(blocks), std::string::npos);
    for (const std::string& b : {blocks.substr(0, perm - from), blocks.substr(perm - from)}) {
        for (const char* name :
             {"tshift ", "inclination ", "rsun ", "rplanet ", "lin ", "quad ", "zeropoint "})
            EXPECT_GT(ReportValue(b, name), 0.0L) << name << b;
        EXPECT_EQ(ReportValue(b, "eccentr "), 0.0L);
    }
    if (RunProgram("/bin/sh", {"-c", "command -v python3"}).status != 0)
        GTEST_SKIP() << "no python3 to parse the JSON";
    const CliResult missing =
        RunProgram("python3", {SOURCE_DIR "/tests/python/check_json_result.py",
                               dir.path() + "/r.JSON", dir.path() + "/r.txt"});
    EXPECT_EQ(missing.status, 0) << missing.err;
    EXPECT_EQ(missing.out, "");
}
