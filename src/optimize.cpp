#include "optimize.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "algebra.h"
#include "constants.h"
#include "fits_table.h"
#include "lustre.h"

// =============================================================================================
// Input files
// =============================================================================================

namespace {

// Reads the whole file into `text`; false when it cannot be opened or read (a directory opens
// on Linux but fails on the first read).  Reading to the end also serves pipes, which cannot
// seek.
bool ReadWholeFile(const char* fnm, std::string* text) {
    std::FILE* f = std::fopen(fnm, "r");
    if (!f) return false;
    text->clear();
    char chunk[1 << 16];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0) text->append(chunk, got);
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    return !failed;
}

// The twelve keys in search order; a trailing blank is part of the key.
constexpr const char* kInputKeys[12] = {"tshift ", "eccentr ", "periastr ", "inclination ",
                                        "rsun ",   "rplanet ", "period ",   "iterations",
                                        "lm",      "lin",      "quad",      "sqrt"};
constexpr int kKeyLin = 9;
constexpr int kFirstLdKey = 9;   // "lin", "quad", "sqrt" select terms 2, 4, 8
constexpr int kLastMarkKey = 5;  // "tshift " .. "rplanet " may carry "f" marks
constexpr int kLastValueKey = 8;

// Where the reader takes key `key` from in `text` (which ends with a line feed), or npos.
std::size_t KeyOccurrence(const std::string& text, int key) {
    const std::string name = kInputKeys[key];
    std::size_t at = text.find(name);
    // The first "lin" is usually the one inside "inclination": look once more past it.
    if (key == kKeyLin && at != std::string::npos && text[at + name.size()] == 'a')
        at = text.find(name, at + name.size());
    return at;
}

// Whether a key that ends right before `after` carries a fit mark: an "f" anywhere from the
// second character after the key (the first is not examined) to the line end, over the number
// and whatever else stands on the line.
bool MarkedForFit(const std::string& text, std::size_t after) {
    for (std::size_t i = after + 1; i < text.size() && text[i] != '\n'; ++i)
        if (text[i] == 'f') return true;
    return false;
}

}  // namespace

int load_input(const char* fnm, long double* tbl, int* pflag, int* lflag) {
    for (int slot : {kInEccentr, kInPeriastr, kInRsun, kInRplanet, kInPeriod, kInIterations, kInLm})
        tbl[slot] = 0.0L;
    tbl[kInInclination] = 90.0L;
    *pflag = 0;
    *lflag = 1;

    std::string text;
    if (!ReadWholeFile(fnm, &text)) return 1;
    // The text ends with a line feed of its own; std::string adds the terminator that stops
    // strtold, so no search, conversion or mark scan leaves the bytes that were read.
    text.push_back('\n');
    if (text.find("rsun ") == std::string::npos) return 2;

    for (int key = 0; key < 12; ++key) {
        const std::size_t at = KeyOccurrence(text, key);
        if (at == std::string::npos) continue;
        const std::size_t after = at + std::strlen(kInputKeys[key]);

        if (key <= kLastValueKey) tbl[key] = std::strtold(text.c_str() + after, nullptr);
        if (key <= kLastMarkKey && MarkedForFit(text, after)) *pflag |= 1 << key;
        if (key >= kFirstLdKey) *lflag |= 2 << (key - kFirstLdKey);
    }

    if (tbl[kInPeriod] <= 0.0L) tbl[kInPeriod] = 1.0L;            // NaN stays
    if (tbl[kInIterations] == 0.0L) tbl[kInIterations] = 100.0L;  // exact on purpose
    return 0;
}

bool isnumchar(char c) {
    return (c >= '0' && c <= '9') || c == 'E' || c == 'e' || c == '+' || c == '-' || c == '.';
}

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f' || c == '\0';
}

bool IsDelimiter(char c) { return c == ',' || c == ';'; }

// A field of a line: the bytes text[begin, end).
struct Field {
    std::size_t begin, end;
};

// The fields of the line text[begin, end).  Blanks, commas and semicolons separate them; the
// blanks next to a comma or semicolon belong to it, so "1, 2, 3" and "1 2 3" hold the same
// three fields.  Two delimiters with nothing but blanks between them, or one at either end of
// the line, stand beside an empty field: the missing value of a CSV file.
void SplitFields(const std::string& text, std::size_t begin, std::size_t end,
                 std::vector<Field>* fields) {
    fields->clear();
    std::size_t i = begin;
    while (i < end && IsBlank(text[i])) ++i;
    if (i == end) return;
    for (;;) {
        const std::size_t start = i;
        while (i < end && !IsBlank(text[i]) && !IsDelimiter(text[i])) ++i;
        fields->push_back({start, i});
        while (i < end && IsBlank(text[i])) ++i;
        if (i == end) return;
        if (IsDelimiter(text[i])) {
            ++i;
            while (i < end && IsBlank(text[i])) ++i;
            if (i == end) {
                fields->push_back({i, i});
                return;
            }
        }
    }
}

// The field as written, for messages; a field that runs on and on is cut, so a binary file
// cannot flood the terminal.
std::string FieldWord(const std::string& text, Field f) {
    constexpr std::size_t kMaxWord = 80;
    if (f.end - f.begin > kMaxWord) return text.substr(f.begin, kMaxWord) + "...";
    return text.substr(f.begin, f.end - f.begin);
}

bool EqualsNoCase(const std::string& text, std::size_t begin, std::size_t end, const char* word) {
    const std::size_t n = std::strlen(word);
    if (end - begin != n) return false;
    for (std::size_t k = 0; k < n; ++k)
        if (std::tolower(static_cast<unsigned char>(text[begin + k])) != word[k]) return false;
    return true;
}

enum class FieldValue {
    kNumber,    // a finite number
    kMissing,   // empty, or a NaN as numpy, pandas and astropy write it
    kInfinite,  // an infinity, or a number beyond the range of long double
    kWord,      // anything else
};

// Reads one field.  A number is made of number characters alone and is converted whole: a
// lone sign or point, a date such as 2020-01-05 or a word is never taken for a value.
FieldValue ReadField(const std::string& text, Field f, std::string* scratch, long double* v) {
    if (f.begin == f.end) return FieldValue::kMissing;
    const std::size_t unsigned_begin =
        f.begin + (text[f.begin] == '+' || text[f.begin] == '-' ? 1 : 0);
    if (EqualsNoCase(text, unsigned_begin, f.end, "nan")) return FieldValue::kMissing;
    if (EqualsNoCase(text, unsigned_begin, f.end, "inf") ||
        EqualsNoCase(text, unsigned_begin, f.end, "infinity"))
        return FieldValue::kInfinite;
    for (std::size_t i = f.begin; i < f.end; ++i)
        if (!isnumchar(text[i])) return FieldValue::kWord;
    scratch->assign(text, f.begin, f.end - f.begin);
    char* stop = nullptr;
    *v = std::strtold(scratch->c_str(), &stop);
    if (stop != scratch->c_str() + scratch->size()) return FieldValue::kWord;
    if (std::isinf(*v)) return FieldValue::kInfinite;
    return FieldValue::kNumber;  // a value that underflows is a number
}

// The column names of a header, each with the aliases that choose it, in order of preference.
constexpr const char* kTimeNames[] = {"time", "t", "bjd", "btjd", "bkjd", "hjd", "mjd", "jd"};
constexpr const char* kFluxNames[] = {"flux", "pdcsap_flux", "sap_flux", "rel_flux", "f"};
constexpr const char* kSigmaNames[] = {"flux_err", "pdcsap_flux_err", "err",       "error",
                                       "sigma",    "e_flux",          "flux_error"};
constexpr const char* kMagnitudeNames[] = {"mag", "magnitude"};
constexpr const char* kMagnitudeErrNames[] = {"mag_err", "e_mag", "magerr"};
constexpr const char* kQualityNames[] = {"quality", "sap_quality"};

// The name a header field is matched by: without quotes, in lower case, and cut where a
// character other than a letter, digit or underscore begins an offset or a unit
// ("BJD-2454000" and "time[d]" are "bjd" and "time").
std::string MatchName(const std::string& text, Field f) {
    std::size_t b = f.begin, e = f.end;
    if (e - b >= 2 && text[b] == '"' && text[e - 1] == '"') ++b, --e;
    std::string name;
    for (std::size_t i = b; i < e; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (!std::isalnum(c) && c != '_') break;
        name.push_back(static_cast<char>(std::tolower(c)));
    }
    return name;
}

// The first column named `preferred` (when not empty), else the first column of the most
// preferred name in `names`; -1 when there is none.
template <std::size_t N>
int FindColumn(const std::vector<std::string>& header, const char* const (&names)[N],
               const std::string& preferred = "") {
    auto find = [&](const std::string& name) {
        const auto at = std::find(header.begin(), header.end(), name);
        return at == header.end() ? -1 : static_cast<int>(at - header.begin());
    };
    if (!preferred.empty() && find(preferred) >= 0) return find(preferred);
    for (const char* name : names)
        if (find(name) >= 0) return find(name);
    return -1;
}

template <std::size_t N>
std::string Alternatives(const char* const (&names)[N]) {
    std::string s;
    for (const char* name : names) s += (s.empty() ? "" : ", ") + std::string(name);
    return s;
}

// Which field of a line holds what.  A table without a header has the three columns time,
// flux and uncertainty.
struct Columns {
    bool headed = false;
    std::size_t count = 3;
    int time = 0, flux = 1, sigma = 2;
    int quality = -1;         // rows whose quality is not 0 are left out
    bool magnitudes = false;  // flux and sigma hold a magnitude and its uncertainty
    std::string magnitude_name;
};

// Chooses the columns of a header by name; false (with the reason in *err) when one of the
// three cannot be found.
bool ChooseColumns(const std::string& text, const std::vector<Field>& fields, std::int64_t line,
                   Columns* cols, TableError* err) {
    std::vector<std::string> header;
    for (const Field& f : fields) header.push_back(MatchName(text, f));
    cols->headed = true;
    cols->count = fields.size();
    cols->time = FindColumn(header, kTimeNames);
    cols->flux = FindColumn(header, kFluxNames);
    cols->magnitudes = false;
    if (cols->flux >= 0) {
        cols->sigma = FindColumn(header, kSigmaNames, header[cols->flux] + "_err");
    } else if ((cols->flux = FindColumn(header, kMagnitudeNames)) >= 0) {
        cols->magnitudes = true;
        cols->magnitude_name = FieldWord(text, fields[cols->flux]);
        cols->sigma = FindColumn(header, kMagnitudeErrNames, header[cols->flux] + "_err");
    } else {
        cols->sigma = FindColumn(header, kSigmaNames);
    }
    cols->quality = FindColumn(header, kQualityNames);
    if (cols->time >= 0 && cols->flux >= 0 && cols->sigma >= 0) return true;

    err->kind = TableError::kHeader;
    err->line = line;
    auto lack = [&](const char* what, const std::string& alternatives) {
        err->lacking += (err->lacking.empty() ? "" : " nor for ") + std::string(what) + " (" +
                        alternatives + ")";
    };
    if (cols->time < 0) lack("the time", Alternatives(kTimeNames));
    if (cols->flux < 0)
        lack("the flux", Alternatives(kFluxNames) + ", or " + Alternatives(kMagnitudeNames));
    if (cols->sigma < 0)
        lack(cols->magnitudes ? "the uncertainty of the magnitude" : "the uncertainty",
             cols->magnitudes ? Alternatives(kMagnitudeErrNames) : Alternatives(kSigmaNames));
    constexpr std::size_t kMaxNames = 300;
    for (const Field& f : fields) {
        if (err->names.size() > kMaxNames) {
            err->names += ", ...";
            break;
        }
        err->names += (err->names.empty() ? "" : ", ") + FieldWord(text, f);
    }
    return false;
}

// A header is a first line of names: some field that is not empty, and none that reads as a
// value (a number, NaN or infinity).
bool IsHeader(const std::string& text, const std::vector<Field>& fields, std::string* scratch) {
    bool named = false;
    for (const Field& f : fields) {
        if (f.begin == f.end) continue;
        long double v;
        if (ReadField(text, f, scratch, &v) != FieldValue::kWord) return false;
        named = true;
    }
    return named;
}

bool Refuse(TableError* err, TableError::Kind kind, std::int64_t line, std::string word) {
    err->kind = kind;
    err->line = line;
    err->word = std::move(word);
    return false;
}

// The fluxes and their uncertainties of magnitudes, f = 10^(-0.4 (m - m̃)) and
// σ_f = 0.4 ln 10 · f · σ_m, with m̃ the median magnitude, whose flux is 1.
bool ConvertMagnitudes(const std::string& text, long double* values, std::int64_t rows,
                       const std::vector<std::int64_t>& lines,
                       const std::vector<Field>& magnitude_fields, TableNotes* notes,
                       TableError* err) {
    constexpr long double kFluxPerMagnitude =
        0.9210340371976182736071965818737456830404L;  // 0.4 ln 10
    std::vector<long double> mags(static_cast<std::size_t>(rows));
    for (std::int64_t k = 0; k < rows; ++k) mags[k] = values[3 * k + 1];
    const std::size_t half = mags.size() / 2;
    std::nth_element(mags.begin(), mags.begin() + half, mags.end());
    long double median = mags[half];
    if (mags.size() % 2 == 0)
        median = (*std::max_element(mags.begin(), mags.begin() + half) + median) / 2;
    notes->median_magnitude = median;
    for (std::int64_t k = 0; k < rows; ++k) {
        long double* row = values + 3 * k;
        const long double f = std::pow(10.0L, -0.4L * (row[1] - median));
        const long double sigma = kFluxPerMagnitude * f * row[2];
        if (std::isinf(f))
            return Refuse(err, TableError::kNotFinite, lines[k],
                          FieldWord(text, magnitude_fields[2 * k]));
        if (!std::isnormal(sigma * sigma))
            return Refuse(err, TableError::kUncertaintyRange, lines[k],
                          FieldWord(text, magnitude_fields[2 * k + 1]));
        row[1] = f;
        row[2] = sigma;
    }
    return true;
}

}  // namespace

std::int64_t load_table(const char* fnm, long double** tbl, TableError* err) {
    return load_table(fnm, tbl, err, nullptr);
}

std::int64_t load_table(const char* fnm, long double** tbl, TableError* err, TableNotes* notes) {
    TableError local_err;
    TableError& e = err ? *err : local_err;
    e = TableError{};
    TableNotes local_notes;
    TableNotes& n = notes ? *notes : local_notes;
    n = TableNotes{};
    *tbl = nullptr;

    std::string text;
    if (!ReadWholeFile(fnm, &text)) {
        e.kind = TableError::kOpen;
        return -1;
    }

    // Room for one observation a line.
    const std::int64_t lines = std::count(text.begin(), text.end(), '\n') + 1;
    std::unique_ptr<long double[]> values(new long double[3 * lines]);
    std::int64_t rows = 0;

    Columns cols;
    bool first = true;
    std::vector<Field> fields;
    std::vector<std::int64_t> magnitude_lines;  // where each observation of magnitudes stands
    std::vector<Field> magnitude_fields;        // its magnitude and uncertainty, for messages
    std::string scratch;
    std::int64_t line = 1;
    auto refuse = [&](TableError::Kind kind, Field f) -> std::int64_t {
        Refuse(&e, kind, line, FieldWord(text, f));
        return -1;
    };
    // A UTF-8 byte-order mark from a spreadsheet export is not part of the first line.
    std::size_t begin = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    for (; begin <= text.size(); ++line) {
        std::size_t end = text.find('\n', begin);
        if (end == std::string::npos) end = text.size();
        const std::size_t line_begin = begin;
        begin = end + 1;

        SplitFields(text, line_begin, end, &fields);
        if (fields.empty() || text[fields[0].begin] == '#') continue;  // blank, or a comment
        if (first) {
            first = false;
            if (IsHeader(text, fields, &scratch)) {
                if (!ChooseColumns(text, fields, line, &cols, &e)) return -1;
                continue;
            }
        }
        if (fields.size() != cols.count) {
            e.kind = TableError::kValueCount;
            e.line = line;
            e.values = static_cast<std::int64_t>(fields.size());
            e.columns = cols.headed ? static_cast<std::int64_t>(cols.count) : 0;
            return -1;
        }

        const int at[4] = {cols.time, cols.flux, cols.sigma, cols.quality};
        long double v[4] = {0, 0, 0, 0};
        FieldValue kind[4] = {FieldValue::kNumber, FieldValue::kNumber, FieldValue::kNumber,
                              FieldValue::kNumber};
        const int used = cols.quality >= 0 ? 4 : 3;
        for (int k = 0; k < used; ++k) {
            kind[k] = ReadField(text, fields[at[k]], &scratch, &v[k]);
            if (kind[k] == FieldValue::kWord) return refuse(TableError::kNotNumber, fields[at[k]]);
        }
        for (int k = 0; k < 3; ++k)
            if (kind[k] == FieldValue::kInfinite)
                return refuse(TableError::kNotFinite, fields[at[k]]);
        if (std::find(kind, kind + used, FieldValue::kMissing) != kind + used) {
            if (n.missing++ == 0) n.first_missing = line;
            continue;
        }
        if (used == 4 && v[3] != 0.0L) {  // an infinite flag is not 0 either
            if (n.flagged++ == 0) n.first_flagged = line;
            continue;
        }
        // Every sum of the fit divides by the square of the uncertainty.
        if (!(v[2] > 0.0L)) return refuse(TableError::kUncertainty, fields[at[2]]);
        if (!cols.magnitudes && !std::isnormal(v[2] * v[2]))
            return refuse(TableError::kUncertaintyRange, fields[at[2]]);
        if (cols.magnitudes) {
            magnitude_lines.push_back(line);
            magnitude_fields.push_back(fields[at[1]]);
            magnitude_fields.push_back(fields[at[2]]);
        }
        std::copy(v, v + 3, values.get() + 3 * rows++);
    }

    if (cols.magnitudes && rows > 0) {
        n.magnitude_column = cols.magnitude_name;
        if (!ConvertMagnitudes(text, values.get(), rows, magnitude_lines, magnitude_fields, &n, &e))
            return -1;
    }
    *tbl = values.release();
    return 3 * rows;
}

