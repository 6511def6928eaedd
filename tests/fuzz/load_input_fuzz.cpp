// Fuzz target: the parameter-file reader, load_input, on arbitrary bytes.  Besides the
// sanitizers' checks it holds the reader to what it promises whatever the text: the result
// code, the masks within their bits, keys that were absent leave their defaults, and the
// corrections of the period and the iteration count applied.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_util.h"
#include "optimize.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = ScratchDir::Get().File("p.par");
    WriteBytes(path, data, size);
    // The reader searches the bytes read plus a line feed of its own.
    const std::string text = std::string(reinterpret_cast<const char*>(data), size) + "\n";
    auto has = [&](const char* key) { return text.find(key) != std::string::npos; };

    long double tbl[kInputSlots];
    for (long double& v : tbl) v = -7.0L;  // none of the defaults
    int pflag = -1, lflag = -1;
    const int res = load_input(path.c_str(), tbl, &pflag, &lflag);

    FUZZ_CHECK(res == (has("rsun ") ? 0 : 2));
    FUZZ_CHECK(tbl[kInTshift] == -7.0L || has("tshift "));  // slot 0 has no default
    FUZZ_CHECK(pflag >= 0 && pflag <= 63);
    FUZZ_CHECK(lflag >= 1 && lflag <= 15 && (lflag & 1));
    const char* const marked[6] = {"tshift ",      "eccentr ", "periastr ",
                                   "inclination ", "rsun ",    "rplanet "};
    for (int i = 0; i < 6; ++i) FUZZ_CHECK(!(pflag & (1 << i)) || has(marked[i]));
    FUZZ_CHECK(!(lflag & 2) || has("lin"));
    FUZZ_CHECK(((lflag & 4) != 0) == (res == 0 && has("quad")));
    FUZZ_CHECK(((lflag & 8) != 0) == (res == 0 && has("sqrt")));
    if (res == 2) {
        FUZZ_CHECK(pflag == 0 && lflag == 1);
        FUZZ_CHECK(tbl[kInInclination] == 90.0L && tbl[kInRsun] == 0.0L);
    } else {
        FUZZ_CHECK(tbl[kInPeriod] > 0.0L || std::isnan(tbl[kInPeriod]));
        FUZZ_CHECK(tbl[kInIterations] != 0.0L);
        if (!has("inclination ")) FUZZ_CHECK(tbl[kInInclination] == 90.0L);
        if (!has("lm")) FUZZ_CHECK(tbl[kInLm] == 0.0L);
    }
    return 0;
}
