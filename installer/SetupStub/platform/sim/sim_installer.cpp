// Windows Installer and the shell's program launch in the simulated Windows.
#include "platform/sim/sim_state.h"

namespace sim {

void AddRelatedProduct(const std::u16string& upgradeCode, const std::u16string& productCode)
{
    S().relatedProducts[Upper(upgradeCode)].push_back(productCode);
}

bool IsProductRelated(const std::u16string& upgradeCode)
{
    auto it = S().relatedProducts.find(Upper(upgradeCode));
    return it != S().relatedProducts.end() && !it->second.empty();
}

void SetMsiAvailable(bool available) { S().msiAvailable = available; }
void ScriptMsiexec(const MsiexecScript& script) { S().msiexec = script; }
const std::vector<ShellLaunch>& ShellLaunches() { return S().shellLaunches; }
void OnShellLaunch(std::function<void(const ShellLaunch&)> hook) { S().shellHook = std::move(hook); }

bool IsBracedGuid(const std::u16string& code)
{
    if (code.size() != 38 || code[0] != u'{' || code[37] != u'}')
        return false;
    for (size_t i = 1; i < 37; ++i) {
        WCHAR c = code[i];
        bool dash = i == 9 || i == 14 || i == 19 || i == 24;
        bool hex = (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
        if (dash ? c != u'-' : !hex)
            return false;
    }
    return true;
}

}  // namespace sim

using namespace sim;

UINT MsiEnumRelatedProductsW(LPCWSTR upgradeCode, DWORD reserved, DWORD index, LPWSTR productCode)
{
    std::u16string code = Text(upgradeCode);
    Event("MsiEnumRelatedProductsW " + U8(code));
    if (Faulted("MsiEnumRelatedProductsW"))
        return LastError();
    if (!S().msiAvailable)
        return ERROR_MOD_NOT_FOUND;
    if (!upgradeCode || reserved != 0 || !productCode || !IsBracedGuid(code))
        return ERROR_INVALID_PARAMETER;
    auto it = S().relatedProducts.find(Upper(code));
    if (it == S().relatedProducts.end() || index >= it->second.size())
        return ERROR_NO_MORE_ITEMS;
    CopyOut(it->second[index], productCode, 39);
    return ERROR_SUCCESS;
}

BOOL ShellExecuteExW(LPSHELLEXECUTEINFOW info)
{
    if (!info) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ShellLaunch launch;
    launch.cbSize = info->cbSize;
    launch.fMask = info->fMask;
    launch.hwnd = info->hwnd != nullptr;
    launch.verbNull = info->lpVerb == nullptr;
    launch.verb = Text(info->lpVerb);
    launch.file = Text(info->lpFile);
    launch.parametersNull = info->lpParameters == nullptr;
    launch.parameters = Text(info->lpParameters);
    launch.directoryNull = info->lpDirectory == nullptr;
    launch.directory = Text(info->lpDirectory);
    launch.nShow = info->nShow;
    launch.otherFieldsZero = !info->hInstApp && !info->lpIDList && !info->lpClass && !info->hkeyClass &&
                             !info->dwHotKey && !info->hIcon && !info->hProcess;
    launch.openDeviceHandles = OpenDeviceHandles();
    // A bare name is looked for in the working directory before the system's
    // own directories, which is how a planted program gets started.
    if (launch.file.find_first_of(u"\\/:") == std::u16string::npos) {
        std::u16string besides = launch.directory + u"\\" + launch.file;
        std::string host;
        if (!launch.directory.empty() && MapPath(besides, &host) && HostIsFile(host))
            launch.resolvedImage = besides;
        else
            launch.resolvedImage = S().systemDirectory + u"\\" + launch.file;
    } else {
        launch.resolvedImage = launch.file;
    }
    Event("ShellExecuteExW " + U8(launch.file) + " " + U8(launch.parameters));
    S().shellLaunches.push_back(launch);
    if (S().shellHook)
        S().shellHook(launch);
    if (Faulted("ShellExecuteExW"))
        return FALSE;
    if (info->cbSize != sizeof(SHELLEXECUTEINFOW)) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // Windows starts nothing in a working directory that does not exist
    // (Wine starts the program in the caller's current directory instead).
    if (!launch.directory.empty()) {
        std::string hostDir;
        if (!MapPath(launch.directory, &hostDir) || !HostExists(hostDir) || HostIsFile(hostDir)) {
            SetError(ERROR_DIRECTORY);
            return FALSE;
        }
    }
    const MsiexecScript& script = S().msiexec;
    if (script.launchError) {
        SetError(script.launchError);
        return FALSE;
    }
    DWORD pid = AddProcess(launch.resolvedImage, script.durationMs);
    Process& process = S().processes[pid];
    process.finalExitCode = script.exitCode;
    process.waitError = script.waitError;
    process.exitCodeFails = script.exitCodeFails;
    process.installsUpgradeCode = script.installsUpgradeCode;
    S().shellLaunches.back().pid = pid;
    S().shellLaunches.back().exitCode = script.exitCode;
    if (info->fMask & SEE_MASK_NOCLOSEPROCESS)
        info->hProcess = NewHandle({HandleKind::Process, u"", 0, 0, pid});
    info->hInstApp = reinterpret_cast<HINSTANCE>(static_cast<intptr_t>(42));
    return TRUE;
}
