#include "report.h"

#include <algorithm>
#include <cctype>
#include <cfloat>
#include <cmath>
#include <cstring>

#include "constants.h"
#include "lustre.h"
#include "optimize_sums.h"

namespace {

using detail::EvalEccentricity;

constexpr long double kGravitation = 6.67430e-11L;  // G [m³ kg⁻¹ s⁻²], CODATA 2018
constexpr long double kSecondsPerDay = 86400.0L;

// Projected separation in stellar radii at mean anomaly M; infinite behind the star.
long double Separation(const long double* params, long double M) {
    long double delta, g[4];
    const int front = DeltaEccentric_omega_ci_d(M, EvalEccentricity(params[1]), params[2],
                                                params[3], &delta, g, g + 1, g + 2, g + 3);
    return front ? delta / params[4] : INFINITY;
}

// The mean anomaly, from that of mid-transit `mmin` towards `side` (±1), at which the
// separation first reaches `x`: steps doubling from a thousandth of the stellar radius until
// it does, then bisection to the last bit.  NaN when the separation at mid-transit is not
// below x.  The first step is at least the least normal long double: a thousandth of a
// subnormal radius is 0, which doubling never leaves.
long double Contact(const long double* params, long double mmin, long double x, int side) {
    if (!(Separation(params, mmin) < x)) return NAN;
    long double inside = 0.0L, outside = std::fmax(std::fmin(params[4], 1.0L) * 1e-3L, LDBL_MIN);
    while (Separation(params, mmin + side * outside) < x) {
        inside = outside;
        outside = 2.0L * outside;
        if (outside > kPi) return NAN;  // in front of the star for half the orbit
    }
    for (long double mid; (mid = inside + (outside - inside) / 2.0L) != inside && mid != outside;)
        (Separation(params, mmin + side * mid) < x ? inside : outside) = mid;
    return side * (inside + (outside - inside) / 2.0L);
}

}  // namespace

TransitContacts transit_contacts(const long double* params, long double period) {
    const long double mmin = phmin_ci(EvalEccentricity(params[1]), params[2], params[3]);
    const long double outer = 1.0L + params[5] / params[4], inner = 1.0L - params[5] / params[4];
    const long double to_time = period / kTwoPi;
    return {Contact(params, mmin, outer, -1) * to_time, Contact(params, mmin, inner, -1) * to_time,
            Contact(params, mmin, inner, 1) * to_time, Contact(params, mmin, outer, 1) * to_time};
}

void derived_values(const FitPoint& at, long double* values) {
    const long double* p = at.params;
    const long double mmin = phmin_ci(EvalEccentricity(p[1]), p[2], p[3]);
    // The model's flux at mid-transit, summed as the residual sums it.
    const long double t0 = mid_transit_time(p, at.period);
    const long double point[3] = {t0, 1.0L, 1.0L};
    long double B[kMaxCoefficients + 1];
    der_set_norm_ci(B, point, 1, at.period, p, 0, at.ldflag);
    const long double flux = model_flux(B, count_fit(0, at.ldflag).ldnum, at.linf);
    const TransitContacts c = transit_contacts(p, at.period);
    const long double a_over_r = 1.0L / p[4];
    const long double seconds = at.period * kSecondsPerDay;
    values[0] = a_over_r;
    values[1] = p[5] / p[4];
    values[2] = Separation(p, mmin);
    values[3] = 1.0L - flux;
    values[4] = c.t4 - c.t1;
    values[5] = c.t3 - c.t2;
    // kg/m³ to g/cm³: / 1000.
    values[6] = (3.0L * kPi * a_over_r * a_over_r * a_over_r) / (kGravitation * seconds * seconds) /
                1000.0L;
}

