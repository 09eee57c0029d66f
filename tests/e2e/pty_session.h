// Runs the real basedrill binary as a child process, with a pseudo-terminal as its controlling
// terminal, and lets a test type at it, feed its standard input, read back everything it writes
// and see how it ended.
//
// Synchronisation is on the program's own state, never on fixed sleeps: the waitFor* calls look
// at /proc/<pid>/stat, /proc/<pid>/syscall and /proc/<pid>/status until the child is asleep in
// an input system call (read, poll, select and their relatives) without a timeout, on the
// expected descriptor, the same way several times a few milliseconds apart, and has gone to
// sleep again since the last thing the test sent. A wait with a timeout (the program giving a
// split escape sequence or a terminal's reply some time) does not count: the program goes on
// from it by itself. Every wait is bounded; a timed-out or mismatching wait returns a failed
// AssertionResult that shows both sides, escaped.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace e2e {

using Millis = std::chrono::milliseconds;
inline constexpr Millis kDefaultTimeout{5000};

// Bytes made readable in a failure message: printable ASCII stays, the rest becomes \t, \r, \a,
// \e or \xHH. With lineBreaks, every \n is also followed by a real line break.
std::string escapeBytes(std::string_view bytes, bool lineBreaks = false);

// Expected bytes: literal text interleaved with choices. A choice stands for one of a list of
// alternatives; choices that name the same slot must all take the alternative of the same index
// (so a number shown in one base and later revealed in another is the same draw).
class BytePattern {
  public:
    BytePattern() = default;
    explicit BytePattern(std::string_view text) { this->text(text); }

    BytePattern& text(std::string_view text);
    BytePattern& choice(int slot, std::vector<std::string> alternatives);
    BytePattern& append(const BytePattern& other);

    bool empty() const { return pieces_.empty(); }

    enum class Outcome {
        Complete,    // the whole pattern matched `length` bytes
        Incomplete,  // the bytes so far agree with the pattern, but more are needed
        Mismatch,    // no way to match; `reached` is the furthest byte that agreed
    };
    struct Match {
        Outcome outcome = Outcome::Mismatch;
        std::size_t length = 0;
        std::size_t reached = 0;
        std::string wanted;  // what the pattern expected at `reached`
    };
    // Matches the pattern against the start of `actual`; with `whole`, all of `actual` must be
    // used.
    Match match(std::string_view actual, bool whole) const;

    // The pattern made readable: literal text escaped, choices as {#slot a|b|c}.
    std::string describe() const;

  private:
    struct Piece {
        std::string text;  // a literal when slot < 0
        int slot = -1;
        std::vector<std::string> alternatives;
    };
    std::vector<Piece> pieces_;
    int slots_ = 0;
};

// Both sides of a failed comparison, in a form fit for a test failure message.
std::string describeMismatch(const BytePattern& expected, std::string_view actual, bool whole);

enum class StdinMode {
    Terminal,  // the pty slave (default); with no controlling terminal, a pipe
    Pipe,      // a pipe the test writes to with sendToStdin
    File,      // a file holding SessionOptions::stdinContent
    Closed,    // no descriptor 0 at all
};

enum class StdoutMode {
    Terminal,    // the pty slave (default); with no controlling terminal, a pipe
    Pipe,        // a pipe that the session captures
    File,        // the file at SessionOptions::stdoutPath, truncated
    DevFull,     // /dev/full: every write fails with ENOSPC
    BrokenPipe,  // a pipe whose read end is already closed: every write fails with EPIPE
    Closed,      // no descriptor 1 at all
};

// Where captured bytes come from.
enum class Channel {
    // What the terminal shows: the bytes from the pty master (output after the line discipline)
    // without the requests that a terminal answers instead of showing (see TerminalRaw).
    Terminal,
    // Every byte from the pty master, requests included: the device attributes request
    // (CSI c, CSI > c, CSI = c) and the keyboard protocol requests (CSI ? u, CSI > flags u,
    // CSI < u, CSI = flags u). The session's pty answers none of them, like a plain terminal.
    TerminalRaw,
    Stdout,  // the stdout pipe
    Stderr,  // the stderr pipe (only without a controlling terminal; else stderr is the pty)
};

struct SessionOptions {
    std::vector<std::string> argv;  // the program and its arguments; empty runs basedrill
    StdinMode stdinMode = StdinMode::Terminal;
    std::string stdinContent;  // for StdinMode::File
    StdoutMode stdoutMode = StdoutMode::Terminal;
    std::string stdoutPath;  // for StdoutMode::File
    // false: plain fork and setsid, no pty at all; the child then has no controlling terminal
    // and its stderr is a captured pipe.
    bool controllingTerminal = true;
    unsigned short rows = 24;
    unsigned short columns = 80;
};

