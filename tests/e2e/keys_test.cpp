// Key reading end to end, through a real terminal device: the key probe (which prints every
// readKey code on a line) and the drill itself, under a pseudo-terminal that answers like a
// terminal that speaks the kitty keyboard protocol, like one that does not, or not at all, and
// inside tmux with keys sent by tmux itself.
//
// The decoder's own tables live in the unit tests; these check what only the whole chain shows:
// the raw mode, the protocol question and its bounded wait, the flags pushed for each key wait
// and popped before the mode is restored, keys typed ahead of the question, and the codes that
// real key presses give.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "pty_session.h"

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

// What the program sends to the terminal.
constexpr std::string_view kQuery = "\x1b[?u";
constexpr std::string_view kDeviceAttributes = "\x1b[c";
constexpr std::string_view kPush = "\x1b[>31u";
constexpr std::string_view kPop = "\x1b[<u";
constexpr int kPushedFlags = 31;

// A kitty report of x, typed to end a key wait where the key itself does not matter.
constexpr std::string_view kKittyX = "\x1b[120;;120u";

// ---------------------------------------------------------------------------------------------
// Helpers

std::string codeLines(const std::vector<int>& codes) {
    std::string out;
    for (int code : codes) {
        out += std::to_string(code) + "\n";
    }
    return out;
}

// The key waits that `codes` take: the second half of a two-part code needs none.
int waitsFor(const std::vector<int>& codes) {
    int waits = 0;
    for (std::size_t i = 0; i < codes.size(); ++i) {
        ++waits;
        if (codes[i] == 0) ++i;
    }
    return waits;
}

bool isRaw(const termios& mode) {
    return (mode.c_lflag & (ICANON | ECHO)) == 0;
}

const char* answersName(TerminalAnswers answers) {
    switch (answers) {
        case TerminalAnswers::None:
            return "a pty that answers nothing";
        case TerminalAnswers::LegacyTerminal:
            return "a terminal without the keyboard protocol";
        case TerminalAnswers::KittyTerminal:
            break;
    }
    return "a kitty-protocol terminal";
}

std::string describeRequests(const std::vector<TerminalRequest>& requests) {
    std::ostringstream out;
    for (const TerminalRequest& r : requests) {
        out << "\n    \"" << escapeBytes(r.bytes) << "\" " << (r.rawMode ? "raw" : "NOT RAW")
            << ", flags then " << r.flagsAfter;
        if (!r.answer.empty()) out << ", answered \"" << escapeBytes(r.answer) << "\"";
    }
    if (requests.empty()) out << " (none)";
    return out.str();
}

struct ExpectedRequest {
    std::string_view bytes;
    int flagsAfter;
    bool mustBeRaw = true;  // false: a pop from a signal handler, which races with the restore
};

// The requests the pty read, in order, are exactly these.
::testing::AssertionResult requestsAre(const std::vector<TerminalRequest>& actual,
                                       const std::vector<ExpectedRequest>& expected) {
    bool same = actual.size() == expected.size();
    for (std::size_t i = 0; same && i < actual.size(); ++i) {
        same = actual[i].bytes == expected[i].bytes &&
               actual[i].flagsAfter == expected[i].flagsAfter &&
               (actual[i].rawMode || !expected[i].mustBeRaw);
    }
    if (same) return ::testing::AssertionSuccess();
    std::ostringstream wanted;
    for (const ExpectedRequest& e : expected) {
        wanted << "\n    \"" << escapeBytes(e.bytes) << "\" " << (e.mustBeRaw ? "raw" : "any mode")
               << ", flags then " << e.flagsAfter;
    }
    return ::testing::AssertionFailure()
           << "the terminal requests differ\n  expected:" << wanted.str()
           << "\n  actual:" << describeRequests(actual);
}

// The question at the first key wait, then for each key wait the flags pushed and popped, each
// pop followed by the device attributes request that fences the reports sent before it.
std::vector<ExpectedRequest> kittyRequests(int waits, int initialFlags) {
    std::vector<ExpectedRequest> requests{{kQuery, initialFlags},
                                          {kDeviceAttributes, initialFlags}};
    for (int i = 0; i < waits; ++i) {
        requests.push_back({kPush, kPushedFlags});
        requests.push_back({kPop, initialFlags});
        requests.push_back({kDeviceAttributes, initialFlags});
    }
    return requests;
}

// Without the protocol the question is all: nothing is pushed, whatever the number of waits.
std::vector<ExpectedRequest> legacyRequests() {
    return {{kQuery, 0}, {kDeviceAttributes, 0}};
}

// The terminal, at a key wait: raw, with the flags pushed on a kitty terminal.
::testing::AssertionResult inKeyWait(const PtySession& session, TerminalAnswers answers) {
    const std::optional<termios> mode = session.modeNow();
    if (!mode) return ::testing::AssertionFailure() << "the terminal mode cannot be read";
    if (!isRaw(*mode)) {
        return ::testing::AssertionFailure()
               << "the key wait should have the terminal raw: " << describeMode(*mode);
    }
    const int wanted = answers == TerminalAnswers::KittyTerminal ? kPushedFlags : 0;
    if (session.keyboardFlags() != wanted) {
        return ::testing::AssertionFailure()
               << "keyboard flags " << session.keyboardFlags() << " during the key wait, expected "
               << wanted << describeRequests(session.terminalRequests());
    }
    return ::testing::AssertionSuccess();
}

// The terminal outside a key wait: the mode it had at start, the flags it had at start.
::testing::AssertionResult asFoundOutsideKeyWaits(const PtySession& session, int initialFlags) {
    const std::optional<termios> mode = session.modeNow();
    if (!mode) return ::testing::AssertionFailure() << "the terminal mode cannot be read";
    ::testing::AssertionResult same = sameMode(session.modeBefore(), *mode);
    if (!same) return same << "\n(outside a key wait)";
    if (session.keyboardFlags() != initialFlags) {
        return ::testing::AssertionFailure()
               << "keyboard flags " << session.keyboardFlags() << " outside a key wait, expected "
               << initialFlags << describeRequests(session.terminalRequests());
    }
    return ::testing::AssertionSuccess();
}

