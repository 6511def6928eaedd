// transitlm: fits a planetary-transit model to a light curve.
//
//     transitlm PARAMETER_FILE DATA_FILE [RESULT_FILE]
//
// The Driver: command line, conversion of the parameter file into the fit's units, the run of
// the fit (its loop is fit_loop in driver.cpp), the report and the result file.
#include <signal.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "command_line.h"
#include "driver.h"
#include "lustre.h"
#include "optimize.h"
#include "output_file.h"
#include "rednoise.h"
#include "report.h"

namespace {

// What the report adds for the linear model: held coefficients carry "fixed", the zero-point
// (or the trends' mean level) follows the law lines, and the trend's degree, where shown; then
// the exposure, where shown.
struct LinearLines {
    int held = 0;            // bits 2 lin, 4 quad, 8 sqrt
    bool zeropoint = false;  // a zeropoint line
    long double level = 0;
    int trend = -1;         // degree on a trend line; -1 no line
    bool exposure = false;  // an exposure line
};

// The report of a run with an exposure key carries it, so that a fit started from the result
// file integrates as this one did; "exposure 0" only where it overrides a data file's own
// exposure, and a run without integration otherwise reports as one without the key.
bool ShowsExposure(const RunInput& in) {
    if (!in.options.exposure_key) return false;
    if (in.options.exposure != 0.0L) return true;  // exact on purpose: 0 is no integration
    for (const DataPart& part : in.parts)
        if (!part.exposure_from.empty()) return true;
    return false;
}

// The report's layout: six parameter lines, the period, the law coefficients in use, the
// linear model's lines, the reduced chi-square; `tail` ends the chi-square line.
void PrintReport(std::FILE* out, const RunInput& in, const long double* shown,
                 const long double* coeffs, long double period, long double chi2, const char* tail,
                 const LinearLines& linear = LinearLines{}) {
    // The names are the parameter file's keys, so a result file reads back.
    for (int i = 0; i < kGeometricCount; ++i) {
        std::fprintf(out, "%s   %.19Lg ", kParameterNames[i], shown[i]);
        if (in.pflag & FitBit(i)) std::fprintf(out, "fitted");
        std::fprintf(out, "\n");
    }
    std::fprintf(out, "period  %.19Lg %s\n", period, in.options.fit_period ? "fitted" : "");
    for (int term = 0, k = 0; term < kLawTermCount; ++term)
        if (in.lflag & TermBit(term))
            std::fprintf(out,
                         (linear.held & TermBit(term)) ? "%s  %.19Lg fixed\n" : "%s  %.19Lg \n",
                         kTermNames[term], coeffs[k++]);
    if (linear.zeropoint) std::fprintf(out, "zeropoint  %.19Lg \n", linear.level);
    if (linear.trend >= 0) std::fprintf(out, "trend  %.19Lg \n", (long double)linear.trend);
    if (linear.exposure) std::fprintf(out, "exposure  %.19Lg \n", in.options.exposure);
    std::fprintf(out, "\nchi_square_reduced  %.19Lg %s", chi2, tail);
}

// SIGINT or SIGTERM during the fit: the first asks the iterations to stop once the step under
// way is done, so that the best set so far is reported and written as usual; a second ends the
// process at once by the signal's default action, leaving any result file as it was.
volatile std::sig_atomic_t stop_signal = 0;

extern "C" void OnStopSignal(int signo) {
    if (stop_signal) {
        output_file_remove_pending();
        std::signal(signo, SIG_DFL);
        raise(signo);
        return;
    }
    stop_signal = signo;
}

// The handlers for the length of a fit; the ones found are put back afterwards.
class StopSignals {
   public:
    StopSignals() {
        stop_signal = 0;
        struct sigaction on_stop = {};
        on_stop.sa_handler = OnStopSignal;
        sigemptyset(&on_stop.sa_mask);
        on_stop.sa_flags = SA_RESTART;  // reads and writes go on across the first signal
        sigaction(SIGINT, &on_stop, &saved_[0]);
        sigaction(SIGTERM, &on_stop, &saved_[1]);
    }
    ~StopSignals() {
        sigaction(SIGINT, &saved_[0], nullptr);
        sigaction(SIGTERM, &saved_[1], nullptr);
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

   private:
    struct sigaction saved_[2];
};

const char* SignalName(int signo) { return signo == SIGINT ? "SIGINT" : "SIGTERM"; }

// The lines of a block of 1σ in the report's layout: the held coefficients and the zero-point
// (its 1σ `level`), no trend or exposure line.
LinearLines SigmaLines(LinearLines lines, long double level) {
    lines.level = level;
    lines.trend = -1;
    lines.exposure = false;
    return lines;
}

// The blocks of the rednoise switch, in the layout of the covariance's: its 1σ scaled by β,
// then the spread of residual permutation.
void PrintRedNoise(std::FILE* out, const RunInput& in, const RedNoise& red, long double chi2,
                   LinearLines lines) {
    std::fprintf(out,
                 "\n1-sigma uncertainties scaled by the time-averaging beta %.19Lg (correlated "
                 "noise):\n",
                 red.beta);
    lines = SigmaLines(lines, red.scaled.zeropoint);
    PrintReport(out, in, red.scaled.par, red.scaled.ld, red.scaled.period, chi2, "\n", lines);
    std::fprintf(out, "\n1-sigma uncertainties from residual permutation over %.19Lg shifts:\n",
                 static_cast<long double>(red.permutation.shifts));
    lines.level = red.permutation.sigma.zeropoint;
    PrintReport(out, in, red.permutation.sigma.par, red.permutation.sigma.ld, 0.0L, chi2, "\n",
                lines);
}

// The closing notes on standard error: a fit stopped by a signal (`tail` is " and written" when
// a result file was written) and a fit that did not converge.
std::string InterruptedNote(int signo, std::int64_t steps, long double iterations,
                            const char* tail) {
    char line[256];
    std::snprintf(line, sizeof line,
                  "note: the fit was interrupted by %s after step %lld of %.19Lg; the best set so "
                  "far is reported%s",
                  SignalName(signo), static_cast<long long>(steps), iterations, tail);
    return line;
}

std::string NotConvergedNote(const Convergence& conv) {
    char line[256];
    std::snprintf(line, sizeof line,
                  "transitlm: the fit did not converge (best at step %lld of %lld); run it again "
                  "from its result file or raise iterations",
                  static_cast<long long>(conv.best_step), static_cast<long long>(conv.steps));
    return line;
}

}  // namespace

int read_run_input(const char* param_file, const char* data_file, RunInput* in) {
    if (!read_parameters(param_file, in->inp, in->par, &in->pflag, &in->lflag)) {
        warn_about_parameters(param_file, in->inp, nullptr, 0);  // perhaps why
        return kExitUsage;
    }
    if (!read_options(param_file, &in->options)) return kExitUsage;
    if (!read_observations(data_file, &in->data, &in->pnum, &in->options, &in->parts))
        return kExitUsage;
    resolve_exposures(&in->parts, in->options);
    warn_about_parameters(param_file, in->inp, in->data.get(), in->pnum);
    return kExitOk;
}

RunResult fit_run_input(const RunInput& in, const RunStreams& io) {
    RunResult res;
    const RunOptions& options = in.options;
    const long double* data = in.data.get();
    const std::int64_t pnum = in.pnum;
    const int pflag = in.pflag, lflag = in.lflag;
    // With the period fitted, the step takes the time of mid-transit at the reference epoch
    // (the file's tshift when that is held) and the period.
    FitProblem problem;
    problem.data = data;
    problem.points = pnum;
    problem.parts = in.parts;
    problem.parflag = pflag | (options.fit_period ? kFitPeriod : 0);
    problem.ldflag = lflag;
    problem.lambda = in.inp[kInLm];
    // The linear part of the model: the basis coefficients of the design array, or with a
    // zero-point, trends or held coefficients the whole linear model's.
    problem.linear = linear_model(options);
    long double start[6];
    std::copy(in.par, in.par + 6, start);
    start[0] = phase_parameter(in.inp[kInTshift], in.inp[kInPeriod], start);
    problem.epoch = options.fit_period && (pflag & FitBit(kInTshift))
                        ? reference_epoch(data, pnum, in.inp[kInPeriod], start)
                        : 0.0L;

    // The iterations, each better set on a progress line. With no step at all (an iteration
    // count below 1 or not a number) the starting set is reported.
    FitState s(problem, start, in.inp[kInPeriod]);
    s.Design();
    int signo = 0;
    FitHooks hooks;
    hooks.on_best = [&](std::int64_t i, const FitState& at, long double t, long double m) {
        std::FILE* out = io.out;
        std::fflush(out);
        std::fprintf(out,
                     "%lld   %.19Lg     %.19Lg     %.19Lg     %.19Lg     %.19Lg     %.19Lg     ",
                     static_cast<long long>(i), mid_transit_time(at.par, at.period), at.par[1],
                     degrees(at.par[2]), at.par[4], at.par[5], inclination_degrees(at.par[3]));
        if (options.fit_period) std::fprintf(out, "%.19Lg     ", at.period);
        std::fprintf(out, "%.19Lg    %.19Lg\n", t, m);
        std::fflush(out);  // a log cut short by a kill still ends with the best line
    };
    hooks.stop = [&] {
        if (io.stop) signo = io.stop();
        return signo != 0;
    };
    const FitRecord rec = fit_loop(&s, in.inp[kInIterations], false, hooks);
    const LinearModel& linear = s.linear;
    const long double period = s.period;
    const long double* par = s.par;
    const long double* st = s.lset.data();

    // A window of too few distinct times has a trend of lower degree (a single point, a
    // constant that fits it exactly): said once, for the set reported.
    for (int w = 0; linear.per_transit && w < linear.windows; ++w)
        if (linear.order[w] < linear.degree)
            std::fprintf(io.err,
                         "note: the transit window at %.19Lg holds too few distinct times for "
                         "trend %d; its trend there has degree %d\n",
                         linear.centre[w], linear.degree, linear.order[w]);
    long double ld[kMaxCoefficients] = {};
    s.LawCoefficients(ld);
    const long double m = s.ChiSquare();
    long double shown[6];
    report_values(par, period, shown);
    const bool zeropoint = linear.degree >= 0;
    const long double level = zeropoint_level(s.lfit, linear);
    // A report of NaNs or infinities is no result: nothing is printed or written, so a result
    // file given as the parameter file keeps the set that produced this run.
    std::string not_finite = non_finite_names(shown, ld, lflag, m);
    if (zeropoint && !std::isfinite(level))
        not_finite += not_finite.empty() ? "zeropoint" : ", zeropoint";
    if (!not_finite.empty()) {
        res.status = kExitNotFinite;
        res.message = "The fit ended with values that are not finite numbers: " + not_finite;
        std::fprintf(io.out, "%s\n", res.message.c_str());
        return res;
    }

    const FitUncertainties unc = s.Uncertainties(m);
    const FitCovariance cov = s.Covariance(m);
    FitPoint at{};
    std::copy(par, par + 6, at.params);
    at.period = period;
    s.BasisCoefficients(at.linf);
    at.ldflag = lflag;
    const Convergence conv =
        judge_convergence(rec.steps, rec.best_step, rec.before, rec.chi2_before, rec.last,
                          rec.chi2_last, rec.best_chi2, cov);
    if (options.rednoise) {
        // The red-noise refits hold the period at its fitted value: their design array has no
        // period row.
        FitProblem held = problem;
        held.parflag = pflag;
        held.epoch = 0.0L;
        std::optional<FitState> without;
        if (options.fit_period) {
            without.emplace(held, par, period);
            without->Design();
        }
        const BestFit best{
            data,     pnum,  period,        par,     options.fit_period ? without->lset.data() : st,
            pflag,    lflag, in.inp[kInLm], &linear, options.exposure,
            &in.parts};
        res.red = rednoise_uncertainties(best, unc);
    }

    FitSummary& f = res.summary;
    std::copy(shown, shown + 6, f.shown);
    std::copy(unc.par, unc.par + 6, f.sigma);
    f.parflag = pflag;
    f.period = period;
    f.period_sigma = unc.period;
    f.period_fitted = options.fit_period;
    f.ldflag = lflag;
    f.held = linear.held;
    std::copy(ld, ld + kMaxCoefficients, f.ld);
    std::copy(unc.ld, unc.ld + kMaxCoefficients, f.ld_sigma);
    f.zeropoint = zeropoint;
    f.zeropoint_value = level;
    f.zeropoint_sigma = unc.zeropoint;
    f.chi2 = m;
    f.points = pnum;
    f.convergence = conv;
    f.covariance = cov;
    f.derived = derived_quantities(at, cov);
    if (options.rednoise) {
        f.rednoise = true;
        f.beta = res.red.beta;
        f.beta_sigma = res.red.scaled;
        f.shifts = res.red.permutation.shifts;
        f.permutation_sigma = res.red.permutation.sigma;
    }
    res.unc = unc;
    res.trend = linear.per_transit ? linear.degree : -1;
    if (!conv.converged && conv.steps >= 1 && !signo) res.not_converged = NotConvergedNote(conv);
    if (signo) {
        res.status = kExitSignal + signo;
        res.interrupted = InterruptedNote(signo, rec.steps, in.inp[kInIterations], "");
    }
    return res;
}

namespace {

// The tool's fit: the run of the read input with the stop signals caught, then the report,
// the result file and the closing blocks.
int Fit(const RunInput& in, const char* param_file, const char* data_file,
        const char* result_file) {
    RunResult res;
    {
        const StopSignals stop_signals;
        res = fit_run_input(in, RunStreams{stdout, stderr, [] { return int(stop_signal); }});
    }
    if (res.status == kExitNotFinite) return leave(kExitNotFinite);
    const FitSummary& f = res.summary;
    long double shown[7];  // the six as reported, then the period (for the quote)
    std::copy(f.shown, f.shown + 6, shown);
    shown[6] = f.period;
    LinearLines lines;
    lines.held = f.held;
    lines.zeropoint = f.zeropoint;
    lines.level = f.zeropoint_value;
    lines.trend = res.trend;
    lines.exposure = ShowsExposure(in);
    const RedNoise* rednoise = f.rednoise ? &res.red : nullptr;

    std::fflush(stdout);
    PrintReport(stdout, in, shown, f.ld, f.period, f.chi2, "\n\n\n", lines);

    bool written = true;
    if (result_file) {
        OutputFile out;
        written = out.open(result_file);
        if (written) {
            if (is_json_name(result_file)) {
                FitSummary named = f;
                named.parameter_file = param_file;
                named.data_file = data_file;
                std::fputs(fit_result_json(named).c_str(), out.stream());
            } else {
                PrintReport(out.stream(), in, shown, f.ld, f.period, f.chi2, "\n", lines);
                if (rednoise) PrintRedNoise(out.stream(), in, res.red, f.chi2, lines);
                print_quote(out.stream(), f.convergence, f.covariance, shown, f.ld, lines.level,
                            f.derived);
            }
            written = out.commit();
        }
    }

    // The closing block: 1σ uncertainties in the report's layout, then the quote.
    const FitUncertainties& unc = res.unc;
    const long double level = lines.level;
    lines = SigmaLines(lines, unc.zeropoint);
    std::fflush(stdout);
    std::printf(
        "\n\n\n1-sigma uncertainties (covariance at the best fit, scaled by "
        "chi_square_reduced when above 1; 0 = not fitted):\n");
    PrintReport(stdout, in, unc.par, unc.ld, unc.period, f.chi2, "\n", lines);
    if (in.options.fit_period) {
        // The transit of the reference epoch n, T_n = tshift + n·period, near the centre of the
        // data, where its correlation with the period is small.
        std::printf("\nreference_epoch  %.19Lg \n", unc.epoch);
        std::printf("tshift_at_reference_epoch  %.19Lg \n", unc.tref);
        std::printf("tshift_at_reference_epoch_sigma  %.19Lg \n", unc.tref_sigma);
        std::printf("correlation_tshift_period  %.19Lg \n", unc.correlation);
    }
    if (rednoise) PrintRedNoise(stdout, in, res.red, f.chi2, lines);
    print_quote(stdout, f.convergence, f.covariance, shown, f.ld, level, f.derived);
    std::fflush(stdout);
    // A signal met after the last step (during the uncertainties) stops the run all the same.
    const int signo = stop_signal;
    if (!f.convergence.converged && f.convergence.steps >= 1 && !signo)
        std::fprintf(stderr, "%s\n", NotConvergedNote(f.convergence).c_str());

    if (!written) {
        std::printf("The result file can not be opened.\n");
        return leave(kExitUsage);
    }
    if (signo) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s\n",
                     InterruptedNote(signo, f.convergence.steps, in.inp[kInIterations],
                                     result_file ? " and written" : "")
                         .c_str());
        return leave(kExitSignal + signo);
    }
    return leave(kExitOk);
}

