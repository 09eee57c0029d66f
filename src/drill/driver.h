// The drill's spine: its state, the opening with the counting tables, the closing key wait, and
// the entry that runs the stages in their fixed order.
#pragma once

#include <cstdint>

#include "console/readers.h"

namespace basedrill {

class ConsoleOut;
class NumberReader;
class LineReader;
class KeyReader;
class Screen;
class Clock;
class ProcessExit;

// The console objects every stage works with, by reference, so that a test can run a stage
// against scripted input and keys and a fixed clock.
struct Console {
    ConsoleOut& out;
    NumberReader& numbers;
    LineReader& lines;
    KeyReader& keys;
    Screen& screen;
    Clock& clock;
    ProcessExit& process;
};

// The drill's four variables. `counter` serves in turn as table index, attempts count and loop
// index, so what one stage leaves in it matters to the next.
struct DrillState {
    std::int32_t counter = 0;
    std::int32_t answer = 0;
    std::int32_t choice = 0;  // what a failed menu read leaves: "not chosen"
    Reply reply;              // empty, so end of input at the first offer means "no"
};

// A reply counts as yes only when the whole line is exactly "si".
inline bool saidYes(const Reply& reply) {
    return reply.equals("si");
}

// Whether a key code, taken as a signed 8-bit character, is the upper-case C that ends the run.
inline bool isUpperC(int keyCode) {
    return static_cast<signed char>(keyCode) == 'C';
}

void showOpening(DrillState& state, Console& console);
[[noreturn]] void awaitClosingKey(DrillState& state, Console& console);
[[noreturn]] void ringForever(Console& console);

// Ends the run with status 0: pending output handed on, the terminal connection closed.
[[noreturn]] void endProgram(Console& console);

// Runs the whole drill, from the opening to one of its ends.
[[noreturn]] void runDrill(Console& console);

}  // namespace basedrill
