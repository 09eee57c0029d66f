// The key table lookup and the terminal byte decoder. Decoder rows are fed whole and then one
// byte at a time: a sequence split across reads must still be one press.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "console/key_decoder.h"
#include "console/key_table.h"

namespace basedrill {
namespace {

using namespace std::string_view_literals;
using Kind = DecoderEvent::Kind;

constexpr std::uint8_t kS = mod::kShift;
constexpr std::uint8_t kA = mod::kAlt;
constexpr std::uint8_t kC = mod::kCtrl;
constexpr std::uint8_t kCaps = mod::kCapsLock;
constexpr std::uint8_t kNum = mod::kNumLock;

constexpr KeyValue code(int n) {
    return {KeyValue::Kind::Code, n};
}
constexpr KeyValue two(int n) {
    return {KeyValue::Kind::TwoPart, n};
}
constexpr KeyValue kNothing{KeyValue::Kind::Skip, 0};

// ---------------------------------------------------------------------------------------------
// Readable descriptions, so that a failing row shows what came out.

// clang-format off
constexpr const char* kKeyNames[] = {
    "NoRow", "Backspace", "Tab", "Enter", "Esc", "Space",
    "Digit0", "Digit1", "Digit2", "Digit3", "Digit4",
    "Digit5", "Digit6", "Digit7", "Digit8", "Digit9",
    "A", "B", "C", "D", "E", "F", "G", "H", "I", "J", "K", "L", "M",
    "N", "O", "P", "Q", "R", "S", "T", "U", "V", "W", "X", "Y", "Z",
    "Home", "Up", "PageUp", "Left", "Right", "End", "Down", "PageDown", "Insert", "Delete",
    "Keypad0", "Keypad1", "Keypad2", "Keypad3", "Keypad4",
    "Keypad5", "Keypad6", "Keypad7", "Keypad8", "Keypad9",
    "KeypadMultiply", "KeypadPlus", "KeypadMinus", "KeypadDivide", "KeypadDecimal",
    "F1", "F2", "F3", "F4", "F5", "F6", "F7", "F8", "F9", "F10", "F11", "F12",
    "Backslash", "Slash", "Minus", "Equals", "LeftBracket", "RightBracket",
    "Semicolon", "Apostrophe", "Comma", "Period", "Backquote",
};
// clang-format on
static_assert(std::size(kKeyNames) == static_cast<std::size_t>(Key::Backquote) + 1);

std::string describe(const KeyPress& p) {
    const auto index = static_cast<std::size_t>(p.key);
    std::string s = index < std::size(kKeyNames) ? kKeyNames[index] : "?";
    if (p.mods & kS) s += "+Shift";
    if (p.mods & kA) s += "+Alt";
    if (p.mods & kC) s += "+Ctrl";
    if (p.mods & kCaps) s += "+CapsLock";
    if (p.mods & kNum) s += "+NumLock";
    char cp[16];
    std::snprintf(cp, sizeof cp, " U+%04X", static_cast<unsigned>(p.delivered));
    return s + cp;
}

std::string describe(const KeyValue& v) {
    switch (v.kind) {
        case KeyValue::Kind::Skip:
            return "skip";
        case KeyValue::Kind::Code:
            return std::to_string(v.code);
        case KeyValue::Kind::TwoPart:
            return "0," + std::to_string(v.code);
    }
    return "?";
}

std::string kindName(Kind kind) {
    switch (kind) {
        case Kind::Empty:
            return "Empty";
        case Kind::NeedMore:
            return "NeedMore";
        case Kind::Press:
            return "Press";
        case Kind::KittyFlagsReply:
            return "KittyFlagsReply";
        case Kind::DeviceAttributesReply:
            return "DeviceAttributesReply";
    }
    return "?";
}

// A press as its key table value; any other event by its kind.
std::string valueOf(const DecoderEvent& e) {
    if (e.kind == Kind::Press) return describe(lookupKey(e.press));
    if (e.kind == Kind::KittyFlagsReply) return "flags " + std::to_string(e.value);
    return kindName(e.kind);
}

std::string pressOf(const DecoderEvent& e) {
    if (e.kind == Kind::Press) return describe(e.press);
    return valueOf(e);
}

template <typename T, typename F>
std::string join(const std::vector<T>& items, F describeOne) {
    std::string s;
    for (const T& item : items)
        s += (s.empty() ? "" : " | ") + describeOne(item);
    return s;
}

std::string values(const std::vector<DecoderEvent>& events) {
    return join(events, valueOf);
}
std::string presses(const std::vector<DecoderEvent>& events) {
    return join(events, pressOf);
}
std::string values(const std::vector<KeyValue>& v) {
    return join(v, [](const KeyValue& x) { return describe(x); });
}

// ---------------------------------------------------------------------------------------------
// Feeding.

struct Feeding {
    const char* name;
    std::size_t chunk;  // bytes per feed; 0 feeds everything at once
};
constexpr Feeding kFeedings[] = {{"fed whole", 0}, {"fed byte by byte", 1}};

struct Fed {
    std::vector<DecoderEvent> events;  // every event other than Empty and NeedMore
    Kind end = Kind::Empty;            // what next() said once it had nothing more
};

// Feeds `bytes` in chunks, and after every feed takes events until the decoder has none.
Fed feedAll(KeyDecoder& decoder, std::string_view bytes, std::size_t chunk) {
    Fed run;
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        std::size_t n = chunk == 0 ? bytes.size() - pos : std::min(chunk, bytes.size() - pos);
        n = decoder.feed(reinterpret_cast<const unsigned char*>(bytes.data() + pos), n);
        if (n == 0) {
            ADD_FAILURE() << "the decoder took no byte at offset " << pos;
            break;
        }
        pos += n;
        for (;;) {
            const DecoderEvent e = decoder.next();
            if (e.kind == Kind::Empty || e.kind == Kind::NeedMore) {
                run.end = e.kind;
                break;
            }
            run.events.push_back(e);
        }
    }
    return run;
}

void feedBytes(KeyDecoder& decoder, std::string_view bytes) {
    ASSERT_EQ(decoder.feed(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()),
              bytes.size());
}

// ---------------------------------------------------------------------------------------------
// Decoder tables: bytes and the key table values they give.

struct ValueRow {
    const char* name;
    std::string_view bytes;
    std::vector<KeyValue> expected;
};

void checkValueRows(const std::vector<ValueRow>& rows, bool kitty = false) {
    for (const ValueRow& row : rows) {
        SCOPED_TRACE(row.name);
        for (const Feeding& feeding : kFeedings) {
            SCOPED_TRACE(feeding.name);
            KeyDecoder decoder;
            decoder.setKittyProtocol(kitty);
            const Fed run = feedAll(decoder, row.bytes, feeding.chunk);
            EXPECT_EQ(values(run.events), values(row.expected));
            EXPECT_EQ(kindName(run.end), "Empty") << "the bytes must be used up";
        }
    }
}

// The rows split "\x1b" "c" to end the hex escape; formatting would put the halves on two lines.
// clang-format off
TEST(KeyDecoder, MustHoldPresses) {
    checkValueRows({
        {"c", "c", {code(99)}},
        {"Shift+C", "C", {code(67)}},
        {"c with Caps Lock (the terminal sends C)", "C", {code(67)}},
        {"Ctrl+C", "\x03", {code(3)}},
        {"Alt+C", "\x1b" "c", {two(46)}},
        {"F9", "\x1b[20~", {two(67)}},
        {"F1 xterm", "\x1bOP", {two(59)}},
        {"F1 rxvt", "\x1b[11~", {two(59)}},
        {"F1 Linux console", "\x1b[[A", {two(59)}},
        {"F1 kitty", "\x1b[P", {two(59)}},
        {"kitty Ctrl+c", "\x1b[99;5u", {code(3)}},
        {"kitty Caps Lock+Shift+c, flags 31", "\x1b[99;66;99u", {code(67)}},
        {"kitty Delete with Num Lock", "\x1b[3;129~", {code(46)}},
        {"kitty release of c", "\x1b[99;1:3u", {}},
    });
}
// clang-format on

TEST(KeyDecoder, PrintableAndControlBytes) {
    checkValueRows({
        {"lower-case letter", "z", {code(122)}},
        {"digit", "0", {code(48)}},
        {"shifted digit", "!", {code(33)}},
        {"space", " ", {code(32)}},
        {"tilde", "~", {code(126)}},
        {"question mark", "?", {code(63)}},
        {"backslash", "\\", {code(92)}},
        {"Ctrl+Space", "\x00"sv, {two(3)}},
        {"Ctrl+A", "\x01", {code(1)}},
        {"Ctrl+Z", "\x1a", {code(26)}},
        {"Tab", "\t", {code(9)}},
        {"Enter", "\r", {code(13)}},
        {"Ctrl+J", "\n", {code(10)}},
        {"Ctrl+\\", "\x1c", {code(28)}},
        {"Ctrl+]", "\x1d", {code(29)}},
        {"Ctrl+6", "\x1e", {code(30)}},
        {"Ctrl+-", "\x1f", {code(31)}},
        {"Backspace (erase byte DEL)", "\x7f", {code(8)}},
        {"Ctrl+H", "\x08", {code(8)}},
    });
}

// The rows split "\x1b" "c" to end the hex escape; formatting would put the halves on two lines.
// clang-format off
TEST(KeyDecoder, EscPrefixAddsAlt) {
    checkValueRows({
        {"Alt+Shift+C", "\x1b" "C", {two(46)}},
        {"Alt+Backspace", "\x1b\x7f", {two(14)}},
        {"Ctrl+Alt+Backspace", "\x1b\x08", {two(14)}},
        {"Alt+Space", "\x1b ", {code(32)}},
        {"Alt+1", "\x1b" "1", {two(120)}},
        {"Alt+Shift+1", "\x1b!", {two(120)}},
        {"Alt+0", "\x1b" "0", {two(129)}},
        {"Alt+Shift+0", "\x1b)", {two(129)}},
        {"Alt+Tab", "\x1b\t", {two(165)}},
        {"Alt+Enter", "\x1b\r", {two(166)}},
        {"Ctrl+Alt+C", "\x1b\x03", {two(46)}},
        {"Ctrl+Alt+Space", "\x1b\x00"sv, {code(32)}},
        {"Alt+-", "\x1b-", {two(130)}},
        {"Alt+=", "\x1b=", {two(131)}},
        {"Alt+;", "\x1b;", {two(39)}},
        {"Alt+'", "\x1b'", {two(40)}},
        {"Alt+,", "\x1b,", {two(51)}},
        {"Alt+.", "\x1b.", {two(52)}},
        {"Alt+/", "\x1b/", {two(53)}},
        {"Alt+backquote", "\x1b`", {two(41)}},
        {"Alt+\\", "\x1b\\", {two(43)}},
        {"Alt+]", "\x1b]", {two(27)}},
        {"Alt+Shift+[", "\x1b{", {two(26)}},
        {"Alt+accented letter (no row: its character)", "\x1b\xc3\xa0", {code(224)}},
        {"rxvt Alt+Up", "\x1b\x1b[A", {two(152)}},
        {"rxvt Alt+Up, application cursor mode", "\x1b\x1bOA", {two(152)}},
        {"rxvt Alt+F9", "\x1b\x1b[20~", {two(112)}},
        {"Alt+Esc, then a letter", "\x1b\x1b" "c", {two(1), code(99)}},
        {"Alt+Esc, then Alt+C", "\x1b\x1b\x1b" "c", {two(1), two(46)}},
    });
}
// clang-format on

TEST(KeyDecoder, CursorAndEditingKeys) {
    checkValueRows({
        {"Up", "\x1b[A", {two(72)}},
        {"Down", "\x1b[B", {two(80)}},
        {"Right", "\x1b[C", {two(77)}},
        {"Left", "\x1b[D", {two(75)}},
        {"Up, application mode", "\x1bOA", {two(72)}},
        {"Left, application mode", "\x1bOD", {two(75)}},
        {"Ctrl+Up", "\x1b[1;5A", {two(141)}},
        {"Alt+Left", "\x1b[1;3D", {two(155)}},
        {"Shift+Right is plain Right", "\x1b[1;2C", {two(77)}},
        {"Ctrl+Shift+Down", "\x1b[1;6B", {two(145)}},
        {"Ctrl+Alt+Right", "\x1b[1;7C", {two(157)}},
        {"Meta+Up (Option as Meta) is Alt", "\x1b[1;9A", {two(152)}},
        {"Home", "\x1b[H", {two(71)}},
        {"Home, application mode", "\x1bOH", {two(71)}},
        {"Home as Find (tmux, Linux)", "\x1b[1~", {two(71)}},
        {"Home, rxvt", "\x1b[7~", {two(71)}},
        {"Ctrl+Home", "\x1b[1;5H", {two(119)}},
        {"End", "\x1b[F", {two(79)}},
        {"End, application mode", "\x1bOF", {two(79)}},
        {"End as Select (tmux, Linux)", "\x1b[4~", {two(79)}},
        {"End, rxvt", "\x1b[8~", {two(79)}},
        {"Alt+End", "\x1b[1;3F", {two(159)}},
        {"Insert", "\x1b[2~", {two(82)}},
        {"Delete", "\x1b[3~", {two(83)}},
        {"Page Up", "\x1b[5~", {two(73)}},
        {"Page Down", "\x1b[6~", {two(81)}},
        {"Ctrl+Insert", "\x1b[2;5~", {two(146)}},
        {"Ctrl+Delete", "\x1b[3;5~", {two(147)}},
        {"Ctrl+Alt+Delete", "\x1b[3;7~", {two(163)}},
        {"Shift+Page Up", "\x1b[5;2~", {two(73)}},
        {"Alt+Page Down", "\x1b[6;3~", {two(161)}},
        {"Shift+Tab", "\x1b[Z", {two(15)}},
    });
}

TEST(KeyDecoder, FunctionKeys) {
    checkValueRows({
        {"F2 xterm", "\x1bOQ", {two(60)}},
        {"F3 xterm", "\x1bOR", {two(61)}},
        {"F4 xterm", "\x1bOS", {two(62)}},
        {"F2 rxvt", "\x1b[12~", {two(60)}},
        {"F3 rxvt", "\x1b[13~", {two(61)}},
        {"F4 rxvt", "\x1b[14~", {two(62)}},
        {"F2 Linux", "\x1b[[B", {two(60)}},
        {"F3 Linux", "\x1b[[C", {two(61)}},
        {"F4 Linux", "\x1b[[D", {two(62)}},
        {"F5 Linux", "\x1b[[E", {two(63)}},
        {"F2 kitty", "\x1b[Q", {two(60)}},
        {"F3 kitty", "\x1b[R", {two(61)}},
        {"F4 kitty", "\x1b[S", {two(62)}},
        {"F1 kitty, explicit 1", "\x1b[1P", {two(59)}},
        {"F5", "\x1b[15~", {two(63)}},
        {"F6", "\x1b[17~", {two(64)}},
        {"F7", "\x1b[18~", {two(65)}},
        {"F8", "\x1b[19~", {two(66)}},
        {"F10", "\x1b[21~", {two(68)}},
        {"F11", "\x1b[23~", {two(133)}},
        {"F12", "\x1b[24~", {two(134)}},
        {"Shift+F1", "\x1b[1;2P", {two(84)}},
        {"Ctrl+F1", "\x1b[1;5P", {two(94)}},
        {"Alt+F4", "\x1b[1;3S", {two(107)}},
        {"Ctrl+F3 (same shape as a cursor report)", "\x1b[1;5R", {two(96)}},
        {"Shift+F9", "\x1b[20;2~", {two(92)}},
        {"Ctrl+F9", "\x1b[20;5~", {two(102)}},
        {"Alt+F9", "\x1b[20;3~", {two(112)}},
        {"Ctrl+Shift+F10", "\x1b[21;6~", {two(103)}},
        {"Shift+F11", "\x1b[23;2~", {two(135)}},
        {"Ctrl+F12", "\x1b[24;5~", {two(138)}},
        {"Alt+Shift+F12", "\x1b[24;4~", {two(140)}},
        {"F13 is Shift+F3 (rxvt, Linux)", "\x1b[25~", {two(86)}},
        {"F14 is Shift+F4", "\x1b[26~", {two(87)}},
        {"F15 is Shift+F5", "\x1b[28~", {two(88)}},
        {"F16 is Shift+F6", "\x1b[29~", {two(89)}},
        {"F17 is Shift+F7", "\x1b[31~", {two(90)}},
        {"F18 is Shift+F8", "\x1b[32~", {two(91)}},
        {"F19 is Shift+F9", "\x1b[33~", {two(92)}},
        {"F20 is Shift+F10", "\x1b[34~", {two(93)}},
    });
}

TEST(KeyDecoder, RxvtModifierFinals) {
    checkValueRows({
        {"Shift+Insert", "\x1b[2$", {two(82)}},
        {"Ctrl+Delete", "\x1b[3^", {two(147)}},
        {"Ctrl+Shift+Delete", "\x1b[3@", {two(147)}},
        {"Shift+Home", "\x1b[7$", {two(71)}},
        {"Ctrl+End", "\x1b[8^", {two(117)}},
        {"Ctrl+Page Up", "\x1b[5^", {two(132)}},
        {"Ctrl+F1", "\x1b[11^", {two(94)}},
        {"Shift+F11", "\x1b[23$", {two(135)}},
        {"Ctrl+F12", "\x1b[24^", {two(138)}},
        {"Ctrl+Shift+F3", "\x1b[25^", {two(96)}},
        {"Shift+Up", "\x1b[a", {two(72)}},
        {"Shift+Down", "\x1b[b", {two(80)}},
        {"Shift+Right", "\x1b[c", {two(77)}},
        {"Shift+Left", "\x1b[d", {two(75)}},
        {"Ctrl+Up", "\x1bOa", {two(141)}},
        {"Ctrl+Down", "\x1bOb", {two(145)}},
        {"Ctrl+Right", "\x1bOc", {two(116)}},
        {"Ctrl+Left", "\x1bOd", {two(115)}},
    });
}

TEST(KeyDecoder, KeypadSequences) {
    checkValueRows({
        {"keypad 5 with Num Lock off", "\x1b[E", {two(76)}},
        {"keypad 5, application mode", "\x1bOE", {two(76)}},
        {"keypad 5, Linux console", "\x1b[G", {two(76)}},
        {"Shift+keypad 5", "\x1b[1;2E", {two(76)}},
        {"Ctrl+keypad 5", "\x1b[1;5E", {two(143)}},
        {"keypad Enter, application mode", "\x1bOM", {code(13)}},
        {"keypad *", "\x1bOj", {code(42)}},
        {"keypad +", "\x1bOk", {code(43)}},
        {"keypad plus as the VT100 comma (Linux)", "\x1bOl", {code(43)}},
        {"keypad -", "\x1bOm", {code(45)}},
        {"keypad .", "\x1bOn", {code(46)}},
        {"keypad /", "\x1bOo", {code(47)}},
        {"keypad 0", "\x1bOp", {code(48)}},
        {"keypad 4", "\x1bOt", {code(52)}},
        {"keypad 9", "\x1bOy", {code(57)}},
        {"keypad =", "\x1bOX", {code(61)}},
        {"Ctrl+keypad *", "\x1bO5j", {two(150)}},
        {"Ctrl+keypad +", "\x1bO5k", {two(144)}},
        {"Ctrl+keypad -", "\x1bO5m", {two(142)}},
        {"Ctrl+keypad /", "\x1bO5o", {two(149)}},
        {"Alt+keypad *", "\x1bO3j", {two(55)}},
        {"Shift+keypad *", "\x1bO2j", {code(42)}},
        {"SS3 with the modifier as second field", "\x1bO1;5P", {two(94)}},
    });
}

TEST(KeyDecoder, ModifyOtherKeysAndExtendedKeys) {
    checkValueRows({
        {"Ctrl+c", "\x1b[27;5;99~", {code(3)}},
        {"Shift+c", "\x1b[27;2;67~", {code(67)}},
        {"Alt+c", "\x1b[27;3;99~", {two(46)}},
        {"Caps Lock, Shift+c", "\x1b[27;2;99~", {code(67)}},
        {"Caps Lock, Ctrl+c", "\x1b[27;5;67~", {code(3)}},
        {"Ctrl+Shift+c", "\x1b[27;6;67~", {code(3)}},
        {"Ctrl+Tab", "\x1b[27;5;9~", {two(148)}},
        {"Ctrl+Shift+Tab", "\x1b[27;6;9~", {two(148)}},
        {"Ctrl+Enter", "\x1b[27;5;13~", {code(10)}},
        {"Shift+Enter", "\x1b[27;2;13~", {code(13)}},
        {"Ctrl+Space", "\x1b[27;5;32~", {two(3)}},
        {"Ctrl+1 (a cell without value: the digit)", "\x1b[27;5;49~", {code(49)}},
        {"Ctrl+2", "\x1b[27;5;50~", {two(3)}},
        {"Ctrl+-", "\x1b[27;5;45~", {code(31)}},
        {"Ctrl+=", "\x1b[27;5;61~", {code(61)}},
        {"Shift+Backspace", "\x1b[27;2;127~", {code(8)}},
        {"Alt+Backspace", "\x1b[27;3;127~", {two(14)}},
        {"Ctrl+Shift+Backspace", "\x1b[27;6;8~", {code(127)}},
        {"u form: Ctrl+c", "\x1b[99;5u", {code(3)}},
        {"u form: Shift+c", "\x1b[67;2u", {code(67)}},
        {"u form: Alt+c", "\x1b[99;3u", {two(46)}},
        {"u form: Shift+Enter", "\x1b[13;2u", {code(13)}},
        {"u form: Ctrl+Tab", "\x1b[9;5u", {two(148)}},
        {"u form: Ctrl+1", "\x1b[49;5u", {code(49)}},
        {"u form: Alt+Backspace", "\x1b[127;3u", {two(14)}},
    });
}

TEST(KeyDecoder, KittyProtocolReports) {
    checkValueRows(
        {
            {"Caps Lock+Ctrl+c", "\x1b[99;69u", {code(3)}},
            {"Num Lock+Ctrl+c", "\x1b[99;133u", {code(3)}},
            {"c with Caps Lock, flags 31", "\x1b[99;65;67u", {code(67)}},
            {"c, flags 31", "\x1b[99;;99u", {code(99)}},
            {"Shift+c, flags 31", "\x1b[99:67;2;67u", {code(67)}},
            {"Ctrl+Shift+c, flags 31", "\x1b[99:67;6u", {code(3)}},
            {"Alt+c", "\x1b[99;3u", {two(46)}},
            {"c, all keys as codes, no text", "\x1b[99u", {code(99)}},
            {"c with Caps Lock, no text", "\x1b[99;65u", {code(67)}},
            {"Shift+c, no text", "\x1b[99;2u", {code(67)}},
            {"Caps Lock+Shift+c, no text", "\x1b[99;66u", {code(67)}},
            {"repeat counts as a press", "\x1b[99;1:2u", {code(99)}},
            {"explicit press event", "\x1b[99;1:1u", {code(99)}},
            {"Alt+a on AZERTY is the US q position", "\x1b[97::113;3u", {two(16)}},
            {"Ctrl+Cyrillic es is Ctrl+C by position", "\x1b[1089::99;5u", {code(3)}},
            {"Alt+Cyrillic es is Alt+C by position", "\x1b[1089::99;3u", {two(46)}},
            {"o grave, flags 31", "\x1b[242;;242u", {code(242)}},
            {"o grave, no text", "\x1b[242u", {code(242)}},
            {"Shift+e grave", "\x1b[232:200;2;200u", {code(200)}},
            {"e grave with Caps Lock: the text decides", "\x1b[232;65;200u", {code(200)}},
            {"Esc", "\x1b[27u", {code(27)}},
            {"Alt+Esc", "\x1b[27;3u", {two(1)}},
            {"Enter", "\x1b[13u", {code(13)}},
            {"Ctrl+Enter", "\x1b[13;5u", {code(10)}},
            {"Alt+Enter", "\x1b[13;3u", {two(166)}},
            {"Tab", "\x1b[9u", {code(9)}},
            {"Shift+Tab", "\x1b[9;2u", {two(15)}},
            {"Backspace", "\x1b[127u", {code(8)}},
            {"Ctrl+Backspace", "\x1b[127;5u", {code(127)}},
            {"Ctrl+Space", "\x1b[32;5u", {two(3)}},
            {"Ctrl+2", "\x1b[50;5u", {two(3)}},
            {"Space, flags 31", "\x1b[32;;32u", {code(32)}},
            {"Delete", "\x1b[3~", {two(83)}},
            {"Num Lock+Ctrl+Delete is Ctrl+keypad .", "\x1b[3;133~", {two(83)}},
            {"F9 with Caps Lock", "\x1b[20;65~", {two(67)}},
            {"F9 with Num Lock", "\x1b[20;129~", {two(67)}},
            {"Up with Num Lock", "\x1b[1;129A", {two(72)}},
            {"Shift+Home", "\x1b[1;2H", {two(71)}},
            {"Super+c (Super means nothing)", "\x1b[99;9u", {code(99)}},
            {"Super+Up", "\x1b[1;9A", {two(72)}},
            {"Meta+c is Alt+C", "\x1b[99;33u", {two(46)}},
            {"keypad 0 with Num Lock, flags 31", "\x1b[57399;129;48u", {code(48)}},
            {"keypad . with Num Lock, flags 31", "\x1b[57409;129;46u", {code(46)}},
            {"keypad *, flags 31", "\x1b[57411;;42u", {code(42)}},
            {"keypad *, no text", "\x1b[57411u", {code(42)}},
            {"Ctrl+keypad *", "\x1b[57411;5u", {two(150)}},
            {"Alt+keypad +", "\x1b[57413;3u", {two(78)}},
            {"Ctrl+keypad /", "\x1b[57410;5u", {two(149)}},
            {"Ctrl+keypad 1", "\x1b[57400;5u", {two(117)}},
            {"Alt+keypad 2 (a cell without value: the digit)", "\x1b[57401;3u", {code(50)}},
            {"keypad Enter", "\x1b[57414u", {code(13)}},
            {"keypad =", "\x1b[57415u", {code(61)}},
            {"keypad Insert (Num Lock off)", "\x1b[57425u", {two(82)}},
            {"keypad End (Num Lock off)", "\x1b[57424u", {two(79)}},
            {"Ctrl+keypad Left", "\x1b[57417;5u", {two(115)}},
            {"keypad Delete (Num Lock off)", "\x1b[57426u", {two(83)}},
            {"keypad Begin", "\x1b[57427~", {two(76)}},
            {"keypad Begin, letter form", "\x1b[1E", {two(76)}},
            {"a fourth sub-field of the code is ignored", "\x1b[97::97:5u", {code(97)}},
            {"Shift+a with a fourth sub-field", "\x1b[97:65:97:100;2u", {code(65)}},
            {"text of four code points gives the first", "\x1b[97;1;97:98:99:100u", {code(97)}},
            {"text DEL is no text", "\x1b[97;;127u", {code(97)}},
            {"text U+0080 (a C1 control) is no text", "\x1b[97;;128u", {code(97)}},
            {"text U+009F (a C1 control) is no text", "\x1b[97;;159u", {code(97)}},
            {"text U+00A0 is text", "\x1b[97;;160u", {code(160)}},
            {"text that is a high surrogate is no text", "\x1b[97;;55296u", {code(97)}},
            {"text that is a low surrogate is no text", "\x1b[97;;57343u", {code(97)}},
            {"text at the start of the private-use block", "\x1b[97;;57344u", {code(97)}},
            {"text at the end of the private-use block", "\x1b[97;;63743u", {code(97)}},
            {"text past U+10FFFF is no text", "\x1b[97;;1114112u", {code(97)}},
            {"code U+0080 types nothing", "\x1b[128u", {kNothing}},
            {"code that is a surrogate types nothing", "\x1b[55296u", {kNothing}},
            {"code past U+10FFFF is no key", "\x1b[1114112u", {}},
            {"key without a row whose text is a C1 control", "\x1b[57363;;128u", {}},
            {"Alt+a grave with a base key past ASCII", "\x1b[224::224;3u", {code(224)}},
            {"a grave with a base key and no Alt or Ctrl", "\x1b[224::97u", {code(224)}},
            {"Cyrillic es with a base key and no Alt or Ctrl", "\x1b[1089::99u", {kNothing}},
            {"Ctrl+a with its own base key", "\x1b[97::97;5u", {code(1)}},
            {"Ctrl+a on AZERTY follows the character", "\x1b[97::113;5u", {code(1)}},
            {"Shift+1, no text: the shifted key", "\x1b[49:33;2u", {code(33)}},
            {"Shift+a grave, no text: the shifted key", "\x1b[224:192;2u", {code(192)}},
            {"Shift+a grave whose shifted key is no text", "\x1b[224:128;2u", {code(224)}},
            {"a grave, shifted key without Shift", "\x1b[224:192u", {code(224)}},
        },
        /*kitty=*/true);
}

// The rows split "\x1b" "c" to end the hex escape; formatting would put the halves on two lines.
// clang-format off
TEST(KeyDecoder, Utf8AndLatin1) {
    checkValueRows({
        {"a grave", "\xc3\xa0", {code(224)}},
        {"e grave", "\xc3\xa8", {code(232)}},
        {"e acute", "\xc3\xa9", {code(233)}},
        {"i grave", "\xc3\xac", {code(236)}},
        {"o grave", "\xc3\xb2", {code(242)}},
        {"u grave", "\xc3\xb9", {code(249)}},
        {"capital A grave", "\xc3\x80", {code(192)}},
        {"no-break space is not Alt+Space", "\xc2\xa0", {code(160)}},
        {"euro sign has no code", "\xe2\x82\xac", {kNothing}},
        {"four-byte character has no code", "\xf0\x9f\x98\x80", {kNothing}},
        {"Latin-1 byte that cannot start UTF-8", "\xff", {code(255)}},
        {"stray continuation byte", "\x80", {code(128)}},
        {"over-long form is two Latin-1 bytes", "\xc0\x80", {code(192), code(128)}},
        {"over-long three-byte form", "\xe0\x80\xaf", {code(224), code(128), code(175)}},
        {"lead byte before ASCII", "\xc3" "c", {code(195), code(99)}},
        {"encoded surrogate is three Latin-1 bytes",
         "\xed\xa0\x80",
         {code(237), code(160), code(128)}},
        {"code point past U+10FFFF",
         "\xf4\x90\x80\x80",
         {code(244), code(144), code(128), code(128)}},
    });
}
// clang-format on

// The rows split "\x1b" "c" to end the hex escape; formatting would put the halves on two lines.
// clang-format off
TEST(KeyDecoder, PressesComeOutInOrder) {
    checkValueRows({
        {"a burst of legacy keys", "c\x1b[20~C\x03\x1b" "c",
         {code(99), two(67), code(67), code(3), two(46)}},
        {"kitty press, release, press", "\x1b[99;1u\x1b[99;1:3u\x1b[99;1u", {code(99), code(99)}},
        {"modifier key reports around a press",
         "\x1b[57441u\x1b[99:67;2;67u\x1b[57441;2:3u",
         {code(67)}},
        {"F1 then F9 (the drill's two waits)", "\x1bOP\x1b[20~", {two(59), two(67)}},
        {"a cut-off sequence gives way to the next", "\x1b[1;\x1b[A", {two(72)}},
        {"a control byte breaks a sequence off", "\x1b[1\x03", {code(3)}},
        {"a control byte right after ESC [", "\x1b[\x03", {two(26), code(3)}},
        {"a sequence right after ESC O", "\x1bO\x1b[A", {two(24), two(72)}},
        {"a character breaks a sequence off", "\x1b[12\xc3\xa0", {code(224)}},
        {"a digit after ESC [ [ is a key of its own", "\x1b[[1", {code(49)}},
        {"DEL after ESC [ [ is a key of its own", "\x1b[[\x7f", {code(8)}},
    });
}
// clang-format on

// ---------------------------------------------------------------------------------------------
// Exact presses, where the key, modifiers or delivered character matter beyond one value.

struct PressRow {
    const char* name;
    std::string_view bytes;
    KeyPress expected;
};

// The rows split "\x1b" "c" to end the hex escape; formatting would put the halves on two lines.
// clang-format off
TEST(KeyDecoder, DecodedPresses) {
    const PressRow rows[] = {
        {"c", "c", {Key::C, 0, U'c'}},
        {"C carries Shift", "C", {Key::C, kS, U'C'}},
        {"shifted digit", "!", {Key::Digit1, kS, U'!'}},
        {"shifted punctuation", "{", {Key::LeftBracket, kS, U'{'}},
        {"Ctrl+C", "\x03", {Key::C, kC, 3}},
        {"Alt+c", "\x1b" "c", {Key::C, kA, U'c'}},
        {"Alt+C", "\x1b" "C", {Key::C, kA | kS, U'C'}},
        {"Alt+Backspace", "\x1b\x7f", {Key::Backspace, kA, 0x7f}},
        {"F9 delivers nothing", "\x1b[20~", {Key::F9, 0, 0}},
        {"legacy Meta bit is Alt", "\x1b[1;9A", {Key::Up, kA, 0}},
        {"rxvt Alt+Up", "\x1b\x1b[A", {Key::Up, kA, 0}},
        {"keypad Enter has no row", "\x1bOM", {Key::NoRow, 0, U'\r'}},
        {"keypad 5 with Num Lock off", "\x1b[E", {Key::Keypad5, kS, 0}},
        {"accented letter", "\xc3\xa0", {Key::NoRow, 0, U'\u00e0'}},
        {"euro sign", "\xe2\x82\xac", {Key::NoRow, 0, U'\u20ac'}},
        {"four-byte character", "\xf0\x9f\x98\x80", {Key::NoRow, 0, U'\U0001F600'}},
        {"Latin-1 byte", "\xff", {Key::NoRow, 0, 0xff}},
        {"kitty Caps Lock+Shift+c", "\x1b[99;66;99u", {Key::C, kS | kCaps, U'c'}},
        {"kitty c with Caps Lock, no text", "\x1b[99;65u", {Key::C, kCaps, U'C'}},
        {"kitty Delete with Num Lock", "\x1b[3;129~", {Key::Delete, kNum, 0}},
        {"kitty keypad Left", "\x1b[57417u", {Key::Keypad4, kS, 0}},
        {"kitty keypad Enter", "\x1b[57414u", {Key::NoRow, 0, U'\r'}},
        {"kitty Cyrillic letter", "\x1b[1089;;1089u", {Key::NoRow, 0, U'\u0441'}},
        {"kitty Alt+a on AZERTY", "\x1b[97::113;3u", {Key::Q, kA, U'a'}},
        {"kitty key without a row that carries text", "\x1b[57363;;97u", {Key::NoRow, 0, U'a'}},
        {"kitty text of several code points gives the first",
         "\x1b[101;;101:769u",
         {Key::E, 0, U'e'}},
        {"kitty base key without Alt or Ctrl decides nothing",
         "\x1b[1089::99u",
         {Key::NoRow, 0, U'\u0441'}},
        {"kitty Ctrl+a on AZERTY stays on A", "\x1b[97::113;5u", {Key::A, kC, U'a'}},
        {"kitty Shift+1 without text delivers !", "\x1b[49:33;2u", {Key::Digit1, kS, U'!'}},
    };
    for (const PressRow& row : rows) {
        SCOPED_TRACE(row.name);
        for (const Feeding& feeding : kFeedings) {
            SCOPED_TRACE(feeding.name);
            KeyDecoder decoder;
            const Fed run = feedAll(decoder, row.bytes, feeding.chunk);
            EXPECT_EQ(presses(run.events), describe(row.expected));
            EXPECT_EQ(kindName(run.end), "Empty");
        }
    }
}
// clang-format on

// ---------------------------------------------------------------------------------------------
// Sequences that are no key press: consumed whole, and the key after them still comes out.

TEST(KeyDecoder, SequencesThatAreNoPressAreConsumedWhole) {
    const std::pair<const char*, std::string_view> rows[] = {
        {"kitty release of a character key", "\x1b[99;1:3u"},
        {"kitty release of a tilde key", "\x1b[20;1:3~"},
        {"kitty release of a letter-final key", "\x1b[1;1:3H"},
        {"kitty release of Left Shift", "\x1b[57441;2:3u"},
        {"kitty unknown event type", "\x1b[99;1:4u"},
        {"Left Shift alone", "\x1b[57441u"},
        {"Left Ctrl alone, Ctrl bit set", "\x1b[57442;5u"},
        {"Right Shift alone", "\x1b[57447u"},
        {"ISO Level 5 Shift alone", "\x1b[57454u"},
        {"Caps Lock", "\x1b[57358u"},
        {"Caps Lock with its lock bit", "\x1b[57358;65u"},
        {"Num Lock with its lock bit", "\x1b[57360;129u"},
        {"kitty F13", "\x1b[57376u"},
        {"media key", "\x1b[57428u"},
        {"Menu key", "\x1b[57363u"},
        {"kitty code 0", "\x1b[0u"},
        {"kitty empty code", "\x1b[;5u"},
        {"tilde number 16", "\x1b[16~"},
        {"tilde number 22", "\x1b[22~"},
        {"tilde number 27 without a key code", "\x1b[27;5~"},
        {"bracketed paste start", "\x1b[200~"},
        {"bracketed paste end", "\x1b[201~"},
        {"unknown letter final", "\x1b[99z"},
        {"focus in", "\x1b[I"},
        {"focus out", "\x1b[O"},
        {"cursor position report", "\x1b[24;80R"},
        {"secondary device attributes", "\x1b[>1;4000;21c"},
        {"mouse report", "\x1b[<0;10;20M"},
        {"kitty push reply shape with another marker", "\x1b[=1u"},
        {"intermediate byte", "\x1b[1 q"},
        {"too many fields", "\x1b[1;2;3;4A"},
        {"modifier past 256", "\x1b[1;300A"},
        {"modifier 0", "\x1b[1;0A"},
        {"number past any key", "\x1b[99999999999999999999;5u"},
        {"modifier with endless digits", "\x1b[1;99999999999A"},
        {"unknown Linux bracket final", "\x1b[[F"},
        {"unknown SS3 final", "\x1bOz"},
        {"unknown SS3 final with modifier", "\x1bO5z"},
        {"rxvt final on an unknown number", "\x1b[16$"},
        {"rxvt final with a modifier field", "\x1b[2;5$"},
        {"rxvt final without a number", "\x1b[$"},
        {"tilde key with three fields", "\x1b[3;5;1~"},
        {"letter final with three fields", "\x1b[1;5;1A"},
        {"u report with a fourth field", "\x1b[97;1;97;5u"},
        {"question mark marker with another final", "\x1b[?1h"},
        {"keyboard protocol reply shape with two fields", "\x1b[?1;2u"},
        {"Linux bracket final below A", "\x1b[[@"},
        {"SS3 with four fields", "\x1bO1;1;1;1P"},
        {"SS3 with three fields", "\x1bO1;1;1P"},
        {"SS3 with a first field other than 1", "\x1bO2;5P"},
        {"SS3 modifier 0", "\x1bO0P"},
        {"SS3 modifier past 256", "\x1bO300P"},
    };
    for (const auto& [name, bytes] : rows) {
        SCOPED_TRACE(name);
        for (const Feeding& feeding : kFeedings) {
            SCOPED_TRACE(feeding.name);
            KeyDecoder decoder;
            const Fed run = feedAll(decoder, std::string(bytes) + "x", feeding.chunk);
            EXPECT_EQ(presses(run.events), describe(KeyPress{Key::X, 0, U'x'}));
            EXPECT_EQ(kindName(run.end), "Empty");
        }
    }
}

// The rows split "\x1b" "c" to end the hex escape; formatting would put the halves on two lines.
// clang-format off
TEST(KeyDecoder, RepliesToQueries) {
    const struct {
        const char* name;
        std::string_view bytes;
        std::string expected;
    } rows[] = {
        {"keyboard protocol flags 31", "\x1b[?31u", "flags 31"},
        {"keyboard protocol flags 0", "\x1b[?0u", "flags 0"},
        {"keyboard protocol flags omitted", "\x1b[?u", "flags 0"},
        {"device attributes, kitty", "\x1b[?62;c", "DeviceAttributesReply"},
        {"device attributes, xterm", "\x1b[?64;1;2;6;9;15;16;17;18;21;22;28c",
         "DeviceAttributesReply"},
        {"device attributes, tmux", "\x1b[?1;2c", "DeviceAttributesReply"},
        {"replies between presses", "c\x1b[?1u\x1b[?62;c" "C",
         "99 | flags 1 | DeviceAttributesReply | 67"},
        {"Esc just before a reply", "\x1b\x1b[?62;c", "27 | DeviceAttributesReply"},
        {"Esc just before a flags reply", "\x1b\x1b[?1u", "27 | flags 1"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        for (const Feeding& feeding : kFeedings) {
            SCOPED_TRACE(feeding.name);
            KeyDecoder decoder;
            const Fed run = feedAll(decoder, row.bytes, feeding.chunk);
            EXPECT_EQ(values(run.events), row.expected);
            EXPECT_EQ(kindName(run.end), "Empty");
        }
    }
}
// clang-format on

// ---------------------------------------------------------------------------------------------
// The Esc timeout.

TEST(KeyDecoder, LoneEscIsTheEscKeyAtTheTimeout) {
    KeyDecoder decoder;
    feedBytes(decoder, "\x1b");
    EXPECT_EQ(kindName(decoder.next().kind), "NeedMore");
    EXPECT_EQ(kindName(decoder.next().kind), "NeedMore") << "asking again changes nothing";
    const DecoderEvent e = decoder.expire();
    EXPECT_EQ(pressOf(e), describe(KeyPress{Key::Esc, 0, 0x1b}));
    EXPECT_EQ(valueOf(e), "27");
    EXPECT_EQ(kindName(decoder.next().kind), "Empty");
}

TEST(KeyDecoder, EscThenLetterWithinTheWaitIsAltLetter) {
    KeyDecoder decoder;
    feedBytes(decoder, "\x1b");
    EXPECT_EQ(kindName(decoder.next().kind), "NeedMore");
    feedBytes(decoder, "c");
    EXPECT_EQ(valueOf(decoder.next()), "0,46");
    EXPECT_EQ(kindName(decoder.next().kind), "Empty");
}

TEST(KeyDecoder, IntroducersAloneAtTheTimeout) {
    const struct {
        const char* name;
        std::string_view bytes;
        KeyPress expected;
        std::string value;
    } rows[] = {
        {"ESC [ is Alt+[", "\x1b[", {Key::LeftBracket, kA, U'['}, "0,26"},
        {"ESC O is Alt+Shift+O", "\x1bO", {Key::O, kA | kS, U'O'}, "0,24"},
        {"ESC ESC is Alt+Esc", "\x1b\x1b", {Key::Esc, kA, 0x1b}, "0,1"},
        {"ESC ESC [ is Alt+[", "\x1b\x1b[", {Key::LeftBracket, kA, U'['}, "0,26"},
        {"ESC and a cut-off character is Alt and its lead byte",
         "\x1b\xc3",
         {Key::NoRow, kA, 0xc3},
         "195"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        KeyDecoder decoder;
        feedBytes(decoder, row.bytes);
        EXPECT_EQ(kindName(decoder.next().kind), "NeedMore");
        const DecoderEvent e = decoder.expire();
        EXPECT_EQ(pressOf(e), describe(row.expected));
        EXPECT_EQ(valueOf(e), row.value);
        EXPECT_EQ(kindName(decoder.next().kind), "Empty");
    }
}

TEST(KeyDecoder, CutOffSequencesAreDroppedAtTheTimeout) {
    const std::pair<const char*, std::string_view> rows[] = {
        {"CSI with parameters", "\x1b[1;5"},
        {"CSI with one digit", "\x1b[2"},
        {"modifyOtherKeys without its final", "\x1b[27;5;99"},
        {"kitty report without its final", "\x1b[99;1:3"},
        {"Linux function key prefix", "\x1b[["},
        {"SS3 with modifier digits", "\x1bO5"},
        {"rxvt Alt and a cut-off sequence", "\x1b\x1b[1;"},
    };
    for (const auto& [name, bytes] : rows) {
        SCOPED_TRACE(name);
        KeyDecoder decoder;
        feedBytes(decoder, bytes);
        EXPECT_EQ(kindName(decoder.next().kind), "NeedMore");
        EXPECT_EQ(kindName(decoder.expire().kind), "Empty");
        feedBytes(decoder, "c");
        EXPECT_EQ(valueOf(decoder.next()), "99") << "the next key is not taken into it";
    }
}

TEST(KeyDecoder, CutOffUtf8GivesItsLeadByteAsLatin1) {
    KeyDecoder decoder;
    feedBytes(decoder, "\xe2\x82");
    EXPECT_EQ(kindName(decoder.next().kind), "NeedMore");
    EXPECT_EQ(valueOf(decoder.expire()), "226");
    EXPECT_EQ(valueOf(decoder.next()), "130") << "the continuation byte on its own";
    EXPECT_EQ(kindName(decoder.next().kind), "Empty");
}

TEST(KeyDecoder, Latin1TerminalSendsAGraveAsOneByte) {
    // 0xE0 is à in Latin-1 and also the start of a three-byte UTF-8 character.
    KeyDecoder decoder;
    feedBytes(decoder, "\xe0");
    EXPECT_EQ(kindName(decoder.next().kind), "NeedMore");
    EXPECT_EQ(pressOf(decoder.expire()), describe(KeyPress{Key::NoRow, 0, 0xe0}));
}

TEST(KeyDecoder, ExpireWithNothingBufferedIsEmpty) {
    KeyDecoder decoder;
    EXPECT_EQ(kindName(decoder.expire().kind), "Empty");
    EXPECT_EQ(kindName(decoder.next().kind), "Empty");
}

TEST(KeyDecoder, ExpireTakesCompletePressesFirst) {
    KeyDecoder decoder;
    feedBytes(decoder, "c\x1b");
    EXPECT_EQ(valueOf(decoder.expire()), "99");
    EXPECT_EQ(kindName(decoder.next().kind), "NeedMore") << "the ESC waits its own time";
    EXPECT_EQ(valueOf(decoder.expire()), "27");
}

// ---------------------------------------------------------------------------------------------
// Bounded input.

TEST(KeyDecoder, EndlessParameterDigitsAreDroppedAndDecodingResumes) {
    KeyDecoder decoder;
    const std::string digits(5000, '9');
    const std::string input = "\x1b[" + digits + "Ac";
    std::vector<DecoderEvent> events;
    std::size_t pos = 0;
    while (pos < input.size()) {
        const std::size_t n =
            decoder.feed(reinterpret_cast<const unsigned char*>(input.data() + pos),
                         std::min<std::size_t>(input.size() - pos, 100));
        ASSERT_GT(n, 0u) << "the decoder is stuck at offset " << pos;
        pos += n;
        for (DecoderEvent e = decoder.next(); e.kind != Kind::Empty && e.kind != Kind::NeedMore;
             e = decoder.next()) {
            events.push_back(e);
        }
        EXPECT_GE(decoder.room(), KeyDecoder::kCapacity / 2) << "it holds no more than it needs";
    }
    EXPECT_EQ(values(events), "99") << "the A ends the dropped sequence; c is a key again";
}

TEST(KeyDecoder, LongCompleteSequenceIsSkipped) {
    const std::string input = "\x1b[" + std::string(200, '1') + "~c";
    for (const Feeding& feeding : kFeedings) {
        SCOPED_TRACE(feeding.name);
        KeyDecoder decoder;
        const Fed run = feedAll(decoder, input, feeding.chunk);
        EXPECT_EQ(values(run.events), "99");
        EXPECT_EQ(kindName(run.end), "Empty");
    }
}

TEST(KeyDecoder, TimeoutEndsAnOverlongSequence) {
    KeyDecoder decoder;
    feedBytes(decoder, "\x1b[" + std::string(200, '1'));
    EXPECT_EQ(kindName(decoder.next().kind), "NeedMore");
    EXPECT_EQ(kindName(decoder.expire().kind), "Empty");
    feedBytes(decoder, "5");
    EXPECT_EQ(valueOf(decoder.next()), "53") << "a digit typed later is a key, not more garbage";
}

TEST(KeyDecoder, OverlongSequenceEndsAtAnyByteThatCannotContinueIt) {
    KeyDecoder decoder;
    feedBytes(decoder, "\x1b[" + std::string(200, '1'));
    EXPECT_EQ(kindName(decoder.next().kind), "NeedMore");
    feedBytes(decoder, "\x03");
    EXPECT_EQ(valueOf(decoder.next()), "3");
}

// However the reads split them, over-long sequences end where they would end arriving whole:
// an SS3 sequence at the first byte that is no digit or ';', which is then a key of its own.
TEST(KeyDecoder, OverlongSequenceEndsTheSameHoweverSplit) {
    const struct {
        const char* name;
        std::string bytes;
        std::vector<KeyValue> expected;
    } rows[] = {
        {"Ss3ThenPlus", "\x1bO" + std::string(126, '0') + "+", {code(43)}},
        {"Ss3ThenColon", "\x1bO" + std::string(200, '1') + ":x", {code(58), code(120)}},
        {"CsiThenLetter", "\x1b[" + std::string(200, '1') + "Ax", {code(120)}},
        {"CsiThenDollar", "\x1b[" + std::string(200, '1') + "$x", {code(120)}},
        {"Ss3ThenFinal", "\x1bO" + std::string(200, '1') + "Px", {code(120)}},
        {"Ss3WithSemicolonsThenFinal", "\x1bO" + std::string(200, ';') + "Px", {code(120)}},
        {"Ss3ThenDollar", "\x1bO" + std::string(200, '1') + "$x", {code(36), code(120)}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        for (const Feeding& feeding : kFeedings) {
            SCOPED_TRACE(feeding.name);
            KeyDecoder decoder;
            const Fed run = feedAll(decoder, row.bytes, feeding.chunk);
            EXPECT_EQ(values(run.events), values(row.expected));
        }
    }
}

TEST(KeyDecoder, FeedTakesAtMostRoom) {
    KeyDecoder decoder;
    const std::string input(KeyDecoder::kCapacity + 44, 'a');
    const auto* data = reinterpret_cast<const unsigned char*>(input.data());
    EXPECT_EQ(decoder.feed(data, input.size()), KeyDecoder::kCapacity);
    EXPECT_EQ(decoder.room(), 0u);
    EXPECT_EQ(decoder.feed(data, 1), 0u);
    EXPECT_EQ(valueOf(decoder.next()), "97");
    EXPECT_EQ(decoder.room(), 1u);

    int count = 1;
    while (decoder.next().kind == Kind::Press)
        ++count;
    EXPECT_EQ(decoder.room(), KeyDecoder::kCapacity);
    EXPECT_EQ(decoder.feed(data, 44), 44u);
    while (decoder.next().kind == Kind::Press)
        ++count;
    EXPECT_EQ(count, static_cast<int>(input.size())) << "every byte is one press";
}

// ---------------------------------------------------------------------------------------------
// Settings.

TEST(KeyDecoder, EraseByteDecidesBackspace) {
    const struct {
        const char* name;
        unsigned char erase;
        std::string_view bytes;
        KeyPress expected;
        std::string value;
    } rows[] = {
        {"erase DEL: DEL is Backspace", 0x7f, "\x7f", {Key::Backspace, 0, 0x7f}, "8"},
        {"erase DEL: 0x08 is Ctrl+H", 0x7f, "\x08", {Key::H, kC, 0x08}, "8"},
        {"erase 0x08: 0x08 is Backspace", 0x08, "\x08", {Key::Backspace, 0, 0x08}, "8"},
        {"erase 0x08: DEL is Ctrl+Backspace", 0x08, "\x7f", {Key::Backspace, kC, 0x7f}, "127"},
        {"erase disabled: DEL is Backspace", 0x00, "\x7f", {Key::Backspace, 0, 0x7f}, "8"},
        {"erase 0x08: ESC 0x08 is Alt+Backspace",
         0x08,
         "\x1b\x08",
         {Key::Backspace, kA, 0x08},
         "0,14"},
        {"erase 0x08: ESC DEL is Ctrl+Alt+Backspace",
         0x08,
         "\x1b\x7f",
         {Key::Backspace, kA | kC, 0x7f},
         "0,14"},
        {"erase DEL: ESC 0x08 is Ctrl+Alt+Backspace",
         0x7f,
         "\x1b\x08",
         {Key::Backspace, kA | kC, 0x08},
         "0,14"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        KeyDecoder decoder(row.erase);
        const Fed run = feedAll(decoder, row.bytes, 0);
        EXPECT_EQ(presses(run.events), describe(row.expected));
        EXPECT_EQ(values(run.events), row.value);
    }
}

TEST(KeyDecoder, SetEraseByteTakesEffect) {
    KeyDecoder decoder;
    decoder.setEraseByte(0x08);
    feedBytes(decoder, "\x7f");
    EXPECT_EQ(valueOf(decoder.next()), "127");
    decoder.setEraseByte(0x7f);
    feedBytes(decoder, "\x7f");
    EXPECT_EQ(valueOf(decoder.next()), "8");
}

TEST(KeyDecoder, ModifierBit8IsMetaOnlyOutsideTheKittyProtocol) {
    const struct {
        const char* name;
        bool kitty;
        std::string_view bytes;
        std::string value;
    } rows[] = {
        {"legacy Meta+Up is Alt+Up", false, "\x1b[1;9A", "0,152"},
        {"legacy Meta+F9 is Alt+F9", false, "\x1b[20;9~", "0,112"},
        {"legacy Meta+c is Alt+C", false, "\x1b[99;9u", "0,46"},
        {"kitty Super+Up is Up", true, "\x1b[1;9A", "0,72"},
        {"kitty Super+F9 is F9", true, "\x1b[20;9~", "0,67"},
        {"kitty Super+c is c", true, "\x1b[99;9u", "99"},
        {"kitty Meta+c is Alt+C", true, "\x1b[99;33u", "0,46"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        KeyDecoder decoder;
        decoder.setKittyProtocol(row.kitty);
        const Fed run = feedAll(decoder, row.bytes, 0);
        EXPECT_EQ(values(run.events), row.value);
    }
}

// ---------------------------------------------------------------------------------------------
// The key table lookup.

struct LookupRow {
    const char* name;
    KeyPress press;
    KeyValue expected;
};

TEST(KeyTable, LookupRules) {
    const LookupRow rows[] = {
        // Letters: the delivered character without modifiers, else the modifier's cell.
        {"c delivers c", {Key::C, 0, U'c'}, code(99)},
        {"c with Caps Lock delivers C", {Key::C, kCaps, U'C'}, code(67)},
        {"Shift+C with Caps Lock delivers c, still 67", {Key::C, kS | kCaps, U'c'}, code(67)},
        {"Ctrl+C", {Key::C, kC, 3}, code(3)},
        {"Alt+C", {Key::C, kA, U'c'}, two(46)},
        {"Alt over Ctrl and Shift", {Key::C, kA | kC | kS, 3}, two(46)},
        {"letter key follows the layout", {Key::A, 0, U'q'}, code(113)},
        {"letter delivering nothing gives 0", {Key::Q, 0, 0}, code(0)},
        {"letter delivering a character past 255 gives nothing", {Key::Q, 0, U'\u0439'}, kNothing},
        {"Shift cell of a letter ignores the delivered character",
         {Key::Q, kS, U'\u0439'},
         code(81)},
        // Cell precedence on a row with four different cells.
        {"Tab plain", {Key::Tab, 0, 9}, code(9)},
        {"Tab Shift", {Key::Tab, kS, 9}, two(15)},
        {"Tab Ctrl over Shift", {Key::Tab, kC | kS, 9}, two(148)},
        {"Tab Alt over Ctrl", {Key::Tab, kA | kC, 9}, two(165)},
        {"Caps Lock picks no cell", {Key::Digit1, kCaps, U'1'}, code(49)},
        {"Num Lock picks no cell", {Key::Keypad5, kNum, U'5'}, code(53)},
        // Code and two-part cells.
        {"Backspace", {Key::Backspace, 0, 8}, code(8)},
        {"Shift+Backspace", {Key::Backspace, kS, 8}, code(8)},
        {"Ctrl+Backspace", {Key::Backspace, kC, 8}, code(127)},
        {"Alt+Backspace", {Key::Backspace, kA, 8}, two(14)},
        {"Ctrl+Enter", {Key::Enter, kC, 13}, code(10)},
        {"Alt+Enter", {Key::Enter, kA, 13}, two(166)},
        {"Ctrl+Esc", {Key::Esc, kC, 27}, code(27)},
        {"Alt+Esc", {Key::Esc, kA, 27}, two(1)},
        {"Ctrl+Space", {Key::Space, kC, 0}, two(3)},
        {"Alt+Space", {Key::Space, kA, 32}, code(32)},
        {"Shift+0", {Key::Digit0, kS, U')'}, code(41)},
        {"Shift+6", {Key::Digit6, kS, U'^'}, code(94)},
        {"Ctrl+2", {Key::Digit2, kC, 0}, two(3)},
        {"Ctrl+6", {Key::Digit6, kC, 0x1e}, code(30)},
        {"Alt+0", {Key::Digit0, kA, U'0'}, two(129)},
        {"Alt+9", {Key::Digit9, kA, U'9'}, two(128)},
        {"Home", {Key::Home, 0, 0}, two(71)},
        {"Shift+Page Down is plain", {Key::PageDown, kS, 0}, two(81)},
        {"Ctrl+Up", {Key::Up, kC, 0}, two(141)},
        {"Alt+Delete", {Key::Delete, kA, 0}, two(163)},
        {"Shift+keypad 0", {Key::Keypad0, kS, 0}, two(82)},
        {"Ctrl+keypad 5", {Key::Keypad5, kC, 0}, two(143)},
        {"Ctrl+keypad *", {Key::KeypadMultiply, kC, U'*'}, two(150)},
        {"Alt+keypad /", {Key::KeypadDivide, kA, U'/'}, two(164)},
        {"keypad .", {Key::KeypadDecimal, 0, U'.'}, code(46)},
        {"F1", {Key::F1, 0, 0}, two(59)},
        {"F9", {Key::F9, 0, 0}, two(67)},
        {"Shift+F10", {Key::F10, kS, 0}, two(93)},
        {"Ctrl+F1", {Key::F1, kC, 0}, two(94)},
        {"Alt+F10", {Key::F10, kA, 0}, two(113)},
        {"F11", {Key::F11, 0, 0}, two(133)},
        {"Alt+F12", {Key::F12, kA, 0}, two(140)},
        {"Shift+backquote", {Key::Backquote, kS, U'~'}, code(126)},
        {"Ctrl+[", {Key::LeftBracket, kC, 0x1b}, code(27)},
        {"Ctrl+\\", {Key::Backslash, kC, 0x1c}, code(28)},
        {"Alt+'", {Key::Apostrophe, kA, U'\''}, two(40)},
        // Num Lock turns Delete into the keypad decimal point.
        {"Delete", {Key::Delete, 0, 0}, two(83)},
        {"Delete with Num Lock", {Key::Delete, kNum, 0}, code(46)},
        {"Ctrl+Delete with Num Lock", {Key::Delete, kNum | kC, 0}, two(83)},
        {"Alt+Delete with Num Lock", {Key::Delete, kNum | kA, 0}, two(147)},
        // Cells without a value give the delivered character, if it has a code.
        {"Ctrl+3 delivering 3", {Key::Digit3, kC, U'3'}, code(51)},
        {"Ctrl+3 delivering nothing", {Key::Digit3, kC, 0}, kNothing},
        {"Ctrl+/ delivering 0x1F", {Key::Slash, kC, 0x1f}, code(31)},
        {"Ctrl+/ delivering nothing", {Key::Slash, kC, 0}, kNothing},
        {"Ctrl+= delivering =", {Key::Equals, kC, U'='}, code(61)},
        {"Alt+keypad 7 delivering 7", {Key::Keypad7, kA, U'7'}, code(55)},
        {"Alt+keypad 7 delivering nothing", {Key::Keypad7, kA, 0}, kNothing},
        // A key without a row: the delivered character in every cell.
        {"no row, a grave", {Key::NoRow, 0, U'\u00e0'}, code(224)},
        {"no row with Alt, e acute", {Key::NoRow, kA, U'\u00e9'}, code(233)},
        {"no row with Ctrl, keypad Enter", {Key::NoRow, kC, U'\r'}, code(13)},
        {"no row, nothing delivered (a modifier alone)", {Key::NoRow, kS, 0}, kNothing},
        {"no row, euro sign", {Key::NoRow, 0, U'\u20ac'}, kNothing},
    };
    for (const LookupRow& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(describe(lookupKey(row.press)), describe(row.expected));
    }
}

TEST(KeyTable, LetterRows) {
    // The Alt scan codes, A to Z.
    constexpr int kScanCodes[26] = {30, 48, 46, 32, 18, 33, 34, 35, 23, 36, 37, 38, 50,
                                    49, 24, 25, 16, 19, 31, 20, 22, 47, 17, 45, 21, 44};
    for (int i = 0; i < 26; ++i) {
        const Key key = static_cast<Key>(static_cast<int>(Key::A) + i);
        const auto lower = static_cast<char32_t>('a' + i);
        SCOPED_TRACE(std::string(1, static_cast<char>('A' + i)));
        EXPECT_EQ(describe(lookupKey({key, 0, lower})), describe(code('a' + i)));
        EXPECT_EQ(describe(lookupKey({key, kS, lower})), describe(code('A' + i)));
        EXPECT_EQ(describe(lookupKey({key, kC, lower})), describe(code(1 + i)));
        EXPECT_EQ(describe(lookupKey({key, kA, lower})), describe(two(kScanCodes[i])));
    }
}

TEST(KeyTable, DigitAndFunctionKeyRuns) {
    for (int i = 0; i < 10; ++i) {
        SCOPED_TRACE(i);
        const Key digit = static_cast<Key>(static_cast<int>(Key::Digit0) + i);
        const Key keypad = static_cast<Key>(static_cast<int>(Key::Keypad0) + i);
        const Key fkey = static_cast<Key>(static_cast<int>(Key::F1) + i);
        EXPECT_EQ(describe(lookupKey({digit, 0, 0})), describe(code('0' + i)));
        EXPECT_EQ(describe(lookupKey({digit, kA, 0})), describe(two(i == 0 ? 129 : 119 + i)));
        EXPECT_EQ(describe(lookupKey({keypad, 0, 0})), describe(code('0' + i)));
        EXPECT_EQ(describe(lookupKey({fkey, 0, 0})), describe(two(59 + i)));
        EXPECT_EQ(describe(lookupKey({fkey, kS, 0})), describe(two(84 + i)));
        EXPECT_EQ(describe(lookupKey({fkey, kC, 0})), describe(two(94 + i)));
        EXPECT_EQ(describe(lookupKey({fkey, kA, 0})), describe(two(104 + i)));
    }
}

}  // namespace
}  // namespace basedrill
