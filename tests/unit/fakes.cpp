#include "fakes.h"

#include <algorithm>

namespace basedrill::testing {

bool StringSink::write(std::string_view chunk) {
    writes.push_back(chunk.size());
    const std::size_t room = refuseAfter > bytes.size() ? refuseAfter - bytes.size() : 0;
    bytes.append(chunk.substr(0, room));
    if (stopAfterBells != SIZE_MAX &&
        static_cast<std::size_t>(std::count(bytes.begin(), bytes.end(), '\a')) >= stopAfterBells)
        throw RingStopped{};
    return chunk.size() <= room;
}

long ScriptedSource::read(char* buffer, std::size_t capacity) {
    ++reads;
    if (chunks.empty()) return failAtEnd ? -1 : 0;
    std::string& chunk = chunks.front();
    const std::size_t n = std::min(capacity, chunk.size());
    std::copy_n(chunk.data(), n, buffer);
    chunk.erase(0, n);
    if (chunk.empty()) chunks.pop_front();
    return static_cast<long>(n);
}

bool ScriptedKeyboard::enterRaw() {
    if (rawFails) return false;
    raw = true;
    ++waits;
    return true;
}

bool ScriptedKeyboard::leaveRaw() {
    raw = false;
    return !restoreFails;
}

std::optional<KeyPress> ScriptedKeyboard::nextPress() {
    if (presses.empty()) return std::nullopt;
    std::optional<KeyPress> press = presses.front();
    presses.pop_front();
    return press;
}

void CountingScreen::clear() {
    ++clears;
    log_.bytes += kClearMark;
}

FakeConsole::FakeConsole(std::initializer_list<std::string> inputChunks, bool unitBuffered)
    : source(inputChunks), out(sink, unitBuffered) {}

void FakeConsole::typeKey(char c) {
    keyboard.presses.push_back(KeyPress{Key::NoRow, 0, static_cast<unsigned char>(c)});
}

}  // namespace basedrill::testing
