// Key decoding for terminals: bytes in, key presses out. CSI is ESC [ and SS3 is ESC O.
//
// What is recognised:
//   0x20-0x7E       the key with that US cap; an upper-case letter or a shifted symbol adds Shift
//   C0 bytes, DEL   Ctrl+letter, Tab, Enter, Esc, Ctrl+Space (0x00), Ctrl+\ ] 6 - (0x1C-0x1F);
//                   the erase byte is Backspace, the other of 0x08 / 0x7F is Ctrl+H or
//                   Ctrl+Backspace (see controlPress)
//   UTF-8           one character, no row (a key the table does not list); U+00A0-U+00FF is
//                   text (à è é ì ò ù), never taken for an 8-bit Meta key
//   other 0x80-0xFF one Latin-1 character, no row
//   ESC + key       that key with Alt: ESC c, ESC DEL, ESC ESC, ESC + a CSI or SS3 sequence
//   CSI A-D H F E G arrows, Home, End, keypad 5 ("Begin", Linux G); CSI 1;m X adds modifiers
//   CSI P-S         F1-F4; CSI [A-[E (Linux) F1-F5
//   CSI n~          Home 1 7, Insert 2, Delete 3, End 4 8, PgUp 5, PgDn 6, F1-F12 11-24,
//                   Shift+F3-F10 25-34; CSI n;m~ adds modifiers
//   CSI n$ ^ @      the same keys with Shift, Ctrl, Ctrl+Shift; CSI a-d Shift+arrow,
//                   SS3 a-d Ctrl+arrow; CSI Z Shift+Tab
//   SS3 A-D H F E P-S, and the application keypad SS3 M j-o p-y X, with modifier digits
//   CSI 27;m;k~     a character key with modifiers, k its character code
//   CSI k[:s[:b]];m[:e];t u   the same, and every report of the kitty keyboard protocol
//   CSI ? f u       the reply to the keyboard-protocol query; CSI ? ... c, device attributes
// Anything else that has the shape of a sequence is consumed and gives nothing; so is a
// sequence longer than kMaxSequence, however long it goes on.
//
// When the wait for the rest runs out (expire): a lone ESC is Esc, ESC [ is Alt+[, ESC O is
// Alt+Shift+O, ESC ESC is Alt+Esc; a cut-off sequence is dropped; a cut-off UTF-8 character gives
// its lead byte as a Latin-1 character.
#include "console/key_decoder.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

