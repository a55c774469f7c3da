// Text helpers of the run-layer tests.
#ifndef QUILLMERE_RUN_TEST_TEXT_H
#define QUILLMERE_RUN_TEST_TEXT_H

#include <string>

namespace runtest {

// Code page 1251 to UTF-8 for ASCII and the Cyrillic block 0xC0-0xFF, the
// only bytes the texts use; anything else shows as '?'.
inline std::string Cp1251ToUtf8(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c < 0x80) {
            out += char(c);
        } else if (c >= 0xC0) {
            const unsigned cp = 0x410 + (c - 0xC0);
            out += char(0xC0 | (cp >> 6));
            out += char(0x80 | (cp & 0x3F));
        } else {
            out += '?';
        }
    }
    return out;
}

}  // namespace runtest

#endif
