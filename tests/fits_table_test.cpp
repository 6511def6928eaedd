// The FITS light-curve reader on small files written here with cfitsio, each shaped like an
// archive product, on broken files made from them, and on the archive files beside the
// checkout when present.
#include "fits_table.h"

#include <fitsio.h>
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "optimize.h"
#include "test_util.h"

namespace {

using Cards = std::vector<std::pair<std::string, std::string>>;  // keyword, value as written

struct Column {
    std::string name, form;  // TTYPE and TFORM ("D", "E", "J")
    std::vector<double> values;
};

void WriteCards(fitsfile* f, const Cards& cards, int* status) {
    for (const auto& [key, value] : cards) {
        std::string card = key;
        card.resize(8, ' ');
        card += "= " + value;
        fits_write_record(f, card.c_str(), status);
    }
}

// A FITS file of a primary header (no image unless `image`) and, when `columns` is not empty,
// one binary table; returns its bytes.
std::string MakeFits(const TempDir& dir, const Cards& primary, const Cards& table,
                     const std::vector<Column>& columns, bool image = false) {
    const std::string path = dir.path() + "/made.fits";
    std::filesystem::remove(path);
    fitsfile* f = nullptr;
    int status = 0;
    fits_create_file(&f, path.c_str(), &status);
    long axes[2] = {4, 3};
    fits_create_img(f, image ? SHORT_IMG : BYTE_IMG, image ? 2 : 0, axes, &status);
    if (image) {
        short pixels[12] = {};
        fits_write_img(f, TSHORT, 1, 12, pixels, &status);
    }
    WriteCards(f, primary, &status);
    if (!columns.empty()) {
        std::vector<char*> names, forms;
        for (const Column& c : columns) {
            names.push_back(const_cast<char*>(c.name.c_str()));
            forms.push_back(const_cast<char*>(c.form.c_str()));
        }
        fits_create_tbl(f, BINARY_TBL, 0, static_cast<int>(columns.size()), names.data(),
                        forms.data(), nullptr, "LIGHTCURVE", &status);
        WriteCards(f, table, &status);
        for (std::size_t k = 0; k < columns.size(); ++k) {
            std::vector<double> v = columns[k].values;
            fits_write_col(f, TDOUBLE, static_cast<int>(k) + 1, 1, 1,
                           static_cast<long long>(v.size()), v.data(), &status);
        }
    }
    fits_close_file(f, &status);
    EXPECT_EQ(status, 0);
    return TempDir::ReadFile(path);
}

const double kNaN = NAN;

// Six cadences of a TESS 2-min file: one time is NaN beside a flux of exactly 0 (as in the
// 2018 data-alerts files), one row carries the manual-exclude bit 128 (in the mask) and one
// the stray-light bit 4096 (not in it).
const Cards kTessPrimary = {{"TELESCOP", "'TESS'"}, {"FILEVER", "'1.0'"}};
const Cards kTessTable = {{"TIMESYS", "'TDB'"},
                          {"TIMEREF", "'SOLARSYSTEM'"},
                          {"TIMEUNIT", "'d'"},
                          {"BJDREFI", "2457000"},
                          {"BJDREFF", "0.0"},
                          {"TIMEPIXR", "0.5"},
                          {"TIMEDEL", "0.00138888888888889"}};
std::vector<Column> TessColumns() {
    return {{"TIME", "D", {1500.0, 1500.25, kNaN, 1500.5, 1500.75, 1501.0}},
            {"SAP_FLUX", "E", {200, 200, 200, 200, 200, 400}},
            {"SAP_FLUX_ERR", "E", {2, 2, 2, 2, 2, 2}},
            {"PDCSAP_FLUX", "E", {100, 102, 0, 98, 104, 50}},
            {"PDCSAP_FLUX_ERR", "E", {1, 1, 1, 1, 2, 1}},
            {"QUALITY", "J", {0, 4096, 0, 128, 0, 0}}};
}

std::vector<Column> Renamed(std::vector<Column> columns, const std::string& from,
                            const std::string& to) {
    for (Column& c : columns)
        if (c.name == from) c.name = to;
    return columns;
}

Cards Without(Cards cards, const std::string& key) {
    for (auto it = cards.begin(); it != cards.end();)
        it = it->first == key ? cards.erase(it) : it + 1;
    return cards;
}

Cards With(Cards cards, const std::string& key, const std::string& value) {
    cards = Without(cards, key);
    cards.push_back({key, value});
    return cards;
}

bool Read(const std::string& bytes, const std::string& flux, FitsTable* t, std::string* why) {
    return read_fits_table(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), flux,
                           t, why);
}

