// The terminal key decoder, fed arbitrary bytes in reads and pauses that the fuzz data chooses.
//
// Input: one byte of settings (bit 0: the kitty keyboard protocol; bits 1-2: the erase byte,
// DEL, BS, none or ^U), then the bytes the terminal sends. 0xFF starts a mark:
//   0xFF 0xFF        one byte 0xFF
//   0xFF 0x00-0x7F   a boundary between two reads
//   0xFF 0x80-0xFE   a pause longer than the Esc wait: the reader calls expire()
// The input always ends with a pause.
//
// The reader is driven the way the terminal keyboard drives it: it feeds at most room() bytes,
// asks next() until it gets no event, and at a pause, while next() says NeedMore, calls
// expire(). Checked:
//   - every press gives, through the key table, only what readKey may return;
//   - NeedMore always leaves room to feed; feed() takes all it is offered up to room(); the
//     buffer never holds more than its capacity; Empty means nothing is held;
//   - expire() never asks for more, and no event comes without a byte fed for it;
//   - where the reads split the bytes does not matter, only the pauses do: the same bytes fed
//     as the fuzz data splits them, fed whole between pauses, fed one byte per read, and (for
//     short inputs) split once at each point, give the same events;
//   - bytes without Esc, plain text, give the codes of their characters: ASCII its own code
//     (NUL the two-part code 0 then 3; DEL the Backspace key), UTF-8 its code point up to 255 and
//     nothing above, any byte that is no UTF-8 its Latin-1 code; a character cut off by a
//     pause gives its lead byte.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "console/key_decoder.h"
#include "console/key_table.h"
#include "fuzz_check.h"

namespace {

using basedrill::DecoderEvent;
using basedrill::Key;
using basedrill::KeyDecoder;
using basedrill::KeyPress;
using basedrill::KeyValue;
using basedrill::lookupKey;
using Kind = DecoderEvent::Kind;

constexpr std::size_t kAllSplitsUpTo = 24;

struct Settings {
    bool kitty = false;
    unsigned char erase = 0x7F;
};

// A point between two bytes: `at` bytes come before it.
struct Cut {
    std::size_t at;
    bool pause;
};

struct Input {
    Settings settings;
    std::vector<unsigned char> bytes;
    std::vector<Cut> cuts;  // in order; the last is always a pause at the end
};

Input parse(const std::uint8_t* data, std::size_t size) {
    Input in;
    if (size == 0) {
        in.cuts.push_back({0, true});
        return in;
    }
    static constexpr unsigned char kErase[] = {0x7F, 0x08, 0x00, 0x15};
    in.settings.kitty = (data[0] & 1) != 0;
    in.settings.erase = kErase[(data[0] >> 1) & 3];
    for (std::size_t i = 1; i < size; ++i) {
        if (data[i] != 0xFF) {
            in.bytes.push_back(data[i]);
            continue;
        }
        if (++i == size) break;
        if (data[i] == 0xFF)
            in.bytes.push_back(0xFF);
        else
            in.cuts.push_back({in.bytes.size(), data[i] >= 0x80});
    }
    in.cuts.push_back({in.bytes.size(), true});
    return in;
}

bool sameEvent(const DecoderEvent& a, const DecoderEvent& b) {
    return a.kind == b.kind && a.press == b.press && a.value == b.value;
}

bool sameEvents(const std::vector<DecoderEvent>& a, const std::vector<DecoderEvent>& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), sameEvent);
}

void checkPress(const KeyPress& p) {
    FUZZ_REQUIRE(p.key <= Key::Backquote, "a press of a key that does not exist");
    FUZZ_REQUIRE((p.mods & ~0x1Fu) == 0, "a press with modifier bits that do not exist");
    FUZZ_REQUIRE(p.delivered <= 0x10FFFF, "a press delivering no Unicode character");
    const KeyValue v = lookupKey(p);
    switch (v.kind) {
        case KeyValue::Kind::Skip:
            break;
        case KeyValue::Kind::Code:
            FUZZ_REQUIRE(v.code >= 0 && v.code <= 255, "a key code outside 0 to 255");
            break;
        case KeyValue::Kind::TwoPart:
            FUZZ_REQUIRE(v.code >= 1 && v.code <= 255, "a second half outside 1 to 255");
            break;
        default:
            FUZZ_REQUIRE(false, "a key value of no known kind");
    }
}

// Feeds `in.bytes` with reads split at every cut in `cuts` (pauses where they say so).
std::vector<DecoderEvent> decode(const Input& in, const std::vector<Cut>& cuts) {
    KeyDecoder decoder(in.settings.erase);
    decoder.setKittyProtocol(in.settings.kitty);
    std::vector<DecoderEvent> events;
    std::size_t fed = 0;

    const auto bounded = [&] {
        FUZZ_REQUIRE(decoder.room() <= KeyDecoder::kCapacity, "the decoder holds too much");
    };
    const auto collect = [&](const DecoderEvent& e) {
        FUZZ_REQUIRE(e.kind == Kind::Press || e.kind == Kind::KittyFlagsReply ||
                         e.kind == Kind::DeviceAttributesReply,
                     "an event of no known kind");
        if (e.kind == Kind::Press) checkPress(e.press);
        events.push_back(e);
        FUZZ_REQUIRE(events.size() <= fed, "more events than bytes fed");
    };
    // What the keyboard reader does after each read, and at a pause.
    const auto pull = [&](bool pause) {
        for (;;) {
            const DecoderEvent e = decoder.next();
            bounded();
            if (e.kind == Kind::Empty) {
                FUZZ_REQUIRE(decoder.room() == KeyDecoder::kCapacity, "Empty while bytes are held");
                if (pause) {
                    FUZZ_REQUIRE(decoder.expire().kind == Kind::Empty,
                                 "expire() with nothing held gave something");
                }
                return;
            }
            if (e.kind == Kind::NeedMore) {
                FUZZ_REQUIRE(decoder.room() > 0, "NeedMore with no room to feed");
                if (!pause) return;
                const DecoderEvent x = decoder.expire();
                bounded();
                FUZZ_REQUIRE(x.kind != Kind::NeedMore, "expire() asked for more");
                if (x.kind != Kind::Empty) collect(x);
                continue;
            }
            collect(e);
        }
    };

    std::size_t at = 0;
    for (const Cut& cut : cuts) {
        while (at < cut.at) {
            const std::size_t room = decoder.room();
            const std::size_t want = std::min(cut.at - at, room);
            const std::size_t took = decoder.feed(in.bytes.data() + at, want);
            FUZZ_REQUIRE(took == want, "feed() refused bytes it had room for");
            FUZZ_REQUIRE(decoder.room() == room - took, "feed() miscounted its room");
            at += took;
            fed += took;
            pull(false);
        }
        if (cut.pause) pull(true);
    }
    FUZZ_REQUIRE(decoder.room() == KeyDecoder::kCapacity, "bytes held after the final pause");
    return events;
}

