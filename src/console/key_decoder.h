// Turns the bytes a terminal sends into key presses. Pure: it never reads a descriptor or a
// clock. The terminal reader feeds it what arrives, asks for the next event, and when the decoder
// is waiting for the rest of a sequence, waits at most kEscTimeout before calling expire().
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "console/key_table.h"

namespace basedrill {

// How long a lone Esc waits for the rest of a sequence before it counts as the Esc key.
inline constexpr std::chrono::milliseconds kEscTimeout{50};

struct DecoderEvent {
    enum class Kind : std::uint8_t {
        Empty,            // nothing buffered
        NeedMore,         // the buffered bytes are the start of a sequence: feed more, or expire()
        Press,            // `press` is a key press
        KittyFlagsReply,  // a reply to the keyboard-protocol query; `value` holds its flags
        DeviceAttributesReply,  // a reply to the primary device attributes query
    };
    Kind kind = Kind::Empty;
    KeyPress press{};
    int value = 0;
};

class KeyDecoder {
  public:
    // Most bytes the decoder holds; feed() never takes more than room() bytes.
    static constexpr std::size_t kCapacity = 256;

    // `eraseByte` is the terminal's erase character (what its Backspace key sends), read from the
    // terminal mode before it is switched to raw.
    explicit KeyDecoder(unsigned char eraseByte = 0x7F) : erase_(eraseByte) {}

    void setEraseByte(unsigned char b) { erase_ = b; }
    // Whether the terminal reports keys with the kitty keyboard protocol (modifier bit 8 is then
    // Super, not Meta/Alt, and releases come as events to skip).
    void setKittyProtocol(bool on) { kitty_ = on; }

    std::size_t room() const { return kCapacity - len_; }
    // Appends at most room() bytes; returns how many were taken.
    std::size_t feed(const unsigned char* data, std::size_t n);

    // The next event from what is buffered. Unknown sequences and events that are no key press
    // (releases, modifier keys alone) are consumed silently.
    DecoderEvent next();
    // The wait for more bytes ran out: what is buffered is taken as it stands (a lone Esc is the
    // Esc key, Esc and '[' is Alt+[, a cut-off sequence is dropped). Returns the next event.
    DecoderEvent expire();

  private:
    // The next event; `atTimeout` takes a cut-off sequence at the head as it stands.
    DecoderEvent decode(bool atTimeout);
    void consume(std::size_t n);

    unsigned char buf_[kCapacity] = {};
    std::size_t len_ = 0;
    unsigned char erase_;
    bool kitty_ = false;
    // Inside a sequence too long to hold: its remaining bytes are dropped up to its final byte,
    // by the rules of the kind of sequence it is.
    enum class Discard : std::uint8_t { None, Csi, Ss3 };
    Discard discarding_ = Discard::None;
};

}  // namespace basedrill