TEST(FitsTable, KeptRowsOfArchiveLayouts) {
    const TempDir dir;
    constexpr long double kDay = 86400.0L;
    const struct Case {
        const char* what;
        Cards primary, table;
        std::vector<Column> columns;
        std::string flux;
        std::vector<long double> times;  // of the kept rows, BJD_TDB
        std::vector<long double> flux_over_median;
        long double median, error0;
        std::int64_t quality_rows, unusable_rows;
        long double exposure;
    } cases[] = {
        {"TESS SPOC",
         kTessPrimary,
         kTessTable,
         TessColumns(),
         "",
         {2458500.0L, 2458500.25L, 2458500.75L, 2458501.0L},
         {100, 102, 104, 50},
         101,
         1,
         1,
         1,
         0.00138888888888889L},
        {"another flux column",
         kTessPrimary,
         kTessTable,
         TessColumns(),
         "SAP_FLUX",
         {2458500.0L, 2458500.25L, 2458500.75L, 2458501.0L},
         {200, 200, 200, 400},
         200,
         2,
         1,
         1,
         0.00138888888888889L},
        // The start of the cadence stamped: the middle is half a TIMEDEL later.
        {"TIMEPIXR 0",
         kTessPrimary,
         With(With(kTessTable, "TIMEDEL", "0.5"), "TIMEPIXR", "0"),
         TessColumns(),
         "",
         {},
         {},
         101,
         1,
         1,
         1,
         0.5L},
        // Kepler's mask leaves 128 and 4096 in, and a FILEVER before 5.0 means UTC times,
        // here after the leap second of 2012 (BKJD 1276.5).
        {"old Kepler",
         {{"TELESCOP", "'Kepler'"}, {"FILEVER", "'2.1'"}},
         With(kTessTable, "BJDREFI", "2454833"),
         TessColumns(),
         "",
         {2454833.0L + 1500.0L + 67.184L / kDay, 2454833.0L + 1500.25L + 67.184L / kDay,
          2454833.0L + 1500.5L + 67.184L / kDay, 2454833.0L + 1500.75L + 67.184L / kDay,
          2454833.0L + 1501.0L + 67.184L / kDay},
         {100, 102, 98, 104, 50},
         100,
         1,
         0,
         1,
         0.00138888888888889L},
        // QLP: its own flags, every bit a reason; the fraction of the day in BJDREFR.
        {"QLP",
         {{"TELESCOP", "'TESS'"}, {"ORIGIN", "'MIT/QLP'"}},
         With(Without(kTessTable, "BJDREFF"), "BJDREFR", "0.5"),
         Renamed(Renamed(TessColumns(), "PDCSAP_FLUX", "KSPSAP_FLUX"), "PDCSAP_FLUX_ERR",
                 "KSPSAP_FLUX_ERR"),
         "",
         {2458500.5L, 2458501.25L, 2458501.5L},
         {100, 104, 50},
         100,
         1,
         2,
         1,
         0.00138888888888889L},
        // lightkurve's to_fits: FLUX, SAP_QUALITY, TUNIT 'bkjd' and no time keywords; the
        // cadence from the spacing (a quarter of a day is none of the missions').
        {"lightkurve",
         {{"TELESCOP", "'KEPLER'"}},
         {{"TUNIT1", "'bkjd'"}},
         Renamed(
             Renamed(Renamed(TessColumns(), "PDCSAP_FLUX", "FLUX"), "PDCSAP_FLUX_ERR", "FLUX_ERR"),
             "QUALITY", "SAP_QUALITY"),
         "",
         {2456333.0L, 2456333.25L, 2456333.5L, 2456333.75L, 2456334.0L},
         {100, 102, 98, 104, 50},
         100,
         1,
         0,
         1,
         0.0L},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FitsTable t;
        std::string why;
        ASSERT_TRUE(Read(MakeFits(dir, c.primary, c.table, c.columns), c.flux, &t, &why)) << why;
        EXPECT_EQ(t.total_rows, 6);
        EXPECT_EQ(t.quality_rows, c.quality_rows);
        EXPECT_EQ(t.unusable_rows, c.unusable_rows);
        EXPECT_EQ(t.median, c.median);
        EXPECT_EQ(t.exposure, c.exposure);
        EXPECT_EQ(t.extension, "LIGHTCURVE");
        const std::size_t kept = 6 - c.quality_rows - c.unusable_rows;
        ASSERT_EQ(t.rows.size(), 3 * kept);
        if (c.times.empty()) {  // TIMEPIXR 0: the SPOC rows, half a day later
            FitsTable spoc;
            Read(MakeFits(dir, c.primary, kTessTable, c.columns), "", &spoc, &why);
            for (std::size_t i = 0; i < kept; ++i)
                EXPECT_EQ(t.rows[3 * i], spoc.rows[3 * i] + 0.25L) << i;
            continue;
        }
        for (std::size_t i = 0; i < kept; ++i) {
            EXPECT_EQ(t.rows[3 * i], c.times[i]) << i << Show({t.rows[3 * i], c.times[i]});
            EXPECT_EQ(t.rows[3 * i + 1], c.flux_over_median[i] / c.median) << i;
        }
        EXPECT_EQ(t.rows[2], c.error0 / c.median);
    }
}

