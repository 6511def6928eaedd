// transitlm: fits a planetary-transit model to a light curve.
//
//     transitlm PARAMETER_FILE DATA_FILE [RESULT_FILE]
//
// The Driver: command line, conversion of the parameter file into the fit's units, the
// Levenberg-Marquardt run with its best-so-far record, the report and the result file.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>
#include <stdexcept>

#include "lustre.h"
#include "optimize.h"

namespace {

// Exit statuses.
enum ExitStatus {
    kExitOk = 0,        // a completed run
    kExitSingular = 1,  // a linear system of the fit had a determinant of exactly zero
    kExitUsage = 2,     // a usage, input or output error
};

constexpr long double kPi = 3.14159265358979323851L;
constexpr long double kDegToRad = 0.017453292519943295769L;  // π/180 rounded to 64 bits

// The program-wide state of a run.
long double inp[kInputSlots];  // the parameter file's values, as read
long double par[6];            // φ0, e, ω [rad], cos² i, rsun, rplanet
int pflag = 0;                 // fitted parameters, bit i for par[i]
int lflag = 1;                 // limb-darkening terms: 1 uniform, 2 lin, 4 quad, 8 sqrt
int parnum = 0, ldnum = 0, len = 0;
std::int64_t pnum = 0;                // observations
std::unique_ptr<long double[]> data;  // time, flux, uncertainty per observation

// Every way out goes through here, so that standard output is flushed once, at the end.
int Leave(ExitStatus status) {
    std::fflush(stdout);
    return status;
}

// Reads the data table into `data`; prints the reason and returns false when it is refused.
bool LoadObservations(const char* fnm) {
    long double* raw = nullptr;
    TableError err;
    const std::int64_t count = load_table(fnm, &raw, &err);
    data.reset(raw);
    switch (err.kind) {
        case TableError::kNone:
            break;
        case TableError::kOpen:
            std::printf("The data file can not be opened.\n");
            return false;
        case TableError::kNotNumber:
            std::printf("The data file holds a value that is not a number on line %lld: %s\n",
                        static_cast<long long>(err.line), err.word.c_str());
            return false;
        case TableError::kUncertainty:
            std::printf("The data file holds an uncertainty that is not positive on line %lld.\n",
                        static_cast<long long>(err.line));
            return false;
    }
    pnum = count / 3;  // a last group of one or two values is no observation
    if (pnum == 0) {
        std::printf("The data file holds no observations.\n");
        return false;
    }
    return true;
}

int Run(int argc, char** argv) {
    if (argc <= 1) {
        std::printf("usage: transitlm PARAMETER_FILE DATA_FILE [RESULT_FILE]\n");
        return Leave(kExitUsage);
    }
    if (argc == 2) {
        std::printf("Data file is not specified.");
        return Leave(kExitUsage);
    }

    const int res = load_input(argv[1], inp, &pflag, &lflag);
    if (res == 1) {
        std::printf("The input file can not be opened.");
        return Leave(kExitUsage);
    }
    // A radius that is zero, negative or not a number would divide every model evaluation by
    // zero; values of 1 and above are unusual but meaningful and pass.
    if (res == 2 || !(inp[kInRsun] > 0.0L)) {
        std::printf("The input file does not contain a valid value of radius of star (0 < R* < 1)");
        return Leave(kExitUsage);
    }

    for (int i = 1; i <= 5; ++i) par[i] = inp[i];
    // Times π first, then / 180: the order fixes the last bit of cos² i.
    const long double theta = (inp[kInInclination] * kPi) / 180.0L;
    const long double ci = std::cos(theta);
    par[3] = ci * ci;
    par[2] = par[2] * kDegToRad;

    const FitCounts counts = count_fit(pflag, lflag);
    parnum = counts.parnum;
    ldnum = counts.ldnum;
    len = counts.len;

    if (!LoadObservations(argv[2])) return Leave(kExitUsage);
    return Leave(kExitOk);
}

}  // namespace

int main(int argc, char** argv) {
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
