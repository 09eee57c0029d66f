#include "drill/menu.h"

#include "console/console_out.h"
#include "console/readers.h"
#include "console/terminal.h"

namespace basedrill {

void offerMenu(DrillState& state, Console& console, Practice& practice) {
    ConsoleOut& out = console.out;

    // No prompt: after the practice the last thing on screen is the last reveal.
    console.lines.readLine(state.reply);
    if (saidYes(state.reply)) out.writeText("\t\t");
    out.writeText("hai deciso di uscire!!");
    for (state.counter = 0; state.counter <= 10; ++state.counter) {
        out.writeText("mi preparo......");
        out.writeText("\a");
    }

    out.writeText("\n\n");
    out.writeText(
        "Desideri esercitarti sulla numerazione ottale? O desideri avere il codice ASCII?");
    out.writeText("\n\n");
    out.writeText("\t\t");
    out.writeText("O USCIRE DEFINITIVAMENTE ?");
    out.writeText("\n\n");
    out.writeText("\t\t");
    out.writeText("Premi -1- o -2- o -3- secondo la scelta che operi");
    out.writeText("\n\n");

    console.numbers.readNumber(state.choice);
    if (state.choice == 3) {
        console.screen.clearScreen();
        out.writeText("\n\n");
        out.writeText("premi 'C' per uscire");
    }

    // Every choice waits for a key, though only 3 asks for one.
    if (isUpperC(console.keys.readKey())) endProgram(console);

    if (state.choice == 1) {
        console.screen.clearScreen();
        runAttempts(state, console, practice, Radix::Oct);
    } else if (state.choice == 2) {
        printCharacterTable(out);
    } else {
        out.writeText("\n\n");
        out.writeText("Non hai scelto");
    }
}

void printCharacterTable(ConsoleOut& out) {
    out.setRadix(Radix::Dec);
    // Each character stands right before the next entry's number, so on screen it sits against
    // the code after its own: the last note line warns of that.
    for (int i = 0; i <= 255; ++i) {
        out.writeInt(i);
        out.writeText("\t");
        out.writeByte(static_cast<unsigned char>(i));
    }
    out.writeText("\n\n");
    out.writeText("Per ottenere i simboli deve premere contemporaneamente il tasto -alt-");
    out.writeText("\n\n");
    out.writeText("e dal tastierino numerico la sequenza dei numeri relativi");
    out.writeText("\n\n");
    out.writeText("NOTA BENE-CON QUESTO ALGORITMO L' UNITA' ASCII E' SFALZATA DI UNA UNITA'");
}

}  // namespace basedrill
