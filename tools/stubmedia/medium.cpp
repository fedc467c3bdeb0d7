#include "medium.h"

#include "launcher_sim.h"
#include "package_check.h"

#include "language.h"
#include "text.h"

#include <algorithm>
#include <cstdio>
#include <dirent.h>
#include <filesystem>
#include <map>
#include <set>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace stubmedia {

// ---------------------------------------------------------------- helpers

std::string FindEntryNoCase(const std::string& dir, const std::string& name)
{
    struct stat st;
    if (::stat((dir + "/" + name).c_str(), &st) == 0)
        return dir + "/" + name;
    std::u16string want = UpperAscii(U16(name));
    std::string found;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            if (UpperAscii(U16(e->d_name)) == want) {
                found = dir + "/" + e->d_name;
                break;
            }
        }
        ::closedir(d);
    }
    return found;
}

// A name that may hold folders ("disk1\Setup.msi"), below dir.
static std::string FindPathNoCase(const std::string& dir, const std::u16string& name)
{
    std::string host = dir;
    std::u16string part;
    auto step = [&]() -> bool {
        if (part.empty() || part == u".")
            return true;
        if (part == u"..")
            return false;
        host = FindEntryNoCase(host, U8(part));
        part.clear();
        return !host.empty();
    };
    for (char16_t c : name) {
        if (c == u'\\' || c == u'/') {
            if (!step())
                return std::string();
        } else {
            part.push_back(c);
        }
    }
    if (!step())
        return std::string();
    return host;
}

static bool IsFile(const std::string& host)
{
    struct stat st;
    return !host.empty() && ::stat(host.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

static uint64_t FileSize(const std::string& host)
{
    struct stat st;
    return ::stat(host.c_str(), &st) == 0 ? uint64_t(st.st_size) : 0;
}

std::optional<uint16_t> ParseLanguageNumber(const std::string& text)
{
    if (text.empty() || text.size() > 8)
        return std::nullopt;
    unsigned long value = 0;
    size_t i = 0;
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        i = 2;
    }
    for (; i < text.size(); ++i) {
        char c = text[i];
        int digit = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : 99;
        if (digit >= base)
            return std::nullopt;
        value = value * base + digit;
        if (value > 0xFFFF)
            return std::nullopt;
    }
    return uint16_t(value);
}

bool IsCanonicalLanguage(const std::u16string& text)
{
    if (text.empty() || text.size() > 5 || (text[0] == u'0' && text.size() > 1))
        return false;
    unsigned value = 0;
    for (char16_t c : text) {
        if (c < u'0' || c > u'9')
            return false;
        value = value * 10 + (c - u'0');
    }
    return value <= 0xFFFF;
}

std::string LanguageName(uint16_t language)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%u (0x%04X)", unsigned(language), unsigned(language));
    return buffer;
}

std::u16string CompressedName(const std::u16string& name)
{
    std::u16string compressed = name;
    if (!compressed.empty())
        compressed.back() = u'_';
    return compressed;
}

int PeMachine(const std::string& hostPath)
{
    FILE* f = std::fopen(hostPath.c_str(), "rb");
    if (!f)
        return -1;
    unsigned char dos[64] = {};
    int machine = 0;
    if (std::fread(dos, 1, sizeof dos, f) == sizeof dos && dos[0] == 'M' && dos[1] == 'Z') {
        long offset = long(dos[0x3C]) | long(dos[0x3D]) << 8 | long(dos[0x3E]) << 16 | long(dos[0x3F]) << 24;
        unsigned char pe[6] = {};
        if (offset > 0 && std::fseek(f, offset, SEEK_SET) == 0 && std::fread(pe, 1, sizeof pe, f) == sizeof pe &&
            pe[0] == 'P' && pe[1] == 'E' && pe[2] == 0 && pe[3] == 0)
            machine = pe[4] | pe[5] << 8;
    }
    std::fclose(f);
    return machine;
}

bool IsCompoundFile(const std::string& hostPath)
{
    static const unsigned char kSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    unsigned char head[8] = {};
    FILE* f = std::fopen(hostPath.c_str(), "rb");
    if (!f)
        return false;
    bool ok = std::fread(head, 1, 8, f) == 8 && std::equal(head, head + 8, kSignature);
    std::fclose(f);
    return ok;
}

static std::string Quote(const std::u16string& text) { return "\"" + U8(text) + "\""; }

