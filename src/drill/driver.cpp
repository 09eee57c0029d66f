#include "drill/driver.h"

#include <cstdlib>

#include "console/console_out.h"
#include "console/platform.h"
#include "console/terminal.h"
#include "drill/menu.h"
#include "drill/practice.h"

namespace basedrill {

namespace {

// One counting table: the numbers 0 to 17, each followed by two tabs. `radix` is set before
// every entry, or never for the decimal table, which writes while the base is still unset.
void countingTable(DrillState& state, ConsoleOut& out, const char* title, Radix radix) {
    out.writeText("\t\t");
    out.writeText("\t\t");
    out.writeText(title);
    out.writeText("\n\n");
    for (state.counter = 0; state.counter <= 17; ++state.counter) {
        if (radix != Radix::Unset) out.setRadix(radix);
        out.writeInt(state.counter);
        out.writeText("\t\t");
    }
}

}  // namespace

void showOpening(DrillState& state, Console& console) {
    ConsoleOut& out = console.out;
    out.writeText("By Zembrolt");
    out.writeText("\n");
    countingTable(state, out, "Numerazione Decimale", Radix::Unset);
    out.writeText("\n\n");
    countingTable(state, out, "Numerazione Esadecimale", Radix::Hex);
    out.writeText("\n\n");
    countingTable(state, out, "Numerazione Ottale", Radix::Oct);
}

void awaitClosingKey(DrillState&, Console& console) {
    console.out.writeText("\n\n");
    console.out.writeText("\t\tPer uscire premi -C-");
    console.out.writeText("\t\t");
    if (isUpperC(console.keys.readKey())) endProgram(console);
    ringForever(console);
}

void ringForever(Console& console) {
    // Once standard output refuses the bells there is nothing left to ring: wait for the
    // interrupt instead of spinning.
    while (!console.out.failed())
        console.out.writeText("\a");
    console.process.awaitInterrupt();
    std::abort();  // not reached
}

void endProgram(Console& console) {
    console.out.flush();
    console.process.exit(0);
    std::abort();  // not reached: the exit does not return
}

void runDrill(Console& console) {
    DrillState state;
    Practice practice;
    showOpening(state, console);
    offerHexPractice(state, console, practice);
    offerMenu(state, console, practice);
    awaitClosingKey(state, console);
}

}  // namespace basedrill
