// What the fuzz targets do when a rule is broken: say which one, then abort, so that libFuzzer
// keeps the input that broke it.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace basedrill::fuzz {

[[noreturn]] inline void broken(const char* file, int line, const char* what) {
    std::fprintf(stderr, "%s:%d: rule broken: %s\n", file, line, what);
    std::fflush(stderr);
    std::abort();
}

}  // namespace basedrill::fuzz

// Stays on in every build type: the fuzz build is a release build.
#define FUZZ_REQUIRE(cond, what)                                          \
    do {                                                                  \
        if (!(cond)) ::basedrill::fuzz::broken(__FILE__, __LINE__, what); \
    } while (false)
