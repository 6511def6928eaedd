// Input files (parameter file, data table) and the fit: design set, linear limb-darkening
// fit, residual and Levenberg-Marquardt step.  The routines keep no state between calls;
// every array is the caller's.
#pragma once

#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <string>
#include <vector>

static_assert(std::numeric_limits<long double>::digits == 64,
              "transitlm needs the x87 80-bit long double (64-bit mantissa)");

// ---- parameter file ----------------------------------------------------------------------

// Slots of the value table filled by load_input.
enum InputSlot {
    kInTshift = 0,
    kInEccentr = 1,
    kInPeriastr = 2,
    kInInclination = 3,
    kInRsun = 4,
    kInRplanet = 5,
    kInPeriod = 6,
    kInIterations = 7,
    kInLm = 8,
    kInputSlots = 9
};

// The names of the seven values of the orbit and sizes, by slot, and of the three law terms,
// by term (lflag bits 2, 4, 8), as the parameter file, the report and the JSON result write
// them. The mask bit of slot k is 1 << k (the period's is kFitPeriod).
inline constexpr const char* kParameterNames[7] = {"tshift", "eccentr", "periastr", "inclination",
                                                   "rsun",   "rplanet", "period"};
inline constexpr const char* kTermNames[3] = {"lin", "quad", "sqrt"};

// The six geometric parameters are slots 0 … 5 (kInTshift … kInRplanet), and the fit mask
// (pflag) marks slot k with bit FitBit(k). The law terms are 0 lin, 1 quad, 2 sqrt; the term
// mask (lflag) has bit 1 for the uniform term, always on, and TermBit(t) for term t.
constexpr int kGeometricCount = 6;
constexpr int kLawTermCount = 3;
constexpr int FitBit(int slot) { return 1 << slot; }
constexpr int TermBit(int term) { return 2 << term; }
constexpr int kUniformBit = 1;
constexpr int kLinBit = TermBit(0), kQuadBit = TermBit(1), kSqrtBit = TermBit(2);
constexpr int kLawBits = kLinBit | kQuadBit | kSqrtBit;

// Reads the parameter file `fnm` into tbl[0..8] and the two masks.  Returns 0 when read,
// 1 when the file cannot be opened or read, 2 when the text holds no "rsun " key.
int load_input(const char* fnm, long double* tbl, int* pflag, int* lflag);

// ---- keys beyond the twelve ------------------------------------------------------------

// Each capability beyond the fit of the twelve keys is switched on by a key of its own in the
// same parameter file. Absent keys keep the defaults below, which give the run of the twelve
// keys, report for report, to the bit. No key name holds "lin", "quad", "sqrt" or "lm", which
// the reader of the twelve finds anywhere in the text.
struct RunOptions {
    // "flux_column NAME": the flux column of a FITS light curve (its uncertainties in
    // NAME_ERR) instead of the archive's PDCSAP_FLUX, KSPSAP_FLUX or FLUX.
    std::string flux_column;
    // "zeropoint": the model is multiplied by a flux zero-point F0, solved with the
    // limb-darkening coefficients.
    bool zeropoint = false;
    // "trend N": each transit window has its own polynomial of degree N in the time from its
    // mid-transit multiplying the model; -1 without the key.
    int trend = -1;
    // Law coefficients held at a value ("quad 0.25 fixed"): bits 2 lin, 4 quad, 8 sqrt as in
    // lflag, and the values by term.
    int held = 0;
    long double held_value[3] = {};
    // Length of each exposure, in the time unit of the table: every observation is the mean of
    // the model over a window of this length centred on its time. 0: the model at the time.
    long double exposure = 0.0L;
    // "rednoise": after the covariance's uncertainties, those scaled by the time-averaging
    // factor β and those of residual permutation (rednoise.h).
    bool rednoise = false;
    // An "f" on the rest of the "period " line (the rule of the six marks) fits the period.
    bool fit_period = false;
    bool exposure_key = false;  // the file has the "exposure " key (it overrides a FITS TIMEDEL)
};