void print_table_notes(const TableNotes& notes) {
    if (notes.missing > 0)
        std::fprintf(stderr,
                     "The data file holds %lld %ss with a missing value (first: %s %lld); they "
                     "are left out.\n",
                     static_cast<long long>(notes.missing), notes.unit, notes.unit,
                     static_cast<long long>(notes.first_missing));
    if (notes.flagged > 0)
        std::fprintf(stderr,
                     "The data file holds %lld %ss with %s (first: %s %lld); they are left "
                     "out.\n",
                     static_cast<long long>(notes.flagged), notes.unit, notes.flag_rule.c_str(),
                     notes.unit,
                     static_cast<long long>(notes.first_flagged));
    if (!notes.magnitude_column.empty())
        std::fprintf(stderr,
                     "The data file holds magnitudes (column %s); they are converted to relative "
                     "flux, 10^(-0.4 (m - %.19Lg)), about the median magnitude.\n",
                     notes.magnitude_column.c_str(), notes.median_magnitude);
}

// ---- likely mistakes in a parameter file ----------------------------------------------------

namespace {

constexpr int kLastNamedKey = 6;  // "tshift " .. "period ": keys that end with a blank

// The text of a parameter file split into its lines, with what the warnings ask of each.
class ParameterLines {
   public:
    explicit ParameterLines(const std::string& text) : text_(text) {
        for (std::size_t at = 0; at < text_.size();) {
            starts_.push_back(at);
            const std::size_t end = text_.find('\n', at);
            at = end == std::string::npos ? text_.size() : end + 1;
        }
    }
    std::size_t count() const { return starts_.size(); }
    // 1-based number of the line that holds text position `at`.
    std::size_t LineOf(std::size_t at) const {
        return std::upper_bound(starts_.begin(), starts_.end(), at) - starts_.begin();
    }
    std::size_t Begin(std::size_t line) const { return starts_[line - 1]; }
    std::size_t End(std::size_t line) const {
        const std::size_t end = text_.find('\n', Begin(line));
        return end == std::string::npos ? text_.size() : end;
    }
    // Only a line whose first non-blank character is '#' is a comment.
    bool IsComment(std::size_t line) const { return text_[FirstWord(line)] == '#'; }
    std::size_t FirstWord(std::size_t line) const {
        std::size_t at = Begin(line);
        while (at < End(line) && (text_[at] == ' ' || text_[at] == '\t')) ++at;
        return at;
    }
    // The blank-separated word around position `at`.
    std::string WordAt(std::size_t at) const {
        std::size_t begin = at, end = at;
        while (begin > 0 && !IsBlank(text_[begin - 1]) && text_[begin - 1] != '\n') --begin;
        while (end < text_.size() && !IsBlank(text_[end]) && text_[end] != '\n') ++end;
        return text_.substr(begin, end - begin);
    }

   private:
    const std::string& text_;
    std::vector<std::size_t> starts_;
};

// Words that mean a fit mark; any other word with an "f" marks a parameter all the same.
bool IsMarkWord(const std::string& word) {
    return word == "f" || word == "fit" || word == "fitted";
}

}  // namespace

