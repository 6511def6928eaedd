// The Python module transitlm: the tool's fit and model, computed by the library in 80-bit
// long double, handed to Python as float64 numpy arrays and Python floats.
//
//     transitlm.fit(params, data)                   -> dict, the JSON result file's content
//     transitlm.model(params, time, jacobian=False) -> flux [, n x p Jacobian]
//
// fit reads its inputs with the tool's own readers (read_run_input) and runs the tool's fit
// (fit_run_input), whose summary is the JSON result file's content, number for number. The
// readers print their refusals and notes on the process's standard output and error, which
// are caught in files while they run, one reading at a time; the fit itself keeps its state
// and its output to itself, so fits run side by side with the interpreter's lock released.
#include <fcntl.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "constants.h"
#include "driver.h"
#include "optimize.h"

namespace py = pybind11;

namespace {

// Thrown by the stop handler of an exactly singular system, in place of ending the process.
struct SingularStop {
    int status;
};

[[noreturn]] void ThrowSingular(int status) { throw SingularStop{status}; }

// The file descriptors 1 and 2, redirected to catch what the readers print, are the process's:
// one reading at a time.
std::mutex capture_mutex;

// A private directory for the inputs and the result of one call, removed with everything in it.
class TempDir {
   public:
    TempDir() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/transitlm-py.XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        if (!mkdtemp(name.data()))
            throw std::runtime_error("transitlm: a temporary directory can not be made: " +
                                     std::string(std::strerror(errno)));
        path_ = name.data();
    }
    ~TempDir() {
        for (const std::string& f : files_) unlink(f.c_str());
        rmdir(path_.c_str());
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    // The path of a file `name` in the directory (removed with it).
    std::string file(const std::string& name) {
        files_.push_back(path_ + "/" + name);
        return files_.back();
    }

   private:
    std::string path_;
    std::vector<std::string> files_;
};

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    out.close();
    if (!out) throw std::runtime_error("transitlm: a temporary file can not be written: " + path);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// What a run of the readers printed on standard output and standard error.
struct Captured {
    std::string out, err;
};

// Runs `body` with standard output and standard error sent to temporary files. The caller
// holds capture_mutex.
Captured RunCaptured(TempDir& dir, const std::function<void()>& body) {
    Captured c;
    const std::string out_name = dir.file("stdout"), err_name = dir.file("stderr");
    std::fflush(stdout);
    std::fflush(stderr);
    const int out_fd = open(out_name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err_fd = open(err_name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int saved_out = dup(1), saved_err = dup(2);
    if (out_fd < 0 || err_fd < 0 || saved_out < 0 || saved_err < 0) {
        for (int fd : {out_fd, err_fd, saved_out, saved_err})
            if (fd >= 0) close(fd);
        throw std::runtime_error("transitlm: the output of a run can not be captured");
    }
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    auto restore = [&] {
        std::fflush(stdout);
        std::fflush(stderr);
        dup2(saved_out, 1);
        dup2(saved_err, 2);
        for (int fd : {out_fd, err_fd, saved_out, saved_err}) close(fd);
    };
    try {
        body();
    } catch (...) {
        restore();
        throw;
    }
    restore();
    c.out = ReadFile(out_name);
    c.err = ReadFile(err_name);
    return c;
}

std::string Trimmed(const std::string& s) {
    const std::size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return "";
    return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

// The message of a refusal: what the tool printed on both streams.
std::string Message(const Captured& c) {
    std::string m = Trimmed(Trimmed(c.out) + "\n" + Trimmed(c.err));
    return m.empty() ? "transitlm refused the input" : m;
}

// Every line of standard error as a Python warning (the tool's notes: rows left out, likely
// mistakes, a fit that did not converge).
void Warn(const std::string& err) {
    std::istringstream lines(err);
    for (std::string line; std::getline(lines, line);)
        if (!Trimmed(line).empty() && PyErr_WarnEx(PyExc_UserWarning, line.c_str(), 2) != 0)
            throw py::error_already_set();
}

// A path is given as str or os.PathLike; anything else of params is the file's text.
bool IsPath(const py::handle& obj) {
    return py::isinstance(obj, py::module_::import("os").attr("PathLike"));
}

// The parameter file: the file `params` names, or a temporary file of the text `params`.
std::string ParameterFile(const py::object& params, TempDir& dir) {
    if (IsPath(params)) return py::str(py::module_::import("os").attr("fspath")(params));
    if (!py::isinstance<py::str>(params))
        throw py::value_error("params must be the path of a parameter file or its text (str)");
    const std::string s = params.cast<std::string>();
    struct stat info;
    if (s.find('\n') == std::string::npos && stat(s.c_str(), &info) == 0) return s;
    const std::string name = dir.file("params.par");
    WriteFile(name, s);
    return name;
}

// One float64 column of an observation array: 1-D, real, every value finite.
py::array_t<double> Column(const py::handle& obj, const char* what) {
    const py::array a = py::array::ensure(obj);
    if (!a) throw py::value_error(std::string(what) + " is not an array");
    const char kind = a.dtype().kind();
    if (kind != 'f' && kind != 'i' && kind != 'u')
        throw py::value_error(std::string(what) + " has dtype " +
                              py::str(a.dtype()).cast<std::string>() +
                              "; real numbers (float64) are needed");
    if (kind == 'f' && a.dtype().itemsize() > 8)
        throw py::value_error(std::string(what) + " has dtype " +
                              py::str(a.dtype()).cast<std::string>() +
                              ", which float64 does not hold exactly");
    if (a.ndim() != 1)
        throw py::value_error(std::string(what) + " has " + std::to_string(a.ndim()) +
                              " dimensions; a 1-D array is needed");
    auto col = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(a);
    const double* v = col.data();
    for (py::ssize_t i = 0; i < col.size(); ++i)
        if (!std::isfinite(v[i]))
            throw py::value_error(std::string(what) + "[" + std::to_string(i) + "] is " +
                                  (std::isnan(v[i]) ? "NaN" : "infinite"));
    return col;
}

// The data: the file `data` names, or a temporary table of the three arrays of the tuple `data`,
// each float64 written with 40 significant digits so that the reader recovers it exactly.
std::string DataFile(const py::object& data, TempDir& dir) {
    if (IsPath(data) || py::isinstance<py::str>(data))
        return py::str(py::module_::import("os").attr("fspath")(data));
    if (!py::isinstance<py::sequence>(data) || py::len(data) != 3)
        throw py::value_error(
            "data must be the path of a data file or a tuple (time, flux, uncertainty) of three "
            "1-D arrays");
    const py::sequence seq = data.cast<py::sequence>();
    const py::array_t<double> t = Column(seq[0], "time"), f = Column(seq[1], "flux"),
                              s = Column(seq[2], "uncertainty");
    if (t.size() != f.size() || t.size() != s.size())
        throw py::value_error("time, flux and uncertainty have " + std::to_string(t.size()) + ", " +
                              std::to_string(f.size()) + " and " + std::to_string(s.size()) +
                              " values; they must be equally long");
    if (t.size() == 0) throw py::value_error("the arrays hold no observation");
    const std::string name = dir.file("data.txt");
    std::FILE* out = std::fopen(name.c_str(), "w");
    if (!out) throw std::runtime_error("transitlm: a temporary file can not be written: " + name);
    for (py::ssize_t i = 0; i < t.size(); ++i)
        std::fprintf(out, "%.40g %.40g %.40g\n", t.data()[i], f.data()[i], s.data()[i]);
    if (std::fclose(out) != 0)
        throw std::runtime_error("transitlm: a temporary file can not be written: " + name);
    return name;
}

// The last line of a text that holds something.
std::string LastLine(const std::string& text) {
    const std::string t = Trimmed(text);
    return t.substr(t.find_last_of('\n') == std::string::npos ? 0 : t.find_last_of('\n') + 1);
}

// The stream of this thread's singular-system message for the length of a fit.
class ThreadSingularStream {
   public:
    explicit ThreadSingularStream(std::FILE* stream)
        : previous_(set_singular_message_stream(stream)) {}
    ~ThreadSingularStream() { set_singular_message_stream(previous_); }
    ThreadSingularStream(const ThreadSingularStream&) = delete;
    ThreadSingularStream& operator=(const ThreadSingularStream&) = delete;

   private:
    std::FILE* previous_;
};

// A stream whose text is kept in memory.
class MemoryStream {
   public:
    MemoryStream() : stream_(open_memstream(&text_, &size_)) {
        if (!stream_) throw std::runtime_error("transitlm: a memory stream can not be opened");
    }
    ~MemoryStream() {
        if (stream_) std::fclose(stream_);
        std::free(text_);
    }
    MemoryStream(const MemoryStream&) = delete;
    MemoryStream& operator=(const MemoryStream&) = delete;
    std::FILE* stream() const { return stream_; }
    std::string text() {
        std::fflush(stream_);
        return std::string(text_, size_);
    }

   private:
    char* text_ = nullptr;
    std::size_t size_ = 0;
    std::FILE* stream_;
};

// After each step of a fit: a SIGINT that the interpreter has met (on its main thread, where
// its handler raises KeyboardInterrupt) ends the fit as on the command line.
int PendingInterrupt() {
    py::gil_scoped_acquire locked;
    if (PyErr_CheckSignals() == 0) return 0;
    PyErr_Clear();
    return SIGINT;
}

py::object Fit(const py::object& params, const py::object& data) {
    TempDir dir;
    const std::string par_file = ParameterFile(params, dir);
    const std::string data_file = DataFile(data, dir);
    RunInput in;
    int status = kExitOk;
    Captured c;
    {
        py::gil_scoped_release unlocked;
        std::lock_guard<std::mutex> lock(capture_mutex);
        c = RunCaptured(dir,
                        [&] { status = read_run_input(par_file.c_str(), data_file.c_str(), &in); });
    }
    if (status != kExitOk) throw py::value_error(Message(c));
    MemoryStream out, err;
    RunResult res;
    bool singular = false;
    {
        py::gil_scoped_release unlocked;
        // The message of a singular system goes to this fit's own output.
        const ThreadSingularStream to_out(out.stream());
        try {
            res = fit_run_input(in, RunStreams{out.stream(), err.stream(), PendingInterrupt});
        } catch (const SingularStop&) {
            singular = true;
        }
    }
    // A singular system, or a fit that ended with values that are not finite numbers.
    if (singular || res.status == kExitNotFinite) {
        const std::string what = singular ? Trimmed(LastLine(out.text())) : res.message;
        PyErr_SetString(PyExc_ArithmeticError, what.c_str());
        throw py::error_already_set();
    }
    if (!res.interrupted.empty()) {
        PyErr_SetString(PyExc_KeyboardInterrupt, res.interrupted.c_str());
        throw py::error_already_set();
    }
    Warn(c.err + err.text() + "\n" + res.not_converged);
    FitSummary& summary = res.summary;
    summary.parameter_file = par_file;
    summary.data_file = data_file;
    py::object result =
        py::module_::import("json").attr("loads")(py::str(fit_result_json(summary)));
    // The names of the temporary files mean nothing to the caller: text and arrays have none.
    if (par_file.rfind(dir.path(), 0) == 0) result["parameter_file"] = py::none();
    if (data_file.rfind(dir.path(), 0) == 0) result["data_file"] = py::none();
    return result;
}

// ---- the model -------------------------------------------------------------------------------

// A parameter set for the model, as the tools read it.
struct ModelInput {
    long double inp[kInputSlots];
    long double par[6];
    int pflag = 0, lflag = 1;
    RunOptions options;
    long double level = 1.0L;  // the zero-point the model is multiplied by
};

// The value after a line's key "zeropoint" (as a result file writes it).
bool ZeropointValue(const std::string& file, long double* level) {
    const std::string text = "\n" + ReadFile(file);
    const std::size_t at = text.find("\nzeropoint");
    if (at == std::string::npos) return false;
    const char* from = text.c_str() + at + 10;
    char* stop = nullptr;
    *level = std::strtold(from, &stop);
    return stop != from && std::isfinite(*level) && !std::memchr(from, '\n', stop - from);
}

ModelInput ReadModelInput(const py::object& params, TempDir& dir) {
    const std::string file = ParameterFile(params, dir);
    ModelInput m;
    bool read = false;
    Captured c;
    {
        std::lock_guard<std::mutex> lock(capture_mutex);
        c = RunCaptured(dir, [&] {
            read = read_parameters(file.c_str(), m.inp, m.par, &m.pflag, &m.lflag) &&
                   read_options(file.c_str(), &m.options);
        });
    }
    if (!read) throw py::value_error(Message(c));
    for (int term = 0; term < kLawTermCount; ++term) {
        if ((m.lflag & TermBit(term)) && !(m.options.held & TermBit(term)))
            throw py::value_error(std::string("the model needs every limb-darkening coefficient "
                                              "held at a value (as in \"quad 0.25 fixed\"); ") +
                                  kTermNames[term] + " is not");
    }
    if (m.options.trend >= 0)
        throw py::value_error(
            "the model of a parameter set with a trend needs the trend's coefficients, which a "
            "parameter file does not hold");
    if (m.options.zeropoint && !ZeropointValue(file, &m.level))
        throw py::value_error("the parameter file has zeropoint without a finite value to apply");
    m.par[0] = phase_parameter(m.inp[kInTshift], m.inp[kInPeriod], m.par);
    return m;
}

// Model flux at each time (the mean over the file's exposure, when it has one) and, with
// `jacobian`, its derivatives with respect to the fitted parameters in the report's order and
// units (time of mid-transit, e, ω and i in degrees, radii, period), the others (the time of
// mid-transit among them) held.
py::object Model(const py::object& params, const py::handle& time, bool jacobian) {
    TempDir dir;
    const ModelInput m = ReadModelInput(params, dir);
    const py::array_t<double> t = Column(time, "time");
    const std::int64_t n = t.size();
    const long double P = m.inp[kInPeriod];
    // The basis coefficients of the held law: the linear model with no free term.
    const LinearModel linear = linear_model(m.options);
    long double linf[kMaxCoefficients] = {};
    linear_basis_coefficients(linf, LinearFit{}, linear, m.lflag);

    const int all = jacobian ? FitBit(kGeometricCount) - 1 : 0;  // every geometric parameter
    const FitCounts fc = count_fit(all, m.lflag);
    std::vector<long double> obs(3 * static_cast<std::size_t>(n), 1.0L);
    for (std::int64_t i = 0; i < n; ++i) obs[3 * i] = t.data()[i];
    std::vector<long double> lset(static_cast<std::size_t>(fc.len) * n);
    std::vector<int> columns;  // the fitted parameters' slots, in the report's order
    for (int k = 0; k < kGeometricCount; ++k)
        if (m.pflag & FitBit(k)) columns.push_back(k);
    // A fitted period has the last column: the period row of the design set at epoch 0, the
    // derivative at the time of mid-transit held (over the exposure, as the value).
    const bool period_column = jacobian && m.options.fit_period;
    const int with_period = all | kFitPeriod;
    const FitCounts pc = count_fit_period(with_period, m.lflag);
    std::vector<long double> pset(period_column ? static_cast<std::size_t>(pc.len) * n : 0);
    if (period_column) columns.push_back(6);
    py::array_t<double> flux(n);
    py::array_t<double> jac(
        {static_cast<py::ssize_t>(jacobian ? n : 0), static_cast<py::ssize_t>(columns.size())});
    {
        py::gil_scoped_release unlocked;
        der_set_norm_ci_exposure(lset.data(), obs.data(), n, P, m.par, all, m.lflag,
                                 m.options.exposure);
        if (period_column)
            der_set_period(pset.data(), obs.data(), n, P, m.par, with_period, m.lflag, 0.0L,
                           m.options.exposure);
        // With the time of mid-transit held, φ0 follows e, ω and cos² i: ∂φ0/∂p = -∂M_min/∂p.
        long double dphi[6] = {};
        dphi[0] = (2.0L * kPi) / P;
        if (jacobian)
            for (int slot = 1; slot <= 3; ++slot) dphi[slot] = -mid_transit_slope(m.par, slot);
        // ∂(fit's unknown)/∂(reported value): ω in degrees, i in degrees for cos² i.
        long double unit[6] = {1.0L, 1.0L, kDegToRad, 0.0L, 1.0L, 1.0L};
        const long double theta = (m.inp[kInInclination] * kPi) / 180.0L;
        unit[3] = -std::sin(2.0L * theta) * kDegToRad;
        double* fv = flux.mutable_data();
        for (std::int64_t i = 0; i < n; ++i) {
            const long double* B = lset.data() + i * fc.len;
            // Summed as transitlm-model's table sums it, so that the numbers agree.
            auto row_flux = [&](int row, const long double* block) {
                return model_flux(block + row * fc.ldnum, fc.ldnum, linf);
            };
            fv[i] = static_cast<double>(m.level * row_flux(0, B));
            if (!jacobian) continue;
            long double d[7];
            for (int k = 0; k < 6; ++k) d[k] = row_flux(1 + k, B);
            if (period_column) d[6] = row_flux(7, pset.data() + i * pc.len);
            for (std::size_t j = 0; j < columns.size(); ++j) {
                const int k = columns[j];
                long double g = d[k];
                if (k == 0)
                    g = d[0] * dphi[0];
                else if (k <= 3)
                    g = (d[k] + d[0] * dphi[k]) * unit[k];
                *jac.mutable_data(i, j) = static_cast<double>(m.level * g);
            }
        }
    }
    if (!jacobian) return std::move(flux);
    return py::make_tuple(flux, jac);
}

}  // namespace

PYBIND11_MODULE(transitlm, module) {
    set_singular_stop_handler(ThrowSingular);
    module.doc() =
        "The transit fit of transitlm in 80-bit long double: fit() returns the JSON result of "
        "the command line as a dict, model() the model flux and its Jacobian.";
    module.attr("__version__") = TRANSITLM_VERSION;
    module.def("fit", &Fit, py::arg("params"), py::arg("data"),
               "Fits the parameter set `params` (a parameter file's path or text) to `data` (a "
               "data file's path, text table or FITS, or a tuple (time, flux, uncertainty) of 1-D "
               "arrays). Returns the JSON result file of `transitlm` as a dict. Bad input raises "
               "ValueError with the tool's message, a singular fit ArithmeticError; the tool's "
               "notes are issued as warnings.");
    module.def(
        "model", &Model, py::arg("params"), py::arg("time"), py::arg("jacobian") = false,
        "The model flux of the parameter set `params` (every limb-darkening coefficient "
        "held, as in 'quad 0.25 fixed'; a zeropoint's value applied) at `time`. With "
        "jacobian=True returns (flux, J), J[i, j] the derivative of flux[i] with respect "
        "to the j-th fitted parameter in the report's order and units (days, degrees; a fitted "
        "period last, in days).");
}