// The terminal after the program ended: its mode and flags as it found them.
::testing::AssertionResult leftAsFound(const PtySession& session, int initialFlags) {
    if (!session.modeAtExit()) return ::testing::AssertionFailure() << "no mode at exit";
    ::testing::AssertionResult same = sameMode(session.modeBefore(), *session.modeAtExit());
    if (!same) return same << "\n(at exit)";
    if (session.keyboardFlags() != initialFlags) {
        return ::testing::AssertionFailure()
               << "keyboard flags " << session.keyboardFlags() << " at exit, expected "
               << initialFlags << describeRequests(session.terminalRequests());
    }
    return ::testing::AssertionSuccess();
}

// Bounded polling of something the session cannot wait for by itself.
template <class Ready>
bool pollUntil(Ready ready, Millis timeout = kDefaultTimeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (ready()) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(Millis(2));
    }
}

SessionOptions probeOptions(std::size_t codes, TerminalAnswers answers) {
    SessionOptions options;
    options.argv = {KEYPROBE_BINARY, std::to_string(codes)};
    options.stdoutMode = StdoutMode::Pipe;
    options.answers = answers;
    return options;
}

// ---------------------------------------------------------------------------------------------
// The key probe on a kitty-protocol terminal: reports as kitty sends them with flags 31

struct KittyKeys {
    const char* name;
    std::string_view ignored;  // typed first, alone: no code, the wait goes on
    std::string_view bytes;    // then these, in one write
    std::vector<int> codes;
};

void PrintTo(const KittyKeys& row, std::ostream* os) {
    *os << row.name;
}

class KeysKittyProbe : public ::testing::TestWithParam<KittyKeys> {};

TEST_P(KeysKittyProbe, GivesTheCodes) {
    const KittyKeys& row = GetParam();
    constexpr TerminalAnswers kKitty = TerminalAnswers::KittyTerminal;
    PtySession session(probeOptions(row.codes.size(), kKitty));
    ASSERT_TRUE(session.started());
    ASSERT_TRUE(session.readStdoutUntil("ready\n"));
    ASSERT_TRUE(session.waitForTerminalRead());
    EXPECT_TRUE(inKeyWait(session, kKitty));
    if (!row.ignored.empty()) {
        session.sendToTerminal(row.ignored);
        ASSERT_TRUE(session.waitForTerminalRead())
            << "after \"" << escapeBytes(row.ignored) << "\", which is no key press";
        EXPECT_EQ(escapeBytes(session.captured(Channel::Stdout)), "ready\\n")
            << "\"" << escapeBytes(row.ignored) << "\" gave a code";
        EXPECT_TRUE(inKeyWait(session, kKitty));
    }
    session.sendToTerminal(row.bytes);
    EXPECT_TRUE(session.readStdoutUntil(codeLines(row.codes)))
        << "for \"" << escapeBytes(row.bytes) << "\"";
    EXPECT_TRUE(exitedWith(session.waitExit(), 0));
    EXPECT_TRUE(
        session.capturedEquals(Channel::Stdout, BytePattern("ready\n" + codeLines(row.codes))));
    EXPECT_TRUE(requestsAre(session.terminalRequests(), kittyRequests(waitsFor(row.codes), 0)));
    EXPECT_TRUE(leftAsFound(session, 0));
}

// clang-format off
const KittyKeys kKittyKeys[] = {
    // The C key, the one the drill tests for.
    {"ShiftC", {}, "\x1b[99;2;67u", {67}},
    {"ShiftCWithShiftedAndText", {}, "\x1b[99:67;2;67u", {67}},
    {"ShiftCWithoutText", {}, "\x1b[99;2u", {67}},
    {"CWithCapsLock", {}, "\x1b[99;65;67u", {67}},
    {"ShiftCWithCapsLock", {}, "\x1b[99;66;99u", {67}},
    {"LowerCaseC", {}, "\x1b[99;;99u", {99}},
    {"LowerCaseCWithoutText", {}, "\x1b[99u", {99}},
    {"CtrlC", {}, "\x1b[99;5u", {3}},
    {"CtrlCWithCapsLock", {}, "\x1b[99;69u", {3}},
    {"CtrlCWithNumLock", {}, "\x1b[99;133u", {3}},
    {"CtrlShiftC", {}, "\x1b[99:67;6u", {3}},
    {"AltC", {}, "\x1b[99;3u", {0, 46}},
    {"AltShiftC", {}, "\x1b[99:67;4u", {0, 46}},
    {"AltCOnACyrillicLayoutByPosition", {}, "\x1b[1089::99;3u", {0, 46}},
    {"RepeatOfCCounts", {}, "\x1b[99;1:2;99u", {99}},
    // Function and editing keys.
    {"F9", {}, "\x1b[20~", {0, 67}},
    {"F9WithCapsLock", {}, "\x1b[20;65~", {0, 67}},
    {"F9WithNumLock", {}, "\x1b[20;129~", {0, 67}},
    {"F1", {}, "\x1b[P", {0, 59}},
    {"F1Numbered", {}, "\x1b[11~", {0, 59}},
    {"F3", {}, "\x1b[R", {0, 61}},
    {"F3Numbered", {}, "\x1b[13~", {0, 61}},
    {"CtrlF1", {}, "\x1b[1;5P", {0, 94}},
    {"F12", {}, "\x1b[24~", {0, 134}},
    {"Home", {}, "\x1b[H", {0, 71}},
    {"ShiftHome", {}, "\x1b[1;2H", {0, 71}},
    {"CtrlUp", {}, "\x1b[1;5A", {0, 141}},
    {"Delete", {}, "\x1b[3~", {0, 83}},
    {"DeleteWithNumLock", {}, "\x1b[3;129~", {46}},
    {"Esc", {}, "\x1b[27u", {27}},
    {"AltEsc", {}, "\x1b[27;3u", {0, 1}},
    {"Enter", {}, "\x1b[13u", {13}},
    {"CtrlEnter", {}, "\x1b[13;5u", {10}},
    {"Tab", {}, "\x1b[9u", {9}},
    {"ShiftTab", {}, "\x1b[9;2u", {0, 15}},
    {"CtrlTab", {}, "\x1b[9;5u", {0, 148}},
    {"Backspace", {}, "\x1b[127u", {8}},
    {"CtrlBackspace", {}, "\x1b[127;5u", {127}},
    {"CtrlSpace", {}, "\x1b[32;5u", {0, 3}},
    // Keypad keys by their own rows.
    {"Keypad0WithNumLock", {}, "\x1b[57399;129;48u", {48}},
    {"Keypad0WithoutNumLock", {}, "\x1b[57425u", {0, 82}},
    {"KeypadPointWithNumLock", {}, "\x1b[57409;129;46u", {46}},
    {"KeypadDeleteWithoutNumLock", {}, "\x1b[57426u", {0, 83}},
    {"KeypadStar", {}, "\x1b[57411;;42u", {42}},
    {"CtrlKeypadStar", {}, "\x1b[57411;5u", {0, 150}},
    {"KeypadEnter", {}, "\x1b[57414u", {13}},
    // Text the key types.
    {"AGrave", {}, "\x1b[224;;224u", {224}},
    {"ShiftEGrave", {}, "\x1b[232:200;2;200u", {200}},
    // Reports that are no press leave the wait waiting.
    {"ReleaseOfC", "\x1b[99;1:3u", kKittyX, {120}},
    {"ReleaseOfF9", "\x1b[20;1:3~", kKittyX, {120}},
    {"ReleaseOfHome", "\x1b[1;1:3H", kKittyX, {120}},
    {"LeftShiftAlone", "\x1b[57441u", kKittyX, {120}},
    {"CapsLockAndNumLockAlone", "\x1b[57358u\x1b[57360u", kKittyX, {120}},
    {"F13HasNoRow", "\x1b[57376u", kKittyX, {120}},
    // Several reports in one read: every press, in order, one per key wait.
    {"ShiftCAsKittySendsIt", {},
     "\x1b[57441u\x1b[99:67;2;67u\x1b[99:67;2:3;67u\x1b[57441;2:3u\x1b[120;;120u", {67, 120}},
    {"ABurstOfPresses", {}, "\x1b[99;;99u\x1b[20~\x1b[99;5u\x1b[99;3u",
     {99, 0, 67, 3, 0, 46}},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Keys, KeysKittyProbe, ::testing::ValuesIn(kKittyKeys),
                         [](const ::testing::TestParamInfo<KittyKeys>& info) {
                             return std::string(info.param.name);
                         });

