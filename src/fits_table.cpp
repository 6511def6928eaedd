#include "fits_table.h"

#include <fitsio.h>
#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

// lightkurve's default quality bitmasks: the flags under which a cadence is not to be trusted
// (attitude tweaks, safe modes, coarse and Earth pointing, desaturations, manual excludes,
// impulsive outliers, Argabrightening, ...), but not the rolling-band and stray-light warnings
// that would throw away a quarter of a Kepler light curve.
constexpr std::int64_t kKeplerDefaultMask = 1130799;
constexpr std::int64_t kTessDefaultMask = 175;
// QLP writes flags of its own, and a non-zero word marks a cadence it did not trust.
constexpr std::int64_t kEveryBit = -1;

// Kepler files of FILEVER below 5.0 carry times in UTC, not TDB: TDB - UTC was 32.184 s plus
// 34 leap seconds before 2012 July 1 (JD 2456109.5, inside Q14) and 35 after.
constexpr long double kKeplerFixedVersion = 5.0L;
constexpr long double kKeplerFixBefore = 66.184L;
constexpr long double kKeplerFixAfter = 67.184L;
constexpr long double kLeapSecond2012 = 2456109.5L;
constexpr long double kSecondsPerDay = 86400.0L;

// Reference days of the time columns of lightkurve's files, which carry no BJDREFI.
constexpr long double kBkjdZero = 2454833.0L;  // Kepler: BKJD = BJD_TDB - 2454833
constexpr long double kBtjdZero = 2457000.0L;  // TESS: BTJD = BJD_TDB - 2457000

// Cadences of the two missions, in days, for files that do not give TIMEDEL.
struct Cadence {
    const char* name;
    long double days;
};
constexpr Cadence kCadences[] = {
    {"Kepler long cadence", 0.02043359821692L},  {"Kepler short cadence", 0.000681119940564L},
    {"TESS 20 s cadence", 20.0L / 86400.0L},     {"TESS 2 min cadence", 120.0L / 86400.0L},
    {"TESS 200 s cadence", 200.0L / 86400.0L},   {"TESS 10 min cadence", 600.0L / 86400.0L},
    {"TESS 30 min cadence", 1800.0L / 86400.0L},
};
constexpr long double kCadenceMatch = 0.02L;  // relative distance that still names a cadence

// The first default flux columns found, in this order, with their errors.
constexpr const char* kFluxColumns[] = {"PDCSAP_FLUX", "KSPSAP_FLUX", "FLUX"};

std::string Trimmed(const char* s) {
    std::string t = s;
    while (!t.empty() && t.back() == ' ') t.pop_back();
    return t;
}