// Reads the optional keys of the parameter file `fnm` into *options. On a refusal prints its
// message and returns false.
bool read_options(const char* fnm, RunOptions* options);

// ---- likely mistakes in a parameter file -------------------------------------------------

// Likely mistakes in the parameter file `text` (read from the file `fnm`), one line each,
// "warning: FNM:LINE: what": a key followed by "=", ":" or a tab; a value or a term taken from a
// comment line (only lines that begin with '#' are comments); a fit mark from a word such as
// "fixed"; the "lin" of a second "inclination"; e or ω fitted from e = 0; a tshift more than a
// hundred periods from every observation. `inp` holds what load_input read from the text and
// data the pnum observations (none: no check of the time). Nothing here changes the run.
std::vector<std::string> parameter_warnings(const char* fnm, std::string text,
                                            const long double* inp, const long double* data,
                                            std::int64_t pnum);

// Reads `fnm` once more and prints its parameter_warnings on standard error.
void warn_about_parameters(const char* fnm, const long double* inp, const long double* data,
                           std::int64_t pnum);

// ---- data table --------------------------------------------------------------------------

// Why a data table was refused, and where.
struct TableError {
    enum Kind {
        kNone,              // read
        kOpen,              // the file cannot be opened or read
        kNotNumber,         // a value is not a number (a word, a date, a lone sign)
        kUncertainty,       // an uncertainty is not positive
        kNotFinite,         // a value is infinite, or overflows
        kUncertaintyRange,  // an uncertainty whose square is not a normal number
        kValueCount,        // a line holds another number of values than the table has columns
        kHeader,            // the header names no column for the time, the flux or the uncertainty
    };
    Kind kind = kNone;
    std::int64_t line = 0;     // 1-based line of the offending value, count or header
    std::string word;          // the value as written (cut after 80 characters)
    std::int64_t values = 0;   // kValueCount: the values on the line
    std::int64_t columns = 0;  // kValueCount: the columns its header names; 0 without a header
    std::string lacking;       // kHeader: the columns it lacks, each with the names that would do
    std::string names;         // kHeader: the names it holds
};

// What a reader of observations left out or changed on the way; the notes about it go to
// standard error (print_table_notes), one line each.
struct TableNotes {
    const char* unit = "line";       // what the first_* numbers count
    std::int64_t missing = 0;        // rows left out for a missing value (a NaN, an empty field)
    std::int64_t first_missing = 0;  // the first of them
    std::int64_t flagged = 0;        // rows left out for a quality flag that is not 0
    std::string flag_rule = "a quality flag that is not 0";  // why a flagged row is left out
    std::int64_t first_flagged = 0;                          // the first of them
    std::string magnitude_column;      // the column of magnitudes turned into relative flux
    long double median_magnitude = 0;  // the magnitude of relative flux 1
};
void print_table_notes(const TableNotes& notes);

// Whether c can belong to a number: the digits and "Ee+-.".
bool isnumchar(char c);

// Reads the observations of the data table `fnm`, time, flux and uncertainty in file order,
// into a new array (new[]; the caller owns it and releases it with delete[]) handed over
// through *tbl.  One observation a line; a first line of names (a header) chooses the columns.
// Returns the number of values, three per observation, or -1 with *tbl = nullptr and the
// reason in *err when the table is refused; *notes (when given) says what was left out.
std::int64_t load_table(const char* fnm, long double** tbl, TableError* err = nullptr);
std::int64_t load_table(const char* fnm, long double** tbl, TableError* err, TableNotes* notes);

// ---- fit state ---------------------------------------------------------------------------

// Counts derived from the masks: basis terms, fitted parameters and design entries per point.
// Only the six bits 1, 2, 4, 8, 16, 32 of each mask count.
// The masks count six bits each, so up to five non-uniform coefficients (the reader sets
// three at most); with the period, a step has up to twelve unknowns.
constexpr int kMaxCoefficients = 5;

struct FitCounts {
    int ldnum;
    int parnum;
    int len;
};
int count_bits(int mask);
FitCounts count_fit(int parflag, int ldflag);

