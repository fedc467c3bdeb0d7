// The language number of the transform: from the last four characters of the
// volume label of the program's drive, or from the settings file's map keyed
// by the system default language. 1033 when nothing better is found.
#pragma once

#include "platform/windows_api.h"

constexpr WORD kFallbackLanguage = 1033;

// "UseVolumeNameForLanguage" set to anything at all selects the volume label,
// otherwise the map decides.
WORD ChooseTransformLanguage();
WORD LanguageFromVolumeLabel();
// Once the system language's entry is set, its value is taken as it
// converts, 0 included: the map has no fallback of its own.
WORD LanguageFromLanguageMap();