class PtySession {
  public:
    explicit PtySession(SessionOptions options = {});
    ~PtySession();
    PtySession(const PtySession&) = delete;
    PtySession& operator=(const PtySession&) = delete;

    // Whether the child was created and its program started; otherwise the reason.
    ::testing::AssertionResult started() const;
    pid_t pid() const { return pid_; }
    const std::string& slavePath() const { return slavePath_; }

    // What the user types: bytes written to the pty master.
    void sendToTerminal(std::string_view bytes);
    // Bytes written to the stdin pipe (StdinMode::Pipe).
    void sendToStdin(std::string_view bytes);
    void closeStdin();
    void signal(int signalNumber);

    // The child is asleep in an input system call on any descriptor.
    ::testing::AssertionResult waitForInput(Millis timeout = kDefaultTimeout);
    // ... reading its standard input (descriptor 0).
    ::testing::AssertionResult waitForStdinRead(Millis timeout = kDefaultTimeout);
    // ... reading a terminal descriptor of its own (/dev/tty or the pty slave), not its standard
    // input: a key wait rather than a line read.
    ::testing::AssertionResult waitForTerminalRead(Millis timeout = kDefaultTimeout);

    // Waits until the bytes after the channel's read position begin with `expected`, then moves
    // the read position past them. Fails early once the bytes cannot match any more.
    ::testing::AssertionResult readUntil(Channel channel, const BytePattern& expected,
                                         Millis timeout = kDefaultTimeout);
    ::testing::AssertionResult readStdoutUntil(std::string_view expected,
                                               Millis timeout = kDefaultTimeout);
    ::testing::AssertionResult readTerminalUntil(std::string_view expected,
                                                 Millis timeout = kDefaultTimeout);
    // The next n bytes after the read position, which then moves past them.
    ::testing::AssertionResult readBytes(Channel channel, std::size_t n, std::string& bytes,
                                         Millis timeout = kDefaultTimeout);
    // Everything captured on the channel so far, from its first byte.
    std::string captured(Channel channel) const;
    // All of the channel's bytes, from the first, equal `expected`. Meant for after waitExit.
    ::testing::AssertionResult capturedEquals(Channel channel, const BytePattern& expected) const;

    // The raw wait status, or nothing when the child did not end within the timeout (it is then
    // killed with SIGKILL). Once the child has ended, the captured channels are complete.
    std::optional<int> waitExit(Millis timeout = kDefaultTimeout);

    // The pty's terminal mode: as the child found it, now, and as the child left it.
    const termios& modeBefore() const { return modeBefore_; }
    std::optional<termios> modeNow() const;
    const std::optional<termios>& modeAtExit() const { return modeAtExit_; }

  private:
    struct Probe;
    struct Source {
        int fd = -1;
        Channel channel = Channel::Terminal;
        bool done = false;
        bool paused = false;
    };

    void spawn();
    void drainLoop();
    void showOnTerminal(std::string_view bytes, bool ended);
    void finishAfterExit();
    void stopDrain();
    void markSend();
    Probe probe() const;
    std::string describeProbe(const Probe& probe) const;
    template <class Accept>
    ::testing::AssertionResult waitForBlocked(const char* what, Accept accept, Millis timeout);
    std::string& buffer(Channel channel);
    const std::string& buffer(Channel channel) const;
    bool channelEnded(Channel channel) const;

    SessionOptions options_;
    std::string startError_;
    pid_t pid_ = -1;
    int master_ = -1;
    int slave_ = -1;  // held open so the mode can be read at any time, until the child ends
    int stdinWriter_ = -1;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    std::string slavePath_;
    termios modeBefore_{};
    std::optional<termios> modeAtExit_;

    bool reaped_ = false;
    std::optional<int> status_;
    long switchesAtSend_ = -1;  // voluntary context switches of the child when the test last sent

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Source> sources_;
    std::string terminalRaw_, terminal_, stdout_, stderr_;
    std::string pendingSequence_;  // a control sequence not yet complete, held back from terminal_
    std::size_t cursors_[4] = {};
    bool drainDone_ = false;
    std::thread drain_;
};

// Two terminal modes are the same in every flag, control character and speed.
::testing::AssertionResult sameMode(const termios& expected, const termios& actual);
std::string describeMode(const termios& mode);
// A raw wait status in words.
std::string describeStatus(std::optional<int> status);
::testing::AssertionResult exitedWith(std::optional<int> status, int code);
::testing::AssertionResult killedBy(std::optional<int> status, int signalNumber);

}  // namespace e2e