// Design array of `params` for every point: basis values and their parameter derivatives.
// The points are shared among set_design_threads threads (0, the default: one per hardware
// thread); the array is the same, bit for bit, whatever the count.
void set_design_threads(int threads);
// Whether the design set may give points it is sure are out of transit the block of an
// unocculted star without evaluating them (on by default). Off, every point takes the full
// evaluation: the plain design set that the screened one must equal to the bit.
void set_design_screen(bool on);
// Per point: one orbit (Kepler, separation) and one per-point set of each term in use, chained
// into the parameter derivatives analytically; the derivative rows agree with central
// differences of the values to 1e-8 (relative, five-point differences). A point the
// double-precision screen is sure is out of transit costs 0.08 µs, one in transit 3.7 µs (lin +
// quad) to 29 µs (all four terms).
void der_set_norm_ci(long double* lset, const long double* data, std::int64_t pointnum,
                     long double period, const long double* params, int parflag, int ldflag);

// The same array for observations that each integrate over an exposure of length `exposure`
// centred on their time: every entry of a block, value and derivatives, is the mean over the
// window, split at the contacts inside it, each piece mapped so that the (t - t_c)^(3/2)
// behaviour at a contact is smooth and taken by Gauss-Legendre: within 1e-12 of the exact
// window mean, at a few model evaluations per exposure that touches the transit (see README).
// An exposure of 0 gives der_set_norm_ci's array, bit for bit. When `cost` is given it
// receives the model evaluations spent on the exposures that touch a transit.
struct ExposureCost {
    std::int64_t exposures = 0;    // exposures that touch a transit
    std::int64_t evaluations = 0;  // model evaluations spent on them
    int most = 0;                  // the most spent on one
};
void der_set_norm_ci_exposure(long double* lset, const long double* data, std::int64_t pointnum,
                              long double period, const long double* params, int parflag,
                              int ldflag, long double exposure, ExposureCost* cost = nullptr);

// An exactly singular linear system ends the run: fitted_lin and lm_step print their message
// ("null det linfit \n", "null det lm"), flush standard output and call the stop handler with
// exit status 1. The handler is std::exit unless a program that runs fits in-process installs
// its own, which must not return (it may throw). Returns the handler it replaces.
using SingularStopHandler = void (*)(int status);
SingularStopHandler set_singular_stop_handler(SingularStopHandler handler);
// The message goes to `stream` instead of standard output for the calling thread's fits, so
// that fits side by side each keep theirs (null: standard output again). Returns the previous.
std::FILE* set_singular_message_stream(std::FILE* stream);

// Weighted linear least-squares coefficients of the non-uniform basis terms: the normal
// equations summed once per symmetric entry, in point order on one thread whatever the thread
// count (so every result is reproducible to the bit), solved by LinearSolve_L.
void fitted_lin(long double* linfit, const long double* data, const long double* lset,
                std::int64_t pointnum, int parflag, int ldflag);

// From basis coefficients to the coefficients of the limb-darkening law.
void linfit2ld(long double* ld, const long double* linfit, int ldflag);

// The model flux of one point from its design row B (the uniform term with coefficient 1, the
// other ldnum - 1 terms with the coefficients linf), summed from the last term to the first
// onto the uniform one: the one order in which the residual, the report, the model table and
// the correlated-noise analysis all form it, so that their numbers agree to the bit.
inline long double model_flux(const long double* B, int ldnum, const long double* linf) {
    long double s = B[0];
    for (int k = 1; k < ldnum; ++k) s = B[k] * linf[k - 1] + s;
    return s;
}

// Mean weighted squared residual with the coefficients at their linear optimum.
long double residual(const long double* lset, const long double* data, std::int64_t pointnum,
                     int parflag, int ldflag);

// Normal matrix (n×n, n = parnum + ldnum - 1) and weighted gradient of the joint problem in the
// fitted parameters and the linear coefficients `linf`, undamped.
void normal_equations(const long double* lset, const long double* data, std::int64_t pointnum,
                      int parflag, int ldflag, const long double* linf, long double* LMatr,
                      long double* LCol);

