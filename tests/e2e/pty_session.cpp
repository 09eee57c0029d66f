#include "pty_session.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

// Helper descriptors live at or above this number, so that the child's 0, 1 and 2 are never
// taken by one of them by accident.
constexpr int kFirstHelperFd = 10;
// Past this many captured bytes on a channel the session stops reading it (the endless bell
// must not eat the memory); the child then blocks in write.
constexpr std::size_t kCaptureLimit = std::size_t{64} << 20;
// How many identical samples, and how far apart, make a blocked state stable.
constexpr int kStableSamples = 3;
constexpr auto kSampleGap = std::chrono::milliseconds(3);

void closeFd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

int moveHigh(int fd) {
    if (fd < 0) return fd;
    const int high = ::fcntl(fd, F_DUPFD_CLOEXEC, kFirstHelperFd);
    ::close(fd);
    return high;
}

bool makePipe(int (&fds)[2]) {
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    fds[0] = moveHigh(fds[0]);
    fds[1] = moveHigh(fds[1]);
    return fds[0] >= 0 && fds[1] >= 0;
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::string readWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string linkTarget(const std::string& path) {
    char target[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), target, sizeof target);
    return n < 0 ? std::string() : std::string(target, static_cast<std::size_t>(n));
}

std::string errnoText(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

// The input system calls of this architecture, with where their descriptors are.
enum class FdsAt { Arg0, PollArray, SelectSet, Unknown };

std::optional<FdsAt> inputSyscall(long number) {
    switch (number) {
        case SYS_read:
        case SYS_readv:
        case SYS_pread64:
            return FdsAt::Arg0;
#ifdef SYS_poll
        case SYS_poll:
#endif
        case SYS_ppoll:
            return FdsAt::PollArray;
#ifdef SYS_select
        case SYS_select:
#endif
        case SYS_pselect6:
            return FdsAt::SelectSet;
#ifdef SYS_epoll_wait
        case SYS_epoll_wait:
#endif
        case SYS_epoll_pwait:
            return FdsAt::Unknown;
        default:
            return std::nullopt;
    }
}

const char* syscallName(long number) {
    switch (number) {
        case SYS_read:
            return "read";
        case SYS_readv:
            return "readv";
        case SYS_pread64:
            return "pread64";
#ifdef SYS_poll
        case SYS_poll:
            return "poll";
#endif
        case SYS_ppoll:
            return "ppoll";
#ifdef SYS_select
        case SYS_select:
            return "select";
#endif
        case SYS_pselect6:
            return "pselect6";
        case SYS_write:
            return "write";
        case SYS_nanosleep:
            return "nanosleep";
        case SYS_wait4:
            return "wait4";
        default:
            return "?";
    }
}

void appendEscaped(std::string& out, char c, bool lineBreaks) {
    const auto byte = static_cast<unsigned char>(c);
    switch (byte) {
        case '\n':
            out += lineBreaks ? "\\n\n" : "\\n";
            return;
        case '\t':
            out += "\\t";
            return;
        case '\r':
            out += "\\r";
            return;
        case '\a':
            out += "\\a";
            return;
        case 0x1b:
            out += "\\e";
            return;
        case '\\':
            out += "\\\\";
            return;
        default:
            break;
    }
    if (byte >= 0x20 && byte < 0x7f) {
        out += c;
    } else {
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02X", byte);
        out += hex;
    }
}

// Walks the pieces depth first; a choice tries its alternatives in turn, bound per slot.
struct Matcher {
    struct Piece {
        std::string_view text;
        int slot;
        const std::vector<std::string>* alternatives;
    };
    std::vector<Piece> pieces;
    std::string_view actual;
    bool whole = false;
    std::vector<int> binding;
    bool incomplete = false;
    std::size_t reached = 0;
    std::string wanted;

    void note(std::size_t at, std::string_view what) {
        if (at >= reached) {
            reached = at;
            wanted = std::string(what.substr(0, 60));
        }
    }

    std::optional<std::size_t> run(std::size_t i, std::size_t pos) {
        if (i == pieces.size()) {
            if (!whole || pos == actual.size()) return pos;
            note(pos, "<end of output>");
            return std::nullopt;
        }
        const Piece& piece = pieces[i];
        if (piece.slot < 0) return literal(i, pos, piece.text);
        const std::vector<std::string>& alternatives = *piece.alternatives;
        int& bound = binding[static_cast<std::size_t>(piece.slot)];
        if (bound >= 0) return literal(i, pos, alternatives[static_cast<std::size_t>(bound)]);
        for (std::size_t a = 0; a < alternatives.size(); ++a) {
            bound = static_cast<int>(a);
            if (auto end = literal(i, pos, alternatives[a])) return end;
        }
        bound = -1;
        return std::nullopt;
    }

    std::optional<std::size_t> literal(std::size_t i, std::size_t pos, std::string_view text) {
        const std::size_t available = actual.size() - pos;
        const std::size_t n = std::min(available, text.size());
        std::size_t k = 0;
        while (k < n && actual[pos + k] == text[k])
            ++k;
        if (k < text.size()) {
            if (k == available) incomplete = true;
            note(pos + k, text.substr(k));
            return std::nullopt;
        }
        return run(i + 1, pos + text.size());
    }
};

long voluntarySwitches(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        constexpr std::string_view key = "voluntary_ctxt_switches:";
        if (line.compare(0, key.size(), key) == 0) return std::stol(line.substr(key.size()));
    }
    return -1;
}

}  // namespace

