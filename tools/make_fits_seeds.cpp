// Writes the seed corpus of the FITS fuzz target: small light curves in the layouts of the
// archives (TESS SPOC 2 min, TESS-SPOC and QLP 30 min, old and new Kepler long cadence,
// lightkurve's to_fits), with their header keywords, NaN times, zero fluxes and quality flags,
// and an image without a table.  Every value is made here; nothing is taken from a real file.
//
//     make_fits_seeds DIRECTORY
#include <fitsio.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace {

using Cards = std::vector<std::pair<const char*, const char*>>;

struct Layout {
    const char* file;
    Cards primary, table;
    std::vector<const char*> columns;  // TTYPE; TFORM "J" for flags and numbers, else "D"/"E"
    double step;                       // days between cadences
};

void Cards2(fitsfile* f, const Cards& cards, int* status) {
    for (const auto& [key, value] : cards) {
        std::string card = key;
        card.resize(8, ' ');
        card += std::string("= ") + value;
        fits_write_record(f, card.c_str(), status);
    }
}

const char* FormOf(const std::string& name) {
    if (name == "QUALITY" || name == "SAP_QUALITY" || name == "CADENCENO") return "J";
    if (name == "TIME") return "D";
    return "E";
}

bool Write(const std::string& path, const Layout& l, bool image) {
    fitsfile* f = nullptr;
    int status = 0;
    fits_create_file(&f, ("!" + path).c_str(), &status);
    long axes[2] = {3, 2};
    fits_create_img(f, image ? FLOAT_IMG : BYTE_IMG, image ? 2 : 0, axes, &status);
    if (image) {
        float pixels[6] = {1, 2, 3, 4, 5, 6};
        fits_write_img(f, TFLOAT, 1, 6, pixels, &status);
    }
    Cards2(f, l.primary, &status);
    if (!l.columns.empty()) {
        std::vector<char*> names, forms;
        for (const char* c : l.columns) {
            names.push_back(const_cast<char*>(c));
            forms.push_back(const_cast<char*>(FormOf(c)));
        }
        fits_create_tbl(f, BINARY_TBL, 0, static_cast<int>(names.size()), names.data(),
                        forms.data(), nullptr, "LIGHTCURVE", &status);
        Cards2(f, l.table, &status);
        constexpr int kRows = 12;
        for (std::size_t k = 0; k < l.columns.size(); ++k) {
            const std::string name = l.columns[k];
            std::vector<double> v(kRows);
            for (int i = 0; i < kRows; ++i) {
                if (name == "TIME")
                    v[i] = i == 3 ? NAN : 1500.0 + l.step * i;
                else if (name.find("QUALITY") != std::string::npos)
                    v[i] = (i == 5) ? 128 : (i == 7) ? 4096 : (i == 9) ? 32 : 0;
                else if (name == "CADENCENO")
                    v[i] = 1000 + i;
                else if (name.find("_ERR") != std::string::npos)
                    v[i] = i == 10 ? NAN : 1.5;
                else
                    v[i] = i == 3 ? 0.0 : 1000.0 - (i == 6 ? 10.0 : 0.0) + 0.25 * i;
            }
            fits_write_col(f, TDOUBLE, static_cast<int>(k) + 1, 1, 1, kRows, v.data(), &status);
        }
    }
    fits_close_file(f, &status);
    if (status) fits_report_error(stderr, status);
    return status == 0;
}

const Cards kTessTime = {{"TIMEREF", "'SOLARSYSTEM'"}, {"TASSIGN", "'SPACECRAFT'"},
                         {"TIMESYS", "'TDB'"},         {"BJDREFI", "2457000"},
                         {"BJDREFF", "0.0"},           {"TIMEUNIT", "'d'"},
                         {"TIMEPIXR", "0.5"},          {"TIMEDEL", "0.001388888888888889"}};
const std::vector<const char*> kSpocColumns = {
    "TIME", "CADENCENO", "SAP_FLUX", "SAP_FLUX_ERR", "PDCSAP_FLUX", "PDCSAP_FLUX_ERR", "QUALITY"};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_fits_seeds DIRECTORY\n");
        return 2;
    }
    const std::string dir = argv[1];
    Cards ffi = kTessTime;
    ffi.back() = {"TIMEDEL", "0.020833333333333332"};
    Cards kepler = kTessTime;
    kepler[3] = {"BJDREFI", "2454833"};
    kepler.back() = {"TIMEDEL", "0.02043359821692"};
    Cards qlp = {{"TIMEREF", "'SOLARSYSTEM'"}, {"TIMESYS", "'TDB'"}, {"BJDREFI", "2457000"},
                 {"BJDREFR", "0.0"},           {"TIMEUNIT", "'d'"},  {"TIMEDEL", "0.0208333"}};
    Cards pixr0 = kTessTime;
    pixr0[6] = {"TIMEPIXR", "0.0"};
    const Layout layouts[] = {
        {"tess_spoc_2min.fits",
         {{"TELESCOP", "'TESS'"}, {"FILEVER", "'1.0'"}},
         kTessTime,
         kSpocColumns,
         0.001388888888888889},
        {"tess_spoc_ffi.fits", {{"TELESCOP", "'TESS'"}}, ffi, kSpocColumns, 0.020833333333333332},
        {"tess_pixr0.fits", {{"TELESCOP", "'TESS'"}}, pixr0, kSpocColumns, 0.001388888888888889},
        {"qlp_ffi.fits",
         {{"TELESCOP", "'TESS'"}, {"ORIGIN", "'MIT/QLP'"}},
         qlp,
         {"TIME", "CADENCENO", "SAP_FLUX", "KSPSAP_FLUX", "KSPSAP_FLUX_ERR", "QUALITY"},
         0.0208333},
        {"kepler_dr25_llc.fits",
         {{"TELESCOP", "'Kepler'"}, {"FILEVER", "'6.1'"}},
         kepler,
         {"TIME", "SAP_FLUX", "SAP_FLUX_ERR", "PDCSAP_FLUX", "PDCSAP_FLUX_ERR", "SAP_QUALITY"},
         0.02043359821692},
        {"kepler_old_llc.fits",
         {{"TELESCOP", "'Kepler'"}, {"FILEVER", "'2.1'"}},
         kepler,
         {"TIME", "SAP_FLUX", "SAP_FLUX_ERR", "PDCSAP_FLUX", "PDCSAP_FLUX_ERR", "SAP_QUALITY"},
         0.02043359821692},
        {"lightkurve.fits",
         {{"TELESCOP", "'KEPLER'"}},
         {{"TUNIT1", "'bkjd'"}},
         {"TIME", "FLUX", "FLUX_ERR", "CADENCENO", "SAP_QUALITY"},
         0.02043359821692},
        {"image_only.fits", {{"TELESCOP", "'TESS'"}}, {}, {}, 0},
    };
    bool ok = true;
    for (const Layout& l : layouts) ok = Write(dir + "/" + l.file, l, l.columns.empty()) && ok;
    return ok ? 0 : 1;
}