// ---------------------------------------------------------------------------------------------
// The key probe on a pty that never answers: after the bounded wait the program goes on with
// legacy decoding in raw mode

struct LegacyKey {
    const char* name;
    std::string_view bytes;
    std::vector<int> codes;
};

void PrintTo(const LegacyKey& row, std::ostream* os) {
    *os << row.name;
}

class KeysSilentPty : public ::testing::TestWithParam<LegacyKey> {};

TEST_P(KeysSilentPty, GivesTheCodesInRawMode) {
    const LegacyKey& row = GetParam();
    PtySession session(probeOptions(row.codes.size(), TerminalAnswers::None));
    ASSERT_TRUE(session.started());
    ASSERT_TRUE(session.readStdoutUntil("ready\n"));
    ASSERT_TRUE(session.waitForTerminalRead(Millis(2000)))
        << "the key wait should go on, within a bounded time, when nothing answers";
    EXPECT_TRUE(inKeyWait(session, TerminalAnswers::None));
    session.sendToTerminal(row.bytes);
    EXPECT_TRUE(session.readStdoutUntil(codeLines(row.codes)))
        << "for \"" << escapeBytes(row.bytes) << "\"";
    EXPECT_TRUE(exitedWith(session.waitExit(), 0));
    EXPECT_TRUE(
        session.capturedEquals(Channel::Stdout, BytePattern("ready\n" + codeLines(row.codes))));
    EXPECT_TRUE(requestsAre(session.terminalRequests(), legacyRequests()));
    // Raw mode echoes nothing, and nothing answered the question.
    EXPECT_TRUE(session.capturedEquals(Channel::Terminal, BytePattern()));
    EXPECT_TRUE(leftAsFound(session, 0));
}

// The bytes that the line discipline would act on in the normal mode reach the program: ISIG,
// ICANON, ECHO, IEXTEN, IXON, ICRNL and ISTRIP are off during the wait.
// clang-format off
const LegacyKey kLegacyKeys[] = {
    {"UpperCaseC", "C", {67}},
    {"LowerCaseC", "c", {99}},
    {"CtrlCIsNoInterrupt", "\x03", {3}},
    {"CtrlBackslashIsNoQuit", "\x1c", {28}},
    {"CtrlZIsNoSuspend", "\x1a", {26}},
    {"CtrlDIsNoEndOfFile", "\x04", {4}},
    {"CtrlSAndCtrlQAreNoFlowControl", "\x13\x11", {19, 17}},
    {"CtrlVAndCtrlOAreKeys", "\x16\x0f", {22, 15}},
    {"EraseAndKillBytesAreKeys", "\x7f\x15\x17", {8, 21, 23}},
    {"EnterIsNotTranslated", "\r", {13}},
    {"CtrlJ", "\n", {10}},
    {"Tab", "\t", {9}},
    {"LoneEscAfterItsWait", "\x1b", {27}},
    {"AltC", "\x1b" "c", {0, 46}},
    {"F9", "\x1b[20~", {0, 67}},
    {"F1Xterm", "\x1bOP", {0, 59}},
    {"F1Rxvt", "\x1b[11~", {0, 59}},
    {"F1LinuxConsole", "\x1b[[A", {0, 59}},
    {"Delete", "\x1b[3~", {0, 83}},
    {"ShiftTab", "\x1b[Z", {0, 15}},
    {"CtrlUp", "\x1b[1;5A", {0, 141}},
    {"AGraveInUtf8", "\xc3\xa0", {224}},
    {"EightBitByteIsKeptWhole", "\xff", {255}},
    {"XtermModifyOtherKeysCtrlC", "\x1b[27;5;99~", {3}},
    {"ABurstKeepsItsOrder", "C\x1b[20~c\x03\x1b" "c", {67, 0, 67, 99, 3, 0, 46}},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Keys, KeysSilentPty, ::testing::ValuesIn(kLegacyKeys),
                         [](const ::testing::TestParamInfo<LegacyKey>& info) {
                             return std::string(info.param.name);
                         });

// ---------------------------------------------------------------------------------------------
// The question is asked once; only the kitty-protocol terminal gets flags

struct Asked {
    const char* name;
    TerminalAnswers answers;
};

void PrintTo(const Asked& row, std::ostream* os) {
    *os << row.name;
}

class KeysQuestion : public ::testing::TestWithParam<Asked> {};

