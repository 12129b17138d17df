// Unicode character properties.
#include "unicode_props.h"

namespace qm {

bool is_white_space(char32_t cp) noexcept {
    // White_Space has been this set since Unicode 6.3.
    if (cp <= 0x20) return cp == 0x20 || (cp >= 0x09 && cp <= 0x0D);
    switch (cp) {
        case 0x85: case 0xA0: case 0x1680: case 0x2028: case 0x2029: case 0x202F: case 0x205F:
        case 0x3000:
            return true;
        default:
            return cp >= 0x2000 && cp <= 0x200A;
    }
}

}  // namespace qm
