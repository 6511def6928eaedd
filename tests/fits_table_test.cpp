// The FITS light-curve reader on small files written here with cfitsio, each shaped like an
// archive product (the cases of tests/data/fits_cases.txt), on broken files made from them, and
// on the archive files beside the checkout when present.
#include "fits_table.h"

#include <fitsio.h>
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <map>
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

// The six cadences the case file describes.
const Cards kTessPrimary = {{"TELESCOP", "'TESS'"}, {"FILEVER", "'1.0'"}};
const Cards kTessTable = {{"TIMESYS", "'TDB'"},
                          {"TIMEREF", "'SOLARSYSTEM'"},
                          {"TIMEUNIT", "'d'"},
                          {"BJDREFI", "2457000"},
                          {"BJDREFF", "0.0"},
                          {"TIMEPIXR", "0.5"},
                          {"TIMEDEL", "0.00138888888888889"}};
const std::vector<Column> kTessColumns = {
    {"TIME", "D", {1500.0, 1500.25, NAN, 1500.5, 1500.75, 1501.0}},
    {"SAP_FLUX", "E", {200, 200, 200, 200, 200, 400}},
    {"SAP_FLUX_ERR", "E", {2, 2, 2, 2, 2, 2}},
    {"PDCSAP_FLUX", "E", {100, 102, 0, 98, 104, 50}},
    {"PDCSAP_FLUX_ERR", "E", {1, 1, 1, 1, 2, 1}},
    {"QUALITY", "J", {0, 4096, 0, 128, 0, 0}}};

void WriteCards(fitsfile* f, const Cards& cards, int* status) {
    for (const auto& [key, value] : cards) {
        std::string card = key;
        card.resize(8, ' ');
        fits_write_record(f, (card + "= " + value).c_str(), status);
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
    WriteCards(f, primary, &status);
    if (!columns.empty()) {
        std::vector<char*> names, forms;
        for (const Column& c : columns) {
            names.push_back(const_cast<char*>(c.name.c_str()));
            forms.push_back(const_cast<char*>(c.form.c_str()));
        }
        fits_create_tbl(f, BINARY_TBL, 0, int(columns.size()), names.data(), forms.data(), nullptr,
                        "LIGHTCURVE", &status);
        WriteCards(f, table, &status);
        for (std::size_t k = 0; k < columns.size(); ++k) {
            std::vector<double> v = columns[k].values;
            fits_write_col(f, TDOUBLE, int(k) + 1, 1, 1, (long long)v.size(), v.data(), &status);
        }
    }
    fits_close_file(f, &status);
    EXPECT_EQ(status, 0);
    return TempDir::ReadFile(path);
}

void SetCard(Cards* cards, const std::string& key, const std::string& value) {
    for (auto it = cards->begin(); it != cards->end();)
        it = it->first == key ? cards->erase(it) : it + 1;
    if (!value.empty()) cards->push_back({key, value});
}

bool Read(const std::string& b, const std::string& flux, FitsTable* t, std::string* why) {
    return read_fits_table(reinterpret_cast<const unsigned char*>(b.data()), b.size(), flux, t,
                           why);
}

// One case of the file: its changes to the six cadences, then what the reader must give.
void CheckCase(const TempDir& dir, const std::vector<std::string>& lines) {
    Cards primary = kTessPrimary, table = kTessTable;
    std::vector<Column> columns = kTessColumns;
    std::string flux, refused, corrupt;
    bool image = false, tool = false;
    long long cut = 0;
    std::vector<long double> kept, fluxes;
    std::map<std::string, long double> want;
    for (const std::string& line : lines) {
        std::istringstream in(line);
        std::vector<std::string> w;
        for (std::string s; in >> s;) w.push_back(s);
        const std::string& key = w[0];
        if (key == "card" || key == "pcard") SetCard(key == "card" ? &table : &primary, w[1], w[2]);
        for (std::size_t k = 1; key == "nocard" && k < w.size(); ++k) SetCard(&table, w[k], "");
        for (std::size_t k = 1; key == "pnocard" && k < w.size(); ++k) SetCard(&primary, w[k], "");
        for (Column& c : columns)
            if (key == "rename" && c.name == w[1]) c.name = w[2];
        if (key == "image") image = true, columns.clear();
        if (key == "bytes") cut = std::stoll(w[1]);
        if (key == "corrupt") corrupt = (w[1] + "        ").substr(0, 8) + "= " + w[2];
        if (key == "flux") flux = w[1];
        if (key == "refused") refused = line.substr(8);
        if (key == "tool") tool = true;
        for (std::size_t k = 1; k < w.size(); ++k) {
            if (key == "kept")
                (k % 2 ? kept : fluxes).push_back(std::strtold(w[k].c_str(), nullptr));
            if (key == "want" && k % 2) want[w[k]] = std::strtold(w[k + 1].c_str(), nullptr);
        }
    }
    std::string bytes = MakeFits(dir, primary, table, columns, image);
    if (cut != 0) bytes.resize(cut > 0 ? cut : bytes.size() + cut);
    if (!corrupt.empty())
        bytes.replace(bytes.find(corrupt.substr(0, 9)), 30,
                      corrupt + std::string(30 - corrupt.size(), ' '));
    FitsTable t;
    std::string why;
    const bool read = Read(bytes, flux, &t, &why);
    if (!refused.empty()) {
        EXPECT_FALSE(read);
        EXPECT_NE(why.find(refused), std::string::npos) << why;
        const std::string file = dir.Write("case.fits", bytes);
        if (!tool) return;
        const CliResult res = RunTool({dir.Write("fit.par", "rsun 0.1\nperiod 3\n"), file});
        EXPECT_EQ(res.status, 2);
        EXPECT_EQ(res.out.rfind("The FITS data file " + file + " ", 0), 0u) << res.out;
        return;
    }
    ASSERT_TRUE(read) << why;
    EXPECT_EQ(t.total_rows, 6);
    EXPECT_EQ(t.quality_rows, want["quality"]);
    EXPECT_EQ(t.unusable_rows, want["unusable"]);
    EXPECT_EQ(t.median, want["median"]);
    EXPECT_EQ(t.exposure, want["exposure"]);
    EXPECT_EQ(t.extension, "LIGHTCURVE");
    ASSERT_EQ(t.rows.size(), 3 * kept.size());
    ASSERT_EQ(fluxes.size(), kept.size());
    for (std::size_t i = 0; i < kept.size(); ++i) {
        const long double time =
            want["ref"] + kTessColumns[0].values[int(kept[i])] + want["shift"] / 86400;
        EXPECT_EQ(t.rows[3 * i], time) << i << Show({t.rows[3 * i], time});
        EXPECT_EQ(t.rows[3 * i + 1], fluxes[i] / want["median"]) << i;
    }
    EXPECT_EQ(t.rows[2], want["error"] / want["median"]);
}

std::vector<std::vector<std::string>> CaseFile(const std::string& first_word) {
    std::ifstream in(std::string(SOURCE_DIR) + "/tests/data/fits_cases.txt");
    std::vector<std::vector<std::string>> blocks;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        if (line.rfind(first_word + " ", 0) == 0) blocks.emplace_back();
        if (!blocks.empty()) blocks.back().push_back(line);
    }
    return blocks;
}

