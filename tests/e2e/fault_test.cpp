// The real binary under faults: standard streams that fail or are missing, no terminal, a
// terminal that hangs up, signals at every kind of wait, input far longer than any buffer,
// random bytes at every read and at every key wait, and complete runs under valgrind. Each
// case checks how the run ends and, where the rules fix it, every byte the program wrote.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "pty_session.h"
#include "script.h"

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

// What a line typed on the terminal shows: its echo, with Enter as CR LF.
std::string echoes(std::initializer_list<std::string_view> lines) {
    std::string out;
    for (std::string_view line : lines) {
        out += std::string(line) + "\r\n";
    }
    return out;
}

// The program uses no processor time for `span`: every sample finds it asleep in the same
// system call, with no more than one clock tick of processor time gained. A program that spins
// on a failing write gains one tick per 10 ms.
::testing::AssertionResult staysIdle(const PtySession& session, Millis span) {
    const std::optional<PtySession::ProcessSample> first = session.sample();
    if (!first) return ::testing::AssertionFailure() << "the program has ended";
    const auto end = Clock::now() + span;
    while (Clock::now() < end) {
        std::this_thread::sleep_for(Millis(10));
        const std::optional<PtySession::ProcessSample> now = session.sample();
        if (!now) return ::testing::AssertionFailure() << "the program ended";
        if (now->state != 'S' || now->syscall != first->syscall ||
            now->cpuTicks > first->cpuTicks + 1) {
            return ::testing::AssertionFailure()
                   << "the program did not stay idle: first state " << first->state << " in \""
                   << first->syscall << "\" with " << first->cpuTicks << " ticks, then state "
                   << now->state << " in \"" << now->syscall << "\" with " << now->cpuTicks
                   << " ticks";
        }
    }
    return ::testing::AssertionSuccess();
}

// ---------------------------------------------------------------------------------------------
// Standard output that fails (a full device, a pipe nobody reads, no descriptor at all) and
// standard input that is missing: the script goes on in every case, silently, and the terminal
// shows only what the rules put there directly (echoes and screen clears).

class FaultChannel : public ::testing::TestWithParam<ScriptRun> {};

TEST_P(FaultChannel, TheScriptGoesOnSilently) {
    const ScriptRun& param = GetParam();
    play(param.script(), param.input, param.output);
}

const ScriptRun kScriptRuns[] = {
    {"StdoutClosedAtStartTyped", hexPractice, Input::Typed, Output::Closed},
    {"StdoutClosedAtStartPiped", cAtClosing, Input::Piped, Output::Closed},
    {"StdoutClosedAtStartCharacterTable", characterTableChoice, Input::Typed, Output::Closed},
    {"StdoutDevFullHexPractice", hexPractice, Input::Typed, Output::DevFull},
    {"StdoutDevFullOctalPractice", octalPractice, Input::Typed, Output::DevFull},
    {"StdoutDevFullChoiceThree", choiceThreeThenOtherKey, Input::Typed, Output::DevFull},
    {"StdoutClosedPipeHexPractice", hexPractice, Input::Typed, Output::BrokenPipe},
    {"StdoutClosedPipeCharacterTable", characterTableChoice, Input::Typed, Output::BrokenPipe},
    {"StdoutClosedPipeF9AtMenu", f9AtMenu, Input::Typed, Output::BrokenPipe},
    {"StdinClosedAtStartOnTerminal", inputEndsAtOnce, Input::Closed, Output::Terminal},
    {"StdinClosedAtStartToPipe", inputEndsAtOnce, Input::Closed, Output::Pipe},
    {"StdinClosedAtStartToFile", inputEndsAtOnce, Input::Closed, Output::File},
    {"StdinAndStdoutClosedAtStart", inputEndsAtOnce, Input::Closed, Output::Closed},
};

INSTANTIATE_TEST_SUITE_P(Fault, FaultChannel, ::testing::ValuesIn(kScriptRuns),
                         [](const ::testing::TestParamInfo<ScriptRun>& info) {
                             return std::string(info.param.name);
                         });

// ---------------------------------------------------------------------------------------------
// The endless bell with a failed output channel: nothing is left to ring, so the program sleeps
// until the interrupt instead of spinning, and the interrupt still ends it.

struct DeadBell {
    const char* name;
    StdoutMode stdoutMode;
    bool controllingTerminal;
    StdinMode stdinMode;  // without a terminal; with one, the lines are typed
};

void PrintTo(const DeadBell& param, std::ostream* os) {
    *os << param.name;
}

class FaultDeadBell : public ::testing::TestWithParam<DeadBell> {};

TEST_P(FaultDeadBell, SleepsUntilTheInterrupt) {
    const DeadBell& param = GetParam();
    SessionOptions options;
    options.stdoutMode = param.stdoutMode;
    options.controllingTerminal = param.controllingTerminal;
    if (!param.controllingTerminal) options.stdinMode = param.stdinMode;
    PtySession session(options);
    ASSERT_TRUE(session.started());

    if (param.controllingTerminal) {
        for (const char* line : {"no\r", "no\r", "4\r"}) {
            ASSERT_TRUE(session.waitForStdinRead());
            session.sendToTerminal(line);
        }
        ASSERT_TRUE(session.waitForTerminalRead());
        session.sendToTerminal("x");
        ASSERT_TRUE(session.waitForTerminalRead());
        session.sendToTerminal("c");
    } else if (param.stdinMode == StdinMode::Pipe) {
        // Left open: the run needs no end of input, and closing the pipe while the program may
        // already be asleep would leave no wake-up after the last thing sent.
        session.sendToStdin("no\nno\n4\n");
    }

    ASSERT_TRUE(session.waitForIdle());
    EXPECT_TRUE(staysIdle(session, Millis(300)));

    if (param.controllingTerminal) {
        const std::optional<termios> mode = session.modeNow();
        ASSERT_TRUE(mode.has_value());
        EXPECT_TRUE(sameMode(session.modeBefore(), *mode)) << "the bell runs in raw mode";
        // Nothing but the echoes: the failed channel stays silent, and nothing goes to stderr.
        EXPECT_EQ(escapeBytes(session.captured(Channel::Terminal)),
                  escapeBytes(echoes({"no", "no", "4"})));
        session.sendToTerminal("\x03");  // the interrupt key, typed
    } else {
        session.signal(SIGINT);
    }
    EXPECT_TRUE(killedBy(session.waitExit(), SIGINT));
    if (!param.controllingTerminal) {
        EXPECT_EQ(escapeBytes(session.captured(Channel::Stderr)), "");
    }
}

