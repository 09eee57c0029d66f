#include "console/terminal.h"

namespace basedrill {

int KeyReader::readKey() {
    if (pending_ != -1) {
        const int code = pending_;
        pending_ = -1;
        return code;
    }
    if (!device_.isOpen() || !device_.enterRaw()) return -1;

    int result = -1;
    while (const std::optional<KeyPress> press = device_.nextPress()) {
        const KeyValue value = lookupKey(*press);
        if (value.kind == KeyValue::Kind::Skip) continue;
        if (value.kind == KeyValue::Kind::TwoPart) {
            pending_ = value.code;
            result = 0;
        } else {
            result = value.code;
        }
        break;
    }
    // A restore that fails gives -1 even though a key was read; a second half stays pending.
    if (!device_.leaveRaw()) return -1;
    return result;
}

}  // namespace basedrill
