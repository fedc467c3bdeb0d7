// Expanding one file in the LZMA-alone container into a plain file.
#pragma once

#include "platform/windows_api.h"

#include <stdio.h>

// Expands source (a stream opened "rb"; always closed here, on every path)
// into the file at destinationPath, created or truncated first. True only
// when the stream decoded soundly and every produced byte was written.
bool ExpandLzmaFile(FILE* source, const WCHAR* destinationPath);