namespace basedrill {

namespace {

using Kind = DecoderEvent::Kind;

constexpr std::uint8_t kS = mod::kShift;
constexpr std::uint8_t kA = mod::kAlt;
constexpr std::uint8_t kC = mod::kCtrl;

constexpr unsigned char kEscByte = 0x1B;
constexpr unsigned char kBsByte = 0x08;
constexpr unsigned char kDelByte = 0x7F;

// The longest sequence taken as a key. A longer one is nobody's key: it is dropped, and if it
// has not ended yet, its remaining bytes are dropped as they come. Being well under the
// capacity, it keeps room for new bytes whenever the decoder waits for the rest of a sequence.
constexpr std::size_t kMaxSequence = 128;
static_assert(kMaxSequence < KeyDecoder::kCapacity);

// Numbers in a sequence stop growing here: no key needs a larger one.
constexpr int kNumberCeiling = 10'000'000;

// The kitty keyboard protocol numbers keys that type no character from here on (a Unicode
// private-use block).
constexpr int kFirstFunctional = 57344;
constexpr int kLastFunctional = 63743;

constexpr bool isFinalByte(unsigned char b) {
    return b >= 0x40 && b <= 0x7E;
}
constexpr bool isDigit(unsigned char b) {
    return b >= '0' && b <= '9';
}
constexpr Key keyAfter(Key first, int i) {
    return static_cast<Key>(static_cast<int>(first) + i);
}
constexpr unsigned char byteOf(char c) {
    return static_cast<unsigned char>(c);
}

// ---------------------------------------------------------------------------------------------
// Which key sends which character or byte.

struct CharKey {
    Key key = Key::NoRow;
    std::uint8_t mods = 0;
};

// The punctuation keys by the characters on their US caps.
struct PunctuationCap {
    char plain;
    char shifted;
    Key key;
};
constexpr PunctuationCap kPunctuationCaps[] = {
    {'`', '~', Key::Backquote},   {'-', '_', Key::Minus},        {'=', '+', Key::Equals},
    {'[', '{', Key::LeftBracket}, {']', '}', Key::RightBracket}, {'\\', '|', Key::Backslash},
    {';', ':', Key::Semicolon},   {'\'', '"', Key::Apostrophe},  {',', '<', Key::Comma},
    {'.', '>', Key::Period},      {'/', '?', Key::Slash},
};
// The shifted symbols of the digit keys 0 to 9.
constexpr char kShiftedDigits[] = ")!@#$%^&*(";

// Every printable ASCII character by the US key that types it.
constexpr std::array<CharKey, 128> kCharKeys = [] {
    std::array<CharKey, 128> keys{};
    keys[' '] = {Key::Space, 0};
    for (int i = 0; i < 26; ++i) {
        keys['a' + i] = {keyAfter(Key::A, i), 0};
        keys['A' + i] = {keyAfter(Key::A, i), kS};
    }
    for (int i = 0; i < 10; ++i) {
        keys['0' + i] = {keyAfter(Key::Digit0, i), 0};
        keys[byteOf(kShiftedDigits[i])] = {keyAfter(Key::Digit0, i), kS};
    }
    for (const PunctuationCap& cap : kPunctuationCaps) {
        keys[byteOf(cap.plain)] = {cap.key, 0};
        keys[byteOf(cap.shifted)] = {cap.key, kS};
    }
    return keys;
}();

constexpr bool everyPrintableHasAKey() {
    for (int c = 0x20; c < 0x7F; ++c) {
        if (kCharKeys[c].key == Key::NoRow) return false;
    }
    return true;
}
static_assert(everyPrintableHasAKey());

// The C0 control bytes by the key that sends them (0x08 and DEL depend on the erase byte).
constexpr std::array<CharKey, 32> kControlKeys = [] {
    std::array<CharKey, 32> keys{};
    keys[0x00] = {Key::Space, kC};
    for (int i = 0; i < 26; ++i)
        keys[1 + i] = {keyAfter(Key::A, i), kC};
    keys[0x09] = {Key::Tab, 0};
    keys[0x0D] = {Key::Enter, 0};
    keys[0x1B] = {Key::Esc, 0};
    keys[0x1C] = {Key::Backslash, kC};
    keys[0x1D] = {Key::RightBracket, kC};
    keys[0x1E] = {Key::Digit6, kC};
    keys[0x1F] = {Key::Minus, kC};
    return keys;
}();

// Sequences that end in a letter: the final byte names the key.
struct FinalKey {
    unsigned char final;
    Key key;
    std::uint8_t mods = 0;
    char32_t delivered = 0;
};

// A keypad key with Num Lock off sends the sequence of the navigation key on it; its code is the
// keypad row's Shift cell, which is why keypad 5 ("Begin") carries Shift.
// clang-format off
constexpr FinalKey kCsiFinals[] = {
    {'A', Key::Up},     {'B', Key::Down},     {'C', Key::Right},     {'D', Key::Left},
    {'H', Key::Home},   {'F', Key::End},
    {'E', Key::Keypad5, kS},
    {'G', Key::Keypad5, kS},  // Linux console
    {'P', Key::F1},     {'Q', Key::F2},       {'R', Key::F3},        {'S', Key::F4},
    {'Z', Key::Tab, kS},
    // rxvt: Shift+arrows
    {'a', Key::Up, kS}, {'b', Key::Down, kS}, {'c', Key::Right, kS}, {'d', Key::Left, kS},
};
// clang-format on

// Application keypad codes follow the VT100 keypad: SS3 l is its comma key, which sits where a
// PC keypad has its plus key (the Linux console sends SS3 l for that plus), so it is taken as
// keypad plus. Keypad Enter and keypad = have no row: they give the character they type.
// clang-format off
constexpr FinalKey kSs3Finals[] = {
    {'A', Key::Up},     {'B', Key::Down},     {'C', Key::Right},     {'D', Key::Left},
    {'H', Key::Home},   {'F', Key::End},
    {'E', Key::Keypad5, kS},
    {'P', Key::F1},     {'Q', Key::F2},       {'R', Key::F3},        {'S', Key::F4},
    // rxvt: Ctrl+arrows
    {'a', Key::Up, kC}, {'b', Key::Down, kC}, {'c', Key::Right, kC}, {'d', Key::Left, kC},
    {'M', Key::NoRow,          0, '\r'},
    {'X', Key::NoRow,          0, '='},
    {'j', Key::KeypadMultiply, 0, '*'},
    {'k', Key::KeypadPlus,     0, '+'},
    {'l', Key::KeypadPlus,     0, '+'},
    {'m', Key::KeypadMinus,    0, '-'},
    {'n', Key::KeypadDecimal,  0, '.'},
    {'o', Key::KeypadDivide,   0, '/'},
    {'p', Key::Keypad0, 0, '0'}, {'q', Key::Keypad1, 0, '1'}, {'r', Key::Keypad2, 0, '2'},
    {'s', Key::Keypad3, 0, '3'}, {'t', Key::Keypad4, 0, '4'}, {'u', Key::Keypad5, 0, '5'},
    {'v', Key::Keypad6, 0, '6'}, {'w', Key::Keypad7, 0, '7'}, {'x', Key::Keypad8, 0, '8'},
    {'y', Key::Keypad9, 0, '9'},
};
// clang-format on

// Sequences that carry a key number.
struct NumberedKey {
    int number;
    Key key;
    std::uint8_t mods = 0;
    char32_t delivered = 0;
};

// CSI n ~ (and rxvt's CSI n $ ^ @). 25 to 34 are F13 to F20, which rxvt and the Linux console
// send for Shift+F3 to Shift+F10.
// clang-format off
constexpr NumberedKey kTildeKeys[] = {
    {1, Key::Home},    {2, Key::Insert},   {3, Key::Delete},  {4, Key::End},
    {5, Key::PageUp},  {6, Key::PageDown}, {7, Key::Home},    {8, Key::End},
    {11, Key::F1},     {12, Key::F2},     {13, Key::F3},     {14, Key::F4},
    {15, Key::F5},     {17, Key::F6},     {18, Key::F7},     {19, Key::F8},
    {20, Key::F9},     {21, Key::F10},    {23, Key::F11},    {24, Key::F12},
    {25, Key::F3, kS}, {26, Key::F4, kS}, {28, Key::F5, kS}, {29, Key::F6, kS},
    {31, Key::F7, kS}, {32, Key::F8, kS}, {33, Key::F9, kS}, {34, Key::F10, kS},
};
// clang-format on

// The kitty protocol's numbers for the keypad. Its navigation keys (Num Lock off) are the keypad
// digits with Shift, as the same presses are in the legacy encodings; keypad Delete is the Delete
// key, as its legacy bytes CSI 3~ are. Every other functional key without a row (locks, modifier
// keys alone, F13 and up, media keys) gives nothing unless it carries text.
// clang-format off
constexpr NumberedKey kKittyKeys[] = {
    {57399, Key::Keypad0, 0, '0'}, {57400, Key::Keypad1, 0, '1'}, {57401, Key::Keypad2, 0, '2'},
    {57402, Key::Keypad3, 0, '3'}, {57403, Key::Keypad4, 0, '4'}, {57404, Key::Keypad5, 0, '5'},
    {57405, Key::Keypad6, 0, '6'}, {57406, Key::Keypad7, 0, '7'}, {57407, Key::Keypad8, 0, '8'},
    {57408, Key::Keypad9, 0, '9'},
    {57409, Key::KeypadDecimal,  0, '.'},
    {57410, Key::KeypadDivide,   0, '/'},
    {57411, Key::KeypadMultiply, 0, '*'},
    {57412, Key::KeypadMinus,    0, '-'},
    {57413, Key::KeypadPlus,     0, '+'},
    {57414, Key::NoRow,          0, '\r'},  // keypad Enter
    {57415, Key::NoRow,          0, '='},   // keypad =
    {57416, Key::NoRow,          0, ','},   // keypad separator
    {57417, Key::Keypad4, kS},             // keypad Left
    {57418, Key::Keypad6, kS},             // keypad Right
    {57419, Key::Keypad8, kS},             // keypad Up
    {57420, Key::Keypad2, kS},             // keypad Down
    {57421, Key::Keypad9, kS},             // keypad Page Up
    {57422, Key::Keypad3, kS},             // keypad Page Down
    {57423, Key::Keypad7, kS},             // keypad Home
    {57424, Key::Keypad1, kS},             // keypad End
    {57425, Key::Keypad0, kS},             // keypad Insert
    {57426, Key::Delete},                  // keypad Delete
    {57427, Key::Keypad5, kS},             // keypad Begin
};
// clang-format on

template <std::size_t N>
constexpr const FinalKey* findKey(const FinalKey (&rows)[N], unsigned char final) {
    for (const FinalKey& row : rows) {
        if (row.final == final) return &row;
    }
    return nullptr;
}

template <std::size_t N>
constexpr const NumberedKey* findKey(const NumberedKey (&rows)[N], int number) {
    for (const NumberedKey& row : rows) {
        if (row.number == number) return &row;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// Parameters and modifiers.

// The parameter bytes of a CSI or SS3 sequence: an optional private marker, then numbers in
// fields separated by ';' and sub-fields separated by ':'.
struct Params {
    static constexpr int kFields = 3;
    static constexpr int kSubFields = 3;

    unsigned char marker = 0;
    int fields = 0;
    // A marker out of place, an intermediate byte, or more fields than any key sends.
    bool malformed = false;
    int value[kFields][kSubFields] = {{-1, -1, -1}, {-1, -1, -1}, {-1, -1, -1}};

    // The number in a field, or `fallback` when it is empty or absent.
    int get(int field, int sub, int fallback) const {
        const int v = field < kFields && sub < kSubFields ? value[field][sub] : -1;
        return v < 0 ? fallback : v;
    }
};

Params parseParams(const unsigned char* p, std::size_t n) {
    Params out;
    std::size_t i = 0;
    if (n > 0 && p[0] >= 0x3C && p[0] <= 0x3F) out.marker = p[i++];
    if (i < n) out.fields = 1;
    int field = 0;
    int sub = 0;
    for (; i < n; ++i) {
        const unsigned char c = p[i];
        if (isDigit(c)) {
            if (field < Params::kFields && sub < Params::kSubFields) {
                int& v = out.value[field][sub];
                v = std::min(std::max(v, 0) * 10 + (c - '0'), kNumberCeiling);
            }
        } else if (c == ';') {
            ++field;
            sub = 0;
            ++out.fields;
        } else if (c == ':') {
            ++sub;  // sub-fields past the ones kept (more text code points) are ignored
        } else {
            out.malformed = true;
        }
    }
    if (out.fields > Params::kFields) out.malformed = true;
    return out;
}

// The modifier bits of a modifier parameter (1 + bits), or nothing for a value no key sends.
// Bit 8 is Meta in the legacy encodings (an Option key set to Meta sends it) and is taken as
// Alt; under the kitty protocol it is Super and means nothing here, and Meta is bit 32.
std::optional<std::uint8_t> modifierBits(int param, bool kitty) {
    if (param < 1 || param > 256) return std::nullopt;
    const int bits = param - 1;
    std::uint8_t mods = 0;
    if ((bits & 1) != 0) mods |= kS;
    if ((bits & 2) != 0) mods |= kA;
    if ((bits & 4) != 0) mods |= kC;
    if ((bits & (kitty ? 32 : 8)) != 0) mods |= kA;
    if ((bits & 64) != 0) mods |= mod::kCapsLock;
    if ((bits & 128) != 0) mods |= mod::kNumLock;
    return mods;
}

// The modifiers in field 1 (with the event type as its sub-field), or nothing when the report is
// no press: a release (3), an unknown event type, or a modifier value out of range. A repeat (2)
// counts as a press.
std::optional<std::uint8_t> pressModifiers(const Params& params, bool kitty) {
    const int event = params.get(1, 1, 1);
    if (event != 1 && event != 2) return std::nullopt;
    return modifierBits(params.get(1, 0, 1), kitty);
}

// A code point that is a character someone could type.
constexpr bool isText(int cp) {
    return cp >= 0x20 && cp != 0x7F && !(cp >= 0x80 && cp <= 0x9F) &&
           !(cp >= 0xD800 && cp <= 0xDFFF) && !(cp >= kFirstFunctional && cp <= kLastFunctional) &&
           cp <= 0x10FFFF;
}

// ---------------------------------------------------------------------------------------------
// Tokens: one key's bytes, or one sequence, at the head of the buffer.

struct Token {
    enum class Status : std::uint8_t {
        NeedMore,     // the bytes so far start a token that is not complete
        Done,         // `length` bytes make `event` (Kind::Empty: they give nothing)
        Overlong,     // `length` bytes are the start of a CSI sequence too long to keep
        OverlongSs3,  // the same for an SS3 sequence, whose bytes are of fewer kinds
    };
    Status status = Status::Done;
    std::size_t length = 0;
    DecoderEvent event{};
};

Token needMore() {
    return {Token::Status::NeedMore, 0, {}};
}
Token skip(std::size_t length) {
    return {Token::Status::Done, length, {}};
}
Token press(std::size_t length, KeyPress p) {
    return {Token::Status::Done, length, {Kind::Press, p, 0}};
}
Token reply(std::size_t length, Kind kind, int value) {
    return {Token::Status::Done, length, {kind, {}, value}};
}

// The same token preceded by one ESC: the key gets Alt.
Token withAlt(Token token) {
    token.length += 1;
    if (token.event.kind == Kind::Press) token.event.press.mods |= kA;
    return token;
}

struct Context {
    bool eraseIs08;  // the terminal's Backspace sends 0x08 (else DEL)
    bool kitty;
    bool atTimeout;  // no more bytes are coming for the token at the head
};

// A sequence whose final byte has not come yet.
Token unfinished(std::size_t length, const Context& ctx, bool ss3 = false) {
    if (length >= kMaxSequence)
        return {ss3 ? Token::Status::OverlongSs3 : Token::Status::Overlong, length, {}};
    return ctx.atTimeout ? skip(length) : needMore();
}

// A C0 byte or DEL. The erase byte is Backspace. With DEL as the erase byte (every terminal seen
// so far), 0x08 comes from Ctrl+H and from Ctrl+Backspace alike; it is taken as Ctrl+H (8), the
// one press that sends nothing else. With 0x08 as the erase byte, DEL is Ctrl+Backspace (127).
// An erase byte that is neither, or none, counts as DEL.
KeyPress controlPress(unsigned char b, const Context& ctx) {
    if (b == kDelByte) return {Key::Backspace, ctx.eraseIs08 ? kC : std::uint8_t{0}, b};
    if (b == kBsByte && ctx.eraseIs08) return {Key::Backspace, 0, b};
    return {kControlKeys[b].key, kControlKeys[b].mods, b};
}

Token latin1(unsigned char b) {
    return press(1, {Key::NoRow, 0, b});
}

// A UTF-8 character, or a byte that does not start one, taken as a Latin-1 character. A
// character cut off by the timeout gives its lead byte as a Latin-1 character (a Latin-1
// terminal sends à as the lone byte 0xE0, which looks like the start of a UTF-8 character); the
// bytes after it are decoded afresh.
Token utf8Char(const unsigned char* p, std::size_t n, const Context& ctx) {
    const unsigned char lead = p[0];
    std::size_t extra = 0;
    char32_t cp = 0;
    unsigned char low = 0x80;   // the range of the first continuation byte, which rules out
    unsigned char high = 0xBF;  // over-long forms, surrogates and code points past U+10FFFF
    if (lead >= 0xC2 && lead <= 0xDF) {
        extra = 1;
        cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        extra = 2;
        cp = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        extra = 3;
        cp = lead & 0x07;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return latin1(lead);
    }
    for (std::size_t i = 1; i <= extra; ++i) {
        if (i >= n) return ctx.atTimeout ? latin1(lead) : needMore();
        const unsigned char c = p[i];
        if (c < low || c > high) return latin1(lead);
        cp = (cp << 6) | (c & 0x3F);
        low = 0x80;
        high = 0xBF;
    }
    return press(extra + 1, {Key::NoRow, 0, cp});
}

// The bytes of one key that are not an escape sequence.
Token plainKey(const unsigned char* p, std::size_t n, const Context& ctx) {
    const unsigned char b = p[0];
    if (b < 0x20 || b == kDelByte) return press(1, controlPress(b, ctx));
    if (b < 0x80) return press(1, {kCharKeys[b].key, kCharKeys[b].mods, b});
    return utf8Char(p, n, ctx);
}

// A key named by its character code, as CSI 27;m;k~ and CSI k;m u report it.
//
// The row is the US key that types the character. With Alt, and with Ctrl on a character that
// has no row, the base-layout key (the key at the same place on a US keyboard, when reported)
// decides the row instead, so that Alt+letter gives the scan code of the key's position.
// The delivered character is the reported text; else for a letter the code with Shift and
// Caps Lock applied; else the shifted character when Shift is held; else the code itself.
Token characterKey(std::size_t length, int code, int shifted, int base, std::uint8_t mods,
                   int text) {
    if (code <= 0 || code > 0x10FFFF) return skip(length);
    KeyPress p{Key::NoRow, mods, 0};
    if (code == kBsByte || code == kDelByte) {
        p.key = Key::Backspace;
    } else if (code < 0x20) {
        p.key = kControlKeys[code].key;
        p.mods |= kControlKeys[code].mods;
    } else if (code < 0x7F) {
        p.key = kCharKeys[code].key;
    }
    const bool alt = (mods & kA) != 0;
    const bool ctrl = (mods & kC) != 0;
    if (base >= 0x20 && base < 0x7F && (alt || (ctrl && p.key == Key::NoRow))) {
        p.key = kCharKeys[base].key;
    }

    const bool upper = ((mods & kS) != 0) != ((mods & mod::kCapsLock) != 0);
    if (isText(text)) {
        p.delivered = static_cast<char32_t>(text);
    } else if (code >= 'a' && code <= 'z') {
        p.delivered = static_cast<char32_t>(upper ? code - 'a' + 'A' : code);
    } else if ((mods & kS) != 0 && isText(shifted)) {
        p.delivered = static_cast<char32_t>(shifted);
    } else if (isText(code) || code < 0x20) {
        p.delivered = static_cast<char32_t>(code);
    }
    return press(length, p);
}

// CSI code[:shifted[:base]] ; mods[:event] ; text u
Token uKey(std::size_t length, const Params& params, const Context& ctx) {
    const std::optional<std::uint8_t> mods = pressModifiers(params, ctx.kitty);
    if (!mods) return skip(length);
    const int code = params.get(0, 0, -1);
    const int text = params.get(2, 0, -1);
    if (code >= kFirstFunctional && code <= kLastFunctional) {
        const NumberedKey* row = findKey(kKittyKeys, code);
        if (row == nullptr) {
            if (!isText(text)) return skip(length);
            return press(length, {Key::NoRow, *mods, static_cast<char32_t>(text)});
        }
        const char32_t delivered = isText(text) ? static_cast<char32_t>(text) : row->delivered;
        return press(length, {row->key, static_cast<std::uint8_t>(row->mods | *mods), delivered});
    }
    return characterKey(length, code, params.get(0, 1, -1), params.get(0, 2, -1), *mods, text);
}

// CSI n ; mods[:event] ~, and CSI 27 ; mods ; code ~
Token tildeKey(std::size_t length, const Params& params, const Context& ctx) {
    const std::optional<std::uint8_t> mods = pressModifiers(params, ctx.kitty);
    if (!mods) return skip(length);
    const int number = params.get(0, 0, -1);
    if (number == 27 && params.fields == 3) {
        return characterKey(length, params.get(2, 0, -1), -1, -1, *mods, -1);
    }
    if (params.fields > 2) return skip(length);
    const NumberedKey* row =
        number >= kFirstFunctional ? findKey(kKittyKeys, number) : findKey(kTildeKeys, number);
    if (row == nullptr) return skip(length);
    return press(length, {row->key, static_cast<std::uint8_t>(row->mods | *mods), row->delivered});
}

// rxvt: CSI n $ (Shift), CSI n ^ (Ctrl), CSI n @ (Ctrl+Shift).
Token rxvtKey(std::size_t length, const Params& params, unsigned char final) {
    if (params.fields != 1) return skip(length);
    const NumberedKey* row = findKey(kTildeKeys, params.get(0, 0, -1));
    if (row == nullptr) return skip(length);
    const std::uint8_t added = final == '$' ? kS : final == '^' ? kC : kC | kS;
    return press(length, {row->key, static_cast<std::uint8_t>(row->mods | added), 0});
}

// CSI X, CSI 1 ; mods[:event] X. A first parameter other than 1 is no key (a cursor position
// report, CSI row;col R, has this shape).
Token letterKey(std::size_t length, const Params& params, unsigned char final, const Context& ctx) {
    const FinalKey* row = findKey(kCsiFinals, final);
    if (row == nullptr || params.fields > 2 || params.get(0, 0, 1) != 1) return skip(length);
    const std::optional<std::uint8_t> mods = pressModifiers(params, ctx.kitty);
    if (!mods) return skip(length);
    return press(length, {row->key, static_cast<std::uint8_t>(row->mods | *mods), row->delivered});
}

Token csiSequence(std::size_t length, const Params& params, unsigned char final,
                  const Context& ctx) {
    if (params.marker == '?' && final == 'c') {
        return reply(length, Kind::DeviceAttributesReply, 0);
    }
    if (params.malformed) return skip(length);
    if (params.marker == '?' && final == 'u' && params.fields <= 1) {
        return reply(length, Kind::KittyFlagsReply, params.get(0, 0, 0));
    }
    if (params.marker != 0) return skip(length);
    switch (final) {
        case 'u':
            return uKey(length, params, ctx);
        case '~':
            return tildeKey(length, params, ctx);
        case '$':
        case '^':
        case '@':
            return rxvtKey(length, params, final);
        default:
            return letterKey(length, params, final, ctx);
    }
}

// p[0] p[1] are ESC [. Alone at the timeout they are Alt+[.
Token csi(const unsigned char* p, std::size_t n, const Context& ctx) {
    const KeyPress altBracket{Key::LeftBracket, kA, '['};
    if (n == 2) return ctx.atTimeout ? press(2, altBracket) : needMore();
    const unsigned char* body = p + 2;
    const std::size_t m = n - 2;

    // The Linux console's F1 to F5: ESC [ [ A to ESC [ [ E.
    if (body[0] == '[') {
        if (m == 1) return ctx.atTimeout ? skip(n) : needMore();
        const unsigned char c = body[1];
        if (c >= 'A' && c <= 'E') return press(4, {keyAfter(Key::F1, c - 'A'), 0, 0});
        return skip(isFinalByte(c) ? 4 : 3);
    }

    // Parameter and intermediate bytes up to the final byte. rxvt ends some sequences with '$',
    // an intermediate byte by the standard.
    std::size_t i = 0;
    for (; i < m; ++i) {
        const unsigned char c = body[i];
        if (isFinalByte(c) || c == '$') break;
        // Any other byte breaks the sequence off: what came so far is dropped, and the byte
        // starts the next key. Nothing after ESC [ makes it Alt+[.
        if (c < 0x20 || c > 0x3F) return i == 0 ? press(2, altBracket) : skip(2 + i);
    }
    if (i == m) return unfinished(n, ctx);
    const std::size_t length = 2 + i + 1;
    if (length > kMaxSequence) return skip(length);
    return csiSequence(length, parseParams(body, i), body[i], ctx);
}

// p[0] p[1] are ESC O, then optional modifier digits and one final byte. Alone at the timeout
// they are Alt+Shift+O.
Token ss3(const unsigned char* p, std::size_t n, const Context& ctx) {
    const KeyPress altShiftO{Key::O, kA | kS, 'O'};
    if (n == 2) return ctx.atTimeout ? press(2, altShiftO) : needMore();
    const unsigned char* body = p + 2;
    const std::size_t m = n - 2;
    std::size_t i = 0;
    for (; i < m; ++i) {
        const unsigned char c = body[i];
        if (isFinalByte(c)) break;
        if (!isDigit(c) && c != ';') return i == 0 ? press(2, altShiftO) : skip(2 + i);
    }
    if (i == m) return unfinished(n, ctx, /*ss3=*/true);
    const std::size_t length = 2 + i + 1;
    if (length > kMaxSequence) return skip(length);

    const FinalKey* row = findKey(kSs3Finals, body[i]);
    const Params params = parseParams(body, i);
    if (row == nullptr || params.malformed || params.fields > 2) return skip(length);
    // SS3 5j carries the modifier alone; SS3 1;5P as the second field.
    if (params.fields == 2 && params.get(0, 0, 1) != 1) return skip(length);
    const std::optional<std::uint8_t> mods =
        modifierBits(params.get(params.fields == 2 ? 1 : 0, 0, 1), ctx.kitty);
    if (!mods) return skip(length);
    return press(length, {row->key, static_cast<std::uint8_t>(row->mods | *mods), row->delivered});
}

bool isReply(const Token& token) {
    return token.event.kind == Kind::KittyFlagsReply ||
           token.event.kind == Kind::DeviceAttributesReply;
}

// p[0] p[1] are ESC ESC: Alt+Esc, or Alt and the sequence that follows (rxvt sends Alt+Up as
// ESC ESC [ A).
Token escEsc(const unsigned char* p, std::size_t n, const Context& ctx) {
    const KeyPress altEsc{Key::Esc, kA, kEscByte};
    if (n == 2) return ctx.atTimeout ? press(2, altEsc) : needMore();
    if (p[2] != '[' && p[2] != 'O') return press(2, altEsc);
    const Token inner = p[2] == '[' ? csi(p + 1, n - 1, ctx) : ss3(p + 1, n - 1, ctx);
    if (inner.status == Token::Status::NeedMore) return inner;
    // A reply is no key: the ESC before it was the Esc key.
    if (isReply(inner)) return press(1, {Key::Esc, 0, kEscByte});
    return withAlt(inner);
}

Token escape(const unsigned char* p, std::size_t n, const Context& ctx) {
    if (n == 1) return ctx.atTimeout ? press(1, {Key::Esc, 0, kEscByte}) : needMore();
    const unsigned char b = p[1];
    if (b == '[') return csi(p, n, ctx);
    if (b == 'O') return ss3(p, n, ctx);
    if (b == kEscByte) return escEsc(p, n, ctx);
    // Both ESC DEL and ESC 0x08 are Alt+Backspace (the one that is not the erase byte comes
    // from Ctrl+Alt+Backspace); both give the Alt cell.
    if (b == kBsByte || b == kDelByte) {
        const bool erase = (b == kBsByte) == ctx.eraseIs08;
        return press(2, {Key::Backspace, static_cast<std::uint8_t>(erase ? kA : kA | kC), b});
    }
    const Token inner = plainKey(p + 1, n - 1, ctx);
    if (inner.status == Token::Status::NeedMore) return inner;
    return withAlt(inner);
}

Token nextToken(const unsigned char* p, std::size_t n, const Context& ctx) {
    if (p[0] == kEscByte) return escape(p, n, ctx);
    return plainKey(p, n, ctx);
}

}  // namespace

std::size_t KeyDecoder::feed(const unsigned char* data, std::size_t n) {
    const std::size_t taken = std::min(n, room());
    if (taken > 0) std::memcpy(buf_ + len_, data, taken);
    len_ += taken;
    return taken;
}

DecoderEvent KeyDecoder::next() {
    return decode(false);
}

DecoderEvent KeyDecoder::expire() {
    return decode(true);
}

void KeyDecoder::consume(std::size_t n) {
    std::memmove(buf_, buf_ + n, len_ - n);
    len_ -= n;
}

DecoderEvent KeyDecoder::decode(bool atTimeout) {
    const Context ctx{erase_ == kBsByte, kitty_, atTimeout};
    for (;;) {
        if (discarding_ != Discard::None) {
            // Drop the rest of an over-long sequence by the rules that read it: for CSI its
            // parameter and intermediate bytes, then its final byte ('$' included); for SS3 its
            // digits and ';', then its final byte. Any other byte ends it too, and is kept, as
            // it would be had the sequence arrived whole.
            const bool ss3 = discarding_ == Discard::Ss3;
            const auto inside = [ss3](unsigned char b) {
                return ss3 ? isDigit(b) || b == ';' : b >= 0x20 && b <= 0x3F && b != '$';
            };
            std::size_t i = 0;
            while (i < len_ && inside(buf_[i]))
                ++i;
            if (i < len_) {
                discarding_ = Discard::None;
                if (isFinalByte(buf_[i]) || (!ss3 && buf_[i] == '$')) ++i;
            }
            consume(i);
            if (discarding_ != Discard::None) {
                // Still inside it: wait for more, but a timeout ends it.
                if (!atTimeout) return {Kind::NeedMore, {}, 0};
                discarding_ = Discard::None;
            }
        }
        if (len_ == 0) return {};
        const Token token = nextToken(buf_, len_, ctx);
        if (token.status == Token::Status::NeedMore) return {Kind::NeedMore, {}, 0};
        consume(token.length);
        if (token.status == Token::Status::Overlong) discarding_ = Discard::Csi;
        if (token.status == Token::Status::OverlongSs3) discarding_ = Discard::Ss3;
        if (token.event.kind != Kind::Empty) return token.event;
    }
}

}  // namespace basedrill
