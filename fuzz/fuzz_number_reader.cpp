// readNumber over input split into reads as the fuzz data says: numbers are read until the
// reader fails, then what is left of the input is read as lines. Every result is compared with
// the model in reader_harness.h. The whole input is the script (format in reader_harness.h).
#include <cstddef>
#include <cstdint>

#include "reader_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using basedrill::fuzz::ReaderBench;
    ReaderBench bench(basedrill::fuzz::parseScript(data, size));
    // Each read that does not fail takes at least one character, so this ends well before the
    // bound; the bound only keeps a faulty reader from running forever.
    for (std::size_t i = 0; i <= size + 1 && !bench.numbersFailed(); ++i)
        bench.readNumber();
    FUZZ_REQUIRE(bench.numbersFailed(), "more numbers read than the input has characters");
    bench.finish();
    return 0;
}