static std::string Bytes(uint64_t n)
{
    char buffer[64];
    if (n >= (1ull << 20))
        std::snprintf(buffer, sizeof buffer, "%llu bytes (%.1f MiB)", (unsigned long long)n, n / 1048576.0);
    else
        std::snprintf(buffer, sizeof buffer, "%llu bytes", (unsigned long long)n);
    return buffer;
}

// The launcher's own classification of characters, through its conversion.
static bool IsLauncherDigit(char16_t c)
{
    std::u16string probe = u"1";
    probe.push_back(c);
    return DecimalToInt(probe.c_str()) >= 10;
}

static bool IsLauncherSpace(char16_t c)
{
    if (c == u'+' || c == u'-' || IsLauncherDigit(c))
        return false;
    std::u16string probe(1, c);
    probe += u"1";
    return DecimalToInt(probe.c_str()) == 1;
}

// Whether the conversion finds a number at the start: white space, one sign, a digit.
static bool StartsWithNumber(const std::u16string& value)
{
    size_t i = 0;
    while (i < value.size() && IsLauncherSpace(value[i]))
        ++i;
    if (i < value.size() && (value[i] == u'+' || value[i] == u'-'))
        ++i;
    return i < value.size() && IsLauncherDigit(value[i]);
}

// ---------------------------------------------------------------- check

namespace {

struct Checker {
    const CheckOptions& options;
    CheckReport& report;
    Findings& findings;
    Machine machine;
    std::string scratch;
    IniFile ini;
    std::set<std::string> analysed;  // compressed files already looked at
    std::map<std::string, std::string> expanded;  // compressed file -> its expansion in the scratch folder
    std::u16string upgradeCode;
    std::vector<MediumPackage> contents;
    std::vector<int> contentIndex;  // report.packages -> contents, -1 when not readable
    std::vector<MediumTransform> transformContents;

    void Boot(LANGID language = 0x0409, const std::u16string& label = std::u16string())
    {
        Machine m = machine;
        m.systemLanguage = language;
        m.label = label;
        BootMachine(m);
    }

    std::string Display(const std::string& host) const
    {
        std::error_code ignored;
        std::string relative = fs::relative(host, options.mediumDir, ignored).string();
        return relative.empty() ? host : relative;
    }

