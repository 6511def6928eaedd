// Fuzz target: the data-table reader, load_table, on arbitrary bytes.  Besides the sanitizers'
// checks it holds the reader to what it promises whatever the text: an array exactly when the
// table is accepted, whole observations of finite values with uncertainties whose square is a
// normal number, no more values than runs of number characters, counts of lines left out that
// fit in the file, and a refusal that names a line of the file and a value of bounded length.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "fuzz_util.h"
#include "optimize.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = ScratchDir::Get().File("d.txt");
    WriteBytes(path, data, size);
    const char* const bytes = reinterpret_cast<const char*>(data);
    std::int64_t runs = 0, lines = 1;
    for (std::size_t i = 0; i < size; ++i) {
        if (isnumchar(bytes[i]) && (i == 0 || !isnumchar(bytes[i - 1]))) ++runs;
        if (bytes[i] == '\n') ++lines;
    }

    long double* raw = reinterpret_cast<long double*>(&runs);  // must be replaced
    TableError err;
    TableNotes notes;
    const std::int64_t count = load_table(path.c_str(), &raw, &err, &notes);
    const std::unique_ptr<long double[]> values(raw);

    FUZZ_CHECK(err.kind != TableError::kOpen);
    if (err.kind != TableError::kNone) {
        FUZZ_CHECK(count == -1 && raw == nullptr);
        FUZZ_CHECK(err.line >= 1 && err.line <= lines);
        FUZZ_CHECK(err.word.size() <= 83);
        const TableError::Kind k = err.kind;
        if (k == TableError::kValueCount)
            FUZZ_CHECK(err.values >= 1 && err.values != (err.columns ? err.columns : 3));
        else if (k == TableError::kHeader)
            FUZZ_CHECK(!err.lacking.empty() && !err.names.empty());
        else  // the refusals of one word
            FUZZ_CHECK((k == TableError::kUncertainty || k == TableError::kUncertaintyRange ||
                        k == TableError::kNotFinite || k == TableError::kNotNumber) &&
                       !err.word.empty());
        return 0;
    }
    FUZZ_CHECK(count >= 0 && count % 3 == 0 && count <= runs);
    FUZZ_CHECK(count == 0 || raw != nullptr);
    for (std::int64_t i = 0; i < count; ++i) {
        FUZZ_CHECK(std::isfinite(values[i]));
        if (i % 3 == 2) FUZZ_CHECK(values[i] > 0.0L && std::isnormal(values[i] * values[i]));
    }
    FUZZ_CHECK(count / 3 + notes.missing + notes.flagged <= lines);
    FUZZ_CHECK((notes.missing == 0) == (notes.first_missing == 0));
    FUZZ_CHECK((notes.flagged == 0) == (notes.first_flagged == 0));
    FUZZ_CHECK(notes.first_missing >= 0 && notes.first_missing <= lines);
    FUZZ_CHECK(notes.first_flagged >= 0 && notes.first_flagged <= lines);
    FUZZ_CHECK(notes.magnitude_column.empty() || count == 0 ||
               std::isfinite(notes.median_magnitude));
    return 0;
}