// One damped Gauss-Newton step on `par` in place; returns the sum of |increments|. The joint
// normal equations in the fitted parameters and the linear coefficients, damped by lambda times
// the length of the gradient on every diagonal entry, then the range rules of e, cos² i and the
// radii.
long double lm_step(const long double* lset, const long double* data, std::int64_t pointnum,
                    long double* par, int parflag, int ldflag, long double lambda);

// The same two with the basis coefficients `linf` that fitted_lin gives for this `lset`, for
// a caller that has them already: a fit takes each step from the design array whose residual
// it has just formed, so one linear fit per iteration does for both.
long double residual_with(const long double* lset, const long double* data, std::int64_t pointnum,
                          int parflag, int ldflag, const long double* linf);
long double lm_step_with(const long double* lset, const long double* data, std::int64_t pointnum,
                         long double* par, int parflag, int ldflag, long double lambda,
                         const long double* linf);

// Whether the reduced chi-square m of iteration i (from 1) replaces the best so far, min: the
// first iteration always does, a tie keeps the earlier set, and a NaN best gives way to the
// first number.
bool improves_best(std::int64_t i, long double m, long double min);

// ---- time of mid-transit and uncertainties -----------------------------------------------

// The phase parameter φ0 that puts the mid-transit (smallest projected separation in front of
// the star) of the orbit in `params` at time `tshift`, and its inverse.
long double phase_parameter(long double tshift, long double period, const long double* params);
long double mid_transit_time(const long double* params, long double period);

// ∂M_min/∂params[slot] (1 e, 2 ω [rad], 3 cos² i) of the phase of mid-transit M_min, by a
// central difference (one-sided at the edges of e ≥ 0 and 0 ≤ cos² i ≤ 1): with the time of
// mid-transit held, the phase parameter moves by minus this slope.
long double mid_transit_slope(const long double* params, int slot);

// 1σ uncertainties of the reported values (time of mid-transit, e, ω and i in degrees, radii;
// law coefficients), 0 for parameters not fitted, from the covariance of the joint problem in
// the fitted parameters and linear coefficients, scaled by chi2 when it exceeds 1.  `lset`
// must hold the design array of `params`.
struct FitUncertainties {
    long double par[6];
    long double ld[kMaxCoefficients];
    long double zeropoint;  // of the zero-point (or the mean level of the trends)
    // With the period fitted (see fit_uncertainties_period): its σ, and at the reference epoch n
    // the time of mid-transit T_n = tshift + n·period, its σ and its correlation with the period.
    long double period;
    long double epoch, tref, tref_sigma, correlation;
};
FitUncertainties fit_uncertainties(const long double* lset, const long double* data,
                                   std::int64_t pointnum, long double period,
                                   const long double* params, int parflag, int ldflag,
                                   long double chi2);

// ---- the linear part of the model beyond the limb darkening --------------------------------
//
// With a baseline, the model flux of point i is F_i = P_w(t_i - T_w)·G_i: G_i is the model of
// the limb-darkened star (the uniform term with coefficient 1, the free terms with theirs, the
// held terms tied to them by their law coefficient), and P_w a polynomial whose coefficients
// belong to the point's window w, with mid-transit T_w. The zero-point alone is one window
// over all points with a polynomial of degree 0; trends give every transit its own window.
// Every coefficient is solved exactly for the geometry at hand; none is iterated by the step.
struct LinearModel {
    int held = 0;                    // held law terms: bits 2 lin, 4 quad, 8 sqrt
    long double held_value[3] = {};  // their law coefficients, by term
    int degree = -1;                 // of the baseline polynomial; -1 none (level exactly 1)
    bool per_transit = false;        // one polynomial per transit window, or one for all
    // Set by set_windows for a geometry: the windows that hold points, in time order.
    int windows = 0;
    std::vector<int> window;          // per point: its window
    std::vector<long double> tau;     // per point: time from its window's mid-transit
    std::vector<long double> centre;  // per window: its mid-transit time
    std::vector<int> order;           // per window: the degree its points determine, ≤ degree
};

