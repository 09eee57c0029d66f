// The drill's stages run against scripted input, scripted keys and a fixed clock, compared byte
// for byte.
#include <gtest/gtest.h>

#include <string>

#include "drill/driver.h"
#include "drill/menu.h"
#include "drill/practice.h"
#include "fakes.h"

namespace basedrill {
namespace {

using testing::ExitCalled;
using testing::FakeConsole;
using testing::kClearMark;
using testing::RingStopped;

std::string table(const char* title, const char* const* entries) {
    std::string s = std::string("\t\t\t\t") + title + "\n\n";
    for (int i = 0; i < 18; ++i)
        s += std::string(entries[i]) + "\t\t";
    return s;
}

std::string openingText() {
    static const char* const dec[] = {"0", "1",  "2",  "3",  "4",  "5",  "6",  "7",  "8",
                                      "9", "10", "11", "12", "13", "14", "15", "16", "17"};
    static const char* const hex[] = {"0", "1", "2", "3", "4", "5", "6", "7",  "8",
                                      "9", "a", "b", "c", "d", "e", "f", "10", "11"};
    static const char* const oct[] = {"0",  "1",  "2",  "3",  "4",  "5",  "6",  "7",  "10",
                                      "11", "12", "13", "14", "15", "16", "17", "20", "21"};
    return "By Zembrolt\n" + table("Numerazione Decimale", dec) + "\n\n" +
           table("Numerazione Esadecimale", hex) + "\n\n" + table("Numerazione Ottale", oct);
}

const std::string kOffer =
    "\n\nDesideri esercitarti,utilizzando la numerazione esadecimale? Edita -si-\n\n";
const std::string kOtherSystems = "\t\tVuoi provare con altri sistemi di numerazione?\n\n";
const std::string kHeading =
    "\t\t\t\tEsercizio\n\n\t\t\t\tQuanti tentativi vuoi fare ?\n\n\t\t\t\t";
const std::string kHexTask = "\n\n\t\ttrasforma il numero esadecimale seguente in decimale\n\n";
const std::string kOctTask = "\t\t\n\n\t\ttrasforma il numero ottale seguente in decimale\n\n";
const std::string kClosing = "\n\n\t\tPer uscire premi -C-\t\t";
const std::string kNotChosen = "\n\nNon hai scelto";

std::string attempt(const std::string& shown, const std::string& decimal) {
    return "\t\t\t\t\t\t" + shown + "\t\t\t\t\n\n" + std::string(23, '>') + "\t\t\t\t" + decimal;
}

std::string notice(bool yes) {
    std::string s = yes ? "\t\t" : "";
    s += "hai deciso di uscire!!";
    for (int i = 0; i < 11; ++i)
        s += "mi preparo......\a";
    return s +
           "\n\nDesideri esercitarti sulla numerazione ottale? O desideri avere il codice "
           "ASCII?\n\n\t\tO USCIRE DEFINITIVAMENTE ?\n\n\t\tPremi -1- o -2- o -3- secondo "
           "la scelta che operi\n\n";
}

std::string characterTable() {
    std::string s;
    for (int i = 0; i < 256; ++i)
        s += std::to_string(i) + "\t" + static_cast<char>(i);
    return s +
           "\n\nPer ottenere i simboli deve premere contemporaneamente il tasto -alt-\n\ne dal "
           "tastierino numerico la sequenza dei numeri relativi\n\nNOTA BENE-CON QUESTO "
           "ALGORITMO L' UNITA' ASCII E' SFALZATA DI UNA UNITA'";
}

TEST(Opening, WritesTheThreeTablesAndLeavesOctal) {
    FakeConsole f;
    DrillState state;
    showOpening(state, f.console);
    EXPECT_EQ(f.sink.bytes, openingText());
    EXPECT_EQ(state.counter, 18);
    EXPECT_EQ(f.out.radix(), Radix::Oct);
    EXPECT_EQ(f.out.fill(), ' ');
}

TEST(Closing, UpperCEndsWithZeroAndEverythingHandedOn) {
    FakeConsole f({}, /*unitBuffered=*/false);
    f.typeKey('C');
    DrillState state;
    try {
        awaitClosingKey(state, f.console);
        FAIL() << "the closing returned";
    } catch (const ExitCalled& e) {
        EXPECT_EQ(e.status, 0);
    }
    EXPECT_EQ(f.sink.bytes, kClosing);
}

TEST(Closing, AnyOtherKeyRingsForever) {
    for (const KeyPress press : {KeyPress{Key::NoRow, 0, U'c'}, KeyPress{Key::C, mod::kCtrl, 3}}) {
        FakeConsole f;
        f.pressKey(press);
        f.sink.stopAfterBells = 1000;
        DrillState state;
        EXPECT_THROW(awaitClosingKey(state, f.console), RingStopped);
        EXPECT_EQ(f.sink.bytes, kClosing + std::string(1000, '\a'));
        EXPECT_EQ(f.sink.writes.size(), 3u + 1000u) << "one hand-over per bell";
    }
}

TEST(Closing, FailedOutputWaitsForTheInterruptInsteadOfSpinning) {
    FakeConsole f;
    f.typeKey('x');
    f.sink.refuseAfter = kClosing.size() + 3;
    DrillState state;
    EXPECT_THROW(awaitClosingKey(state, f.console), testing::AwaitingInterrupt);
    EXPECT_EQ(f.sink.bytes, kClosing + "\a\a\a");
}

TEST(Closing, NoTerminalRings) {
    FakeConsole f;
    f.keyboard.open = false;
    f.sink.stopAfterBells = 10;
    DrillState state;
    EXPECT_THROW(awaitClosingKey(state, f.console), RingStopped);
}

TEST(Generator, WorkedDraws) {
    const struct {
        std::uint32_t seed;
        std::uint64_t state;
        std::int32_t draw;
    } rows[] = {{0, 0x0000000000000001, 0},
                {1, 0x0000015A00004E36, 346},
                {2, 0x000002B400009C6B, 692},
                {1000000000, 0x8F3516358097D201, 255137333},
                {1700000000, 0xF373D8F48DCEE501, 1936972020},
                {0xFFFFFFFF, 0x00004CDAFFFFB1CC, 19674}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.seed);
        PracticeRng rng;
        rng.seed(row.seed);
        EXPECT_EQ(rng.draw(), row.draw);
        EXPECT_EQ(rng.state(), row.state);
    }
}

TEST(Generator, SeedFromTheClock) {
    EXPECT_EQ(seedFromClock(1000000000), 1000000000u);
    EXPECT_EQ(seedFromClock(2147483647), 2147483647u);
    EXPECT_EQ(seedFromClock(2147483648), 2147483648u) << "after 2038 the seconds go on";
    EXPECT_EQ(seedFromClock(4294967296 + 5), 5u);
    EXPECT_EQ(seedFromClock(0), 0xFFFFFFFFu);
    EXPECT_EQ(seedFromClock(-86400), 0xFFFFFFFFu);
}

TEST(HexPractice, OneAttemptWrittenOut) {
    FakeConsole f{"si\n", "1\n", "123\n"};
    DrillState state;
    Practice practice;
    offerHexPractice(state, f.console, practice);
    EXPECT_EQ(f.sink.bytes,
              kOffer + std::string(kClearMark) + kHeading + kHexTask + attempt("14d", "333"));
    EXPECT_EQ(state.counter, 0);
    EXPECT_EQ(state.answer, 123);
    EXPECT_EQ(practice.drawnNumber, 333);
    EXPECT_EQ(f.out.radix(), Radix::Dec);
    EXPECT_EQ(f.out.fill(), '>');
    EXPECT_EQ(f.out.width(), 0);
}

TEST(HexPractice, DrawsFollowTheClock) {
    FakeConsole f{"si\n", "3\n", "1\n", "2\n", "3\n"};
    DrillState state;
    Practice practice;
    f.clock.now = 1;
    std::string expected = kOffer + std::string(kClearMark) + kHeading + kHexTask;
    // Two attempts in the same second show the same number; the next second another.
    offerHexPractice(state, f.console, practice);
    const std::string a = attempt("15a", "346");
    EXPECT_EQ(f.sink.bytes, expected + a + a + a);

    FakeConsole g{"si\n", "1\n", "1\n"};
    DrillState s2;
    g.clock.now = 2;
    offerHexPractice(s2, g.console, practice);
    EXPECT_EQ(g.sink.bytes, expected + attempt("2b4", "692"));
}

TEST(HexPractice, RepliesOtherThanSiTakeTheNoPath) {
    for (const char* line : {"Si\n", "SI\n", "s\n", "sii\n", "si \n", "\n"}) {
        SCOPED_TRACE(line);
        FakeConsole f{line};
        DrillState state;
        state.counter = 18;
        Practice practice;
        offerHexPractice(state, f.console, practice);
        EXPECT_EQ(f.sink.bytes, kOffer + kOtherSystems);
        EXPECT_EQ(f.screenDevice.clears, 0);
    }
}

TEST(HexPractice, EndOfInputAtTheOfferIsNo) {
    FakeConsole f;
    DrillState state;
    Practice practice;
    offerHexPractice(state, f.console, practice);
    EXPECT_EQ(f.sink.bytes, kOffer + kOtherSystems);
}

TEST(HexPractice, CountsThroughBaseDetection) {
    const struct {
        const char* count;
        int attempts;
    } rows[] = {{"010\n", 8}, {"0x3\n", 3}, {"0\n", 0}, {"-2\n", 0}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.count);
        FakeConsole f{"si\n", row.count};
        f.source.chunks.insert(f.source.chunks.end(), 10, "5\n");
        DrillState state;
        state.counter = 18;
        Practice practice;
        offerHexPractice(state, f.console, practice);
        std::string expected = kOffer + std::string(kClearMark) + kHeading + kHexTask;
        for (int i = 0; i < row.attempts; ++i)
            expected += attempt("14d", "333");
        EXPECT_EQ(f.sink.bytes, expected);
    }
}