std::vector<std::string> parameter_warnings(const char* fnm, std::string text,
                                            const long double* inp, const long double* data,
                                            std::int64_t pnum) {
    text.push_back('\n');  // as load_input reads it
    const ParameterLines lines(text);
    std::vector<std::pair<std::size_t, std::string>> found;  // line, what
    auto warn = [&](std::size_t line, const std::string& what) { found.emplace_back(line, what); };
    auto quoted = [](const std::string& s) { return "\"" + s + "\""; };

    // A key written with "=", ":" or a tab: the reader wants the key, a blank, the number.
    for (std::size_t line = 1; line <= lines.count(); ++line) {
        const std::size_t at = lines.FirstWord(line);
        for (int key = 0; key <= kLastValueKey; ++key) {
            std::string name = kInputKeys[key];
            if (key <= kLastNamedKey) name.pop_back();
            if (text.compare(at, name.size(), name) != 0) continue;
            std::size_t next = at + name.size();
            const bool tab = text[next] == '\t';
            while (text[next] == ' ') ++next;
            if (text[next] == '=' || text[next] == ':' || (tab && key <= kLastNamedKey))
                warn(line, name + " is followed by " +
                               (tab ? std::string("a tab") : quoted(std::string(1, text[next]))) +
                               ", so its value is not read there; write " +
                               quoted(name + " VALUE"));
        }
    }

    for (int key = 0; key < 12; ++key) {
        const std::size_t at = KeyOccurrence(text, key);
        if (at == std::string::npos) continue;
        const std::size_t line = lines.LineOf(at);
        std::string name = kInputKeys[key];
        if (name.back() == ' ') name.pop_back();
        if (key == kKeyLin && text[at + 3] == 'a') {
            warn(line, "the linear limb-darkening term is switched on by the " + quoted("lin") +
                           " of a second " + quoted(lines.WordAt(at)) +
                           " (only the first is passed over); write a line " + quoted("lin") +
                           " to mean it");
        } else if (lines.IsComment(line)) {
            if (key >= kFirstLdKey)
                warn(line, "the " + name + " limb-darkening term is switched on by the word " +
                               quoted(lines.WordAt(at)) + " in a comment");
            else
                warn(line, "the value of " + name + " is read from a comment (the first " +
                               quoted(kInputKeys[key]) + " anywhere in the text counts)");
        }
        if (key > kLastMarkKey && key != kInPeriod) continue;
        // Fit marks from words other than f, fit and fitted ("fixed", "free", "inf"); the
        // period's line takes marks by the same rule.
        // The reader passes over the character right after the key.
        const std::size_t after = at + std::strlen(kInputKeys[key]);
        std::string word;
        bool marks = false;
        for (std::size_t i = after; i <= lines.End(line); ++i) {
            if (i < lines.End(line) && !IsBlank(text[i])) {
                word += text[i];
                marks = marks || (text[i] == 'f' && i > after);
                continue;
            }
            if (marks && !IsMarkWord(word))
                warn(line, name + " is marked as fitted by the f of " + quoted(word) +
                               " (any f after the value marks it)");
            word.clear();
            marks = false;
        }
    }

    // Fit marks of e and ω on a circular orbit, where ω means nothing.
    for (int key : {kInEccentr, kInPeriastr}) {
        const std::size_t at = KeyOccurrence(text, key);
        if (at == std::string::npos || inp[kInEccentr] != 0.0L) continue;
        const std::size_t end = lines.End(lines.LineOf(at));
        const std::size_t from = at + std::strlen(kInputKeys[key]) + 1;
        if (from < end && text.find('f', from) < end)
            warn(lines.LineOf(at), key == kInEccentr
                                       ? "eccentr is fitted from e = 0, where the argument of "
                                         "periastron is undefined"
                                       : "periastr is fitted with e = 0, where it changes "
                                         "nothing");
    }

    // A time of mid-transit far from every observation: another time system, such as BTJD
    // (BJD - 2457000) against full BJD.
    const long double tshift = inp[kInTshift], period = inp[kInPeriod];
    if (pnum > 0 && std::isfinite(tshift) && std::isfinite(period) && period > 0.0L) {
        long double nearest = INFINITY;
        for (std::int64_t i = 0; i < pnum; ++i)
            nearest = std::fmin(nearest, std::fabs(data[3 * i] - tshift));
        if (nearest > 100.0L * period) {
            const std::size_t at = KeyOccurrence(text, kInTshift);
            char what[200];
            std::snprintf(what, sizeof what,
                          "tshift %.19Lg is %.19Lg periods from the nearest observation: another "
                          "time system?",
                          tshift, nearest / period);
            warn(at == std::string::npos ? 0 : lines.LineOf(at), what);
        }
    }

    std::stable_sort(found.begin(), found.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::string> out;
    for (const auto& [line, what] : found)
        out.push_back("warning: " + std::string(fnm) + ":" + std::to_string(line) + ": " + what);
    return out;
}

void warn_about_parameters(const char* fnm, const long double* inp, const long double* data,
                           std::int64_t pnum) {
    std::string text;
    if (!ReadWholeFile(fnm, &text)) return;
    std::fflush(stdout);
    for (const std::string& line : parameter_warnings(fnm, text, inp, data, pnum))
        std::fprintf(stderr, "%s\n", line.c_str());
}

// =============================================================================================
// Fit state
// =============================================================================================

int count_bits(int mask) {
    int n = 0;
    for (int bit = 1; bit <= 32; bit <<= 1)
        if (mask & bit) ++n;
    return n;
}

FitCounts count_fit(int parflag, int ldflag) {
    FitCounts c;
    c.ldnum = count_bits(ldflag);
    c.parnum = count_bits(parflag);
    c.len = (c.parnum + 1) * c.ldnum;
    return c;
}

FitCounts count_fit_period(int parflag, int ldflag) {
    FitCounts c = count_fit(parflag, ldflag);
    if (parflag & kFitPeriod) c.parnum += 1;
    c.len = (c.parnum + 1) * c.ldnum;
    return c;
}

// =============================================================================================
// Threads
// =============================================================================================

// The work over all points is shared among threads in two ways, neither of which changes a bit
// of any result: the design set hands out points, each point's block written by one thread;
// every sum over points stays whole in one thread and runs in point order, the threads taking
// different sums (the entries of a normal matrix), never parts of one.

namespace {

std::atomic<int> design_threads{0};
std::atomic<bool> design_screen{true};

// Points per share of the design set: large enough that handing out shares costs nothing,
// small enough that the few points in transit, which cost a hundred times more, spread over
// all threads.
constexpr std::int64_t kShare = 256;

// Below this many points a sum is not worth a thread.
constexpr std::int64_t kMinPointsPerSumThread = 2048;

int ThreadsWanted() {
    const int n = design_threads.load();
    if (n > 0) return n;
    const int hardware = static_cast<int>(std::thread::hardware_concurrency());
    return hardware > 0 ? hardware : 1;
}

// Runs part(g, parts) for g = 0 … parts - 1 at once, each on a thread of its own, the
// caller's for g = 0. When fewer threads can be had than wanted, the caller runs part(0, 1)
// alone.
template <class Part>
void RunParts(int wanted, const Part& part) {
    std::atomic<int> team{0};  // 0 until the team is known
    std::vector<std::thread> helpers;
    for (int g = 1; g < wanted; ++g) {
        try {
            helpers.emplace_back([&team, &part, g] {
                int parts;
                while ((parts = team.load(std::memory_order_acquire)) == 0)
                    std::this_thread::yield();
                if (g < parts) part(g, parts);
            });
        } catch (const std::system_error&) {
            break;
        }
    }
    const int parts = static_cast<int>(helpers.size()) + 1 == wanted ? wanted : 1;
    team.store(parts, std::memory_order_release);
    part(0, parts);
    for (std::thread& helper : helpers) helper.join();
}

// How many threads share the sums over `pointnum` points.
int SumThreads(std::int64_t pointnum) {
    int n = ThreadsWanted();
    if (pointnum < kMinPointsPerSumThread * n)
        n = static_cast<int>(pointnum / kMinPointsPerSumThread);
    return n < 1 ? 1 : n;
}

}  // namespace

void set_design_threads(int threads) { design_threads.store(threads < 0 ? 0 : threads); }

void set_design_screen(bool on) { design_screen.store(on); }

// =============================================================================================
// Design set
// =============================================================================================

namespace {

// The range rules of the step admit e = 1 and R = 0, where the separation's derivatives and
// the change to stellar radii divide by zero; such vectors are evaluated just inside.
constexpr long double kRsunFloor = 0x1p-64L;  // far below any star seen from its planet

long double EvalEccentricity(long double e) {
    return e == 1.0L ? std::nextafter(1.0L, 0.0L) : e;  // exact on purpose
}
long double EvalRsun(long double rsun) { return rsun < kRsunFloor ? kRsunFloor : rsun; }


// Model evaluations of the exposures that touch a transit, summed over the threads.
struct ExposureTally {
    std::atomic<std::int64_t> exposures{0}, evaluations{0};
    std::atomic<int> most{0};
    void Add(int n) {
        if (n == 0) return;
        ++exposures;
        evaluations += n;
        int m = most.load();
        while (n > m && !most.compare_exchange_weak(m, n)) {
        }
    }
};

// Per call: the parameters as the model sees them, the counts, and the screen for points out
// of transit.
class DesignSet {
   public:
    DesignSet(long double period, const long double* params, int parflag, int ldflag,
              long double epoch)
        : fc_(count_fit_period(parflag, ldflag)),
          parflag_(parflag),
          ldflag_(ldflag),
          period_(period),
          phi0_(params[0]),
          e_(EvalEccentricity(params[1])),
          omega_(params[2]),
          ci_(params[3]),
          R_(EvalRsun(params[4])),
          Rp_(params[5]),
          rprs_(Rp_ / R_),
          rq_(R_ * R_) {
        if (parflag & kFitPeriod) {
            // T_n and the slope of M by it; M = 2π(t - T_n)/P + M_min + 2πn.
            const long double mmin = phmin_ci(e_, omega_, ci_);
            mref_ = mmin + kTwoPi * epoch;
            dMdT_ = -kTwoPi / period_;
        }
        SetUpScreen();
    }

    // Point i's block of the design array.
    void Point(const long double* data, std::int64_t i, long double* lset) const {
        long double* block = lset + i * fc_.len;
        const long double t = data[3 * i];
        const long double tp = t / period_;
        const long double M = (tp + tp) * kPi - phi0_;
        if (screen_ && CertainlyOutOfTransit(M)) {
            // What the full evaluation stores for an unocculted star: every term and every
            // derivative 0 except the uniform term's value 1.
            for (int k = 0; k < fc_.len; ++k) block[k] = 0.0L;
            if (fc_.len > 0) block[0] = 1.0L;
            return;
        }
        Evaluate(M, block);
    }

    // Point i's block as the mean over an exposure of the mean-anomaly length 2·half.
    void ExposedPoint(const long double* data, std::int64_t i, long double* lset) const;

    void SetExposure(long double exposure);
    void SetTally(ExposureTally* tally) { tally_ = tally; }

   private:
    void Evaluate(long double M, long double* block) const;
    void SetUpScreen();
    bool CertainlyOutOfTransit(long double M, double margin = 0.0) const;
    long double Separation(long double M) const;
    long double Crossing(long double level, long double side) const;
    void Integrate(long double M, long double a, long double b, bool at_a, bool at_b, int n,
                   long double sign, long double* acc) const;
    void Piece(long double M, long double a, long double b, bool at_a, bool at_b, bool in_transit,
               long double gap, long double sign, long double* acc, int* evaluations) const;

    FitCounts fc_;
    int parflag_, ldflag_;
    long double period_, phi0_, e_, omega_, ci_, R_, Rp_, rprs_, rq_;
    long double mref_ = 0, dMdT_ = 0;  // with the period fitted: M at T_n, and ∂M/∂T_n

    // The screen, in double precision.
    bool screen_ = false;
    double e_d_ = 0, w_d_ = 0, cw_ = 0, sw_ = 0, ci_d_ = 0, contact_ = 0, inv_1me_ = 0,
           omega_slack_ = 0;

    // The exposure: its half length in mean anomaly, and the contacts of the transit as offsets
    // in mean anomaly from the smallest separation in front of the star, ascending.
    long double half_ = 0.0L, mid_ = 0.0L;
    bool transit_ = true;
    int contacts_ = 0;
    long double contact_at_[4] = {};
    long double scale_ = 0.0L;  // the shortest ingress or egress
    ExposureTally* tally_ = nullptr;
};

void DesignSet::Evaluate(long double M, long double* block) const {
    long double dl, ddlf, ddle, ddlw, ddli;
    const int isoverlap =
        DeltaEccentric_omega_ci_d(M, e_, omega_, ci_, &dl, &ddlf, &ddle, &ddlw, &ddli);
    if (!isoverlap) dl = R_ + Rp_ + 1.0L;  // behind the star: beyond any contact
    // Where the orbit passes exactly through the line of sight (S = 0), δ grows like
    // √(cos² i) and its slope by cos² i is infinite; every basis term is flat in x there
    // (and beyond contact), so the product is 0, not 0·∞.
    if (std::isinf(ddli)) ddli = 0.0L;
    const long double x = dl / R_;

    // Basis values and their derivatives by x and by ρ, in basis order; a mask with bits
    // beyond the four terms gets zero columns for them.
    long double LMatr[6] = {}, D1LMatr[6] = {}, D2LMatr[6] = {};
    OccultTerm l0, l1 = {0, 0, 0}, l2, l3;
    L0L2Set(x, rprs_, &l0, (ldflag_ & 4) ? &l2 : nullptr);
    LMatr[0] = 1.0L - l0.value / kPi;
    D1LMatr[0] = -l0.d1 / kPi;
    D2LMatr[0] = -l0.d2 / kPi;
    int k = 1;  // next basis index
    if (ldflag_ & (2 | 4)) l1 = L1Set(x, rprs_);
    if (ldflag_ & 2) {  // (1 - μ) - 1/3
        LMatr[k] = (l0.value + l0.value) / 3.0L - l1.value;
        D1LMatr[k] = (l0.d1 + l0.d1) / 3.0L - l1.d1;
        D2LMatr[k] = (l0.d2 + l0.d2) / 3.0L - l1.d2;
        ++k;
    }
    if (ldflag_ & 4) {  // (1 - μ)² - 1/6 = 5/6 - 2μ + μ², with μ² = 1 - ρ²
        LMatr[k] = 11.0L * l0.value / 6.0L - (l1.value + l1.value) - l2.value;
        D1LMatr[k] = 11.0L * l0.d1 / 6.0L - (l1.d1 + l1.d1) - l2.d1;
        D2LMatr[k] = 11.0L * l0.d2 / 6.0L - (l1.d2 + l1.d2) - l2.d2;
        ++k;
    }
    if (ldflag_ & 8) {  // (1 - √μ) - 1/5
        l3 = L3Set(x, rprs_);
        LMatr[k] = 4.0L * l0.value / 5.0L - l3.value;
        D1LMatr[k] = 4.0L * l0.d1 / 5.0L - l3.d1;
        D2LMatr[k] = 4.0L * l0.d2 / 5.0L - l3.d2;
        ++k;
    }

    // Chain rule through x = δ/R and ρ = Rp/R; M falls as φ0 grows.  A mask without the
    // uniform bit has fewer slots per row than terms computed: only ldnum are stored.  With the
    // period fitted, M = 2π(t - T_n)/P + M_n moves with T_n and with P at fixed T_n, by
    // -2π(t - T_n)/P² = ∂M/∂T_n·(M - M_n)/2π.
    const bool period = parflag_ & kFitPeriod;
    const long double dMdP = period ? dMdT_ * ((M - mref_) / kTwoPi) : 0.0L;
    const int ldnum = fc_.ldnum;
    for (int b = 0; b < ldnum; ++b) {
        const long double B = LMatr[b], Gx = D1LMatr[b], Grho = D2LMatr[b];
        int row = 0;
        block[row++ * ldnum + b] = B;
        if (parflag_ & 1)
            block[row++ * ldnum + b] = period ? ((Gx * ddlf) / R_) * dMdT_ : -(Gx * ddlf) / R_;
        if (parflag_ & 2) block[row++ * ldnum + b] = (Gx * ddle) / R_;
        if (parflag_ & 4) block[row++ * ldnum + b] = (Gx * ddlw) / R_;
        if (parflag_ & 8) block[row++ * ldnum + b] = (Gx * ddli) / R_;
        if (parflag_ & 16) block[row++ * ldnum + b] = -(Gx * dl + Grho * Rp_) / rq_;
        if (parflag_ & 32) block[row++ * ldnum + b] = Grho / R_;
        if (period) block[row++ * ldnum + b] = ((Gx * ddlf) / R_) * dMdP;
    }
}

// The screen. Beyond contact (δ/R ≥ 1 + ρ by more than rounding) every term and derivative
// of the model is exactly 0, and so is every derivative row (0 times the finite derivatives of
// δ); behind the star the model puts δ at R + Rp + 1, beyond contact by 1/R. Both give the same
// block, so a point is certainly out of transit when δ is clearly beyond contact or the planet
// is clearly behind the star, whichever holds.
//
// The screen recomputes the orbit in double precision from the same mean anomaly, reduced by
// whole turns: E by Newton's method, then with r·cos ν = cos E - e and r·sin ν = √(1-e²)·sin E
// the products r·cos u and r·sin u (u = ν + ω) and δ² = (r·cos u)² + cos² i·(r·sin u)², with no
// arc tangent. Both δ and r·sin u move by at most |ΔE| when E moves (the point (r·cos ν,
// r·sin ν) moves at most as fast as E, and a rotation and the factor cos² i ≤ 1 do not speed it
// up), so their error is that of E plus rounding: the residual of Kepler's equation over its
// smallest slope 1 - e, the reduction of M, and the rounding of the extended evaluation, which
// works on the unreduced M and so carries an error that grows with |M|. The margin below covers
// each of these many times over; a point inside it takes the full evaluation.
void DesignSet::SetUpScreen() {
    const long double behind = (R_ + Rp_ + 1.0L) / R_;  // x of a point behind the star
    screen_ = design_screen.load() && std::isfinite(period_) && period_ != 0.0L &&
              std::isfinite(phi0_) && e_ >= 0.0L && e_ < 1.0L && std::isfinite(omega_) && ci_ >= 0.0L && ci_ <= 1.0L &&
              std::isfinite(R_) && Rp_ > 0.0L && std::isfinite(Rp_) &&
              behind >= (1.0L + rprs_) * (1.0L + 0x1p-20L) && fc_.len > 0;
    if (!screen_) return;
    e_d_ = static_cast<double>(e_);
    w_d_ = std::sqrt(1.0 - e_d_ * e_d_);
    cw_ = static_cast<double>(cosl(omega_));
    sw_ = static_cast<double>(sinl(omega_));
    ci_d_ = static_cast<double>(ci_);
    contact_ = static_cast<double>((R_ + Rp_) * (1.0L + 0x1p-20L));
    inv_1me_ = static_cast<double>(1.0L / (1.0L - e_));
    omega_slack_ = 0x1p-48 * (std::fabs(static_cast<double>(omega_)) + 1.0);
}

bool DesignSet::CertainlyOutOfTransit(long double M, double margin) const {
    if (!(std::fabs(M) < 0x1p40L)) return false;
    // Whole turns off, so that the angle is small enough for double precision; any whole
    // number near M/2π will do.
    const double turns = std::nearbyint(static_cast<double>(M) * 0.15915494309189535);
    const double m = static_cast<double>(M - static_cast<long double>(turns) * kTwoPi);
    double E = m, sE, cE, res = 0.0;
    if (e_d_ != 0.0) {
        E = m + e_d_ * std::sin(m);
        int pass = 0;
        for (;; ++pass) {
            sincos(E, &sE, &cE);
            const double step = (E - e_d_ * sE - m) / (1.0 - e_d_ * cE);
            E -= step;
            if (std::fabs(step) <= 0x1p-45) break;
            if (pass == 40) return false;
        }
        res = std::fabs(E - e_d_ * std::sin(E) - m);
    }
    sincos(E, &sE, &cE);
    const double X = cE - e_d_, Y = w_d_ * sE;
    const double rsu = Y * cw_ + X * sw_;  // r·sin u
    const double rcu = X * cw_ - Y * sw_;  // r·cos u
    const double delta = std::sqrt(rcu * rcu + ci_d_ * (rsu * rsu));
    // A window of half length `margin` about M: E moves by at most margin/(1 - e) in it.
    const double slack =
        (0x1p-48 * (std::fabs(static_cast<double>(M)) + 1.0) + res + 0x1p-40 + margin) * inv_1me_ +
        omega_slack_ + 0x1p-50 / delta;
    return rsu > slack || delta > contact_ + slack;
}

// ---- exposures ----------------------------------------------------------------------------
//
// The mean over a window of every entry of the block. As a function of time the model is
// smooth except at the contacts (δ/R = 1 ± ρ), where the hidden flux behaves like
// (t - t_c)^(3/2) and its derivatives like (t - t_c)^(1/2); there every fixed rule converges
// only algebraically. So the window is split at the contacts inside it, and each piece in
// transit is mapped so that the contact ends become smooth: t = a + ℓ·s³ at a contact end a
// (turning (t - a)^(k/2)·dt into s^(3k/2 + 2)·ds), the quintic smoothstep ℓ·(10s³ - 15s⁴ + 6s⁵)
// between two contacts, and nothing elsewhere; then Gauss-Legendre in s. Pieces out of transit
// are exact without a single evaluation: every entry is that of the unocculted star. A contact
// just beyond an end of the window, which would hold the rule there to slow convergence, is
// met by integrating up to it and taking off the overshoot. The contacts come from the orbit
// once per parameter vector, as offsets in mean anomaly from the transit's smallest separation.
//
// Node counts, against a reference of adaptive tanh-sinh quadrature between contacts (worst
// basis-term error about 1e-13 over hot-Jupiter ingresses, full transits, grazing and eccentric
// orbits): 16 between two contacts, 12 from one contact, and for a piece with no contact as many
// as its distance to the nearest contact asks (the Bernstein ellipse of that distance); a piece
// longer than twice the shortest ingress or egress (the scale on which the flux varies) is cut
// into equal parts first.

constexpr int kMaxNodes = 32;
constexpr int kNodesBetweenContacts = 16;
constexpr int kNodesFromContact = 12;
constexpr int kMinNodes = 4;
constexpr long double kNodesPerLogRho = 18.0L;  // n·ln ρ that a free end needs
constexpr long double kReach = 0.5L;            // contacts this far beyond, in windows, are met

// Gauss-Legendre rules of 1 … kMaxNodes nodes on [0, 1], by Newton's method on the Legendre
// polynomials in extended precision (each node to a few ulps, far below what the exposures
// need).
struct LegendreRules {
    long double node[kMaxNodes + 1][kMaxNodes], weight[kMaxNodes + 1][kMaxNodes];
    LegendreRules() {
        for (int n = 1; n <= kMaxNodes; ++n) {
            for (int j = 0; j < n; ++j) {
                long double x = cosl(kPi * (j + 0.75L) / (n + 0.5L)), dp = 1.0L;
                for (int pass = 0; pass < 100; ++pass) {
                    long double p0 = 1.0L, p1 = x;  // P_0, P_1 up to P_n by the recurrence
                    for (int k = 2; k <= n; ++k) {
                        const long double p2 = ((2 * k - 1) * x * p1 - (k - 1) * p0) / k;
                        p0 = p1;
                        p1 = p2;
                    }
                    dp = n * (x * p1 - p0) / (x * x - 1.0L);
                    const long double step = p1 / dp;
                    x -= step;
                    if (std::fabs(step) <= 0x1p-63L) break;
                }
                node[n][n - 1 - j] = (1.0L + x) / 2;  // ascending: x runs down from near 1
                weight[n][n - 1 - j] = 1.0L / ((1.0L - x * x) * dp * dp);
            }
        }
    }
};

const LegendreRules& Rules() {
    static const LegendreRules rules;
    return rules;
}

// Room for a block of any masks count_fit counts (at most 8 rows of 6 entries).
constexpr int kMaxBlock = 64;

// The separation as the design set uses it: behind the star, beyond any contact.
long double DesignSet::Separation(long double M) const {
    long double dl, df, de, dw, di;
    const int front = DeltaEccentric_omega_ci_d(M, e_, omega_, ci_, &dl, &df, &de, &dw, &di);
    return front ? dl : R_ + Rp_ + 1.0L;
}

// The offset from mid_ on `side` (±1) at which the separation first rises through `level`:
// strides doubling out from the minimum until it is passed, then bisection to the last bit.
// 0 when the separation stays below the level for half a turn.
long double DesignSet::Crossing(long double level, long double side) const {
    long double in = 0.0L, out = 0x1p-30L;
    while (!(Separation(mid_ + side * out) >= level)) {
        in = out;
        out = 2 * out;
        if (out > kPi) return 0.0L;
    }
    for (;;) {
        const long double m = (in + out) / 2;
        if (m == in || m == out) break;
        (Separation(mid_ + side * m) >= level ? out : in) = m;
    }
    return side * out;
}

void DesignSet::SetExposure(long double exposure) {
    half_ = (exposure / period_) * kPi;  // π·X/P, half of 2π·X/P
    contacts_ = 0;
    transit_ = true;
    mid_ = phmin_ci(e_, omega_, ci_);
    const long double outer = R_ + Rp_, inner = std::fabs(R_ - Rp_);
    const long double least = Separation(mid_);
    if (!(least < outer)) {  // no transit (or no number): every window is unocculted
        transit_ = least >= outer ? false : true;
        return;
    }
    const long double c1 = Crossing(outer, -1.0L), c4 = Crossing(outer, 1.0L);
    if (c1 == 0.0L || c4 == 0.0L) return;  // in front of the star all the way: no contacts
    contact_at_[contacts_++] = c1;
    if (least < inner) {
        contact_at_[contacts_++] = Crossing(inner, -1.0L);
        contact_at_[contacts_++] = Crossing(inner, 1.0L);
        scale_ = std::fmin(contact_at_[1] - c1, c4 - contact_at_[2]);
    } else {
        scale_ = (c4 - c1) / 2;  // grazing: the whole transit is ingress and egress
    }
    contact_at_[contacts_++] = c4;
}

// Adds sign·∫ over [M + a, M + b] of the block, by mean anomaly, to acc, with n nodes of the
// map that the contact ends at_a, at_b ask for.
void DesignSet::Integrate(long double M, long double a, long double b, bool at_a, bool at_b, int n,
                          long double sign, long double* acc) const {
    const long double length = b - a;
    const int len = fc_.len;
    const LegendreRules& rules = Rules();
    long double block[kMaxBlock];
    for (int j = 0; j < n; ++j) {
        const long double s = rules.node[n][j];
        long double u, slope;  // the piece's fraction at s, and its slope
        if (at_a && at_b) {
            const long double r = 1.0L - s;
            u = s * s * s * (10.0L - 15.0L * s + 6.0L * s * s);
            slope = 30.0L * (s * s) * (r * r);
        } else if (at_a) {
            u = s * s * s;
            slope = 3.0L * s * s;
        } else if (at_b) {
            const long double r = 1.0L - s;
            u = 1.0L - r * r * r;
            slope = 3.0L * r * r;
        } else {
            u = s;
            slope = 1.0L;
        }
        const long double w = sign * rules.weight[n][j] * slope * length;
        Evaluate(M + (a + length * u), block);
        for (int k = 0; k < len; ++k) acc[k] += w * block[k];
    }
}

// The same for a piece that may hold the transit: out of transit exactly, else by parts no
// longer than twice the ingress. `gap` is the distance from [a, b] to the nearest contact
// other than its ends.
void DesignSet::Piece(long double M, long double a, long double b, bool at_a, bool at_b,
                      bool in_transit, long double gap, long double sign, long double* acc,
                      int* evaluations) const {
    const long double length = b - a;
    if (!(length > 0.0L)) return;
    if (!in_transit) {
        if (fc_.len > 0) acc[0] += sign * length;
        return;
    }
    const long double most = scale_ + scale_;
    const long double parts = length > most ? std::ceil(length / most) : 1.0L;
    const long double step = length / parts;
    for (long double p = 0; p < parts; ++p) {
        const bool first = p == 0, last = p + 1 == parts;
        const bool ca = first && at_a, cb = last && at_b;
        const long double pa = first ? a : a + p * step, pb = last ? b : a + (p + 1) * step;
        int n = kNodesBetweenContacts;
        if (!(ca && cb)) {
            // A free end converges as ρ^(-2n), ρ the sum of the semi-axes of the largest ellipse
            // about the part, with foci at its ends, that holds no contact.
            long double g = gap + std::fmin(pa - a, b - pb);
            if (at_a && !first) g = std::fmin(g, pa - a);
            if (at_b && !last) g = std::fmin(g, b - pb);
            const long double r = 1.0L + (g + g) / (pb - pa);
            const long double rho = r + std::sqrt(r * r - 1.0L);
            n = std::isfinite(rho) ? static_cast<int>(std::ceil(kNodesPerLogRho / std::log(rho)))
                                   : kMinNodes;
            const int least = ca || cb ? kNodesFromContact : kMinNodes;
            if (n < least) n = least;
            if (n > kMaxNodes) n = kMaxNodes;
        }
        Integrate(M, pa, pb, ca, cb, n, sign, acc);
        *evaluations += n;
    }
}

void DesignSet::ExposedPoint(const long double* data, std::int64_t i, long double* lset) const {
    long double* block = lset + i * fc_.len;
    const long double t = data[3 * i];
    const long double tp = t / period_;
    const long double M = (tp + tp) * kPi - phi0_;
    long double acc[kMaxBlock] = {};
    int evaluations = 0;
    if (!transit_ || (screen_ && CertainlyOutOfTransit(M, static_cast<double>(half_)))) {
        for (int k = 0; k < fc_.len; ++k) block[k] = 0.0L;
        if (fc_.len > 0) block[0] = 1.0L;
        return;
    }
    const long double width = half_ + half_;
    if (contacts_ == 0) {  // in transit all along the front: one smooth piece, all nodes
        Integrate(M, -half_, half_, false, false, kMaxNodes, 1.0L, acc);
        for (int k = 0; k < fc_.len; ++k) block[k] = acc[k] / width;
        return;
    }
    // The contacts about the window, as offsets from M, ascending and in whole transits: the
    // transit nearest to M and those whole turns before and after that the window reaches,
    // one more on each side.
    const long double reach = kReach * width;
    const long double from_mid = M - mid_;
    const long double centre = from_mid - std::nearbyint(from_mid / kTwoPi) * kTwoPi;
    const long double turns = std::ceil((half_ + reach) / kTwoPi) + 1.0L;
    long double at[4 * 8];
    const int room = static_cast<int>(sizeof at / sizeof at[0]);
    int count = 0;
    for (long double k = -turns; k <= turns && count + contacts_ <= room; ++k)
        for (int c = 0; c < contacts_; ++c) at[count++] = (contact_at_[c] + k * kTwoPi) - centre;
    auto gap_of = [&](long double a, long double b) {  // [a, b] to the nearest contact outside
        long double g = INFINITY;
        for (int c = 0; c < count; ++c) {
            if (at[c] < a) g = std::fmin(g, a - at[c]);
            if (at[c] > b) g = std::fmin(g, at[c] - b);
        }
        return g;
    };
    // In transit when an odd share of a transit's contacts lies below: between its first and
    // last contact.
    auto in_transit = [&](long double x) {
        int below = 0;
        while (below < count && at[below] < x) ++below;
        return below % contacts_ != 0;
    };

    long double lo = -half_, hi = half_;
    bool lo_c = false, hi_c = false;
    for (int c = 0; c < count; ++c) {
        if (at[c] <= -half_ && at[c] >= -half_ - reach) lo = at[c], lo_c = true;
        if (at[c] >= half_ && at[c] <= half_ + reach && !hi_c) hi = at[c], hi_c = true;
    }
    if (lo_c)
        Piece(M, lo, -half_, true, false, in_transit((lo - half_) / 2), gap_of(lo, -half_), -1.0L,
              acc, &evaluations);
    if (hi_c)
        Piece(M, half_, hi, false, true, in_transit((half_ + hi) / 2), gap_of(half_, hi), -1.0L,
              acc, &evaluations);
    long double cut = lo;
    bool cut_c = lo_c;
    for (int c = 0; c < count; ++c) {
        if (at[c] > cut && at[c] < hi) {
            Piece(M, cut, at[c], cut_c, true, in_transit((cut + at[c]) / 2), gap_of(cut, at[c]),
                  1.0L, acc, &evaluations);
            cut = at[c];
            cut_c = true;
        }
    }
    Piece(M, cut, hi, cut_c, hi_c, in_transit((cut + hi) / 2), gap_of(cut, hi), 1.0L, acc,
          &evaluations);
    for (int k = 0; k < fc_.len; ++k) block[k] = acc[k] / width;
    if (tally_) tally_->Add(evaluations);
}

}  // namespace

// Every point's block depends on that point alone, so the points are handed out in shares to
// the threads, each share written by one thread; the array is the same whatever the count.
namespace {
// The design array of observations integrated over their exposures.
void ExposedDesign(long double* lset, const long double* data, std::int64_t pointnum,
                   long double period, const long double* params, int parflag, int ldflag,
                   long double epoch, long double exposure, ExposureCost* cost);
}  // namespace

void der_set_norm_ci(long double* lset, const long double* data, std::int64_t pointnum,
                     long double period, const long double* params, int parflag, int ldflag) {
    der_set_period(lset, data, pointnum, period, params, parflag & ~kFitPeriod, ldflag, 0.0L);
}

void der_set_period(long double* lset, const long double* data, std::int64_t pointnum,
                    long double period, const long double* params, int parflag, int ldflag,
                    long double epoch, long double exposure, ExposureCost* cost) {
    if (exposure != 0.0L) {  // exact on purpose: 0 is the model at the time, bit for bit
        ExposedDesign(lset, data, pointnum, period, params, parflag, ldflag, epoch, exposure,
                      cost);
        return;
    }
    if (cost) *cost = ExposureCost{};
    const DesignSet set(period, params, parflag, ldflag, epoch);
    std::atomic<std::int64_t> next{0};
    auto work = [&] {
        for (;;) {
            const std::int64_t begin = next.fetch_add(kShare);
            if (begin >= pointnum) return;
            const std::int64_t end = std::min(begin + kShare, pointnum);
            for (std::int64_t i = begin; i < end; ++i) set.Point(data, i, lset);
        }
    };
    const std::int64_t shares = (pointnum + kShare - 1) / kShare;
    const int threads = static_cast<int>(std::min<std::int64_t>(ThreadsWanted(), shares));
    RunParts(threads < 1 ? 1 : threads, [&](int, int) { work(); });
}

void der_set_norm_ci_exposure(long double* lset, const long double* data, std::int64_t pointnum,
                              long double period, const long double* params, int parflag,
                              int ldflag, long double exposure, ExposureCost* cost) {
    der_set_period(lset, data, pointnum, period, params, parflag & ~kFitPeriod, ldflag, 0.0L,
                   exposure, cost);
}

namespace {

void ExposedDesign(long double* lset, const long double* data, std::int64_t pointnum,
                   long double period, const long double* params, int parflag, int ldflag,
                   long double epoch, long double exposure, ExposureCost* cost) {
    DesignSet set(period, params, parflag, ldflag, epoch);
    set.SetExposure(exposure);
    ExposureTally tally;
    if (cost) set.SetTally(&tally);
    std::atomic<std::int64_t> next{0};
    auto work = [&] {
        for (;;) {
            const std::int64_t begin = next.fetch_add(kShare);
            if (begin >= pointnum) return;
            const std::int64_t end = std::min(begin + kShare, pointnum);
            for (std::int64_t i = begin; i < end; ++i) set.ExposedPoint(data, i, lset);
        }
    };
    const std::int64_t shares = (pointnum + kShare - 1) / kShare;
    const int threads = static_cast<int>(std::min<std::int64_t>(ThreadsWanted(), shares));
    RunParts(threads < 1 ? 1 : threads, [&](int, int) { work(); });
    if (cost) *cost = {tally.exposures.load(), tally.evaluations.load(), tally.most.load()};
}

}  // namespace

// =============================================================================================
// Linear limb-darkening fit, residual, Levenberg-Marquardt step
// =============================================================================================

namespace {

// kLf (constants.h) is looked up by the term's bit (lin, quad, sqrt), not its basis index.

constexpr int kMaxUnknowns = 7 + kMaxCoefficients;  // parameters, period and coefficients

void ExitRun(int status) { std::exit(status); }

SingularStopHandler singular_stop = ExitRun;

// Ends the run on a linear system with a determinant of exactly zero.
[[noreturn]] void StopSingular(const char* message) {
    std::fputs(message, stdout);
    std::fflush(stdout);
    singular_stop(1);
    std::exit(1);  // a handler that returns still ends the run
}

}  // namespace

SingularStopHandler set_singular_stop_handler(SingularStopHandler handler) {
    const SingularStopHandler previous = singular_stop;
    singular_stop = handler;
    return previous;
}

namespace {

// Sums over points. Per point a fill forms a few columns c_0, c_1, … and σ²; sum (i, j) runs
// over the points of (c_i·c_j)/σ² (i ≥ 0), or of c_j itself (i = kTermColumn, a term the fill
// has formed whole), in point order, starting from 0. In normal equations column 0 holds the
// data side and columns 1 … n the derivatives; the matrix is symmetric term by term (c_i·c_j
// and c_j·c_i are the same product), so only i ≤ j is summed.
constexpr int kMaxColumns = kMaxUnknowns + 1;
constexpr int kMaxPairs = kMaxColumns * (kMaxColumns + 1) / 2;
constexpr int kTermColumn = -1;

// Points per block, and blocks per round. A round's blocks are filled first, shared among the
// threads; then each thread runs its sums through the round, four side by side, each running
// sum held in a register.
constexpr int kBlock = 64;
constexpr int kRoundBlocks = 16;

struct Pair {
    int i, j;
};

// Asks the memory for entries first … last of point i's row of the design array, a few points
// before a fill reads them: the rows lie a non-whole number of cache lines apart, a stride
// the hardware does not follow by itself.
constexpr std::int64_t kAhead = 16;
// (GCC drops __builtin_prefetch in these loops, hence the instruction itself.)
inline void PrefetchLine(const char* at) { asm volatile("prefetcht0 %0" : : "m"(*at)); }
inline void PrefetchRow(const long double* lset, int len, int first, int last, std::int64_t i) {
    const char* from = reinterpret_cast<const char*>(lset + i * len + first);
    const char* to = reinterpret_cast<const char*>(lset + i * len + last) + sizeof(long double) - 1;
    for (const char* line = from; line < to; line += 64) PrefetchLine(line);
    PrefetchLine(to);
}

struct SumBlock {
    long double c[kBlock][kMaxColumns];
    long double v[kBlock];  // σ²
};

// A few values copied as 16-byte moves: an 80-bit load and store through the x87 unit costs
// several times as much, and a loop would become a library call.
inline void CopyOne(long double* to, const long double* from) {
    std::memcpy(to, from, sizeof(long double));
}
inline void CopyFew(long double* to, const long double* from, int count) {
    switch (count) {
        case 5:
            CopyOne(to + 4, from + 4);
            [[fallthrough]];
        case 4:
            CopyOne(to + 3, from + 3);
            [[fallthrough]];
        case 3:
            CopyOne(to + 2, from + 2);
            [[fallthrough]];
        case 2:
            CopyOne(to + 1, from + 1);
            [[fallthrough]];
        case 1:
            CopyOne(to, from);
            [[fallthrough]];
        case 0:
            return;
        default:
            for (int k = 0; k < count; ++k) CopyOne(to + k, from + k);
    }
}

// Waits until `ready` holds: a short spin, then giving the core away between looks.
template <class Ready>
void WaitFor(const Ready& ready) {
    for (int spins = 0; !ready(); ++spins)
        if (spins > 64) std::this_thread::yield();
}

// Progress of one round of PairSums: blocks claimed for filling, blocks filled, threads that
// have run their sums through it.
struct RoundState {
    std::atomic<int> claimed{0}, filled{0}, summed{0};
};

// Runs the sums e[0 … 3] through one block, side by side, each in a variable of its own (an
// array would send every partial sum through memory); with fewer than four, the last ones
// repeat the last sum and are dropped.
void SumFour(const SumBlock& block, int points, const Pair* pairs, const int* e, int count,
             long double* acc) {
    const int e0 = e[0], e1 = e[std::min(1, count - 1)], e2 = e[std::min(2, count - 1)],
              e3 = e[std::min(3, count - 1)];
    const int i0 = pairs[e0].i, j0 = pairs[e0].j, i1 = pairs[e1].i, j1 = pairs[e1].j,
              i2 = pairs[e2].i, j2 = pairs[e2].j, i3 = pairs[e3].i, j3 = pairs[e3].j;
    long double a0 = acc[e0], a1 = acc[e1], a2 = acc[e2], a3 = acc[e3];
    switch (count) {
        case 1:
            for (int p = 0; p < points; ++p) a0 += (block.c[p][i0] * block.c[p][j0]) / block.v[p];
            break;
        case 2:
            for (int p = 0; p < points; ++p) {
                const long double* c = block.c[p];
                const long double v = block.v[p];
                a0 += (c[i0] * c[j0]) / v;
                a1 += (c[i1] * c[j1]) / v;
            }
            break;
        case 3:
            for (int p = 0; p < points; ++p) {
                const long double* c = block.c[p];
                const long double v = block.v[p];
                a0 += (c[i0] * c[j0]) / v;
                a1 += (c[i1] * c[j1]) / v;
                a2 += (c[i2] * c[j2]) / v;
            }
            break;
        default:
            for (int p = 0; p < points; ++p) {
                const long double* c = block.c[p];
                const long double v = block.v[p];
                a0 += (c[i0] * c[j0]) / v;
                a1 += (c[i1] * c[j1]) / v;
                a2 += (c[i2] * c[j2]) / v;
                a3 += (c[i3] * c[j3]) / v;
            }
    }
    acc[e3] = a3;
    acc[e2] = a2;
    acc[e1] = a1;
    acc[e0] = a0;
}

// A sum of whole terms, formed by the fill in column j.
void SumTerms(const SumBlock& block, int points, int j, long double* acc) {
    long double a = *acc;
    for (int p = 0; p < points; ++p) a = a + block.c[p][j];
    *acc = a;
}

// Runs the sums e[0 … count-1] through one block, four at a time: side by side they hide the
// latency of the additions.
void SumBlockOf(const SumBlock& block, int points, const Pair* pairs, const int* e, int count,
                long double* acc) {
    for (int first = 0; first < count;) {
        const int* g = e + first;
        if (pairs[g[0]].i == kTermColumn) {
            SumTerms(block, points, pairs[g[0]].j, acc + g[0]);
            first += 1;
            continue;
        }
        const int group = std::min(count - first, 4);
        SumFour(block, points, pairs, g, group, acc);
        first += group;
    }
}

// Fills sums[e] for pairs[e], e < count. fill(begin, points, block) writes the columns and σ²
// of points begin … begin + points - 1. Each sum is whole in one thread, in point order; the
// threads take turns at filling the blocks of a round, so that one with fewer sums fills more,
// and two rounds are in hand at a time: a thread may fill the next round while another still
// sums the current one.
template <class Fill>
void PairSums(std::int64_t pointnum, const Pair* pairs, int count, const Fill& fill,
              long double* sums) {
    const std::int64_t round_points = std::int64_t{kRoundBlocks} * kBlock;
    const std::int64_t rounds = (pointnum + round_points - 1) / round_points;
    std::vector<SumBlock> buffer(2 * static_cast<std::size_t>(std::min<std::int64_t>(
                                         kRoundBlocks, (pointnum + kBlock - 1) / kBlock)));
    const int per_buffer = static_cast<int>(buffer.size() / 2);
    std::vector<RoundState> state(static_cast<std::size_t>(rounds));
    RunParts(SumThreads(pointnum), [&](int part, int parts) {
        int mine[kMaxPairs], own = 0;
        for (int e = part; e < count; e += parts) mine[own++] = e;
        long double acc[kMaxPairs] = {};
        if (parts == 1) {  // alone: block by block, the block never leaving the first cache
            for (std::int64_t begin = 0; begin < pointnum; begin += kBlock) {
                const int points =
                    static_cast<int>(std::min<std::int64_t>(kBlock, pointnum - begin));
                fill(begin, points, &buffer[0]);
                SumBlockOf(buffer[0], points, pairs, mine, own, acc);
            }
            for (int k = 0; k < own; ++k) sums[mine[k]] = acc[mine[k]];
            return;
        }
        for (std::int64_t r = 0; r < rounds; ++r) {
            const std::int64_t start = r * round_points;
            const int blocks =
                static_cast<int>((std::min(pointnum - start, round_points) + kBlock - 1) / kBlock);
            auto points = [&](int b) {
                return static_cast<int>(
                    std::min<std::int64_t>(kBlock, pointnum - start - std::int64_t{b} * kBlock));
            };
            SumBlock* round = &buffer[static_cast<std::size_t>(r % 2) * per_buffer];
            RoundState& now = state[static_cast<std::size_t>(r)];
            if (r >= 2) {  // the buffer is free once every thread has summed round r - 2
                RoundState& before = state[static_cast<std::size_t>(r - 2)];
                WaitFor([&] { return before.summed.load(std::memory_order_acquire) == parts; });
            }
            for (int b; (b = now.claimed.fetch_add(1, std::memory_order_relaxed)) < blocks;) {
                fill(start + std::int64_t{b} * kBlock, points(b), &round[b]);
                now.filled.fetch_add(1, std::memory_order_release);
            }
            WaitFor([&] { return now.filled.load(std::memory_order_acquire) == blocks; });
            for (int b = 0; b < blocks; ++b) SumBlockOf(round[b], points(b), pairs, mine, own, acc);
            now.summed.fetch_add(1, std::memory_order_release);
        }
        for (int k = 0; k < own; ++k) sums[mine[k]] = acc[mine[k]];
    });
}

// The pairs of an n × n symmetric matrix over columns 1 … n, then those of the right-hand side
// (0, j); returns their count.
int NormalPairs(int n, Pair* pairs) {
    int count = 0;
    for (int i = 1; i <= n; ++i)
        for (int j = i; j <= n; ++j) pairs[count++] = {i, j};
    for (int j = 1; j <= n; ++j) pairs[count++] = {0, j};
    return count;
}

// Spreads the sums of NormalPairs into the full matrix (row length n) and the right-hand side.
void SpreadNormal(int n, const Pair* pairs, const long double* sums, long double* LMatr,
                  long double* LCol) {
    for (int e = 0; e < n * (n + 1) / 2 + n; ++e) {
        const int i = pairs[e].i, j = pairs[e].j;
        if (i == 0) {
            LCol[j - 1] = sums[e];
        } else {
            LMatr[(i - 1) * n + (j - 1)] = sums[e];
            LMatr[(j - 1) * n + (i - 1)] = sums[e];
        }
    }
}

// Range rules of a step, strict comparisons so that a NaN stays.  The radius resets are
// doubles widened on purpose.
void KeepInRange(long double* par) {
    if (par[1] > 1.0L) par[1] = 1.0L;
    if (par[1] < 0.0L) par[1] = 0.0L;
    if (par[3] > 1.0L) par[3] = 1.0L;
    if (par[3] < 0.0L) par[3] = 0.0L;
    if (par[4] > 1.0L || par[4] < 0.0L) par[4] = 0.09;
    if (par[5] > 1.0L || par[5] < 0.0L) par[5] = 0.009;
}

// Applies the increments `dpar` of the fitted parameters (in bit order, the period last) to par
// and *period, then the range rules; returns the sum of the applied |increments|. With the
// period the time unknowns are T_n and P, as in the design set (with the phase of least
// separation of the orbit before the step); the phase parameter follows them.
long double ApplyStep(const long double* dpar, long double* par, long double* period,
                      long double epoch, int parflag) {
    const bool fit_period = parflag & kFitPeriod;
    long double mmin = 0.0L, tref = 0.0L;
    if (fit_period) {
        mmin = phmin_ci(EvalEccentricity(par[1]), par[2], par[3]);
        tref = ((par[0] + mmin) * *period) / kTwoPi + epoch * *period;
    }
    long double step = 0.0L;
    int next = 0;
    for (int index = 0; index < 6; ++index) {
        if (!(parflag & (1 << index))) continue;
        const long double delta = dpar[next++];
        step = step + std::fabs(delta);
        if (fit_period && index == 0)
            tref = tref + delta;
        else
            par[index] = par[index] + delta;
    }
    if (fit_period) {
        long double delta = dpar[next++];
        if (*period + delta <= 0.0L) delta = -*period / 2;  // NaN passes, as in the rules below
        step = step + std::fabs(delta);
        *period = *period + delta;
        par[0] = (kTwoPi * (tref - epoch * *period)) / *period - mmin;
    }
    KeepInRange(par);
    return step;
}

}  // namespace

void fitted_lin(long double* linfit, const long double* data, const long double* lset,
                std::int64_t pointnum, int parflag, int ldflag) {
    fitted_lin_period(linfit, data, lset, pointnum, parflag & ~kFitPeriod, ldflag);
}

void fitted_lin_period(long double* linfit, const long double* data, const long double* lset,
                       std::int64_t pointnum, int parflag, int ldflag) {
    const FitCounts fc = count_fit_period(parflag, ldflag);
    const int n = fc.ldnum - 1;
    long double LMatr[25] = {};
    long double LCol[5] = {};
    Pair pairs[kMaxPairs];
    const int count = NormalPairs(n, pairs);
    long double sums[kMaxPairs];
    PairSums(
        pointnum, pairs, count,
        [&](std::int64_t begin, int points, SumBlock* block) {
            for (int p = 0; p < points; ++p) {
                const std::int64_t i = begin + p;
                if (i + kAhead < pointnum) PrefetchRow(lset, fc.len, 0, n, i + kAhead);
                const long double* B = lset + i * fc.len;
                const long double sigma = data[3 * i + 2];
                block->v[p] = sigma * sigma;
                // The uniform term keeps its fixed coefficient 1 and moves to the data side.
                block->c[p][0] = data[3 * i + 1] - B[0];
                CopyFew(block->c[p] + 1, B + 1, n);
            }
        },
        sums);
    SpreadNormal(n, pairs, sums, LMatr, LCol);
    const long double det = LinearSolve_L(LMatr, LCol, linfit, n);
    if (det == 0.0L) StopSingular("null det linfit \n");  // exact on purpose; NaN passes
}

void linfit2ld(long double* ld, const long double* linfit, int ldflag) {
    long double s = 1.0L;
    int next = 0;
    for (int term = 0; term < 3; ++term)
        if (ldflag & (2 << term)) s = s - kLf[term] * linfit[next++];
    s = s / kPi;  // s = 1/S
    for (int k = 0; k < next; ++k) ld[k] = linfit[k] / s;
}

long double residual(const long double* lset, const long double* data, std::int64_t pointnum,
                     int parflag, int ldflag) {
    long double linf[kMaxCoefficients];
    fitted_lin(linf, data, lset, pointnum, parflag, ldflag);
    return residual_with(lset, data, pointnum, parflag, ldflag, linf);
}

long double residual_with(const long double* lset, const long double* data, std::int64_t pointnum,
                          int parflag, int ldflag, const long double* linf) {
    return residual_period(lset, data, pointnum, parflag & ~kFitPeriod, ldflag, linf);
}

long double residual_period(const long double* lset, const long double* data, std::int64_t pointnum,
                            int parflag, int ldflag, const long double* linf) {
    const FitCounts fc = count_fit_period(parflag, ldflag);
    // One sum of whole terms, formed in the fill.
    const Pair pair = {kTermColumn, 0};
    long double res;
    PairSums(
        pointnum, &pair, 1,
        [&](std::int64_t begin, int points, SumBlock* block) {
            for (int p = 0; p < points; ++p) {
                const std::int64_t i = begin + p;
                if (i + kAhead < pointnum) PrefetchRow(lset, fc.len, 0, fc.ldnum - 1, i + kAhead);
                const long double* B = lset + i * fc.len;
                long double s = B[0];
                for (int k = 1; k < fc.ldnum; ++k) s = B[k] * linf[k - 1] + s;
                s = s - data[3 * i + 1];
                const long double eps = data[3 * i + 2] * data[3 * i + 2];
                block->c[p][0] = (s / eps) * s;
            }
        },
        &res);
    return res / pointnum;
}

void normal_equations(const long double* lset, const long double* data, std::int64_t pointnum,
                      int parflag, int ldflag, const long double* linf, long double* LMatr,
                      long double* LCol) {
    normal_equations_period(lset, data, pointnum, parflag & ~kFitPeriod, ldflag, linf, LMatr, LCol);
}

void normal_equations_period(const long double* lset, const long double* data,
                             std::int64_t pointnum, int parflag, int ldflag,
                             const long double* linf, long double* LMatr, long double* LCol) {
    const FitCounts fc = count_fit_period(parflag, ldflag);
    const int n = fc.parnum + fc.ldnum - 1;
    for (int a = 0; a < n * n; ++a) LMatr[a] = 0.0L;
    for (int a = 0; a < n; ++a) LCol[a] = 0.0L;
    Pair pairs[kMaxPairs];
    const int count = NormalPairs(n, pairs);
    long double sums[kMaxPairs];
    PairSums(
        pointnum, pairs, count,
        [&](std::int64_t begin, int points, SumBlock* block) {
            for (int p = 0; p < points; ++p) {
                const std::int64_t i = begin + p;
                if (i + kAhead < pointnum) PrefetchRow(lset, fc.len, 0, fc.len - 1, i + kAhead);
                const long double* R = lset + i * fc.len;
                block->v[p] = data[3 * i + 2] * data[3 * i + 2];
                // Row m of the point's block: the model (m = 0) and its derivatives at fixed
                // coefficients, then the basis values as derivatives by the coefficients.
                long double* d = block->c[p];
                for (int m = 0; m <= fc.parnum; ++m) {
                    const long double* row = R + m * fc.ldnum;
                    long double f = row[0];
                    for (int k = 1; k < fc.ldnum; ++k) f = f + row[k] * linf[k - 1];
                    d[m] = f;
                }
                CopyFew(d + fc.parnum + 1, R + 1, fc.ldnum - 1);
                d[0] = data[3 * i + 1] - d[0];  // the residual y - F
            }
        },
        sums);
    SpreadNormal(n, pairs, sums, LMatr, LCol);
}

long double lm_step(const long double* lset, const long double* data, std::int64_t pointnum,
                    long double* par, int parflag, int ldflag, long double lambda) {
    long double linf[kMaxCoefficients];
    fitted_lin(linf, data, lset, pointnum, parflag, ldflag);
    return lm_step_with(lset, data, pointnum, par, parflag, ldflag, lambda, linf);
}

long double lm_step_with(const long double* lset, const long double* data, std::int64_t pointnum,
                         long double* par, int parflag, int ldflag, long double lambda,
                         const long double* linf) {
    long double period = 1.0L;  // not read or changed without the period's bit
    return lm_step_period(lset, data, pointnum, par, &period, 0.0L, parflag & ~kFitPeriod, ldflag,
                          lambda, linf);
}

long double lm_step_period(const long double* lset, const long double* data, std::int64_t pointnum,
                           long double* par, long double* period, long double epoch, int parflag,
                           int ldflag, long double lambda, const long double* linf) {
    const FitCounts fc = count_fit_period(parflag, ldflag);
    const int n = fc.parnum + fc.ldnum - 1;
    long double LMatr[kMaxUnknowns * kMaxUnknowns];
    long double LCol[kMaxUnknowns];
    long double dpar[kMaxUnknowns];
    normal_equations_period(lset, data, pointnum, parflag, ldflag, linf, LMatr, LCol);

    // The damping grows with the length of the gradient, the same on every diagonal entry.
    long double g2 = 0.0L;
    for (int a = 0; a < n; ++a) g2 = g2 + LCol[a] * LCol[a];
    const long double mu = std::sqrt(g2);
    for (int a = 0; a < n; ++a) LMatr[a * n + a] = LMatr[a * n + a] + lambda * mu;

    const long double det = LinearSolve_L(LMatr, LCol, dpar, n);
    if (det == 0.0L) StopSingular("null det lm");  // exact on purpose; NaN passes

    return ApplyStep(dpar, par, period, epoch, parflag);
}

bool improves_best(std::int64_t i, long double m, long double min) {
    return i == 1 || m < min || (std::isnan(min) && !std::isnan(m));
}

// =============================================================================================
// Time of mid-transit and uncertainties of the reported values
// =============================================================================================

namespace {

// ∂M_min/∂p for slot `slot` (1 e, 2 ω, 3 cos² i) by a central difference, one-sided at the
// edges of e ≥ 0 and 0 ≤ cos² i ≤ 1; a step across the ±π seam is unwrapped.
long double MidTransitSlope(const long double* params, int slot) {
    constexpr long double h = 1e-7L;
    long double lo[6], hi[6];
    for (int i = 0; i < 6; ++i) lo[i] = hi[i] = params[i];
    lo[slot] -= h;
    hi[slot] += h;
    if (slot != 2 && lo[slot] < 0.0L) lo[slot] = params[slot];
    if (slot == 1 && hi[slot] >= 1.0L) hi[slot] = params[slot];
    if (slot == 3 && hi[slot] > 1.0L) hi[slot] = params[slot];
    const long double diff = std::remainder(phmin_ci(EvalEccentricity(hi[1]), hi[2], hi[3]) -
                                                phmin_ci(EvalEccentricity(lo[1]), lo[2], lo[3]),
                                            kTwoPi);
    return diff / (hi[slot] - lo[slot]);
}

}  // namespace

long double mid_transit_slope(const long double* params, int slot) {
    return MidTransitSlope(params, slot);
}

long double phase_parameter(long double tshift, long double period, const long double* params) {
    const long double X = (2.0L * tshift * kPi) / period;
    return X - phmin_ci(EvalEccentricity(params[1]), params[2], params[3]);
}

long double mid_transit_time(const long double* params, long double period) {
    const long double mmin = phmin_ci(EvalEccentricity(params[1]), params[2], params[3]);
    return ((params[0] + mmin) * period) / kTwoPi;
}

// The timing information of a point is (∂F/∂M)²/σ², and the covariance of the time of
// mid-transit at epoch n and the period vanishes, for those two alone, when T_n is the centre
// of the data under these weights; the uniform term's row carries the shape of the transit.
long double reference_epoch(const long double* data, std::int64_t pointnum, long double period,
                            const long double* params) {
    std::vector<long double> st(2 * static_cast<std::size_t>(pointnum));
    der_set_norm_ci(st.data(), data, pointnum, period, params, 1, 1);
    const long double t0 = mid_transit_time(params, period);
    long double sw = 0.0L, swt = 0.0L, s1 = 0.0L, s1t = 0.0L;
    for (std::int64_t i = 0; i < pointnum; ++i) {
        const long double v = data[3 * i + 2] * data[3 * i + 2], dt = data[3 * i] - t0;
        const long double w = (st[2 * i + 1] * st[2 * i + 1]) / v;
        sw += w;
        swt += w * dt;
        s1 += 1.0L / v;
        s1t += dt / v;
    }
    const long double centre = sw > 0.0L && std::isfinite(swt / sw) ? swt / sw : s1t / s1;
    const long double epoch = std::nearbyint(centre / period);
    return std::isfinite(epoch) ? epoch : 0.0L;
}

namespace {

// The law coefficients as functions of the free basis coefficients c: u_j = π·c_j/(D·h) with
// D = 1 - Σ Lf_b·c_b over the free terms and h the factor of the held ones (1 without).
struct LawTerms {
    int nfree = 0;
    long double lf[kMaxCoefficients] = {};  // Lf of each free term, 0 for bits beyond three
    int slot[kMaxCoefficients] = {};        // its entry of the reported coefficients
    long double held_scale = 1.0L;
};

// 1σ of the reported values from the covariance `cov` (n×n, scaled already) of the fitted
// parameters in bit order (the period last, with kFitPeriod) and then the free basis
// coefficients c.
void PropagateCovariance(const long double* cov, int n, long double period,
                         const long double* params, int parflag, const LawTerms& law,
                         const long double* c, long double epoch, FitUncertainties* result) {
    FitUncertainties& out = *result;
    const bool fit_period = parflag & kFitPeriod;
    const int parnum = count_fit_period(parflag, 1).parnum;
    // Covariance and σ of linear functions with gradients `a` and `b` over the unknowns.
    auto covariance = [&](const long double* a, const long double* b) {
        long double var = 0.0L;
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) var += a[i] * cov[i * n + j] * b[j];
        return var;
    };
    auto sigma = [&](const long double* grad) { return std::sqrt(covariance(grad, grad)); };
    // What the covariance cannot give (a variance that rounding made negative, or NaN) is
    // unbounded, and shown as such.
    auto bounded = [](long double s) { return s >= 0.0L ? s : INFINITY; };

    int unknown[7];  // position of each fitted parameter (the period last) among the unknowns
    for (int i = 0, next = 0; i < 7; ++i) unknown[i] = (parflag & (1 << i)) ? next++ : -1;
    long double grad[kMaxUnknowns];
    auto clear = [&] {
        for (long double& v : grad) v = 0.0L;
    };

    // Time of mid-transit T = (φ0 + M_min(e, ω, cos² i))·P/(2π), when it is fitted; it then
    // moves with e, ω and cos² i as well, where those are fitted too. With the period the
    // unknowns are T_n and P, and T = T_n - n·P. The gradient of T_n is kept for its block.
    long double gtref[kMaxUnknowns] = {}, gperiod[kMaxUnknowns] = {};
    if (parflag & 1) {
        clear();
        const long double tscale = period / kTwoPi;
        if (unknown[0] >= 0) grad[unknown[0]] = fit_period ? 1.0L : tscale;
        for (int slot = 1; slot <= 3; ++slot)
            if (unknown[slot] >= 0) grad[unknown[slot]] = tscale * MidTransitSlope(params, slot);
        std::copy(grad, grad + kMaxUnknowns, gtref);
        if (fit_period) grad[unknown[6]] = -epoch;
        out.par[0] = sigma(grad);
    }
    if (fit_period) {
        gperiod[unknown[6]] = 1.0L;
        out.period = sigma(gperiod);
        if (parflag & 1) {
            out.tref_sigma = sigma(gtref);
            const long double s = out.tref_sigma * out.period;
            out.correlation = s > 0.0L ? covariance(gtref, gperiod) / s : 0.0L;
        }
    }
    const long double deg = 180.0L / kPi;
    for (int slot : {1, 2, 4, 5}) {
        if (unknown[slot] < 0) continue;
        clear();
        grad[unknown[slot]] = slot == 2 ? deg : 1.0L;
        out.par[slot] = sigma(grad);
    }
    if (unknown[3] >= 0) {
        // i = acos(√(cos² i)) has an infinite slope at i = 90°, where cos² i is quadratic in
        // the angle: take half the width of the image of the 1σ interval of cos² i instead,
        // which is the linear propagation wherever that is meaningful.
        clear();
        grad[unknown[3]] = 1.0L;
        const long double s = sigma(grad), ci = params[3];
        const long double lo = std::fmax(ci - s, 0.0L), hi = std::fmin(ci + s, 1.0L);
        out.par[3] = std::isfinite(s)
                         ? deg * (std::acos(std::sqrt(lo)) - std::acos(std::sqrt(hi))) / 2.0L
                         : INFINITY;
    }

    // Law coefficients u_j = π·c_j/(D·h) with D = 1 - Σ Lf_b·c_b.
    long double D = 1.0L;
    for (int k = 0; k < law.nfree; ++k) D -= law.lf[k] * c[k];
    for (int j = 0; j < law.nfree; ++j) {
        clear();
        for (int k = 0; k < law.nfree; ++k)
            grad[parnum + k] =
                (kPi * c[j] * law.lf[k] / (D * D) + (j == k ? kPi / D : 0.0L)) / law.held_scale;
        out.ld[law.slot[j]] = sigma(grad);
    }
    for (int i = 0; i < 6; ++i)
        if (unknown[i] >= 0) out.par[i] = bounded(out.par[i]);
    for (int j = 0; j < law.nfree; ++j) out.ld[law.slot[j]] = bounded(out.ld[law.slot[j]]);
}

}  // namespace

