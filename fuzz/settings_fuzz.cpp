// Install mode on an arbitrary "autorun.inf". The first byte picks the
// machine: bit 0 WOW64, bit 1 the product installed already, bit 2 the
// logging flag file, bit 3 the system language 1041 (else 1033), bit 4 the
// volume label "DISK1041" (else none), bit 5 msiexec exits 1602 (else 0).
// The rest is the file's bytes.
//
// Whatever the file says: msiexec is the system's, started at most once
// with a parameter text that fits its buffer and names the language's
// transform; no file but a plain name directly in the temporary directory
// is deleted or written, the medium stays as it was, the heap is balanced,
// and a helper that was started runs its eject mode cleanly. Afterwards
// every value the program reads is read again with its capacity: never more
// than capacity - 1 characters, terminated, nothing written beyond.
#include "entry.h"
#include "fuzz_machine.h"

#include <cstdint>
#include <string>
#include <vector>

namespace {

constexpr const char* kTarget = "settings_fuzz";
const std::u16string kCode = u"{11111111-2222-3333-4444-555555555555}";

struct Read {
    const char16_t* section;
    const char16_t* key;
    DWORD capacity;
};
constexpr Read kReads[] = {
    {u"Setup", u"UpgradeCode", 64},
    {u"Setup", u"Installer64", 260},
    {u"Setup", u"Installer", 260},
    {u"Setup", u"UseVolumeNameForLanguage", 20},
    {u"LanguageMap", u"1033", 10},
    {u"LanguageMap", u"1041", 10},
};

void CheckReadsStayWithinTheirCapacity()
{
    for (const Read& read : kReads) {
        std::vector<WCHAR> buffer(read.capacity + 8, WCHAR(0x7F));
        for (DWORD i = 0; i < read.capacity; ++i)
            buffer[i] = 0;
        DWORD count = ReadSetupValue(reinterpret_cast<const WCHAR*>(read.section),
                                     reinterpret_cast<const WCHAR*>(read.key), buffer.data(), read.capacity);
        if (count >= read.capacity || buffer[count] != 0)
            fuzz_machine::Fail(kTarget, "a read filled its buffer or left it unterminated");
        for (size_t i = read.capacity; i < buffer.size(); ++i)
            if (buffer[i] != WCHAR(0x7F))
                fuzz_machine::Fail(kTarget, "a read wrote past its capacity");
    }
}

bool EndsWith(const std::u16string& text, const std::u16string& end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    fuzz_machine::Reset();
    const uint8_t flags = data[0];
    fuzz_machine::WriteHostFile(fuzz_machine::MediumDir() + "/autorun.inf",
                                std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
    sim::SetWow64((flags & 1) ? sim::Wow64::Yes : sim::Wow64::No);
    if (flags & 2)
        sim::AddRelatedProduct(kCode, u"{99999999-2222-3333-4444-555555555555}");
    if (flags & 4)
        fuzz_machine::WriteHostFile(fuzz_machine::TempDir() + "/BRELM_PELLIX_EnableLogging.txt", "");
    sim::SetSystemDefaultLangID((flags & 8) ? 1041 : 1033);
    if (flags & 16)
        sim::SetVolumeLabel(u'M', u"DISK1041");
    sim::MsiexecScript script;
    script.exitCode = (flags & 32) ? 1602 : 0;
    sim::ScriptMsiexec(script);

    const int code = sim::RunProcess(u"M:\\setup.exe", u"\"M:\\setup.exe\"", &wWinMain);

    const auto& launches = sim::ShellLaunches();
    if (launches.size() > 1)
        fuzz_machine::Fail(kTarget, "msiexec started more than once");
    if (launches.size() == 1) {
        const sim::ShellLaunch& launch = launches[0];
        if (launch.file != u"C:\\Windows\\system32\\msiexec.exe")
            fuzz_machine::Fail(kTarget, "msiexec not started by its full path");
        if (launch.parameters.size() >= 1000 || launch.parameters.rfind(u"-i \"", 0) != 0 ||
            !EndsWith(launch.parameters, u".mst"))
            fuzz_machine::Fail(kTarget, "malformed parameter text");
        if (code != int(script.exitCode))
            fuzz_machine::Fail(kTarget, "msiexec's exit code not passed through");
    } else if (code == 0 && !sim::IsProductRelated(kCode)) {
        fuzz_machine::Fail(kTarget, "success without msiexec or an installed product");
    }
    // The helper's copy, when started, runs in eject mode.
    if (!sim::ProcessLaunches().empty()) {
        if (sim::ProcessLaunches().size() != 1 || code != 0)
            fuzz_machine::Fail(kTarget, "a hand-off without success, or more than one");
        const std::u16string line = sim::ProcessLaunches()[0].commandLine;
        int ejectCode = sim::RunProcess(u"C:\\Temp\\brelm_eject.exe", line, &wWinMain);
        if (ejectCode != 0 && ejectCode != 1)
            fuzz_machine::Fail(kTarget, "eject mode ended with " + std::to_string(ejectCode));
    }
    if (sim::HeapInUse() != 0)
        fuzz_machine::Fail(kTarget, "heap block left");
    fuzz_machine::CheckMediumUnchanged(kTarget);
    fuzz_machine::CheckOnlyTempNamesChanged(kTarget);
    CheckReadsStayWithinTheirCapacity();
    return 0;
}