const DeadBell kDeadBells[] = {
    {"DevFull", StdoutMode::DevFull, true, StdinMode::Terminal},
    {"ClosedPipe", StdoutMode::BrokenPipe, true, StdinMode::Terminal},
    {"StdoutClosedAtStart", StdoutMode::Closed, true, StdinMode::Terminal},
    {"DevFullWithoutTerminal", StdoutMode::DevFull, false, StdinMode::Pipe},
    {"ClosedPipeWithoutTerminal", StdoutMode::BrokenPipe, false, StdinMode::Pipe},
    {"EverythingClosedWithoutTerminal", StdoutMode::Closed, false, StdinMode::Closed},
};

INSTANTIATE_TEST_SUITE_P(Fault, FaultDeadBell, ::testing::ValuesIn(kDeadBells),
                         [](const ::testing::TestParamInfo<DeadBell>& info) {
                             return std::string(info.param.name);
                         });

// Without a terminal and with standard input closed, every read fails at once and the bells go
// to the pipe until the interrupt.
TEST(FaultNoTerminal, StdinClosedRingsIntoThePipe) {
    SessionOptions options;
    options.controllingTerminal = false;
    options.stdinMode = StdinMode::Closed;
    const std::time_t startTime = std::time(nullptr);
    PtySession session(options);
    ASSERT_TRUE(session.started());
    ASSERT_TRUE(session.readUntil(
        Channel::Stdout,
        patternOf(detachedInputEndsAtOnce().steps, Window{startTime, std::time(nullptr)}, false)));
    std::string bells;
    ASSERT_TRUE(session.readBytes(Channel::Stdout, 2000, bells));
    EXPECT_EQ(escapeBytes(bells), escapeBytes(std::string(2000, '\a')));
    session.signal(SIGINT);
    EXPECT_TRUE(killedBy(session.waitExit(), SIGINT));
    EXPECT_EQ(escapeBytes(session.captured(Channel::Stderr)), "");
}

std::string lastBytes(const std::string& bytes, std::size_t n) {
    return bytes.substr(bytes.size() > n ? bytes.size() - n : 0);
}

// Standard output (a pipe) has the closing prompt and, after it, at least two blocks of bells
// and nothing else.
::testing::AssertionResult ringing(const PtySession& session, Millis timeout = kDefaultTimeout) {
    for (const auto deadline = Clock::now() + timeout; Clock::now() < deadline;) {
        const std::string out = session.captured(Channel::Stdout);
        const std::size_t closing = out.rfind(kClosing);
        if (closing != std::string::npos && out.size() >= closing + kClosing.size() + 1024) {
            const std::string after = out.substr(closing + kClosing.size());
            if (after.find_first_not_of('\a') != std::string::npos) {
                return ::testing::AssertionFailure() << "after the closing prompt: \""
                                                     << escapeBytes(after.substr(0, 200)) << "\"";
            }
            return ::testing::AssertionSuccess();
        }
        std::this_thread::sleep_for(Millis(2));
    }
    return ::testing::AssertionFailure()
           << "no bells after the closing prompt; stdout ends \""
           << escapeBytes(lastBytes(session.captured(Channel::Stdout), 200)) << "\"";
}

// ---------------------------------------------------------------------------------------------
// Driving a run to one of its waits: typed on the terminal (or piped, line by line), standard
// output to a pipe.

enum class Wait {
    FirstReply,  // the line read of the first offer
    Count,       // the number read of the attempts count
    MenuChoice,  // the number read of the menu choice
    MenuKey,     // the menu's key wait
    ClosingKey,  // the closing's key wait
    Ringing,     // the endless bell is going
};

// Brings the session to `wait`; lines go to the terminal, or down the stdin pipe with `piped`.
::testing::AssertionResult driveTo(PtySession& session, Wait wait, bool piped = false) {
    auto lineRead = [&](const char* line) -> ::testing::AssertionResult {
        if (auto waited = session.waitForStdinRead(); !waited) return waited;
        if (piped) {
            session.sendToStdin(std::string(line) + "\n");
        } else {
            session.sendToTerminal(std::string(line) + "\r");
        }
        return ::testing::AssertionSuccess();
    };
    if (wait == Wait::FirstReply) return session.waitForStdinRead();
    if (wait == Wait::Count) {
        if (auto r = lineRead("si"); !r) return r;
        return session.waitForStdinRead();
    }
    for (const char* line : {"no", "no"}) {
        if (auto r = lineRead(line); !r) return r;
    }
    if (wait == Wait::MenuChoice) return session.waitForStdinRead();
    if (auto r = lineRead("4"); !r) return r;
    if (auto r = session.waitForTerminalRead(); !r) return r;
    if (wait == Wait::MenuKey) return ::testing::AssertionSuccess();
    session.sendToTerminal("x");
    if (auto r = session.waitForTerminalRead(); !r) return r;
    if (wait == Wait::ClosingKey) return ::testing::AssertionSuccess();
    session.sendToTerminal("c");
    return ringing(session);
}

// What the terminal shows when `driveTo` has brought the run to `wait`: the typed lines' echoes
// and the screen clear of the practice; key presses are not echoed.
std::string screenAt(Wait wait, bool piped) {
    if (wait == Wait::FirstReply) return "";
    if (wait == Wait::Count) return (piped ? "" : echoes({"si"})) + std::string(kClearScreen);
    if (piped) return "";
    if (wait == Wait::MenuChoice) return echoes({"no", "no"});
    return echoes({"no", "no", "4"});
}

// ---------------------------------------------------------------------------------------------
// Signals at the waits that the key-wait cases of the scripted runs leave out: during line and
// number reads, SIGQUIT at the closing, SIGINT sent from outside during a key wait, and the
// terminating signals during the endless bell. Each kills the program by that signal; outside a
// key wait the terminal mode was never changed, and after one it has been restored.

struct SignalCase {
    const char* name;
    int signalNumber;
    Wait wait;
    bool piped;      // the lines go down a stdin pipe rather than to the terminal
    bool checkMode;  // the terminal mode at the end must be the one at start
};

void PrintTo(const SignalCase& param, std::ostream* os) {
    *os << param.name;
}

class FaultSignal : public ::testing::TestWithParam<SignalCase> {};

TEST_P(FaultSignal, KillsTheProgramByThatSignal) {
    const SignalCase& param = GetParam();
    SessionOptions options;
    options.stdoutMode = StdoutMode::Pipe;
    if (param.piped) options.stdinMode = StdinMode::Pipe;
    PtySession session(options);
    ASSERT_TRUE(session.started());
    ASSERT_TRUE(driveTo(session, param.wait, param.piped));
    session.signal(param.signalNumber);
    EXPECT_TRUE(killedBy(session.waitExit(), param.signalNumber));
    if (param.checkMode) {
        ASSERT_TRUE(session.modeAtExit().has_value());
        EXPECT_TRUE(sameMode(session.modeBefore(), *session.modeAtExit()));
    }
    // Nothing reached the terminal but the echoes and the screen clear: no message on stderr.
    EXPECT_EQ(escapeBytes(session.captured(Channel::Terminal)),
              escapeBytes(screenAt(param.wait, param.piped)));
}