FitUncertainties fit_uncertainties(const long double* lset, const long double* data,
                                   std::int64_t pointnum, long double period,
                                   const long double* params, int parflag, int ldflag,
                                   long double chi2) {
    return fit_uncertainties_period(lset, data, pointnum, period, params, parflag & ~kFitPeriod,
                                    ldflag, chi2, 0.0L);
}

FitUncertainties fit_uncertainties_period(const long double* lset, const long double* data,
                                          std::int64_t pointnum, long double period,
                                          const long double* params, int parflag, int ldflag,
                                          long double chi2, long double epoch) {
    FitUncertainties out{};
    const bool fit_period = parflag & kFitPeriod;
    if (fit_period) {
        out.epoch = epoch;
        out.tref = mid_transit_time(params, period) + epoch * period;
    }
    const FitCounts fc = count_fit_period(parflag, ldflag);
    const int n = fc.parnum + fc.ldnum - 1;
    if (n == 0) return out;

    long double linf[kMaxCoefficients];
    fitted_lin_period(linf, data, lset, pointnum, parflag, ldflag);
    long double N[kMaxUnknowns * kMaxUnknowns], g[kMaxUnknowns];
    normal_equations_period(lset, data, pointnum, parflag, ldflag, linf, N, g);

    // Covariance: the inverse of the undamped normal matrix, column by column, scaled by the
    // reduced chi-square when the scatter exceeds the quoted uncertainties.
    long double cov[kMaxUnknowns * kMaxUnknowns];
    const long double scale = chi2 > 1.0L ? chi2 : 1.0L;
    for (int col = 0; col < n; ++col) {
        long double unit[kMaxUnknowns] = {}, x[kMaxUnknowns];
        unit[col] = 1.0L;
        if (LinearSolve_L(N, unit, x, n) == 0.0L) {
            // No information on some combination of the unknowns: nothing is bounded.
            for (int i = 0; i < 6; ++i) out.par[i] = (parflag & (1 << i)) ? INFINITY : 0.0L;
            for (int k = 0; k + 1 < fc.ldnum; ++k) out.ld[k] = INFINITY;
            if (fit_period) out.period = INFINITY;
            if (fit_period && (parflag & 1)) out.tref_sigma = INFINITY;
            return out;
        }
        for (int row = 0; row < n; ++row) cov[row * n + col] = x[row] * scale;
    }
    LawTerms law;
    law.nfree = fc.ldnum - 1;
    for (int term = 0, k = 0; term < 3; ++term)
        if (ldflag & (2 << term)) law.lf[k++] = kLf[term];
    for (int k = 0; k < law.nfree; ++k) law.slot[k] = k;
    PropagateCovariance(cov, n, period, params, parflag, law, linf, epoch, &out);
    return out;
}