std::vector<DerivedQuantity> derived_quantities(const FitPoint& at, const FitCovariance& cov) {
    static const char* const kDerivedNames[kDerivedCount] = {
        "a_over_rstar", "rp_over_rstar", "impact_parameter", "depth",
        "t14",          "t23",           "stellar_density"};
    constexpr int kB = 2;  // the impact parameter, propagated as b²
    long double value[kDerivedCount];
    derived_values(at, value);
    const int n = cov.size();
    // grad[a][q]: ∂(quantity q)/∂(unknown a) by a central difference, one-sided at the edges
    // of e ≥ 0 and cos² i ≥ 0; b² in place of b.
    std::vector<std::vector<long double>> grad(n, std::vector<long double>(kDerivedCount, 0.0L));
    for (int a = 0; a < n; ++a) {
        const FittedQuantity& u = cov.quantities[a];
        const bool param = u.kind == FittedQuantity::kParameter;
        // Nothing derived depends on the phase or on the zero-point.
        if ((param && u.index == 0) || u.kind == FittedQuantity::kZeropoint) continue;
        FitPoint lo = at, hi = at;
        const bool period = param && u.index == kInPeriod;
        long double* xlo = period ? &lo.period : param ? &lo.params[u.index] : &lo.linf[u.index];
        long double* xhi = period ? &hi.period : param ? &hi.params[u.index] : &hi.linf[u.index];
        const long double x = *xlo;
        const long double h = !param         ? 1e-6L
                              : u.index >= 4 ? 1e-7L * std::fabs(x)
                              : u.index == 3 ? 1e-7L * x + 1e-15L
                                             : 1e-6L;
        *xlo = x - h;
        *xhi = x + h;
        if (param && (u.index == 1 || u.index == 3) && *xlo < 0.0L) *xlo = x;
        if (param && u.index == 1 && *xhi > 1.0L) *xhi = x;
        const long double span = *xhi - *xlo;
        long double vlo[kDerivedCount], vhi[kDerivedCount];
        derived_values(lo, vlo);
        derived_values(hi, vhi);
        vlo[kB] = vlo[kB] * vlo[kB];
        vhi[kB] = vhi[kB] * vhi[kB];
        for (int q = 0; q < kDerivedCount; ++q) grad[a][q] = (vhi[q] - vlo[q]) / span;
    }
    std::vector<DerivedQuantity> out;
    for (int q = 0; q < kDerivedCount; ++q) {
        long double var = 0.0L;
        for (int a = 0; a < n; ++a)
            for (int b = 0; b < n; ++b) var += grad[a][q] * cov.unknowns[a * n + b] * grad[b][q];
        long double sigma = std::isnan(value[q]) ? NAN : std::sqrt(var);
        if (q == kB) {
            // b = √(b²) has an infinite slope at b = 0: half the width of the image of the 1σ
            // interval of b², as for the inclination.
            const long double b2 = value[q] * value[q];
            sigma = (std::sqrt(b2 + sigma) - std::sqrt(std::fmax(b2 - sigma, 0.0L))) / 2.0L;
        }
        out.push_back({kDerivedNames[q], value[q], sigma});
    }
    return out;
}

Convergence judge_convergence(std::int64_t steps, std::int64_t best_step, const long double* before,
                              long double chi2_before, const long double* last,
                              long double chi2_last, long double chi2_best,
                              const FitCovariance& cov) {
    Convergence c;
    c.steps = steps;
    c.best_step = best_step;
    if (steps < 1) return c;
    const int n = cov.size();
    c.move = 0.0L;
    for (int a = 0; a < n; ++a) {
        const FittedQuantity& u = cov.quantities[a];
        if (u.kind != FittedQuantity::kParameter) continue;
        // A variance the covariance cannot give (NaN, or negative by rounding) measures no
        // move: the step is then unbounded in σ, and the fit not converged.
        const long double d = std::fabs(last[u.index] - before[u.index]);
        const long double var = cov.unknowns[a * n + a];
        const long double ratio = d == 0.0L ? 0.0L : (var >= 0.0L ? d / std::sqrt(var) : INFINITY);
        c.move = std::isnan(ratio) ? ratio : std::fmax(c.move, ratio);
    }
    c.chi2_change = std::fabs(chi2_last - chi2_before) / chi2_last;
    const long double off_best = std::fabs(chi2_last - chi2_best) / chi2_best;
    c.converged =
        c.move < kConvergedMove && c.chi2_change < kConvergedChi2 && off_best < kConvergedChi2;
    return c;
}

