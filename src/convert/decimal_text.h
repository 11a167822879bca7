// The decimal text of every number a row or a report line can show, worked
// out once at compile time, so that writing a field is one table lookup.
#ifndef QUENDIX_CONVERT_DECIMAL_TEXT_H
#define QUENDIX_CONVERT_DECIMAL_TEXT_H

#include <cstddef>
#include <cstdint>
#include <cstring>

// The numbers in the table: every signed and every unsigned 16-bit value.
constexpr int DECIMAL_TEXT_COUNT = 65536 + 32768;

// The text of every number followed by a comma, in 8 bytes, so it is copied
// whole in one move. The longest text, "-32768,", has 7, so the last byte
// holds how many of them count (digits, sign and comma): a field's text and
// its length lie in the same 8 bytes, and the length byte written past the
// field is overwritten by the next one. The bytes between are padding.
//
// The order is 0 to 32767, then -32768 to -1, then 32768 to 65535, so that
// a signed value's index is its 16 bits as they were read, and an unsigned
// value's index is itself below 32768 and itself plus 32768 above.
struct decimal_table {
    char text[DECIMAL_TEXT_COUNT][8];
};

// Where in a text its length is.
constexpr int DECIMAL_LENGTH_BYTE = 7;

// The table itself, read-only data of the program.
extern const decimal_table DECIMAL_TEXT;

// How many bytes of the text at `index` count.
inline size_t decimal_length(size_t index)
{
    return static_cast<unsigned char>(DECIMAL_TEXT.text[index][DECIMAL_LENGTH_BYTE]);
}

// How far the table may write past the text it appends: a whole text is
// stored even when the number is shorter.
constexpr size_t DECIMAL_TEXT_SLACK = 8;

// The index of the signed value `value`.
inline size_t signed_index(int16_t value)
{
    return static_cast<uint16_t>(value);
}

// The index of the unsigned value `value` (0 to 65535).
inline size_t unsigned_index(unsigned value)
{
    return value + (value & 0x8000u);
}

// Writes the text at `index` and its comma at `out`, which needs
// DECIMAL_TEXT_SLACK bytes of room; returns the end of the text.
inline char* append_indexed(char* out, size_t index)
{
    // The eight bytes are loaded once; the length is their last byte, which
    // is the top or the bottom of the word depending on the byte order
    // (a constant the compiler folds).
    uint64_t word;
    std::memcpy(&word, DECIMAL_TEXT.text[index], 8);
    std::memcpy(out, &word, 8);
    const uint16_t one = 1;
    unsigned char first_byte;
    std::memcpy(&first_byte, &one, 1);
    const uint64_t length = first_byte == 1 ? word >> 56 : word & 0xFF;
    return out + length;
}

// Writes `value` and a comma at `out`, as append_indexed does.
inline char* append_signed(char* out, int16_t value)
{
    return append_indexed(out, signed_index(value));
}

// Writes `value` (0 to 32767) and a comma at `out`, as append_indexed does;
// such a value is its own index.
inline char* append_small(char* out, int value)
{
    return append_indexed(out, static_cast<size_t>(value));
}

// Writes `value` (0 to 65535) and a comma at `out`, as append_indexed does.
inline char* append_unsigned(char* out, unsigned value)
{
    return append_indexed(out, unsigned_index(value));
}

// Writes `value` (0 to 65535) without the comma, right-aligned in at least
// three characters as "%3d" does; `out` needs DECIMAL_TEXT_SLACK + 2 bytes of
// room. Returns the end of the text.
inline char* append_padded(char* out, int value)
{
    const size_t index = unsigned_index(static_cast<unsigned>(value));
    const size_t digits = decimal_length(index) - 1u;
    const size_t pad = digits < 3 ? 3 - digits : 0;
    // Two spaces always, the digits over whatever part of them is not padding.
    std::memcpy(out, "  ", 2);
    std::memcpy(out + pad, DECIMAL_TEXT.text[index], 8);
    return out + pad + digits;
}

// Writes `value` in decimal without padding; returns the end of the text.
// `out` needs 20 bytes.
char* append_unsigned_long(char* out, unsigned long long value);

#endif
