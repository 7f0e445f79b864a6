// UTF-8 validity by the table of well-formed byte sequences of the Unicode Standard (3.9): no
// overlong forms, no surrogates, nothing above U+10FFFF. Runs of ASCII are skipped eight bytes
// at a time, since pages are mostly ASCII.
#include "utf8.hpp"

#include <cstdint>
#include <cstring>

namespace vornel::inspector {

namespace {

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

} // namespace

bool is_valid_utf8(std::string_view bytes)
{
    const auto* next = reinterpret_cast<const unsigned char*>(bytes.data());
    const unsigned char* const end = next + bytes.size();
    while (next != end) {
        if (end - next >= 8) {
            std::uint64_t word;
            std::memcpy(&word, next, sizeof word);
            if ((word & 0x8080808080808080u) == 0) {
                next += 8;
                continue;
            }
        }
        const unsigned char lead = *next;
        if (lead < 0x80) {
            ++next;
            continue;
        }
        const std::ptrdiff_t left = end - next;
        if (lead >= 0xC2 && lead <= 0xDF) {
            if (left < 2 || !is_continuation(next[1])) return false;
            next += 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            // E0 needs A0..BF second (no overlong form), ED needs 80..9F (no surrogate).
            const unsigned char low = lead == 0xE0 ? 0xA0 : 0x80, high = lead == 0xED ? 0x9F : 0xBF;
            if (left < 3 || next[1] < low || next[1] > high || !is_continuation(next[2])) return false;
            next += 3;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            // F0 needs 90..BF second (no overlong form), F4 needs 80..8F (nothing past U+10FFFF).
            const unsigned char low = lead == 0xF0 ? 0x90 : 0x80, high = lead == 0xF4 ? 0x8F : 0xBF;
            if (left < 4 || next[1] < low || next[1] > high || !is_continuation(next[2]) || !is_continuation(next[3]))
                return false;
            next += 4;
        } else {
            return false;
        }
    }
    return true;
}

} // namespace vornel::inspector