// A broken or foreign file is refused with the reason, whatever the bytes; the tool names the
// file and ends with status 2.
TEST(FitsTable, BrokenAndForeignFilesAreRefused) {
    const TempDir dir;
    const std::string good = MakeFits(dir, kTessPrimary, kTessTable, TessColumns());
    std::string bad_header = good;
    bad_header.replace(bad_header.find("NAXIS   ="), 30, "NAXIS   = 'two'               ");
    const struct {
        const char* what;
        std::string bytes;
        const char* why;
    } cases[] = {
        {"truncated", good.substr(0, good.size() - 2880), "is cut short"},
        {"cut inside the header", good.substr(0, 3000), "is cut short"},
        {"corrupt header", bad_header, "has a corrupt header: NAXIS in the primary header"},
        {"image without a table", MakeFits(dir, kTessPrimary, {}, {}, true),
         "holds no binary table with a TIME column"},
        {"no TIME", MakeFits(dir, kTessPrimary, kTessTable, Renamed(TessColumns(), "TIME", "T")),
         "has no TIME column in its table LIGHTCURVE"},
        {"no flux",
         MakeFits(dir, kTessPrimary, kTessTable, Renamed(TessColumns(), "PDCSAP_FLUX", "OTHER")),
         "has no flux column (PDCSAP_FLUX, KSPSAP_FLUX or FLUX)"},
        {"no error",
         MakeFits(dir, kTessPrimary, kTessTable,
                  Renamed(TessColumns(), "PDCSAP_FLUX_ERR", "OTHER")),
         "has no column PDCSAP_FLUX_ERR for the uncertainties of PDCSAP_FLUX"},
        {"UTC", MakeFits(dir, kTessPrimary, With(kTessTable, "TIMESYS", "'UTC'"), TessColumns()),
         "gives its times in TIMESYS 'UTC'; only TDB is read"},
        {"geocentric",
         MakeFits(dir, kTessPrimary, With(kTessTable, "TIMEREF", "'LOCAL'"), TessColumns()),
         "only barycentric times"},
        {"no reference day",
         MakeFits(dir, kTessPrimary, Without(kTessTable, "BJDREFI"), TessColumns()),
         "gives no BJDREFI"},
        {"start stamps, no cadence",
         MakeFits(dir, kTessPrimary, With(Without(kTessTable, "TIMEDEL"), "TIMEPIXR", "0"),
                  TessColumns()),
         "without a TIMEDEL"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FitsTable t;
        std::string why;
        EXPECT_FALSE(Read(c.bytes, "", &t, &why));
        EXPECT_NE(why.find(c.why), std::string::npos) << why;
    }
    FitsTable t;
    std::string why;
    EXPECT_FALSE(Read(good, "SAP_BKG", &t, &why));
    EXPECT_EQ(why, "has no column SAP_BKG in its table LIGHTCURVE");

    const std::string par = dir.Write("fit.par", "rsun 0.1\nrplanet 0.01\nperiod 3\n");
    for (const auto& [name, bytes] :
         {std::pair<std::string, std::string>{"cut.fits", cases[0].bytes},
          {"image.fits", cases[3].bytes}}) {
        const std::string file = dir.Write(name, bytes);
        const CliResult res = RunTool({par, file});
        EXPECT_EQ(res.status, 2) << name;
        EXPECT_EQ(res.out.rfind("The FITS data file " + file + " ", 0), 0u) << res.out;
    }
}

// A data argument of several files joins them in order, each FITS file divided by its own
// median and keeping its own TIMEDEL; a table joins as it stands.
TEST(FitsTable, DataArgumentJoinsFiles) {
    const TempDir dir;
    std::vector<Column> doubled = TessColumns();
    for (Column& c : doubled)
        if (c.name.find("FLUX") != std::string::npos)
            for (double& v : c.values) v *= 2;
    const std::string a =
        dir.Write("a.fits", MakeFits(dir, kTessPrimary, kTessTable, TessColumns()));
    const std::string b = dir.Write(
        "b.fits", MakeFits(dir, kTessPrimary, With(kTessTable, "TIMEDEL", "0.02"), doubled));
    const std::string t = dir.Write("c.txt", "7 1.5 0.25\n");
    std::unique_ptr<long double[]> data;
    std::int64_t pnum = 0;
    std::vector<DataPart> parts;
    RunOptions options;
    ASSERT_TRUE(read_observations((a + "," + b + "," + t).c_str(), &data, &pnum, &options, &parts));
    ASSERT_EQ(pnum, 9);
    ASSERT_EQ(parts.size(), 3u);
    EXPECT_EQ(parts[1].first, 4);
    EXPECT_EQ(parts[1].count, 4);
    EXPECT_EQ(parts[0].exposure, 0.00138888888888889L);
    EXPECT_EQ(parts[1].exposure, 0.02L);
    EXPECT_EQ(parts[2].exposure, 0.0L);
    for (int i = 0; i < 12; ++i) EXPECT_EQ(data[i], data[12 + i]) << i;
    EXPECT_EQ(data[0], 2458500.0L);
    EXPECT_EQ(data[25], 1.5L);
    // Without an exposure key each FITS file keeps its TIMEDEL and the table the key's 0; with
    // one, every file takes the key's value.
    std::vector<DataPart> own = parts;
    resolve_exposures(&own, options);
    EXPECT_EQ(own[1].exposure, 0.02L);
    EXPECT_EQ(own[2].exposure, 0.0L);
    options.exposure_key = true;
    options.exposure = 0.5L;
    resolve_exposures(&parts, options);
    for (const DataPart& part : parts) EXPECT_EQ(part.exposure, 0.5L);

    options.flux_column = "SAP_FLUX";
    ASSERT_TRUE(read_observations(a.c_str(), &data, &pnum, &options, &parts));
    EXPECT_EQ(data[10], 2.0L);  // 400 over the median 200
    EXPECT_FALSE(read_observations((a + ",missing.fits").c_str(), &data, &pnum, &options));
}

// The archive's own files, when they are beside the checkout.
const std::string kRealFits = std::string(SHARED_DATA_DIR) + "/realfits/";

bool ReadReal(const std::string& name, FitsTable* t) {
    const std::string bytes = TempDir::ReadFile(kRealFits + name);
    std::string why;
    const bool ok = Read(bytes, "", t, &why);
    EXPECT_TRUE(ok) << name << ": " << why;
    return ok;
}

TEST(FitsTable, ArchiveFiles) {
    if (!std::filesystem::exists(kRealFits + "README.md"))
        GTEST_SKIP() << "no archive light curves at " << kRealFits;
    const struct {
        const char* file;
        std::int64_t rows, kept;
        long double exposure, time_fix;
    } cases[] = {
        {"kplr010666592-2009131105131_llc.fits", 476, 469, 0.02043359821692L, 0},
        {"kplr010874614-2009131105131_llc.fits", 476, 469, 0.02043359821692L, 66.184L},
        {"hlsp_tess-spoc_tess_phot_0000000039903405-s0024_tess_v1_lc.fits", 1271, 1209,
         0.020833333333333332L, 0},
        {"hlsp_qlp_tess_ffi_s0025-0000000039903405_tess_v01_llc.fits", 1169, 862,
         0.02083333333333333L, 0},
        {"tess2020106103520-s0024-0000000039903405-0180-s_lc.fits", 19074, 18217,
         0.001388888888888889L, 0},
        {"lightkurve/kepler-22.fits", 473, 469, 0.02043359821692L, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        FitsTable t;
        if (!ReadReal(c.file, &t)) continue;
        EXPECT_EQ(t.total_rows, c.rows);
        EXPECT_EQ(static_cast<std::int64_t>(t.rows.size() / 3), c.kept);
        EXPECT_EQ(static_cast<double>(t.exposure), static_cast<double>(c.exposure));
        EXPECT_EQ(t.time_fix, c.time_fix);
    }

    // The 2018 data-alerts file and the later SPOC file of the same sector keep the same rows,
    // the alerts' 815 NaN times beside fluxes of exactly 0 (QUALITY 0 in that file) left out,
    // not read as zeros. The two versions disagree on the flags of two cadences, one each way,
    // and their PDC fluxes differ (another pipeline version); SAP_FLUX is the same.
    const std::string alerts_file =
        "hlsp_tess-data-alerts_tess_phot_00025155310-s01_tess_v1_lc.fits";
    const std::string spoc_file = "tess2018206045859-s0001-0000000025155310-0120-s_lc.fits";
    FitsTable alerts, spoc;
    std::string why;
    ASSERT_TRUE(Read(TempDir::ReadFile(kRealFits + alerts_file), "SAP_FLUX", &alerts, &why));
    ASSERT_TRUE(Read(TempDir::ReadFile(kRealFits + spoc_file), "SAP_FLUX", &spoc, &why));
    EXPECT_EQ(alerts.unusable_rows, 814);
    EXPECT_EQ(alerts.rows.size(), spoc.rows.size());
    std::size_t a = 0, b = 0, only_alerts = 0, only_spoc = 0;
    while (a < alerts.rows.size() && b < spoc.rows.size()) {
        if (alerts.rows[a] < spoc.rows[b]) {
            ++only_alerts, a += 3;
        } else if (spoc.rows[b] < alerts.rows[a]) {
            ++only_spoc, b += 3;
        } else {
            ASSERT_LE(
                UlpDistance(alerts.rows[a + 1] * alerts.median, spoc.rows[b + 1] * spoc.median), 2)
                << a / 3;
            a += 3, b += 3;
        }
    }
    EXPECT_EQ(only_alerts + (alerts.rows.size() - a) / 3, 1u);
    EXPECT_EQ(only_spoc + (spoc.rows.size() - b) / 3, 1u);
}

}  // namespace
