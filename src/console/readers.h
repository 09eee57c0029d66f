// The two readers of standard input: NumberReader for numbers, LineReader for reply lines.
//
// Both take their bytes through one text-mode layer (TextInput) and keep buffers of their own, so
// neither sees what the other has buffered. Each refill brings at most 512 bytes and at most one
// line, whether standard input is a terminal, a pipe or a file: a piped transcript is read exactly
// as if it were typed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace basedrill {

class ConsoleOut;

// Where input bytes come from: standard input in the program, a script in tests.
class ByteSource {
  public:
    virtual ~ByteSource() = default;
    // Reads at most `capacity` bytes into `buffer`: the count read, 0 at end of input, or -1 when
    // the read failed.
    virtual long read(char* buffer, std::size_t capacity) = 0;
};

// The text-mode layer under both readers: carriage returns are dropped, and a byte 26 ends the
// input for the rest of the run.
class TextInput {
  public:
    static constexpr std::size_t kRefillSize = 512;

    explicit TextInput(ByteSource& source) : source_(source) {}
    TextInput(const TextInput&) = delete;
    TextInput& operator=(const TextInput&) = delete;

    // Fills `buffer` with at most `capacity` bytes and at most one line (up to and including its
    // line feed): the count, 0 when the input gives nothing (end of input), -1 when a read failed.
    long refill(char* buffer, std::size_t capacity);

  private:
    ByteSource& source_;
    char ahead_[4096] = {};  // bytes read from the source and not yet handed to a reader
    std::size_t aheadPos_ = 0;
    std::size_t aheadLen_ = 0;
    bool ended_ = false;  // a byte 26 was read
};

class NumberReader {
  public:
    NumberReader(TextInput& input, ConsoleOut& out) : input_(input), out_(out) {}
    NumberReader(const NumberReader&) = delete;
    NumberReader& operator=(const NumberReader&) = delete;

    // Reads one integer, finding its base from how it is written (0x: hexadecimal, a leading 0:
    // octal, else decimal). On failure `target` keeps its value and the reader stays failed: every
    // later call returns at once.
    void readNumber(std::int32_t& target);
    bool failed() const { return failed_; }

  private:
    int peek();  // the next character, or -1 at end of input
    void take() { ++pos_; }

    TextInput& input_;
    ConsoleOut& out_;
    char buf_[TextInput::kRefillSize] = {};
    std::size_t pos_ = 0;
    std::size_t len_ = 0;
    bool failed_ = false;
};

// A reply line as the drill keeps it: room for two characters, and a mark that the line was
// longer, so that a longer line never equals a text that fits the room.
class Reply {
  public:
    static constexpr std::size_t kRoom = 2;

    bool equals(std::string_view text) const {
        return !longer_ && text.size() == length_ && text == std::string_view(chars_, length_);
    }
    std::string_view kept() const { return {chars_, length_}; }
    bool longer() const { return longer_; }

    void clear() { length_ = 0, longer_ = false; }
    void append(char c) {
        if (length_ < kRoom)
            chars_[length_++] = c;
        else
            longer_ = true;
    }

  private:
    char chars_[kRoom] = {};
    std::size_t length_ = 0;
    bool longer_ = false;
};

class LineReader {
  public:
    explicit LineReader(TextInput& input) : input_(input) {}
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    // Reads one line, without its line feed, into `reply`: true when a line was read. At end of
    // input before any character, or once a read has failed, `reply` keeps what it held.
    bool readLine(Reply& reply);
    bool readFailed() const { return readFailed_; }

  private:
    TextInput& input_;
    char buf_[TextInput::kRefillSize] = {};
    std::size_t pos_ = 0;
    std::size_t len_ = 0;
    bool readFailed_ = false;
};

}  // namespace basedrill
