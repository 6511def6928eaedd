// The input of a run: parameter files, data tables and FITS light curves, the warnings about
// likely mistakes in a parameter file, and the messages of the readers.
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "constants.h"
#include "fits_table.h"
#include "optimize.h"

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
                     notes.unit, static_cast<long long>(notes.first_flagged));
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
// The run's input as the command-line tools read it
// =============================================================================================

namespace {

// Values the model cannot use are refused where they are read, naming the key and the value:
// a NaN or an infinity passes every later step unnoticed and ends as a report of NaNs or as a
// singular system that blames the data. The period has had its correction (≤ 0 becomes 1), so
// a finite period is positive.
bool ValuesInRange(const long double* inp) {
    for (int slot = kInTshift; slot <= kInLm; ++slot) {
        if (slot == kInIterations) continue;  // an integer count, corrected where it is used
        if (!std::isfinite(inp[slot])) {
            std::printf("The input file holds a value of %s that is not a finite number: %.19Lg\n",
                        slot == kInLm ? "lm" : kParameterNames[slot], inp[slot]);
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
    for (int term = 0; term < kLawTermCount; ++term) {
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
        options->held |= TermBit(term);
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
