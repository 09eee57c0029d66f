// Raw mode and key input on a POSIX terminal.
//
// Raw mode, entered for each key wait and left right after it, clears:
//   ICANON  line editing: a read returns as soon as one byte has arrived (VMIN 1, VTIME 0)
//   ECHO    echo of typed characters
//   ISIG    signal keys: Ctrl+C arrives as the byte 3, Ctrl+\ as 28, Ctrl+Z as 26
//   IEXTEN  Ctrl+V and Ctrl+O arrive as bytes
//   IXON    flow control: Ctrl+S and Ctrl+Q arrive as bytes
//   ICRNL, INLCR, IGNCR   Enter arrives as 13, unchanged
//   ISTRIP  bytes from 128 up arrive whole
// Output processing is left alone. The switch is made with TCSANOW, so keys typed before the
// wait are kept. This file is the only place that changes the terminal mode.
//
// Sequences sent to the terminal, all during a key wait:
//   ESC [ ? u   ESC [ c    at the first wait: does the terminal speak the kitty keyboard
//                          protocol? A terminal that does answers ESC [ ? flags u before its
//                          answer to the device attributes query ESC [ c, which every terminal
//                          gives; one that answers neither is waited for kQueryTimeout at most.
//   ESC [ > 31 u           on such a terminal, at every wait: report every key as an escape code,
//                          with press, repeat and release events, the shifted and base-layout
//                          keys, and the text the key types
//   ESC [ < u   ESC [ c    at the end of the wait: back to the terminal's own flags; reading up
//                          to the device attributes answer collects every report the terminal
//                          sent before it took the change, so none is left for line input
#include "console/posix/tty_keyboard.h"

#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace basedrill::posix {

namespace {

constexpr char kQueryProtocol[] = "\x1b[?u\x1b[c";
constexpr char kPushFlags[] = "\x1b[>31u";
constexpr char kPopFlags[] = "\x1b[<u";
constexpr char kPopFlagsAndFence[] = "\x1b[<u\x1b[c";

// Most presses kept while waiting for a reply.
constexpr std::size_t kMaxEarlyPresses = 64;

// What a signal handler must undo, shared with it. `rawFd` is the terminal while its mode is raw,
// else -1; it is set only after the switch succeeded and cleared before the restore, both with
// the signals blocked. `flagsPushed` says that the keyboard protocol flags are pushed.
struct termios savedMode;
volatile sig_atomic_t rawFd = -1;
volatile sig_atomic_t flagsPushed = 0;

constexpr int kRestoringSignals[] = {SIGTERM, SIGHUP, SIGQUIT};

extern "C" void restoreAndDie(int sig) {
    const int fd = rawFd;
    if (fd >= 0) {
        if (flagsPushed) {
            const ssize_t ignored = write(fd, kPopFlags, sizeof kPopFlags - 1);
            (void)ignored;
        }
        tcsetattr(fd, TCSANOW, &savedMode);
    }
    // The handler was installed with SA_RESETHAND, so the signal, raised again, takes its
    // default action as soon as the handler returns.
    raise(sig);
}

// Blocks the restoring signals for its lifetime.
class SignalBlock {
  public:
    SignalBlock() {
        sigset_t set;
        sigemptyset(&set);
        for (int sig : kRestoringSignals)
            sigaddset(&set, sig);
        sigprocmask(SIG_BLOCK, &set, &previous_);
    }
    ~SignalBlock() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }
    SignalBlock(const SignalBlock&) = delete;
    SignalBlock& operator=(const SignalBlock&) = delete;

  private:
    sigset_t previous_;
};

}  // namespace

