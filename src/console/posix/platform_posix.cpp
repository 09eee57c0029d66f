// The POSIX platform: standard streams as descriptors, /dev/tty as the terminal connection, ANSI
// screen control, the system clock and process exit.
//
// Sequences written to the terminal:
//   ESC [ H    cursor to the top-left corner
//   ESC [ 2 J  erase the whole visible screen in the current colours, which are the start-up
//              colours, since the program never sets any
// Nothing is written to the terminal at start, and its mode is changed only during a key wait.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string_view>

#include "console/console_out.h"
#include "console/platform.h"
#include "console/posix/tty_keyboard.h"
#include "console/readers.h"
#include "console/terminal.h"

namespace basedrill {

namespace posix {
namespace {

// Waits until `fd` is ready for `events`; used when a standard stream was left non-blocking.
void awaitReady(int fd, short events) {
    struct pollfd pfd = {fd, events, 0};
    while (poll(&pfd, 1, -1) < 0 && errno == EINTR) {
    }
}

class FdSink final : public ByteSink {
  public:
    explicit FdSink(int fd) : fd_(fd) {}
    bool write(std::string_view bytes) override {
        while (!bytes.empty()) {
            const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
            if (n > 0) {
                bytes.remove_prefix(static_cast<std::size_t>(n));
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                awaitReady(fd_, POLLOUT);
            } else {
                return false;  // full device, closed pipe, closed descriptor, ...
            }
        }
        return true;
    }

  private:
    int fd_;
};

class FdSource final : public ByteSource {
  public:
    explicit FdSource(int fd) : fd_(fd) {}
    long read(char* buffer, std::size_t capacity) override {
        for (;;) {
            const ssize_t n = ::read(fd_, buffer, capacity);
            if (n >= 0) return static_cast<long>(n);
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                awaitReady(fd_, POLLIN);
                continue;
            }
            return -1;
        }
    }

  private:
    int fd_;
};

// The screen side. Its record of the screen size, in 8-bit counts as a console keeps them, is read
// once at start; the clear itself covers the whole visible screen whatever its size.
class TtyScreen final : public ScreenDevice {
  public:
    explicit TtyScreen(int fd) : fd_(fd) {
        struct winsize ws {};
        if (fd_ >= 0 && ioctl(fd_, TIOCGWINSZ, &ws) == 0) {
            width_ = static_cast<std::uint8_t>(ws.ws_col);
            height_ = static_cast<std::uint8_t>(ws.ws_row);
        }
    }
    void clear() override {
        if (fd_ < 0) return;
        FdSink(fd_).write("\x1b[H\x1b[2J");
    }
    std::uint8_t width() const { return width_; }
    std::uint8_t height() const { return height_; }

  private:
    int fd_;
    std::uint8_t width_ = 0;
    std::uint8_t height_ = 0;
};

class SystemClock final : public Clock {
  public:
    std::int64_t secondsSinceEpoch() override {
        return static_cast<std::int64_t>(std::time(nullptr));
    }
};

// Opens the terminal connection on a descriptor above the standard three, so that a standard
// stream closed at start stays closed instead of becoming the terminal.
int openTerminal() {
    int fd;
    do {
        fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0 && fd <= STDERR_FILENO) {
        const int high = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        close(fd);
        fd = high;
    }
    return fd;
}

class PosixPlatform final : public Platform, private ProcessExit {
  public:
    PosixPlatform()
        : stdoutIsTerminal_(isatty(STDOUT_FILENO) == 1),
          tty_(openTerminal()),
          out_(STDOUT_FILENO),
          in_(STDIN_FILENO),
          keyboard_(tty_),
          screen_(tty_) {
        // A closed pipe on standard output is a failed write, not the end of the program.
        signal(SIGPIPE, SIG_IGN);
        restoreTerminalOnSignals();
    }

    ByteSink& standardOutput() override { return out_; }
    bool standardOutputIsTerminal() const override { return stdoutIsTerminal_; }
    ByteSource& standardInput() override { return in_; }
    KeyboardDevice& keyboard() override { return keyboard_; }
    ScreenDevice& screen() override { return screen_; }
    Clock& clock() override { return clock_; }
    ProcessExit& process() override { return *this; }

  private:
    [[noreturn]] void exit(int status) override {
        if (tty_ >= 0) close(tty_);
        std::exit(status);
    }
    [[noreturn]] void awaitInterrupt() override {
        for (;;)
            pause();
    }

    bool stdoutIsTerminal_;
    int tty_;
    FdSink out_;
    FdSource in_;
    TtyKeyboard keyboard_;
    TtyScreen screen_;
    SystemClock clock_;
};

}  // namespace
}  // namespace posix

std::unique_ptr<Platform> makePlatform() {
    return std::make_unique<posix::PosixPlatform>();
}

}  // namespace basedrill