// The linear model the options ask for; used() is false for the run of the twelve keys.
LinearModel linear_model(const RunOptions& options);
bool linear_model_used(const LinearModel& model);

// Windows of the points for the geometry `params`: with trends each point belongs to the
// mid-transit T0 + kP nearest to it; otherwise all points form one window about T0. A window
// whose points have fewer distinct times than the polynomial has coefficients gets the
// highest degree they determine.
void set_windows(LinearModel* model, const long double* data, std::int64_t pointnum,
                 long double period, const long double* params);

// The solved coefficients: the free basis coefficients in basis order, and the baseline's,
// window after window, the constant term first.
struct LinearFit {
    std::vector<long double> c;
    std::vector<long double> a;
};

// Least squares over every linear coefficient for the design array `lset` (a bilinear problem
// with a baseline, solved by Gauss-Newton iterations to convergence from the exact fit of the
// baseline alone). A singular system ends the run with "null det linfit \n".
void fitted_linear(LinearFit* fit, const LinearModel& model, const long double* data,
                   const long double* lset, std::int64_t pointnum, int parflag, int ldflag);

// The basis coefficients of every term in use (held ones included), as fitted_lin gives
// them, and the law coefficients (held ones at their values).
void linear_basis_coefficients(long double* linf, const LinearFit& fit, const LinearModel& model,
                               int ldflag);
void linear2ld(long double* ld, const LinearFit& fit, const LinearModel& model, int ldflag);

// The zero-point, or the mean over the windows of the trends' constant terms; 1 without a
// baseline.
long double zeropoint_level(const LinearFit& fit, const LinearModel& model);

// The baseline of point i (1 without one).
long double baseline_at(const LinearFit& fit, const LinearModel& model, std::int64_t i);

// Mean weighted squared residual and one damped step, as residual_with and lm_step_with, for
// the coefficients `fit` that fitted_linear gives for this `lset`; the step's unknowns are the
// fitted parameters and every linear coefficient.
long double residual_linear(const long double* lset, const long double* data, std::int64_t pointnum,
                            int parflag, int ldflag, const LinearModel& model,
                            const LinearFit& fit);
long double lm_step_linear(const long double* lset, const long double* data, std::int64_t pointnum,
                           long double* par, int parflag, int ldflag, long double lambda,
                           const LinearModel& model, const LinearFit& fit);

// fit_uncertainties with the linear model: the covariance is that of the fitted parameters,
// the free coefficients and the baseline together; held coefficients have 0.
FitUncertainties fit_uncertainties_linear(const long double* lset, const long double* data,
                                          std::int64_t pointnum, long double period,
                                          const long double* params, int parflag, int ldflag,
                                          const LinearModel& model, long double chi2);

// Covariance of every fitted quantity, in the order of the report: the fitted parameters
// (time of mid-transit, e, ω and i in degrees, rsun, rplanet), then the law coefficients in
// use.  The covariance of the fit's own unknowns (φ0, e, ω [rad], cos² i, rsun, rplanet, then
// the free basis coefficients c, then the zero-point) is the inverse of the undamped normal matrix,
// scaled as in fit_uncertainties; `reported` = J·`unknowns`·Jᵀ with J = `jacobian`, whose row of
// the inclination is the slope of i across the 1σ interval of cos² i (half the width of the image
// of that interval over σ(cos² i)), so that the diagonal holds the squares of fit_uncertainties'
// values.  A singular normal matrix leaves every entry infinite and `bounded` false.  `lset` must
// hold the design array of `params`.
struct FittedQuantity {
    enum Kind { kParameter, kCoefficient, kZeropoint };
    Kind kind;
    int index;  // the parameter's slot in params (6: the period), the coefficient's place in ld,
                // or 0
    std::string name;  // the report's name, without its trailing blank
};
struct FitCovariance {
    std::vector<FittedQuantity> quantities;
    std::vector<long double> unknowns;  // n×n, row-major
    std::vector<long double> jacobian;  // n×n, row r: ∂(reported value r)/∂(unknown)
    std::vector<long double> reported;  // n×n
    bool bounded = true;
    int size() const { return static_cast<int>(quantities.size()); }
};
FitCovariance fit_covariance(const long double* lset, const long double* data,
                             std::int64_t pointnum, long double period, const long double* params,
                             int parflag, int ldflag, long double chi2);