void restoreTerminalOnSignals() {
    for (int sig : kRestoringSignals) {
        struct sigaction old {};
        if (sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
        struct sigaction sa {};
        sa.sa_handler = restoreAndDie;
        sa.sa_flags = SA_RESETHAND;
        sigemptyset(&sa.sa_mask);
        for (int other : kRestoringSignals)
            sigaddset(&sa.sa_mask, other);
        sigaction(sig, &sa, nullptr);
    }
}

bool TtyKeyboard::writeAll(const char* bytes) {
    std::size_t left = std::strlen(bytes);
    while (left > 0) {
        const ssize_t n = write(fd_, bytes, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

bool TtyKeyboard::enterRaw() {
    {
        SignalBlock block;
        struct termios mode;
        if (tcgetattr(fd_, &mode) != 0) return false;
        struct termios raw = mode;
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
        raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | INLCR | IGNCR | ISTRIP);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        if (tcsetattr(fd_, TCSANOW, &raw) != 0) return false;
        savedMode = mode;
        rawFd = fd_;
        decoder_.setEraseByte(mode.c_cc[VERASE]);
    }

    if (protocol_ == Protocol::Unknown) {
        // Asked once, in raw mode so that the answer is neither echoed nor held for a line.
        bool kitty = false;
        if (writeAll(kQueryProtocol)) {
            readReplies(kQueryTimeout, [&kitty](const DecoderEvent& event) {
                if (event.kind == DecoderEvent::Kind::KittyFlagsReply) kitty = true;
                return event.kind == DecoderEvent::Kind::DeviceAttributesReply;
            });
        }
        protocol_ = kitty ? Protocol::Kitty : Protocol::Legacy;
    }
    if (protocol_ == Protocol::Kitty) {
        SignalBlock block;
        decoder_.setKittyProtocol(true);
        if (writeAll(kPushFlags)) flagsPushed = 1;
    }
    return true;
}

bool TtyKeyboard::leaveRaw() {
    if (flagsPushed) {
        {
            SignalBlock block;
            flagsPushed = 0;
            if (!writeAll(kPopFlagsAndFence)) writeAll(kPopFlags);
        }
        readReplies(kQueryTimeout, [](const DecoderEvent& event) {
            return event.kind == DecoderEvent::Kind::DeviceAttributesReply;
        });
    }

    SignalBlock block;
    rawFd = -1;
    int rc;
    do {
        rc = tcsetattr(fd_, TCSANOW, &savedMode);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

TtyKeyboard::Fill TtyKeyboard::fill(int timeoutMs) {
    for (;;) {
        struct pollfd pfd = {fd_, POLLIN, 0};
        const int ready = poll(&pfd, 1, timeoutMs);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return Fill::Failed;
        if (ready == 0) return Fill::TimedOut;
        // One byte at a time: whatever follows the press stays with the terminal, for the line
        // or key read it was typed for.
        unsigned char byte;
        const ssize_t n = read(fd_, &byte, 1);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return Fill::Failed;  // hung up, or the read failed
        decoder_.feed(&byte, 1);
        return Fill::Fed;
    }
}

std::optional<DecoderEvent> TtyKeyboard::nextEvent(std::optional<Clock::time_point> deadline) {
    const auto isEvent = [](const DecoderEvent& e) {
        return e.kind != DecoderEvent::Kind::Empty && e.kind != DecoderEvent::Kind::NeedMore;
    };
    for (;;) {
        DecoderEvent event = decoder_.next();
        if (isEvent(event)) return event;
        const bool midSequence = event.kind == DecoderEvent::Kind::NeedMore;
        if (midSequence && decoder_.room() == 0) {
            event = decoder_.expire();
            if (isEvent(event)) return event;
            continue;
        }
        // In the middle of a sequence, wait only as long as its bytes may straggle.
        int wait = midSequence ? static_cast<int>(kEscTimeout.count()) : -1;
        if (deadline) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
            if (left.count() <= 0) return std::nullopt;
            if (wait < 0 || left.count() < wait) wait = static_cast<int>(left.count());
        }
        switch (fill(wait)) {
            case Fill::Fed:
                break;
            case Fill::Failed:
                return std::nullopt;
            case Fill::TimedOut:
                if (midSequence) {
                    // The rest of the sequence did not come: take what arrived as it stands.
                    event = decoder_.expire();
                    if (isEvent(event)) return event;
                }
                break;
        }
    }
}

template <typename Until>
bool TtyKeyboard::readReplies(std::chrono::milliseconds timeout, Until until) {
    const Clock::time_point deadline = Clock::now() + timeout;
    while (const std::optional<DecoderEvent> event = nextEvent(deadline)) {
        if (event->kind != DecoderEvent::Kind::Press) {
            if (until(*event)) return true;
            continue;
        }
        early_.push_back(event->press);
        // Past this the input stays with the terminal rather than grow here.
        if (early_.size() >= kMaxEarlyPresses) return false;
    }
    return false;
}

std::optional<KeyPress> TtyKeyboard::nextPress() {
    if (!early_.empty()) {
        const KeyPress press = early_.front();
        early_.pop_front();
        return press;
    }
    // Late answers to a query are no keys.
    while (const std::optional<DecoderEvent> event = nextEvent(std::nullopt)) {
        if (event->kind == DecoderEvent::Kind::Press) return event->press;
    }
    return std::nullopt;
}

}  // namespace basedrill::posix