TEST(HexPractice, FailedCountRunsEighteenAttemptsWithoutWaiting) {
    FakeConsole f{"si\n", "abc\n", "5\n"};
    DrillState state;
    state.counter = 18;  // as the opening leaves it
    Practice practice;
    offerHexPractice(state, f.console, practice);
    std::string expected = kOffer + std::string(kClearMark) + kHeading + kHexTask;
    for (int i = 0; i < 18; ++i)
        expected += attempt("14d", "333");
    EXPECT_EQ(f.sink.bytes, expected);
    EXPECT_EQ(f.source.chunks.size(), 1u) << "no answer was read";
}

TEST(HexPractice, LettersAsTheFirstAnswerLetTheRestRunThrough) {
    FakeConsole f{"si\n", "5\n", "zz\n", "7\n"};
    DrillState state;
    Practice practice;
    offerHexPractice(state, f.console, practice);
    std::string expected = kOffer + std::string(kClearMark) + kHeading + kHexTask;
    for (int i = 0; i < 5; ++i)
        expected += attempt("14d", "333");
    EXPECT_EQ(f.sink.bytes, expected);
    EXPECT_EQ(state.answer, 0);
    EXPECT_EQ(f.source.chunks.size(), 1u);
}

// The menu runs after the practice; each case starts from the state the "no" path leaves.
struct MenuCase {
    const char* name;
    std::vector<std::string> input;  // second reply, choice, ...
    KeyPress key;
    std::string expected;  // after the notice
    int exitStatus;        // -1: returns to the driver
    int clears;
};

