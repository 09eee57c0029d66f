// End-to-end runs of the real binary under a pseudo-terminal: the whole script from the opening
// to one of the exits, typed on the terminal or piped to standard input, with the exact bytes of
// standard output and of the terminal compared at the end. Decoding details live in the unit
// tests; these check that the pieces meet as a learner sees them.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <ctime>
#include <fstream>
#include <iterator>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "pty_session.h"
#include "script.h"

namespace e2e {
namespace {

class ScriptedRun : public ::testing::TestWithParam<ScriptRun> {};

TEST_P(ScriptedRun, WritesExactlyTheScript) {
    const ScriptRun& run = GetParam();
    play(run.script(), run.input, run.output);
}

const ScriptRun kRuns[] = {
    {"HexPracticeTypedOnTerminal", hexPractice, Input::Typed, Output::Terminal},
    {"HexPracticeTypedToPipe", hexPractice, Input::Typed, Output::Pipe},
    {"HexPracticePipedToPipe", hexPractice, Input::Piped, Output::Pipe},
    {"HexPracticePipedOnTerminal", hexPractice, Input::Piped, Output::Terminal},
    {"CountNotANumberRuns18AttemptsTyped", countNotANumber, Input::Typed, Output::Terminal},
    {"CountNotANumberRuns18AttemptsPiped", countNotANumber, Input::Piped, Output::Pipe},
    {"NegativeCountRunsNoAttempt", negativeCount, Input::Typed, Output::Pipe},
    {"NoPathThenYesTyped", noPathThenYes, Input::Typed, Output::Terminal},
    {"NoPathThenYesPiped", noPathThenYes, Input::Piped, Output::Pipe},
    {"OctalPracticeTyped", octalPractice, Input::Typed, Output::Terminal},
    {"OctalPracticePiped", octalPractice, Input::Piped, Output::Pipe},
    {"OctalCountNotANumberRuns11Attempts", octalCountNotANumber, Input::Typed, Output::Pipe},
    {"CharacterTableToFileTyped", characterTableChoice, Input::Typed, Output::File},
    {"CharacterTableToFilePiped", characterTableChoice, Input::Piped, Output::File},
    {"ChoiceThreeThenOtherKey", choiceThreeThenOtherKey, Input::Typed, Output::Terminal},
    {"InputEndsAtOnce", inputEndsAtOnce, Input::Piped, Output::Pipe},
    {"UpperCaseCAtMenuEndsTyped", cAtMenu, Input::Typed, Output::Terminal},
    {"UpperCaseCAtMenuEndsPiped", cAtMenu, Input::Piped, Output::Pipe},
    {"ChoiceThreeThenUpperCaseCEnds", choiceThreeThenC, Input::Typed, Output::Terminal},
    {"UpperCaseCAtClosingEndsTyped", cAtClosing, Input::Typed, Output::Terminal},
    {"UpperCaseCAtClosingEndsPiped", cAtClosing, Input::Piped, Output::Pipe},
    {"F9AtMenuEndsAtClosing", f9AtMenu, Input::Typed, Output::Pipe},
    {"F1AtMenuRings", f1AtMenu, Input::Typed, Output::Pipe},
    {"LowerCaseCAtClosingRingsTyped", lowerCaseCAtClosing, Input::Typed, Output::Terminal},
    {"LowerCaseCAtClosingRingsPiped", lowerCaseCAtClosing, Input::Piped, Output::Pipe},
    {"CtrlCAtClosingIsAKey", ctrlCAtClosing, Input::Typed, Output::Pipe},
    {"StdoutToDevFullTyped", cAtClosing, Input::Typed, Output::DevFull},
    {"StdoutToDevFullPiped", cAtClosing, Input::Piped, Output::DevFull},
    {"StdoutToClosedPipe", cAtClosing, Input::Piped, Output::BrokenPipe},
};

INSTANTIATE_TEST_SUITE_P(Drill, ScriptedRun, ::testing::ValuesIn(kRuns),
                         [](const ::testing::TestParamInfo<ScriptRun>& info) {
                             return std::string(info.param.name);
                         });

// ---------------------------------------------------------------------------------------------
// A signal that ends the program during a key wait leaves the terminal as it found it, and the
// program still dies by that signal.

struct SignalAtKeyWait {
    const char* name;
    int signalNumber;
    bool atClosing;  // else at the menu's key wait
};

void PrintTo(const SignalAtKeyWait& param, std::ostream* os) {
    *os << param.name;
}

class KeyWaitSignal : public ::testing::TestWithParam<SignalAtKeyWait> {};

TEST_P(KeyWaitSignal, RestoresTheModeAndDiesByIt) {
    const SignalAtKeyWait& param = GetParam();
    SessionOptions options;
    options.stdoutMode = StdoutMode::Pipe;
    PtySession session(options);
    ASSERT_TRUE(session.started());
    for (const char* line : {"no\r", "no\r", "4\r"}) {
        ASSERT_TRUE(session.waitForStdinRead());
        session.sendToTerminal(line);
    }
    ASSERT_TRUE(session.waitForTerminalRead());
    if (param.atClosing) {
        session.sendToTerminal("x");
        ASSERT_TRUE(session.waitForTerminalRead());
    }
    const std::optional<termios> during = session.modeNow();
    ASSERT_TRUE(during.has_value());
    EXPECT_FALSE(sameMode(session.modeBefore(), *during))
        << "the key wait should have the terminal in raw mode";
    session.signal(param.signalNumber);
    EXPECT_TRUE(killedBy(session.waitExit(), param.signalNumber));
    ASSERT_TRUE(session.modeAtExit().has_value());
    EXPECT_TRUE(sameMode(session.modeBefore(), *session.modeAtExit()));
}

const SignalAtKeyWait kSignals[] = {
    {"TermAtMenu", SIGTERM, false},    {"HangUpAtMenu", SIGHUP, false},
    {"QuitAtMenu", SIGQUIT, false},    {"TermAtClosing", SIGTERM, true},
    {"HangUpAtClosing", SIGHUP, true},
};

INSTANTIATE_TEST_SUITE_P(Drill, KeyWaitSignal, ::testing::ValuesIn(kSignals),
                         [](const ::testing::TestParamInfo<SignalAtKeyWait>& info) {
                             return std::string(info.param.name);
                         });

// ---------------------------------------------------------------------------------------------
// Without a controlling terminal every key read fails at once: the menu's key wait passes
// through, clearing the screen does nothing, and the closing rings until interrupted.

struct Detached {
    const char* name;
    const char* transcript;
    Script (*expected)();  // standard output up to the bells
};

void PrintTo(const Detached& param, std::ostream* os) {
    *os << param.name;
}

class NoTerminal : public ::testing::TestWithParam<Detached> {};

TEST_P(NoTerminal, RingsAtTheClosingUntilInterrupted) {
    const Detached& param = GetParam();
    SessionOptions options;
    options.controllingTerminal = false;
    const std::time_t startTime = std::time(nullptr);
    PtySession session(options);
    ASSERT_TRUE(session.started());
    session.sendToStdin(param.transcript);
    session.closeStdin();

    const Script expected = param.expected();
    ASSERT_TRUE(session.readUntil(
        Channel::Stdout, patternOf(expected.steps, Window{startTime, std::time(nullptr)}, false)));
    std::string bells;
    ASSERT_TRUE(session.readBytes(Channel::Stdout, 2000, bells));
    EXPECT_EQ(escapeBytes(bells), escapeBytes(std::string(2000, '\a')));
    session.signal(SIGINT);
    EXPECT_TRUE(killedBy(session.waitExit(), SIGINT));
    EXPECT_EQ(escapeBytes(session.captured(Channel::Stderr)), "");
}

Script detachedPracticeAndTable() {
    Script s;
    s.out(opening()).out(kOffer).out(kHeading).out(kHexTask).attempt(16, "5");
    return s.out(noticeAndMenu()).out(characterTable()).out(kClosing);
}

const Detached kDetached[] = {
    {"InputEndsAtOnce", "", detachedInputEndsAtOnce},
    {"PracticeAndCharacterTable", "si\n1\n5\nno\n2\n", detachedPracticeAndTable},
};

INSTANTIATE_TEST_SUITE_P(Drill, NoTerminal, ::testing::ValuesIn(kDetached),
                         [](const ::testing::TestParamInfo<Detached>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
}  // namespace e2e
