// Uncertainties that hold when the noise is correlated in time: the time-averaging factor β
// (Pont, Zucker & Queloz 2006; Winn et al. 2008) and residual permutation ("prayer bead"),
// both from the best fit's residuals, beside the covariance.
#pragma once

#include <cstdint>
#include <vector>

#include "optimize.h"

// The best fit as both estimates start from it: the observations, the set and its design
// array `lset`, the masks, the damping of the steps, the linear model (`linear` null, or not
// used, for the basis coefficients alone) and the length of the exposures (0: none), or each
// data file's stretch of the points with its own exposure (`parts`, when given).
struct BestFit {
    const long double* data;
    std::int64_t pointnum;
    long double period;
    const long double* params;
    const long double* lset;
    int parflag, ldflag;
    long double lambda;
    const LinearModel* linear;
    long double exposure;
    const std::vector<DataPart>* parts = nullptr;
};

// The model flux of every point at the best fit, with its linear coefficients solved for
// `lset`: the baseline times the limb-darkened star.
std::vector<long double> best_fit_model(const BestFit& fit);

// The bin widths of the time-averaging factor: kBetaWidths widths spread evenly from the
// ingress duration (t2 - t1) to the transit duration (t4 - t1) of the orbit in `params`; for a
// grazing transit from half its duration. None when the planet misses the star.
constexpr int kBetaWidths = 10;
std::vector<long double> beta_widths(const long double* params, long double period);

// β, at least 1: the mean over `widths` of σ_N/(σ₁·√(M/(N(M−1)))), where σ₁ is the rms of the
// residuals flux − `model`, and σ_N that of the means of M consecutive bins of N points each,
// N the width over the median spacing of the times. Widths of fewer than 2 points, or that
// give fewer than 2 bins, are left out; with none left β is 1.
long double time_averaging_beta(const long double* data, std::int64_t pointnum,
                                const std::vector<long double>& model,
                                const std::vector<long double>& widths);

// The spread of every fitted quantity over refits of the best-fitting model plus the residuals
// shifted cyclically: shift j of `shifts` moves them by j·pointnum/shifts points (j from 0),
// so that the shifts cover the cycle evenly. Each refit starts from the best fit and its design
// array and takes kRefitSteps damped steps of the fit loop (driver.h), the start competing
// with them; the period stays at the best fit's. The spread is half the width of the central
// 68.27 % of the refitted values (0 for quantities not fitted).
constexpr int kPermutationShifts = 40;
constexpr int kRefitSteps = 2;
struct PermutationSpread {
    int shifts = 0;
    FitUncertainties sigma{};
};
PermutationSpread residual_permutation(const BestFit& fit, const std::vector<long double>& model,
                                       const std::vector<long double>& residuals, int shifts);

// Both estimates together: β applied to the covariance `unc` (a fitted period's σ too), and
// the permutation spread (the refits hold the period: its spread is 0).
struct RedNoise {
    long double beta = 1.0L;
    FitUncertainties scaled{};
    PermutationSpread permutation;
};
RedNoise rednoise_uncertainties(const BestFit& fit, const FitUncertainties& unc);
