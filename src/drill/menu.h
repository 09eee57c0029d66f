// The leaving notice, the menu of three choices, and the character code table.
#pragma once

#include "drill/driver.h"
#include "drill/practice.h"

namespace basedrill {

// Returns after the chosen action; ends the program when the key read at its key wait is 'C'.
void offerMenu(DrillState& state, Console& console, Practice& practice);
void printCharacterTable(ConsoleOut& out);

}  // namespace basedrill