// =============================================================================================
// The linear part of the model beyond the limb darkening: zero-point, trends, held coefficients
// =============================================================================================

LinearModel linear_model(const RunOptions& options) {
    LinearModel model;
    model.held = options.held & (2 | 4 | 8);
    for (int term = 0; term < 3; ++term) model.held_value[term] = options.held_value[term];
    if (options.trend >= 0) {
        model.degree = options.trend;
        model.per_transit = true;
    } else if (options.zeropoint) {
        model.degree = 0;
    }
    return model;
}

bool linear_model_used(const LinearModel& model) { return model.held != 0 || model.degree >= 0; }

void set_windows(LinearModel* model, const long double* data, std::int64_t pointnum,
                 long double period, const long double* params) {
    const long double t0 = mid_transit_time(params, period);
    model->window.assign(static_cast<std::size_t>(pointnum), 0);
    model->tau.resize(static_cast<std::size_t>(pointnum));
    model->centre.clear();
    // Transit number of each point: the nearest mid-transit t0 + kP.
    std::vector<long double> cycle(static_cast<std::size_t>(pointnum), 0.0L);
    const bool finite = std::isfinite(t0) && std::isfinite(period) && period > 0.0L;
    if (model->per_transit && finite)
        for (std::int64_t i = 0; i < pointnum; ++i)
            cycle[i] = std::nearbyint((data[3 * i] - t0) / period);
    std::vector<long double> cycles(cycle);
    std::sort(cycles.begin(), cycles.end());
    cycles.erase(std::unique(cycles.begin(), cycles.end()), cycles.end());
    for (long double k : cycles) model->centre.push_back(finite ? t0 + k * period : 0.0L);
    model->windows = static_cast<int>(cycles.size());
    for (std::int64_t i = 0; i < pointnum; ++i) {
        const int w = static_cast<int>(std::lower_bound(cycles.begin(), cycles.end(), cycle[i]) -
                                       cycles.begin());
        model->window[i] = w;
        model->tau[i] = data[3 * i] - model->centre[w];
    }
    std::vector<std::vector<long double>> times(cycles.size());
    for (std::int64_t i = 0; i < pointnum; ++i) times[model->window[i]].push_back(data[3 * i]);
    model->order.assign(cycles.size(), model->degree);
    for (std::size_t w = 0; w < times.size(); ++w) {
        std::sort(times[w].begin(), times[w].end());
        const auto distinct = std::unique(times[w].begin(), times[w].end()) - times[w].begin();
        if (distinct <= model->degree) model->order[w] = static_cast<int>(distinct) - 1;
    }
}