TEST_P(KeysQuestion, IsAskedAtTheFirstWaitOnly) {
    const TerminalAnswers answers = GetParam().answers;
    const bool kitty = answers == TerminalAnswers::KittyTerminal;
    // c, F9 (two codes, one wait), then C: three key waits.
    const std::vector<std::string_view> keys =
        kitty ? std::vector<std::string_view>{"\x1b[99;;99u", "\x1b[20~", "\x1b[99:67;2;67u"}
              : std::vector<std::string_view>{"c", "\x1b[20~", "C"};
    const std::vector<int> codes{99, 0, 67, 67};
    PtySession session(probeOptions(codes.size(), answers));
    ASSERT_TRUE(session.started());
    for (std::string_view key : keys) {
        ASSERT_TRUE(session.waitForTerminalRead()) << "before \"" << escapeBytes(key) << "\"";
        EXPECT_TRUE(inKeyWait(session, answers)) << "before \"" << escapeBytes(key) << "\"";
        session.sendToTerminal(key);
    }
    EXPECT_TRUE(session.readStdoutUntil("ready\n" + codeLines(codes)));
    EXPECT_TRUE(exitedWith(session.waitExit(), 0));
    const std::vector<TerminalRequest> requests = session.terminalRequests();
    EXPECT_TRUE(requestsAre(requests, kitty ? kittyRequests(3, 0) : legacyRequests()));
    for (const TerminalRequest& r : requests) {
        if (r.bytes == kDeviceAttributes && answers != TerminalAnswers::None) {
            EXPECT_EQ(escapeBytes(r.answer), escapeBytes("\x1b[?62;c"));
        }
    }
    // No answer ever reached the screen: every one came while the terminal was raw.
    EXPECT_TRUE(session.capturedEquals(Channel::Terminal, BytePattern()));
    EXPECT_TRUE(leftAsFound(session, 0));
}

const Asked kAsked[] = {
    {"SilentPty", TerminalAnswers::None},
    {"LegacyTerminal", TerminalAnswers::LegacyTerminal},
    {"KittyTerminal", TerminalAnswers::KittyTerminal},
};

INSTANTIATE_TEST_SUITE_P(Keys, KeysQuestion, ::testing::ValuesIn(kAsked),
                         [](const ::testing::TestParamInfo<Asked>& info) {
                             return std::string(info.param.name);
                         });

// The answer decides how the same bytes read: modifier bit 8 is Meta (taken as Alt) in the
// legacy encodings and Super (nothing here) under the kitty protocol.
struct Bit8 {
    const char* name;
    TerminalAnswers answers;
    std::string_view bytes;
    std::vector<int> codes;
};

void PrintTo(const Bit8& row, std::ostream* os) {
    *os << row.name;
}

class KeysProtocolDecidesDecoding : public ::testing::TestWithParam<Bit8> {};

TEST_P(KeysProtocolDecidesDecoding, ForModifierBit8) {
    const Bit8& row = GetParam();
    PtySession session(probeOptions(row.codes.size(), row.answers));
    ASSERT_TRUE(session.started());
    ASSERT_TRUE(session.waitForTerminalRead());
    session.sendToTerminal(row.bytes);
    EXPECT_TRUE(session.readStdoutUntil("ready\n" + codeLines(row.codes)))
        << "\"" << escapeBytes(row.bytes) << "\" on " << answersName(row.answers);
    EXPECT_TRUE(exitedWith(session.waitExit(), 0));
    EXPECT_TRUE(leftAsFound(session, 0));
}

const Bit8 kBit8[] = {
    {"MetaCOnSilentPtyIsAltC", TerminalAnswers::None, "\x1b[99;9u", {0, 46}},
    {"MetaCOnLegacyTerminalIsAltC", TerminalAnswers::LegacyTerminal, "\x1b[99;9u", {0, 46}},
    {"SuperCOnKittyTerminalIsC", TerminalAnswers::KittyTerminal, "\x1b[99;9u", {99}},
    {"MetaUpOnLegacyTerminalIsAltUp", TerminalAnswers::LegacyTerminal, "\x1b[1;9A", {0, 152}},
    {"SuperUpOnKittyTerminalIsUp", TerminalAnswers::KittyTerminal, "\x1b[1;9A", {0, 72}},
};

INSTANTIATE_TEST_SUITE_P(Keys, KeysProtocolDecidesDecoding, ::testing::ValuesIn(kBit8),
                         [](const ::testing::TestParamInfo<Bit8>& info) {
                             return std::string(info.param.name);
                         });

// ---------------------------------------------------------------------------------------------
// Keys typed before the terminal answers the question are neither lost nor reordered

enum class TypedWhen {
    BeforeStart,       // in the input queue before the program runs
    AtTheFirstRequest  // right after the question, before any answer
};

struct TypedEarly {
    const char* name;
    TerminalAnswers answers;
    TypedWhen when;
};

void PrintTo(const TypedEarly& row, std::ostream* os) {
    *os << row.name;
}

class KeysTypedEarly : public ::testing::TestWithParam<TypedEarly> {};

TEST_P(KeysTypedEarly, KeepTheirOrder) {
    const TypedEarly& row = GetParam();
    // Bytes that no line editing character changes, as typed before the first key wait.
    constexpr std::string_view kKeys = "Cx\x1b[20~c\x1bOPz";
    const std::vector<int> codes{67, 120, 0, 67, 99, 0, 59, 122};
    SessionOptions options = probeOptions(codes.size(), row.answers);
    (row.when == TypedWhen::BeforeStart ? options.typedAhead : options.typedAtFirstRequest) = kKeys;
    PtySession session(options);
    ASSERT_TRUE(session.started());
    EXPECT_TRUE(session.readStdoutUntil("ready\n" + codeLines(codes)))
        << "\"" << escapeBytes(kKeys) << "\" typed early, on " << answersName(row.answers);
    EXPECT_TRUE(exitedWith(session.waitExit(), 0));
    const bool kitty = row.answers == TerminalAnswers::KittyTerminal;
    EXPECT_TRUE(requestsAre(session.terminalRequests(),
                            kitty ? kittyRequests(waitsFor(codes), 0) : legacyRequests()));
    EXPECT_TRUE(leftAsFound(session, 0));
}

