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
    // CSI < u, CSI = flags u). By default the session's pty answers none of them; see
    // SessionOptions::answers.
    TerminalRaw,
    Stdout,  // the stdout pipe
    Stderr,  // the stderr pipe (only without a controlling terminal; else stderr is the pty)
};

// How the session's pty answers the requests listed under Channel::TerminalRaw.
enum class TerminalAnswers {
    None,            // answers nothing, like a link that drops the requests
    LegacyTerminal,  // answers device attributes (CSI c) with CSI ?62;c, ignores the keyboard
                     // protocol
    KittyTerminal,   // also speaks the kitty keyboard protocol: answers CSI ? u with
                     // CSI ? flags u (before its CSI ?62;c to a following CSI c), and keeps the
                     // stack of flags that CSI > flags u pushes, CSI < n u pops and CSI = flags ;
                     // mode u changes
};

// A request the session's pty read from the program, in the order they came.
struct TerminalRequest {
    enum class Kind {
        DeviceAttributes,       // CSI c, CSI 0 c
        OtherDeviceAttributes,  // CSI > c, CSI = c: never answered
        QueryFlags,             // CSI ? u
        PushFlags,              // CSI > flags u
        PopFlags,               // CSI < n u
        SetFlags,               // CSI = flags ; mode u
    };
    Kind kind = Kind::DeviceAttributes;
    std::string bytes;     // the request as it came
    bool rawMode = false;  // the pty had ICANON and ECHO off when the session read the request
    int flagsAfter = 0;    // the keyboard protocol flags once the request took effect
    std::string answer;    // what the pty answered; empty for nothing
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
    TerminalAnswers answers = TerminalAnswers::None;
    // KittyTerminal: the flags in force at start, as if pushed by an earlier program (so one
    // pop too many shows as flags 0).
    int initialKeyboardFlags = 0;
    // Typed at the terminal before the program starts, while the pty is still in its initial
    // mode (echo and line editing on: pick bytes that no line editing character changes).
    std::string typedAhead;
    // Typed as soon as the session reads the program's first request, before answering it.
    std::string typedAtFirstRequest;
    // The child starts with SIGHUP ignored, as under nohup: a hang-up then sends it nothing.
    bool ignoreHangUp = false;
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
    // The terminal goes away: the session closes the pty master, so the kernel hangs up the
    // slave and sends SIGHUP to the child, its session leader. What the child wrote before is
    // kept; nothing more is captured from the terminal, and nothing more can be typed.
    void hangUp();

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

    // The child as /proc shows it now, or nothing once it has ended.
    struct ProcessSample {
        char state = '?';     // R, S, D, ...
        std::string syscall;  // /proc/<pid>/syscall: the number and arguments, or "running"
        long cpuTicks = -1;   // user and system time, in clock ticks
        long voluntarySwitches = -1;
        long peakResidentKb = -1;  // VmHWM: the most memory the program has had resident
    };
    std::optional<ProcessSample> sample() const;
    // The child is asleep outside every input and output system call (in pause, say), the same
    // way several times a few milliseconds apart, and has gone to sleep again since the last
    // thing the test sent.
    ::testing::AssertionResult waitForIdle(Millis timeout = kDefaultTimeout);

    // The requests the pty has read so far, and the keyboard protocol flags in force now
    // (KittyTerminal; else always the initial flags). Complete once the child has ended.
    std::vector<TerminalRequest> terminalRequests() const;
    int keyboardFlags() const;

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
    void answerRequest(const std::string& sequence);
    bool takeWake();

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
    bool hangUpAsked_ = false;  // hangUp: the drain thread is to close the master
    bool hungUp_ = false;       // ... and has done so
    std::thread drain_;
    std::vector<TerminalRequest> requests_;
    int keyboardFlags_ = 0;
    std::vector<int> flagStack_;  // the flags that each push saved, the last push last
};

// Two terminal modes are the same in every flag, control character and speed.
::testing::AssertionResult sameMode(const termios& expected, const termios& actual);
std::string describeMode(const termios& mode);
// A raw wait status in words.
std::string describeStatus(std::optional<int> status);
::testing::AssertionResult exitedWith(std::optional<int> status, int code);
::testing::AssertionResult killedBy(std::optional<int> status, int signalNumber);

}  // namespace e2e
