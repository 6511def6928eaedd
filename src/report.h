// What a paper quotes from a fit: the quantities derived from the fitted parameters with their
// 1σ through the full covariance, the contact times of the transit, whether the run converged,
// and the lines of these that follow the report.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "optimize.h"

// The contacts of the transit on the orbit of `params` (fit units), as times from mid-transit
// in the unit of `period`: first and last contact where the projected separation is
// rsun + rplanet, second and third where it is rsun - rplanet.  NaN where there is no such
// contact (t1 and t4 when the planet misses the star, t2 and t3 for a grazing transit).  Found
// by bisection on the separation of the orbit itself, so eccentric orbits need no formula.
struct TransitContacts {
    long double t1, t2, t3, t4;
};
TransitContacts transit_contacts(const long double* params, long double period);

// A derived quantity: its value and 1σ; both NaN when it does not exist for this orbit.
struct DerivedQuantity {
    const char* name;
    long double value, sigma;
};

// The fit's state as the derived quantities read it: parameters in fit units, the period, the
// basis coefficients c of the limb-darkening terms in `ldflag`.
struct FitPoint {
    long double params[6];
    long double period;
    long double linf[kMaxCoefficients];
    int ldflag;
};

// a/R*, Rp/R*, the impact parameter b (least projected separation over R*), the depth (the
// model's deficit of flux at mid-transit, with the fitted limb darkening), T14, T23 and the
// stellar density 3π(a/R*)³/(G·P²) in g/cm³, which takes the period in days and neglects the
// planet's mass, in this order.
constexpr int kDerivedCount = 7;
void derived_values(const FitPoint& at, long double* values);

// The same with 1σ from the covariance `cov` of the fit's unknowns at `at`, through gradients
// by central differences in every fitted unknown.  The impact parameter, which goes as
// √(cos² i) and has an infinite slope at b = 0, is propagated as b² and given half the width
// of the image of the 1σ interval of b², as the inclination is.
std::vector<DerivedQuantity> derived_quantities(const FitPoint& at, const FitCovariance& cov);

// Whether the run converged: its last step moved every fitted parameter by less than
// kConvergedMove of its 1σ, and changed the reduced chi-square, which also lies that close to
// the best one, by less than kConvergedChi2 relative.
constexpr long double kConvergedMove = 1e-6L;
constexpr long double kConvergedChi2 = 1e-12L;
struct Convergence {
    bool converged = false;
    std::int64_t steps = 0;         // steps run
    std::int64_t best_step = 0;     // the step that met the best set, 0 when none ran
    long double move = NAN;         // largest |Δp|/σ(p) of the last step
    long double chi2_change = NAN;  // |Δχ²|/χ² of the last step
};
// `before` and `last`: the parameters before and after the last step, with their reduced
// chi-squares; `chi2_best` the best's.
Convergence judge_convergence(std::int64_t steps, std::int64_t best_step, const long double* before,
                              long double chi2_before, const long double* last,
                              long double chi2_last, long double chi2_best,
                              const FitCovariance& cov);

// The lines that follow the report, on standard output and in the result file alike: the
// convergence line, the value and 1σ of every fitted quantity (`shown` the report's six values,
// `ld` the law coefficients, `zeropoint` the level), the derived quantities and the
// correlation matrix.  None of them holds a text that the parameter-file reader would take for
// a key the report lacks, so a result file still starts the next run where this one ended.
void print_quote(std::FILE* out, const Convergence& conv, const FitCovariance& cov,
                 const long double* shown, const long double* ld, long double zeropoint,
                 const std::vector<DerivedQuantity>& derived);

// Everything a run reports, for the JSON form of the result file.
struct FitSummary {
    std::string parameter_file, data_file;
    long double shown[6] = {};  // the report's six values (time of mid-transit, e, ω, i, radii)
    long double sigma[6] = {};  // their 1σ, 0 when not fitted
    int parflag = 0;
    long double period = 0;
    long double period_sigma = 0;  // 0 when the period is not fitted
    bool period_fitted = false;
    int ldflag = 1;
    int held = 0;  // law terms held at a value: bits 2 lin, 4 quad, 8 sqrt
    long double ld[kMaxCoefficients] = {}, ld_sigma[kMaxCoefficients] = {};
    bool zeropoint = false;  // a baseline: the zero-point (or the trends' mean level)
    long double zeropoint_value = 1, zeropoint_sigma = 0;
    long double chi2 = 0;
    std::int64_t points = 0;
    Convergence convergence;
    FitCovariance covariance;
    std::vector<DerivedQuantity> derived;
    // With the rednoise switch: the time-averaging factor β with the 1σ scaled by it, and the
    // 1σ of residual permutation over `shifts` shifts.
    bool rednoise = false;
    long double beta = 1;
    FitUncertainties beta_sigma{};
    int shifts = 0;
    FitUncertainties permutation_sigma{};
};

// The result as one JSON object: "parameters" (each name → value, sigma, fitted),
// "limb_darkening" (each term in use → value, sigma, fixed), "zeropoint" with a baseline,
// "derived" (each → value, sigma), "correlation" (names, matrix), "chi_square_reduced",
// "points", "iterations", "best_iteration", "converged", "parameter_file", "data_file"; with
// the rednoise switch also "beta" (value, sigma) and "permutation" (shifts, sigma), each sigma
// an object of "parameters" (the fitted ones), "limb_darkening" and "zeropoint" (with a
// baseline).
// Numbers carry 19 significant digits; a value that is not finite is null.
std::string fit_result_json(const FitSummary& fit);

// Whether a result file of this name is written as JSON: it ends in ".json" (any case).
bool is_json_name(const char* name);