const TypedEarly kTypedEarly[] = {
    {"BeforeStartOnSilentPty", TerminalAnswers::None, TypedWhen::BeforeStart},
    {"BeforeStartOnLegacyTerminal", TerminalAnswers::LegacyTerminal, TypedWhen::BeforeStart},
    {"BeforeStartOnKittyTerminal", TerminalAnswers::KittyTerminal, TypedWhen::BeforeStart},
    {"BeforeTheAnswerOnSilentPty", TerminalAnswers::None, TypedWhen::AtTheFirstRequest},
    {"BeforeTheAnswerOnLegacyTerminal", TerminalAnswers::LegacyTerminal,
     TypedWhen::AtTheFirstRequest},
    {"BeforeTheAnswerOnKittyTerminal", TerminalAnswers::KittyTerminal,
     TypedWhen::AtTheFirstRequest},
};

INSTANTIATE_TEST_SUITE_P(Keys, KeysTypedEarly, ::testing::ValuesIn(kTypedEarly),
                         [](const ::testing::TestParamInfo<TypedEarly>& info) {
                             return std::string(info.param.name);
                         });

// ---------------------------------------------------------------------------------------------
// The drill on a kitty-protocol terminal: the flags are pushed for each key wait only, and the
// terminal is left as it was found on every way out

enum class Ending { Exit, Bell };

struct KittyDrill {
    const char* name;
    int initialFlags;
    std::vector<std::string_view> menuKeys;     // each typed at a key wait of its own
    std::vector<std::string_view> closingKeys;  // likewise; none when the menu's keys end it
    Ending ending;
    int waits;  // the key waits the run has
};

void PrintTo(const KittyDrill& row, std::ostream* os) {
    *os << row.name;
}

class KeysKittyDrill : public ::testing::TestWithParam<KittyDrill> {};

// Types the lines up to the menu's key wait (choice 4: no action, then the closing), checking at
// each line read that the terminal is as found.
void typeUpToTheMenuKeyWait(PtySession& session, int initialFlags) {
    for (const char* line : {"no\r", "no\r", "4\r"}) {
        ASSERT_TRUE(session.waitForStdinRead()) << "before the line " << escapeBytes(line);
        ASSERT_TRUE(asFoundOutsideKeyWaits(session, initialFlags))
            << "at the line read before " << escapeBytes(line);
        session.sendToTerminal(line);
    }
}

TEST_P(KeysKittyDrill, LeavesTheTerminalAsFound) {
    const KittyDrill& row = GetParam();
    constexpr TerminalAnswers kKitty = TerminalAnswers::KittyTerminal;
    SessionOptions options;
    options.answers = kKitty;
    options.initialKeyboardFlags = row.initialFlags;
    options.stdoutMode = StdoutMode::Pipe;
    PtySession session(options);
    ASSERT_TRUE(session.started());
    typeUpToTheMenuKeyWait(session, row.initialFlags);
    for (const auto* keys : {&row.menuKeys, &row.closingKeys}) {
        for (std::string_view key : *keys) {
            ASSERT_TRUE(session.waitForTerminalRead()) << "before \"" << escapeBytes(key) << "\"";
            EXPECT_TRUE(inKeyWait(session, kKitty)) << "before \"" << escapeBytes(key) << "\"";
            session.sendToTerminal(key);
        }
    }

    std::vector<ExpectedRequest> expected = kittyRequests(row.waits, row.initialFlags);
    if (row.ending == Ending::Exit) {
        EXPECT_TRUE(exitedWith(session.waitExit(), 0));
    } else {
        // The closing did not get its C: the bell rings, with the terminal as found, so that
        // the interrupt key works again.
        ASSERT_TRUE(pollUntil([&] {
            return session.captured(Channel::Stdout).find("\t\t\a\a\a\a") != std::string::npos;
        })) << "no bells after the closing; stdout: \""
            << escapeBytes(session.captured(Channel::Stdout)) << "\"";
        EXPECT_TRUE(asFoundOutsideKeyWaits(session, row.initialFlags)) << "while ringing";
        session.sendToTerminal("\x03");
        EXPECT_TRUE(killedBy(session.waitExit(), SIGINT));
    }
    const std::string out = session.captured(Channel::Stdout);
    EXPECT_NE(out.find("Non hai scelto\n\n\t\tPer uscire premi -C-\t\t"), std::string::npos)
        << "stdout: \"" << escapeBytes(out) << "\"";
    EXPECT_TRUE(requestsAre(session.terminalRequests(), expected));
    // Only the typed lines (and the interrupt key) were echoed: no answer and no report arrived
    // outside a key wait.
    EXPECT_TRUE(session.capturedEquals(
        Channel::Terminal,
        BytePattern(row.ending == Ending::Exit ? "no\r\nno\r\n4\r\n" : "no\r\nno\r\n4\r\n^C")));
    EXPECT_TRUE(leftAsFound(session, row.initialFlags));
}

// Shift+C as kitty sends it with flags 31: Left Shift, the press, its release, Shift's release.
constexpr std::string_view kKittyShiftC =
    "\x1b[57441u\x1b[99:67;2;67u\x1b[99:67;2:3;67u\x1b[57441;2:3u";
constexpr std::string_view kKittyXWithRelease = "\x1b[120;;120u\x1b[120;1:3u";

// clang-format off
const KittyDrill kKittyDrills[] = {
    {"ShiftCAtTheClosingEnds", 0, {kKittyXWithRelease}, {kKittyShiftC}, Ending::Exit, 2},
    {"ShiftCWithCapsLockEnds", 0, {kKittyX}, {"\x1b[99;66;99u"}, Ending::Exit, 2},
    {"CWithCapsLockEnds", 0, {kKittyX}, {"\x1b[99;65;67u"}, Ending::Exit, 2},
    {"ShiftCEndsWhenFlagsWereSetBefore", 1, {kKittyX}, {kKittyShiftC}, Ending::Exit, 2},
    {"F9AtTheMenuEnds", 0, {"\x1b[20~\x1b[20;1:3~"}, {}, Ending::Exit, 1},
    {"ModifierAloneAndReleaseLeaveTheWaitWaiting", 0, {kKittyX},
     {"\x1b[57441u", "\x1b[99;1:3u", "\x1b[99:67;2;67u"}, Ending::Exit, 2},
    {"BothKeysInOneReadEnd", 0, {"\x1b[120;;120u\x1b[99:67;2;67u"}, {}, Ending::Exit, 2},
    {"LowerCaseCRings", 0, {kKittyX}, {"\x1b[99;;99u"}, Ending::Bell, 2},
    {"CtrlCIsAKeyAndRings", 0, {kKittyX}, {"\x1b[99;5u"}, Ending::Bell, 2},
    {"AltCRings", 0, {kKittyX}, {"\x1b[99;3u"}, Ending::Bell, 2},
    {"F1AtTheMenuRings", 0, {"\x1b[P"}, {}, Ending::Bell, 1},
    {"RingsWhenFlagsWereSetBefore", 1, {kKittyX}, {"\x1b[99;5u"}, Ending::Bell, 2},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Keys, KeysKittyDrill, ::testing::ValuesIn(kKittyDrills),
                         [](const ::testing::TestParamInfo<KittyDrill>& info) {
                             return std::string(info.param.name);
                         });

