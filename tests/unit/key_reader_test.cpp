#include <gtest/gtest.h>

#include "console/terminal.h"
#include "fakes.h"

namespace basedrill {
namespace {

using testing::ScriptedKeyboard;

constexpr KeyPress kF9{Key::F9, 0, 0};
constexpr KeyPress kAltC{Key::C, mod::kAlt, U'c'};
constexpr KeyPress kShiftAlone{Key::NoRow, mod::kShift, 0};

TEST(KeyReader, TwoPartCodeLeavesItsSecondHalfPending) {
    ScriptedKeyboard kb;
    kb.presses = {kF9, kAltC};
    KeyReader keys(kb);
    EXPECT_EQ(keys.readKey(), 0);
    EXPECT_EQ(keys.readKey(), 67) << "F9's second half, without a wait";
    EXPECT_EQ(kb.waits, 1);
    EXPECT_EQ(keys.readKey(), 0);
    EXPECT_EQ(keys.readKey(), 46);
    EXPECT_EQ(kb.waits, 2);
    EXPECT_FALSE(kb.raw);
}

TEST(KeyReader, PressesThatGiveNothingAreSkipped) {
    ScriptedKeyboard kb;
    kb.presses = {kShiftAlone, KeyPress{Key::F1, 0, 0}};
    KeyReader keys(kb);
    EXPECT_EQ(keys.readKey(), 0);
    EXPECT_EQ(keys.readKey(), 59);
}

TEST(KeyReader, NoTerminalGivesMinusOneAtOnce) {
    ScriptedKeyboard kb;
    kb.open = false;
    kb.presses = {kF9};
    KeyReader keys(kb);
    EXPECT_EQ(keys.readKey(), -1);
    EXPECT_EQ(kb.waits, 0);
}

TEST(KeyReader, ModeThatCannotBeSwitchedGivesMinusOne) {
    ScriptedKeyboard kb;
    kb.rawFails = true;
    kb.presses = {kF9};
    KeyReader keys(kb);
    EXPECT_EQ(keys.readKey(), -1);
    EXPECT_EQ(kb.presses.size(), 1u) << "nothing was read";
}

TEST(KeyReader, FailedReadGivesMinusOneWithTheModeRestored) {
    ScriptedKeyboard kb;
    kb.presses = {std::nullopt};
    KeyReader keys(kb);
    EXPECT_EQ(keys.readKey(), -1);
    EXPECT_FALSE(kb.raw);
}

TEST(KeyReader, FailedRestoreGivesMinusOneAndKeepsThePendingHalf) {
    ScriptedKeyboard kb;
    kb.restoreFails = true;
    kb.presses = {kF9};
    KeyReader keys(kb);
    EXPECT_EQ(keys.readKey(), -1);
    EXPECT_EQ(keys.readKey(), 67);
}

}  // namespace
}  // namespace basedrill
