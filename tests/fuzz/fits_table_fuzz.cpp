// Fuzz target: the FITS light-curve reader, read_fits_table, on arbitrary bytes, once with the
// archive's flux column and once with another.  Besides the sanitizers' checks it holds the
// reader to what it promises whatever the file: a refusal with a reason, or kept rows that are
// finite with positive uncertainties, counts that add up to the table's rows, a positive
// median, a time correction of 0 or the Kepler one.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fits_table.h"
#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    for (const char* flux : {"", "SAP_FLUX"}) {
        FitsTable t;
        std::string why;
        if (!read_fits_table(data, size, flux, &t, &why)) {
            FUZZ_CHECK(!why.empty() && why.size() < 400);
            continue;
        }
        FUZZ_CHECK(why.empty());
        FUZZ_CHECK(t.rows.size() % 3 == 0 && !t.rows.empty());
        const std::int64_t kept = static_cast<std::int64_t>(t.rows.size() / 3);
        FUZZ_CHECK(kept + t.quality_rows + t.unusable_rows == t.total_rows);
        FUZZ_CHECK(t.median > 0.0L && std::isfinite(t.median));
        FUZZ_CHECK(t.exposure >= 0.0L && std::isfinite(t.exposure));
        FUZZ_CHECK(t.time_fix == 0.0L || t.time_fix == 66.184L);
        for (std::size_t i = 0; i < t.rows.size(); ++i) {
            FUZZ_CHECK(std::isfinite(t.rows[i]));
            if (i % 3 == 2) FUZZ_CHECK(t.rows[i] > 0.0L);
        }
    }
    return 0;
}