bool SameWord(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

// A FITS file open on a memory buffer; cfitsio's status and error stack live with it.
class Fits {
   public:
    // cfitsio reads a memory file in whole blocks of 2880 bytes, so the bytes are copied into
    // a buffer padded with zeros to the next whole block. It keeps the addresses of the
    // buffer pointer and of its size, so both are members.
    Fits(const unsigned char* bytes, std::size_t size)
        : copy_(bytes, bytes + size), size_((size + 2879) / 2880 * 2880) {
        copy_.resize(size_, 0);
        buffer_ = copy_.data();
        fits_open_memfile(&fptr_, "data", READONLY, &buffer_, &size_, 0, nullptr, &status_);
        if (status_) fptr_ = nullptr;
    }
    ~Fits() {
        int status = 0;
        if (fptr_) fits_close_file(fptr_, &status);
        fits_clear_errmsg();
    }
    Fits(const Fits&) = delete;
    Fits& operator=(const Fits&) = delete;

    fitsfile* get() const { return fptr_; }
    int* status() { return &status_; }
    bool ok() const { return fptr_ && status_ == 0; }
    std::string ErrorText() const {
        char text[FLEN_STATUS] = "";
        fits_get_errstatus(status_, text);
        return text;
    }

    // A keyword of the current HDU as text (string values without their quotes); false when
    // absent.  Any other failure is kept in the status.
    bool Key(const char* name, std::string* value) {
        char text[FLEN_VALUE] = "";
        int status = 0;
        fits_read_key(fptr_, TSTRING, name, text, nullptr, &status);
        if (status == KEY_NO_EXIST || status == VALUE_UNDEFINED) return false;
        if (status) {
            status_ = status;
            return false;
        }
        *value = Trimmed(text);
        return true;
    }
    bool Number(const char* name, long double* value) {
        std::string text;
        if (!Key(name, &text)) return false;
        char* stop = nullptr;
        *value = std::strtold(text.c_str(), &stop);
        return stop != text.c_str() && *stop == '\0' && std::isfinite(*value);
    }

   private:
    fitsfile* fptr_ = nullptr;
    std::vector<unsigned char> copy_;
    void* buffer_;
    std::size_t size_;
    int status_ = 0;
};

// The column named `name` (case-insensitive, not a template) of the current table, or 0.
int FindColumn(Fits& f, int columns, const char* name) {
    for (int n = 1; n <= columns; ++n) {
        char key[FLEN_KEYWORD];
        int status = 0;
        fits_make_keyn("TTYPE", n, key, &status);
        std::string ttype;
        if (!status && f.Key(key, &ttype) && SameWord(ttype, name)) return n;
    }
    return 0;
}

// Whether a scalar column of `width` bytes lies inside the row: cfitsio takes the offsets of
// the TFORMs as they stand and reads wherever they point.
bool InsideRow(Fits& f, int column, long long width, const std::string& name, std::string* why) {
    const FITSfile* file = f.get()->Fptr;
    const tcolumn& c = file->tableptr[column - 1];
    if (c.tbcol >= 0 && width > 0 && c.tbcol + width <= file->rowlength) return true;
    *why = "has a corrupt header: column " + name + " reaches past the end of its row (NAXIS1)";
    return false;
}

// Reads a numeric scalar column whole, undefined values as NaN.
bool ReadColumn(Fits& f, int column, const std::string& name, std::int64_t rows,
                std::vector<double>* values, std::string* why) {
    int type = 0;
    long long repeat = 0, width = 0;
    fits_get_coltypell(f.get(), column, &type, &repeat, &width, f.status());
    if (!f.ok()) return false;
    if (type < 0 || type == TSTRING || type == TLOGICAL || type == TBIT || repeat != 1) {
        *why = "has a column " + name + " that does not hold one number per row";
        return false;
    }
    if (!InsideRow(f, column, width, name, why)) return false;
    values->assign(static_cast<std::size_t>(rows), 0.0);
    if (rows == 0) return true;
    double nan = std::numeric_limits<double>::quiet_NaN();
    int anynul = 0;
    fits_read_col(f.get(), TDOUBLE, column, 1, 1, rows, &nan, values->data(), &anynul, f.status());
    return f.ok();
}

bool ReadQuality(Fits& f, int column, const std::string& name, std::int64_t rows,
                 std::vector<long long>* values, std::string* why) {
    int type = 0;
    long long repeat = 0, width = 0;
    fits_get_coltypell(f.get(), column, &type, &repeat, &width, f.status());
    if (!f.ok()) return false;
    if (type < 0 || type == TSTRING || type == TLOGICAL || type == TBIT || type == TFLOAT ||
        type == TDOUBLE || repeat != 1) {
        *why = "has a quality column " + name + " that does not hold one whole number per row";
        return false;
    }
    if (!InsideRow(f, column, width, name, why)) return false;
    values->assign(static_cast<std::size_t>(rows), 0);
    if (rows == 0) return true;
    long long zero = 0;
    int anynul = 0;
    fits_read_col(f.get(), TLONGLONG, column, 1, 1, rows, &zero, values->data(), &anynul,
                  f.status());
    return f.ok();
}

// Moves to the light-curve table: the extension LIGHTCURVE, or else the first binary table
// with a TIME column.  Returns its column count, or 0 when there is none.
int FindTable(Fits& f, std::string* extension) {
    int hdus = 0;
    fits_get_num_hdus(f.get(), &hdus, f.status());
    int with_time = 0;
    for (int pass = 0; pass < 2 && f.ok(); ++pass) {
        for (int h = 2; h <= hdus && f.ok(); ++h) {
            int type = 0;
            fits_movabs_hdu(f.get(), h, &type, f.status());
            if (!f.ok() || type != BINARY_TBL) continue;
            int columns = 0;
            fits_get_num_cols(f.get(), &columns, f.status());
            std::string name;
            const bool named = f.Key("EXTNAME", &name);
            if (pass == 0 && named && SameWord(name, "LIGHTCURVE")) {
                *extension = name;
                return columns;
            }
            if (pass == 1 && h == with_time) {
                *extension = named ? name : "HDU " + std::to_string(h - 1);
                return columns;
            }
            if (pass == 0 && !with_time && FindColumn(f, columns, "TIME")) with_time = h;
        }
        if (!with_time) break;
    }
    return 0;
}

// A keyword of the table's header, or of the primary header that the table inherits.
bool TableOrPrimaryKey(Fits& f, int table_hdu, const char* name, std::string* value) {
    if (f.Key(name, value)) return true;
    int type = 0;
    fits_movabs_hdu(f.get(), 1, &type, f.status());
    const bool found = f.ok() && f.Key(name, value);
    fits_movabs_hdu(f.get(), table_hdu, &type, f.status());
    return found;
}

long double Median(std::vector<long double> v) {
    const std::size_t half = v.size() / 2;
    std::nth_element(v.begin(), v.begin() + half, v.end());
    const long double upper = v[half];
    if (v.size() % 2) return upper;
    const long double lower = *std::max_element(v.begin(), v.begin() + half);
    return (lower + upper) / 2.0L;
}

// The mission cadence nearest the median spacing of the times, when one is near enough.
void CadenceFromTimes(const std::vector<long double>& rows, FitsTable* table) {
    std::vector<long double> steps;
    for (std::size_t i = 3; i < rows.size(); i += 3) steps.push_back(rows[i] - rows[i - 3]);
    if (steps.empty()) return;
    const long double step = Median(steps);
    for (const Cadence& c : kCadences) {
        if (std::fabs(step - c.days) <= kCadenceMatch * c.days) {
            table->exposure = c.days;
            table->exposure_from = std::string(c.name) + ", from the spacing of the times";
            return;
        }
    }
}

// The structure of the file checked before cfitsio sees it, since cfitsio sizes its buffers
// by the header's word: each HDU a header of 80-byte cards up to END, with the mandatory
// keywords in range, and the data they announce inside the bytes given.
constexpr std::size_t kBlock = 2880;
constexpr std::size_t kCard = 80;
constexpr long long kMaxAxes = 999;  // NAXIS and TFIELDS, as the FITS standard bounds them

// The whole number on the card, or false: optional blanks, an optional sign, digits, then
// only blanks up to a comment.
bool CardInteger(const char* card, long long* value) {
    if (card[8] != '=' || card[9] != ' ') return false;
    std::string text(card + 10, kCard - 10);
    const std::size_t slash = text.find('/');
    if (slash != std::string::npos) text.resize(slash);
    char* stop = nullptr;
    errno = 0;
    *value = std::strtoll(text.c_str(), &stop, 10);
    if (stop == text.c_str() || errno) return false;
    for (; *stop; ++stop)
        if (*stop != ' ') return false;
    return true;
}

bool CheckStructure(const unsigned char* bytes, std::size_t size, std::string* why) {
    const char* text = reinterpret_cast<const char*>(bytes);
    std::size_t at = 0;
    for (int hdu = 0; at < size; ++hdu) {
        const std::string where = hdu == 0 ? "the primary header" : "HDU " + std::to_string(hdu);
        if (hdu > 0 && (size - at < 8 || std::memcmp(text + at, "XTENSION", 8) != 0)) {
            // Bytes after the last HDU that begin no extension are not read.
            return true;
        }
        long long bitpix = 0, naxis = -1, pcount = hdu == 0 ? 0 : -1, gcount = hdu == 0 ? 1 : -1;
        std::vector<long long> axes;
        std::size_t card = at;
        bool end = false;
        for (; card + kCard <= size; card += kCard) {
            const char* c = text + card;
            // A header is printable ASCII, and keywords are upper-case letters, digits, '-'
            // and '_', padded with blanks.
            for (std::size_t i = 0; i < kCard; ++i) {
                const bool key_char = (c[i] >= 'A' && c[i] <= 'Z') ||
                                      (c[i] >= '0' && c[i] <= '9') || c[i] == '-' || c[i] == '_' ||
                                      c[i] == ' ';
                if (c[i] < ' ' || c[i] > '~' || (i < 8 && !key_char)) {
                    *why = "has a corrupt header: card " + std::to_string((card - at) / kCard + 1) +
                           " of " + where + " is not a FITS card";
                    return false;
                }
            }
            const std::string key = Trimmed(std::string(c, 8).c_str());
            if (key == "END") {
                end = true;
                break;
            }
            long long v = 0;
            const bool number = CardInteger(c, &v);
            const auto bad = [&]() {
                *why = "has a corrupt header: " + key + " in " + where +
                       " is not a whole number in range";
                return false;
            };
            if (key == "BITPIX") {
                if (!number || (v != 8 && v != 16 && v != 32 && v != 64 && v != -32 && v != -64))
                    return bad();
                bitpix = v;
            } else if (key == "NAXIS") {
                if (!number || v < 0 || v > kMaxAxes) return bad();
                naxis = v;
            } else if (key.compare(0, 5, "NAXIS") == 0 && naxis > 0) {
                const long long n = std::atoll(key.c_str() + 5);
                if (n >= 1 && n <= naxis && key == "NAXIS" + std::to_string(n)) {
                    if (!number || v < 0) return bad();
                    axes.resize(static_cast<std::size_t>(naxis), -1);
                    axes[n - 1] = v;
                }
            } else if (key == "PCOUNT") {
                if (!number || v < 0) return bad();
                pcount = v;
            } else if (key == "GCOUNT") {
                if (!number || v < 0) return bad();
                gcount = v;
            } else if (key == "TFIELDS") {
                if (!number || v < 0 || v > kMaxAxes) return bad();
            }
        }
        if (!end) {
            *why =
                "is cut short (" + std::to_string(size) + " bytes) inside the header of " + where;
            return false;
        }
        if (bitpix == 0 || naxis < 0 || pcount < 0 || gcount < 0 ||
            std::count(axes.begin(), axes.end(), -1) > 0 ||
            static_cast<long long>(axes.size()) != naxis) {
            *why = "has a corrupt header: " + where +
                   " lacks BITPIX, NAXIS, an NAXISn, PCOUNT or GCOUNT";
            return false;
        }
        long double data = naxis == 0 ? 0.0L : static_cast<long double>(pcount);
        if (naxis > 0) {
            long double product = 1.0L;
            for (long long n : axes) product *= static_cast<long double>(n);
            data = (std::llabs(bitpix) / 8) * static_cast<long double>(gcount) * (pcount + product);
        }
        const std::size_t header = (card + kCard - at + kBlock - 1) / kBlock * kBlock;
        const long double data_end = static_cast<long double>(at + header) + data;
        if (data_end > static_cast<long double>(size)) {
            *why = "is cut short: " + where + " needs " +
                   std::to_string(static_cast<long long>(std::min(data_end, 1e18L))) +
                   " bytes, the file holds " + std::to_string(size);
            return false;
        }
        const long double padded = std::ceil(data_end / kBlock) * kBlock;
        at = padded >= static_cast<long double>(size) ? size : static_cast<std::size_t>(padded);
    }
    return true;
}

}  // namespace

