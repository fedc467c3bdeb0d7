#include "text.h"

size_t TextLength(const WCHAR* text)
{
    size_t n = 0;
    while (text[n])
        ++n;
    return n;
}

bool TextAppend(WCHAR* dest, size_t capacity, const WCHAR* source)
{
    if (capacity == 0)
        return false;
    size_t at = 0;
    while (at < capacity && dest[at])
        ++at;
    if (at == capacity) {
        // Not terminated within its capacity: nothing sound to append to.
        dest[capacity - 1] = 0;
        return false;
    }
    for (size_t i = 0; source[i]; ++i) {
        if (at + 1 >= capacity) {
            dest[at] = 0;
            return false;
        }
        dest[at++] = source[i];
    }
    dest[at] = 0;
    return true;
}

bool TextCopy(WCHAR* dest, size_t capacity, const WCHAR* source)
{
    if (capacity == 0)
        return false;
    dest[0] = 0;
    return TextAppend(dest, capacity, source);
}

bool TextAppendChar(WCHAR* dest, size_t capacity, WCHAR c)
{
    const WCHAR one[2] = {c, 0};
    return TextAppend(dest, capacity, one);
}

bool TextAppendDecimal(WCHAR* dest, size_t capacity, uint32_t value)
{
    WCHAR digits[11] = {};
    size_t at = 10;
    do {
        digits[--at] = WCHAR(WSTR('0') + value % 10);
        value /= 10;
    } while (value);
    return TextAppend(dest, capacity, digits + at);
}

const WCHAR* TextFind(const WCHAR* text, const WCHAR* needle)
{
    for (; *text; ++text) {
        size_t i = 0;
        while (needle[i] && text[i] == needle[i])
            ++i;
        if (!needle[i])
            return text;
    }
    return *needle ? nullptr : text;
}

WCHAR* TextFindLast(WCHAR* text, WCHAR c)
{
    WCHAR* last = nullptr;
    for (; *text; ++text)
        if (*text == c)
            last = text;
    return last;
}

static bool IsWhiteSpace(WCHAR c)
{
    if (c <= 0xFF)
        return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0xA0;
    WORD type = 0;
    return GetStringTypeW(CT_CTYPE1, &c, 1, &type) && (type & C1_SPACE);
}

// The zero of every script whose ten digits count as decimal digits.
static constexpr uint16_t kDigitZeros[] = {
    0x0030, 0x0660, 0x06F0, 0x0966, 0x09E6, 0x0A66, 0x0AE6, 0x0B66, 0x0C66,
    0x0CE6, 0x0D66, 0x0E50, 0x0ED0, 0x0F20, 0x1040, 0x17E0, 0x1810, 0xFF10,
};

// The digit's value, or -1 when c is not a decimal digit.
static int DigitValue(WCHAR c)
{
    for (uint16_t zero : kDigitZeros)
        if (c >= zero && c <= zero + 9)
            return int(c - zero);
    return -1;
}

int32_t DecimalToInt(const WCHAR* text)
{
    while (IsWhiteSpace(*text))
        ++text;
    bool negative = false;
    if (*text == WSTR('+') || *text == WSTR('-'))
        negative = *text++ == WSTR('-');
    // Accumulate the magnitude with a ceiling so that long digit runs cannot overflow.
    constexpr int64_t kCeiling = int64_t(INT32_MAX) + 1;
    int64_t magnitude = 0;
    for (int digit; (digit = DigitValue(*text)) >= 0; ++text) {
        magnitude = magnitude * 10 + digit;
        if (magnitude > kCeiling)
            magnitude = kCeiling;
    }
    if (negative)
        return int32_t(-magnitude);
    return magnitude > INT32_MAX ? INT32_MAX : int32_t(magnitude);
}
