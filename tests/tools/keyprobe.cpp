// A test tool, not part of the program: reads key codes the way the drill does and prints each
// one on a line of its own, so that tests can check the codes real terminals produce.
//
//   keyprobe N    reads N codes (the second half of a two-part code counts as one), then exits 0
#include <cstdio>
#include <cstdlib>

#include "console/platform.h"
#include "console/terminal.h"

int main(int argc, char** argv) {
    using namespace basedrill;
    const int count = argc > 1 ? std::atoi(argv[1]) : 1;
    const std::unique_ptr<Platform> platform = makePlatform();
    KeyReader keys(platform->keyboard());
    std::printf("ready\n");
    std::fflush(stdout);
    for (int i = 0; i < count; ++i) {
        std::printf("%d\n", keys.readKey());
        std::fflush(stdout);
    }
    return 0;
}
