// Fuzz target: the whole command line, transitlm PARAMETER_FILE DATA_FILE RESULT_FILE, run
// in-process through transitlm_main, with the parameter file from the fuzzer and a small fixed
// data table (a transit at t = 0 of a period-1 orbit, points inside, crossing, outside and
// behind the star).  Standard output goes to /dev/null.
//
// Two departures from a plain run keep each execution short and in one process:
// - A finite iteration count above kMaxIterations (the default 100 included) is cut to
//   kMaxIterations by putting the line "iterations N" before the text: only the first
//   occurrence of a key counts, and the added line holds no other key and ends before any
//   other key starts.  Counts of at most kMaxIterations, negative, fractional, infinite and
//   not-a-number counts reach the run unchanged.
//
// Checked besides the sanitizers: the exit status is one of the tool's (0 to 3); a run that
// ends with status 0 has written a result file whose report holds finite numbers only, one with
// status 3 none.
// - An exactly singular system would end the process with status 1; here its stop throws,
//   and the run counts as ended with status 1.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "driver.h"
#include "fuzz_util.h"
#include "optimize.h"

namespace {

constexpr int kMaxIterations = 2;

const char kTable[] =
    "# time flux sigma\n"
    "-0.05 1.0001 0.001\n-0.02 0.9921 0.001\n-0.01 0.9901 0.001\n0 0.9899 0.001\n"
    "0.01 0.9903 0.001\n0.02 0.9918 0.001\n0.05 1.0003 0.001\n0.25 1.0001 0.002\n"
    "0.5 0.9999 0.002\n";

struct StopRun {
    int status;
};
void ThrowStop(int status) { throw StopRun{status}; }

std::string params_path, table_path, result_path;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ScratchDir& dir = ScratchDir::Get();
    params_path = dir.File("p.par");
    table_path = dir.File("d.txt");
    result_path = dir.File("r.out");
    WriteBytes(table_path, kTable, sizeof kTable - 1);
    set_singular_stop_handler(ThrowStop);
    FUZZ_CHECK(std::freopen("/dev/null", "w", stdout) != nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    WriteBytes(params_path, data, size);
    long double tbl[kInputSlots] = {};
    int pflag, lflag;
    if (load_input(params_path.c_str(), tbl, &pflag, &lflag) == 0 &&
        std::isfinite(tbl[kInIterations]) && tbl[kInIterations] > kMaxIterations) {
        const std::string cut = "iterations " + std::to_string(kMaxIterations) + "\n" +
                                std::string(reinterpret_cast<const char*>(data), size);
        WriteBytes(params_path, cut.data(), cut.size());
    }

    std::remove(result_path.c_str());
    char program[] = "transitlm";
    char* argv[] = {program, &params_path[0], &table_path[0], &result_path[0], nullptr};
    int status;
    try {
        status = transitlm_main(4, argv);
    } catch (const StopRun& stop) {
        status = stop.status;
    }
    FUZZ_CHECK(status >= 0 && status <= 3);
    // A success reports finite numbers only ("%.19Lg" spells the others nan, -nan, inf, -inf;
    // no name of the report holds either); a run that ends with any other is status 3 and
    // writes nothing.
    std::FILE* result = std::fopen(result_path.c_str(), "rb");
    if (status == 0) {
        FUZZ_CHECK(result != nullptr);
        std::string text;
        char chunk[4096];
        for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, result)) > 0;)
            text.append(chunk, got);
        // The report, up to its chi-square line; the quote after it may show nan for what
        // does not exist (a full duration of a grazing transit).
        const std::size_t chi2 = text.find("\nchi_square_reduced  ");
        FUZZ_CHECK(text.find("tshift ") == 0 && chi2 != std::string::npos);
        const std::string report = text.substr(0, text.find('\n', chi2 + 1));
        FUZZ_CHECK(report.find("nan") == std::string::npos);
        FUZZ_CHECK(report.find("inf") == std::string::npos);
    }
    if (status == 3) FUZZ_CHECK(result == nullptr);
    if (result) std::fclose(result);
    return 0;
}
