// The program's entry and its two run modes.
#pragma once

#include "platform/windows_api.h"

// Called once by the run-time start-up with the command tail; the result is the process exit code.
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previousInstance, LPWSTR commandTail, int showCommand);

// True when Windows Installer knows a product related to [Setup] UpgradeCode.
bool IsProductInstalled();