std::string escapeBytes(std::string_view bytes, bool lineBreaks) {
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 4);
    for (char c : bytes) {
        appendEscaped(out, c, lineBreaks);
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// BytePattern

BytePattern& BytePattern::text(std::string_view text) {
    if (text.empty()) return *this;
    if (!pieces_.empty() && pieces_.back().slot < 0) {
        pieces_.back().text += text;
    } else {
        pieces_.push_back(Piece{std::string(text), -1, {}});
    }
    return *this;
}

BytePattern& BytePattern::choice(int slot, std::vector<std::string> alternatives) {
    pieces_.push_back(Piece{{}, slot, std::move(alternatives)});
    slots_ = std::max(slots_, slot + 1);
    return *this;
}

BytePattern& BytePattern::append(const BytePattern& other) {
    for (const Piece& piece : other.pieces_) {
        if (piece.slot < 0) {
            text(piece.text);
        } else {
            choice(piece.slot, piece.alternatives);
        }
    }
    return *this;
}

BytePattern::Match BytePattern::match(std::string_view actual, bool whole) const {
    Matcher matcher;
    matcher.actual = actual;
    matcher.whole = whole;
    matcher.binding.assign(static_cast<std::size_t>(slots_), -1);
    for (const Piece& piece : pieces_) {
        matcher.pieces.push_back({piece.text, piece.slot, &piece.alternatives});
    }
    Match result;
    if (auto end = matcher.run(0, 0)) {
        result.outcome = Outcome::Complete;
        result.length = *end;
        result.reached = *end;
        return result;
    }
    result.outcome = matcher.incomplete ? Outcome::Incomplete : Outcome::Mismatch;
    result.reached = matcher.reached;
    result.wanted = matcher.wanted;
    return result;
}

std::string BytePattern::describe() const {
    std::string out;
    for (const Piece& piece : pieces_) {
        if (piece.slot < 0) {
            out += escapeBytes(piece.text, true);
            continue;
        }
        out += "{#" + std::to_string(piece.slot) + " ";
        for (std::size_t a = 0; a < piece.alternatives.size(); ++a) {
            if (a > 0) out += "|";
            out += escapeBytes(piece.alternatives[a]);
        }
        out += "}";
    }
    return out;
}

std::string describeMismatch(const BytePattern& expected, std::string_view actual, bool whole) {
    const BytePattern::Match m = expected.match(actual, whole);
    std::ostringstream out;
    if (m.outcome == BytePattern::Outcome::Complete) {
        out << "the bytes match";
        return out.str();
    }
    const std::size_t from = m.reached > 40 ? m.reached - 40 : 0;
    out << (m.outcome == BytePattern::Outcome::Incomplete ? "the bytes stop short"
                                                          : "the bytes differ")
        << " at byte " << m.reached << " of " << actual.size() << "\n  after:    \""
        << escapeBytes(actual.substr(from, m.reached - from)) << "\"\n  expected: \""
        << escapeBytes(m.wanted) << "\"\n  got:      \""
        << escapeBytes(actual.substr(m.reached, 60)) << "\"\n"
        << "--- expected ---\n"
        << expected.describe() << "\n--- actual (" << actual.size() << " bytes) ---\n"
        << escapeBytes(actual, true) << "\n--- end ---";
    return out.str();
}

// ---------------------------------------------------------------------------------------------
// PtySession: start and end

struct PtySession::Probe {
    bool alive = false;
    char state = '?';
    std::string syscallLine;
    long number = -1;  // -1: running, or asleep outside a system call
    unsigned long long args[6] = {};
    long switches = -1;
    bool input = false;  // an input system call
    bool timed = false;  // ... with a timeout: the program will go on by itself
    bool fdsKnown = false;
    std::vector<int> fds;

    bool sameAs(const Probe& other) const {
        return alive == other.alive && state == other.state && syscallLine == other.syscallLine &&
               switches == other.switches;
    }
};

PtySession::PtySession(SessionOptions options) : options_(std::move(options)) {
    // A write to the stdin of a child that already ended must fail, not kill the test; the
    // child gets the default action back before it starts its program.
    ::signal(SIGPIPE, SIG_IGN);
    spawn();
}

PtySession::~PtySession() {
    if (pid_ > 0 && !reaped_) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        reaped_ = true;
    }
    stopDrain();
    closeFd(slave_);
    closeFd(master_);
    closeFd(stdinWriter_);
    closeFd(wakeRead_);
    closeFd(wakeWrite_);
}

