// Light curves as the archives ship them: the binary table of a Kepler or TESS FITS file
// (SPOC, TESS-SPOC, QLP, lightkurve's to_fits), read with cfitsio into observations of time
// (BJD_TDB), normalised flux and its uncertainty.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Whether the bytes begin like a FITS file: the primary header's first card, "SIMPLE  =".
bool is_fits_content(const char* bytes, std::size_t size);

// A light-curve table as read from a FITS file.
struct FitsTable {
    std::vector<long double> rows;   // time (BJD_TDB), flux, uncertainty per kept row
    std::int64_t total_rows = 0;     // rows of the table
    std::int64_t quality_rows = 0;   // left out for a flag of the quality mask
    std::int64_t unusable_rows = 0;  // left out for a non-finite time, flux or uncertainty
    std::int64_t first_quality_row = 0, first_unusable_row = 0;  // 1-based, 0: none
    std::string extension;  // the table's EXTNAME, or its HDU number
    std::string flux_column, error_column, quality_column;  // quality_column empty: none
    std::int64_t quality_mask = 0;  // bits of the quality word that leave a row out
    long double median = 0.0L;      // of the kept fluxes, which flux and error were divided by
    long double exposure = 0.0L;    // integration time of a point in days; 0 when unknown
    std::string exposure_from;      // "TIMEDEL", or how the cadence was found
    long double time_zero = 0.0L;   // BJDREFI + BJDREFF, added to TIME
    long double time_fix = 0.0L;    // seconds added to every time (the Kepler timing error)
};

// Reads the light curve of the FITS file held in bytes[0..size).  `flux_column`, when not
// empty, names the flux column to use instead of the archive's (its error column is the same
// name with "_ERR"). Returns false with the reason, a phrase that follows the file's name in
// a message, in *why.
bool read_fits_table(const unsigned char* bytes, std::size_t size, const std::string& flux_column,
                     FitsTable* table, std::string* why);