const SignalCase kSignalCases[] = {
    {"TermAtFirstReply", SIGTERM, Wait::FirstReply, false, true},
    {"HangUpAtFirstReply", SIGHUP, Wait::FirstReply, false, true},
    {"QuitAtFirstReply", SIGQUIT, Wait::FirstReply, false, true},
    {"InterruptAtFirstReply", SIGINT, Wait::FirstReply, false, true},
    {"TermAtPipedFirstReply", SIGTERM, Wait::FirstReply, true, true},
    {"HangUpAtPipedMenuChoice", SIGHUP, Wait::MenuChoice, true, true},
    {"TermAtCount", SIGTERM, Wait::Count, false, true},
    {"InterruptAtCount", SIGINT, Wait::Count, false, true},
    {"QuitAtMenuChoice", SIGQUIT, Wait::MenuChoice, false, true},
    {"InterruptAtMenuChoice", SIGINT, Wait::MenuChoice, false, true},
    {"QuitAtClosing", SIGQUIT, Wait::ClosingKey, false, true},
    // SIGINT keeps its default action even during a key wait (there Ctrl+C is only a key).
    {"InterruptSentAtMenuKey", SIGINT, Wait::MenuKey, false, false},
    {"InterruptSentAtClosingKey", SIGINT, Wait::ClosingKey, false, false},
    {"TermWhileRinging", SIGTERM, Wait::Ringing, false, true},
    {"HangUpWhileRinging", SIGHUP, Wait::Ringing, false, true},
    {"QuitWhileRinging", SIGQUIT, Wait::Ringing, false, true},
};

INSTANTIATE_TEST_SUITE_P(Fault, FaultSignal, ::testing::ValuesIn(kSignalCases),
                         [](const ::testing::TestParamInfo<SignalCase>& info) {
                             return std::string(info.param.name);
                         });

// ---------------------------------------------------------------------------------------------
// The terminal hangs up (the pty master goes away). The kernel then sends SIGHUP to the
// program, the session leader, which dies by it at once. With SIGHUP ignored, every read of the
// terminal ends (line reads meet end of input, key reads fail), writes to it fail, and the run
// goes through to the endless bell: into a pipe it rings; with nothing left to write to it
// sleeps until the interrupt.

enum class AfterHangUp {
    Dies,    // SIGHUP, default action
    Rings,   // SIGHUP ignored, standard output a pipe
    Sleeps,  // SIGHUP ignored, standard output the terminal
};

struct HangUpCase {
    const char* name;
    Wait wait;
    AfterHangUp after;
};

void PrintTo(const HangUpCase& param, std::ostream* os) {
    *os << param.name;
}

class FaultHangUp : public ::testing::TestWithParam<HangUpCase> {};

// What standard output holds at the end of a run whose terminal hung up at `wait` (SIGHUP
// ignored): the rest of the script as if the input had ended and no key could be read.
Script afterHangUpAt(Wait wait) {
    if (wait != Wait::Count) return detachedInputEndsAtOnce();
    // The count fails to read, so the 18 of the counting tables runs as many attempts without a
    // wait; the second reply meets end of input and keeps the "si" of the first.
    Script s;
    s.out(opening()).out(kOffer).out(kHeading).out(kHexTask);
    for (int i = 0; i < 18; ++i) {
        s.attempt(16, std::nullopt);
    }
    s.out("\t\t").out(noticeAndMenu());
    return s.out(kNotChosen).out(kClosing);
}

TEST_P(FaultHangUp, DoesNotHang) {
    const HangUpCase& param = GetParam();
    SessionOptions options;
    options.ignoreHangUp = param.after != AfterHangUp::Dies;
    options.stdoutMode =
        param.after == AfterHangUp::Sleeps ? StdoutMode::Terminal : StdoutMode::Pipe;
    const std::time_t startTime = std::time(nullptr);
    PtySession session(options);
    ASSERT_TRUE(session.started());
    ASSERT_TRUE(driveTo(session, param.wait));
    session.hangUp();

    switch (param.after) {
        case AfterHangUp::Dies:
            EXPECT_TRUE(killedBy(session.waitExit(), SIGHUP));
            return;
        case AfterHangUp::Rings: {
            ASSERT_TRUE(ringing(session));
            const Window window{startTime, std::time(nullptr)};  // every number is drawn by now
            const std::string all = session.captured(Channel::Stdout);
            const BytePattern expected = patternOf(afterHangUpAt(param.wait).steps, window, false);
            const BytePattern::Match m = expected.match(all, false);
            EXPECT_EQ(m.outcome, BytePattern::Outcome::Complete)
                << describeMismatch(expected, all, false);
            if (m.outcome == BytePattern::Outcome::Complete) {
                EXPECT_EQ(all.find_first_not_of('\a', m.length), std::string::npos)
                    << "after the closing prompt: \"" << escapeBytes(all.substr(m.length, 200))
                    << "\"";
            }
            break;
        }
        case AfterHangUp::Sleeps:
            ASSERT_TRUE(session.waitForIdle());
            EXPECT_TRUE(staysIdle(session, Millis(300)));
            break;
    }
    session.signal(SIGINT);
    EXPECT_TRUE(killedBy(session.waitExit(), SIGINT));
}

const HangUpCase kHangUps[] = {
    {"AtFirstReplyDies", Wait::FirstReply, AfterHangUp::Dies},
    {"AtMenuChoiceDies", Wait::MenuChoice, AfterHangUp::Dies},
    {"AtMenuKeyDies", Wait::MenuKey, AfterHangUp::Dies},
    {"AtClosingKeyDies", Wait::ClosingKey, AfterHangUp::Dies},
    {"AtFirstReplyIgnoredRings", Wait::FirstReply, AfterHangUp::Rings},
    {"AtCountIgnoredRings", Wait::Count, AfterHangUp::Rings},
    {"AtMenuChoiceIgnoredRings", Wait::MenuChoice, AfterHangUp::Rings},
    {"AtMenuKeyIgnoredRings", Wait::MenuKey, AfterHangUp::Rings},
    {"AtClosingKeyIgnoredRings", Wait::ClosingKey, AfterHangUp::Rings},
    {"AtFirstReplyIgnoredSleeps", Wait::FirstReply, AfterHangUp::Sleeps},
    {"AtMenuKeyIgnoredSleeps", Wait::MenuKey, AfterHangUp::Sleeps},
    {"AtClosingKeyIgnoredSleeps", Wait::ClosingKey, AfterHangUp::Sleeps},
};

