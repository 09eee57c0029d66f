// What the console layer needs from the operating system, behind one narrow interface. Each
// platform implements it in a directory of its own (posix/ here), chosen by the build; nothing
// outside that directory touches descriptors, terminal modes or signals.
#pragma once

#include <cstdint>
#include <memory>

namespace basedrill {

class ByteSink;
class ByteSource;
class KeyboardDevice;
class ScreenDevice;

// The calendar clock.
class Clock {
  public:
    virtual ~Clock() = default;
    // Whole seconds since 1970-01-01 00:00:00 UTC, whatever the time zone.
    virtual std::int64_t secondsSinceEpoch() = 0;
};

// Ending the process.
class ProcessExit {
  public:
    virtual ~ProcessExit() = default;
    // Closes the terminal connection and ends the process with `status`.
    [[noreturn]] virtual void exit(int status) = 0;
    // Does nothing until a signal from outside ends the process.
    [[noreturn]] virtual void awaitInterrupt() = 0;
};

class Platform {
  public:
    virtual ~Platform() = default;
    virtual ByteSink& standardOutput() = 0;
    // Tested once, when the platform is made ready.
    virtual bool standardOutputIsTerminal() const = 0;
    virtual ByteSource& standardInput() = 0;
    virtual KeyboardDevice& keyboard() = 0;
    virtual ScreenDevice& screen() = 0;
    virtual Clock& clock() = 0;
    virtual ProcessExit& process() = 0;
};

// Opens the terminal connection and makes the standard streams ready; changes nothing on the
// screen or in the terminal's mode.
std::unique_ptr<Platform> makePlatform();

}  // namespace basedrill
