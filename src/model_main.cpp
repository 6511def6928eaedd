// transitlm-model: the light-curve model of a parameter set at every observation, written as a
// table of residuals or drawn as a figure.
//
//     transitlm-model PARAMETER_FILE DATA_FILE OUTPUT
//
// Both files are read as transitlm reads them (a result file of transitlm is a parameter file).
// The limb-darkening coefficients are solved linearly for the geometry, exactly as in the fit,
// so the weighted mean squared residual of the table is the reduced chi-square that transitlm
// reports for the same parameters.  OUTPUT ending in .tsv or .txt gets the table, one ending
// in .svg the figure.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "command_line.h"
#include "optimize.h"
#include "output_file.h"
#include "svgplot.h"

namespace {

enum class OutputKind { kNone, kTable, kFigure };

// By the extension of the name, in any letter case.
OutputKind KindOfOutput(const std::string& name) {
    if (name.size() < 4) return OutputKind::kNone;
    std::string ext = name.substr(name.size() - 4);
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (ext == ".tsv" || ext == ".txt") return OutputKind::kTable;
    if (ext == ".svg") return OutputKind::kFigure;
    return OutputKind::kNone;
}

// The run's input as read: the parameter file's values and the fit's vector, the masks and the
// observations.
struct Input {
    long double inp[kInputSlots];
    long double par[6];
    int pflag = 0;
    int lflag = 1;
    std::unique_ptr<long double[]> data;
    std::int64_t pnum = 0;
    long double exposure = 0;     // the drawn curve's exposure; 0: the model at its time
    std::vector<DataPart> parts;  // the data files' stretches of points and exposures
    long double period() const { return inp[kInPeriod]; }
};

// The model of the parameters at every observation.
struct Evaluation {
    long double linf[kMaxCoefficients] = {};  // basis coefficients, as fitted_lin gives them
    long double ld[kMaxCoefficients] = {};    // law coefficients of lin, quad, sqrt in use
    long double chi2 = 0;                     // reduced chi-square, as transitlm reports it
    long double t0 = 0;                       // time of mid-transit
    long double shown[6] = {};                // the six values in the report's units
    std::vector<long double> model, residual, folded;
    // With a zero-point or trends: the baseline of every point; the figure draws the data
    // divided by it.
    bool baseline = false;
    std::vector<long double> trend;
    int held = 0;           // law terms held at a value
    long double level = 1;  // the zero-point, or the trends' mean level
    bool per_transit = false;
};

// Time from mid-transit folded into [-P/2, P/2).  fmod is exact and so is either shift by P
// (the operands lie within a factor two of each other), so the only rounding is that of dt.
long double FoldPeriod(long double dt, long double period) {
    long double r = std::fmod(dt, period);
    if (r >= period / 2)
        r = r - period;
    else if (r < -period / 2)
        r = r + period;
    return r;
}

Evaluation Evaluate(const Input& in, const RunOptions& options) {
    Evaluation ev;
    const long double P = in.period();
    // Only the value row of the design array is read here, and it does not depend on which
    // parameters are fitted: the design set without derivative rows gives the fit's numbers.
    const FitCounts fc = count_fit(0, in.lflag);
    std::vector<long double> lset(static_cast<std::size_t>(fc.len) * in.pnum);
    der_set_norm_ci_parts(lset.data(), in.data.get(), in.parts, P, in.par, 0, in.lflag);
    LinearModel linear = linear_model(options);
    LinearFit fit;
    ev.held = linear.held;
    ev.baseline = linear.degree >= 0;
    ev.trend.assign(in.pnum, 1.0L);
    if (linear_model_used(linear)) {
        set_windows(&linear, in.data.get(), in.pnum, P, in.par);
        fitted_linear(&fit, linear, in.data.get(), lset.data(), in.pnum, 0, in.lflag);
        linear_basis_coefficients(ev.linf, fit, linear, in.lflag);
        linear2ld(ev.ld, fit, linear, in.lflag);
        ev.chi2 = residual_linear(lset.data(), in.data.get(), in.pnum, 0, in.lflag, linear, fit);
        for (std::int64_t i = 0; i < in.pnum; ++i) ev.trend[i] = baseline_at(fit, linear, i);
        ev.level = zeropoint_level(fit, linear);
        ev.per_transit = linear.per_transit;
    } else {
        fitted_lin(ev.linf, in.data.get(), lset.data(), in.pnum, 0, in.lflag);
        linfit2ld(ev.ld, ev.linf, in.lflag);
        ev.chi2 = residual_with(lset.data(), in.data.get(), in.pnum, 0, in.lflag, ev.linf);
    }
    report_values(in.par, P, ev.shown);
    ev.t0 = ev.shown[0];

    ev.model.resize(in.pnum);
    ev.residual.resize(in.pnum);
    ev.folded.resize(in.pnum);
    for (std::int64_t i = 0; i < in.pnum; ++i) {
        const long double* obs = in.data.get() + 3 * i;
        ev.model[i] = model_flux(lset.data() + i * fc.len, fc.ldnum, ev.linf);
        if (ev.baseline) ev.model[i] = ev.trend[i] * ev.model[i];
        ev.residual[i] = obs[1] - ev.model[i];
        ev.folded[i] = FoldPeriod(obs[0] - ev.t0, P);
    }
    return ev;
}

bool WriteTable(std::FILE* out, const Input& in, const Evaluation& ev) {
    std::fprintf(out, "# time\tflux\tuncertainty\tmodel\tresidual\ttime_from_mid_transit%s\n",
                 ev.baseline ? "\tcorrected_flux\ttrend" : "");
    for (std::int64_t i = 0; i < in.pnum; ++i) {
        const long double* obs = in.data.get() + 3 * i;
        std::fprintf(out, "%.19Lg\t%.19Lg\t%.19Lg\t%.19Lg\t%.19Lg\t%.19Lg", obs[0], obs[1], obs[2],
                     ev.model[i], ev.residual[i], ev.folded[i]);
        if (ev.baseline) std::fprintf(out, "\t%.19Lg\t%.19Lg", obs[1] / ev.trend[i], ev.trend[i]);
        std::fprintf(out, "\n");
    }
    return !std::ferror(out);
}

// ---- the figure --------------------------------------------------------------------------

constexpr int kCurvePoints = 1500;        // model samples across the time window
constexpr long double kZoomWidth = 3.0L;  // transit durations shown when zoomed

// Model flux (with the fitted coefficients) at times t0 + x for every x, each the mean over an
// exposure of length `exposure` (0: at the time).
std::vector<long double> ModelAt(const Input& in, const Evaluation& ev,
                                 const std::vector<long double>& x, int ldflag,
                                 const long double* linf, long double exposure) {
    const std::int64_t n = static_cast<std::int64_t>(x.size());
    std::vector<long double> obs(3 * x.size(), 1.0L);
    for (std::int64_t j = 0; j < n; ++j) obs[3 * j] = ev.t0 + x[j];
    const FitCounts fc = count_fit(0, ldflag);
    std::vector<long double> lset(static_cast<std::size_t>(fc.len) * n);
    der_set_norm_ci_exposure(lset.data(), obs.data(), n, in.period(), in.par, 0, ldflag, exposure);
    std::vector<long double> flux(n);
    for (std::int64_t j = 0; j < n; ++j) flux[j] = model_flux(&lset[j * fc.len], fc.ldnum, linf);
    return flux;
}

// The time axis: the whole orbit, or a few transit durations about the transit when the
// transit covers only a small part of the orbit.
struct TimeWindow {
    long double lo, hi;
    bool zoomed;
    long double duration;  // first to last contact; 0 when there is no transit
};

// Whether any part of the planet is in front of the stellar disc at time t0 + x: the uniform
// disc's flux is then below 1, and exactly 1 otherwise.
bool InTransit(const Input& in, const Evaluation& ev, long double x) {
    static const long double kNoCoefficients[4] = {};
    return ModelAt(in, ev, {x}, 1, kNoCoefficients, 0.0L)[0] < 1.0L;
}

TimeWindow ChooseWindow(const Input& in, const Evaluation& ev) {
    const long double P = in.period();
    const TimeWindow orbit{-P / 2, P / 2, false, 0.0L};
    if (!std::isfinite(P) || !std::isfinite(ev.t0) || !InTransit(in, ev, 0.0L)) return orbit;
    // Each contact: step out from mid-transit in doubling strides until the planet is off the
    // disc, then bisect the last stride.
    long double contact[2];
    for (int side = 0; side < 2; ++side) {
        const long double sign = side == 0 ? -1.0L : 1.0L;
        long double inside = 0.0L, outside = std::ldexp(P, -40);
        while (InTransit(in, ev, sign * outside)) {
            inside = outside;
            outside = 2 * outside;
            if (outside >= P / 2) return orbit;  // in transit all around
        }
        for (int k = 0; k < 64; ++k) {
            const long double mid = (inside + outside) / 2;
            if (mid == inside || mid == outside) break;
            (InTransit(in, ev, sign * mid) ? inside : outside) = mid;
        }
        contact[side] = sign * outside;
    }
    const long double duration = contact[1] - contact[0];
    if (!(kZoomWidth * duration < P / 2)) return {-P / 2, P / 2, false, duration};
    const long double centre = (contact[0] + contact[1]) / 2;
    const long double half = kZoomWidth * duration / 2;
    return {centre - half, centre + half, true, duration};
}

std::string Number(long double v, int digits) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*Lg", digits, v);
    return buf;
}