INSTANTIATE_TEST_SUITE_P(Fault, FaultHangUp, ::testing::ValuesIn(kHangUps),
                         [](const ::testing::TestParamInfo<HangUpCase>& info) {
                             return std::string(info.param.name);
                         });

// ---------------------------------------------------------------------------------------------
// 100 MB of input without a line break, down a pipe: the program reads it in bounded memory (its
// peak resident size stays that of a run with short lines) and goes on by the rules.

constexpr std::size_t kLongRun = std::size_t{100} << 20;

struct LongInput {
    const char* name;
    const char* head;      // sent before the long run
    char fill;             // the byte the long run repeats
    const char* tail;      // sent after it; then standard input is closed
    Script (*expected)();  // standard output up to the menu's key wait, then "x" and C are typed
};

void PrintTo(const LongInput& param, std::ostream* os) {
    *os << param.name;
}

// A reply that starts with "si" and goes on for 100 MB is no "si".
Script longReply() {
    return toMenu("4").key("x").out(kNotChosen).out(kClosing).key("C").exits();
}

// The long reply is also the last: the input ends inside it. The second reply finds end of
// input and keeps it, the menu choice fails.
Script longReplyThenEnd() {
    Script s;
    s.out(opening()).out(kOffer).out(kOtherSystems).out(noticeAndMenu());
    return s.key("x").out(kNotChosen).out(kClosing).key("C").exits();
}

// 100 MB of blanks before the menu choice are white space to skip.
Script blanksBeforeChoice() {
    return toMenu("2").key("x").out(characterTable()).out(kClosing).key("C").exits();
}

// A count of 100 MB of zeros and a 3 is octal 3.
Script zerosInCount() {
    Script s;
    s.out(opening()).out(kOffer).clear().out(kHeading).out(kHexTask);
    s.attempt(16, "1").attempt(16, "2").attempt(16, "3");
    s.out(noticeAndMenu());
    return s.key("x").out(kNotChosen).out(kClosing).key("C").exits();
}

const LongInput kLongInputs[] = {
    {"ReplyOf100MB", "si", 'x', "\nno\n4\n", longReply},
    {"ReplyOf100MBWithoutLineBreak", "si", 'x', "", longReplyThenEnd},
    {"BlanksOf100MBBeforeChoice", "no\nno\n", ' ', "2\n", blanksBeforeChoice},
    {"CountOf100MBOfZeros", "si\n", '0', "3\n1\n2\n3\nno\n4\n", zerosInCount},
};

class FaultLongInput : public ::testing::TestWithParam<LongInput> {};

struct MeasuredRun {
    long peakKb = -1;
    double seconds = 0;
};

// Runs with `feed` writing standard input; at the menu's key wait the peak resident size is
// taken, then "x" and C are typed. Standard output must be exactly `expected`'s.
void runMeasured(const std::function<void(PtySession&)>& feed, const Script& expected,
                 MeasuredRun& measured) {
    SessionOptions options;
    options.stdinMode = StdinMode::Pipe;
    options.stdoutMode = StdoutMode::Pipe;
    const std::time_t startTime = std::time(nullptr);
    const auto started = Clock::now();
    PtySession session(options);
    ASSERT_TRUE(session.started());
    feed(session);
    session.closeStdin();
    ASSERT_TRUE(session.waitForTerminalRead(Millis(60000)));
    const std::optional<PtySession::ProcessSample> atMenu = session.sample();
    ASSERT_TRUE(atMenu.has_value());
    measured.peakKb = atMenu->peakResidentKb;
    session.sendToTerminal("x");
    ASSERT_TRUE(session.waitForTerminalRead());
    session.sendToTerminal("C");
    EXPECT_TRUE(exitedWith(session.waitExit(), 0));
    measured.seconds = std::chrono::duration<double>(Clock::now() - started).count();
    std::vector<Script::Step> program;
    for (const Script::Step& s : expected.steps) {
        if (s.kind == Kind::Output || s.kind == Kind::Drawn) program.push_back(s);
    }
    EXPECT_TRUE(session.capturedEquals(
        Channel::Stdout, patternOf(program, Window{startTime, std::time(nullptr)}, false)));
}

TEST_P(FaultLongInput, ReadsInBoundedMemory) {
    const LongInput& param = GetParam();
    // The same run with the long part left out: the reference for the peak resident size.
    MeasuredRun normal;
    runMeasured([](PtySession& session) { session.sendToStdin("no\nno\n4\n"); }, longReply(),
                normal);
    if (HasFatalFailure()) return;

    MeasuredRun big;
    runMeasured(
        [&](PtySession& session) {
            session.sendToStdin(param.head);
            const std::string block(std::size_t{1} << 20, param.fill);
            for (std::size_t sent = 0; sent < kLongRun; sent += block.size()) {
                session.sendToStdin(block);
            }
            session.sendToStdin(param.tail);
        },
        param.expected(), big);
    if (HasFatalFailure()) return;

    RecordProperty("peak_kb_normal", std::to_string(normal.peakKb));
    RecordProperty("peak_kb_100mb", std::to_string(big.peakKb));
    std::cout << "  peak resident size: " << normal.peakKb << " kB with short lines, " << big.peakKb
              << " kB with 100 MB (" << big.seconds << " s)\n";
    ASSERT_GT(normal.peakKb, 0);
    // A page or two of difference is noise; keeping even 1% of the input would be a megabyte.
    EXPECT_LE(big.peakKb, normal.peakKb + 512);
}

INSTANTIATE_TEST_SUITE_P(Fault, FaultLongInput, ::testing::ValuesIn(kLongInputs),
                         [](const ::testing::TestParamInfo<LongInput>& info) {
                             return std::string(info.param.name);
                         });

// A line longer than one refill. The number reader's refill takes the first 512 bytes of the
// answer line, "5", 510 blanks and an "s"; the line reader's next refill gets the rest, "i", so
// the second reply is no "si"; the "s" left with the number reader then fails the menu choice,
// which passes without a wait.
Script answerLongerThanARefill() {
    Script s;
    s.out(opening()).out(kOffer).line("si").clear().out(kHeading).number("1").out(kHexTask);
    s.attempt(16, "5" + std::string(510, ' ') + "si");
    s.out(noticeAndMenu());
    return s.key("x").out(kNotChosen).out(kClosing).key("C").exits();
}

struct RefillRun {
    const char* name;
    Input input;
    Output output;
};