namespace {

constexpr int kMaxRows = 8;  // rows of a point's block: the value, six derivatives, the period

// How the basis terms enter for one linear model. A held law coefficient u_j ties its basis
// coefficient to the free ones: with S = π + Σ Lf_b·u_b over all terms, c_j = u_j/S gives
// c_j = β_j·(1 - Σ_F Lf_b·c_b), the sum over the free terms, with β_j = u_j/(π + Σ_H Lf·u)
// over the held ones. So G = B̃_0 + Σ_F c_k·B̃_k with the folded basis B̃_0 = B_0 + h and
// B̃_k = B_k - Lf_k·h, h = Σ_H β_j·B_j.
struct LinearSetup {
    FitCounts fc;
    int nfree = 0;
    int free_basis[kMaxCoefficients] = {};        // basis index of each free term
    long double beta[kMaxCoefficients + 1] = {};  // by basis index; 0 unless held
    bool any_held = false;
    LawTerms law;  // the free terms' weights; held_scale = 1 - Σ_H Lf_j·β_j
    int D = 0;     // baseline coefficients per window
    int W = 0;     // windows
};

LinearSetup SetUpLinear(const LinearModel& model, int parflag, int ldflag) {
    LinearSetup s;
    s.fc = count_fit_period(parflag, ldflag);
    long double held_lf_u = 0.0L;
    for (int term = 0; term < 3; ++term)
        if ((ldflag & (2 << term)) && (model.held & (2 << term)))
            held_lf_u += kLf[term] * model.held_value[term];
    const long double norm = kPi + held_lf_u;
    long double scale = 1.0L;
    // Basis index k = 1 … ldnum - 1 runs over the terms in use in bit order; bits beyond the
    // three law terms are free terms with no weight in the normalisation.
    for (int bit = 2, k = 1; bit <= 32 && k < s.fc.ldnum; bit <<= 1) {
        if (!(ldflag & bit)) continue;
        const int term = bit == 2 ? 0 : bit == 4 ? 1 : bit == 8 ? 2 : -1;
        if (term >= 0 && (model.held & bit)) {
            s.beta[k] = model.held_value[term] / norm;
            scale -= kLf[term] * s.beta[k];
            s.any_held = true;
        } else {
            s.law.lf[s.nfree] = term >= 0 ? kLf[term] : 0.0L;
            s.law.slot[s.nfree] = k - 1;
            s.free_basis[s.nfree++] = k;
        }
        ++k;
    }
    s.law.nfree = s.nfree;
    s.law.held_scale = scale;
    s.D = model.degree + 1;
    s.W = s.D > 0 ? model.windows : 0;
    return s;
}

// The folded basis B̃ of one row of a point's block (ldnum entries) into out[0 … nfree].
void FoldRow(const LinearSetup& s, const long double* row, long double* out) {
    long double h = 0.0L;
    if (s.any_held)
        for (int k = 1; k < s.fc.ldnum; ++k) h = h + s.beta[k] * row[k];
    out[0] = row[0] + h;
    for (int f = 0; f < s.nfree; ++f) out[1 + f] = row[s.free_basis[f]] - s.law.lf[f] * h;
}

// Normal equations of the linear part, with `rows` parameter derivatives in front of the free
// coefficients among the global unknowns g; the baseline's unknowns form one block per window.
struct LinearSystem {
    int ng = 0, D = 0, W = 0;
    std::vector<long double> Agg, bg;      // ng×ng, ng
    std::vector<long double> Aw, Awg, bw;  // per window: D×D, D×ng, D
    long double chi2 = 0.0L;               // Σ r²/σ² at the coefficients given
};

void AccumulateLinear(const LinearSetup& s, const LinearModel& model, const long double* lset,
                      const long double* data, std::int64_t pointnum, const LinearFit& fit,
                      int rows, LinearSystem* sys) {
    const int ng = rows + s.nfree, D = s.D;
    sys->ng = ng;
    sys->D = D;
    sys->W = s.W;
    sys->Agg.assign(static_cast<std::size_t>(ng) * ng, 0.0L);
    sys->bg.assign(ng, 0.0L);
    sys->Aw.assign(static_cast<std::size_t>(s.W) * D * D, 0.0L);
    sys->Awg.assign(static_cast<std::size_t>(s.W) * D * ng, 0.0L);
    sys->bw.assign(static_cast<std::size_t>(s.W) * D, 0.0L);
    long double chi2 = 0.0L;
    for (std::int64_t i = 0; i < pointnum; ++i) {
        const long double* R = lset + i * s.fc.len;
        long double B[kMaxRows][kMaxCoefficients + 1], G[kMaxRows];
        for (int m = 0; m <= rows; ++m) {
            FoldRow(s, R + m * s.fc.ldnum, B[m]);
            G[m] = B[m][0];
            for (int f = 0; f < s.nfree; ++f) G[m] = G[m] + B[m][1 + f] * fit.c[f];
        }
        long double power[3] = {1.0L, 0.0L, 0.0L}, P = 1.0L;
        const int w = D > 0 ? model.window[i] : 0;
        if (D > 0) {
            for (int d = 1; d < D; ++d) power[d] = power[d - 1] * model.tau[i];
            P = 0.0L;
            for (int d = D - 1; d >= 0; --d) P = P + fit.a[w * D + d] * power[d];
        }
        const long double r = data[3 * i + 1] - P * G[0];
        const long double v = data[3 * i + 2] * data[3 * i + 2];
        chi2 = chi2 + (r / v) * r;
        long double Jg[kMaxUnknowns], Jw[3];
        for (int m = 1; m <= rows; ++m) Jg[m - 1] = P * G[m];
        for (int f = 0; f < s.nfree; ++f) Jg[rows + f] = P * B[0][1 + f];
        for (int d = 0; d < D; ++d) Jw[d] = power[d] * G[0];
        for (int a = 0; a < ng; ++a) {
            for (int b = 0; b < ng; ++b) sys->Agg[a * ng + b] += (Jg[a] * Jg[b]) / v;
            sys->bg[a] += (r * Jg[a]) / v;
        }
        for (int d = 0; d < D; ++d) {
            long double* Aw = sys->Aw.data() + static_cast<std::size_t>(w) * D * D;
            long double* Awg = sys->Awg.data() + static_cast<std::size_t>(w) * D * ng;
            for (int e = 0; e < D; ++e) Aw[d * D + e] += (Jw[d] * Jw[e]) / v;
            for (int a = 0; a < ng; ++a) Awg[d * ng + a] += (Jw[d] * Jg[a]) / v;
            sys->bw[w * D + d] += (r * Jw[d]) / v;
        }
    }
    // Coefficients beyond what a window's times determine stay at 0: their equations become
    // Δa = 0.
    for (int w = 0; w < s.W; ++w)
        for (int d = model.order[w] + 1; d < D; ++d) {
            long double* Aw = sys->Aw.data() + static_cast<std::size_t>(w) * D * D;
            for (int e = 0; e < D; ++e) Aw[d * D + e] = Aw[e * D + d] = 0.0L;
            Aw[d * D + d] = 1.0L;
            for (int a = 0; a < ng; ++a)
                sys->Awg[(static_cast<std::size_t>(w) * D + d) * ng + a] = 0.0L;
            sys->bw[w * D + d] = 0.0L;
        }
    sys->chi2 = chi2;
}

// The system with the window blocks eliminated: per window X_w = A_w⁻¹·[A_wg | b_w], the
// Schur complement S = A_gg - Σ A_wgᵀ·X_w and its right-hand side. `damping` is added to the
// diagonal of A_gg first; false when a determinant is exactly 0.
struct ReducedSystem {
    std::vector<long double> S, rhs, X;  // X: per window D×(ng + 1)
};

bool ReduceLinear(const LinearSystem& sys, long double damping, ReducedSystem* red) {
    const int ng = sys.ng, D = sys.D;
    red->S = sys.Agg;
    red->rhs = sys.bg;
    for (int a = 0; a < ng; ++a) red->S[a * ng + a] = red->S[a * ng + a] + damping;
    red->X.assign(static_cast<std::size_t>(sys.W) * D * (ng + 1), 0.0L);
    std::vector<long double> A(static_cast<std::size_t>(D) * D), col(D), x(D);
    for (int w = 0; w < sys.W; ++w) {
        const long double* Awg = sys.Awg.data() + static_cast<std::size_t>(w) * D * ng;
        long double* X = red->X.data() + static_cast<std::size_t>(w) * D * (ng + 1);
        std::copy_n(sys.Aw.data() + static_cast<std::size_t>(w) * D * D, D * D, A.begin());
        for (int j = 0; j <= ng; ++j) {
            for (int d = 0; d < D; ++d) col[d] = j < ng ? Awg[d * ng + j] : sys.bw[w * D + d];
            if (LinearSolve_L(A.data(), col.data(), x.data(), D) == 0.0L) return false;
            for (int d = 0; d < D; ++d) X[d * (ng + 1) + j] = x[d];
        }
        for (int a = 0; a < ng; ++a) {
            for (int b = 0; b < ng; ++b)
                for (int d = 0; d < D; ++d)
                    red->S[a * ng + b] -= Awg[d * ng + a] * X[d * (ng + 1) + b];
            for (int d = 0; d < D; ++d) red->rhs[a] -= Awg[d * ng + a] * X[d * (ng + 1) + ng];
        }
    }
    return true;
}

// Solves the reduced system: the global increments dg, then each window's da.
bool SolveReduced(const LinearSystem& sys, const ReducedSystem& red, long double* dg,
                  std::vector<long double>* da) {
    const int ng = sys.ng, D = sys.D;
    if (LinearSolve_L(red.S.data(), red.rhs.data(), dg, ng) == 0.0L) return false;
    da->assign(static_cast<std::size_t>(sys.W) * D, 0.0L);
    for (int w = 0; w < sys.W; ++w) {
        const long double* X = red.X.data() + static_cast<std::size_t>(w) * D * (ng + 1);
        for (int d = 0; d < D; ++d) {
            long double v = X[d * (ng + 1) + ng];
            for (int a = 0; a < ng; ++a) v -= X[d * (ng + 1) + a] * dg[a];
            (*da)[w * D + d] = v;
        }
    }
    return true;
}

// Gauss-Newton iterations of the bilinear problem end when a step promises a decrease of the
// chi-square below this fraction of it, or promises no less than the step before (rounding).
constexpr long double kLinearTol = 0x1p-64L;
constexpr int kMaxLinearIterations = 100;

}  // namespace

void fitted_linear(LinearFit* fit, const LinearModel& model, const long double* data,
                   const long double* lset, std::int64_t pointnum, int parflag, int ldflag) {
    const LinearSetup s = SetUpLinear(model, parflag, ldflag);
    fit->c.assign(s.nfree, 0.0L);
    fit->a.assign(static_cast<std::size_t>(s.W) * s.D, 0.0L);
    for (int w = 0; w < s.W; ++w) fit->a[w * s.D] = 1.0L;
    LinearSystem sys;
    ReducedSystem red;
    long double dg[kMaxUnknowns];
    std::vector<long double> da;
    // Without a baseline the problem is linear and one step from c = 0 solves it. With one,
    // the first step solves the baseline alone for c = 0, exactly, and the joint steps follow.
    long double promised = INFINITY;
    for (int it = 0; it < kMaxLinearIterations; ++it) {
        AccumulateLinear(s, model, lset, data, pointnum, *fit, 0, &sys);
        if (it == 0 && s.D > 0 && s.nfree > 0) {
            LinearSystem alone = sys;
            alone.ng = 0;
            alone.Agg.clear();
            alone.bg.clear();
            alone.Awg.clear();
            if (!ReduceLinear(alone, 0.0L, &red) || !SolveReduced(alone, red, dg, &da))
                StopSingular("null det linfit \n");
            for (std::size_t k = 0; k < da.size(); ++k) fit->a[k] = fit->a[k] + da[k];
            continue;
        }
        if (!ReduceLinear(sys, 0.0L, &red) || !SolveReduced(sys, red, dg, &da))
            StopSingular("null det linfit \n");
        long double gain = 0.0L;  // the decrease of Σ r²/σ² the step promises
        for (int a = 0; a < sys.ng; ++a) gain += dg[a] * sys.bg[a];
        for (std::size_t k = 0; k < da.size(); ++k) gain += da[k] * sys.bw[k];
        for (int f = 0; f < s.nfree; ++f) fit->c[f] = fit->c[f] + dg[f];
        for (std::size_t k = 0; k < da.size(); ++k) fit->a[k] = fit->a[k] + da[k];
        if (s.D == 0 || !(gain > kLinearTol * sys.chi2) || !(gain < promised)) break;
        promised = gain;
    }
}

void linear_basis_coefficients(long double* linf, const LinearFit& fit, const LinearModel& model,
                               int ldflag) {
    const LinearSetup s = SetUpLinear(model, 0, ldflag);
    long double free_sum = 1.0L;  // 1 - Σ_F Lf_b·c_b
    for (int f = 0; f < s.nfree; ++f) free_sum -= s.law.lf[f] * fit.c[f];
    for (int k = 1; k < s.fc.ldnum; ++k) linf[k - 1] = s.beta[k] * free_sum;
    for (int f = 0; f < s.nfree; ++f) linf[s.free_basis[f] - 1] = fit.c[f];
}