std::vector<Cut> pausesOnly(const std::vector<Cut>& cuts) {
    std::vector<Cut> out;
    for (const Cut& c : cuts)
        if (c.pause) out.push_back(c);
    return out;
}

// A read boundary at every byte, the pauses where they were.
std::vector<Cut> everyByte(const Input& in) {
    std::vector<Cut> out;
    std::size_t next = 0;
    for (std::size_t at = 1; at <= in.bytes.size(); ++at) {
        for (; next < in.cuts.size() && in.cuts[next].at <= at; ++next)
            if (in.cuts[next].pause) out.push_back(in.cuts[next]);
        out.push_back({at, false});
    }
    for (; next < in.cuts.size(); ++next)
        if (in.cuts[next].pause) out.push_back(in.cuts[next]);
    return out;
}

std::vector<Cut> withSplit(const std::vector<Cut>& cuts, std::size_t at) {
    std::vector<Cut> out = cuts;
    const auto pos = std::find_if(out.begin(), out.end(), [at](const Cut& c) { return c.at > at; });
    out.insert(pos, Cut{at, false});
    return out;
}

// The code one text character gives; nothing when it gives nothing.
KeyValue textCode(unsigned c, const Settings& s) {
    if (c == 0x00) return {KeyValue::Kind::TwoPart, 3};
    if (c == 0x7F) return {KeyValue::Kind::Code, s.erase == 0x08 ? 127 : 8};
    if (c > 255) return {KeyValue::Kind::Skip, 0};
    return {KeyValue::Kind::Code, static_cast<int>(c)};
}

// The characters of bytes that hold no Esc: UTF-8 where it is well formed and complete before
// the next pause, else one Latin-1 character per byte.
std::vector<KeyValue> textCodes(const Input& in) {
    std::vector<KeyValue> out;
    std::size_t from = 0;
    for (const Cut& cut : pausesOnly(in.cuts)) {
        std::size_t i = from;
        while (i < cut.at) {
            const unsigned char b = in.bytes[i];
            std::size_t len = b < 0x80                ? 1
                              : b >= 0xC0 && b < 0xE0 ? 2
                              : b >= 0xE0 && b < 0xF0 ? 3
                              : b >= 0xF0 && b < 0xF8 ? 4
                                                      : 0;
            unsigned cp = b;
            if (len > 1) {
                cp = b & (0x7Fu >> len);
                for (std::size_t k = 1; k < len; ++k) {
                    if (i + k >= cut.at || (in.bytes[i + k] & 0xC0) != 0x80) {
                        len = 0;
                        break;
                    }
                    cp = (cp << 6) | (in.bytes[i + k] & 0x3Fu);
                }
            }
            static constexpr unsigned kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
            const bool wellFormed = len == 1 || (len > 1 && cp >= kLeast[len] && cp <= 0x10FFFF &&
                                                 !(cp >= 0xD800 && cp <= 0xDFFF));
            if (!wellFormed) {
                len = 1;
                cp = b;
            }
            out.push_back(textCode(cp, in.settings));
            i += len;
        }
        from = cut.at;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Input in = parse(data, size);
    const std::vector<DecoderEvent> asSplit = decode(in, in.cuts);
    const std::vector<Cut> pauses = pausesOnly(in.cuts);
    const std::vector<DecoderEvent> whole = decode(in, pauses);
    FUZZ_REQUIRE(sameEvents(asSplit, whole), "splitting the reads changed the events");
    FUZZ_REQUIRE(sameEvents(decode(in, everyByte(in)), whole),
                 "feeding one byte per read changed the events");
    if (in.bytes.size() <= kAllSplitsUpTo) {
        for (std::size_t at = 1; at < in.bytes.size(); ++at) {
            FUZZ_REQUIRE(sameEvents(decode(in, withSplit(pauses, at)), whole),
                         "one read boundary changed the events");
        }
    }

    if (std::find(in.bytes.begin(), in.bytes.end(), 0x1B) == in.bytes.end()) {
        const std::vector<KeyValue> want = textCodes(in);
        FUZZ_REQUIRE(want.size() == whole.size(), "text gave the wrong number of presses");
        for (std::size_t i = 0; i < want.size(); ++i) {
            FUZZ_REQUIRE(whole[i].kind == Kind::Press, "text gave an event that is no press");
            FUZZ_REQUIRE(lookupKey(whole[i].press) == want[i],
                         "a text character gave the wrong code");
        }
    }
    return 0;
}