// A signal during a key wait pops the flags and restores the mode; the program still dies by it.
struct KittySignal {
    const char* name;
    int signalNumber;
    bool atClosing;  // else at the menu's key wait
    int initialFlags;
};

void PrintTo(const KittySignal& row, std::ostream* os) {
    *os << row.name;
}

class KeysKittySignal : public ::testing::TestWithParam<KittySignal> {};

TEST_P(KeysKittySignal, PopsTheFlagsAndRestoresTheMode) {
    const KittySignal& row = GetParam();
    constexpr TerminalAnswers kKitty = TerminalAnswers::KittyTerminal;
    SessionOptions options;
    options.answers = kKitty;
    options.initialKeyboardFlags = row.initialFlags;
    options.stdoutMode = StdoutMode::Pipe;
    PtySession session(options);
    ASSERT_TRUE(session.started());
    typeUpToTheMenuKeyWait(session, row.initialFlags);
    ASSERT_TRUE(session.waitForTerminalRead());
    if (row.atClosing) {
        session.sendToTerminal(kKittyX);
        ASSERT_TRUE(session.waitForTerminalRead());
    }
    EXPECT_TRUE(inKeyWait(session, kKitty));
    session.signal(row.signalNumber);
    EXPECT_TRUE(killedBy(session.waitExit(), row.signalNumber));

    std::vector<ExpectedRequest> expected = kittyRequests(row.atClosing ? 1 : 0, row.initialFlags);
    expected.push_back({kPush, kPushedFlags});
    expected.push_back({kPop, row.initialFlags, /*mustBeRaw=*/false});
    EXPECT_TRUE(requestsAre(session.terminalRequests(), expected));
    EXPECT_TRUE(leftAsFound(session, row.initialFlags));
}

const KittySignal kKittySignals[] = {
    {"TermAtMenu", SIGTERM, false, 0},    {"HangUpAtMenu", SIGHUP, false, 0},
    {"QuitAtMenu", SIGQUIT, false, 0},    {"TermAtClosing", SIGTERM, true, 0},
    {"HangUpAtClosing", SIGHUP, true, 0}, {"TermWithFlagsSetBefore", SIGTERM, true, 1},
};

INSTANTIATE_TEST_SUITE_P(Keys, KeysKittySignal, ::testing::ValuesIn(kKittySignals),
                         [](const ::testing::TestParamInfo<KittySignal>& info) {
                             return std::string(info.param.name);
                         });

// ---------------------------------------------------------------------------------------------
// Real key presses inside tmux, sent with tmux send-keys

std::string tmuxBinary() {
    if (::access("/usr/bin/tmux", X_OK) == 0) return "/usr/bin/tmux";
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::string candidate = (dir.empty() ? "." : dir) + "/tmux";
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return {};
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Files a test has something written to, removed before and after it, however it ends.
class ScratchFiles {
  public:
    explicit ScratchFiles(std::vector<std::string> paths) : paths_(std::move(paths)) {
        removeAll();
    }
    ~ScratchFiles() { removeAll(); }
    ScratchFiles(const ScratchFiles&) = delete;
    ScratchFiles& operator=(const ScratchFiles&) = delete;

  private:
    void removeAll() {
        for (const std::string& path : paths_) {
            ::unlink(path.c_str());
        }
    }
    std::vector<std::string> paths_;
};

std::string shellQuoted(std::string_view text) {
    std::string out = "'";
    for (char c : text) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

// A tmux server of the test's own, on a private socket, killed (and only it) at the end.
class TmuxServer {
  public:
    explicit TmuxServer(std::string binary) : binary_(std::move(binary)) {
        static int counter = 0;
        socket_ = "basedrill-keys-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    }
    ~TmuxServer() {
        std::string ignored;
        (void)run({"kill-server"}, ignored);
        if (!socketPath_.empty()) ::unlink(socketPath_.c_str());
    }
    TmuxServer(const TmuxServer&) = delete;
    TmuxServer& operator=(const TmuxServer&) = delete;

    // A detached session of one window running `command` through the shell.
    ::testing::AssertionResult start(const std::string& command) {
        std::string out;
        ::testing::AssertionResult ok =
            run({"new-session", "-d", "-x", "100", "-y", "40", command}, out);
        if (!ok) return ok;
        if (!(ok = run({"display-message", "-p", "#{socket_path}\n#{pane_tty}"}, out))) return ok;
        std::istringstream lines(out);
        std::getline(lines, socketPath_);
        std::getline(lines, paneTty_);
        if (paneTty_.empty()) {
            return ::testing::AssertionFailure() << "tmux named no pane tty: \"" << out << "\"";
        }
        return ::testing::AssertionSuccess();
    }

    // A key by its tmux name, or with `literal` the text itself.
    ::testing::AssertionResult sendKey(const std::string& key, bool literal = false) {
        std::string out;
        if (literal) return run({"send-keys", "-l", key}, out);
        return run({"send-keys", key}, out);
    }

    std::string screen() {
        std::string out;
        return run({"capture-pane", "-p", "-S", "-1000"}, out) ? out : std::string();
    }

    // The pane's terminal mode, if the pane is still there.
    std::optional<termios> paneMode() const {
        const int fd = ::open(paneTty_.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return std::nullopt;
        termios mode{};
        const bool ok = ::tcgetattr(fd, &mode) == 0;
        ::close(fd);
        if (!ok) return std::nullopt;
        return mode;
    }

    // Runs tmux with these arguments, its output (standard output and error) in `out`; bounded.
    ::testing::AssertionResult run(const std::vector<std::string>& args, std::string& out) {
        std::vector<std::string> argv{binary_, "-L", socket_, "-f", "/dev/null"};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> argp;
        for (std::string& a : argv) {
            argp.push_back(a.data());
        }
        argp.push_back(nullptr);
        // A UTF-8 locale, so that tmux passes accented letters on; no $TMUX, since an outer tmux
        // must not be taken for this one.
        std::vector<std::string> env{"LC_ALL=C.UTF-8"};
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string_view var = *e;
            if (var.starts_with("LC_ALL=") || var.starts_with("TMUX=")) continue;
            env.emplace_back(var);
        }
        std::vector<char*> envp;
        for (std::string& e : env) {
            envp.push_back(e.data());
        }
        envp.push_back(nullptr);

        int pipeFds[2];
        if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
            return ::testing::AssertionFailure() << "pipe: " << std::strerror(errno);
        }
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::dup2(pipeFds[1], 1);
            ::dup2(pipeFds[1], 2);
            const int devNull = ::open("/dev/null", O_RDONLY);
            if (devNull >= 0) ::dup2(devNull, 0);
            ::execve(argp[0], argp.data(), envp.data());
            ::_exit(127);
        }
        ::close(pipeFds[1]);
        if (pid < 0) {
            ::close(pipeFds[0]);
            return ::testing::AssertionFailure() << "fork: " << std::strerror(errno);
        }
        ::fcntl(pipeFds[0], F_SETFL, O_NONBLOCK);
        out.clear();
        int status = 0;
        bool reaped = false;
        const bool ended = pollUntil([&] {
            char chunk[4096];
            ssize_t n;
            while ((n = ::read(pipeFds[0], chunk, sizeof chunk)) > 0) {
                out.append(chunk, static_cast<std::size_t>(n));
            }
            if (!reaped) reaped = ::waitpid(pid, &status, WNOHANG) == pid;
            return reaped && n == 0;
        });
        ::close(pipeFds[0]);
        if (!ended) {
            if (!reaped) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, &status, 0);
            }
            return ::testing::AssertionFailure() << "tmux " << args.front() << " did not end";
        }
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            return ::testing::AssertionFailure() << "tmux " << args.front() << " failed ("
                                                 << describeStatus(status) << "): " << out;
        }
        return ::testing::AssertionSuccess();
    }

  private:
    std::string binary_;
    std::string socket_;
    std::string socketPath_;
    std::string paneTty_;
};