// The same with the linear model: the free law coefficients only (held ones are not fitted),
// and after them the zero-point (or the trends' mean level) when there is a baseline.
FitCovariance fit_covariance_linear(const long double* lset, const long double* data,
                                    std::int64_t pointnum, long double period,
                                    const long double* params, int parflag, int ldflag,
                                    const LinearModel& model, long double chi2);

// fit_covariance and fit_covariance_linear with the period (kFitPeriod): the period is a
// fitted quantity after the six parameters, and tshift (at the epoch of the parameter file)
// moves with T_n and P as T_n - n·P, n = `epoch`.
FitCovariance fit_covariance_period(const long double* lset, const long double* data,
                                    std::int64_t pointnum, long double period,
                                    const long double* params, int parflag, int ldflag,
                                    long double chi2, long double epoch);
FitCovariance fit_covariance_linear_period(const long double* lset, const long double* data,
                                           std::int64_t pointnum, long double period,
                                           const long double* params, int parflag, int ldflag,
                                           const LinearModel& model, long double chi2,
                                           long double epoch);

// The correlation matrix of an n×n covariance: C_ij/√(C_ii·C_jj); NaN where a variance is
// zero or not finite.
std::vector<long double> correlation_matrix(const std::vector<long double>& cov, int n);

// ---- the period as a seventh parameter ---------------------------------------------------
//
// The routines below take masks with a seventh bit, kFitPeriod, for the period; the routines
// above never look at it. With it set, the design array has a period row after the six, and
// the time rows are those of the time of mid-transit T_n = T + n·P at epoch n = `epoch` (T the
// time of mid-transit that the report shows, the epoch of the parameter file's tshift) and of P
// at fixed T_n: the tshift row is ∂B/∂T_n, the period row -(2π(t - T_n)/P²)·∂B/∂M. Near the
// weighted centre of the data the two are nearly uncorrelated, where the phase parameter and P
// of data taken far from t = 0 are correlated to within 1e-12 of 1. Without the bit each
// routine is its six-parameter namesake, bit for bit.
constexpr int kFitPeriod = 64;
FitCounts count_fit_period(int parflag, int ldflag);
// With `exposure` the observations integrate over their exposures, as in
// der_set_norm_ci_exposure (the period row too).
void der_set_period(long double* lset, const long double* data, std::int64_t pointnum,
                    long double period, const long double* params, int parflag, int ldflag,
                    long double epoch, long double exposure = 0.0L, ExposureCost* cost = nullptr);
void fitted_lin_period(long double* linfit, const long double* data, const long double* lset,
                       std::int64_t pointnum, int parflag, int ldflag);
long double residual_period(const long double* lset, const long double* data, std::int64_t pointnum,
                            int parflag, int ldflag, const long double* linf);
void normal_equations_period(const long double* lset, const long double* data,
                             std::int64_t pointnum, int parflag, int ldflag,
                             const long double* linf, long double* LMatr, long double* LCol);
// The step on par and *period; with kFitPeriod the tshift increment is one of T_n, and the
// phase parameter follows T_n and P. A step that would leave the period at or below 0 is
// shortened to halve it.
long double lm_step_period(const long double* lset, const long double* data, std::int64_t pointnum,
                           long double* par, long double* period, long double epoch, int parflag,
                           int ldflag, long double lambda, const long double* linf);