namespace {

// The name of a fitted quantity in the lines after the report: "inclination" holds "lin",
// which the parameter-file reader would take for the linear term.
const char* QuoteName(const FittedQuantity& q) {
    return q.kind == FittedQuantity::kParameter && q.index == 3 ? "incl" : q.name.c_str();
}

}  // namespace

void print_quote(std::FILE* out, const Convergence& conv, const FitCovariance& cov,
                 const long double* shown, const long double* ld, long double zeropoint,
                 const std::vector<DerivedQuantity>& derived) {
    std::fprintf(out, "\nconvergence  %s after %lld steps, best at step %lld",
                 conv.converged ? "converged" : "NOT converged", static_cast<long long>(conv.steps),
                 static_cast<long long>(conv.best_step));
    if (conv.steps >= 1)
        std::fprintf(out,
                     " (the last step changed chi_square_reduced by %.19Lg relative and moved "
                     "the parameters by at most %.19Lg sigma)",
                     conv.chi2_change, conv.move);
    std::fprintf(out, "\n");

    const int n = cov.size();
    std::fprintf(out, "\nvalue and 1-sigma of each fitted quantity:\n");
    for (int a = 0; a < n; ++a) {
        const FittedQuantity& q = cov.quantities[a];
        const long double v = q.kind == FittedQuantity::kParameter     ? shown[q.index]
                              : q.kind == FittedQuantity::kCoefficient ? ld[q.index]
                                                                       : zeropoint;
        // A variance the covariance cannot give (NaN, or negative by rounding) is unbounded,
        // as in the uncertainty block.
        const long double var = cov.reported[a * n + a];
        std::fprintf(out, "%s  %.19Lg  %.19Lg\n", QuoteName(q), v,
                     var >= 0.0L ? std::sqrt(var) : INFINITY);
    }

    std::fprintf(out,
                 "\nderived quantities, value and 1-sigma (durations in the time unit of the "
                 "data; stellar density in g/cm3 for P in days):\n");
    for (const DerivedQuantity& d : derived)
        std::fprintf(out, "%s  %.19Lg  %.19Lg\n", d.name, d.value,
                     std::isnan(d.sigma) && !std::isnan(d.value) ? INFINITY : d.sigma);

    std::fprintf(out, "\ncorrelation of the fitted quantities:\n");
    const std::vector<long double> corr = correlation_matrix(cov.reported, n);
    for (int r = 0; r < n; ++r) {
        std::fprintf(out, "%s ", QuoteName(cov.quantities[r]));
        for (int c = 0; c < n; ++c) std::fprintf(out, " %.19Lg", corr[r * n + c]);
        std::fprintf(out, "\n");
    }
}

namespace {

std::string JsonNumber(long double v) {
    if (!std::isfinite(v)) return "null";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.19Lg", v);
    return buf;
}

std::string JsonString(const std::string& s) {
    std::string out = "\"";
    for (const char ch : s) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += ch;  // UTF-8 passes as it is
        }
    }
    return out + "\"";
}

std::string ValueSigma(long double value, long double sigma) {
    return "{\"value\": " + JsonNumber(value) + ", \"sigma\": " + JsonNumber(sigma);
}

// The 1σ of the fitted quantities, as the "beta" and "permutation" objects hold them.
// With `period`, a fitted period's σ follows the six (the permutation's refits hold it).
std::string SigmaObject(const FitSummary& fit, const FitUncertainties& u, bool period) {
    std::string j = "{\"parameters\": {";
    const char* sep = "";
    for (int i = 0; i < kGeometricCount; ++i) {
        if (!(fit.parflag & FitBit(i))) continue;
        j += std::string(sep) + "\"" + kParameterNames[i] + "\": " + JsonNumber(u.par[i]);
        sep = ", ";
    }
    if (period && fit.period_fitted) j += std::string(sep) + "\"period\": " + JsonNumber(u.period);
    j += "}, \"limb_darkening\": {";
    sep = "";
    for (int term = 0, k = 0; term < kLawTermCount; ++term) {
        if (!(fit.ldflag & TermBit(term))) continue;
        j += std::string(sep) + "\"" + kTermNames[term] + "\": " + JsonNumber(u.ld[k++]);
        sep = ", ";
    }
    j += "}";
    if (fit.zeropoint) j += ", \"zeropoint\": " + JsonNumber(u.zeropoint);
    return j + "}";
}

}  // namespace

