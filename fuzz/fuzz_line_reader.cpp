// readLine, alone and interleaved with readNumber over the same text-mode input, compared with
// the model in reader_harness.h.
//
// Input: the calls, one byte each up to the first line feed ('N' or 'n' is readNumber, any other
// byte readLine), then the script of standard input (format in reader_harness.h). After the
// calls, the rest of the input is read to its end.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "reader_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const void* lf = std::memchr(data, '\n', size);
    const std::size_t calls =
        lf != nullptr ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(lf) - data)
                      : size;
    const std::size_t scriptAt = lf != nullptr ? calls + 1 : size;
    basedrill::fuzz::ReaderBench bench(
        basedrill::fuzz::parseScript(data + scriptAt, size - scriptAt));
    for (std::size_t i = 0; i < calls; ++i) {
        if (data[i] == 'N' || data[i] == 'n')
            bench.readNumber();
        else
            bench.readLine();
    }
    bench.finish();
    return 0;
}
