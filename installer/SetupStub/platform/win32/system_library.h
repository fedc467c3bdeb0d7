// DLLs that are not statically imported, loaded from the system directory only.
#pragma once

#include "platform/windows_api.h"

// name is a bare file name such as L"msi.dll"; null when it cannot be loaded
// from the system directory (the last error says why).
HMODULE LoadSystemLibrary(const WCHAR* name);