void PtySession::spawn() {
    if (options_.argv.empty()) options_.argv = {BASEDRILL_BINARY};
    const bool pty = options_.controllingTerminal;
    StdinMode in = options_.stdinMode;
    StdoutMode out = options_.stdoutMode;
    if (!pty && in == StdinMode::Terminal) in = StdinMode::Pipe;
    if (!pty && out == StdoutMode::Terminal) out = StdoutMode::Pipe;

    // Everything the child needs is prepared here: between fork and exec it only calls
    // async-signal-safe functions.
    std::vector<char*> argv;
    for (std::string& arg : options_.argv) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);

    int go[2] = {-1, -1};      // the parent lets the child exec once it has read the mode
    int status[2] = {-1, -1};  // closed by a successful exec, else carries its errno
    int childStdin = -1, childStdout = -1, childStderr = -1;
    int stdoutReader = -1, stderrReader = -1;
    const bool closeStdin = in == StdinMode::Closed;
    const bool closeStdout = out == StdoutMode::Closed;
    const bool ignoreHangUp = options_.ignoreHangUp;
    auto fail = [&](const std::string& why) {
        startError_ = why;
        for (int* fd : {&go[0], &go[1], &status[0], &status[1], &childStdin, &childStdout,
                        &childStderr, &stdoutReader, &stderrReader}) {
            closeFd(*fd);
        }
    };
    auto pipeOrFail = [&](int(&fds)[2]) {
        if (makePipe(fds)) return true;
        fail(errnoText("pipe"));
        return false;
    };

    int wake[2] = {-1, -1};
    if (!pipeOrFail(wake)) return;
    wakeRead_ = wake[0];
    wakeWrite_ = wake[1];
    if (!pipeOrFail(go) || !pipeOrFail(status)) return;

    if (in == StdinMode::Pipe) {
        int p[2] = {-1, -1};
        if (!pipeOrFail(p)) return;
        childStdin = p[0];
        stdinWriter_ = p[1];
    } else if (in == StdinMode::File) {
        char path[] = "/tmp/basedrill-e2e-stdin-XXXXXX";
        const int fd = ::mkostemp(path, O_CLOEXEC);
        if (fd < 0) return fail(errnoText("mkostemp"));
        ::unlink(path);
        const bool written = writeAll(fd, options_.stdinContent);
        ::lseek(fd, 0, SEEK_SET);
        childStdin = moveHigh(fd);
        if (!written || childStdin < 0) return fail(errnoText("stdin file"));
    }

    if (out == StdoutMode::Pipe || out == StdoutMode::BrokenPipe) {
        int p[2] = {-1, -1};
        if (!pipeOrFail(p)) return;
        childStdout = p[1];
        if (out == StdoutMode::BrokenPipe) {
            ::close(p[0]);
        } else {
            stdoutReader = p[0];
        }
    } else if (out == StdoutMode::File || out == StdoutMode::DevFull) {
        const char* path = out == StdoutMode::File ? options_.stdoutPath.c_str() : "/dev/full";
        childStdout = moveHigh(::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (childStdout < 0) return fail(errnoText(path));
    }

    if (!pty) {
        int p[2] = {-1, -1};
        if (!pipeOrFail(p)) return;
        childStderr = p[1];
        stderrReader = p[0];
    }

    pid_t pid = -1;
    if (pty) {
        winsize size{};
        size.ws_row = options_.rows;
        size.ws_col = options_.columns;
        int master = -1;
        pid = ::forkpty(&master, nullptr, nullptr, &size);
        if (pid > 0) master_ = moveHigh(master);
    } else {
        pid = ::fork();
    }

    if (pid == 0) {
        // The child. forkpty has made the slave its controlling terminal and its 0, 1 and 2.
        if (!pty) ::setsid();
        if (childStdin >= 0) ::dup2(childStdin, 0);
        if (childStdout >= 0) ::dup2(childStdout, 1);
        if (childStderr >= 0) ::dup2(childStderr, 2);
        if (closeStdin) ::close(0);
        if (closeStdout) ::close(1);
        struct sigaction defaults {};
        defaults.sa_handler = SIG_DFL;
        for (int s = 1; s < NSIG; ++s) {
            ::sigaction(s, &defaults, nullptr);
        }
        if (ignoreHangUp) {
            struct sigaction ignore {};
            ignore.sa_handler = SIG_IGN;
            ::sigaction(SIGHUP, &ignore, nullptr);
        }
        sigset_t none;
        ::sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        const rlimit noCore{0, 0};
        ::setrlimit(RLIMIT_CORE, &noCore);
        char byte = 0;
        while (::read(go[0], &byte, 1) < 0 && errno == EINTR) {
        }
        ::execv(argv[0], argv.data());
        const int error = errno;
        (void)!::write(status[1], &error, sizeof error);
        ::_exit(127);
    }

    if (pid < 0) return fail(errnoText(pty ? "forkpty" : "fork"));
    closeFd(childStdin);
    closeFd(childStdout);
    closeFd(childStderr);
    closeFd(go[0]);
    closeFd(status[1]);
    pid_ = pid;

    if (pty) {
        char name[128];
        if (master_ < 0 || ::ptsname_r(master_, name, sizeof name) != 0) {
            startError_ = errnoText("ptsname");
        } else {
            slavePath_ = name;
            slave_ = moveHigh(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
            if (slave_ < 0 || ::tcgetattr(slave_, &modeBefore_) != 0) {
                startError_ = errnoText("open or tcgetattr on the pty slave");
            }
        }
    }

    keyboardFlags_ = options_.initialKeyboardFlags;
    if (keyboardFlags_ != 0) flagStack_.push_back(0);
    if (master_ >= 0 && !options_.typedAhead.empty()) writeAll(master_, options_.typedAhead);

    (void)!::write(go[1], "g", 1);
    closeFd(go[1]);
    int error = 0;
    ssize_t n;
    while ((n = ::read(status[0], &error, sizeof error)) < 0 && errno == EINTR) {
    }
    closeFd(status[0]);
    if (n > 0) startError_ = std::string("exec ") + argv[0] + ": " + std::strerror(error);

    if (master_ >= 0) sources_.push_back(Source{master_, Channel::Terminal});
    if (stdoutReader >= 0) sources_.push_back(Source{stdoutReader, Channel::Stdout});
    if (stderrReader >= 0) sources_.push_back(Source{stderrReader, Channel::Stderr});
    drain_ = std::thread([this] { drainLoop(); });
}

::testing::AssertionResult PtySession::started() const {
    if (startError_.empty() && pid_ > 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the program did not start: " << startError_;
}

// Reads every source as soon as it has bytes, so the child never blocks on a full pty or pipe.
void PtySession::drainLoop() {
    char chunk[4096];
    for (;;) {
        std::vector<pollfd> fds{{wakeRead_, POLLIN, 0}};
        std::vector<std::size_t> which;
        {
            std::lock_guard lock(mutex_);
            for (std::size_t i = 0; i < sources_.size(); ++i) {
                if (sources_[i].done || sources_[i].paused) continue;
                fds.push_back({sources_[i].fd, POLLIN, 0});
                which.push_back(i);
            }
            if (which.empty() && std::all_of(sources_.begin(), sources_.end(),
                                             [](const Source& s) { return s.done; })) {
                drainDone_ = true;
                changed_.notify_all();
                return;
            }
        }
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[0].revents != 0) {
            if (takeWake()) continue;  // a hang-up was done
            break;                     // the session is closing
        }
        for (std::size_t k = 1; k < fds.size(); ++k) {
            if (fds[k].revents == 0) continue;
            const ssize_t n = ::read(fds[k].fd, chunk, sizeof chunk);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            std::lock_guard lock(mutex_);
            Source& source = sources_[which[k - 1]];
            if (n <= 0) {
                source.done = true;  // end of file, or EIO once the pty slave is closed
                if (source.channel == Channel::Terminal) showOnTerminal({}, true);
            } else {
                std::string& into =
                    source.channel == Channel::Terminal ? terminalRaw_ : buffer(source.channel);
                into.append(chunk, static_cast<std::size_t>(n));
                if (source.channel == Channel::Terminal) {
                    showOnTerminal({chunk, static_cast<std::size_t>(n)}, false);
                }
                if (into.size() > kCaptureLimit) source.paused = true;
            }
            changed_.notify_all();
        }
    }
    std::lock_guard lock(mutex_);
    drainDone_ = true;
    changed_.notify_all();
}

namespace {
// A request the terminal answers rather than shows: device attributes (final c, no private
// marker or > or =) and the keyboard protocol (final u with ?, >, < or =). A plain CSI u is the
// cursor restore, which is shown.
bool isTerminalRequest(std::string_view sequence) {
    if (sequence.size() < 3) return false;
    const char final = sequence.back();
    const char marker = sequence[2];
    const bool hasMarker = marker == '?' || marker == '>' || marker == '<' || marker == '=';
    for (std::size_t i = hasMarker ? 3 : 2; i + 1 < sequence.size(); ++i) {
        if ((sequence[i] < '0' || sequence[i] > '9') && sequence[i] != ';') return false;
    }
    if (final == 'c') return !hasMarker || marker == '>' || marker == '=';
    if (final == 'u') return hasMarker;
    return false;
}
}  // namespace

// Adds pty output to what the terminal shows, leaving out requests; a sequence cut by the end of
// a read is held back until its end arrives (or the output ends).
void PtySession::showOnTerminal(std::string_view bytes, bool ended) {
    constexpr char kEsc = 0x1b;
    for (char c : bytes) {
        if (pendingSequence_.empty()) {
            if (c == kEsc) {
                pendingSequence_ = c;
            } else {
                terminal_ += c;
            }
            continue;
        }
        if (c == kEsc) {
            terminal_ += pendingSequence_;
            pendingSequence_ = c;
            continue;
        }
        pendingSequence_ += c;
        if (pendingSequence_.size() == 2) {
            if (c != '[') {
                terminal_ += pendingSequence_;
                pendingSequence_.clear();
            }
            continue;
        }
        const bool parameter =
            (c >= '0' && c <= '9') || c == ';' ||
            (pendingSequence_.size() == 3 && (c == '?' || c == '>' || c == '<' || c == '='));
        if (parameter && pendingSequence_.size() < 32) continue;
        if (isTerminalRequest(pendingSequence_)) {
            answerRequest(pendingSequence_);
        } else {
            terminal_ += pendingSequence_;
        }
        pendingSequence_.clear();
    }
    if (ended) {
        terminal_ += pendingSequence_;
        pendingSequence_.clear();
    }
}

void PtySession::stopDrain() {
    if (!drain_.joinable()) return;
    if (wakeWrite_ >= 0) (void)!::write(wakeWrite_, "x", 1);
    drain_.join();
}

void PtySession::finishAfterExit() {
    if (slave_ >= 0) {
        termios mode{};
        if (::tcgetattr(slave_, &mode) == 0) modeAtExit_ = mode;
        // With the last slave descriptor gone, the master reads what is left, then EIO.
        closeFd(slave_);
    }
    closeFd(stdinWriter_);
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(2), [this] { return drainDone_; });
}

