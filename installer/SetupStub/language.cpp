#include "language.h"

#include "settings.h"
#include "text.h"

static constexpr DWORD kSwitchCapacity = 20;
static constexpr DWORD kRootCapacity = 4;
static constexpr DWORD kLabelCapacity = 260;
static constexpr DWORD kMapKeyCapacity = 10;
static constexpr DWORD kMapValueCapacity = 10;
static constexpr size_t kLabelDigits = 4;

// The first character is replaced by the program's drive character.
static constexpr WCHAR kRootTemplate[kRootCapacity] = WSTR("?:\\");
// A LANGID has at most five decimal digits.
static_assert(5 + 1 <= kMapKeyCapacity, "map key must hold any LANGID in decimal");
// Nine characters of value cannot reach the 32-bit limit of the conversion.
static_assert(kMapValueCapacity - 1 <= 9, "map value must stay within the conversion's range");

WORD LanguageFromVolumeLabel()
{
    WCHAR root[kRootCapacity] = {};
    for (DWORD i = 0; i < kRootCapacity; ++i)
        root[i] = kRootTemplate[i];
    // Taken as it is: a backslash (network path) or 0 gives a root that no
    // volume answers to, and the query's failure settles the result.
    root[0] = ProgramDriveLetter();

    WCHAR label[kLabelCapacity] = {};
    if (!GetVolumeInformationW(root, label, kLabelCapacity, nullptr, nullptr, nullptr, nullptr, 0))
        return kFallbackLanguage;
    // Windows terminates the label within its capacity; the bound keeps a
    // misbehaving answer from being read past the buffer.
    label[kLabelCapacity - 1] = 0;
    size_t length = TextLength(label);
    if (length < kLabelDigits)
        return kFallbackLanguage;
    WORD language = WORD(DecimalToInt(label + length - kLabelDigits));
    return language ? language : kFallbackLanguage;
}

WORD LanguageFromLanguageMap()
{
    WCHAR key[kMapKeyCapacity] = {};
    TextAppendDecimal(key, kMapKeyCapacity, GetSystemDefaultLangID());  // always fits: see the assertion

    WCHAR value[kMapValueCapacity] = {};
    if (ReadSetupValue(WSTR("LanguageMap"), key, value, kMapValueCapacity) == 0)
        return kFallbackLanguage;
    return WORD(DecimalToInt(value));
}

WORD ChooseTransformLanguage()
{
    WCHAR useVolumeName[kSwitchCapacity] = {};
    if (ReadSetupValue(WSTR("Setup"), WSTR("UseVolumeNameForLanguage"), useVolumeName, kSwitchCapacity) != 0)
        return LanguageFromVolumeLabel();
    return LanguageFromLanguageMap();
}
