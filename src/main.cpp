// transitlm: fits a planetary-transit model to a light curve.
//
//     transitlm PARAMETER_FILE DATA_FILE [RESULT_FILE]
//
// The Driver: command line, conversion of the parameter file into the fit's units, the
// Levenberg-Marquardt run with its best-so-far record, the report and the result file.
#include <signal.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>
#include <stdexcept>
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

// Exit statuses.
enum ExitStatus {
    kExitOk = 0,         // a completed run
    kExitSingular = 1,   // a linear system of the fit had a determinant of exactly zero
    kExitUsage = 2,      // a usage, input or output error
    kExitNotFinite = 3,  // the fit ended with a value that is not a finite number
    kExitSignal = 128,   // plus the signal: a fit stopped early by SIGINT (130) or SIGTERM (143)
};

// The program-wide state of a run.
long double inp[kInputSlots];  // the parameter file's values, as read
long double par[6];            // φ0, e, ω [rad], cos² i, rsun, rplanet
int pflag = 0;                 // fitted parameters, bit i for par[i]
int lflag = 1;                 // limb-darkening terms: 1 uniform, 2 lin, 4 quad, 8 sqrt
int parnum = 0, ldnum = 0, len = 0;
std::int64_t pnum = 0;                // observations
std::unique_ptr<long double[]> data;  // time, flux, uncertainty per observation
RunOptions options;                   // the keys beyond the twelve
std::vector<DataPart> parts;          // the data files' stretches of points and exposures

// Names in the report; they are the parameter file's keys, so a result file reads back.
const char* const pnames[10] = {"tshift ",  "eccentr ", "periastr ", "inclination ", "rsun ",
                                "rplanet ", "period ",  "lin",       "quad",         "sqrt"};

// Every way out goes through here, so that standard output is flushed once, at the end.
int Leave(ExitStatus status) {
    // A report that did not reach its reader (a full disk, a closed pipe) is no success.
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "The standard output can not be written.\n");
        return kExitUsage;
    }
    return status;
}

// What the report adds for the linear model: held coefficients carry "fixed", the zero-point
// (or the trends' mean level) follows the law lines, and the trend's degree, where shown.
struct LinearLines {
    int held = 0;            // bits 2 lin, 4 quad, 8 sqrt
    bool zeropoint = false;  // a zeropoint line
    long double level = 0;
    int trend = -1;  // degree on a trend line; -1 no line
};