// Test output names the case rather than dumping its bytes.
void PrintTo(const MenuCase& c, std::ostream* os) {
    *os << c.name;
}

class MenuTest : public ::testing::TestWithParam<MenuCase> {};

const KeyPress kPlainX{Key::X, 0, U'x'};
const KeyPress kUpperC{Key::C, mod::kShift, U'C'};

TEST_P(MenuTest, RunsTheChoice) {
    const MenuCase& c = GetParam();
    FakeConsole f;
    for (const std::string& line : c.input)
        f.source.chunks.push_back(line);
    f.pressKey(c.key);
    DrillState state;
    Practice practice;
    int status = -1;
    try {
        offerMenu(state, f.console, practice);
    } catch (const ExitCalled& e) {
        status = e.status;
    }
    EXPECT_EQ(status, c.exitStatus);
    EXPECT_EQ(f.sink.bytes, notice(false) + c.expected);
    EXPECT_EQ(f.screenDevice.clears, c.clears);
    EXPECT_EQ(f.keyboard.waits, 1) << "every choice waits for a key";
}

std::string octalAttempts(int n) {
    std::string s = std::string(kClearMark) + kHeading + kOctTask;
    for (int i = 0; i < n; ++i)
        s += attempt("515", "333");
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Menu, MenuTest,
    ::testing::Values(
        MenuCase{"OneRunsOctalPractice",
                 {"no\n", "1\n", "2\n", "1\n", "2\n"},
                 kPlainX,
                 octalAttempts(2),
                 -1,
                 1},
        MenuCase{"OneWithFailedCountRunsEleven",
                 {"no\n", "1\n", "x\n"},
                 kPlainX,
                 octalAttempts(11),
                 -1,
                 1},
        MenuCase{"OneThenCEndsBeforeTheExercise", {"no\n", "1\n"}, kUpperC, "", 0, 0},
        MenuCase{"TwoPrintsTheTable", {"no\n", "2\n"}, kPlainX, characterTable(), -1, 0},
        MenuCase{"HexTwoIsTwo", {"no\n", "0x2\n"}, kPlainX, characterTable(), -1, 0},
        MenuCase{"OctalTwoIsTwo", {"no\n", "02\n"}, kPlainX, characterTable(), -1, 0},
        MenuCase{"ThreeThenC",
                 {"no\n", "3\n"},
                 kUpperC,
                 std::string(kClearMark) + "\n\npremi 'C' per uscire",
                 0,
                 1},
        MenuCase{"ThreeThenOther",
                 {"no\n", "3\n"},
                 kPlainX,
                 std::string(kClearMark) + "\n\npremi 'C' per uscire" + kNotChosen,
                 -1,
                 1},
        MenuCase{"OctalTenIsEight", {"no\n", "010\n"}, kPlainX, kNotChosen, -1, 0},
        MenuCase{"Zero", {"no\n", "0\n"}, kPlainX, kNotChosen, -1, 0},
        MenuCase{"Four", {"no\n", "4\n"}, kPlainX, kNotChosen, -1, 0},
        MenuCase{"Negative", {"no\n", "-1\n"}, kPlainX, kNotChosen, -1, 0},
        MenuCase{"FailedReadIsNotChosen", {"no\n", "tre\n"}, kPlainX, kNotChosen, -1, 0},
        MenuCase{"AltCIsJudgedByItsFirstHalf",
                 {"no\n", "4\n"},
                 KeyPress{Key::C, mod::kAlt, U'c'},
                 kNotChosen,
                 -1,
                 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Menu, SecondSiPutsTwoTabsBeforeTheNotice) {
    FakeConsole f{"si\n", "4\n"};
    f.typeKey('x');
    DrillState state;
    Practice practice;
    offerMenu(state, f.console, practice);
    EXPECT_EQ(f.sink.bytes, notice(true) + kNotChosen);
    EXPECT_EQ(state.counter, 11);
}

TEST(Menu, CharacterTableWritesDecimalWhateverTheRadix) {
    FakeConsole f;
    f.out.setRadix(Radix::Hex);
    printCharacterTable(f.out);
    EXPECT_EQ(f.sink.bytes, characterTable());
    EXPECT_EQ(f.out.radix(), Radix::Dec);
}

// Whole runs through the driver.
struct RunCase {
    const char* name;
    std::vector<std::string> input;
    std::vector<KeyPress> keys;
    std::string afterOpening;
    bool rings;  // else ends with status 0
};

// Test output names the case rather than dumping its bytes.
void PrintTo(const RunCase& c, std::ostream* os) {
    *os << c.name;
}

class RunTest : public ::testing::TestWithParam<RunCase> {};

TEST_P(RunTest, FromTheOpeningToTheEnd) {
    const RunCase& c = GetParam();
    FakeConsole f;
    for (const std::string& line : c.input)
        f.source.chunks.push_back(line);
    for (const KeyPress& k : c.keys)
        f.pressKey(k);
    f.sink.stopAfterBells = 11 + 50;
    std::string expected = openingText() + c.afterOpening;
    if (c.rings) {
        EXPECT_THROW(runDrill(f.console), RingStopped);
        expected += std::string(50, '\a');
    } else {
        try {
            runDrill(f.console);
        } catch (const ExitCalled& e) {
            EXPECT_EQ(e.status, 0);
        }
    }
    EXPECT_EQ(f.sink.bytes, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Driver, RunTest,
    ::testing::Values(RunCase{"PracticeThenCloseWithC",
                              {"si\n", "1\n", "9\n", "\n", "4\n"},
                              {kPlainX, kUpperC},
                              kOffer + std::string(kClearMark) + kHeading + kHexTask +
                                  attempt("14d", "333") + notice(false) + kNotChosen + kClosing,
                              false},
                      RunCase{"EndOfInputRepeatsTheFirstReply",
                              {"si\n", "0\n"},
                              {kPlainX, kUpperC},
                              kOffer + std::string(kClearMark) + kHeading + kHexTask +
                                  notice(true) + kNotChosen + kClosing,
                              false},
                      RunCase{"F9AtTheMenuEndsAtTheClosing",
                              {"no\n", "no\n", "2\n"},
                              {KeyPress{Key::F9, 0, 0}},
                              kOffer + kOtherSystems + notice(false) + characterTable() + kClosing,
                              false},
                      RunCase{"F1AtTheMenuRingsAtTheClosing",
                              {"no\n", "no\n", "4\n"},
                              {KeyPress{Key::F1, 0, 0}},
                              kOffer + kOtherSystems + notice(false) + kNotChosen + kClosing,
                              true},
                      RunCase{"CAtTheMenu",
                              {"no\n", "no\n", "3\n"},
                              {kUpperC},
                              kOffer + kOtherSystems + notice(false) + std::string(kClearMark) +
                                  "\n\npremi 'C' per uscire",
                              false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace basedrill
