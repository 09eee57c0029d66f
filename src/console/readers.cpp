#include "console/readers.h"

#include "console/console_out.h"

namespace basedrill {

namespace {

constexpr char kEndOfInput = 26;

bool isSpace(int c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// The value of `c` as a digit of `base`, or -1.
int digitValue(int c, unsigned base) {
    int d = -1;
    if (c >= '0' && c <= '9')
        d = c - '0';
    else if (c >= 'a' && c <= 'f')
        d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
        d = c - 'A' + 10;
    return d >= 0 && static_cast<unsigned>(d) < base ? d : -1;
}

}  // namespace

long TextInput::refill(char* buffer, std::size_t capacity) {
    std::size_t n = 0;
    while (n == 0 && capacity > 0) {
        if (ended_) return 0;
        if (aheadPos_ == aheadLen_) {
            const long got = source_.read(ahead_, sizeof ahead_);
            if (got < 0) return -1;
            if (got == 0) return 0;
            aheadPos_ = 0;
            aheadLen_ = static_cast<std::size_t>(got);
        }
        // Hand over what this read brought, up to one line; a read of nothing but carriage
        // returns hands over nothing and the next one is tried.
        while (aheadPos_ < aheadLen_ && n < capacity) {
            const char c = ahead_[aheadPos_++];
            if (c == '\r') continue;
            if (c == kEndOfInput) {
                ended_ = true;
                aheadPos_ = aheadLen_;
                return static_cast<long>(n);
            }
            buffer[n++] = c;
            if (c == '\n') return static_cast<long>(n);
        }
    }
    return static_cast<long>(n);
}

int NumberReader::peek() {
    if (pos_ == len_) {
        const long n = input_.refill(buf_, sizeof buf_);
        if (n <= 0) return -1;
        pos_ = 0;
        len_ = static_cast<std::size_t>(n);
    }
    return static_cast<unsigned char>(buf_[pos_]);
}

void NumberReader::readNumber(std::int32_t& target) {
    if (failed_) return;
    // Number input is tied to the output channel: whatever prompt is pending goes out first.
    out_.flush();

    int c = peek();
    while (c != -1 && isSpace(c)) {
        take();
        c = peek();
    }
    if (c == -1) {
        failed_ = true;
        return;
    }

    bool negative = false;
    if (c == '+' || c == '-') {
        negative = c == '-';
        take();
        c = peek();
    }

    unsigned base = 10;
    if (c == '0') {
        take();
        c = peek();
        if (c == 'x' || c == 'X') {
            take();
            c = peek();
            base = 16;
        } else if (c >= '0' && c <= '7') {
            base = 8;
        } else {
            target = 0;  // a lone 0; what follows it stays unread
            return;
        }
    }

    if (digitValue(c, base) < 0) {
        failed_ = true;
        return;
    }
    // Wraps modulo 2^32, with no range check.
    std::uint32_t value = 0;
    for (int d; (d = digitValue(c, base)) >= 0; c = peek()) {
        value = value * base + static_cast<std::uint32_t>(d);
        take();
    }
    if (negative) value = 0u - value;
    target = static_cast<std::int32_t>(value);
}

bool LineReader::readLine(Reply& reply) {
    if (readFailed_) return false;
    Reply line;
    bool tookAny = false;
    for (;;) {
        if (pos_ == len_) {
            const long n = input_.refill(buf_, sizeof buf_);
            if (n < 0) {
                readFailed_ = true;
                return false;
            }
            if (n == 0) {
                if (!tookAny) return false;
                break;  // the input ended inside a line: that much is the line
            }
            pos_ = 0;
            len_ = static_cast<std::size_t>(n);
        }
        const char c = buf_[pos_++];
        tookAny = true;
        if (c == '\n') break;
        line.append(c);
    }
    reply = line;
    return true;
}

}  // namespace basedrill