// The pane's program is in a key wait (raw mode) or out of it.
::testing::AssertionResult waitForPaneMode(const TmuxServer& tmux, bool raw, const char* when) {
    if (pollUntil([&] {
            const std::optional<termios> mode = tmux.paneMode();
            return mode && isRaw(*mode) == raw;
        })) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << "the pane's terminal did not become " << (raw ? "raw" : "cooked") << " " << when;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

struct TmuxKey {
    const char* key;  // a tmux key name, or with `literal` the text to send
    std::vector<int> codes;
    bool literal = false;
};

// clang-format off
const TmuxKey kTmuxKeys[] = {
    {"C", {67}},          {"c", {99}},           {"C-c", {3}},           {"M-c", {0, 46}},
    {"C-M-c", {0, 46}},   {"F1", {0, 59}},       {"F9", {0, 67}},        {"F12", {0, 134}},
    {"S-F1", {0, 84}},    {"C-F9", {0, 102}},    {"M-F9", {0, 112}},     {"Up", {0, 72}},
    {"S-Up", {0, 72}},    {"C-Up", {0, 141}},    {"M-Up", {0, 152}},     {"Home", {0, 71}},
    {"End", {0, 79}},     {"IC", {0, 82}},       {"DC", {0, 83}},        {"PPage", {0, 73}},
    {"NPage", {0, 81}},   {"BSpace", {8}},       {"C-h", {8}},           {"Enter", {13}},
    {"Escape", {27}},     {"Tab", {9}},          {"BTab", {0, 15}},      {"C-Space", {0, 3}},
    {"M-Enter", {0, 166}}, {"M-BSpace", {0, 14}}, {"M-1", {0, 120}},     {"M-[", {0, 26}},
    {"C-\\", {28}},       {"C-z", {26}},         {"C-s", {19}},          {"C-q", {17}},
    {"KP0", {48}},        {"KP*", {42}},         {"KPEnter", {10}},
    {"\xc3\xa0", {224}, true},  // à
    {"\xc3\xa8", {232}, true},  // è
    {"\xc3\xb9", {249}, true},  // ù
};
// clang-format on

TEST(KeysTmux, KeyProbeGetsTheCodesOfRealKeys) {
    const std::string binary = tmuxBinary();
    if (binary.empty()) {
        GTEST_SKIP() << "tmux is not installed (neither /usr/bin/tmux nor on PATH): the key "
                        "presses of a real terminal were NOT checked";
    }
    std::vector<int> all;
    for (const TmuxKey& k : kTmuxKeys) {
        all.insert(all.end(), k.codes.begin(), k.codes.end());
    }
    const std::string outPath =
        ::testing::TempDir() + "basedrill-keys-tmux-" + std::to_string(::getpid()) + ".out";
    const ScratchFiles scratch({outPath});
    TmuxServer tmux(binary);
    ASSERT_TRUE(tmux.start("exec " + shellQuoted(KEYPROBE_BINARY) + " " +
                           std::to_string(all.size()) + " > " + shellQuoted(outPath) + " 2>&1"));

    auto lineCount = [&] { return linesOf(readFile(outPath)).size(); };
    ASSERT_TRUE(pollUntil([&] { return readFile(outPath).starts_with("ready\n"); }))
        << "the key probe did not start in tmux: \"" << escapeBytes(readFile(outPath)) << "\"";
    std::size_t expectedLines = 1;
    std::vector<std::string> expected{"ready"};
    for (const TmuxKey& k : kTmuxKeys) {
        const std::string name = k.literal ? "text " + escapeBytes(k.key) : k.key;
        ASSERT_TRUE(waitForPaneMode(tmux, true, ("before " + name).c_str()));
        ASSERT_TRUE(tmux.sendKey(k.key, k.literal));
        expectedLines += k.codes.size();
        for (int code : k.codes) {
            expected.push_back(std::to_string(code));
        }
        const bool arrived = pollUntil([&] { return lineCount() >= expectedLines; });
        const std::vector<std::string> got = linesOf(readFile(outPath));
        ASSERT_TRUE(arrived) << "no code for " << name << "; so far: \""
                             << escapeBytes(readFile(outPath)) << "\"";
        EXPECT_EQ(
            std::vector<std::string>(got.begin(), got.begin() + static_cast<long>(expectedLines)),
            expected)
            << "after " << name;
    }
    EXPECT_EQ(linesOf(readFile(outPath)), expected) << "the whole output";
}

// The drill in tmux: the lines up to the menu, then real keys; the shell around it records the
// exit status and the terminal mode before and after.
struct TmuxDrill {
    const char* name;
    std::vector<const char*> menuKeys;
    std::vector<const char*> closingKeys;
    const char* status;      // as the shell reports it
    bool interruptAtTheEnd;  // the closing rang: the interrupt key ends it
};

void PrintTo(const TmuxDrill& row, std::ostream* os) {
    *os << row.name;
}

class KeysTmuxDrill : public ::testing::TestWithParam<TmuxDrill> {};

TEST_P(KeysTmuxDrill, EndsAsTheKeysSay) {
    const TmuxDrill& row = GetParam();
    const std::string binary = tmuxBinary();
    if (binary.empty()) {
        GTEST_SKIP() << "tmux is not installed (neither /usr/bin/tmux nor on PATH): the drill "
                        "under a real terminal was NOT checked";
    }
    const std::string stem =
        ::testing::TempDir() + "basedrill-keys-tmux-" + std::to_string(::getpid()) + "-" + row.name;
    const std::string before = stem + ".before", after = stem + ".after", status = stem + ".status";
    const ScratchFiles scratch({before, after, status});
    TmuxServer tmux(binary);
    // The shell handles the interrupt, so that it outlives the program to report on it; the
    // program gets the default action back.
    ASSERT_TRUE(tmux.start("trap : INT; stty -g > " + shellQuoted(before) + "; " +
                           shellQuoted(BASEDRILL_BINARY) + "; echo $? > " + shellQuoted(status) +
                           "; stty -g > " + shellQuoted(after) + "; sleep 30"));

    auto waitForScreen = [&](std::string_view text) {
        if (pollUntil([&] { return tmux.screen().find(text) != std::string::npos; })) {
            return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure()
               << "\"" << text << "\" did not appear; the pane shows:\n"
               << tmux.screen();
    };
    ASSERT_TRUE(waitForScreen("Edita -si-"));
    ASSERT_TRUE(tmux.sendKey("no"));
    ASSERT_TRUE(tmux.sendKey("Enter"));
    ASSERT_TRUE(waitForScreen("Vuoi provare con altri sistemi di numerazione?"));
    ASSERT_TRUE(tmux.sendKey("no"));
    ASSERT_TRUE(tmux.sendKey("Enter"));
    ASSERT_TRUE(waitForScreen("secondo la scelta che operi"));
    ASSERT_TRUE(tmux.sendKey("4"));
    ASSERT_TRUE(tmux.sendKey("Enter"));
    for (const char* key : row.menuKeys) {
        ASSERT_TRUE(waitForPaneMode(tmux, true, "at the menu's key wait"));
        ASSERT_TRUE(tmux.sendKey(key));
    }
    if (!row.closingKeys.empty()) {
        ASSERT_TRUE(waitForScreen("Per uscire premi -C-"));
    }
    for (const char* key : row.closingKeys) {
        ASSERT_TRUE(waitForPaneMode(tmux, true, "at the closing's key wait"));
        ASSERT_TRUE(tmux.sendKey(key));
    }
    if (row.interruptAtTheEnd) {
        ASSERT_TRUE(waitForPaneMode(tmux, false, "after the closing's key"));
        EXPECT_EQ(readFile(status), "") << "the program ended before the interrupt";
        ASSERT_TRUE(tmux.sendKey("C-c"));
    }
    ASSERT_TRUE(pollUntil([&] { return readFile(after).ends_with("\n"); }))
        << "the program did not end; the pane shows:\n"
        << tmux.screen();
    EXPECT_EQ(readFile(status), std::string(row.status) + "\n");
    EXPECT_EQ(readFile(after), readFile(before)) << "the terminal mode was not restored";
    const std::string screen = tmux.screen();
    EXPECT_NE(screen.find("Non hai scelto"), std::string::npos) << screen;
    EXPECT_NE(screen.find("Per uscire premi -C-"), std::string::npos) << screen;
}

const TmuxDrill kTmuxDrills[] = {
    {"UpperCaseCAtTheClosingEnds", {"x"}, {"C"}, "0", false},
    {"F9AtTheMenuEnds", {"F9"}, {}, "0", false},
    {"CtrlCAtTheClosingIsAKeyThenInterrupts", {"x"}, {"C-c"}, "130", true},
};

INSTANTIATE_TEST_SUITE_P(Keys, KeysTmuxDrill, ::testing::ValuesIn(kTmuxDrills),
                         [](const ::testing::TestParamInfo<TmuxDrill>& info) {
                             return std::string(info.param.name);
                         });

// What is typed after the awaited key in the same burst belongs to whatever reads next: here the
// attempts count that follows the menu's key wait.
TEST(KeysTypeAhead, BytesAfterThePressStayForTheNextRead) {
    SessionOptions options;
    options.stdoutMode = StdoutMode::Pipe;
    PtySession session(options);
    ASSERT_TRUE(session.started());
    for (const char* line : {"no\r", "no\r", "1\r"}) {
        ASSERT_TRUE(session.waitForStdinRead()) << "before " << escapeBytes(line);
        session.sendToTerminal(line);
    }
    ASSERT_TRUE(session.waitForTerminalRead());
    session.sendToTerminal("x2\r");  // the key, then the count typed at once
    ASSERT_TRUE(session.waitForStdinRead());
    // Received while raw, the count's carriage return is not a line end; Enter completes it.
    session.sendToTerminal("\r");
    ASSERT_TRUE(session.waitForStdinRead());
    EXPECT_NE(session.captured(Channel::Stdout).find("trasforma il numero ottale"),
              std::string::npos)
        << "the count typed with the key was lost";
    session.signal(SIGKILL);
    session.waitExit();
}

}  // namespace
}  // namespace e2e
