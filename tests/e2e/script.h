// What the program writes, and runs of it written as scripts: the texts of every stage, a
// builder for the steps of a run as the learner lives it (output, typed lines, key presses), the
// expected bytes of a run, and `play`, which runs a script against the real binary and checks
// every byte. Shared by the end-to-end test files.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <ctime>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "pty_session.h"

namespace e2e {

// ---------------------------------------------------------------------------------------------
// What the program writes

inline constexpr std::string_view kClearScreen = "\x1b[H\x1b[2J";

inline std::string entries(std::initializer_list<std::string_view> numbers) {
    std::string out;
    for (std::string_view n : numbers) {
        out += n;
        out += "\t\t";
    }
    return out;
}

inline const std::string& opening() {
    static const std::string text =
        "By Zembrolt\n"
        "\t\t\t\tNumerazione Decimale\n\n" +
        entries({"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12", "13", "14",
                 "15", "16", "17"}) +
        "\n\n\t\t\t\tNumerazione Esadecimale\n\n" +
        entries({"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "a", "b", "c", "d", "e", "f",
                 "10", "11"}) +
        "\n\n\t\t\t\tNumerazione Ottale\n\n" +
        entries({"0", "1", "2", "3", "4", "5", "6", "7", "10", "11", "12", "13", "14", "15", "16",
                 "17", "20", "21"});
    return text;
}

inline constexpr std::string_view kOffer =
    "\n\nDesideri esercitarti,utilizzando la numerazione esadecimale? Edita -si-\n\n";
inline constexpr std::string_view kOtherSystems =
    "\t\tVuoi provare con altri sistemi di numerazione?\n\n";
inline constexpr std::string_view kHeading =
    "\t\t\t\tEsercizio\n\n\t\t\t\tQuanti tentativi vuoi fare ?\n\n\t\t\t\t";
inline constexpr std::string_view kHexTask =
    "\n\n\t\ttrasforma il numero esadecimale seguente in decimale\n\n";
inline constexpr std::string_view kOctTask =
    "\t\t\n\n\t\ttrasforma il numero ottale seguente in decimale\n\n";
inline constexpr std::string_view kMenu =
    "\n\nDesideri esercitarti sulla numerazione ottale? O desideri avere il codice ASCII?\n\n"
    "\t\tO USCIRE DEFINITIVAMENTE ?\n\n"
    "\t\tPremi -1- o -2- o -3- secondo la scelta che operi\n\n";
inline constexpr std::string_view kExitPrompt = "\n\npremi 'C' per uscire";
inline constexpr std::string_view kNotChosen = "\n\nNon hai scelto";
inline constexpr std::string_view kClosing = "\n\n\t\tPer uscire premi -C-\t\t";

// The leaving notice, without the two tabs that a second "si" puts before it, then the menu.
inline std::string noticeAndMenu() {
    std::string text = "hai deciso di uscire!!";
    for (int i = 0; i < 11; ++i) {
        text += "mi preparo......\a";
    }
    return text + std::string(kMenu);
}

inline std::string characterTable() {
    std::string text;
    for (int code = 0; code < 256; ++code) {
        text += std::to_string(code) + "\t";
        text += static_cast<char>(code);
    }
    return text +
           "\n\nPer ottenere i simboli deve premere contemporaneamente il tasto -alt-"
           "\n\ne dal tastierino numerico la sequenza dei numeri relativi"
           "\n\nNOTA BENE-CON QUESTO ALGORITMO L' UNITA' ASCII E' SFALZATA DI UNA UNITA'";
}

// The number a practice attempt draws in the second `seed` (whole seconds since the epoch).
constexpr int drawnFor(std::uint32_t seed) {
    std::uint64_t state = seed;
    state = state * 0x0000015A00004E35ull + 1;
    return static_cast<int>(((state >> 32) & 0x7FFFFFFF) % 1000);
}
static_assert(drawnFor(0) == 0);
static_assert(drawnFor(1) == 346);
static_assert(drawnFor(2) == 692);
static_assert(drawnFor(1000000000) == 333);
static_assert(drawnFor(1700000000) == 20);
static_assert(drawnFor(0xFFFFFFFF) == 674);

inline std::string digits(int value, int base) {
    char text[16];
    const auto end = std::to_chars(text, text + sizeof text, value, base).ptr;
    return std::string(text, end);
}

// The seconds in which the run may have drawn its numbers.
struct Window {
    std::time_t first;
    std::time_t last;