// fit_uncertainties with the period: σ(tshift) at the epoch of the parameter file, σ(P), and
// T_n, σ(T_n) and the correlation of T_n and P at n = `epoch` (0 when tshift is not fitted:
// then σ(T_n) = 0 and the correlation is given as 0).
FitUncertainties fit_uncertainties_period(const long double* lset, const long double* data,
                                          std::int64_t pointnum, long double period,
                                          const long double* params, int parflag, int ldflag,
                                          long double chi2, long double epoch);

// The reference epoch: the whole number of periods from the time of mid-transit of `params`
// (epoch 0) to the weighted centre of the data's timing information, Σ w·t / Σ w with
// w = (∂B_0/∂M)²/σ² of the uniform term (1/σ² over all points when no point is in transit).
long double reference_epoch(const long double* data, std::int64_t pointnum, long double period,
                            const long double* params);

// The linear model's step and uncertainties with the period (fitted_linear and residual_linear
// take kFitPeriod in their masks as they stand).
long double lm_step_linear_period(const long double* lset, const long double* data,
                                  std::int64_t pointnum, long double* par, long double* period,
                                  long double epoch, int parflag, int ldflag, long double lambda,
                                  const LinearModel& model, const LinearFit& fit);
FitUncertainties fit_uncertainties_linear_period(const long double* lset, const long double* data,
                                                 std::int64_t pointnum, long double period,
                                                 const long double* params, int parflag, int ldflag,
                                                 const LinearModel& model, long double chi2,
                                                 long double epoch);

// ---- the run's input and the report's units, as the command-line tools use them --------

// Reads the parameter file into inp[0..8] and the masks and converts slots 1..5 into par
// (ω in radians, cos² i); par[0] is left 0.  On a refusal prints its message (standard output)
// and returns false.
bool read_parameters(const char* fnm, long double* inp, long double* par, int* pflag, int* lflag);

// Reads the data table; pnum observations of time, flux and uncertainty.  A FITS light curve
// (recognised by its first card) is read as fits_table.h describes, with the flux column of
// `options` when given.  What was left out or converted is said on standard error; on a
// refusal prints its message and returns false.
// A data argument that names no file but holds commas is a list of files, read in turn and
// joined; `parts` receives each file's stretch of the points and the exposure its FITS header
// gives (TIMEDEL, in days; 0 for a table or a header without one).
struct DataPart {
    std::int64_t first = 0, count = 0;
    long double exposure = 0.0L;
    std::string file;
    std::string exposure_from;  // the keyword or rule that gave the exposure
};
bool read_observations(const char* fnm, std::unique_ptr<long double[]>* data, std::int64_t* pnum,
                       const RunOptions* options = nullptr, std::vector<DataPart>* parts = nullptr);

// Whether the two paths name one regular file (the same device and inode, so through a symbolic
// or a hard link too). Paths that do not exist, or name anything but a regular file, are not.
bool same_file(const char* a, const char* b);

// Whether `file` is the same file as one of the files of a data argument (see
// read_observations), and which one, in *data_file.
bool names_data_file(const char* file, const char* data_argument, std::string* data_file);

// Each part's exposure as the fit uses it: the parameter file's `exposure ` key, when there is
// one, for every part (0 turns integration off); else the exposure its FITS file gives.
// Says on standard error which exposure each FITS file's points integrate over.
void resolve_exposures(std::vector<DataPart>* parts, const RunOptions& options);

// The design array of every part's points, each integrated over the part's exposure.
void der_set_norm_ci_parts(long double* lset, const long double* data,
                           const std::vector<DataPart>& parts, long double period,
                           const long double* params, int parflag, int ldflag);

// Degrees of an angle in radians (times 180, then / π), and the inclination of cos² i.
long double degrees(long double rad);
long double inclination_degrees(long double ci);

// The six values as reported: time of mid-transit, e, ω and i in degrees, rsun, rplanet.
void report_values(const long double* params, long double period, long double* shown);

// The names, as the report shows them and separated by ", ", of the values of a report that are
// not finite numbers (the six values, the law coefficients of the terms in ldflag, the reduced
// chi-square); empty when every one is finite.
std::string non_finite_names(const long double* shown, const long double* ld, int ldflag,
                             long double chi2);
