// The keyboard as the drill sees it: which key was pressed, with which modifiers, and the code
// that readKey gives for that press.
//
// A press is described the same way on every platform (a POSIX terminal decodes it from escape
// sequences, a native console would read it from its key events), and the key table below turns
// it into the code. The table has one row per key with four cells: plain, Shift, Ctrl, Alt.
#pragma once

#include <cstdint>

namespace basedrill {

// One enumerator per row of the key table, in the table's order. `NoRow` is a key the table does
// not list (an accented letter, keypad Enter, ...): it behaves as a row whose four cells all give
// the delivered character.
enum class Key : std::uint8_t {
    NoRow,
    Backspace,
    Tab,
    Enter,
    Esc,
    Space,
    Digit0,
    Digit1,
    Digit2,
    Digit3,
    Digit4,
    Digit5,
    Digit6,
    Digit7,
    Digit8,
    Digit9,
    A,
    B,
    C,
    D,
    E,
    F,
    G,
    H,
    I,
    J,
    K,
    L,
    M,
    N,
    O,
    P,
    Q,
    R,
    S,
    T,
    U,
    V,
    W,
    X,
    Y,
    Z,
    Home,
    Up,
    PageUp,
    Left,
    Right,
    End,
    Down,
    PageDown,
    Insert,
    Delete,
    Keypad0,
    Keypad1,
    Keypad2,
    Keypad3,
    Keypad4,
    Keypad5,
    Keypad6,
    Keypad7,
    Keypad8,
    Keypad9,
    KeypadMultiply,
    KeypadPlus,
    KeypadMinus,
    KeypadDivide,
    KeypadDecimal,
    F1,
    F2,
    F3,
    F4,
    F5,
    F6,
    F7,
    F8,
    F9,
    F10,
    F11,
    F12,
    Backslash,
    Slash,
    Minus,
    Equals,
    LeftBracket,
    RightBracket,
    Semicolon,
    Apostrophe,
    Comma,
    Period,
    Backquote,
};

// Modifier and lock state of a press, as bits.
namespace mod {
inline constexpr std::uint8_t kShift = 1;
inline constexpr std::uint8_t kAlt = 2;
inline constexpr std::uint8_t kCtrl = 4;
inline constexpr std::uint8_t kCapsLock = 8;
inline constexpr std::uint8_t kNumLock = 16;
}  // namespace mod

struct KeyPress {
    Key key = Key::NoRow;
    std::uint8_t mods = 0;
    // The character the keyboard delivers for the press (Caps Lock and the layout applied),
    // as a Unicode code point; 0 when the press delivers none (F9, an arrow, ...).
    char32_t delivered = 0;

    friend bool operator==(const KeyPress&, const KeyPress&) = default;
};

// What one press gives.
struct KeyValue {
    enum class Kind : std::uint8_t {
        Skip,     // the press gives nothing; the key wait goes on
        Code,     // `code`, 1 to 255 (or 0 for a letter that delivers no character)
        TwoPart,  // 0 now, and `code` (1 to 255) from the next readKey
    };
    Kind kind = Kind::Skip;
    int code = 0;

    friend bool operator==(const KeyValue&, const KeyValue&) = default;
};

// The key table lookup: Num Lock turns Delete into the keypad decimal point; then the Alt cell if
// Alt is held, else the Ctrl cell if Ctrl is held, else the Shift cell if Shift is held, else for
// a letter the delivered character, else the plain cell. A cell without a value gives the
// delivered character; a delivered character outside 1 to 255, or none, skips the press.
KeyValue lookupKey(const KeyPress& press);

}  // namespace basedrill
