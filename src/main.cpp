// basedrill: a drill on number bases, in Italian. Arguments are ignored.
#include "console/console_out.h"
#include "console/platform.h"
#include "console/readers.h"
#include "console/terminal.h"
#include "drill/driver.h"

int main() {
    using namespace basedrill;
    const std::unique_ptr<Platform> platform = makePlatform();
    ConsoleOut out(platform->standardOutput(), platform->standardOutputIsTerminal());
    TextInput input(platform->standardInput());
    NumberReader numbers(input, out);
    LineReader lines(input);
    KeyReader keys(platform->keyboard());
    Screen screen(platform->screen());
    Console console{out, numbers, lines, keys, screen, platform->clock(), platform->process()};
    runDrill(console);
}
