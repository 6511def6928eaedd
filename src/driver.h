// The Driver as functions: the Levenberg-Marquardt loop that every fit runs (driver.cpp: the
// tool, the red-noise refits, the tests and benchmarks), and the whole run of the tool (main.cpp)
// for programs that run it in-process.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "command_line.h"
#include "optimize.h"
#include "rednoise.h"
#include "report.h"

// ---- the fit loop --------------------------------------------------------------------------

// What a fit works on: the observations, each part of them integrated over its own exposure,
// the masks (kFitPeriod in `parflag` fits the period, the step's time unknown then the time of
// mid-transit at `epoch`), the damping, and the linear part of the model (not used: the basis
// coefficients alone). Nothing in it changes during the fit.
struct FitProblem {
    const long double* data = nullptr;  // time, flux, uncertainty per point
    std::int64_t points = 0;
    std::vector<DataPart> parts;  // empty: all points as one part without exposure
    int parflag = 0, ldflag = 1;
    long double epoch = 0.0L;
    long double lambda = 0.0L;
    LinearModel linear;
};

// One fit under way: the set, its design array and the linear part solved for that array. Two
// states of different problems share nothing, so fits may run side by side on threads.
class FitState {
   public:
    FitState(const FitProblem& problem, const long double* params, long double period);

    void Design();                  // lset from par and period
    void Solve();                   // the linear part for lset
    long double ChiSquare() const;  // reduced chi-square of lset with the solved linear part
    long double Step();             // one damped step from the solved state: |increments|
    void LawCoefficients(long double* ld) const;  // of the solved linear part
    void BasisCoefficients(long double* linf) const;
    long double Level() const { return zeropoint_level(lfit, linear); }
    // The 1σ and the covariance of the solved set, scaled by the reduced chi-square m when it
    // exceeds 1 (the linear model's when Extended()).
    FitUncertainties Uncertainties(long double m) const;
    FitCovariance Covariance(long double m) const;
    bool Extended() const { return extended_; }

    const FitProblem& problem;
    long double par[6];
    long double period;
    std::vector<long double> lset;
    LinearModel linear;                       // with the windows of the last Solve
    LinearFit lfit;                           // the linear model's coefficients, when Extended()
    long double linf[kMaxCoefficients] = {};  // the basis coefficients otherwise

   private:
    bool extended_;
};

// How the iterations went: the steps run, the one that met the best set (0: the start) and its
// reduced chi-square, and the last step's sets before and after it (the six parameters and the
// period, the time unknown of the step in slot 0) with their reduced chi-squares.
struct FitRecord {
    std::int64_t steps = 0, best_step = 0;
    long double best_chi2 = NAN;
    long double before[7] = {}, last[7] = {};
    long double chi2_before = NAN, chi2_last = NAN;
};

// Called by the loop: `on_best` when a step meets a better set (its number, the state, the
// step's sum of |increments| and its reduced chi-square), `stop` after every step (true ends
// the iterations there).
struct FitHooks {
    std::function<void(std::int64_t, const FitState&, long double, long double)> on_best;
    std::function<bool()> stop;
};

// Iterations 1, 2, ... while i ≤ `iterations`: a damped step from the solved state, the design
// array of the new set, its linear part and reduced chi-square; the best set met is kept
// (improves_best), and with `start_competes` the start is step 0 and a step must improve on
// it. The state must hold the design array of the start; it is left at the best set, designed
// and solved (the start, solved, when no step runs).
FitRecord fit_loop(FitState* state, long double iterations, bool start_competes,
                   const FitHooks& hooks = {});

// ---- the tool's run -------------------------------------------------------------------------

// A run's input as read from the parameter file and the data.
struct RunInput {
    long double inp[kInputSlots] = {};    // the parameter file's values, as read
    long double par[6] = {};              // φ0, e, ω [rad], cos² i, rsun, rplanet
    int pflag = 0;                        // fitted parameters, bit i for par[i]
    int lflag = 1;                        // limb-darkening terms: 1 uniform, 2 lin, 4 quad, 8 sqrt
    std::int64_t pnum = 0;                // observations
    std::unique_ptr<long double[]> data;  // time, flux, uncertainty per observation
    RunOptions options;                   // the keys beyond the twelve
    std::vector<DataPart> parts;          // the data files' stretches of points and exposures
};

// Reads the parameter file and the data as the tool does, its refusals, notes and warnings
// printed on standard output and error; returns kExitOk when both were read.
int read_run_input(const char* param_file, const char* data_file, RunInput* in);

// Where a fit prints (progress lines and the messages of the end on `out`, notes on `err`) and
// what stops it: the signal number that `stop` returns after a step (0: go on).
struct RunStreams {
    std::FILE* out;
    std::FILE* err;
    std::function<int()> stop;
};

// The fit of a read input, up to its result: status kExitOk, kExitNotFinite (`message` says
// which values, and nothing else is set) or kExitSignal + the signal (the best set so far is the
// result); an exactly singular system calls the stop handler (set_singular_stop_handler).
struct RunResult {
    int status = kExitOk;
    std::string message;  // the line of kExitNotFinite, without its line feed
    FitSummary summary;   // the JSON result's content, the file names left empty
    FitUncertainties unc{};
    RedNoise red;
    int trend = -1;             // the trend's degree, -1 without one
    std::string not_converged;  // the note of a fit that did not converge, or empty
    std::string interrupted;    // the note of a stopped fit ("... reported"), or empty
};
RunResult fit_run_input(const RunInput& in, const RunStreams& streams);

// Runs `transitlm` on the command line argv[0..argc-1] and returns its exit status. The run
// keeps its state in variables of its own, so it may be called again. An exactly singular
// system of the fit ends the process (see set_singular_stop_handler in optimize.h).
int transitlm_main(int argc, char** argv);
