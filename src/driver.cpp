#include "driver.h"

#include <algorithm>
#include <cmath>

FitState::FitState(const FitProblem& p, const long double* params, long double start_period)
    : problem(p),
      period(start_period),
      lset(static_cast<std::size_t>(count_fit_period(p.parflag, p.ldflag).len) * p.points),
      linear(p.linear),
      extended_(linear_model_used(p.linear)) {
    std::copy(params, params + 6, par);
}

void FitState::Design() {
    const FitProblem& p = problem;
    const std::size_t len = count_fit_period(p.parflag, p.ldflag).len;
    if (p.parts.empty()) {
        der_set_period(lset.data(), p.data, p.points, period, par, p.parflag, p.ldflag, p.epoch);
        return;
    }
    for (const DataPart& part : p.parts)
        der_set_period(lset.data() + len * part.first, p.data + 3 * part.first, part.count, period,
                       par, p.parflag, p.ldflag, p.epoch, part.exposure);
}

void FitState::Solve() {
    const FitProblem& p = problem;
    if (!extended_)
        return fitted_lin_period(linf, p.data, lset.data(), p.points, p.parflag, p.ldflag);
    set_windows(&linear, p.data, p.points, period, par);
    fitted_linear(&lfit, linear, p.data, lset.data(), p.points, p.parflag, p.ldflag);
}

FitUncertainties FitState::Uncertainties(long double m) const {
    const FitProblem& p = problem;
    return extended_ ? fit_uncertainties_linear_period(lset.data(), p.data, p.points, period, par,
                                                       p.parflag, p.ldflag, linear, m, p.epoch)
                     : fit_uncertainties_period(lset.data(), p.data, p.points, period, par,
                                                p.parflag, p.ldflag, m, p.epoch);
}

FitCovariance FitState::Covariance(long double m) const {
    const FitProblem& p = problem;
    return extended_ ? fit_covariance_linear_period(lset.data(), p.data, p.points, period, par,
                                                    p.parflag, p.ldflag, linear, m, p.epoch)
                     : fit_covariance_period(lset.data(), p.data, p.points, period, par, p.parflag,
                                             p.ldflag, m, p.epoch);
}

long double FitState::ChiSquare() const {
    const FitProblem& p = problem;
    return extended_
               ? residual_linear(lset.data(), p.data, p.points, p.parflag, p.ldflag, linear, lfit)
               : residual_period(lset.data(), p.data, p.points, p.parflag, p.ldflag, linf);
}

long double FitState::Step() {
    const FitProblem& p = problem;
    return extended_ ? lm_step_linear_period(lset.data(), p.data, p.points, par, &period, p.epoch,
                                             p.parflag, p.ldflag, p.lambda, linear, lfit)
                     : lm_step_period(lset.data(), p.data, p.points, par, &period, p.epoch,
                                      p.parflag, p.ldflag, p.lambda, linf);
}

void FitState::LawCoefficients(long double* ld) const {
    if (extended_)
        linear2ld(ld, lfit, linear, problem.ldflag);
    else
        linfit2ld(ld, linf, problem.ldflag);
}

void FitState::BasisCoefficients(long double* c) const {
    if (extended_)
        linear_basis_coefficients(c, lfit, linear, problem.ldflag);
    else
        std::copy(linf, linf + kMaxCoefficients, c);
}

namespace {

// The set as the convergence test compares it: the six and the period, with the period fitted
// the step's time unknown T_n = T + n·P in place of the phase parameter.
void Snapshot(const FitState& s, long double* out) {
    std::copy(s.par, s.par + 6, out);
    out[6] = s.period;
    if (s.problem.parflag & kFitPeriod)
        out[0] = mid_transit_time(s.par, s.period) + s.problem.epoch * s.period;
}

}  // namespace

FitRecord fit_loop(FitState* s, long double iterations, bool start_competes,
                   const FitHooks& hooks) {
    FitRecord r;
    long double best_par[6];
    std::copy(s->par, s->par + 6, best_par);
    long double best_period = s->period;
    bool solved = false;  // whether the linear part is that of the current set
    for (std::int64_t i = 1; static_cast<long double>(i) <= iterations; ++i) {
        if (i == 1) {
            s->Solve();
            solved = true;
            r.chi2_last = s->ChiSquare();
            if (start_competes) r.best_chi2 = r.chi2_last;
        }
        Snapshot(*s, r.before);
        r.chi2_before = r.chi2_last;
        const long double move = s->Step();
        s->Design();
        s->Solve();
        const long double m = s->ChiSquare();
        r.chi2_last = m;
        r.steps = i;
        // With the start competing it is step 0, and the first step is no longer the first.
        if (improves_best(start_competes ? i + 1 : i, m, r.best_chi2)) {
            r.best_step = i;
            r.best_chi2 = m;
            std::copy(s->par, s->par + 6, best_par);
            best_period = s->period;
            if (hooks.on_best) hooks.on_best(i, *s, move, m);
        }
        if (hooks.stop && hooks.stop()) break;
    }
    Snapshot(*s, r.last);
    // The arrays of the best set are those of the current one when it is the best.
    if (r.best_step != r.steps || !solved) {
        std::copy(best_par, best_par + 6, s->par);
        s->period = best_period;
        if (r.best_step != r.steps) s->Design();
        s->Solve();
    }
    return r;
}
