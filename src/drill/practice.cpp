#include "drill/practice.h"

#include "console/platform.h"
#include "console/readers.h"
#include "console/terminal.h"

namespace basedrill {

std::uint32_t seedFromClock(std::int64_t secondsSinceEpoch) {
    // Whole seconds wrap modulo 2^32, so the drawn numbers keep changing after 2038.
    return secondsSinceEpoch > 0 ? static_cast<std::uint32_t>(secondsSinceEpoch) : 0xFFFFFFFFu;
}

void offerHexPractice(DrillState& state, Console& console, Practice& practice) {
    ConsoleOut& out = console.out;
    out.writeText("\n\n");
    out.writeText("Desideri esercitarti,utilizzando la numerazione esadecimale? Edita -si-");
    out.writeText("\n\n");
    console.lines.readLine(state.reply);
    if (saidYes(state.reply)) {
        console.screen.clearScreen();
        runAttempts(state, console, practice, Radix::Hex);
        return;
    }
    out.writeText("\t\t");
    out.writeText("Vuoi provare con altri sistemi di numerazione?");
    out.writeText("\n\n");
}

void runAttempts(DrillState& state, Console& console, Practice& practice, Radix base) {
    ConsoleOut& out = console.out;
    out.writeText("\t\t");
    out.writeText("\t\t");
    out.writeText("Esercizio");
    out.writeText("\n\n");
    out.writeText("\t\t");
    out.writeText("\t\t");
    out.writeText("Quanti tentativi vuoi fare ?");
    out.writeText("\n\n");
    out.writeText("\t\t");
    out.writeText("\t\t");

    console.numbers.readNumber(state.counter);

    if (base == Radix::Oct) out.writeText("\t\t");
    out.writeText("\n\n");
    out.writeText("\t\t");
    out.writeText(base == Radix::Oct ? "trasforma il numero ottale seguente in decimale"
                                     : "trasforma il numero esadecimale seguente in decimale");
    out.writeText("\n\n");

    // The count goes down by one per attempt until it reaches 0; a negative count runs none
    // (counting down to 0 from there would take some four billion attempts).
    while (state.counter > 0) {
        out.writeText("\t\t");
        showDrawn(console, practice, base);
        out.writeText("\t\t");
        console.numbers.readNumber(state.answer);
        out.writeText("\t\t");
        out.writeText("\n\n");
        out.setWidth(25);
        revealDecimal(console, practice);
        --state.counter;
    }
}

void showDrawn(Console& console, Practice& practice, Radix base) {
    practice.rng.seed(seedFromClock(console.clock.secondsSinceEpoch()));
    practice.drawnNumber = practice.rng.draw() % 1000;
    console.out.setRadix(base);
    console.out.writeText("\t\t");
    console.out.writeText("\t\t");
    console.out.writeInt(practice.drawnNumber);
}

void revealDecimal(Console& console, const Practice& practice) {
    ConsoleOut& out = console.out;
    out.setRadix(Radix::Dec);
    out.setFill('>');
    out.writeText("\t\t");  // the first write after the caller's width: 23 '>' and the tabs
    out.writeText("\t\t");
    out.writeInt(practice.drawnNumber);
}

}  // namespace basedrill
