// UTF-16 text in fixed buffers: bounded copy and append, search, and the
// decimal conversions. Capacities count characters, the terminator included.
#pragma once

#include "platform/windows_api.h"

#include <stddef.h>
#include <stdint.h>

constexpr size_t kPathCapacity = 260;

size_t TextLength(const WCHAR* text);

// Each writes at most capacity - 1 characters and always terminates dest.
// False means the text was cut (or capacity was 0); callers treat that as failure.
bool TextCopy(WCHAR* dest, size_t capacity, const WCHAR* source);
bool TextAppend(WCHAR* dest, size_t capacity, const WCHAR* source);
bool TextAppendChar(WCHAR* dest, size_t capacity, WCHAR c);
// The number in decimal, without sign or leading zeros.
bool TextAppendDecimal(WCHAR* dest, size_t capacity, uint32_t value);

// First occurrence of needle in text (case-sensitive), or null.
const WCHAR* TextFind(const WCHAR* text, const WCHAR* needle);
// Last occurrence of c in text, or null.
WCHAR* TextFindLast(WCHAR* text, WCHAR c);

// Base-10 conversion of wide text to a signed 32-bit integer: leading white
// space skipped, one optional sign, then decimal digits of any script that
// Windows counts as decimal digits, up to the first other character; 0 when
// there are none. Values beyond the 32-bit range saturate.
int32_t DecimalToInt(const WCHAR* text);