    std::vector<int> drawable() const {
        std::vector<int> values;
        for (std::time_t t = first; t <= last; ++t) {
            const int v = drawnFor(static_cast<std::uint32_t>(t));
            if (std::find(values.begin(), values.end(), v) == values.end()) values.push_back(v);
        }
        return values;
    }
};

// ---------------------------------------------------------------------------------------------
// A run as the learner lives it: what appears, what is typed, which keys are pressed

class Script {
  public:
    struct Step {
        enum class Kind { Output, Drawn, Clear, Line, Number, Key };
        Kind kind;
        // Output: the text; Line, Number: the line without its Enter; Key: the key
        std::string bytes;
        int base = 10;  // Drawn: the base it is written in
        int slot = -1;  // Drawn: the attempt it belongs to
    };
    enum class Ending { Exit, Bell };

    Script& out(std::string_view text) {
        steps.push_back({Step::Kind::Output, std::string(text)});
        return *this;
    }
    Script& drawn(int base, int slot) {
        steps.push_back({Step::Kind::Drawn, {}, base, slot});
        return *this;
    }
    Script& clear() {
        steps.push_back({Step::Kind::Clear, std::string(kClearScreen)});
        return *this;
    }
    // A reply line, read as a line.
    Script& line(std::string_view text) {
        steps.push_back({Step::Kind::Line, std::string(text)});
        return *this;
    }
    // A line from which a number is read.
    Script& number(std::string_view text) {
        steps.push_back({Step::Kind::Number, std::string(text)});
        return *this;
    }
    Script& key(std::string_view bytes) {
        steps.push_back({Step::Kind::Key, std::string(bytes)});
        return *this;
    }
    // One conversion attempt in `base`; without an answer it runs through without waiting.
    Script& attempt(int base, std::optional<std::string_view> answer) {
        const int slot = attempts++;
        out("\t\t\t\t\t\t").drawn(base, slot).out("\t\t");
        if (answer) number(*answer);
        return out("\t\t\n\n" + std::string(23, '>') + "\t\t\t\t").drawn(10, slot);
    }
    Script& exits() {
        ending = Ending::Exit;
        return *this;
    }
    Script& rings() {
        ending = Ending::Bell;
        return *this;
    }

    // Every line, each ended by a line feed, as one piped transcript.
    std::string transcript() const {
        std::string text;
        for (const Step& s : steps) {
            if (s.kind == Step::Kind::Line || s.kind == Step::Kind::Number) {
                text += s.bytes + "\n";
            }
        }
        return text;
    }

