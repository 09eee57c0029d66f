#include "console/console_out.h"

#include <array>

namespace basedrill {

namespace {

// The sign and digits of `value` in `radix`, built backwards in `digits`; returns the field.
// The magnitude is taken as unsigned, so the smallest value needs no special case. Hexadecimal
// and octal write a negative value as its 32-bit pattern.
std::string_view formatInt(std::int32_t value, Radix radix, std::array<char, 12>& digits) {
    const unsigned base = radix == Radix::Hex ? 16 : radix == Radix::Oct ? 8 : 10;
    const bool negative = base == 10 && value < 0;
    std::uint32_t magnitude = static_cast<std::uint32_t>(value);
    if (negative) magnitude = 0u - magnitude;

    std::size_t start = digits.size();
    do {
        digits[--start] = "0123456789abcdef"[magnitude % base];
        magnitude /= base;
    } while (magnitude != 0);
    if (negative) digits[--start] = '-';
    return {digits.data() + start, digits.size() - start};
}

}  // namespace

void ConsoleOut::writeText(std::string_view text) {
    formattedWrite(text);
}

void ConsoleOut::writeInt(std::int32_t value) {
    std::array<char, 12> digits;
    formattedWrite(formatInt(value, radix_, digits));
}

void ConsoleOut::writeByte(unsigned char byte) {
    const char c = static_cast<char>(byte);
    formattedWrite({&c, 1});
}

void ConsoleOut::formattedWrite(std::string_view field) {
    if (failed_) return;
    const std::int32_t w = width_;
    width_ = 0;
    // A line feed goes out as the platform's line ending; that is the sink's business, and it
    // counts as one byte here.
    if (w > 0 && static_cast<std::uint32_t>(w) > field.size()) {
        for (std::size_t n = static_cast<std::uint32_t>(w) - field.size(); n > 0 && !failed_; --n)
            put(fill_);
    }
    for (std::size_t i = 0; i < field.size() && !failed_; ++i)
        put(field[i]);
    if (unitBuffered_) flush();
}

void ConsoleOut::put(char c) {
    if (pendingLen_ == kBlockSize) handOn();
    if (failed_) return;
    pending_[pendingLen_++] = c;
}

void ConsoleOut::flush() {
    if (pendingLen_ > 0) handOn();
}

void ConsoleOut::handOn() {
    // Bytes that the destination refused are dropped with the rest of the block; nothing is
    // tried again, since a failed channel takes no more bytes.
    if (!sink_.write({pending_, pendingLen_})) failed_ = true;
    pendingLen_ = 0;
}

}  // namespace basedrill
