// DecimalToInt on arbitrary UTF-16 (the input in UTF-16LE, handed over in a
// block of its exact size), against a reference written from the rules:
// white space skipped, one sign, the digits of the listed scripts, 0
// without digits, saturation at the 32-bit limits. Also: leading white
// space, a change of digit script and the decimal writer round trip leave
// the value alone.
#include "platform/sim/sim_control.h"
#include "text.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

[[noreturn]] void Fail(const std::string& what)
{
    std::fprintf(stderr, "decimal_fuzz: %s\n", what.c_str());
    std::abort();
}

// The ten digits of each script, by the code point of its zero.
struct Script {
    uint16_t zero;
    const char* name;
};
constexpr Script kScripts[] = {
    {0x0030, "ASCII"},       {0xFF10, "fullwidth"},   {0x0660, "Arabic-Indic"}, {0x06F0, "extended Arabic-Indic"},
    {0x0966, "Devanagari"},  {0x09E6, "Bengali"},     {0x0A66, "Gurmukhi"},     {0x0AE6, "Gujarati"},
    {0x0B66, "Oriya"},       {0x0C66, "Telugu"},      {0x0CE6, "Kannada"},      {0x0D66, "Malayalam"},
    {0x0E50, "Thai"},        {0x0ED0, "Lao"},         {0x0F20, "Tibetan"},      {0x1040, "Myanmar"},
    {0x17E0, "Khmer"},       {0x1810, "Mongolian"},
};

int ReferenceDigit(char16_t c)
{
    for (const Script& s : kScripts)
        if (c >= s.zero && c < s.zero + 10)
            return c - s.zero;
    return -1;
}

bool ReferenceSpace(char16_t c)
{
    if (c == 0x20 || c == 0xA0 || (c >= 0x09 && c <= 0x0D))
        return true;
    if (c <= 0xFF)
        return false;
    WORD type = 0;
    return GetStringTypeW(CT_CTYPE1, reinterpret_cast<const WCHAR*>(&c), 1, &type) && (type & C1_SPACE);
}

int64_t Reference(const std::u16string& text)
{
    size_t i = 0;
    while (i < text.size() && ReferenceSpace(text[i]))
        ++i;
    int64_t sign = 1;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-'))
        sign = text[i++] == u'-' ? -1 : 1;
    int64_t value = 0;
    for (; i < text.size() && ReferenceDigit(text[i]) >= 0; ++i)
        value = std::min<int64_t>(value * 10 + ReferenceDigit(text[i]), int64_t(1) << 32);
    value *= sign;
    return std::max<int64_t>(INT32_MIN, std::min<int64_t>(INT32_MAX, value));
}

// The conversion of text, from a block of exactly its size.
int32_t Convert(const std::u16string& text)
{
    WCHAR* exact = new WCHAR[text.size() + 1];
    for (size_t i = 0; i < text.size(); ++i)
        exact[i] = text[i];
    exact[text.size()] = 0;
    int32_t value = DecimalToInt(exact);
    delete[] exact;
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The machine counts every call the conversion makes; without a fresh
    // one per input that list grew until freeing it outlasted the timeout.
    sim::Reset();
    std::u16string text;
    for (size_t i = 0; i + 1 < size; i += 2)
        text.push_back(char16_t(data[i] | (data[i + 1] << 8)));
    text = text.substr(0, text.find(u'\0'));

    const int32_t value = Convert(text);
    if (value != Reference(text))
        Fail("value " + std::to_string(value) + ", reference " + std::to_string(Reference(text)));
    for (std::u16string space : {u" ", u"\t", u"\u00A0", u"\u3000"})
        if (Convert(space + text) != value)
            Fail("leading white space changed the value");
    // The same digits in another script, chosen by the input's length.
    const Script& other = kScripts[size % (sizeof kScripts / sizeof kScripts[0])];
    std::u16string moved = text;
    for (char16_t& c : moved)
        if (c >= u'0' && c <= u'9')
            c = char16_t(other.zero + (c - u'0'));
    if (Convert(moved) != value)
        Fail(std::string("ASCII digits written as ") + other.name + " changed the value");
    if (value >= 0) {
        WCHAR written[11] = {};
        if (!TextAppendDecimal(written, 11, uint32_t(value)) || DecimalToInt(written) != value)
            Fail("the decimal writer does not round-trip " + std::to_string(value));
    }
    return 0;
}