// The report's layout: six parameter lines, the period, the law coefficients in use, the
// linear model's lines, the reduced chi-square; `tail` ends the chi-square line.
void PrintReport(std::FILE* out, const long double* shown, const long double* coeffs,
                 long double period, long double chi2, const char* tail,
                 const LinearLines& linear = LinearLines{}) {
    for (int i = 0; i < 6; ++i) {
        std::fprintf(out, "%s  %.19Lg ", pnames[i], shown[i]);
        if (pflag & (1 << i)) std::fprintf(out, "fitted");
        std::fprintf(out, "\n");
    }
    std::fprintf(out, "period  %.19Lg %s\n", period, options.fit_period ? "fitted" : "");
    for (int term = 0, k = 0; term < 3; ++term)
        if (lflag & (2 << term))
            std::fprintf(out, (linear.held & (2 << term)) ? "%s  %.19Lg fixed\n" : "%s  %.19Lg \n",
                         pnames[7 + term], coeffs[k++]);
    if (linear.zeropoint) std::fprintf(out, "zeropoint  %.19Lg \n", linear.level);
    if (linear.trend >= 0) std::fprintf(out, "trend  %.19Lg \n", (long double)linear.trend);
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

// The blocks of the rednoise switch, in the layout of the covariance's: its 1σ scaled by β,
// then the spread of residual permutation.
void PrintRedNoise(std::FILE* out, const RedNoise& red, long double chi2, LinearLines lines) {
    lines.trend = -1;
    std::fprintf(out,
                 "\n1-sigma uncertainties scaled by the time-averaging beta %.19Lg (correlated "
                 "noise):\n",
                 red.beta);
    lines.level = red.scaled.zeropoint;
    PrintReport(out, red.scaled.par, red.scaled.ld, 0.0L, chi2, "\n", lines);
    std::fprintf(out, "\n1-sigma uncertainties from residual permutation over %.19Lg shifts:\n",
                 static_cast<long double>(red.permutation.shifts));
    lines.level = red.permutation.sigma.zeropoint;
    PrintReport(out, red.permutation.sigma.par, red.permutation.sigma.ld, 0.0L, chi2, "\n", lines);
}

// The run's result as the JSON form of the result file takes it.
FitSummary Summary(const char* param_file, const char* data_file, const long double* shown,
                   const FitUncertainties& unc, long double period, const long double* ld,
                   const LinearLines& lines, long double chi2, const Convergence& conv,
                   const FitCovariance& cov, const std::vector<DerivedQuantity>& derived,
                   const RedNoise* red) {
    FitSummary f;
    f.parameter_file = param_file;
    f.data_file = data_file;
    std::copy(shown, shown + 6, f.shown);
    std::copy(unc.par, unc.par + 6, f.sigma);
    f.parflag = pflag;
    f.period = period;
    f.period_sigma = unc.period;
    f.period_fitted = options.fit_period;
    f.ldflag = lflag;
    f.held = lines.held;
    std::copy(ld, ld + kMaxCoefficients, f.ld);
    std::copy(unc.ld, unc.ld + kMaxCoefficients, f.ld_sigma);
    f.zeropoint = lines.zeropoint;
    f.zeropoint_value = lines.level;
    f.zeropoint_sigma = unc.zeropoint;
    f.chi2 = chi2;
    f.points = pnum;
    f.convergence = conv;
    f.covariance = cov;
    f.derived = derived;
    if (red) {
        f.rednoise = true;
        f.beta = red->beta;
        f.beta_sigma = red->scaled;
        f.shifts = red->permutation.shifts;
        f.permutation_sigma = red->permutation.sigma;
    }
    return f;
}

// The time unknown of a step with the period fitted: T_n, the time of mid-transit at epoch n.
long double StepTime(const long double* params, long double period, long double epoch) {
    return mid_transit_time(params, period) + epoch * period;
}

// The design array of `par`, each data file's points integrated over that file's exposure.
void DesignParts(long double* st, long double period, int mask, long double epoch) {
    for (const DataPart& part : parts)
        der_set_period(st + static_cast<std::size_t>(len) * part.first, data.get() + 3 * part.first,
                       part.count, period, par, mask, lflag, epoch, part.exposure);
}

int Fit(const char* param_file, const char* data_file, const char* result_file) {
    long double period = inp[kInPeriod];
    par[0] = phase_parameter(inp[kInTshift], period, par);
    // With the period fitted, the step takes the time of mid-transit at the reference epoch
    // (the file's tshift when that is held) and the period.
    const int mask = pflag | (options.fit_period ? kFitPeriod : 0);
    const long double epoch =
        options.fit_period && (pflag & 1) ? reference_epoch(data.get(), pnum, period, par) : 0.0L;
    std::vector<long double> st(static_cast<std::size_t>(len) * pnum);
    DesignParts(st.data(), period, mask, epoch);

    // The linear part of the model: the basis coefficients of the design array in st, or with
    // a zero-point, trends or held coefficients the whole linear model's. Each step starts
    // from the array whose residual the previous iteration formed, so one linear fit serves
    // both.
    LinearModel linear = linear_model(options);
    const bool extended = linear_model_used(linear);
    LinearFit lfit;
    long double linf[kMaxCoefficients];
    auto solve_linear = [&] {
        if (!extended) return fitted_lin_period(linf, data.get(), st.data(), pnum, mask, lflag);
        set_windows(&linear, data.get(), pnum, period, par);
        fitted_linear(&lfit, linear, data.get(), st.data(), pnum, mask, lflag);
    };
    auto chi_square = [&] {
        return extended ? residual_linear(st.data(), data.get(), pnum, mask, lflag, linear, lfit)
                        : residual_period(st.data(), data.get(), pnum, mask, lflag, linf);
    };

    // The best set met so far.  With no step at all (an iteration count below 1 or not a
    // number) the starting set is reported.
    long double parmin[6];
    std::copy(par, par + 6, parmin);
    long double periodmin = period;
    long double min = NAN;
    // The last step, for the convergence test: the set before it and the chi-squares of both.
    long double before[7];  // the six and the period
    long double chi2_before = NAN, chi2_last = NAN;
    std::int64_t steps = 0, best_step = 0;
    const StopSignals stop_signals;
    for (std::int64_t i = 1; static_cast<long double>(i) <= inp[kInIterations]; ++i) {
        if (i == 1) {
            solve_linear();
            chi2_last = chi_square();
        }
        std::copy(par, par + 6, before);
        before[6] = period;
        if (options.fit_period) before[0] = StepTime(par, period, epoch);
        chi2_before = chi2_last;
        const long double t =
            extended ? lm_step_linear_period(st.data(), data.get(), pnum, par, &period, epoch, mask,
                                             lflag, inp[kInLm], linear, lfit)
                     : lm_step_period(st.data(), data.get(), pnum, par, &period, epoch, mask, lflag,
                                      inp[kInLm], linf);
        DesignParts(st.data(), period, mask, epoch);
        solve_linear();
        const long double m = chi_square();
        chi2_last = m;
        steps = i;
        if (improves_best(i, m, min)) {
            best_step = i;
            min = m;
            std::copy(par, par + 6, parmin);
            periodmin = period;
            std::fflush(stdout);
            std::printf("%lld   %.19Lg     %.19Lg     %.19Lg     %.19Lg     %.19Lg     %.19Lg     ",
                        static_cast<long long>(i), mid_transit_time(par, period), par[1],
                        degrees(par[2]), par[4], par[5], inclination_degrees(par[3]));
            if (options.fit_period) std::printf("%.19Lg     ", period);
            std::printf("%.19Lg    %.19Lg\n", t, m);
            std::fflush(stdout);  // a log cut short by a kill still ends with the best line
        }
        if (stop_signal) break;
    }

    long double last[7];
    std::copy(par, par + 6, last);
    last[6] = period;
    if (options.fit_period) last[0] = StepTime(par, period, epoch);
    std::copy(parmin, parmin + 6, par);
    period = periodmin;
    DesignParts(st.data(), period, mask, epoch);
    long double ld[kMaxCoefficients];
    solve_linear();
    // A window of too few distinct times has a trend of lower degree (a single point, a
    // constant that fits it exactly): said once, for the set reported.
    for (int w = 0; linear.per_transit && w < linear.windows; ++w)
        if (linear.order[w] < linear.degree)
            std::fprintf(stderr,
                         "note: the transit window at %.19Lg holds too few distinct times for "
                         "trend %d; its trend there has degree %d\n",
                         linear.centre[w], linear.degree, linear.order[w]);
    if (extended)
        linear2ld(ld, lfit, linear, lflag);
    else
        linfit2ld(ld, linf, lflag);
    const long double m = chi_square();
    long double shown[7];  // the six as reported, then the period (for the quote)
    report_values(par, period, shown);
    shown[6] = period;
    LinearLines lines;
    lines.held = linear.held;
    lines.zeropoint = linear.degree >= 0;
    lines.level = zeropoint_level(lfit, linear);
    lines.trend = linear.per_transit ? linear.degree : -1;
    // A report of NaNs or infinities is no result: nothing is printed or written, so a result
    // file given as the parameter file keeps the set that produced this run.
    std::string not_finite = non_finite_names(shown, ld, lflag, m);
    if (lines.zeropoint && !std::isfinite(lines.level))
        not_finite += not_finite.empty() ? "zeropoint" : ", zeropoint";
    if (!not_finite.empty()) {
        std::printf("The fit ended with values that are not finite numbers: %s\n",
                    not_finite.c_str());
        return Leave(kExitNotFinite);
    }

    const FitUncertainties unc =
        extended ? fit_uncertainties_linear_period(st.data(), data.get(), pnum, period, par, mask,
                                                   lflag, linear, m, epoch)
                 : fit_uncertainties_period(st.data(), data.get(), pnum, period, par, mask, lflag,
                                            m, epoch);
    const FitCovariance cov =
        extended ? fit_covariance_linear_period(st.data(), data.get(), pnum, period, par, mask,
                                                lflag, linear, m, epoch)
                 : fit_covariance_period(st.data(), data.get(), pnum, period, par, mask, lflag, m,
                                         epoch);
    FitPoint at{};
    std::copy(par, par + 6, at.params);
    at.period = period;
    if (extended)
        linear_basis_coefficients(at.linf, lfit, linear, lflag);
    else
        std::copy(linf, linf + kMaxCoefficients, at.linf);
    at.ldflag = lflag;
    const std::vector<DerivedQuantity> derived = derived_quantities(at, cov);
    const Convergence conv =
        judge_convergence(steps, best_step, before, chi2_before, last, chi2_last, min, cov);
    RedNoise red;
    // The red-noise refits take the period as it stands, from a design array without its row.
    std::vector<long double> st6;
    if (options.rednoise && options.fit_period) {
        st6.resize(static_cast<std::size_t>(count_fit(pflag, lflag).len) * pnum);
        der_set_period(st6.data(), data.get(), pnum, period, par, pflag, lflag, 0.0L,
                       options.exposure);
    }
    if (options.rednoise) {
        const BestFit best{
            data.get(), pnum,  period,     par,     options.fit_period ? st6.data() : st.data(),
            pflag,      lflag, inp[kInLm], &linear, options.exposure};
        red = rednoise_uncertainties(best, unc);
    }
    const RedNoise* rednoise = options.rednoise ? &red : nullptr;

    std::fflush(stdout);
    PrintReport(stdout, shown, ld, period, m, "\n\n\n", lines);

    bool written = true;
    if (result_file) {
        OutputFile out;
        written = out.open(result_file);
        if (written) {
            if (is_json_name(result_file)) {
                const std::string json =
                    fit_result_json(Summary(param_file, data_file, shown, unc, period, ld, lines, m,
                                            conv, cov, derived, rednoise));
                std::fputs(json.c_str(), out.stream());
            } else {
                PrintReport(out.stream(), shown, ld, period, m, "\n", lines);
                if (rednoise) PrintRedNoise(out.stream(), red, m, lines);
                print_quote(out.stream(), conv, cov, shown, ld, lines.level, derived);
            }
            written = out.commit();
        }
    }

    // The closing block: 1σ uncertainties in the report's layout, then the quote.
    const long double level = lines.level;
    lines.level = unc.zeropoint;
    lines.trend = -1;
    std::fflush(stdout);
    std::printf(
        "\n\n\n1-sigma uncertainties (covariance at the best fit, scaled by "
        "chi_square_reduced when above 1; 0 = not fitted):\n");
    PrintReport(stdout, unc.par, unc.ld, unc.period, m, "\n", lines);
    if (options.fit_period) {
        // The transit of the reference epoch n, T_n = tshift + n·period, near the centre of the
        // data, where its correlation with the period is small.
        std::printf("\nreference_epoch  %.19Lg \n", unc.epoch);
        std::printf("tshift_at_reference_epoch  %.19Lg \n", unc.tref);
        std::printf("tshift_at_reference_epoch_sigma  %.19Lg \n", unc.tref_sigma);
        std::printf("correlation_tshift_period  %.19Lg \n", unc.correlation);
    }
    if (rednoise) PrintRedNoise(stdout, red, m, lines);
    print_quote(stdout, conv, cov, shown, ld, level, derived);
    std::fflush(stdout);
    if (!conv.converged && conv.steps >= 1 && !stop_signal)
        std::fprintf(stderr,
                     "transitlm: the fit did not converge (best at step %lld of %lld); run it "
                     "again from its result file or raise iterations\n",
                     static_cast<long long>(conv.best_step), static_cast<long long>(conv.steps));

    if (!written) {
        std::printf("The result file can not be opened.\n");
        return Leave(kExitUsage);
    }
    if (stop_signal) {
        std::fflush(stdout);
        std::fprintf(stderr,
                     "note: the fit was interrupted by %s after step %lld of %.19Lg; the best set "
                     "so far is reported%s\n",
                     SignalName(stop_signal), static_cast<long long>(steps), inp[kInIterations],
                     result_file ? " and written" : "");
        return Leave(static_cast<ExitStatus>(kExitSignal + stop_signal));
    }
    return Leave(kExitOk);
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
    const char* unknown = nullptr;
    switch (scan_command_line(argc, argv, &unknown)) {
        case CommandLineAction::kHelp:
            std::printf("%s%s", kUsage, kHelp);
            return Leave(kExitOk);
        case CommandLineAction::kVersion:
            print_version();
            return Leave(kExitOk);
        case CommandLineAction::kUnknownOption:
            std::printf("Unknown option %s (a file of that name is ./%s); see transitlm --help\n",
                        unknown, unknown);
            return Leave(kExitUsage);
        case CommandLineAction::kRun:
            break;
    }
    if (argc <= 1) {
        std::printf("%s", kUsage);
        return Leave(kExitUsage);
    }
    if (argc == 2) {
        std::printf("Data file is not specified.");
        return Leave(kExitUsage);
    }

    // Writing the report over the table would destroy the data (through a link as well); over
    // the parameter file it is a way to continue in place, and happens only after a success.
    std::string data_file;
    if (argc == 4 && names_data_file(argv[3], argv[2], &data_file)) {
        std::printf("The result file is the same file as the data file: %s and %s\n", argv[3],
                    data_file.c_str());
        return Leave(kExitUsage);
    }
    if (!read_parameters(argv[1], inp, par, &pflag, &lflag)) {
        warn_about_parameters(argv[1], inp, nullptr, 0);  // perhaps why
        return Leave(kExitUsage);
    }
    if (!read_options(argv[1], &options)) return Leave(kExitUsage);
    const FitCounts counts = count_fit_period(pflag | (options.fit_period ? kFitPeriod : 0), lflag);
    parnum = counts.parnum;
    ldnum = counts.ldnum;
    len = counts.len;
    if (!read_observations(argv[2], &data, &pnum, &options, &parts)) return Leave(kExitUsage);
    resolve_exposures(&parts, options);
    warn_about_parameters(argv[1], inp, data.get(), pnum);
    return Fit(argv[1], argv[2], argc == 4 ? argv[3] : nullptr);
}

}  // namespace

int transitlm_main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const std::bad_alloc&) {
        std::printf("The memory for the fit can not be obtained.\n");
        return Leave(kExitUsage);
    } catch (const std::length_error&) {  // a size beyond what any allocator can give
        std::printf("The memory for the fit can not be obtained.\n");
        return Leave(kExitUsage);
    }
}

// The library build of this unit (in-process runs, fuzzing) leaves main() out.
#ifndef TRANSITLM_NO_MAIN
int main(int argc, char** argv) { return transitlm_main(argc, argv); }
#endif