const char kUsage[] = "usage: transitlm PARAMETER_FILE DATA_FILE [RESULT_FILE]\n";

const char kHelp[] =
    "       transitlm --help | --version\n"
    "\n"
    "Fits a planetary-transit model to a light curve by Levenberg-Marquardt steps on the\n"
    "geometry, with the limb-darkening coefficients solved linearly at every step, in 80-bit\n"
    "long double; prints the best parameters, the coefficients, the reduced chi-square and\n"
    "their 1-sigma uncertainties, and writes the report to RESULT_FILE (a parameter file).\n"
    "\n"
    "  PARAMETER_FILE  lines 'key value [f]' (f: fitted) for tshift eccentr periastr\n"
    "                  inclination rsun rplanet period, and iterations, lm, lin, quad, sqrt\n"
    "  DATA_FILE       three numbers per observation: time, relative flux, uncertainty\n"
    "  RESULT_FILE     the report, written whole or not at all\n"
    "\n"
    "Exit status: 0 a completed run, 1 a singular fit, 2 a usage or input/output error,\n"
    "3 a result that is not a finite number (nothing written),\n"
    "130 or 143 a fit stopped by SIGINT or SIGTERM (at the end of a step, the best set so far\n"
    "reported and written; a second signal ends the run at once, leaving RESULT_FILE as it was).\n"
    "Likely mistakes in the parameter file are named on standard error.\n"
    "Manual: man transitlm; README.md of the sources (installed in share/doc/transitlm).\n";

int Run(int argc, char** argv) {
    int status = kExitOk;
    if (handled_command_line(argc, argv, "transitlm", kUsage, kHelp, &status)) return status;

    // Writing the report over the table would destroy the data (through a link as well); over
    // the parameter file it is a way to continue in place, and happens only after a success.
    std::string data_file;
    if (argc == 4 && names_data_file(argv[3], argv[2], &data_file)) {
        std::printf("The result file is the same file as the data file: %s and %s\n", argv[3],
                    data_file.c_str());
        return leave(kExitUsage);
    }
    RunInput in;
    const int read = read_run_input(argv[1], argv[2], &in);
    if (read != kExitOk) return leave(read);
    return Fit(in, argv[1], argv[2], argc == 4 ? argv[3] : nullptr);
}

}  // namespace

int transitlm_main(int argc, char** argv) { return run_tool(Run, argc, argv); }

// The library build of this unit (in-process runs, fuzzing) leaves main() out.
#ifndef TRANSITLM_NO_MAIN
int main(int argc, char** argv) { return transitlm_main(argc, argv); }
#endif
