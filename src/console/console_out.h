// The one formatted channel to standard output.
//
// It holds the formatting state that the drill's stages hand on to each other: the base in which
// integers are written and the fill character persist until changed; a field width applies to the
// next formatted write only. Bytes reach standard output at once when it is a terminal; otherwise
// they go out in blocks of 512, at flush() and at the orderly exit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace basedrill {

// Where the channel's bytes go: standard output in the program, a string in tests.
class ByteSink {
  public:
    virtual ~ByteSink() = default;
    // Hands all of `bytes` on; false when the destination refused any of them (an error or a
    // short write).
    virtual bool write(std::string_view bytes) = 0;
};

enum class Radix : std::uint8_t { Unset, Dec, Hex, Oct };

class ConsoleOut {
  public:
    static constexpr std::size_t kBlockSize = 512;

    // `unitBuffered`: standard output is a terminal, so every write is handed on before it returns.
    ConsoleOut(ByteSink& sink, bool unitBuffered) : sink_(sink), unitBuffered_(unitBuffered) {}
    ConsoleOut(const ConsoleOut&) = delete;
    ConsoleOut& operator=(const ConsoleOut&) = delete;

    void setRadix(Radix r) { radix_ = r; }
    void setFill(char c) { fill_ = c; }
    void setWidth(std::int32_t w) { width_ = w; }

    // The formatted writes: each uses up the width, putting fill characters before the field.
    void writeText(std::string_view text);
    void writeInt(std::int32_t value);
    void writeByte(unsigned char byte);

    // Hands every pending byte on.
    void flush();

    Radix radix() const { return radix_; }
    char fill() const { return fill_; }
    std::int32_t width() const { return width_; }
    bool unitBuffered() const { return unitBuffered_; }
    bool failed() const { return failed_; }

  private:
    void formattedWrite(std::string_view field);
    void put(char c);
    void handOn();

    ByteSink& sink_;
    const bool unitBuffered_;
    Radix radix_ = Radix::Unset;
    char fill_ = ' ';
    std::int32_t width_ = 0;
    bool failed_ = false;
    char pending_[kBlockSize] = {};
    std::size_t pendingLen_ = 0;
};

}  // namespace basedrill