std::optional<int> PtySession::waitExit(Millis timeout) {
    if (pid_ <= 0) return std::nullopt;
    if (reaped_) return status_;
    const auto deadline = Clock::now() + timeout;
    int status = 0;
    for (;;) {
        const pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            status_ = status;
            break;
        }
        if (r < 0 && errno != EINTR) break;
        if (Clock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    reaped_ = true;
    finishAfterExit();
    return status_;
}

// ---------------------------------------------------------------------------------------------
// PtySession: sending

void PtySession::markSend() {
    if (pid_ > 0 && !reaped_) switchesAtSend_ = voluntarySwitches(pid_);
}

void PtySession::sendToTerminal(std::string_view bytes) {
    markSend();
    if (master_ >= 0) writeAll(master_, bytes);
}

void PtySession::sendToStdin(std::string_view bytes) {
    markSend();
    if (stdinWriter_ >= 0) writeAll(stdinWriter_, bytes);
}

void PtySession::closeStdin() {
    markSend();
    closeFd(stdinWriter_);
}

void PtySession::hangUp() {
    markSend();
    std::unique_lock lock(mutex_);
    if (master_ < 0 || hungUp_) return;
    hangUpAsked_ = true;
    (void)!::write(wakeWrite_, "h", 1);
    changed_.wait_for(lock, std::chrono::seconds(5), [this] { return hungUp_ || drainDone_; });
}

// Called by the drain thread when the wake pipe is readable: true when it was a hang-up, which
// is then done, false when the session is closing. The master is closed here, where it is
// polled, so that no poll holds it open.
bool PtySession::takeWake() {
    char byte = 0;
    if (::read(wakeRead_, &byte, 1) != 1 || byte != 'h') return false;
    std::lock_guard lock(mutex_);
    if (hangUpAsked_ && !hungUp_) {
        for (Source& s : sources_) {
            if (s.channel == Channel::Terminal) s.done = true;
        }
        showOnTerminal({}, true);
        closeFd(master_);
        hungUp_ = true;
        changed_.notify_all();
    }
    return true;
}

void PtySession::signal(int signalNumber) {
    markSend();
    if (pid_ > 0 && !reaped_) ::kill(pid_, signalNumber);
}

// ---------------------------------------------------------------------------------------------
// PtySession: waiting for the program to read

PtySession::Probe PtySession::probe() const {
    Probe p;
    if (pid_ <= 0 || reaped_) return p;
    const std::string dir = "/proc/" + std::to_string(pid_);
    const std::string stat = readWhole(dir + "/stat");
    const std::size_t paren = stat.rfind(')');
    if (paren == std::string::npos || paren + 2 >= stat.size()) return p;
    p.alive = true;
    p.state = stat[paren + 2];
    p.switches = voluntarySwitches(pid_);
    p.syscallLine = readWhole(dir + "/syscall");
    if (!p.syscallLine.empty() && p.syscallLine.back() == '\n') p.syscallLine.pop_back();
    std::istringstream fields(p.syscallLine);
    std::string first;
    fields >> first;
    if (first.empty() || first == "running") return p;
    p.number = std::strtol(first.c_str(), nullptr, 10);
    for (auto& arg : p.args) {
        std::string field;
        fields >> field;
        arg = std::strtoull(field.c_str(), nullptr, 0);
    }
    const std::optional<FdsAt> at = inputSyscall(p.number);
    p.input = at.has_value();
    if (!at) return p;

    const int mem = ::open((dir + "/mem").c_str(), O_RDONLY | O_CLOEXEC);
    // A wait with a timeout is no wait for the user: the program only gives straggling bytes or a
    // terminal's reply some time, and then goes on by itself. A timeout of an hour or more
    // counts as none.
    // Both struct timespec and struct timeval start with the seconds.
    auto longerThanAnHour = [&](unsigned long long address) {
        long long seconds = 0;
        return mem >= 0 &&
               ::pread(mem, &seconds, sizeof seconds, static_cast<off_t>(address)) ==
                   static_cast<ssize_t>(sizeof seconds) &&
               seconds >= 3600;
    };
    switch (p.number) {
#ifdef SYS_poll
        case SYS_poll:
            p.timed = static_cast<int>(p.args[2]) >= 0 && static_cast<int>(p.args[2]) < 3600000;
            break;
#endif
        case SYS_ppoll:
            p.timed = p.args[2] != 0 && !longerThanAnHour(p.args[2]);
            break;
#ifdef SYS_select
        case SYS_select:
#endif
        case SYS_pselect6:
            p.timed = p.args[4] != 0 && !longerThanAnHour(p.args[4]);
            break;
#ifdef SYS_epoll_wait
        case SYS_epoll_wait:
#endif
        case SYS_epoll_pwait:
            p.timed = static_cast<int>(p.args[3]) >= 0 && static_cast<int>(p.args[3]) < 3600000;
            break;
        default:
            break;
    }
    switch (*at) {
        case FdsAt::Arg0:
            p.fds.push_back(static_cast<int>(p.args[0]));
            p.fdsKnown = true;
            break;
        case FdsAt::PollArray: {
            const std::size_t count = std::min<unsigned long long>(p.args[1], 64);
            std::vector<pollfd> entries(count);
            const std::size_t bytes = count * sizeof(pollfd);
            if (mem >= 0 && ::pread(mem, entries.data(), bytes, static_cast<off_t>(p.args[0])) ==
                                static_cast<ssize_t>(bytes)) {
                for (const pollfd& e : entries) {
                    if (e.fd >= 0 && (e.events & POLLIN) != 0) p.fds.push_back(e.fd);
                }
                p.fdsKnown = true;
            }
            break;
        }
        case FdsAt::SelectSet: {
            const int count = static_cast<int>(std::min<unsigned long long>(p.args[0], 1024));
            fd_set set;
            FD_ZERO(&set);
            const std::size_t bytes = static_cast<std::size_t>((count + 63) / 64 * 8);
            if (p.args[1] == 0) {
                p.fdsKnown = true;
            } else if (mem >= 0 && ::pread(mem, &set, bytes, static_cast<off_t>(p.args[1])) ==
                                       static_cast<ssize_t>(bytes)) {
                for (int fd = 0; fd < count; ++fd) {
                    if (FD_ISSET(fd, &set)) p.fds.push_back(fd);
                }
                p.fdsKnown = true;
            }
            break;
        }
        case FdsAt::Unknown:
            break;
    }
    if (mem >= 0) ::close(mem);
    return p;
}

std::string PtySession::describeProbe(const Probe& p) const {
    if (!p.alive) return "the program has ended";
    std::ostringstream out;
    out << "state " << p.state << ", ";
    if (p.syscallLine.empty()) {
        out << "unknown: /proc/" << pid_ << "/syscall cannot be read";
    } else if (p.number < 0) {
        out << "not in a system call (" << p.syscallLine << ")";
    } else {
        out << "system call " << p.number << " (" << syscallName(p.number) << ")";
        if (p.timed) out << " with a timeout";
        if (p.input) {
            if (!p.fdsKnown) out << " on unknown descriptors";
            for (int fd : p.fds) {
                out << " fd " << fd << " -> "
                    << linkTarget("/proc/" + std::to_string(pid_) + "/fd/" + std::to_string(fd));
            }
        }
    }
    out << ", voluntary switches " << p.switches << " (at the last send " << switchesAtSend_ << ")";
    return out.str();
}

template <class Accept>
::testing::AssertionResult PtySession::waitForBlocked(const char* what, Accept accept,
                                                      Millis timeout) {
    if (!started()) return started();
    const auto deadline = Clock::now() + timeout;
    Probe last;
    int stable = 0;
    for (;;) {
        Probe now = probe();
        if (!now.alive || now.state == 'Z') {
            return ::testing::AssertionFailure()
                   << "the program ended while the test waited for it to be " << what
                   << "\n  terminal tail: \"" << escapeBytes(captured(Channel::Terminal)) << "\"";
        }
        // It must have gone to sleep again since the test last sent something, or the sample
        // could still show the read that the sent bytes are about to end.
        const bool ok = now.state == 'S' && now.input && !now.timed &&
                        (switchesAtSend_ < 0 || now.switches > switchesAtSend_) && accept(now);
        stable = ok ? (stable > 0 && now.sameAs(last) ? stable + 1 : 1) : 0;
        if (stable >= kStableSamples) return ::testing::AssertionSuccess();
        last = now;
        if (Clock::now() >= deadline) {
            std::lock_guard lock(mutex_);
            return ::testing::AssertionFailure()
                   << "timed out after " << timeout.count() << " ms waiting for the program to be "
                   << what << "; it is in " << describeProbe(now) << "\n  terminal tail: \""
                   << escapeBytes(std::string_view(terminal_).substr(
                          terminal_.size() > 300 ? terminal_.size() - 300 : 0))
                   << "\"\n  stdout tail: \""
                   << escapeBytes(std::string_view(stdout_).substr(
                          stdout_.size() > 300 ? stdout_.size() - 300 : 0))
                   << "\"";
        }
        std::this_thread::sleep_for(kSampleGap);
    }
}

std::optional<PtySession::ProcessSample> PtySession::sample() const {
    if (pid_ <= 0 || reaped_) return std::nullopt;
    const std::string dir = "/proc/" + std::to_string(pid_);
    const std::string stat = readWhole(dir + "/stat");
    const std::size_t paren = stat.rfind(')');
    if (paren == std::string::npos || paren + 2 >= stat.size()) return std::nullopt;
    ProcessSample s;
    // After the name: the state (field 3) ... utime (field 14), stime (field 15).
    std::istringstream fields(stat.substr(paren + 2));
    std::vector<std::string> values;
    for (std::string field; values.size() < 13 && fields >> field;) {
        values.push_back(field);
    }
    if (values.size() < 13) return std::nullopt;
    s.state = values[0][0];
    s.cpuTicks = std::stol(values[11]) + std::stol(values[12]);
    s.syscall = readWhole(dir + "/syscall");
    if (!s.syscall.empty() && s.syscall.back() == '\n') s.syscall.pop_back();
    std::ifstream status(dir + "/status");
    for (std::string line; std::getline(status, line);) {
        constexpr std::string_view switches = "voluntary_ctxt_switches:";
        constexpr std::string_view peak = "VmHWM:";
        if (line.compare(0, switches.size(), switches) == 0) {
            s.voluntarySwitches = std::stol(line.substr(switches.size()));
        } else if (line.compare(0, peak.size(), peak) == 0) {
            s.peakResidentKb = std::stol(line.substr(peak.size()));
        }
    }
    return s;
}

::testing::AssertionResult PtySession::waitForIdle(Millis timeout) {
    if (!started()) return started();
    const auto deadline = Clock::now() + timeout;
    Probe last;
    int stable = 0;
    for (;;) {
        Probe now = probe();
        if (!now.alive || now.state == 'Z') {
            return ::testing::AssertionFailure()
                   << "the program ended while the test waited for it to be idle";
        }
        const bool output = now.number == SYS_write || now.number == SYS_writev;
        const bool ok = now.state == 'S' && now.number >= 0 && !now.input && !output &&
                        (switchesAtSend_ < 0 || now.switches > switchesAtSend_);
        stable = ok ? (stable > 0 && now.sameAs(last) ? stable + 1 : 1) : 0;
        if (stable >= kStableSamples) return ::testing::AssertionSuccess();
        last = now;
        if (Clock::now() >= deadline) {
            return ::testing::AssertionFailure()
                   << "timed out after " << timeout.count()
                   << " ms waiting for the program to be idle; it is in " << describeProbe(now);
        }
        std::this_thread::sleep_for(kSampleGap);
    }
}

::testing::AssertionResult PtySession::waitForInput(Millis timeout) {
    return waitForBlocked(
        "waiting for input", [](const Probe&) { return true; }, timeout);
}

::testing::AssertionResult PtySession::waitForStdinRead(Millis timeout) {
    return waitForBlocked(
        "reading its standard input",
        [](const Probe& p) {
            return !p.fdsKnown || std::find(p.fds.begin(), p.fds.end(), 0) != p.fds.end();
        },
        timeout);
}

::testing::AssertionResult PtySession::waitForTerminalRead(Millis timeout) {
    const bool stdinClosed = options_.stdinMode == StdinMode::Closed;
    return waitForBlocked(
        "waiting for a key on its terminal",
        [&](const Probe& p) {
            if (!p.fdsKnown) return true;
            for (int fd : p.fds) {
                if (fd == 0 && !stdinClosed) continue;
                const std::string target =
                    linkTarget("/proc/" + std::to_string(pid_) + "/fd/" + std::to_string(fd));
                if (target == "/dev/tty" || (!slavePath_.empty() && target == slavePath_)) {
                    return true;
                }
            }
            return false;
        },
        timeout);
}

// ---------------------------------------------------------------------------------------------
// PtySession: reading what the program wrote

std::string& PtySession::buffer(Channel channel) {
    switch (channel) {
        case Channel::Terminal:
            return terminal_;
        case Channel::TerminalRaw:
            return terminalRaw_;
        case Channel::Stdout:
            return stdout_;
        case Channel::Stderr:
            break;
    }
    return stderr_;
}

const std::string& PtySession::buffer(Channel channel) const {
    return const_cast<PtySession*>(this)->buffer(channel);
}

bool PtySession::channelEnded(Channel channel) const {
    if (drainDone_) return true;
    if (channel == Channel::TerminalRaw) channel = Channel::Terminal;
    for (const Source& s : sources_) {
        if (s.channel == channel) return s.done;
    }
    return true;  // nothing is captured on this channel
}

namespace {
const char* channelName(Channel channel) {
    switch (channel) {
        case Channel::Terminal:
            return "terminal";
        case Channel::TerminalRaw:
            return "raw terminal";
        case Channel::Stdout:
            return "stdout";
        case Channel::Stderr:
            break;
    }
    return "stderr";
}
}  // namespace

::testing::AssertionResult PtySession::readUntil(Channel channel, const BytePattern& expected,
                                                 Millis timeout) {
    std::size_t& cursor = cursors_[static_cast<int>(channel)];
    const auto deadline = Clock::now() + timeout;
    std::unique_lock lock(mutex_);
    for (;;) {
        const std::string_view rest = std::string_view(buffer(channel)).substr(cursor);
        const BytePattern::Match m = expected.match(rest, false);
        if (m.outcome == BytePattern::Outcome::Complete) {
            cursor += m.length;
            return ::testing::AssertionSuccess();
        }
        const bool ended = channelEnded(channel);
        const bool late = Clock::now() >= deadline;
        if (m.outcome == BytePattern::Outcome::Mismatch || ended || late) {
            return ::testing::AssertionFailure()
                   << channelName(channel) << " output from byte " << cursor << ": "
                   << (m.outcome == BytePattern::Outcome::Mismatch ? "wrong bytes"
                       : ended                                     ? "the output ended"
                               : "timed out after " + std::to_string(timeout.count()) + " ms")
                   << "; " << describeMismatch(expected, rest, false);
        }
        changed_.wait_until(lock, deadline);
    }
}

::testing::AssertionResult PtySession::readStdoutUntil(std::string_view expected, Millis timeout) {
    return readUntil(Channel::Stdout, BytePattern(expected), timeout);
}

::testing::AssertionResult PtySession::readTerminalUntil(std::string_view expected,
                                                         Millis timeout) {
    return readUntil(Channel::Terminal, BytePattern(expected), timeout);
}

::testing::AssertionResult PtySession::readBytes(Channel channel, std::size_t n, std::string& bytes,
                                                 Millis timeout) {
    std::size_t& cursor = cursors_[static_cast<int>(channel)];
    const auto deadline = Clock::now() + timeout;
    std::unique_lock lock(mutex_);
    for (;;) {
        const std::string& all = buffer(channel);
        if (all.size() - cursor >= n) {
            bytes = all.substr(cursor, n);
            cursor += n;
            return ::testing::AssertionSuccess();
        }
        if (channelEnded(channel) || Clock::now() >= deadline) {
            bytes = all.substr(cursor);
            return ::testing::AssertionFailure()
                   << "wanted " << n << " more bytes of " << channelName(channel) << " output, got "
                   << bytes.size() << ": \"" << escapeBytes(bytes) << "\"";
        }
        changed_.wait_until(lock, deadline);
    }
}

std::string PtySession::captured(Channel channel) const {
    std::lock_guard lock(mutex_);
    return buffer(channel);
}

::testing::AssertionResult PtySession::capturedEquals(Channel channel,
                                                      const BytePattern& expected) const {
    const std::string all = captured(channel);
    if (expected.match(all, true).outcome == BytePattern::Outcome::Complete) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << channelName(channel) << " output: " << describeMismatch(expected, all, true);
}

std::optional<termios> PtySession::modeNow() const {
    termios mode{};
    if (slave_ < 0 || ::tcgetattr(slave_, &mode) != 0) return std::nullopt;
    return mode;
}

// ---------------------------------------------------------------------------------------------
// PtySession: answering like a terminal

std::vector<TerminalRequest> PtySession::terminalRequests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

int PtySession::keyboardFlags() const {
    std::lock_guard lock(mutex_);
    return keyboardFlags_;
}

// Called by the drain thread, with the lock held, for each request as it completes. The mode
// is read through the master, which shows the slave's mode, since the slave descriptor may be
// closed by now.
void PtySession::answerRequest(const std::string& sequence) {
    using Kind = TerminalRequest::Kind;
    TerminalRequest request;
    request.bytes = sequence;
    termios mode{};
    request.rawMode =
        master_ >= 0 && ::tcgetattr(master_, &mode) == 0 && (mode.c_lflag & (ICANON | ECHO)) == 0;

    const char marker = sequence[2];
    const bool hasMarker = marker == '?' || marker == '>' || marker == '<' || marker == '=';
    // The numbers between the marker and the final byte; an empty one is -1.
    std::vector<int> numbers;
    const std::string body =
        sequence.substr(hasMarker ? 3 : 2, sequence.size() - (hasMarker ? 4 : 3));
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = body.find(';', start);
        const std::string field = body.substr(start, end - start);
        numbers.push_back(field.empty() ? -1 : std::atoi(field.c_str()));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    auto number = [&](std::size_t i, int fallback) {
        return i < numbers.size() && numbers[i] >= 0 ? numbers[i] : fallback;
    };

    const bool kitty = options_.answers == TerminalAnswers::KittyTerminal;
    if (sequence.back() == 'c') {
        request.kind = hasMarker ? Kind::OtherDeviceAttributes : Kind::DeviceAttributes;
        if (!hasMarker && options_.answers != TerminalAnswers::None) request.answer = "\x1b[?62;c";
    } else if (marker == '?') {
        request.kind = Kind::QueryFlags;
        if (kitty) request.answer = "\x1b[?" + std::to_string(keyboardFlags_) + "u";
    } else if (marker == '>') {
        request.kind = Kind::PushFlags;
        if (kitty) {
            flagStack_.push_back(keyboardFlags_);
            keyboardFlags_ = number(0, 0);
        }
    } else if (marker == '<') {
        request.kind = Kind::PopFlags;
        if (kitty) {
            // Popping the last entry resets every flag.
            for (int n = number(0, 1); n > 0; --n) {
                keyboardFlags_ = flagStack_.empty() ? 0 : flagStack_.back();
                if (!flagStack_.empty()) flagStack_.pop_back();
            }
        }
    } else {
        request.kind = Kind::SetFlags;
        if (kitty) {
            const int flags = number(0, 0);
            switch (number(1, 1)) {
                case 1:
                    keyboardFlags_ = flags;
                    break;
                case 2:
                    keyboardFlags_ |= flags;
                    break;
                case 3:
                    keyboardFlags_ &= ~flags;
                    break;
                default:
                    break;
            }
        }
    }
    request.flagsAfter = keyboardFlags_;

    const bool first = requests_.empty();
    requests_.push_back(request);
    if (master_ < 0) return;
    if (first && !options_.typedAtFirstRequest.empty()) {
        writeAll(master_, options_.typedAtFirstRequest);
    }
    if (!request.answer.empty()) writeAll(master_, request.answer);
}

// ---------------------------------------------------------------------------------------------
// Free helpers

std::string describeMode(const termios& mode) {
    std::ostringstream out;
    out << std::hex << "iflag 0x" << mode.c_iflag << ", oflag 0x" << mode.c_oflag << ", cflag 0x"
        << mode.c_cflag << ", lflag 0x" << mode.c_lflag << std::dec << ", cc {";
    for (std::size_t i = 0; i < NCCS; ++i) {
        out << (i ? " " : "") << static_cast<int>(mode.c_cc[i]);
    }
    out << "}, speed " << ::cfgetispeed(&mode) << "/" << ::cfgetospeed(&mode);
    return out.str();
}

::testing::AssertionResult sameMode(const termios& expected, const termios& actual) {
    const bool same =
        expected.c_iflag == actual.c_iflag && expected.c_oflag == actual.c_oflag &&
        expected.c_cflag == actual.c_cflag && expected.c_lflag == actual.c_lflag &&
        std::equal(std::begin(expected.c_cc), std::end(expected.c_cc), std::begin(actual.c_cc)) &&
        ::cfgetispeed(&expected) == ::cfgetispeed(&actual) &&
        ::cfgetospeed(&expected) == ::cfgetospeed(&actual);
    if (same) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "terminal modes differ\n  expected: " << describeMode(expected)
           << "\n  actual:   " << describeMode(actual);
}

std::string describeStatus(std::optional<int> status) {
    if (!status) return "did not end within the time limit (killed)";
    std::ostringstream out;
    if (WIFEXITED(*status)) {
        out << "exited with status " << WEXITSTATUS(*status);
    } else if (WIFSIGNALED(*status)) {
        out << "killed by signal " << WTERMSIG(*status) << " (" << ::strsignal(WTERMSIG(*status))
            << ")";
    } else {
        out << "raw wait status 0x" << std::hex << *status;
    }
    return out.str();
}

::testing::AssertionResult exitedWith(std::optional<int> status, int code) {
    if (status && WIFEXITED(*status) && WEXITSTATUS(*status) == code) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << "expected exit status " << code << "; the program " << describeStatus(status);
}

::testing::AssertionResult killedBy(std::optional<int> status, int signalNumber) {
    if (status && WIFSIGNALED(*status) && WTERMSIG(*status) == signalNumber) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << "expected death by signal " << signalNumber << " (" << ::strsignal(signalNumber)
           << "); the program " << describeStatus(status);
}

}  // namespace e2e