void linear2ld(long double* ld, const LinearFit& fit, const LinearModel& model, int ldflag) {
    long double linf[kMaxCoefficients];
    linear_basis_coefficients(linf, fit, model, ldflag);
    linfit2ld(ld, linf, ldflag);
    for (int term = 0, k = 0; term < 3; ++term) {
        if (!(ldflag & (2 << term))) continue;
        if (model.held & (2 << term)) ld[k] = model.held_value[term];
        ++k;
    }
}

long double zeropoint_level(const LinearFit& fit, const LinearModel& model) {
    if (model.degree < 0 || model.window.empty()) return 1.0L;
    if (!model.per_transit) return fit.a[0];
    const std::int64_t pointnum = static_cast<std::int64_t>(model.window.size());
    long double sum = 0.0L;
    for (std::int64_t i = 0; i < pointnum; ++i) sum += baseline_at(fit, model, i);
    return sum / pointnum;
}

long double baseline_at(const LinearFit& fit, const LinearModel& model, std::int64_t i) {
    const int D = model.degree + 1;
    if (D == 0) return 1.0L;
    const long double* a = fit.a.data() + static_cast<std::size_t>(model.window[i]) * D;
    long double P = 0.0L;
    for (int d = D - 1; d >= 0; --d) P = P * model.tau[i] + a[d];
    return P;
}

long double residual_linear(const long double* lset, const long double* data, std::int64_t pointnum,
                            int parflag, int ldflag, const LinearModel& model,
                            const LinearFit& fit) {
    const LinearSetup s = SetUpLinear(model, parflag, ldflag);
    LinearSystem sys;
    AccumulateLinear(s, model, lset, data, pointnum, fit, 0, &sys);
    return sys.chi2 / pointnum;
}

long double lm_step_linear(const long double* lset, const long double* data, std::int64_t pointnum,
                           long double* par, int parflag, int ldflag, long double lambda,
                           const LinearModel& model, const LinearFit& fit) {
    long double period = 1.0L;  // not read or changed without the period's bit
    return lm_step_linear_period(lset, data, pointnum, par, &period, 0.0L, parflag & ~kFitPeriod,
                                 ldflag, lambda, model, fit);
}

long double lm_step_linear_period(const long double* lset, const long double* data,
                                  std::int64_t pointnum, long double* par, long double* period,
                                  long double epoch, int parflag, int ldflag, long double lambda,
                                  const LinearModel& model, const LinearFit& fit) {
    const LinearSetup s = SetUpLinear(model, parflag, ldflag);
    LinearSystem sys;
    AccumulateLinear(s, model, lset, data, pointnum, fit, s.fc.parnum, &sys);
    // The damping grows with the length of the gradient, the same on every diagonal entry of
    // the parameters and the free coefficients, as in lm_step. The baseline's unknowns carry
    // the unit of the flux: they stay undamped and are eliminated exactly, so that the step
    // does not depend on that unit.
    long double g2 = 0.0L;
    for (long double g : sys.bg) g2 = g2 + g * g;
    ReducedSystem red;
    long double dpar[kMaxUnknowns];
    std::vector<long double> da;
    if (!ReduceLinear(sys, lambda * std::sqrt(g2), &red) || !SolveReduced(sys, red, dpar, &da))
        StopSingular("null det lm");
    return ApplyStep(dpar, par, period, epoch, parflag);
}

namespace {

// The fitted quantities in the report's order: parameters in bit order (the period, slot 6,
// last), the free law coefficients, the zero-point.
std::vector<FittedQuantity> FittedQuantities(int parflag, int ldflag, const LawTerms& law,
                                             bool zeropoint) {
    static const char* const kNames[6] = {"tshift",      "eccentr", "periastr",
                                          "inclination", "rsun",    "rplanet"};
    static const char* const kTermNames[3] = {"lin", "quad", "sqrt"};
    const char* term_name[kMaxCoefficients] = {};
    for (int term = 0, k = 0; term < 3; ++term)
        if (ldflag & (2 << term)) term_name[k++] = kTermNames[term];
    std::vector<FittedQuantity> q;
    for (int slot = 0; slot < 6; ++slot)
        if (parflag & (1 << slot)) q.push_back({FittedQuantity::kParameter, slot, kNames[slot]});
    if (parflag & kFitPeriod) q.push_back({FittedQuantity::kParameter, 6, "period"});
    for (int f = 0; f < law.nfree; ++f) {
        const char* name = term_name[law.slot[f]];
        q.push_back({FittedQuantity::kCoefficient, law.slot[f], name ? name : "coefficient"});
    }
    if (zeropoint) q.push_back({FittedQuantity::kZeropoint, 0, "zeropoint"});
    return q;
}

// J and J·C·Jᵀ from the covariance of the unknowns in out->unknowns, whose free basis
// coefficients are c: each reported value by the unknowns, as PropagateCovariance propagates
// them, the inclination's row the slope of i across the 1σ interval of cos² i.
void ReportCovariance(FitCovariance* out, long double period, const long double* params,
                      const LawTerms& law, const long double* c, long double epoch) {
    const int n = out->size();
    out->jacobian.assign(n * n, 0.0L);
    out->reported.assign(n * n, 0.0L);
    int unknown[7] = {-1, -1, -1, -1, -1, -1, -1}, parnum = 0;
    for (int a = 0; a < n; ++a)
        if (out->quantities[a].kind == FittedQuantity::kParameter) {
            unknown[out->quantities[a].index] = a;
            ++parnum;
        }
    long double D = 1.0L;
    for (int k = 0; k < law.nfree; ++k) D -= law.lf[k] * c[k];
    const long double deg = 180.0L / kPi;
    for (int r = 0; r < n; ++r) {
        long double* J = &out->jacobian[r * n];
        const FittedQuantity& q = out->quantities[r];
        if (q.kind == FittedQuantity::kZeropoint) {
            J[r] = 1.0L;
        } else if (q.kind == FittedQuantity::kCoefficient) {
            const int j = r - parnum;  // u_j = π·c_j/(D·h) with D = 1 - Σ Lf_b·c_b
            for (int k = 0; k < law.nfree; ++k)
                J[parnum + k] = (kPi * c[j] * law.lf[k] / (D * D) + (j == k ? kPi / D : 0.0L)) /
                                law.held_scale;
        } else if (q.index == 0) {
            // With the period the unknowns are T_n and P, and T = T_n - n·P.
            const long double tscale = period / kTwoPi;
            J[r] = unknown[6] >= 0 ? 1.0L : tscale;
            if (unknown[6] >= 0) J[unknown[6]] = -epoch;
            for (int slot = 1; slot <= 3; ++slot)
                if (unknown[slot] >= 0) J[unknown[slot]] = tscale * MidTransitSlope(params, slot);
        } else if (q.index == 3) {
            const long double s = std::sqrt(out->unknowns[r * n + r]), ci = params[3];
            const long double lo = std::fmax(ci - s, 0.0L), hi = std::fmin(ci + s, 1.0L);
            if (s > 0.0L)
                J[r] = deg * (std::acos(std::sqrt(hi)) - std::acos(std::sqrt(lo))) / (2.0L * s);
        } else {
            J[r] = q.index == 2 ? deg : 1.0L;
        }
    }
    // Each entry once, mirrored, so that the matrix is symmetric to the bit.
    const std::vector<long double>& U = out->unknowns;
    for (int r = 0; r < n; ++r)
        for (int col = r; col < n; ++col) {
            long double v = 0.0L;
            for (int a = 0; a < n; ++a)
                for (int b = 0; b < n; ++b)
                    v += out->jacobian[r * n + a] * U[a * n + b] * out->jacobian[col * n + b];
            out->reported[r * n + col] = out->reported[col * n + r] = v;
        }
}

void Unbounded(FitCovariance* out) {
    const int n = out->size();
    out->bounded = false;
    out->unknowns.assign(n * n, INFINITY);
    out->jacobian.assign(n * n, 0.0L);
    out->reported.assign(n * n, INFINITY);
}

}  // namespace

FitCovariance fit_covariance(const long double* lset, const long double* data,
                             std::int64_t pointnum, long double period, const long double* params,
                             int parflag, int ldflag, long double chi2) {
    return fit_covariance_period(lset, data, pointnum, period, params, parflag & ~kFitPeriod,
                                 ldflag, chi2, 0.0L);
}

FitCovariance fit_covariance_period(const long double* lset, const long double* data,
                                    std::int64_t pointnum, long double period,
                                    const long double* params, int parflag, int ldflag,
                                    long double chi2, long double epoch) {
    const FitCounts fc = count_fit_period(parflag, ldflag);
    LawTerms law;
    law.nfree = fc.ldnum - 1;
    for (int term = 0, k = 0; term < 3; ++term)
        if (ldflag & (2 << term)) law.lf[k++] = kLf[term];
    for (int k = 0; k < law.nfree; ++k) law.slot[k] = k;
    FitCovariance out;
    out.quantities = FittedQuantities(parflag, ldflag, law, false);
    const int n = out.size();
    if (n == 0) return out;

    long double linf[kMaxCoefficients];
    fitted_lin_period(linf, data, lset, pointnum, parflag, ldflag);
    long double N[kMaxUnknowns * kMaxUnknowns], g[kMaxUnknowns];
    normal_equations_period(lset, data, pointnum, parflag, ldflag, linf, N, g);
    const long double scale = chi2 > 1.0L ? chi2 : 1.0L;
    out.unknowns.assign(n * n, 0.0L);
    for (int col = 0; col < n; ++col) {
        long double unit[kMaxUnknowns] = {}, x[kMaxUnknowns];
        unit[col] = 1.0L;
        if (LinearSolve_L(N, unit, x, n) == 0.0L) {
            Unbounded(&out);
            return out;
        }
        for (int row = 0; row < n; ++row) out.unknowns[row * n + col] = x[row] * scale;
    }
    ReportCovariance(&out, period, params, law, linf, epoch);
    return out;
}

std::vector<long double> correlation_matrix(const std::vector<long double>& cov, int n) {
    std::vector<long double> corr(cov.size());
    for (int r = 0; r < n; ++r)
        for (int c = 0; c < n; ++c) {
            const long double vr = cov[r * n + r], vc = cov[c * n + c];
            corr[r * n + c] = vr > 0.0L && vc > 0.0L && std::isfinite(vr) && std::isfinite(vc)
                                  ? cov[r * n + c] / std::sqrt(vr * vc)
                                  : NAN;
        }
    for (int r = 0; r < n; ++r)
        if (!std::isnan(corr[r * n + r])) corr[r * n + r] = 1.0L;  // exact, not 1 ± rounding
    return corr;
}

namespace {

// The joint covariance of the linear model, unscaled: `cov` (ng×ng) of the fitted parameters
// and the free coefficients, the variance of the mean level and q, which gives its covariance
// with them: Cov(L, g) = -S⁻¹·q.  False when a system is singular.
struct LinearCovariance {
    LinearSetup s;
    LinearFit fit;
    int ng = 0, D = 0;
    std::vector<long double> cov, q;
    long double level_var = 0.0L;
};
bool JointLinearCovariance(const long double* lset, const long double* data,
                           std::int64_t pointnum, int parflag, int ldflag,
                           const LinearModel& model, LinearCovariance* out) {
    out->s = SetUpLinear(model, parflag, ldflag);
    const LinearSetup& s = out->s;
    fitted_linear(&out->fit, model, data, lset, pointnum, parflag, ldflag);
    LinearSystem sys;
    AccumulateLinear(s, model, lset, data, pointnum, out->fit, s.fc.parnum, &sys);
    const int ng = sys.ng, D = sys.D;
    out->ng = ng;
    out->D = D;

    // The global block of the joint covariance is the inverse of the Schur complement; a
    // window's constant term has in addition (A_w⁻¹)₀₀ and its coupling through X_w.
    ReducedSystem red;
    std::vector<long double>& cov = out->cov;
    cov.assign(static_cast<std::size_t>(ng) * ng, 0.0L);
    bool regular = ReduceLinear(sys, 0.0L, &red);
    for (int col = 0; regular && col < ng; ++col) {
        long double unit[kMaxUnknowns] = {}, x[kMaxUnknowns];
        unit[col] = 1.0L;
        regular = LinearSolve_L(red.S.data(), unit, x, ng) != 0.0L;
        for (int row = 0; row < ng; ++row) cov[row * ng + col] = x[row];
    }
    // The mean level L = Σ_i P_i/N has the gradient l_w[d] = Σ_{i in w} τ_i^d/N by window w's
    // coefficients; Var L = Σ_w l_wᵀ·A_w⁻¹·l_w + qᵀ·S⁻¹·q with q = Σ_w X_wᵀ·l_w.
    std::vector<long double> l(static_cast<std::size_t>(sys.W) * D, 0.0L);
    for (std::int64_t i = 0; i < pointnum && D > 0; ++i) {
        long double power = 1.0L;
        for (int d = 0; d <= model.order[model.window[i]]; ++d) {
            l[model.window[i] * D + d] += power / pointnum;
            power = power * model.tau[i];
        }
    }
    long double& level_var = out->level_var;
    level_var = 0.0L;
    std::vector<long double>& q = out->q;
    q.assign(ng, 0.0L);
    std::vector<long double> A(static_cast<std::size_t>(D) * D), x(D);
    for (int w = 0; regular && w < sys.W; ++w) {
        const long double* lw = l.data() + static_cast<std::size_t>(w) * D;
        const long double* X = red.X.data() + static_cast<std::size_t>(w) * D * (ng + 1);
        std::copy_n(sys.Aw.data() + static_cast<std::size_t>(w) * D * D, D * D, A.begin());
        regular = LinearSolve_L(A.data(), lw, x.data(), D) != 0.0L;
        for (int d = 0; d < D; ++d) level_var += lw[d] * x[d];
        for (int a = 0; a < ng; ++a)
            for (int d = 0; d < D; ++d) q[a] += X[d * (ng + 1) + a] * lw[d];
    }
    if (!regular) return false;
    if (D > 0)
        for (int a = 0; a < ng; ++a)
            for (int b = 0; b < ng; ++b) level_var += q[a] * cov[a * ng + b] * q[b];
    return true;
}

}  // namespace

FitUncertainties fit_uncertainties_linear(const long double* lset, const long double* data,
                                          std::int64_t pointnum, long double period,
                                          const long double* params, int parflag, int ldflag,
                                          const LinearModel& model, long double chi2) {
    return fit_uncertainties_linear_period(lset, data, pointnum, period, params,
                                           parflag & ~kFitPeriod, ldflag, model, chi2, 0.0L);
}

FitUncertainties fit_uncertainties_linear_period(const long double* lset, const long double* data,
                                                 std::int64_t pointnum, long double period,
                                                 const long double* params, int parflag,
                                                 int ldflag, const LinearModel& model,
                                                 long double chi2, long double epoch) {
    FitUncertainties out{};
    const bool fit_period = parflag & kFitPeriod;
    if (fit_period) {
        out.epoch = epoch;
        out.tref = mid_transit_time(params, period) + epoch * period;
    }
    LinearCovariance lc;
    const bool regular = JointLinearCovariance(lset, data, pointnum, parflag, ldflag, model, &lc);
    const LinearSetup& s = lc.s;
    if (!regular) {
        // No information on some combination of the unknowns: nothing is bounded.
        for (int i = 0; i < 6; ++i) out.par[i] = (parflag & (1 << i)) ? INFINITY : 0.0L;
        for (int f = 0; f < s.nfree; ++f) out.ld[s.law.slot[f]] = INFINITY;
        if (lc.D > 0) out.zeropoint = INFINITY;
        if (fit_period) out.period = INFINITY;
        if (fit_period && (parflag & 1)) out.tref_sigma = INFINITY;
        return out;
    }
    const long double scale = chi2 > 1.0L ? chi2 : 1.0L;
    if (lc.D > 0) out.zeropoint = std::sqrt(lc.level_var * scale);
    for (long double& v : lc.cov) v = v * scale;
    PropagateCovariance(lc.cov.data(), lc.ng, period, params, parflag, s.law, lc.fit.c.data(),
                        epoch, &out);
    return out;
}

FitCovariance fit_covariance_linear(const long double* lset, const long double* data,
                                    std::int64_t pointnum, long double period,
                                    const long double* params, int parflag, int ldflag,
                                    const LinearModel& model, long double chi2) {
    return fit_covariance_linear_period(lset, data, pointnum, period, params,
                                        parflag & ~kFitPeriod, ldflag, model, chi2, 0.0L);
}

FitCovariance fit_covariance_linear_period(const long double* lset, const long double* data,
                                           std::int64_t pointnum, long double period,
                                           const long double* params, int parflag, int ldflag,
                                           const LinearModel& model, long double chi2,
                                           long double epoch) {
    LinearCovariance lc;
    const bool regular = JointLinearCovariance(lset, data, pointnum, parflag, ldflag, model, &lc);
    FitCovariance out;
    out.quantities = FittedQuantities(parflag, ldflag, lc.s.law, lc.D > 0);
    const int n = out.size(), ng = lc.ng;
    if (n == 0) return out;
    if (!regular) {
        Unbounded(&out);
        return out;
    }
    // The unknowns: the ng global ones, then the level when there is a baseline.
    const long double scale = chi2 > 1.0L ? chi2 : 1.0L;
    out.unknowns.assign(n * n, 0.0L);
    for (int a = 0; a < ng; ++a)
        for (int b = 0; b < ng; ++b) out.unknowns[a * n + b] = lc.cov[a * ng + b] * scale;
    if (lc.D > 0) {
        for (int a = 0; a < ng; ++a) {
            long double v = 0.0L;
            for (int b = 0; b < ng; ++b) v -= lc.cov[a * ng + b] * lc.q[b];
            out.unknowns[a * n + ng] = out.unknowns[ng * n + a] = v * scale;
        }
        out.unknowns[ng * n + ng] = lc.level_var * scale;
    }
    ReportCovariance(&out, period, params, lc.s.law, lc.fit.c.data(), epoch);
    return out;
}