    void CheckSetupExe();
    void CheckAutorunText();
    void CheckUpgradeCode();
    void CheckPackages();
    void ChooseLanguages();
    void CheckLabelMethod(const std::u16string& switchValue);
    void CheckLanguageMap();
    void CheckTransforms();
    void AnalyseCompressed(const std::string& host, const std::string& role);
    void ListContents();
};

static std::string Utf8MarkConsequence(const IniFile& ini)
{
    std::string text = "autorun.inf starts with a UTF-8 byte-order mark, which Windows does not decode (Wine does): ";
    const std::string fix = "; save it as ASCII or as UTF-16LE with its byte-order mark";
    if (!ini.markHidesSection)
        return text + "its first line reads as a key line in no section, which does no harm" + fix;
    std::u16string hidden = UpperAscii(ini.hiddenSection);
    text += "the first line reads as those three bytes followed by \"[" + U8(ini.hiddenSection) +
            "]\", which is no section, so ";
    if (hidden == u"SETUP")
        return text +
               "the launcher sees none of [Setup]: with no upgrade code and no package it starts no installer and "
               "ends with an error code" + fix;
    if (hidden == u"LANGUAGEMAP")
        return text +
               "the launcher sees no [LanguageMap]: unless it takes the language from the volume label, it installs "
               "with the 1033 transform" + fix;
    if (hidden == u"AUTORUN")
        return text + "AutoPlay sees no [autorun] and does not start setup.exe" + fix;
    return text + "[" + U8(ini.hiddenSection) + "] is read by nobody" + fix;
}

void Checker::CheckSetupExe()
{
    std::string setup = FindEntryNoCase(options.mediumDir, "setup.exe");
    if (!IsFile(setup)) {
        findings.Error("setup-missing", "setup.exe",
                       "no setup.exe in the medium folder: the launcher and autorun.inf must lie side by side");
        return;
    }
    int machineType = PeMachine(setup);
    if (machineType <= 0) {
        findings.Error("setup-not-program", "setup.exe", "setup.exe is not a Windows program (no PE header)");
    } else if (machineType == 0x8664) {
        findings.Warning("setup-64bit", "setup.exe",
                         "setup.exe is the x86-64 test build: it runs only on 64-bit Windows and, never being a "
                         "32-bit process there, never reads Installer64; ship the 32-bit build/win32/setup.exe");
    } else if (machineType != 0x14C) {
        findings.Warning("setup-machine", "setup.exe", "setup.exe is built for an unexpected machine type");
    }
    if (machineType > 0) {
        report.signature = InspectSignature(setup, scratch, findings);
        ReportSignature(report.signature, "setup.exe", findings);
    }
}

void Checker::CheckAutorunText()
{
    if (ini.encoding == "utf-8-bom")
        findings.Error("autorun-utf8-mark", "autorun.inf", Utf8MarkConsequence(ini));
    if (ini.encoding == "ansi")
        findings.Warning("autorun-encoding", "autorun.inf",
                         "autorun.inf holds bytes above 127 without a byte-order mark: Windows reads it in the "
                         "system's code page, so such text differs from system to system; save it as UTF-16LE "
                         "with a byte-order mark or keep it ASCII");
    std::map<std::u16string, int> seenSections;
    for (const IniSection& s : ini.sections) {
        std::u16string upper = UpperAscii(s.name);
        if (seenSections.count(upper)) {
            findings.Warning("duplicate-section", "autorun.inf",
                             "[" + U8(s.name) + "] appears on lines " + std::to_string(seenSections[upper]) +
                                 " and " + std::to_string(s.line) + ": keep one section");
        } else {
            seenSections[upper] = s.line;
        }
        bool ours = upper == u"SETUP" || upper == u"LANGUAGEMAP";
        std::map<std::u16string, int> seenKeys;
        for (const IniEntry& e : s.entries) {
            std::string where = "[" + U8(s.name) + "] " + U8(e.key);
            if (ours && !e.hasEquals) {
                findings.Warning("line-without-value", "autorun.inf",
                                 "line " + std::to_string(e.line) + " of [" + U8(s.name) +
                                     "] has no '=': it sets nothing");
                continue;
            }
            std::u16string key = UpperAscii(e.key);
            if (seenKeys.count(key))
                findings.Warning("duplicate-key", where,
                                 "set on lines " + std::to_string(seenKeys[key]) + " and " + std::to_string(e.line) +
                                     ": only the first is read");
            else
                seenKeys[key] = e.line;
            if (upper == u"SETUP" && key != u"UPGRADECODE" && key != u"INSTALLER" && key != u"INSTALLER64" &&
                key != u"USEVOLUMENAMEFORLANGUAGE")
                findings.Warning("unknown-key", where,
                                 "the launcher does not read this key; it reads UpgradeCode, Installer, "
                                 "Installer64 and UseVolumeNameForLanguage");
        }
    }

    const IniEntry* open = ini.Entry(u"autorun", u"open");
    if (!open)
        findings.Warning("autorun-open", "[autorun] open",
                         "not set: AutoPlay does not start setup.exe when the medium is inserted");
    else if (!EqualNoCase(open->value, u"setup.exe"))
        findings.Warning("autorun-open", "[autorun] open",
                         "AutoPlay starts " + Quote(open->value) + ", not setup.exe");
}

void Checker::CheckUpgradeCode()
{
    const IniEntry* entry = ini.Entry(u"Setup", u"UpgradeCode");
    std::u16string read = LauncherReads(u"Setup", u"UpgradeCode", kUpgradeCodeCapacity);
    upgradeCode = read;
    const std::string where = "[Setup] UpgradeCode";
    if (read.empty()) {
        findings.Error("upgrade-code-missing", where,
                       "not set: the launcher never finds the product installed, installs again on every run, and "
                       "shares its single-instance guard with every other medium without one");
        return;
    }
    if (entry && entry->value.size() > kUpgradeCodeCapacity - 1) {
        findings.Error("upgrade-code-too-long", where,
                       std::to_string(entry->value.size()) + " characters; the launcher reads only the first " +
                           std::to_string(kUpgradeCodeCapacity - 1) + ", " + Quote(read));
        return;
    }
    if (IsBracedGuid(read) && UpperAscii(read) != read)
        findings.Warning("upgrade-code-lower-case", where,
                         "has lower-case hex digits: Windows Installer keeps upgrade codes in upper case and some "
                         "implementations (Wine's among them) find the product by no other spelling, so the "
                         "installed check would miss it; write it in upper case");
    if (!IsBracedGuid(read))
        findings.Error("upgrade-code-not-guid", where,
                       Quote(read) +
                           " is not a braced GUID such as {12345678-ABCD-1234-ABCD-1234567890AB}: Windows "
                           "Installer refuses it, so the launcher never finds the product installed and "
                           "installs again on every run");
}

void Checker::CheckPackages()
{
    std::u16string installer = LauncherReads(u"Setup", u"Installer", kInstallerCapacity);
    std::u16string installer64 = LauncherReads(u"Setup", u"Installer64", kInstallerCapacity);
    for (const char16_t* key : {u"Installer", u"Installer64"}) {
        const IniEntry* entry = ini.Entry(u"Setup", key);
        if (entry && entry->value.size() > kInstallerCapacity - 1)
            findings.Error("value-too-long", "[Setup] " + U8(key),
                           std::to_string(entry->value.size()) + " characters; the launcher reads at most " +
                               std::to_string(kInstallerCapacity - 1) + " and would look for a file of the cut name");
    }

    if (installer.empty() && installer64.empty()) {
        findings.Error("installer-missing", "[Setup] Installer",
                       "not set: the launcher starts no installer and ends with an error code (1603)");
    } else if (installer.empty()) {
        findings.Warning("installer-missing", "[Setup] Installer",
                         "not set: on 32-bit Windows the launcher starts no installer and ends with an error code "
                         "(1603); only 64-bit Windows reads Installer64");
    }

    auto addPackage = [&](const std::string& key, const std::u16string& name, const std::string& systems) {
        for (PackageReport& p : report.packages)
            if (p.name == name) {
                p.systems += " and " + systems;
                return;
            }
        PackageReport p;
        p.key = key;
        p.name = name;
        p.systems = systems;
        report.packages.push_back(p);
    };
    if (!installer64.empty()) {
        addPackage("Installer64", installer64, "64-bit Windows");
        if (!installer.empty())
            addPackage("Installer", installer, "32-bit Windows");
    } else if (!installer.empty()) {
        addPackage("Installer", installer, "32-bit and 64-bit Windows");
    }

    for (PackageReport& p : report.packages) {
        std::string where = "[Setup] " + p.key;
        std::string plain = FindPathNoCase(options.mediumDir, p.name);
        std::u16string compressedName = CompressedName(p.name);
        std::string compressed = FindPathNoCase(options.mediumDir, compressedName);
        if (IsFile(plain)) {
            p.form = PackageReport::Form::Plain;
            p.file = plain;
            if (IsFile(compressed))
                findings.Warning("package-both", where,
                                 "both " + U8(p.name) + " and " + U8(compressedName) +
                                     " are on the medium: the launcher uses the plain one and never expands the "
                                     "compressed one");
            continue;
        }
        if (!IsFile(compressed)) {
            findings.Error("package-missing", where,
                           "names " + Quote(p.name) + ", but neither " + U8(p.name) + " nor its compressed form " +
                               U8(compressedName) + " is in the medium folder: " + p.systems +
                               " gets no package (msiexec fails)");
            continue;
        }
        p.form = PackageReport::Form::Compressed;
        p.file = compressed;
        bool plainFileName = p.name.find_first_of(u"\\/:") == std::u16string::npos &&
                             p.name.find_first_not_of(u". ") != std::u16string::npos;
        if (!plainFileName) {
            findings.Error("package-name-unstageable", where,
                           Quote(p.name) +
                               " is compressed but is not a plain file name: the launcher expands only packages "
                               "named without a folder into the temporary directory, and starts msiexec with no "
                               "package");
        } else {
            // The staged path must fit the launcher's buffer with its terminator,
            // for every account: a default temporary directory holds the user
            // name, and Windows allows 20 characters for it.
            const std::u16string defaultTemp = u"C:\\Users\\" + std::u16string(20, u'N') + u"\\AppData\\Local\\Temp\\";
            size_t needed = p.name.size() + 1 + 1;
            size_t room = needed >= kPathCapacity ? 0 : kPathCapacity - needed;
            if (room < defaultTemp.size()) {
                size_t longestUser = room > defaultTemp.size() - 20 ? room - (defaultTemp.size() - 20) : 0;
                findings.Error("package-name-long", where,
                               "the staged package is the temporary directory, a backslash and " + Quote(p.name) +
                                   ": in the default temporary directory, C:\\Users\\<user>\\AppData\\Local\\Temp\\, "
                                   "that path no longer fits the launcher's " + std::to_string(kPathCapacity - 1) +
                                   " characters for user names longer than " + std::to_string(longestUser) +
                                   ": staging fails and msiexec gets no package; shorten the name");
            }
            else if (room < 120)
                findings.Warning("package-name-long", where,
                                 "the staged package is the temporary directory, a backslash and " + Quote(p.name) +
                                     ": a temporary directory longer than " + std::to_string(room) +
                                     " characters makes staging fail");
        }
        AnalyseCompressed(compressed, "package");
    }
}

void Checker::AnalyseCompressed(const std::string& host, const std::string& role)
{
    if (!analysed.insert(host).second)
        return;
    CompressedReport entry;
    entry.file = Display(host);
    entry.info = ReadLzmaFileInfo(host);
    const LzmaFileInfo& info = entry.info;
    const std::string& where = entry.file;
    auto done = [&]() { report.compressed.push_back(entry); };

    if (!info.readable) {
        findings.Error("compressed-unreadable", where, "cannot be read");
        return done();
    }
    if (!info.headerComplete) {
        findings.Error("compressed-short", where,
                       "is " + std::to_string(info.fileLength) +
                           " bytes, shorter than the 13-byte LZMA-alone header: the launcher's expansion fails");
        return done();
    }
    if (info.sizeUnknown) {
        findings.Error("compressed-size-unknown", where,
                       "the header does not state the size (all eight size bytes are 0xFF, as xz --format=lzma "
                       "writes them): the launcher refuses such files; compress with stubmedia pack or lzma_alone");
        return done();
    }
    if (info.declaredSize > kLargestDeclaredSize) {
        findings.Error("compressed-too-large", where,
                       "declares " + Bytes(info.declaredSize) +
                           ", 4 GiB or more: the launcher refuses it; ship this " + role + " plain");
        return done();
    }
    if (info.properties >= kFirstBadPropertiesByte) {
        findings.Error("compressed-bad-properties", where,
                       "properties byte " + std::to_string(info.properties) +
                           " is not a valid LZMA setting (225 and above): the launcher refuses it");
        return done();
    }
    uint64_t memory = LauncherMemory(info);
    if (memory > kLauncherLargestExpansion) {
        findings.Error("compressed-memory", where,
                       "expanding it needs " + Bytes(memory) +
                           " in memory at once (payload, output and decoder state); setup.exe holds at most " +
                           Bytes(kLauncherLargestExpansion) +
                           ", on 64-bit Windows, so the expansion fails and msiexec gets an empty package: ship "
                           "this " + role + " plain");
        return done();  // the launcher never gets as far as the stream
    }
    if (memory > kLauncherLargestExpansion32)
        findings.Warning("compressed-memory", where,
                         "expanding it needs " + Bytes(memory) +
                             " in memory at once; setup.exe has that much only on 64-bit Windows (at most " +
                             Bytes(kLauncherLargestExpansion32) +
                             " on 32-bit Windows): ship this " + role + " plain if it must install there");
    if (info.fileLength == kLzmaHeaderSize) {
        findings.Error("compressed-damaged", where,
                       "holds no compressed data after its header: the launcher's expansion fails");
        return done();
    }
    if (!options.decodeStreams)
        return done();

    std::string output = scratch + "/expanded.bin";
    entry.decoded = true;
    entry.expands = ExpandWithLauncher(host, output);
    entry.producedSize = FileSize(output);
    if (!entry.expands) {
        findings.Error("compressed-damaged", where,
                       "the launcher's expansion fails: the LZMA stream is damaged or truncated");
    } else {
        if (entry.producedSize < info.declaredSize)
            findings.Warning("compressed-ends-early", where,
                             "the stream ends with an end marker after " + std::to_string(entry.producedSize) +
                                 " of the " + std::to_string(info.declaredSize) +
                                 " bytes its header declares: the launcher stages only those");
        // Kept for the checks of what the package and its transforms hold.
        std::string kept = scratch + "/expanded-" + std::to_string(expanded.size()) + ".bin";
        std::error_code ignored;
        fs::rename(output, kept, ignored);
        if (!ignored)
            expanded[host] = kept;
    }
    std::error_code ignored;
    fs::remove(output, ignored);
    done();
}

// The packages as msiexec gets them: plain where they lie, compressed ones
// as the launcher's expansion gave them.
void Checker::ListContents()
{
    for (const PackageReport& p : report.packages) {
        std::string file = p.form == PackageReport::Form::Plain ? p.file
                           : p.form == PackageReport::Form::Compressed && expanded.count(p.file) ? expanded[p.file]
                                                                                                  : std::string();
        if (file.empty()) {
            contentIndex.push_back(-1);
            continue;
        }
        contentIndex.push_back(int(contents.size()));
        contents.push_back({p.key, p.systems, Display(p.file), file, p.form == PackageReport::Form::Compressed,
                            fs::path(p.file).parent_path().string()});
    }
}

void Checker::CheckLabelMethod(const std::u16string& switchValue)
{
    std::u16string upper = UpperAscii(switchValue);
    if (upper == u"0" || upper == u"NO" || upper == u"FALSE" || upper == u"OFF")
        findings.Warning("switch-misleading", "[Setup] UseVolumeNameForLanguage",
                         Quote(switchValue) +
                             " selects the volume-label method all the same: any value does; remove the key to "
                             "use [LanguageMap]");
    const IniEntry* full = ini.Entry(u"Setup", u"UseVolumeNameForLanguage");
    if (full && full->value.size() > kSwitchCapacity - 1)
        findings.Note("value-too-long", "[Setup] UseVolumeNameForLanguage",
                      "longer than the " + std::to_string(kSwitchCapacity - 1) +
                          " characters the launcher reads; harmless, any value selects the label method");
    const IniSection* map = ini.Section(u"LanguageMap");
    if (map && !map->entries.empty())
        findings.Warning("map-ignored", "[LanguageMap]",
                         "UseVolumeNameForLanguage is set, so the launcher takes the language from the volume "
                         "label and never reads [LanguageMap]");

    KnownLabel known = LabelOf(options.label, ini);
    const std::optional<std::u16string>& label = known.text;
    std::string labelSource = known.text ? known.source : "--label";
    report.label = label;
    if (!label) {
        findings.Warning("label-unknown", "[Setup] UseVolumeNameForLanguage",
                         "the language comes from the volume label, but none is known: pass --label with the "
                         "label the medium will carry (or set [autorun] label)");
        return;
    }

    Boot(0x0409, *label);
    uint16_t language = LanguageFromVolumeLabel();
    std::u16string lastFour = label->size() >= 4 ? label->substr(label->size() - 4) : *label;
    uint16_t converted = uint16_t(DecimalToInt(lastFour.c_str()));
    std::string where = labelSource == "--label" ? "volume label" : "[autorun] label";
    if (label->size() < 4 || converted == 0) {
        findings.Error("label-no-language", where,
                       "the volume label " + Quote(*label) + " does not end in a language number: the launcher "
                       "reads its last four characters" + (label->size() < 4 ? std::string() : " " + Quote(lastFour)) +
                           " and falls back to 1033; end the label with the language, e.g. PRODUCT1031");
        report.languages.push_back({language, "the volume label " + Quote(*label) + " falls back to 1033", true});
        return;
    }
    bool allDigits = std::all_of(lastFour.begin(), lastFour.end(), [](char16_t c) { return c >= u'0' && c <= u'9'; });
    if (!allDigits)
        findings.Warning("label-odd-number", where,
                         "the last four characters of the volume label, " + Quote(lastFour) +
                             ", give language " + std::to_string(language) +
                             "; end the label with the four digits of the language");
    if (label->size() > 16)
        findings.Warning("label-long", where,
                         "the volume label has " + std::to_string(label->size()) +
                             " characters: CD-ROM (Joliet) labels hold 16 and FAT labels 11; a cut label loses the "
                             "language digits at its end");
    else if (label->size() > 11)
        findings.Note("label-long", where,
                      "the volume label has " + std::to_string(label->size()) +
                          " characters: fine on a CD-ROM (Joliet holds 16), but a FAT-formatted USB stick holds 11 "
                          "and would lose the language digits");
    report.languages.push_back({language, "the volume label " + Quote(*label) + " ends in " +
                                              std::to_string(language), true});
    if (language != kFallbackLanguage)
        report.languages.push_back({kFallbackLanguage, "the 1033 fallback, when the volume label cannot be read",
                                    false});
}

void Checker::CheckLanguageMap()
{
    const IniSection* map = ini.Section(u"LanguageMap");
    std::set<uint16_t> keys;
    if (map) {
        for (const IniEntry& e : map->entries) {
            if (!e.hasEquals)
                continue;
            std::string where = "[LanguageMap] " + U8(e.key);
            if (!IsCanonicalLanguage(e.key)) {
                findings.Warning("map-key-never-matches", where,
                                 "never matches: the launcher looks up the system language in decimal without "
                                 "leading zeros, e.g. 1031 for 0x0407");
                continue;
            }
            uint16_t key = uint16_t(std::stoul(U8(e.key)));
            if (!keys.insert(key).second)
                continue;  // reported as a duplicate key
            Boot(key);
            uint16_t language = LanguageFromLanguageMap();
            std::u16string read = LauncherReads(u"LanguageMap", e.key, kMapValueCapacity);
            if (e.value.empty()) {
                findings.Warning("map-value-empty", where,
                                 "has no value: systems of language " + U8(e.key) + " get the 1033 fallback");
            } else if (e.value.size() > kMapValueCapacity - 1) {
                findings.Error("map-value-too-long", where,
                               Quote(e.value) + " has " + std::to_string(e.value.size()) +
                                   " characters; the launcher reads only the first " +
                                   std::to_string(kMapValueCapacity - 1) + ", " + Quote(read) + ", and uses language " +
                                   std::to_string(language));
            } else if (!StartsWithNumber(e.value)) {
                findings.Error("map-value-not-number", where,
                               Quote(e.value) + " is not a number: the launcher converts it to 0 and asks for the "
                               "transform 0.mst; write the language in decimal, e.g. 1031");
            } else {
                int32_t value = DecimalToInt(read.c_str());
                if (value < 0 || value > 0xFFFF)
                    findings.Warning("map-value-out-of-range", where,
                                     Quote(e.value) + " is not a 16-bit language number: the launcher keeps its low "
                                     "16 bits, " + std::to_string(language));
            }
            if (!options.systemLanguage)
                report.languages.push_back(
                    {language,
                     "[LanguageMap] " + U8(e.key) + "=" + U8(e.value) + ", for systems of language " +
                         LanguageName(key),
                     true});
        }
    }
    if (options.systemLanguage) {
        Boot(*options.systemLanguage);
        uint16_t language = ChooseTransformLanguage();
        bool mapped = keys.count(*options.systemLanguage) != 0;
        report.languages.push_back(
            {language,
             mapped ? "[LanguageMap] entry for the system language " + LanguageName(*options.systemLanguage)
                    : "the 1033 fallback: the system language " + LanguageName(*options.systemLanguage) +
                          " has no [LanguageMap] entry",
             true});
        return;
    }
    // Some system language is always unmapped; ask the launcher what it gets.
    uint16_t unmapped = 0x0409;
    while (keys.count(unmapped))
        ++unmapped;
    Boot(unmapped);
    report.languages.push_back(
        {ChooseTransformLanguage(), "the 1033 fallback, for systems whose language has no [LanguageMap] entry", true});
}

void Checker::ChooseLanguages()
{
    std::u16string switchValue = LauncherReads(u"Setup", u"UseVolumeNameForLanguage", kSwitchCapacity);
    report.labelMethod = !switchValue.empty();
    if (report.labelMethod)
        CheckLabelMethod(switchValue);
    else
        CheckLanguageMap();
}

void Checker::CheckTransforms()
{
    // The same language may be reached several ways: keep the first reason,
    // and count it essential when any way is.
    std::vector<LanguageChoice> choices;
    for (const LanguageChoice& c : report.languages) {
        auto it = std::find_if(choices.begin(), choices.end(),
                               [&](const LanguageChoice& d) { return d.language == c.language; });
        if (it == choices.end())
            choices.push_back(c);
        else
            it->essential = it->essential || c.essential;
    }

    std::set<std::string> used;
    for (const PackageReport& p : report.packages) {
        if (p.form == PackageReport::Form::Missing)
            continue;
        std::string packageFile = U8(p.name);
        for (const LanguageChoice& c : choices) {
            std::u16string transform = U16(std::to_string(c.language)) + u".mst";
            std::string host;
            std::string wanted;
            if (p.form == PackageReport::Form::Plain) {
                // msiexec runs in the package's folder and finds the transform there.
                std::u16string name = p.name;
                size_t slash = name.find_last_of(u"\\/");
                std::u16string path = slash == std::u16string::npos ? transform : name.substr(0, slash + 1) + transform;
                host = FindPathNoCase(options.mediumDir, path);
                wanted = U8(path);
            } else {
                std::u16string compressed = CompressedName(transform);
                host = FindEntryNoCase(options.mediumDir, U8(compressed));
                wanted = U8(compressed);
            }
            if (IsFile(host)) {
                if (p.form == PackageReport::Form::Compressed)
                    AnalyseCompressed(host, "transform");
                used.insert(host);
                int index = contentIndex[size_t(&p - &report.packages[0])];
                std::string file = p.form == PackageReport::Form::Compressed
                                       ? (expanded.count(host) ? expanded[host] : std::string())
                                       : host;
                if (index >= 0 && !file.empty())
                    transformContents.push_back({size_t(index), c.language, Display(host), file, c.essential});
                continue;
            }
            std::string consequence =
                p.form == PackageReport::Form::Plain
                    ? " is not beside " + packageFile + ": msiexec gets TRANSFORMS=" + U8(transform) +
                          " and Windows Installer ends with error 1624"
                    : " is missing: the launcher expands " + U8(CompressedName(p.name)) +
                          " but cannot stage the transform, and msiexec gets TRANSFORMS=" + U8(transform) +
                          " without the file (Windows Installer ends with error 1624)";
            std::string message = "the medium can choose language " + std::to_string(c.language) + " (" + c.reason +
                                  ") for " + p.systems + ", but " + wanted + consequence;
            if (c.essential)
                findings.Error("transform-missing", wanted, message);
            else
                findings.Warning("transform-missing", wanted, message);
        }
    }

    // Transforms that no system gets, and names the launcher never forms.
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(options.mediumDir, ignored)) {
        if (!entry.is_regular_file())
            continue;
        std::string name = entry.path().filename().string();
        std::u16string wide = UpperAscii(U16(name));
        bool compressed = wide.size() > 4 && wide.compare(wide.size() - 4, 4, u".MS_") == 0;
        bool plain = wide.size() > 4 && wide.compare(wide.size() - 4, 4, u".MST") == 0;
        if (!compressed && !plain)
            continue;
        bool isPackage = std::any_of(report.packages.begin(), report.packages.end(), [&](const PackageReport& p) {
            return p.file == entry.path().string();
        });
        if (isPackage)
            continue;
        std::u16string stem = U16(name.substr(0, name.size() - 4));
        if (!IsCanonicalLanguage(stem)) {
            findings.Warning("transform-name", name,
                             "is never used: the launcher names transforms by the language in decimal without "
                             "leading zeros, such as 1031" + std::string(compressed ? ".ms_" : ".mst"));
            continue;
        }
        if (!used.count(entry.path().string()) && !report.packages.empty())
            findings.Note("transform-unused", name, "no system gets this transform from this medium");
        if (compressed && !used.count(entry.path().string()))
            AnalyseCompressed(entry.path().string(), "transform");
    }
}

}  // namespace

