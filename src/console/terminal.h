// The terminal itself: one key press read without echo, and clearing the screen. Both bypass the
// standard streams, so they work however standard input and output are redirected.
//
// The platform supplies a KeyboardDevice (raw mode and decoded presses) and a ScreenDevice; the
// rules that do not depend on the platform (the pending second half of a two-part code, raw mode
// entered and left around every wait, presses that give nothing) live here.
#pragma once

#include <cstdint>
#include <optional>

#include "console/key_table.h"

namespace basedrill {

class KeyboardDevice {
  public:
    virtual ~KeyboardDevice() = default;
    // Whether the keyboard side of the terminal could be opened at start.
    virtual bool isOpen() const = 0;
    // Saves the input mode and switches to raw input (no line editing, no echo, no interrupt
    // key): false when the mode cannot be read or switched, in which case nothing changed.
    virtual bool enterRaw() = 0;
    // Restores the mode saved by enterRaw(): false when that fails.
    virtual bool leaveRaw() = 0;
    // Waits for the next key press; nothing when the read fails.
    virtual std::optional<KeyPress> nextPress() = 0;
};

class ScreenDevice {
  public:
    virtual ~ScreenDevice() = default;
    // Blanks the visible screen in the colours it had at start and puts the cursor in the
    // top-left corner. Does nothing when there is no terminal; reports nothing.
    virtual void clear() = 0;
};

class KeyReader {
  public:
    explicit KeyReader(KeyboardDevice& device) : device_(device) {}
    KeyReader(const KeyReader&) = delete;
    KeyReader& operator=(const KeyReader&) = delete;

    // A character code 1 to 255; 0, the first half of a two-part code, whose second half the
    // next call returns without waiting; or -1 when the terminal cannot be read.
    int readKey();

  private:
    KeyboardDevice& device_;
    int pending_ = -1;
};

class Screen {
  public:
    explicit Screen(ScreenDevice& device) : device_(device) {}
    void clearScreen() { device_.clear(); }

  private:
    ScreenDevice& device_;
};

}  // namespace basedrill