void PrintTo(const RefillRun& param, std::ostream* os) {
    *os << param.name;
}

class FaultRefill : public ::testing::TestWithParam<RefillRun> {};

TEST_P(FaultRefill, SplitsLongLinesAt512Bytes) {
    play(answerLongerThanARefill(), GetParam().input, GetParam().output);
}

const RefillRun kRefillRuns[] = {
    {"Typed", Input::Typed, Output::Terminal},
    {"Piped", Input::Piped, Output::Pipe},
};

INSTANTIATE_TEST_SUITE_P(Fault, FaultRefill, ::testing::ValuesIn(kRefillRuns),
                         [](const ::testing::TestParamInfo<RefillRun>& info) {
                             return std::string(info.param.name);
                         });

// ---------------------------------------------------------------------------------------------
// Random bytes at every read. A fixed-seed generator makes up what arrives at each read of
// standard input: bytes 0 to 255 (NUL, carriage returns, byte 26, Esc and line breaks included),
// sometimes the replies and numbers the drill asks for, sometimes the end of the input. Each
// write goes down the pipe only when the program waits for it, so one read takes it whole, as
// one typed line would be taken. A model of the reading rules and of the script says what the
// program does with it: when it reads, when it waits for a key, and every byte of its output.

// SplitMix64: small, fast, and the same on every platform.
class Rng {
  public:
    explicit Rng(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }
    bool chance(int percent) { return below(100) < static_cast<std::size_t>(percent); }
    template <class T, std::size_t N>
    const T& pick(const T (&items)[N]) {
        return items[below(N)];
    }

  private:
    std::uint64_t state_;
};

// The read that asks for more input.
enum class Read { FirstReply, SecondReply, Count, Answer, Choice };

struct Action {
    enum class Kind {
        Write,       // at a read of standard input: these bytes down the pipe
        CloseInput,  // at a read of standard input: the pipe is closed
        Key,         // at a key wait: these bytes typed at the terminal
    };
    Kind kind;
    std::string bytes;
};

std::string describeActions(const std::vector<Action>& actions) {
    std::string out;
    for (const Action& a : actions) {
        switch (a.kind) {
            case Action::Kind::Write:
                out += "  write \"" + escapeBytes(a.bytes) + "\"\n";
                break;
            case Action::Kind::CloseInput:
                out += "  close standard input\n";
                break;
            case Action::Kind::Key:
                out += "  key \"" + escapeBytes(a.bytes) + "\"\n";
                break;
        }
    }
    return out;
}

// Standard input as the readers get it: each refill hands over at most 512 bytes and at most
// one line, with carriage returns dropped; a byte 26 ends the input for good. When nothing is
// left of the last write, the refill is a wait: `next` says what arrives (nothing: the end).
class InputModel {
  public:
    using Source = std::function<std::optional<std::string>(Read)>;
    InputModel(Source next, std::vector<Action>& actions)
        : next_(std::move(next)), actions_(actions) {}

    std::string refill(Read read) {
        if (chunks_.empty() && !ended_ && !closed_) arrive(read);
        if (chunks_.empty()) return {};
        std::string chunk = std::move(chunks_.front());
        chunks_.pop_front();
        return chunk;
    }

  private:
    void arrive(Read read) {
        const std::optional<std::string> write = next_(read);
        if (!write) {
            closed_ = true;
            actions_.push_back({Action::Kind::CloseInput, {}});
            return;
        }
        actions_.push_back({Action::Kind::Write, *write});
        std::string chunk;
        for (char c : *write) {
            if (c == '\r') continue;
            if (c == 26) {
                ended_ = true;
                break;
            }
            chunk += c;
            if (c == '\n' || chunk.size() == 512) {
                chunks_.push_back(std::move(chunk));
                chunk.clear();
            }
        }
        if (!chunk.empty()) chunks_.push_back(std::move(chunk));
    }

    Source next_;
    std::vector<Action>& actions_;
    std::deque<std::string> chunks_;
    bool closed_ = false;
    bool ended_ = false;
};

// The number reader's rules: base from the prefix, digits wrapping modulo 2^32, a failure that
// leaves the target alone and makes every later read fail at once.
class NumberModel {
  public:
    explicit NumberModel(InputModel& input) : input_(input) {}

    void read(std::int32_t& target, Read read) {
        if (failed_) return;
        auto peek = [&]() -> int {
            if (pos_ == buf_.size()) {
                buf_ = input_.refill(read);
                pos_ = 0;
                if (buf_.empty()) return -1;
            }
            return static_cast<unsigned char>(buf_[pos_]);
        };
        auto space = [](int c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
        auto digit = [](int c, unsigned base) {
            int d = -1;
            if (c >= '0' && c <= '9') d = c - '0';
            if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
            if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
            return d >= 0 && static_cast<unsigned>(d) < base ? d : -1;
        };
        int c = peek();
        while (c != -1 && space(c)) {
            ++pos_;
            c = peek();
        }
        if (c == -1) {
            failed_ = true;
            return;
        }
        const bool negative = c == '-';
        if (c == '+' || c == '-') {
            ++pos_;
            c = peek();
        }
        unsigned base = 10;
        if (c == '0') {
            ++pos_;
            c = peek();
            if (c == 'x' || c == 'X') {
                ++pos_;
                c = peek();
                base = 16;
            } else if (c >= '0' && c <= '7') {
                base = 8;
            } else {
                target = 0;
                return;
            }
        }
        if (digit(c, base) < 0) {
            failed_ = true;
            return;
        }
        std::uint32_t value = 0;
        for (int d; (d = digit(c, base)) >= 0; c = peek()) {
            value = value * base + static_cast<std::uint32_t>(d);
            ++pos_;
        }
        target = static_cast<std::int32_t>(negative ? 0u - value : value);
    }

  private:
    InputModel& input_;
    std::string buf_;
    std::size_t pos_ = 0;
    bool failed_ = false;
};

// The line reader's rules: everything up to the line feed; end of input before any character
// leaves the reply as it was.
class LineModel {
  public:
    explicit LineModel(InputModel& input) : input_(input) {}

    void read(std::string& reply, Read read) {
        std::string line;
        bool tookAny = false;
        for (;;) {
            if (pos_ == buf_.size()) {
                buf_ = input_.refill(read);
                pos_ = 0;
                if (buf_.empty()) {
                    if (!tookAny) return;
                    break;
                }
            }
            const char c = buf_[pos_++];
            tookAny = true;
            if (c == '\n') break;
            line += c;
        }
        reply = line;
    }

