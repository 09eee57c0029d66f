#include "console/readers.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "console/console_out.h"
#include "fakes.h"

namespace basedrill {
namespace {

using testing::ScriptedSource;
using testing::StringSink;

constexpr std::int32_t kUntouched = 777;

// Input as a terminal delivers it: one chunk per typed line. Each read's result is a value, or
// nothing for a failed read; `source.reads` tells whether a read waited for a line.
struct NumberCase {
    const char* name;
    std::vector<std::string> lines;
    std::vector<std::optional<std::int32_t>> results;
    int linesTaken;  // how many typed lines the reads consumed
};

// Test output names the case rather than dumping its bytes.
void PrintTo(const NumberCase& c, std::ostream* os) {
    *os << c.name;
}

class ReadNumberTest : public ::testing::TestWithParam<NumberCase> {};

TEST_P(ReadNumberTest, GivesValuesAndLeavesTheRest) {
    const NumberCase& c = GetParam();
    ScriptedSource source;
    for (const std::string& line : c.lines)
        source.chunks.push_back(line);
    StringSink sink;
    ConsoleOut out(sink, false);
    TextInput input(source);
    NumberReader reader(input, out);
    for (std::size_t i = 0; i < c.results.size(); ++i) {
        SCOPED_TRACE("read " + std::to_string(i + 1));
        std::int32_t target = kUntouched;
        reader.readNumber(target);
        if (c.results[i]) {
            EXPECT_FALSE(reader.failed());
            EXPECT_EQ(target, *c.results[i]);
        } else {
            EXPECT_TRUE(reader.failed());
            EXPECT_EQ(target, kUntouched);
        }
    }
    EXPECT_EQ(static_cast<int>(c.lines.size() - source.chunks.size()), c.linesTaken);
}

const std::nullopt_t kFails = std::nullopt;

INSTANTIATE_TEST_SUITE_P(
    NumberReader, ReadNumberTest,
    ::testing::Values(
        NumberCase{"Decimal", {"12\n"}, {12}, 1},
        NumberCase{"LeadingBlanksAndMinus", {"  -7\n"}, {-7}, 1},
        NumberCase{"Plus", {"+5\n"}, {5}, 1},
        NumberCase{"HexPrefixes", {"0x1A\n", "0X1a\n", "0x1a\n"}, {26, 26, 26}, 3},
        NumberCase{"OctalAndZero", {"017\n", "010\n", "0\n", "00\n"}, {15, 8, 0, 0}, 4},
        NumberCase{"ZeroEightLeavesTheEight", {"08\n", "99\n"}, {0, 8}, 1},
        NumberCase{"OctalStopsAtNine", {"019\n"}, {1, 9}, 1},
        NumberCase{"PrefixWithoutDigitsFails", {"0x\n", "5\n"}, {kFails, kFails}, 1},
        NumberCase{"BlankAfterSignFails", {"- 5\n", "6\n"}, {kFails, kFails}, 1},
        NumberCase{"LettersFail", {"abc\n", "6\n"}, {kFails, kFails}, 1},
        NumberCase{"DigitsThenLetters", {"12abc\n"}, {12, kFails}, 1},
        NumberCase{"TwoNumbersOnOneLine", {"3 5\n", "9\n"}, {3, 5}, 1},
        NumberCase{"LineFeedLeftByOneReadIsSkippedByTheNext", {"3\n", "4\n"}, {3, 4}, 2},
        NumberCase{
            "WrapsModulo2To32",
            {"4294967296\n", "4294967295\n", "2147483648\n", "-2147483648\n", "0xFFFFFFFF\n"},
            {0, -1, -2147483647 - 1, -2147483647 - 1, -1},
            5},
        NumberCase{"EmptyLinesKeepItWaiting", {"\n", "   \n", "42\n"}, {42}, 3},
        NumberCase{"EndOfInputFails", {}, {kFails}, 0},
        NumberCase{"EndAfterDigitsEndsTheNumber", {"12"}, {12}, 1},
        NumberCase{"ZeroAtEndOfInput", {"0"}, {0}, 1},
        NumberCase{"SignAtEndOfInputFails", {"-"}, {kFails}, 1},
        NumberCase{"BytesFrom128AreNotDigitsOrBlanks",
                   {"\xa0"
                    "5\n"},
                   {kFails},
                   1},
        NumberCase{"CarriageReturnsAreDropped", {"1\r2\r\n"}, {12}, 1},
        NumberCase{"Byte26EndsTheInput",
                   {"7\x1a"
                    "8\n",
                    "9\n"},
                   {7, kFails},
                   1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(NumberReader, FlushesOutputBeforeReadingUnlessFailed) {
    ScriptedSource source{"x\n"};
    StringSink sink;
    ConsoleOut out(sink, false);
    TextInput input(source);
    NumberReader reader(input, out);
    out.writeText("prompt");
    std::int32_t target = 0;
    reader.readNumber(target);
    EXPECT_EQ(sink.bytes, "prompt");
    out.writeText("more");
    const int readsBefore = source.reads;
    reader.readNumber(target);
    EXPECT_EQ(sink.bytes, "prompt") << "a failed reader neither flushes";
    EXPECT_EQ(source.reads, readsBefore) << "nor reads";
}

struct LineFixture {
    explicit LineFixture(std::initializer_list<std::string> chunks) : source(chunks) {}
    ScriptedSource source;
    StringSink sink;
    ConsoleOut out{sink, false};
    TextInput input{source};
    NumberReader numbers{input, out};
    LineReader lines{input};
};

TEST(LineReader, ReadsWholeLines) {
    LineFixture f{"si\n", "si\r\n", "\n", "Si\n", "sii\n", "si \n", "s"};
    const struct {
        const char* kept;
        bool longer;
        bool yes;
    } expected[] = {{"si", false, true},  {"si", false, true}, {"", false, false},
                    {"Si", false, false}, {"si", true, false}, {"si", true, false},
                    {"s", false, false}};
    for (const auto& e : expected) {
        SCOPED_TRACE(e.kept);
        Reply reply;
        ASSERT_TRUE(f.lines.readLine(reply));
        EXPECT_EQ(reply.kept(), e.kept);
        EXPECT_EQ(reply.longer(), e.longer);
        EXPECT_EQ(reply.equals("si"), e.yes);
    }
}

TEST(LineReader, NoLineAtEndOfInputKeepsTheReply) {
    LineFixture f{};
    Reply reply;
    reply.append('o');
    reply.append('k');
    EXPECT_FALSE(f.lines.readLine(reply));
    EXPECT_TRUE(reply.equals("ok"));
    EXPECT_FALSE(f.lines.readFailed()) << "running out is not a failure";
}

TEST(LineReader, FailedReadIsFinalAndKeepsTheReply) {
    LineFixture f{"partial"};
    f.source.failAtEnd = true;
    Reply reply;
    reply.append('n');
    EXPECT_FALSE(f.lines.readLine(reply));
    EXPECT_TRUE(f.lines.readFailed());
    EXPECT_EQ(reply.kept(), "n");
    f.source.chunks.push_back("si\n");
    EXPECT_FALSE(f.lines.readLine(reply)) << "a failed reader reads nothing more";
    EXPECT_EQ(reply.kept(), "n");
}

TEST(LineReader, NulInsideALineIsKeptAndNeverYes) {
    LineFixture f{std::string("s\0\n", 3)};
    Reply reply;
    ASSERT_TRUE(f.lines.readLine(reply));
    EXPECT_EQ(reply.kept(), std::string_view("s\0", 2));
    EXPECT_FALSE(reply.equals("si"));
}

TEST(LineReader, WaitsForANewLineAfterANumber) {
    // The rest of the number's line stays with the number reader.
    LineFixture f{"3\n", "si\n", "4\n"};
    std::int32_t n = 0;
    f.numbers.readNumber(n);
    Reply reply;
    ASSERT_TRUE(f.lines.readLine(reply));
    EXPECT_TRUE(reply.equals("si"));
    f.numbers.readNumber(n);
    EXPECT_EQ(n, 4);
}

TEST(LineReader, EachRefillTakesOneLineEvenFromAPipe) {
    // A pipe delivers many lines in one read; the readers still take them one at a time, in
    // the order they ask, as if typed.
    LineFixture f{"si\n2\n10\n"};
    Reply reply;
    ASSERT_TRUE(f.lines.readLine(reply));
    EXPECT_TRUE(reply.equals("si"));
    std::int32_t count = 0, answer = 0;
    f.numbers.readNumber(count);
    f.numbers.readNumber(answer);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(answer, 10);
}

TEST(LineReader, ByteTwentySixEndsBothReaders) {
    LineFixture f{
        "ab\x1a"
        "cd\n",
        "si\n"};
    Reply reply;
    ASSERT_TRUE(f.lines.readLine(reply));
    EXPECT_EQ(reply.kept(), "ab");
    EXPECT_FALSE(f.lines.readLine(reply));
    std::int32_t n = kUntouched;
    f.numbers.readNumber(n);
    EXPECT_TRUE(f.numbers.failed());
    EXPECT_EQ(reply.kept(), "ab");
}

// A source of one endless line: the reader must keep to its fixed buffers.
class EndlessLine : public ByteSource {
  public:
    explicit EndlessLine(std::size_t total) : left_(total) {}
    long read(char* buffer, std::size_t capacity) override {
        if (left_ == 0) return 0;
        const std::size_t n = std::min(capacity, left_);
        std::fill_n(buffer, n, 's');
        left_ -= n;
        if (left_ == 0) buffer[n - 1] = '\n';
        return static_cast<long>(n);
    }

  private:
    std::size_t left_;
};

TEST(LineReader, HundredMegabyteLineInFixedMemory) {
    EndlessLine source(100u << 20);
    TextInput input(source);
    LineReader lines(input);
    Reply reply;
    ASSERT_TRUE(lines.readLine(reply));
    EXPECT_EQ(reply.kept(), "ss");
    EXPECT_TRUE(reply.longer());
    EXPECT_FALSE(lines.readLine(reply));
}

}  // namespace
}  // namespace basedrill