bool is_fits_content(const char* bytes, std::size_t size) {
    return size >= 9 && std::memcmp(bytes, "SIMPLE  =", 9) == 0;
}

bool read_fits_table(const unsigned char* bytes, std::size_t size, const std::string& flux_column,
                     FitsTable* table, std::string* why) {
    *table = FitsTable{};
    why->clear();
    if (!CheckStructure(bytes, size, why)) return false;
    Fits f(bytes, size);
    const auto failed = [&]() {
        if (why->empty()) *why = "can not be read as FITS (cfitsio: " + f.ErrorText() + ")";
        return false;
    };
    if (!f.ok()) return failed();

    const int columns = FindTable(f, &table->extension);
    if (!f.ok()) return failed();
    if (columns == 0) {
        // Archive files are whole blocks of 2880 bytes; a download cut short is not.
        *why = size % 2880 ? "is cut short (" + std::to_string(size) +
                                 " bytes, not whole blocks of 2880) before a binary table "
                                 "with a TIME column"
                           : "holds no binary table with a TIME column";
        return false;
    }
    int table_hdu = 0;
    fits_get_hdu_num(f.get(), &table_hdu);

    // Every row must lie inside the bytes given, before anything sized by the header is
    // allocated: a truncated download keeps its header.
    long long headstart = 0, datastart = 0, dataend = 0, rows = 0;
    long double rowbytes = 0.0L;
    fits_get_hduaddrll(f.get(), &headstart, &datastart, &dataend, f.status());
    fits_get_num_rowsll(f.get(), &rows, f.status());
    if (!f.ok()) return failed();
    if (!f.Number("NAXIS1", &rowbytes) || rows < 0) return failed();
    const long double needed = static_cast<long double>(datastart) + rowbytes * rows;
    if (needed > static_cast<long double>(size)) {
        *why = "is cut short: its table of " + std::to_string(rows) + " rows needs " +
               std::to_string(static_cast<long long>(needed)) + " bytes, the file holds " +
               std::to_string(size);
        return false;
    }
    table->total_rows = rows;

    const int time_col = FindColumn(f, columns, "TIME");
    if (!time_col) {
        *why = "has no TIME column in its table " + table->extension;
        return false;
    }
    int flux_col = 0;
    if (!flux_column.empty()) {
        flux_col = FindColumn(f, columns, flux_column.c_str());
        if (!flux_col) {
            *why = "has no column " + flux_column + " in its table " + table->extension;
            return false;
        }
        table->flux_column = flux_column;
    } else {
        for (const char* name : kFluxColumns) {
            if ((flux_col = FindColumn(f, columns, name))) {
                table->flux_column = name;
                break;
            }
        }
        if (!flux_col) {
            *why = "has no flux column (PDCSAP_FLUX, KSPSAP_FLUX or FLUX) in its table " +
                   table->extension;
            return false;
        }
    }
    table->error_column = table->flux_column + "_ERR";
    const int error_col = FindColumn(f, columns, table->error_column.c_str());
    if (!error_col) {
        *why = "has no column " + table->error_column + " for the uncertainties of " +
               table->flux_column;
        return false;
    }
    int quality_col = FindColumn(f, columns, "QUALITY");
    table->quality_column = "QUALITY";
    if (!quality_col) {
        quality_col = FindColumn(f, columns, "SAP_QUALITY");
        table->quality_column = quality_col ? "SAP_QUALITY" : "";
    }
    if (!f.ok()) return failed();

    // The time system: BJD_TDB = TIME + BJDREFI + BJDREFF, barycentric, in days, stamped at
    // the middle of the cadence.
    std::string text;
    if (f.Key("TIMESYS", &text) && !SameWord(text, "TDB")) {
        *why = "gives its times in TIMESYS '" + text + "'; only TDB is read";
        return false;
    }
    const bool has_timesys = !text.empty();
    if (f.Key("TIMEREF", &text) && !SameWord(text, "SOLARSYSTEM")) {
        *why = "gives TIMEREF '" + text + "'; only barycentric times (SOLARSYSTEM) are read";
        return false;
    }
    if (f.Key("TIMEUNIT", &text) && !SameWord(text, "d")) {
        *why = "gives TIMEUNIT '" + text + "'; only days are read";
        return false;
    }
    long double refi = 0.0L, reff = 0.0L;
    std::string unit;
    char unit_key[FLEN_KEYWORD];
    int key_status = 0;
    fits_make_keyn("TUNIT", time_col, unit_key, &key_status);
    f.Key(unit_key, &unit);
    if (f.Number("BJDREFI", &refi)) {
        if (!f.Number("BJDREFF", &reff)) f.Number("BJDREFR", &reff);  // QLP's name
        if (!has_timesys) {
            *why = "gives BJDREFI but no TIMESYS, so the time scale is unknown";
            return false;
        }
    } else if (SameWord(unit, "bkjd")) {  // lightkurve: a Kepler time, TDB
        refi = kBkjdZero;
    } else if (SameWord(unit, "btjd")) {  // lightkurve: a TESS time, TDB
        refi = kBtjdZero;
    } else {
        *why = "gives no BJDREFI, so its times can not be put on BJD_TDB";
        return false;
    }
    long double timedel = 0.0L, pixr = 0.5L;
    const bool has_timedel = f.Number("TIMEDEL", &timedel) && timedel > 0.0L;
    if (f.Key("TIMEPIXR", &text) && !f.Number("TIMEPIXR", &pixr)) {
        *why = "gives a TIMEPIXR that is not a number";
        return false;
    }
    if (!(pixr >= 0.0L && pixr <= 1.0L) || (pixr != 0.5L && !has_timedel)) {  // exact on purpose
        *why = "gives TIMEPIXR " + text + " without a TIMEDEL to find the middle of a cadence";
        return false;
    }
    table->time_zero = refi + reff;
    const long double to_middle = pixr == 0.5L ? 0.0L : (0.5L - pixr) * timedel;

    std::string telescope, origin, filever;
    TableOrPrimaryKey(f, table_hdu, "TELESCOP", &telescope);
    TableOrPrimaryKey(f, table_hdu, "ORIGIN", &origin);
    const bool kepler = SameWord(telescope, "Kepler");
    if (kepler && TableOrPrimaryKey(f, table_hdu, "FILEVER", &filever) &&
        std::strtold(filever.c_str(), nullptr) < kKeplerFixedVersion)
        table->time_fix = kKeplerFixBefore;
    if (origin.find("QLP") != std::string::npos)
        table->quality_mask = kEveryBit;
    else if (kepler)
        table->quality_mask = kKeplerDefaultMask;
    else if (SameWord(telescope, "TESS"))
        table->quality_mask = kTessDefaultMask;
    else
        table->quality_mask = kEveryBit;
    if (!f.ok()) return failed();

    std::vector<double> time, flux, error;
    std::vector<long long> quality;
    if (!ReadColumn(f, time_col, "TIME", rows, &time, why) ||
        !ReadColumn(f, flux_col, table->flux_column, rows, &flux, why) ||
        !ReadColumn(f, error_col, table->error_column, rows, &error, why) ||
        (quality_col && !ReadQuality(f, quality_col, table->quality_column, rows, &quality, why)))
        return failed();

    std::vector<long double> kept_flux;
    for (std::int64_t i = 0; i < rows; ++i) {
        if (quality_col && (quality[i] & table->quality_mask)) {
            if (!table->quality_rows++) table->first_quality_row = i + 1;
            continue;
        }
        // A time that is not a number can stand beside a flux of exactly zero (the 2018
        // data-alerts files): all three are tested.
        if (!std::isfinite(time[i]) || !std::isfinite(flux[i]) || !std::isfinite(error[i]) ||
            !(error[i] > 0.0)) {
            if (!table->unusable_rows++) table->first_unusable_row = i + 1;
            continue;
        }
        long double t = (static_cast<long double>(time[i]) + refi) + reff;
        if (table->time_fix != 0.0L)
            t += (t < kLeapSecond2012 ? kKeplerFixBefore : kKeplerFixAfter) / kSecondsPerDay;
        t += to_middle;
        table->rows.insert(table->rows.end(), {t, flux[i], error[i]});
        kept_flux.push_back(flux[i]);
    }
    if (kept_flux.empty()) {
        *why = "keeps no row with a finite time, flux and uncertainty";
        return false;
    }
    table->median = Median(kept_flux);
    if (!(table->median > 0.0L)) {
        *why = "has a median " + table->flux_column + " that is not positive";
        return false;
    }
    for (std::size_t i = 0; i < table->rows.size(); i += 3) {
        table->rows[i + 1] /= table->median;
        table->rows[i + 2] /= table->median;
    }

    if (has_timedel) {
        table->exposure = timedel;
        table->exposure_from = "TIMEDEL";
    } else {
        CadenceFromTimes(table->rows, table);
    }
    return true;
}