std::string BaseName(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

LightCurveFigure BuildFigure(const Input& in, const Evaluation& ev, const char* param_file,
                             const char* data_file) {
    LightCurveFigure fig;
    const long double P = in.period();
    const TimeWindow w = ChooseWindow(in, ev);
    fig.x_lo = static_cast<double>(w.lo);
    fig.x_hi = static_cast<double>(w.hi);

    // Observations inside the window; when zoomed, a point just beyond ±P/2 may belong to it
    // one period over.
    std::int64_t outside = 0;
    for (std::int64_t i = 0; i < in.pnum; ++i) {
        long double x = ev.folded[i];
        if (x < w.lo) x = x + P;
        if (x > w.hi) x = x - P;
        if (!(x >= w.lo && x <= w.hi)) {
            ++outside;
            continue;
        }
        // The data divided by the baseline, against the model of the star alone.
        const long double b = ev.trend[i];
        fig.x.push_back(static_cast<double>(x));
        fig.flux.push_back(
            static_cast<double>(ev.baseline ? in.data[3 * i + 1] / b : in.data[3 * i + 1]));
        fig.sigma.push_back(
            static_cast<double>(ev.baseline ? in.data[3 * i + 2] / b : in.data[3 * i + 2]));
        fig.residual.push_back(
            static_cast<double>(ev.baseline ? ev.residual[i] / b : ev.residual[i]));
    }

    std::vector<long double> grid(kCurvePoints);
    for (int j = 0; j < kCurvePoints; ++j) grid[j] = w.lo + (w.hi - w.lo) * j / (kCurvePoints - 1);
    // The curve integrates over the exposure as the table's model does, so it runs through the
    // points.
    const std::vector<long double> curve = ModelAt(in, ev, grid, in.lflag, ev.linf, in.exposure);
    for (int j = 0; j < kCurvePoints; ++j) {
        fig.curve_x.push_back(static_cast<double>(grid[j]));
        fig.curve_flux.push_back(static_cast<double>(curve[j]));
    }

    // Title: the files, the geometry, the limb darkening and the reduced chi-square.
    const long double* s = ev.shown;
    const std::string gap = "\u2003\u2003";  // em spaces: SVG text collapses blanks
    fig.title.push_back(BaseName(data_file) + ": " + std::to_string(in.pnum) +
                        " observations and the model of " + BaseName(param_file));
    // T0 to a millionth of the time unit: a tenth of a second for times in days.
    char t0[64];
    std::snprintf(t0, sizeof t0, "%.6Lf", s[0]);
    std::string geometry = "T_{0} = " + std::string(t0) + gap + "P = " + Number(P, 7) + gap +
                           "i = " + Number(s[3], 6) + "\u00b0" + gap +
                           "R_{*}/a = " + Number(s[4], 6) + gap + "R_{p}/a = " + Number(s[5], 6) +
                           gap + "R_{p}/R_{*} = " + Number(s[5] / s[4], 6);
    if (s[1] != 0.0L || (in.pflag & FitBit(kInEccentr)))
        geometry += gap + "e = " + Number(s[1], 5) + gap + "\u03c9 = " + Number(s[2], 5) + "\u00b0";
    fig.title.push_back(geometry);
    std::string law;
    for (int term = 0, k = 0; term < kLawTermCount; ++term)
        if (in.lflag & TermBit(term))
            law += std::string("u_{") + kTermNames[term] + "} = " + Number(ev.ld[k++], 5) +
                   ((ev.held & TermBit(term)) ? " (fixed)" : "") + gap;
    if (law.empty()) law = "uniform disc" + gap;
    if (ev.baseline) law += "F_{0} = " + Number(ev.level, 7) + gap;
    fig.title.push_back(law + "\u03c7\u00b2_{red} = " + Number(ev.chi2, 6));

    std::string terms;
    for (int term = 0; term < kLawTermCount; ++term)
        if (in.lflag & TermBit(term))
            terms += std::string(terms.empty() ? "" : " + ") + kTermNames[term];
    fig.model_label =
        terms.empty() ? "model (uniform disc)" : "model (limb darkening " + terms + ")";

    if (ev.baseline)
        fig.model_label += ev.per_transit ? "; data divided by the trend of their transit"
                                          : "; data divided by the zero-point";
    fig.x_label = "Time from mid-transit T_{0} [d], folded on the period";
    if (w.zoomed)
        fig.x_note = "zoomed to the transit: " + Number(kZoomWidth, 3) + " \u00d7 its duration " +
                     Number(w.duration, 4) + " of the period " + Number(P, 7) + "; " +
                     std::to_string(outside) + " observations outside not shown";
    return fig;
}

bool WriteFigure(std::FILE* out, const Input& in, const Evaluation& ev, const char* param_file,
                 const char* data_file) {
    const std::string svg = RenderLightCurveSvg(BuildFigure(in, ev, param_file, data_file));
    return std::fwrite(svg.data(), 1, svg.size(), out) == svg.size() && !std::ferror(out);
}

const char kUsage[] = "usage: transitlm-model PARAMETER_FILE DATA_FILE OUTPUT\n";

const char kHelp[] =
    "       transitlm-model --help | --version\n"
    "\n"
    "Evaluates the transit model of a parameter set (a parameter file or a result file of\n"
    "transitlm) at every observation, with the limb-darkening coefficients solved linearly as\n"
    "in the fit, and writes a table of residuals or an SVG figure of the folded light curve.\n"
    "\n"
    "  PARAMETER_FILE  read as transitlm reads it; the f marks, iterations and lm play no part\n"
    "  DATA_FILE       three numbers per observation: time, relative flux, uncertainty\n"
    "  OUTPUT          NAME.tsv or NAME.txt: time, flux, uncertainty, model, residual, time from\n"
    "                  mid-transit, tab-separated; NAME.svg: the figure; written whole or not at "
    "all\n"
    "\n"
    "Exit status: 0 written, 1 a singular limb-darkening fit, 2 a usage or input/output error,\n"
    "3 a model value that is not a finite number (nothing written).\n"
    "Manual: man transitlm-model; README.md of the sources (installed in share/doc/transitlm).\n";

int Run(int argc, char** argv) {
    int status = kExitOk;
    if (handled_command_line(argc, argv, "transitlm-model", kUsage, kHelp, &status)) return status;
    if (argc == 3) {
        std::printf("Output file is not specified.\n");
        return leave(kExitUsage);
    }
    const char* output = argv[3];
    const OutputKind kind = KindOfOutput(output);
    if (kind == OutputKind::kNone) {
        std::printf("The output file name must end in .tsv, .txt or .svg: %s\n", output);
        return leave(kExitUsage);
    }

    // The output replaces its file: never one of the inputs, under any of its names.
    std::string data_file;
    if (same_file(output, argv[1])) {
        std::printf("The output file is the same file as the parameter file: %s and %s\n", output,
                    argv[1]);
        return leave(kExitUsage);
    }
    if (names_data_file(output, argv[2], &data_file)) {
        std::printf("The output file is the same file as the data file: %s and %s\n", output,
                    data_file.c_str());
        return leave(kExitUsage);
    }

    Input in;
    if (!read_parameters(argv[1], in.inp, in.par, &in.pflag, &in.lflag)) {
        warn_about_parameters(argv[1], in.inp, nullptr, 0);  // perhaps why
        return leave(kExitUsage);
    }
    RunOptions options;
    if (!read_options(argv[1], &options)) return leave(kExitUsage);
    if (!read_observations(argv[2], &in.data, &in.pnum, &options, &in.parts))
        return leave(kExitUsage);
    resolve_exposures(&in.parts, options);
    // The drawn curve integrates over the first file's exposure.
    in.exposure = in.parts.front().exposure;
    warn_about_parameters(argv[1], in.inp, in.data.get(), in.pnum);
    in.par[0] = phase_parameter(in.inp[kInTshift], in.period(), in.par);
    const Evaluation ev = Evaluate(in, options);
    const std::string not_finite = non_finite_names(ev.shown, ev.ld, in.lflag, ev.chi2);
    if (!not_finite.empty()) {
        std::printf("The model gives values that are not finite numbers: %s\n", not_finite.c_str());
        return leave(kExitNotFinite);
    }

    OutputFile out;
    bool written = out.open(output);
    if (written) {
        written = kind == OutputKind::kTable ? WriteTable(out.stream(), in, ev)
                                             : WriteFigure(out.stream(), in, ev, argv[1], argv[2]);
        written = written && out.commit();  // a failed write is discarded with `out`
    }
    if (!written) {
        std::printf("The output file can not be written: %s\n", output);
        return leave(kExitUsage);
    }
    return leave(kExitOk);
}

}  // namespace

int main(int argc, char** argv) { return run_tool(Run, argc, argv); }
