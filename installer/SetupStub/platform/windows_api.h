// The one seam between the program and Windows. The program calls Windows
// operations by their Windows names; which Windows answers depends on the build.
#pragma once

#if defined(_WIN32)
#include "win32/win32_api.h"
#else
#include "sim/sim_api.h"
#endif
