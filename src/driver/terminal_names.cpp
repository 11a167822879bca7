// Names as the console shows them: byte for byte, or on a terminal with
// every byte that could steer it shown as "?".
#include "terminal_names.h"

#include <cstdio>

namespace {

// The length of the UTF-8 sequence that starts at `text[i]`: 1 to 4 for a
// whole, well-formed one (no overlong form, no surrogate, nothing above
// U+10FFFF), 0 when the byte there starts none.
size_t utf8_length(const std::string& text, size_t i)
{
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
        return 1;
    }
    size_t length = 0;
    unsigned char low = 0x80;  // the range of the second byte
    unsigned char high = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        low = c == 0xE0 ? 0xA0 : 0x80;
        high = c == 0xED ? 0x9F : 0xBF;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        low = c == 0xF0 ? 0x90 : 0x80;
        high = c == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (text.size() - i < length) {
        return 0;
    }
    for (size_t k = 1; k < length; ++k) {
        const unsigned char next = static_cast<unsigned char>(text[i + k]);
        if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF)) {
            return 0;
        }
    }
    return length;
}

}  // namespace

void print_path(const std::string& text, bool terminal)
{
    if (!terminal) {
        std::fwrite(text.data(), 1, text.size(), stdout);
        return;
    }
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const size_t length = utf8_length(text, i);
        if (length == 0 || c < 0x20 || c == 0x7F || (c == 0xC2 && static_cast<unsigned char>(text[i + 1]) <= 0x9F)) {
            std::putchar('?');
            i += length == 0 ? 1 : length;
        } else {
            std::fwrite(text.data() + i, 1, length, stdout);
            i += length;
        }
    }
}
