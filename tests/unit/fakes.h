// Scripted stand-ins for the console's devices, so a test can run any stage and read back the
// exact bytes it wrote.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "console/console_out.h"
#include "console/platform.h"
#include "console/readers.h"
#include "console/terminal.h"
#include "drill/driver.h"

namespace basedrill::testing {

// Collects what is handed on; can refuse from a given byte on, and records each hand-over.
class StringSink : public ByteSink {
  public:
    bool write(std::string_view bytes) override;

    std::string bytes;
    std::vector<std::size_t> writes;        // the size of every hand-over
    std::size_t refuseAfter = SIZE_MAX;     // bytes accepted before the destination fails
    std::size_t stopAfterBells = SIZE_MAX;  // throws RingStopped once this many bells went out
};

struct RingStopped {};

// Each read returns the next chunk whole (or as much as fits); then end of input, or a failure.
class ScriptedSource : public ByteSource {
  public:
    ScriptedSource() = default;
    ScriptedSource(std::initializer_list<std::string> chunks) : chunks(chunks) {}
    long read(char* buffer, std::size_t capacity) override;

    std::deque<std::string> chunks;
    bool failAtEnd = false;
    int reads = 0;
};

class ScriptedKeyboard : public KeyboardDevice {
  public:
    bool isOpen() const override { return open; }
    bool enterRaw() override;
    bool leaveRaw() override;
    std::optional<KeyPress> nextPress() override;

    bool open = true;
    bool rawFails = false;
    bool restoreFails = false;
    bool raw = false;
    int waits = 0;                                // key waits begun
    std::deque<std::optional<KeyPress>> presses;  // nullopt is a failed read
};

class CountingScreen : public ScreenDevice {
  public:
    explicit CountingScreen(StringSink& log) : log_(log) {}
    // Marks the clear in the output log, so a test sees where it happened.
    void clear() override;
    int clears = 0;

  private:
    StringSink& log_;
};

class FixedClock : public Clock {
  public:
    std::int64_t secondsSinceEpoch() override { return now; }
    std::int64_t now = 1000000000;
};

struct ExitCalled {
    int status;
};
struct AwaitingInterrupt {};

class ThrowingExit : public ProcessExit {
  public:
    [[noreturn]] void exit(int status) override { throw ExitCalled{status}; }
    [[noreturn]] void awaitInterrupt() override { throw AwaitingInterrupt{}; }
};

// A whole console over the fakes.
struct FakeConsole {
    explicit FakeConsole(std::initializer_list<std::string> input = {}, bool unitBuffered = true);

    StringSink sink;
    ScriptedSource source;
    ScriptedKeyboard keyboard;
    CountingScreen screenDevice{sink};
    FixedClock clock;
    ThrowingExit process;
    ConsoleOut out;
    TextInput input{source};
    NumberReader numbers{input, out};
    LineReader lines{input};
    KeyReader keys{keyboard};
    Screen screen{screenDevice};
    Console console{out, numbers, lines, keys, screen, clock, process};

    void typeKey(char c);  // a plain press delivering `c`
    void pressKey(KeyPress press) { keyboard.presses.push_back(press); }
};

// The marker CountingScreen puts in the output.
inline constexpr std::string_view kClearMark = "<CLEAR>";

}  // namespace basedrill::testing