std::string fit_result_json(const FitSummary& fit) {
    std::string j = "{\n  \"parameters\": {\n";
    for (int i = 0; i < kGeometricCount; ++i)
        j += std::string("    \"") + kParameterNames[i] +
             "\": " + ValueSigma(fit.shown[i], fit.sigma[i]) +
             ", \"fitted\": " + ((fit.parflag & FitBit(i)) ? "true" : "false") + "},\n";
    j += "    \"period\": " + ValueSigma(fit.period, fit.period_sigma) +
         ", \"fitted\": " + (fit.period_fitted ? "true" : "false") + "}\n  },\n";

    j += "  \"limb_darkening\": {";
    const char* sep = "\n";
    for (int term = 0, k = 0; term < kLawTermCount; ++term) {
        if (!(fit.ldflag & TermBit(term))) continue;
        j += std::string(sep) + "    \"" + kTermNames[term] +
             "\": " + ValueSigma(fit.ld[k], fit.ld_sigma[k]) +
             ", \"fixed\": " + ((fit.held & TermBit(term)) ? "true" : "false") + "}";
        ++k;
        sep = ",\n";
    }
    j += std::string(*sep == ',' ? "\n  " : "") + "},\n";
    if (fit.zeropoint)
        j += "  \"zeropoint\": " + ValueSigma(fit.zeropoint_value, fit.zeropoint_sigma) + "},\n";

    j += "  \"derived\": {\n";
    for (std::size_t q = 0; q < fit.derived.size(); ++q)
        j += std::string("    \"") + fit.derived[q].name +
             "\": " + ValueSigma(fit.derived[q].value, fit.derived[q].sigma) + "}" +
             (q + 1 < fit.derived.size() ? ",\n" : "\n");
    j += "  },\n";

    const FitCovariance& cov = fit.covariance;
    const int n = cov.size();
    const std::vector<long double> corr = correlation_matrix(cov.reported, n);
    j += "  \"correlation\": {\n    \"names\": [";
    for (int a = 0; a < n; ++a) j += (a ? ", " : "") + JsonString(cov.quantities[a].name);
    j += "],\n    \"matrix\": [";
    for (int r = 0; r < n; ++r) {
        j += r ? ",\n      [" : "\n      [";
        for (int c = 0; c < n; ++c) j += (c ? ", " : "") + JsonNumber(corr[r * n + c]);
        j += "]";
    }
    j += std::string(n ? "\n    " : "") + "]\n  },\n";

    if (fit.rednoise) {
        j += "  \"beta\": {\"value\": " + JsonNumber(fit.beta) +
             ", \"sigma\": " + SigmaObject(fit, fit.beta_sigma, true) + "},\n";
        j += "  \"permutation\": {\"shifts\": " + std::to_string(fit.shifts) +
             ", \"sigma\": " + SigmaObject(fit, fit.permutation_sigma, false) + "},\n";
    }

    j += "  \"chi_square_reduced\": " + JsonNumber(fit.chi2) + ",\n";
    j += "  \"points\": " + std::to_string(fit.points) + ",\n";
    j += "  \"iterations\": " + std::to_string(fit.convergence.steps) + ",\n";
    j += "  \"best_iteration\": " + std::to_string(fit.convergence.best_step) + ",\n";
    j += std::string("  \"converged\": ") + (fit.convergence.converged ? "true" : "false") + ",\n";
    j += "  \"parameter_file\": " + JsonString(fit.parameter_file) + ",\n";
    j += "  \"data_file\": " + JsonString(fit.data_file) + "\n}\n";
    return j;
}

bool is_json_name(const char* name) {
    const std::size_t n = std::strlen(name);
    if (n < 5) return false;
    std::string ext(name + n - 5);
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext == ".json";
}
