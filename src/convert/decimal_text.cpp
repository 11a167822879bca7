#include "decimal_text.h"

namespace {

// The index of the unsigned value `value`, as unsigned_index gives it.
constexpr size_t index_of_unsigned(int value)
{
    return static_cast<size_t>(value < 32768 ? value : value + 32768);
}

constexpr decimal_table make_decimal_table()
{
    decimal_table table = {};
    // 0 to 65535, counting in decimal digits: the last digit goes up by one
    // and a 9 carries into the digit before it.
    char digits[5] = {'0', '0', '0', '0', '0'};
    int first = 4;  // the first significant digit
    for (int value = 0; value < 65536; ++value) {
        char* text = table.text[index_of_unsigned(value)];
        int length = 0;
        for (int d = first; d < 5; ++d) {
            text[length++] = digits[d];
        }
        text[length++] = ',';
        text[DECIMAL_LENGTH_BYTE] = static_cast<char>(length);
        int d = 4;
        while (d >= 0 && digits[d] == '9') {
            digits[d--] = '0';
        }
        if (d >= 0) {
            digits[d] += 1;
            first = d < first ? d : first;
        }
    }
    // -32768 to -1: a minus sign before the text of the magnitude.
    for (int bits = 32768; bits < 65536; ++bits) {
        const size_t magnitude = index_of_unsigned(65536 - bits);
        char* text = table.text[bits];
        text[0] = '-';
        for (int i = 0; i + 1 < DECIMAL_LENGTH_BYTE; ++i) {
            text[i + 1] = table.text[magnitude][i];
        }
        text[DECIMAL_LENGTH_BYTE] = static_cast<char>(table.text[magnitude][DECIMAL_LENGTH_BYTE] + 1);
    }
    return table;
}

}  // namespace

// Declared extern in the header, so this constant-initialised definition is
// the one copy every file reads.
constexpr decimal_table DECIMAL_TEXT = make_decimal_table();

char* append_unsigned_long(char* out, unsigned long long value)
{
    char digits[20];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value > 0);
    while (count > 0) {
        *out++ = digits[--count];
    }
    return out;
}
