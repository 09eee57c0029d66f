#include "console/console_out.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "fakes.h"

namespace basedrill {
namespace {

using testing::StringSink;

struct FormatCase {
    const char* name;
    std::function<void(ConsoleOut&)> write;
    std::string expected;
};

// Test output names the case rather than dumping its bytes.
void PrintTo(const FormatCase& c, std::ostream* os) {
    *os << c.name;
}

class FormatTest : public ::testing::TestWithParam<FormatCase> {};

TEST_P(FormatTest, WritesExactBytes) {
    StringSink sink;
    ConsoleOut out(sink, /*unitBuffered=*/false);
    GetParam().write(out);
    out.flush();
    EXPECT_EQ(sink.bytes, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    ConsoleOut, FormatTest,
    ::testing::Values(FormatCase{"UnsetIsDecimal", [](ConsoleOut& o) { o.writeInt(17); }, "17"},
                      FormatCase{"HexLowerCase",
                                 [](ConsoleOut& o) {
                                     o.setRadix(Radix::Hex);
                                     for (int v : {255, 10, 17, 0})
                                         o.writeInt(v), o.writeText(" ");
                                 },
                                 "ff a 11 0 "},
                      FormatCase{"Octal",
                                 [](ConsoleOut& o) {
                                     o.setRadix(Radix::Oct);
                                     for (int v : {255, 8, 17})
                                         o.writeInt(v), o.writeText(" ");
                                 },
                                 "377 10 21 "},
                      FormatCase{"LastRadixWins",
                                 [](ConsoleOut& o) {
                                     o.setRadix(Radix::Hex);
                                     o.setRadix(Radix::Oct);
                                     o.writeInt(9);
                                     o.setRadix(Radix::Dec);
                                     o.writeInt(9);
                                 },
                                 "119"},
                      FormatCase{"NegativeDecimal",
                                 [](ConsoleOut& o) {
                                     o.writeInt(-5);
                                     o.writeText(" ");
                                     o.writeInt(-2147483647 - 1);
                                 },
                                 "-5 -2147483648"},
                      FormatCase{"NegativeHexIsItsBitPattern",
                                 [](ConsoleOut& o) {
                                     o.setRadix(Radix::Hex);
                                     o.writeInt(-1);
                                 },
                                 "ffffffff"},
                      FormatCase{"WidthSurvivesRadixAndFill",
                                 [](ConsoleOut& o) {
                                     o.setWidth(25);
                                     o.setRadix(Radix::Dec);
                                     o.setFill('>');
                                     o.writeText("\t\t");
                                     o.writeText("\t\t");
                                 },
                                 std::string(23, '>') + "\t\t\t\t"},
                      FormatCase{"FillGoesBeforeTheSign",
                                 [](ConsoleOut& o) {
                                     o.setWidth(5);
                                     o.writeInt(-42);
                                 },
                                 "  -42"},
                      FormatCase{"LongerFieldIsNotCut",
                                 [](ConsoleOut& o) {
                                     o.setWidth(3);
                                     o.writeText("abcde");
                                     o.writeText("x");
                                 },
                                 "abcdex"},
                      FormatCase{"EmptyTextIsAllFill",
                                 [](ConsoleOut& o) {
                                     o.setFill('*');
                                     o.setWidth(4);
                                     o.writeText("");
                                 },
                                 "****"},
                      FormatCase{"WidthAppliesToByte",
                                 [](ConsoleOut& o) {
                                     o.setWidth(2);
                                     o.writeByte(65);
                                 },
                                 " A"},
                      FormatCase{"WidthZeroOrNegativeWritesNoFill",
                                 [](ConsoleOut& o) {
                                     o.setWidth(0);
                                     o.writeInt(1);
                                     o.setWidth(-7);
                                     o.writeInt(2);
                                 },
                                 "12"},
                      FormatCase{"WidthSurvivesFlush",
                                 [](ConsoleOut& o) {
                                     o.setWidth(3);
                                     o.flush();
                                     o.writeInt(7);
                                 },
                                 "  7"},
                      FormatCase{"BytesGoOutUnchanged",
                                 [](ConsoleOut& o) {
                                     for (int b : {0, 13, 255, 10, 7})
                                         o.writeByte(static_cast<unsigned char>(b));
                                 },
                                 std::string("\0\r\xff\n\a", 5)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ConsoleOutBlocks, NotATerminalGoesOutIn512ByteBlocks) {
    StringSink sink;
    ConsoleOut out(sink, /*unitBuffered=*/false);
    for (int i = 0; i < 512; ++i)
        out.writeText("x");
    EXPECT_TRUE(sink.writes.empty()) << "a full buffer waits for the next byte";
    out.writeText("yz");
    ASSERT_EQ(sink.writes, (std::vector<std::size_t>{512}));
    out.flush();
    EXPECT_EQ(sink.writes, (std::vector<std::size_t>{512, 2}));
    out.flush();
    EXPECT_EQ(sink.writes.size(), 2u) << "nothing pending, nothing handed on";
    EXPECT_EQ(sink.bytes, std::string(512, 'x') + "yz");
}

TEST(ConsoleOutBlocks, TerminalHandsOnEveryWriteWhole) {
    StringSink sink;
    ConsoleOut out(sink, /*unitBuffered=*/true);
    out.setFill('>');
    out.setWidth(25);
    out.writeText("\t\t");
    out.writeInt(333);
    out.writeText("\a");
    EXPECT_EQ(sink.writes, (std::vector<std::size_t>{25, 3, 1}));
}

TEST(ConsoleOutFailure, RefusedWriteSilencesTheChannel) {
    StringSink sink;
    sink.refuseAfter = 3;
    ConsoleOut out(sink, /*unitBuffered=*/true);
    out.writeText("ab");
    out.writeText("cd");  // only c is taken: a short write
    EXPECT_TRUE(out.failed());
    out.setWidth(10);
    out.writeText("ef");
    out.flush();
    EXPECT_EQ(sink.bytes, "abc");
    EXPECT_EQ(sink.writes.size(), 2u);
    EXPECT_EQ(out.width(), 10) << "a write that does nothing uses nothing up";
}

TEST(ConsoleOutFailure, FailedFlushDropsThePendingBytes) {
    StringSink sink;
    sink.refuseAfter = 0;
    ConsoleOut out(sink, /*unitBuffered=*/false);
    out.writeText("lost");
    out.flush();
    EXPECT_TRUE(out.failed());
    out.flush();
    EXPECT_EQ(sink.writes.size(), 1u) << "nothing is tried again";
}

TEST(ConsoleOutFailure, HugeWidthStaysWithinTheBuffer) {
    StringSink sink;
    sink.refuseAfter = 2000;
    ConsoleOut out(sink, /*unitBuffered=*/false);
    out.setWidth(2147483647);
    out.writeText("x");  // stops at the first refused block instead of filling 2 GB
    EXPECT_TRUE(out.failed());
    EXPECT_EQ(sink.bytes.size(), 2000u);
}

}  // namespace
}  // namespace basedrill