CheckReport CheckMedium(const CheckOptions& given)
{
    // One spelling of the folder, so that paths found different ways compare equal.
    CheckOptions options = given;
    std::string normal = fs::path(given.mediumDir).lexically_normal().string();
    while (normal.size() > 1 && normal.back() == '/')
        normal.pop_back();
    options.mediumDir = normal;
    CheckReport report;
    Findings& findings = report.findings;
    std::error_code error;
    if (!fs::is_directory(options.mediumDir, error)) {
        findings.Error("medium-missing", options.mediumDir, "is not a folder");
        return report;
    }
    ScratchDir scratch(options.scratchDir);
    if (!scratch.ok()) {
        findings.Error("scratch", options.scratchDir, "cannot create a scratch folder");
        return report;
    }
    Checker checker{options, report, findings, Machine(), scratch.path(), IniFile(), {}, {}, {}, {}, {}, {}};
    checker.machine.mediumDir = fs::absolute(options.mediumDir).string();
    checker.machine.systemDriveDir = scratch.path() + "/C";

    checker.CheckSetupExe();
    std::string autorun = FindEntryNoCase(options.mediumDir, "autorun.inf");
    if (!IsFile(autorun)) {
        findings.Error("autorun-missing", "autorun.inf",
                       "no autorun.inf in the medium folder: the launcher reads its settings from it, and without "
                       "them names no package and ends with an error code");
        return report;
    }
    checker.ini = ReadIniFile(autorun);
    checker.CheckAutorunText();
    checker.Boot();
    checker.CheckUpgradeCode();
    checker.Boot();
    checker.CheckPackages();
    checker.Boot();  // the expansions above ran on machines of their own
    checker.ChooseLanguages();
    checker.ListContents();
    checker.CheckTransforms();
    report.contents = CheckContents(checker.upgradeCode, checker.contents, checker.transformContents, findings);
    for (size_t i = 0; i < report.packages.size() && i < checker.contentIndex.size(); ++i)
        if (checker.contentIndex[i] >= 0 && report.contents.packages[size_t(checker.contentIndex[i])].readable)
            report.packages[i].content = report.contents.packages[size_t(checker.contentIndex[i])];
    return report;
}

}  // namespace stubmedia
