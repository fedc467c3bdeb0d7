// wWinMain on arbitrary command lines. The first byte picks the run: bit 0
// starts the eject helper's copy from the temporary directory with the
// marker ahead of the input (else the input is the whole command line of
// M:\setup.exe); bit 1 adds a process with id 2000 for eject mode to wait
// for, which bit 2 keeps alive for good; bit 3 lets the drive accept the
// eject request. The rest is the line in UTF-16LE.
//
// Install mode must ignore the tail: the same installation and hand-off
// whatever it says. Eject mode must read no setting, start nothing, wait at
// most 5000 ms and end with 1 only when the eject request succeeded. The
// tail is handed over in a block of its exact size, so reading past its
// terminator is caught.
#include "entry.h"
#include "fuzz_machine.h"

#include <cstdint>
#include <string>

namespace {

constexpr const char* kTarget = "command_tail_fuzz";
const std::u16string kHelperImage = u"C:\\Temp\\brelm_eject.exe";

int EntryWithExactTail(HINSTANCE instance, HINSTANCE previous, LPWSTR tail, int show)
{
    size_t length = 0;
    while (tail[length])
        ++length;
    WCHAR* exact = new WCHAR[length + 1];
    for (size_t i = 0; i <= length; ++i)
        exact[i] = tail[i];
    int code = wWinMain(instance, previous, exact, show);
    delete[] exact;
    return code;
}

std::u16string UpToTerminator(const std::u16string& text) { return text.substr(0, text.find(u'\0')); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    fuzz_machine::Reset();
    fuzz_machine::WriteHostFile(fuzz_machine::MediumDir() + "/autorun.inf",
                                "[Setup]\r\nUpgradeCode={11111111-2222-3333-4444-555555555555}\r\n"
                                "Installer=Setup.msi\r\n");
    const uint8_t flags = data[0];
    std::u16string line;
    for (size_t i = 1; i + 1 < size; i += 2)
        line.push_back(char16_t(data[i] | (data[i + 1] << 8)));

    std::u16string image = u"M:\\setup.exe";
    if (flags & 1) {
        image = kHelperImage;
        fuzz_machine::WriteHostFile(fuzz_machine::TempDir() + "/brelm_eject.exe", fuzz_machine::kProgram);
        line = u"\"" + kHelperImage + u"\" -eject#" + line;
    }
    DWORD waitedFor = 0;
    if (flags & 2)
        waitedFor = sim::AddProcess(u"M:\\setup.exe", (flags & 4) ? UINT64_MAX : 1200);
    sim::SetDeviceRequestsSucceed(u'M', (flags & 8) != 0);
    sim::ScriptMsiexec(sim::MsiexecScript());  // exit code 0

    const uint64_t started = sim::NowMs();
    const std::u16string tail = UpToTerminator(sim::CommandTailOf(line));
    const bool ejectMode = tail.find(u"eject#") != std::u16string::npos;
    const int code = sim::RunProcess(image, line, &EntryWithExactTail);

    if (sim::HeapInUse() != 0)
        fuzz_machine::Fail(kTarget, "heap block left");
    fuzz_machine::CheckMediumUnchanged(kTarget);
    fuzz_machine::CheckOnlyTempNamesChanged(kTarget);
    if (ejectMode) {
        if (code != 0 && code != 1)
            fuzz_machine::Fail(kTarget, "eject mode ended with " + std::to_string(code));
        if (sim::FindEvent("GetPrivateProfileStringW") >= 0 || sim::FindEvent("CreateMutexW") >= 0)
            fuzz_machine::Fail(kTarget, "eject mode read settings or took the guard");
        if (!sim::ShellLaunches().empty() || !sim::ProcessLaunches().empty())
            fuzz_machine::Fail(kTarget, "eject mode started a process");
        if (sim::NowMs() - started > 5000)
            fuzz_machine::Fail(kTarget, "eject mode waited longer than 5000 ms");
        int ejects = 0;
        for (WCHAR letter = u'A'; letter <= u'Z'; ++letter)
            ejects += sim::Counters(letter).ejectRequests;
        if (ejects > 1 || (code == 1) != (sim::Counters(u'M').ejectRequests == 1 && (flags & 8)))
            fuzz_machine::Fail(kTarget, "eject result does not match the requests that reached a drive");
        (void)waitedFor;
    } else {
        if (code != 0)
            fuzz_machine::Fail(kTarget, "install mode ended with " + std::to_string(code));
        if (sim::ShellLaunches().size() != 1 ||
            sim::ShellLaunches()[0].parameters != u"-i \"M:\\Setup.msi\" TRANSFORMS=1033.mst")
            fuzz_machine::Fail(kTarget, "install mode did not run the medium's package");
        const std::u16string handOff = u"\"" + kHelperImage + u"\" -eject#" + image.substr(0, 1) +
                                       sim::U16(std::to_string(sim::CurrentProcessId()));
        if (sim::ProcessLaunches().size() != 1 || sim::ProcessLaunches()[0].commandLine != handOff)
            fuzz_machine::Fail(kTarget, "install mode did not hand off with its own line");
    }
    return 0;
}