TEST(FitsTable, CasesOfTheDataFile) {
    const TempDir dir;
    const auto cases = CaseFile("case");
    EXPECT_EQ(cases.size(), 18u);
    for (const auto& lines : cases) {
        SCOPED_TRACE(lines[0]);
        CheckCase(dir, std::vector<std::string>(lines.begin() + 1, lines.end()));
    }
}

// A data argument of several files joins them in order, each FITS file divided by its own
// median and keeping its own TIMEDEL; a table joins as it stands.
TEST(FitsTable, DataArgumentJoinsFiles) {
    const TempDir dir;
    std::vector<Column> doubled = kTessColumns;
    for (Column& c : doubled)
        if (c.name.find("FLUX") != std::string::npos)
            for (double& v : c.values) v *= 2;
    const std::string a =
        dir.Write("a.fits", MakeFits(dir, kTessPrimary, kTessTable, kTessColumns));
    Cards cadence = kTessTable;
    SetCard(&cadence, "TIMEDEL", "0.02");
    const std::string b = dir.Write("b.fits", MakeFits(dir, kTessPrimary, cadence, doubled));
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

TEST(FitsTable, ArchiveFiles) {
    const std::string dir = std::string(SHARED_DATA_DIR) + "/realfits/";
    if (!std::filesystem::exists(dir + "README.md"))
        GTEST_SKIP() << "no archive light curves at " << dir;
    const auto read = [&](const std::string& name, const std::string& flux, FitsTable* t) {
        std::string why;
        EXPECT_TRUE(Read(TempDir::ReadFile(dir + name), flux, t, &why)) << name << ": " << why;
    };
    for (const auto& lines : CaseFile("archive")) {
        std::istringstream in(lines[0]);
        std::string word, file;
        std::int64_t rows, kept;
        long double exposure, time_fix;
        in >> word >> file >> rows >> kept >> exposure >> time_fix;
        SCOPED_TRACE(file);
        FitsTable t;
        read(file, "", &t);
        EXPECT_EQ(t.total_rows, rows);
        EXPECT_EQ(std::int64_t(t.rows.size() / 3), kept);
        EXPECT_EQ(double(t.exposure), double(exposure));
        EXPECT_EQ(t.time_fix, time_fix);
    }

    // The 2018 data-alerts file and the later SPOC file of the same sector keep as many rows,
    // the alerts' 814 NaN times beside fluxes of exactly 0 (QUALITY 0 in that file) left out, not
    // read as zeros.
    FitsTable alerts, spoc;
    read("hlsp_tess-data-alerts_tess_phot_00025155310-s01_tess_v1_lc.fits", "SAP_FLUX", &alerts);
    read("tess2018206045859-s0001-0000000025155310-0120-s_lc.fits", "SAP_FLUX", &spoc);
    EXPECT_EQ(alerts.unusable_rows, 814);
    EXPECT_EQ(alerts.rows.size(), spoc.rows.size());
}

}  // namespace
