// The key table: what each key gives with each modifier, and the rules that pick the cell.
#include <array>
#include <cstddef>
#include <cstdint>

#include "console/key_table.h"

namespace basedrill {

namespace {

// One cell of the key table.
struct Cell {
    enum class Kind : std::uint8_t {
        None,     // the character the keyboard delivers
        Code,     // `code` itself
        TwoPart,  // 0, then `code`
    };
    Kind kind = Kind::None;
    std::uint8_t code = 0;
};

// A code outside 1 to 255 in the table below stops the build (a throw is not a constant
// expression).
constexpr std::uint8_t checked(int n) {
    if (n < 1 || n > 255) throw "a key code is 1 to 255";
    return static_cast<std::uint8_t>(n);
}
constexpr Cell code(int n) {
    return {Cell::Kind::Code, checked(n)};
}
constexpr Cell two(int n) {
    return {Cell::Kind::TwoPart, checked(n)};
}
constexpr Cell none{};
// The plain cell of a letter is never read: a letter without modifiers gives its delivered
// character by a rule of its own (see lookupKey), 0 included.
constexpr Cell letter{};

struct Row {
    Key key;
    Cell plain, shift, ctrl, alt;
};

// clang-format off
constexpr std::array<Row, 89> kRows{{
    // Key                 Plain       Shift       Ctrl         Alt
    {Key::Backspace,       code(8),    code(8),    code(127),   two(14)},
    {Key::Tab,             code(9),    two(15),    two(148),    two(165)},
    {Key::Enter,           code(13),   code(13),   code(10),    two(166)},
    {Key::Esc,             code(27),   code(27),   code(27),    two(1)},
    {Key::Space,           code(32),   code(32),   two(3),      code(32)},

    {Key::Digit0,          code(48),   code(41),   none,        two(129)},
    {Key::Digit1,          code(49),   code(33),   none,        two(120)},
    {Key::Digit2,          code(50),   code(64),   two(3),      two(121)},
    {Key::Digit3,          code(51),   code(35),   none,        two(122)},
    {Key::Digit4,          code(52),   code(36),   none,        two(123)},
    {Key::Digit5,          code(53),   code(37),   none,        two(124)},
    {Key::Digit6,          code(54),   code(94),   code(30),    two(125)},
    {Key::Digit7,          code(55),   code(38),   none,        two(126)},
    {Key::Digit8,          code(56),   code(42),   none,        two(127)},
    {Key::Digit9,          code(57),   code(40),   none,        two(128)},

    // The Alt cell holds the letter's scan code.
    {Key::A,               letter,     code(65),   code(1),     two(30)},
    {Key::B,               letter,     code(66),   code(2),     two(48)},
    {Key::C,               letter,     code(67),   code(3),     two(46)},
    {Key::D,               letter,     code(68),   code(4),     two(32)},
    {Key::E,               letter,     code(69),   code(5),     two(18)},
    {Key::F,               letter,     code(70),   code(6),     two(33)},
    {Key::G,               letter,     code(71),   code(7),     two(34)},
    {Key::H,               letter,     code(72),   code(8),     two(35)},
    {Key::I,               letter,     code(73),   code(9),     two(23)},
    {Key::J,               letter,     code(74),   code(10),    two(36)},
    {Key::K,               letter,     code(75),   code(11),    two(37)},
    {Key::L,               letter,     code(76),   code(12),    two(38)},
    {Key::M,               letter,     code(77),   code(13),    two(50)},
    {Key::N,               letter,     code(78),   code(14),    two(49)},
    {Key::O,               letter,     code(79),   code(15),    two(24)},
    {Key::P,               letter,     code(80),   code(16),    two(25)},
    {Key::Q,               letter,     code(81),   code(17),    two(16)},
    {Key::R,               letter,     code(82),   code(18),    two(19)},
    {Key::S,               letter,     code(83),   code(19),    two(31)},
    {Key::T,               letter,     code(84),   code(20),    two(20)},
    {Key::U,               letter,     code(85),   code(21),    two(22)},
    {Key::V,               letter,     code(86),   code(22),    two(47)},
    {Key::W,               letter,     code(87),   code(23),    two(17)},
    {Key::X,               letter,     code(88),   code(24),    two(45)},
    {Key::Y,               letter,     code(89),   code(25),    two(21)},
    {Key::Z,               letter,     code(90),   code(26),    two(44)},

    {Key::Home,            two(71),    two(71),    two(119),    two(151)},
    {Key::Up,              two(72),    two(72),    two(141),    two(152)},
    {Key::PageUp,          two(73),    two(73),    two(132),    two(153)},
    {Key::Left,            two(75),    two(75),    two(115),    two(155)},
    {Key::Right,           two(77),    two(77),    two(116),    two(157)},
    {Key::End,             two(79),    two(79),    two(117),    two(159)},
    {Key::Down,            two(80),    two(80),    two(145),    two(160)},
    {Key::PageDown,        two(81),    two(81),    two(118),    two(161)},
    {Key::Insert,          two(82),    two(82),    two(146),    two(162)},
    {Key::Delete,          two(83),    two(83),    two(147),    two(163)},

    {Key::Keypad0,         code(48),   two(82),    two(146),    none},
    {Key::Keypad1,         code(49),   two(79),    two(117),    none},
    {Key::Keypad2,         code(50),   two(80),    two(145),    none},
    {Key::Keypad3,         code(51),   two(81),    two(118),    none},
    {Key::Keypad4,         code(52),   two(75),    two(115),    none},
    {Key::Keypad5,         code(53),   two(76),    two(143),    none},
    {Key::Keypad6,         code(54),   two(77),    two(116),    none},
    {Key::Keypad7,         code(55),   two(71),    two(119),    none},
    {Key::Keypad8,         code(56),   two(72),    two(141),    none},
    {Key::Keypad9,         code(57),   two(73),    two(132),    none},
    {Key::KeypadMultiply,  code(42),   code(42),   two(150),    two(55)},
    {Key::KeypadPlus,      code(43),   code(43),   two(144),    two(78)},
    {Key::KeypadMinus,     code(45),   code(45),   two(142),    two(74)},
    {Key::KeypadDivide,    code(47),   code(47),   two(149),    two(164)},
    {Key::KeypadDecimal,   code(46),   code(46),   two(83),     two(147)},

    {Key::F1,              two(59),    two(84),    two(94),     two(104)},
    {Key::F2,              two(60),    two(85),    two(95),     two(105)},
    {Key::F3,              two(61),    two(86),    two(96),     two(106)},
    {Key::F4,              two(62),    two(87),    two(97),     two(107)},
    {Key::F5,              two(63),    two(88),    two(98),     two(108)},
    {Key::F6,              two(64),    two(89),    two(99),     two(109)},
    {Key::F7,              two(65),    two(90),    two(100),    two(110)},
    {Key::F8,              two(66),    two(91),    two(101),    two(111)},
    {Key::F9,              two(67),    two(92),    two(102),    two(112)},
    {Key::F10,             two(68),    two(93),    two(103),    two(113)},
    {Key::F11,             two(133),   two(135),   two(137),    two(139)},
    {Key::F12,             two(134),   two(136),   two(138),    two(140)},

    {Key::Backslash,       code(92),   code(124),  code(28),    two(43)},
    {Key::Slash,           code(47),   code(63),   none,        two(53)},
    {Key::Minus,           code(45),   code(95),   code(31),    two(130)},
    {Key::Equals,          code(61),   code(43),   none,        two(131)},
    {Key::LeftBracket,     code(91),   code(123),  code(27),    two(26)},
    {Key::RightBracket,    code(93),   code(125),  code(29),    two(27)},
    {Key::Semicolon,       code(59),   code(58),   none,        two(39)},
    {Key::Apostrophe,      code(39),   code(34),   none,        two(40)},
    {Key::Comma,           code(44),   code(60),   none,        two(51)},
    {Key::Period,          code(46),   code(62),   none,        two(52)},
    {Key::Backquote,       code(96),   code(126),  none,        two(41)},
}};
// clang-format on

// Row i describes the key whose enumerator is i + 1, so a row is found by its key alone.
constexpr bool rowsInKeyOrder() {
    for (std::size_t i = 0; i < kRows.size(); ++i) {
        if (static_cast<std::size_t>(kRows[i].key) != i + 1) return false;
    }
    return true;
}
static_assert(rowsInKeyOrder(), "the key table rows follow the order of Key");
static_assert(static_cast<std::size_t>(Key::Backquote) == kRows.size(), "one row per key");

constexpr KeyValue kSkip{KeyValue::Kind::Skip, 0};

// What a press that has no cell value gives: its delivered character, if it has a code.
constexpr KeyValue deliveredCode(char32_t delivered) {
    if (delivered < 1 || delivered > 255) return kSkip;
    return {KeyValue::Kind::Code, static_cast<int>(delivered)};
}

constexpr KeyValue cellValue(Cell cell, char32_t delivered) {
    switch (cell.kind) {
        case Cell::Kind::Code:
            return {KeyValue::Kind::Code, cell.code};
        case Cell::Kind::TwoPart:
            return {KeyValue::Kind::TwoPart, cell.code};
        case Cell::Kind::None:
            break;
    }
    return deliveredCode(delivered);
}

constexpr bool isLetter(Key key) {
    return key >= Key::A && key <= Key::Z;
}

}  // namespace

KeyValue lookupKey(const KeyPress& press) {
    Key key = press.key;
    // With Num Lock on, the Delete key is the keypad decimal point.
    if (key == Key::Delete && (press.mods & mod::kNumLock) != 0) key = Key::KeypadDecimal;

    const auto index = static_cast<std::size_t>(key);
    if (key == Key::NoRow || index > kRows.size()) return deliveredCode(press.delivered);
    const Row& row = kRows[index - 1];

    if ((press.mods & mod::kAlt) != 0) return cellValue(row.alt, press.delivered);
    if ((press.mods & mod::kCtrl) != 0) return cellValue(row.ctrl, press.delivered);
    if ((press.mods & mod::kShift) != 0) return cellValue(row.shift, press.delivered);
    if (isLetter(key)) {
        // Caps Lock and the layout have already decided the delivered character. A letter that
        // delivers none gives 0; one whose character has no code 1 to 255 gives nothing.
        if (press.delivered == 0) return {KeyValue::Kind::Code, 0};
        return deliveredCode(press.delivered);
    }
    return cellValue(row.plain, press.delivered);
}

}  // namespace basedrill