    std::vector<Step> steps;
    Ending ending = Ending::Exit;
    int attempts = 0;
};

using Kind = Script::Step::Kind;

// The expected bytes of some steps. On the terminal a line feed arrives as CR LF.
inline BytePattern patternOf(const std::vector<Script::Step>& steps, const Window& window,
                             bool onTerminal) {
    const std::vector<int> values = window.drawable();
    BytePattern pattern;
    for (const Script::Step& s : steps) {
        const bool input = s.kind == Kind::Line || s.kind == Kind::Number || s.kind == Kind::Key;
        if (input) continue;
        if (s.kind == Kind::Drawn) {
            std::vector<std::string> alternatives;
            for (int v : values) {
                alternatives.push_back(digits(v, s.base));
            }
            pattern.choice(s.slot, alternatives);
            continue;
        }
        if (!onTerminal) {
            pattern.text(s.bytes);
            continue;
        }
        std::string converted;
        for (char c : s.bytes) {
            converted += c == '\n' ? std::string("\r\n") : std::string(1, c);
        }
        pattern.text(converted);
    }
    return pattern;
}

enum class Input {
    Typed,   // on the terminal, each line when the program waits for it
    Piped,   // the whole transcript down a pipe, closed after it
    Closed,  // no standard input at all: every read fails at once
};
enum class Output { Terminal, Pipe, File, DevFull, BrokenPipe, Closed };

// How `play` starts the program and how long it waits for it.
struct Launch {
    std::vector<std::string> argv;     // empty: the program itself; else a wrapper and the program
    Millis timeout = kDefaultTimeout;  // for each wait
};

inline std::string temporaryPath(std::string_view stem) {
    static int counter = 0;
    return ::testing::TempDir() + "basedrill-e2e-" + std::string(stem) + "-" +
           std::to_string(::getpid()) + "-" + std::to_string(counter++);
}

inline std::string describeStep(const Script::Step& s) {
    switch (s.kind) {
        case Kind::Line:
        case Kind::Number:
            return "before the line \"" + escapeBytes(s.bytes) + "\"";
        case Kind::Key:
            return "before the key \"" + escapeBytes(s.bytes) + "\"";
        default:
            return "";
    }
}

// One scripted run as a test row: the script, how its lines are given, where its output goes.
struct ScriptRun {
    const char* name;
    Script (*script)();
    Input input;
    Output output;
};

inline void PrintTo(const ScriptRun& run, std::ostream* os) {
    *os << run.name;
}

// Plays the script against the program and checks every byte it writes, on standard output
// and on the terminal, and how it ends. The terminal's output is checked step by step: when
// standard output is the terminal, each prompt must be on the screen before the read after it.
inline void play(const Script& script, Input input, Output output, const Launch& launch = {}) {
    SessionOptions options;
    options.argv = launch.argv;
    options.stdinMode = input == Input::Typed   ? StdinMode::Terminal
                        : input == Input::Piped ? StdinMode::Pipe
                                                : StdinMode::Closed;
    switch (output) {
        case Output::Terminal:
            options.stdoutMode = StdoutMode::Terminal;
            break;
        case Output::Pipe:
            options.stdoutMode = StdoutMode::Pipe;
            break;
        case Output::File:
            options.stdoutMode = StdoutMode::File;
            options.stdoutPath = temporaryPath("stdout");
            break;
        case Output::DevFull:
            options.stdoutMode = StdoutMode::DevFull;
            break;
        case Output::BrokenPipe:
            options.stdoutMode = StdoutMode::BrokenPipe;
            break;
        case Output::Closed:
            options.stdoutMode = StdoutMode::Closed;
            break;
    }
    const Millis timeout = launch.timeout;
    const bool outputOnTerminal = output == Output::Terminal;
    const std::time_t startTime = std::time(nullptr);
    auto windowNow = [&] { return Window{startTime, std::time(nullptr)}; };

    PtySession session(options);
    ASSERT_TRUE(session.started());
    if (input == Input::Piped) {
        session.sendToStdin(script.transcript());
        session.closeStdin();
    }

    std::vector<Script::Step> program;  // what the program writes to standard output
    std::vector<Script::Step> screen;   // what the terminal shows
    std::size_t programChecked = 0;
    std::size_t screenChecked = 0;
    // Reads on the channel what the steps added since its last check.
    auto checkFresh = [&](Channel channel, const std::string& when) {
        const bool onScreen = channel == Channel::Terminal;
        const std::vector<Script::Step>& all = onScreen ? screen : program;
        std::size_t& checked = onScreen ? screenChecked : programChecked;
        const std::vector<Script::Step> fresh(all.begin() + static_cast<long>(checked), all.end());
        checked = all.size();
        return session.readUntil(channel, patternOf(fresh, windowNow(), onScreen), timeout)
               << "\n(" << when << ")";
    };

    for (const Script::Step& step : script.steps) {
        switch (step.kind) {
            case Kind::Output:
            case Kind::Drawn:
                program.push_back(step);
                if (outputOnTerminal) screen.push_back(step);
                break;
            case Kind::Clear:
                screen.push_back(step);
                break;
            case Kind::Line:
            case Kind::Number:
                if (input != Input::Typed) break;
                ASSERT_TRUE(session.waitForStdinRead(timeout)) << describeStep(step);
                ASSERT_TRUE(checkFresh(Channel::Terminal, describeStep(step)));
                // A number read hands on what was written before it even to a pipe, so that a
                // prompt is out before the program waits.
                if (step.kind == Kind::Number && output == Output::Pipe) {
                    ASSERT_TRUE(checkFresh(Channel::Stdout, describeStep(step)));
                }
                session.sendToTerminal(step.bytes + "\r");
                screen.push_back({Kind::Output, step.bytes + "\n"});  // the echo
                break;
            case Kind::Key:
                ASSERT_TRUE(session.waitForTerminalRead(timeout)) << describeStep(step);
                ASSERT_TRUE(checkFresh(Channel::Terminal, describeStep(step)));
                session.sendToTerminal(step.bytes);
                break;
        }
    }

    if (script.ending == Script::Ending::Exit) {
        EXPECT_TRUE(exitedWith(session.waitExit(timeout), 0));
    } else {
        // The endless bell: the bytes up to the closing prompt, then nothing but bells until an
        // interrupt typed at the terminal ends the program.
        ASSERT_TRUE(output == Output::Terminal || output == Output::Pipe);
        ASSERT_TRUE(checkFresh(Channel::Terminal, "before the bells"));
        if (!outputOnTerminal) {
            ASSERT_TRUE(checkFresh(Channel::Stdout, "before the bells"));
        }
        std::string bells;
        ASSERT_TRUE(session.readBytes(outputOnTerminal ? Channel::Terminal : Channel::Stdout, 2000,
                                      bells, timeout));
        EXPECT_EQ(escapeBytes(bells), escapeBytes(std::string(2000, '\a')));
        session.sendToTerminal("\x03");
        EXPECT_TRUE(killedBy(session.waitExit(timeout), SIGINT));
    }
    const Window window = windowNow();

    if (script.ending == Script::Ending::Exit) {
        EXPECT_TRUE(session.capturedEquals(Channel::Terminal, patternOf(screen, window, true)));
        if (output == Output::Pipe) {
            EXPECT_TRUE(session.capturedEquals(Channel::Stdout, patternOf(program, window, false)));
        }
        if (output == Output::File) {
            std::ifstream in(options.stdoutPath, std::ios::binary);
            const std::string written{std::istreambuf_iterator<char>(in),
                                      std::istreambuf_iterator<char>()};
            const BytePattern expected = patternOf(program, window, false);
            EXPECT_EQ(expected.match(written, true).outcome, BytePattern::Outcome::Complete)
                << "the file " << options.stdoutPath << ": "
                << describeMismatch(expected, written, true);
            ::unlink(options.stdoutPath.c_str());
        }
    } else if (output == Output::Pipe) {
        // Whatever else it wrote before the interrupt, it is only bells.
        const std::string all = session.captured(Channel::Stdout);
        const BytePattern::Match m = patternOf(program, window, false).match(all, false);
        ASSERT_EQ(m.outcome, BytePattern::Outcome::Complete);
        EXPECT_EQ(all.find_first_not_of('\a', m.length), std::string::npos)
            << "after the closing prompt: \"" << escapeBytes(all.substr(m.length, 200)) << "\"";
    }

    ASSERT_TRUE(session.modeAtExit().has_value());
    EXPECT_TRUE(sameMode(session.modeBefore(), *session.modeAtExit()))
        << "the terminal mode was not restored";
}

// ---------------------------------------------------------------------------------------------
// The scripts

inline Script hexPractice() {
    Script s;
    s.out(opening()).out(kOffer).line("si").clear().out(kHeading).number("3").out(kHexTask);
    s.attempt(16, "12").attempt(16, "0x1f").attempt(16, "7");
    s.line("si").out("\t\t").out(noticeAndMenu()).number("4");
    return s.key("x").out(kNotChosen).out(kClosing).key("C").exits();
}

// A count that does not read leaves the 18 of the counting tables; the failed reader lets every
// answer, and then the menu choice, pass without waiting.
inline Script countNotANumber() {
    Script s;
    s.out(opening()).out(kOffer).line("si").clear().out(kHeading).number("abc").out(kHexTask);
    for (int i = 0; i < 18; ++i) {
        s.attempt(16, std::nullopt);
    }
    s.line("no").out(noticeAndMenu());
    return s.key("x").out(kNotChosen).out(kClosing).key("C").exits();
}

inline Script negativeCount() {
    Script s;
    s.out(opening()).out(kOffer).line("si").clear().out(kHeading).number("-2").out(kHexTask);
    s.line("no").out(noticeAndMenu()).number("4");
    return s.key("x").out(kNotChosen).out(kClosing).key("C").exits();
}

inline Script noPathThenYes() {
    Script s;
    s.out(opening()).out(kOffer).line("no").out(kOtherSystems);
    s.line("si").out("\t\t").out(noticeAndMenu()).number("0");
    return s.key("x").out(kNotChosen).out(kClosing).key("C").exits();
}

// The road to the menu that every menu script takes: no practice, no second "si".
inline Script toMenu(std::string_view choice) {
    Script s;
    s.out(opening()).out(kOffer).line("no").out(kOtherSystems);
    s.line("no").out(noticeAndMenu()).number(choice);
    return s;
}

inline Script octalPractice() {
    Script s = toMenu("1");
    s.key("x").clear().out(kHeading).number("2").out(kOctTask);
    s.attempt(8, "100").attempt(8, "0");
    return s.out(kClosing).key("C").exits();
}

// The preparing loop leaves 11 in the counter.
inline Script octalCountNotANumber() {
    Script s = toMenu("1");
    s.key("x").clear().out(kHeading).number("zz").out(kOctTask);
    for (int i = 0; i < 11; ++i) {
        s.attempt(8, std::nullopt);
    }
    return s.out(kClosing).key("C").exits();
}

inline Script characterTableChoice() {
    return toMenu("2").key("x").out(characterTable()).out(kClosing).key("C").exits();
}

inline Script choiceThreeThenOtherKey() {
    Script s = toMenu("3");
    s.clear().out(kExitPrompt).key("x").out(kNotChosen);
    return s.out(kClosing).key("C").exits();
}

inline Script choiceThreeThenC() {
    return toMenu("3").clear().out(kExitPrompt).key("C").exits();
}

inline Script cAtMenu() {
    return toMenu("1").key("C").exits();
}

inline Script cAtClosing() {
    return toMenu("4").key("x").out(kNotChosen).out(kClosing).key("C").exits();
}

// Standard input ends before the first reply: the empty reply is not "si", and the menu choice
// that fails to read is none of 1, 2 and 3.
inline Script inputEndsAtOnce() {
    Script s;
    s.out(opening()).out(kOffer).out(kOtherSystems).out(noticeAndMenu());
    return s.key("x").out(kNotChosen).out(kClosing).key("C").exits();
}

// Standard output of a run that has lost its input and cannot read a key: the empty reply is not
// "si", the menu choice fails to read, every key read fails and the closing goes on to ring.
// Everything up to the bells.
inline Script detachedInputEndsAtOnce() {
    Script s;
    s.out(opening()).out(kOffer).out(kOtherSystems).out(noticeAndMenu());
    return s.out(kNotChosen).out(kClosing);
}

// F9 is 0 and then 67: the action runs, and the closing takes the 67 as its upper-case C.
inline Script f9AtMenu() {
    return toMenu("4").key("\x1b[20~").out(kNotChosen).out(kClosing).exits();
}

// F1 is 0 and then 59: the closing takes the 59 and rings.
inline Script f1AtMenu() {
    return toMenu("4").key("\x1bOP").out(kNotChosen).out(kClosing).rings();
}

inline Script lowerCaseCAtClosing() {
    return toMenu("4").key("x").out(kNotChosen).out(kClosing).key("c").rings();
}

// Ctrl+C during the key wait is the key code 3, not an interrupt.
inline Script ctrlCAtClosing() {
    return toMenu("4").key("x").out(kNotChosen).out(kClosing).key("\x03").rings();
}

}  // namespace e2e
