// The keyboard side of a POSIX terminal: raw mode on /dev/tty and escape-sequence decoding.
#pragma once

#include <chrono>
#include <deque>
#include <optional>

#include "console/key_decoder.h"
#include "console/terminal.h"

namespace basedrill::posix {

// How long to wait for a terminal's answer to a query before going on without it. Long enough
// for a terminal at the far end of a slow link, whose late answer would otherwise arrive after
// the mode is restored and be echoed and read as a typed line.
inline constexpr std::chrono::milliseconds kQueryTimeout{400};

class TtyKeyboard final : public KeyboardDevice {
  public:
    // `fd` is the terminal connection, or -1 when there is no terminal.
    explicit TtyKeyboard(int fd) : fd_(fd) {}

    bool isOpen() const override { return fd_ >= 0; }
    bool enterRaw() override;
    bool leaveRaw() override;
    std::optional<KeyPress> nextPress() override;

  private:
    enum class Protocol { Unknown, Legacy, Kitty };
    enum class Fill { Fed, TimedOut, Failed };
    using Clock = std::chrono::steady_clock;

    // Waits at most `timeoutMs` (-1: for ever) for bytes from the terminal and feeds them to the
    // decoder.
    Fill fill(int timeoutMs);
    // The next press or answer to a query, reading as needed: nothing when reading fails or the
    // deadline passes.
    std::optional<DecoderEvent> nextEvent(std::optional<Clock::time_point> deadline);
    // Reads answers until `until` takes one or the time runs out (false), keeping every key press
    // that comes meanwhile for the key wait.
    template <typename Until>
    bool readReplies(std::chrono::milliseconds timeout, Until until);
    bool writeAll(const char* bytes);

    int fd_;
    KeyDecoder decoder_;
    Protocol protocol_ = Protocol::Unknown;
    std::deque<KeyPress> early_;  // presses that arrived while waiting for a reply
};

// Makes SIGTERM, SIGHUP and SIGQUIT restore the terminal when they arrive during a key wait; the
// process then still dies by the same signal. Signals that were ignored stay ignored.
void restoreTerminalOnSignals();

}  // namespace basedrill::posix