  private:
    InputModel& input_;
    std::string buf_;
    std::size_t pos_ = 0;
};

// What the generator sends at a read: most often random bytes, often what the read asks for,
// with random bytes after it, and now and then the end of the input.
std::optional<std::string> randomWrite(Rng& rng, Read read) {
    if (rng.chance(4)) return std::nullopt;
    static const char* const kReplies[] = {"si", "si", "si", "si\r", "Si", "si ", "s", "sii", ""};
    static const char* const kNumbers[] = {"0",   "1",  "2",   "3",          "4",  "5",  "12",
                                           "0x2", "02", "010", "-1",         "+3", " 2", "\t1",
                                           "0x",  "-",  "08",  "4294967297", "0X1"};
    static const unsigned char kSpecial[] = {0,   9,   10,  13,  26,  27,  32,  '0',  '1', '7',
                                             '9', 'x', 'X', '-', '+', 's', 'i', 0x7F, 0xFF};
    auto randomBytes = [&](std::size_t length) {
        std::string bytes;
        for (std::size_t i = 0; i < length; ++i) {
            bytes += static_cast<char>(rng.chance(20) ? rng.pick(kSpecial) : rng.below(256));
        }
        return bytes;
    };
    static const char* const kChoices[] = {"1", "2", "3", "0x2", "03", "+1", " 3", "4", "1 2"};
    const bool lineRead = read == Read::FirstReply || read == Read::SecondReply;
    std::string write;
    if (rng.chance(50)) {
        write = lineRead               ? rng.pick(kReplies)
                : read == Read::Choice ? rng.pick(kChoices)
                                       : rng.pick(kNumbers);
        if (rng.chance(30)) write += randomBytes(1 + rng.below(8));
    } else {
        // Now and then a line longer than one refill.
        write = randomBytes(rng.chance(6) ? 513 + rng.below(1500) : rng.below(24));
    }
    return write + "\n";
}

struct Plan {
    std::vector<Action> actions;
    Script output;   // standard output
    int clears = 0;  // screen clears on the terminal
    bool rings = false;
};

// Most attempts a plan may hold; a seed whose input would ask for more is drawn again.
constexpr std::int32_t kMaxAttempts = 60;

// The whole run for one seed, or nothing when its attempts count is out of bounds.
std::optional<Plan> planRandomRun(std::uint64_t seed) {
    Rng rng(seed);
    Plan plan;
    InputModel input([&](Read read) { return randomWrite(rng, read); }, plan.actions);
    NumberModel numbers(input);
    LineModel lines(input);
    Script& s = plan.output;
    std::int32_t counter = 18, answer = 0, choice = 0;
    std::string reply;

    auto attempts = [&](int base) {
        s.out(kHeading);
        numbers.read(counter, Read::Count);
        s.out(base == 8 ? kOctTask : kHexTask);
        if (counter > kMaxAttempts) return false;
        for (; counter > 0; --counter) {
            numbers.read(answer, Read::Answer);
            s.attempt(base, std::nullopt);
        }
        return true;
    };
    // Keys and the codes they give: a two-part code leaves its second half for the next read.
    struct KeyCode {
        const char* bytes;
        int first;
        int second;
    };
    static const KeyCode kMenuKeys[] = {
        {"x", 'x', -1}, {"C", 'C', -1}, {"\x1b[20~", 0, 'C'}, {"\x1bOP", 0, 59}, {"c", 'c', -1}};
    static const KeyCode kClosingKeys[] = {{"C", 'C', -1}, {"C", 'C', -1}, {"c", 'c', -1}};

    s.out(opening()).out(kOffer);
    lines.read(reply, Read::FirstReply);
    if (reply == "si") {
        ++plan.clears;
        if (!attempts(16)) return std::nullopt;
    } else {
        s.out(kOtherSystems);
    }
    lines.read(reply, Read::SecondReply);
    if (reply == "si") s.out("\t\t");
    counter = 11;
    s.out(noticeAndMenu());
    numbers.read(choice, Read::Choice);
    if (choice == 3) {
        ++plan.clears;
        s.out(kExitPrompt);
    }
    const KeyCode& menuKey = rng.pick(kMenuKeys);
    plan.actions.push_back({Action::Kind::Key, menuKey.bytes});
    if (menuKey.first == 'C') return plan;
    if (choice == 1) {
        ++plan.clears;
        if (!attempts(8)) return std::nullopt;
    } else if (choice == 2) {
        s.out(characterTable());
    } else {
        s.out(kNotChosen);
    }
    s.out(kClosing);
    int code = menuKey.second;
    if (code < 0) {
        const KeyCode& closingKey = rng.pick(kClosingKeys);
        plan.actions.push_back({Action::Kind::Key, closingKey.bytes});
        code = closingKey.first;
    }
    plan.rings = code != 'C';
    return plan;
}

class FaultRandomInput : public ::testing::TestWithParam<int> {};

TEST_P(FaultRandomInput, FollowsTheReadingRules) {
    std::optional<Plan> plan;
    std::uint64_t seed = 0;
    for (std::uint64_t draw = 0; !plan && draw < 100; ++draw) {
        seed = static_cast<std::uint64_t>(GetParam()) * 1000 + draw;
        plan = planRandomRun(seed);
    }
    ASSERT_TRUE(plan.has_value()) << "no seed gave a bounded run";
    SCOPED_TRACE("seed " + std::to_string(seed) + ", the run:\n" + describeActions(plan->actions) +
                 (plan->rings ? "  then the bell\n" : ""));

    SessionOptions options;
    options.stdinMode = StdinMode::Pipe;
    options.stdoutMode = StdoutMode::Pipe;
    const std::time_t startTime = std::time(nullptr);
    PtySession session(options);
    ASSERT_TRUE(session.started());
    for (std::size_t i = 0; i < plan->actions.size(); ++i) {
        const Action& a = plan->actions[i];
        if (a.kind == Action::Kind::Key) {
            ASSERT_TRUE(session.waitForTerminalRead()) << "before action " << i;
            session.sendToTerminal(a.bytes);
            continue;
        }
        ASSERT_TRUE(session.waitForStdinRead()) << "before action " << i;
        if (a.kind == Action::Kind::Write) {
            session.sendToStdin(a.bytes);
        } else {
            session.closeStdin();
        }
    }

    if (plan->rings) {
        ASSERT_TRUE(ringing(session));
        const std::string all = session.captured(Channel::Stdout);
        const BytePattern expected =
            patternOf(plan->output.steps, Window{startTime, std::time(nullptr)}, false);
        const BytePattern::Match m = expected.match(all, false);
        EXPECT_EQ(m.outcome, BytePattern::Outcome::Complete)
            << describeMismatch(expected, all, false);
        if (m.outcome == BytePattern::Outcome::Complete) {
            EXPECT_EQ(all.find_first_not_of('\a', m.length), std::string::npos)
                << "after the closing prompt: \"" << escapeBytes(all.substr(m.length, 200)) << "\"";
        }
        session.signal(SIGINT);
        EXPECT_TRUE(killedBy(session.waitExit(), SIGINT));
    } else {
        EXPECT_TRUE(exitedWith(session.waitExit(), 0));
        EXPECT_TRUE(session.capturedEquals(
            Channel::Stdout,
            patternOf(plan->output.steps, Window{startTime, std::time(nullptr)}, false)));
    }
    std::string clears;
    for (int i = 0; i < plan->clears; ++i) {
        clears += kClearScreen;
    }
    EXPECT_EQ(escapeBytes(session.captured(Channel::Terminal)), escapeBytes(clears));
    ASSERT_TRUE(session.modeAtExit().has_value());
    EXPECT_TRUE(sameMode(session.modeBefore(), *session.modeAtExit()));
}

INSTANTIATE_TEST_SUITE_P(Fault, FaultRandomInput, ::testing::Range(1, 41));

// ---------------------------------------------------------------------------------------------
// Random bytes typed at the key waits: raw bytes, escape sequences cut anywhere, pieces of UTF-8
// characters. Whatever they are, the program never hangs and never crashes: after each burst it
// is soon waiting for a key again, ringing, or ended with status 0, and what the terminal shows
// is at every moment a beginning of what the rules allow: the menu, then the chosen action and
// the closing, then only bells.

struct KeyMash {
    const char* name;
    const char* transcript;  // standard input, piped and closed at start
    Script (*menu)();        // what the terminal shows at the menu's key wait
    Script (*action)();      // what a key other than C at the menu wait adds before the closing
    int salt;                // makes each row's bursts its own
};

void PrintTo(const KeyMash& param, std::ostream* os) {
    *os << param.name;
}

Script menuShown() {
    Script s;
    return s.out(opening()).out(kOffer).out(kOtherSystems).out(noticeAndMenu());
}

Script exitPromptShown() {
    return menuShown().clear().out(kExitPrompt);
}

Script notChosen() {
    return Script().out(kNotChosen);
}

Script tableShown() {
    return Script().out(characterTable());
}

Script octalRun() {
    Script s;
    s.clear().out(kHeading).out(kOctTask);
    return s.attempt(8, std::nullopt).attempt(8, std::nullopt);
}

const KeyMash kMashes[] = {
    {"NotChosen", "no\nno\n4\n", menuShown, notChosen, 1},
    {"CharacterTable", "no\nno\n2\n", menuShown, tableShown, 2},
    {"ChoiceThree", "no\nno\n3\n", exitPromptShown, notChosen, 3},
    {"OctalPractice", "no\nno\n1\n2\n5\n6\n", menuShown, octalRun, 4},
};

// A burst of keyboard bytes: an escape sequence cut short (Esc, an introducer, parameters and
// no final byte), an escape sequence with random parameters and a final byte (a key, or a report
// to skip), or 1 to 8 bytes, half of them anything and half from the pieces terminals send.
std::string keyBurst(Rng& rng) {
    static const char* const kIntroducers[] = {"[", "[", "O", "[?", "[<", "[>", "[[", "]", "P"};
    static const char kParameters[] = "0123456789;;::";
    static const char kFinals[] = "~~ABCDEFHPQRSZuumMtcI";
    static const unsigned char kPieces[] = {
        0x1b, 0x1b, '[',  '[',  'O',  '0', '1', '2', '3', '5', '9', ';',  '~',  'A',
        'B',  'D',  'H',  'P',  'Q',  'u', '?', '>', '<', 'M', '_', 0x8f, 0x9b, 0xc3,
        0xe2, 0xf0, 0x80, 0xa9, 0xbf, 'x', 'c', 'C', 3,   127, 13,  0};
    auto parameters = [&] {
        std::string p;
        for (std::size_t n = rng.below(6); n > 0; --n) {
            p += kParameters[rng.below(sizeof kParameters - 1)];
        }
        return p;
    };
    switch (rng.below(3)) {
        case 0:
            return "\x1b" + std::string(rng.pick(kIntroducers)) + parameters();
        case 1:
            return "\x1b" + std::string(rng.pick(kIntroducers)) + parameters() +
                   kFinals[rng.below(sizeof kFinals - 1)];
        default:
            break;
    }
    std::string bytes;
    for (std::size_t n = 1 + rng.below(8); n > 0; --n) {
        bytes += static_cast<char>(rng.chance(50) ? rng.pick(kPieces) : rng.below(256));
    }
    return bytes;
}

class FaultRandomKeys : public ::testing::TestWithParam<std::tuple<KeyMash, int>> {};

TEST_P(FaultRandomKeys, NeverHangOrCrash) {
    const KeyMash& mash = std::get<0>(GetParam());
    Rng rng(static_cast<std::uint64_t>(mash.salt * 100 + std::get<1>(GetParam())) * 7919);
    SessionOptions options;
    options.stdinMode = StdinMode::Pipe;
    const std::time_t startTime = std::time(nullptr);
    PtySession session(options);
    ASSERT_TRUE(session.started());
    session.sendToStdin(mash.transcript);
    session.closeStdin();
    ASSERT_TRUE(session.waitForTerminalRead());

    std::string typed;  // for the failure messages
    enum class State { Waiting, Ringing, Ended };
    // Where the terminal's bytes stand against the rules: a failure, or whether bells follow
    // the closing prompt. `interrupted`: the echo of a typed Ctrl+C may close them.
    auto classify = [&](bool interrupted, bool& bells) -> ::testing::AssertionResult {
        const std::string shown = session.captured(Channel::Terminal);
        const Window window{startTime, std::time(nullptr)};
        const BytePattern menu = patternOf(mash.menu().steps, window, true);
        const BytePattern::Match m1 = menu.match(shown, false);
        if (m1.outcome != BytePattern::Outcome::Complete) {
            return ::testing::AssertionFailure() << describeMismatch(menu, shown, false);
        }
        const std::string rest = shown.substr(m1.length);
        Script after = mash.action();
        after.out(kClosing);
        const BytePattern allowed = patternOf(after.steps, window, true);
        const BytePattern::Match m2 = allowed.match(rest, false);
        if (m2.outcome == BytePattern::Outcome::Mismatch) {
            return ::testing::AssertionFailure()
                   << "after the menu: " << describeMismatch(allowed, rest, false);
        }
        std::string tail =
            m2.outcome == BytePattern::Outcome::Complete ? rest.substr(m2.length) : "";
        if (interrupted && tail.size() >= 2 && tail.compare(tail.size() - 2, 2, "^C") == 0) {
            tail.resize(tail.size() - 2);
        }
        if (tail.find_first_not_of('\a') != std::string::npos) {
            return ::testing::AssertionFailure()
                   << "after the closing prompt: \"" << escapeBytes(tail.substr(0, 200)) << "\"";
        }
        bells = !tail.empty();
        return ::testing::AssertionSuccess();
    };
    // After a burst: waiting for a key again, ringing, or ended, within a bounded time.
    auto settle = [&](State& state) -> ::testing::AssertionResult {
        const auto deadline = Clock::now() + Millis(10000);
        for (;;) {
            bool bells = false;
            if (auto c = classify(false, bells); !c) return c;
            if (bells) {
                state = State::Ringing;
                return ::testing::AssertionSuccess();
            }
            const std::optional<PtySession::ProcessSample> now = session.sample();
            if (!now || now->state == 'Z') {
                state = State::Ended;
                return ::testing::AssertionSuccess();
            }
            if (session.waitForTerminalRead(Millis(200))) {
                state = State::Waiting;
                return ::testing::AssertionSuccess();
            }
            if (Clock::now() >= deadline) {
                return ::testing::AssertionFailure()
                       << "after the keys \"" << escapeBytes(typed)
                       << "\" the program neither waits for a key, nor rings, nor has ended";
            }
        }
    };

    State state = State::Waiting;
    for (int round = 0; round < 24 && state == State::Waiting; ++round) {
        const std::string burst = keyBurst(rng);
        typed += burst;
        session.sendToTerminal(burst);
        ASSERT_TRUE(settle(state)) << "typed so far: \"" << escapeBytes(typed) << "\"";
    }
    // Still waiting: an upper-case C ends the run (a second one, should the first have ended a
    // sequence that was being dropped).
    for (int i = 0; i < 3 && state == State::Waiting; ++i) {
        typed += "C";
        session.sendToTerminal("C");
        ASSERT_TRUE(settle(state)) << "typed: \"" << escapeBytes(typed) << "\"";
    }
    ASSERT_NE(state, State::Waiting)
        << "C did not end the run; typed: \"" << escapeBytes(typed) << "\"";
    if (state == State::Ringing) {
        session.sendToTerminal("\x03");  // the interrupt key, now that no key wait is going on
        EXPECT_TRUE(killedBy(session.waitExit(), SIGINT))
            << "typed: \"" << escapeBytes(typed) << "\"";
    } else {
        EXPECT_TRUE(exitedWith(session.waitExit(), 0)) << "typed: \"" << escapeBytes(typed) << "\"";
    }
    bool bells = false;
    EXPECT_TRUE(classify(true, bells)) << "typed: \"" << escapeBytes(typed) << "\"";
    ASSERT_TRUE(session.modeAtExit().has_value());
    EXPECT_TRUE(sameMode(session.modeBefore(), *session.modeAtExit()))
        << "typed: \"" << escapeBytes(typed) << "\"";
}

INSTANTIATE_TEST_SUITE_P(Fault, FaultRandomKeys,
                         ::testing::Combine(::testing::ValuesIn(kMashes), ::testing::Range(1, 9)),
                         [](const ::testing::TestParamInfo<std::tuple<KeyMash, int>>& info) {
                             return std::string(std::get<0>(info.param).name) + "Seed" +
                                    std::to_string(std::get<1>(info.param));
                         });

// ---------------------------------------------------------------------------------------------
// Complete runs of every path under valgrind's memcheck: no invalid access, no use of
// uninitialised memory, no leak. The runs that end by the interrupt are judged by valgrind's
// log, the others also by its exit status.

std::string findValgrind() {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        const std::string candidate = (dir.empty() ? "." : dir) + "/valgrind";
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "";
}

struct CheckedRun {
    const char* name;
    Script (*script)();
    Input input;
    Output output;
};

void PrintTo(const CheckedRun& param, std::ostream* os) {
    *os << param.name;
}

class FaultValgrind : public ::testing::TestWithParam<CheckedRun> {};

TEST_P(FaultValgrind, RunsCleanUnderMemcheck) {
    const CheckedRun& param = GetParam();
#ifdef BASEDRILL_SANITIZED
    GTEST_SKIP() << "the program is built with the sanitizers, which valgrind cannot run; the "
                    "memcheck runs are made by the plain build";
#endif
    const std::string valgrind = findValgrind();
    if (valgrind.empty()) {
        GTEST_SKIP() << "valgrind is not installed: the memcheck runs were not made";
    }
    const std::string log = temporaryPath("valgrind") + ".log";
    Launch launch;
    launch.argv = {valgrind, "--error-exitcode=99", "--leak-check=full", "--log-file=" + log,
                   BASEDRILL_BINARY};
    launch.timeout = Millis(30000);
    const auto started = Clock::now();
    play(param.script(), param.input, param.output, launch);
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    std::cout << "  under valgrind: " << seconds << " s\n";

    std::ifstream in(log);
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    EXPECT_NE(text.find("ERROR SUMMARY: 0 errors from 0 contexts"), std::string::npos)
        << "valgrind's log " << log << ":\n"
        << text;
    EXPECT_EQ(text.find("definitely lost: "), text.find("definitely lost: 0 bytes"))
        << "valgrind's log:\n"
        << text;
    if (!HasFailure()) ::unlink(log.c_str());
}

const CheckedRun kCheckedRuns[] = {
    {"HexPractice", hexPractice, Input::Typed, Output::Terminal},
    {"HexPracticePipedToPipe", hexPractice, Input::Piped, Output::Pipe},
    {"NoPath", noPathThenYes, Input::Typed, Output::Terminal},
    {"MenuOneOctalPractice", octalPractice, Input::Typed, Output::Terminal},
    {"MenuTwoCharacterTable", characterTableChoice, Input::Typed, Output::Pipe},
    {"MenuThree", choiceThreeThenOtherKey, Input::Typed, Output::Terminal},
    {"MenuOtherThenCAtClosing", cAtClosing, Input::Typed, Output::Terminal},
    {"CAtMenu", cAtMenu, Input::Typed, Output::Terminal},
    {"F9AtMenu", f9AtMenu, Input::Typed, Output::Pipe},
    {"BellThenInterrupt", lowerCaseCAtClosing, Input::Typed, Output::Terminal},
    {"StdoutDevFull", cAtClosing, Input::Typed, Output::DevFull},
    {"StdinClosed", inputEndsAtOnce, Input::Closed, Output::Terminal},
};

INSTANTIATE_TEST_SUITE_P(Fault, FaultValgrind, ::testing::ValuesIn(kCheckedRuns),
                         [](const ::testing::TestParamInfo<CheckedRun>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
}  // namespace e2e