// =============================================================================================
// The run's input as the command-line tools read it
// =============================================================================================

namespace {

// Values the model cannot use are refused where they are read, naming the key and the value:
// a NaN or an infinity passes every later step unnoticed and ends as a report of NaNs or as a
// singular system that blames the data. The period has had its correction (≤ 0 becomes 1), so
// a finite period is positive.
bool ValuesInRange(const long double* inp) {
    const struct {
        InputSlot slot;
        const char* key;
    } finite[] = {{kInTshift, "tshift"},     {kInEccentr, "eccentr"},
                  {kInPeriastr, "periastr"}, {kInInclination, "inclination"},
                  {kInRsun, "rsun"},         {kInRplanet, "rplanet"},
                  {kInPeriod, "period"},     {kInLm, "lm"}};
    for (const auto& f : finite) {
        if (!std::isfinite(inp[f.slot])) {
            std::printf("The input file holds a value of %s that is not a finite number: %.19Lg\n",
                        f.key, inp[f.slot]);
            return false;
        }
    }
    if (!(inp[kInEccentr] >= 0.0L && inp[kInEccentr] <= 1.0L)) {
        std::printf("The input file holds a value of eccentr outside [0, 1]: %.19Lg\n",
                    inp[kInEccentr]);
        return false;
    }
    if (inp[kInRplanet] < 0.0L) {
        std::printf("The input file holds a negative value of rplanet: %.19Lg\n", inp[kInRplanet]);
        return false;
    }
    return true;
}

}  // namespace

bool read_parameters(const char* fnm, long double* inp, long double* par, int* pflag, int* lflag) {
    inp[kInTshift] = 0.0L;
    const int res = load_input(fnm, inp, pflag, lflag);
    if (res == 1) {
        std::printf("The input file can not be opened.");
        return false;
    }
    // A radius that is zero, negative or not a number would divide every model evaluation by
    // zero; values of 1 and above are unusual but meaningful and pass.
    if (res == 2 || !(inp[kInRsun] > 0.0L)) {
        std::printf("The input file does not contain a valid value of radius of star (0 < R* < 1)");
        return false;
    }
    // An endless run is never what was meant; a count below 1 or NaN runs no step.
    if (std::isinf(inp[kInIterations]) && inp[kInIterations] > 0.0L) {
        std::printf("The input file asks for an infinite number of iterations.\n");
        return false;
    }

    if (!ValuesInRange(inp)) return false;

    for (int i = 1; i <= 5; ++i) par[i] = inp[i];
    // Times π first, then / 180: the order fixes the last bit of cos² i.
    const long double theta = (inp[kInInclination] * kPi) / 180.0L;
    const long double ci = std::cos(theta);
    par[3] = ci * ci;
    par[2] = par[2] * kDegToRad;
    par[0] = 0.0L;  // the phase parameter is set once the period is known to the fit
    return true;
}

namespace {

// The word after the first occurrence of `key`: false when the key is absent; an empty word
// when nothing but blanks follows it on its line.
bool WordAfterKey(const std::string& text, const char* key, std::string* word) {
    const std::size_t at = text.find(key);
    if (at == std::string::npos) return false;
    std::size_t begin = at + std::strlen(key);
    while (begin < text.size() && IsBlank(text[begin])) ++begin;
    std::size_t end = begin;
    while (end < text.size() && !IsBlank(text[end]) && text[end] != '\n') ++end;
    *word = text.substr(begin, end - begin);
    return true;
}

// The blank-separated words of text[from …] up to the line end.
std::vector<std::string> WordsToLineEnd(const std::string& text, std::size_t from) {
    std::vector<std::string> words;
    std::string word;
    for (std::size_t i = from; i <= text.size(); ++i) {
        const char c = i < text.size() ? text[i] : '\n';
        if (c == '\n' || c == ' ' || c == '\t' || c == '\r') {
            if (!word.empty()) words.push_back(word);
            word.clear();
            if (c == '\n') break;
        } else {
            word += c;
        }
    }
    return words;
}

// The position right after the first line whose first word is `key`, or npos. The keys beyond
// the twelve are read only there, so that a comment or another word that holds them does not
// count.
std::size_t LineKey(const std::string& text, const std::string& key) {
    for (std::size_t line = 0; line < text.size();) {
        std::size_t at = line;
        while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
        const std::size_t after = at + key.size();
        if (text.compare(at, key.size(), key) == 0 &&
            (after >= text.size() || text[after] == ' ' || text[after] == '\t' ||
             text[after] == '\r' || text[after] == '\n'))
            return after;
        const std::size_t end = text.find('\n', line);
        if (end == std::string::npos) break;
        line = end + 1;
    }
    return std::string::npos;
}

// "exposure" as the first word of a line, then the length of each exposure in the time unit of
// the table: one whole finite number of zero or more. Absent gives 0, the model at the time.
bool ReadExposure(const std::string& text, long double* exposure) {
    const std::size_t at = LineKey(text, "exposure");
    if (at == std::string::npos) return true;
    const std::vector<std::string> words = WordsToLineEnd(text, at);
    const std::string word = words.empty() ? "" : words[0];
    char* end = nullptr;
    const long double value = std::strtold(word.c_str(), &end);
    if (word.empty() || *end != '\0' || !std::isfinite(value) || value < 0.0L) {
        std::printf(
            "The input file holds no valid exposure time (a finite number >= 0) after "
            "\"exposure\": %s\n",
            word.empty() ? "(nothing)" : word.c_str());
        return false;
    }
    *exposure = value;
    return true;
}

}  // namespace

bool read_options(const char* fnm, RunOptions* options) {
    *options = RunOptions{};
    std::string text;
    if (!ReadWholeFile(fnm, &text)) {
        std::printf("The input file can not be opened.");
        return false;
    }
    if (WordAfterKey(text, "flux_column ", &options->flux_column) && options->flux_column.empty()) {
        std::printf("The input file names no column after flux_column.\n");
        return false;
    }
    text.push_back('\n');
    options->zeropoint = LineKey(text, "zeropoint") != std::string::npos;
    options->rednoise = LineKey(text, "rednoise") != std::string::npos;

    const std::size_t trend = LineKey(text, "trend");
    if (trend != std::string::npos) {
        const std::vector<std::string> words = WordsToLineEnd(text, trend);
        const std::string degree = words.empty() ? "" : words[0];
        if (degree != "0" && degree != "1" && degree != "2") {
            std::printf(
                "The input file asks for a trend of degree \"%s\"; the degree is 0, 1 or 2.\n",
                degree.c_str());
            return false;
        }
        options->trend = degree[0] - '0';
    }

    // A law line with a value and the word "fixed" holds that coefficient; the occurrence is
    // the one that switches the term on.
    for (int term = 0; term < 3; ++term) {
        const int key = kFirstLdKey + term;
        const std::size_t at = KeyOccurrence(text, key);
        if (at == std::string::npos) continue;
        const std::size_t after = at + std::strlen(kInputKeys[key]);
        const std::vector<std::string> words = WordsToLineEnd(text, after);
        if (std::find(words.begin(), words.end(), "fixed") == words.end()) continue;
        const char* from = text.c_str() + after;
        char* stop = nullptr;
        const long double u = std::strtold(from, &stop);
        if (stop == from || !std::isfinite(u) || std::memchr(from, '\n', stop - from)) {
            std::printf("The input file holds %s fixed without a finite value to hold.\n",
                        kInputKeys[key]);
            return false;
        }
        options->held |= 2 << term;
        options->held_value[term] = u;
    }

    const std::size_t period = KeyOccurrence(text, kInPeriod);
    options->fit_period = period != std::string::npos &&
                          MarkedForFit(text, period + std::strlen(kInputKeys[kInPeriod]));
    options->exposure_key = text.find("exposure ") != std::string::npos;
    return ReadExposure(text, &options->exposure);
}

namespace {

// Whether `fnm` is a regular file that begins like a FITS file.  Anything else (a pipe
// included, which can be read once only) goes to the table reader.
bool LooksLikeFits(const char* fnm) {
    struct stat info;
    if (stat(fnm, &info) != 0 || !S_ISREG(info.st_mode)) return false;
    std::FILE* f = std::fopen(fnm, "rb");
    if (!f) return false;
    char head[9];
    const std::size_t got = std::fread(head, 1, sizeof head, f);
    std::fclose(f);
    return is_fits_content(head, got);
}

bool ReadFitsObservations(const char* fnm, const RunOptions& options,
                          std::unique_ptr<long double[]>* data, std::int64_t* pnum,
                          DataPart* part) {
    std::string bytes, why;
    FitsTable table;
    if (!ReadWholeFile(fnm, &bytes)) {
        std::printf("The data file can not be opened.\n");
        return false;
    }
    if (!read_fits_table(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                         options.flux_column, &table, &why)) {
        std::printf("The FITS data file %s %s.\n", fnm, why.c_str());
        return false;
    }
    *pnum = static_cast<std::int64_t>(table.rows.size() / 3);
    part->exposure = table.exposure;
    part->exposure_from = table.exposure_from;
    data->reset(new long double[table.rows.size()]);
    std::copy(table.rows.begin(), table.rows.end(), data->get());

    std::fprintf(stderr,
                 "The data file %s is a FITS light curve: table %s, TIME + %.19Lg as BJD_TDB, "
                 "%s and %s divided by the median %s %.19Lg, %lld of %lld rows used.\n",
                 fnm, table.extension.c_str(), table.time_zero, table.flux_column.c_str(),
                 table.error_column.c_str(), table.flux_column.c_str(), table.median,
                 static_cast<long long>(*pnum), static_cast<long long>(table.total_rows));
    TableNotes notes;
    notes.unit = "row";
    notes.missing = table.unusable_rows;
    notes.first_missing = table.first_unusable_row;
    notes.flagged = table.quality_rows;
    notes.first_flagged = table.first_quality_row;
    notes.flag_rule = table.quality_mask == -1
                          ? "a " + table.quality_column + " flag that is not 0"
                          : "a " + table.quality_column + " flag of the mask " +
                                std::to_string(table.quality_mask);
    print_table_notes(notes);
    if (table.time_fix != 0.0L)
        std::fprintf(stderr,
                     "The data file %s is a Kepler file older than FILEVER 5.0: %.19Lg s (one "
                     "more after the leap second of 2012 July 1) added to every time, from UTC "
                     "to TDB.\n",
                     fnm, table.time_fix);
    return true;
}

// One data file, a FITS light curve or a table.
bool ReadDataFile(const char* fnm, std::unique_ptr<long double[]>* data, std::int64_t* pnum,
                  const RunOptions* options, DataPart* part) {
    if (LooksLikeFits(fnm))
        return ReadFitsObservations(fnm, options ? *options : RunOptions{}, data, pnum, part);
    long double* raw = nullptr;
    TableError err;
    TableNotes notes;
    const std::int64_t count = load_table(fnm, &raw, &err, &notes);
    data->reset(raw);
    const long long line = err.line;
    switch (err.kind) {
        case TableError::kNone:
            break;
        case TableError::kOpen:
            std::printf("The data file can not be opened.\n");
            return false;
        case TableError::kNotNumber:
            std::printf("The data file holds a value that is not a number on line %lld: %s\n", line,
                        err.word.c_str());
            return false;
        case TableError::kUncertainty:
            std::printf("The data file holds an uncertainty that is not positive on line %lld.\n",
                        line);
            return false;
        case TableError::kNotFinite:
            std::printf("The data file holds a value that is not finite on line %lld: %s\n", line,
                        err.word.c_str());
            return false;
        case TableError::kUncertaintyRange:
            std::printf(
                "The data file holds an uncertainty out of range on line %lld: %s (its square "
                "must be a normal number)\n",
                line, err.word.c_str());
            return false;
        case TableError::kValueCount:
            if (err.columns == 0)
                std::printf(
                    "The data file holds %lld values on line %lld; each line must hold time, "
                    "flux and uncertainty.\n",
                    static_cast<long long>(err.values), line);
            else
                std::printf(
                    "The data file holds %lld values on line %lld; its header names %lld "
                    "columns.\n",
                    static_cast<long long>(err.values), line, static_cast<long long>(err.columns));
            return false;
        case TableError::kHeader:
            std::printf(
                "The data file's header on line %lld names no column for %s; it names: %s\n", line,
                err.lacking.c_str(), err.names.c_str());
            return false;
    }
    print_table_notes(notes);
    *pnum = count / 3;
    if (*pnum == 0) {
        std::printf("The data file holds no observations.\n");
        return false;
    }
    return true;
}

// The files of the data argument: the argument itself when it names anything, else its
// comma-separated pieces.
std::vector<std::string> DataFiles(const char* argument) {
    struct stat info;
    const std::string all = argument;
    if (stat(argument, &info) == 0 || all.find(',') == std::string::npos) return {all};
    std::vector<std::string> files;
    std::size_t begin = 0;
    for (std::size_t comma; (comma = all.find(',', begin)) != std::string::npos; begin = comma + 1)
        files.push_back(all.substr(begin, comma - begin));
    files.push_back(all.substr(begin));
    return files;
}

}  // namespace

bool read_observations(const char* fnm, std::unique_ptr<long double[]>* data, std::int64_t* pnum,
                       const RunOptions* options, std::vector<DataPart>* parts) {
    const std::vector<std::string> files = DataFiles(fnm);
    std::vector<long double> all;
    std::vector<DataPart> read;
    for (std::size_t k = 0; k < files.size(); ++k) {
        DataPart part;
        part.first = static_cast<std::int64_t>(all.size() / 3);
        part.file = files[k];
        if (!ReadDataFile(files[k].c_str(), data, &part.count, options, &part)) {
            if (files.size() > 1)
                std::printf("That data file is %s, file %zu of %zu in the data argument.\n",
                            files[k].c_str(), k + 1, files.size());
            return false;
        }
        if (files.size() == 1) {
            *pnum = part.count;
            if (parts) *parts = {part};
            return true;
        }
        all.insert(all.end(), data->get(), data->get() + 3 * part.count);
        read.push_back(part);
    }
    *pnum = static_cast<std::int64_t>(all.size() / 3);
    data->reset(new long double[all.size()]);
    std::copy(all.begin(), all.end(), data->get());
    if (parts) *parts = read;
    return true;
}

bool same_file(const char* a, const char* b) {
    struct stat sa, sb;
    if (stat(a, &sa) != 0 || stat(b, &sb) != 0) return false;
    return S_ISREG(sa.st_mode) && S_ISREG(sb.st_mode) && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

bool names_data_file(const char* file, const char* data_argument, std::string* data_file) {
    for (const std::string& f : DataFiles(data_argument)) {
        if (same_file(file, f.c_str())) {
            *data_file = f;
            return true;
        }
    }
    return false;
}

void resolve_exposures(std::vector<DataPart>* parts, const RunOptions& options) {
    for (DataPart& part : *parts) {
        if (part.exposure_from.empty()) {  // a table: the key alone
            part.exposure = options.exposure;
            continue;
        }
        if (options.exposure_key) {
            std::fprintf(stderr,
                         "The data file %s gives an exposure of %.19Lg d (%s); the parameter "
                         "file's exposure %.19Lg is used instead.\n",
                         part.file.c_str(), part.exposure, part.exposure_from.c_str(),
                         options.exposure);
            part.exposure = options.exposure;
        } else {
            std::fprintf(stderr,
                         "The data file %s: each point is the mean of the model over its exposure "
                         "of %.19Lg d (%s); an exposure key sets another, exposure 0 none.\n",
                         part.file.c_str(), part.exposure, part.exposure_from.c_str());
        }
    }
}

void der_set_norm_ci_parts(long double* lset, const long double* data,
                           const std::vector<DataPart>& parts, long double period,
                           const long double* params, int parflag, int ldflag) {
    const int len = count_fit(parflag, ldflag).len;
    for (const DataPart& part : parts)
        der_set_norm_ci_exposure(lset + len * part.first, data + 3 * part.first, part.count,
                                 period, params, parflag, ldflag, part.exposure);
}

long double degrees(long double rad) { return (rad * 180.0L) / kPi; }

long double inclination_degrees(long double ci) { return degrees(std::acos(std::sqrt(ci))); }

std::string non_finite_names(const long double* shown, const long double* ld, int ldflag,
                             long double chi2) {
    static const char* const names[6] = {"tshift",      "eccentr", "periastr",
                                         "inclination", "rsun",    "rplanet"};
    static const char* const terms[3] = {"lin", "quad", "sqrt"};
    std::string list;
    auto add = [&](const char* name, long double v) {
        if (std::isfinite(v)) return;
        if (!list.empty()) list += ", ";
        list += name;
    };
    for (int i = 0; i < 6; ++i) add(names[i], shown[i]);
    for (int term = 0, k = 0; term < 3; ++term)
        if (ldflag & (2 << term)) add(terms[term], ld[k++]);
    add("chi_square_reduced", chi2);
    return list;
}

void report_values(const long double* params, long double period, long double* shown) {
    shown[0] = mid_transit_time(params, period);
    shown[1] = params[1];
    shown[2] = degrees(params[2]);
    shown[3] = inclination_degrees(params[3]);
    shown[4] = params[4];
    shown[5] = params[5];
}
