#include "commands.h"

#include "launcher_sim.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <set>

namespace stubmedia {

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFindings = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "stubmedia: author and inspect SetupStub setup media\n"
    "\n"
    "usage:\n"
    "  stubmedia pack <input folder> <medium folder> --upgrade-code {GUID} [options]\n"
    "  stubmedia check <medium folder> [options]\n"
    "  stubmedia explain <medium folder> [--system-language N] [options]\n"
    "  stubmedia help [pack|check|explain]\n"
    "\n"
    "Every command takes --json (a JSON report on standard output) and --help.\n"
    "Exit codes: 0 done (warnings allowed), 1 errors found or the command failed,\n"
    "2 wrong usage.\n";

const char kPackHelp[] =
    "usage: stubmedia pack <input folder> <medium folder> --upgrade-code {GUID} [options]\n"
    "\n"
    "Writes a medium folder from an input folder that holds the package (*.msi),\n"
    "optionally a 64-bit package, and language transforms named NNNN.mst (the\n"
    "language number in decimal). The medium gets setup.exe, the package plain or\n"
    "compressed (Setup.msi -> Setup.ms_), the transforms (NNNN.ms_ when compressed),\n"
    "other files of the input unchanged, and autorun.inf. Every compressed file is\n"
    "expanded again with the launcher's own code and compared byte for byte.\n"
    "\n"
    "options:\n"
    "  --upgrade-code {GUID}    the package's UpgradeCode (required)\n"
    "  --compress | --plain     LZMA-compress package and transforms (default) or\n"
    "                           copy them as they are\n"
    "  --map S=L[,S=L...]       [LanguageMap]: systems of language S get transform L\n"
    "                           (decimal or 0x hex; repeatable). Systems not listed\n"
    "                           get 1033, so 1033.mst is always needed\n"
    "  --language-from-label    take the language from the last four characters of\n"
    "                           the volume label instead (needs --label)\n"
    "  --label TEXT             the volume label, written as [autorun] label\n"
    "  --installer NAME         which input package is [Setup] Installer\n"
    "  --installer64 NAME       which input package is [Setup] Installer64 (a name\n"
    "                           with 64 in it is taken when there are two packages)\n"
    "  --setup-exe PATH         the launcher to ship (default: build/win32/setup.exe\n"
    "                           of this source tree)\n"
    "  --level 0-9              LZMA compression level (default 5)\n"
    "  --force                  write into a folder that is not empty (files left\n"
    "                           there stay on the medium)\n"
    "  --temp DIR               scratch folder for the verification (default: a\n"
    "                           private one)\n"
    "  --quiet                  no progress lines\n"
    "  --json                   JSON report on standard output\n";

const char kCheckHelp[] =
    "usage: stubmedia check <medium folder> [options]\n"
    "\n"
    "Lints a medium folder and says what the launcher would trip on: the upgrade\n"
    "code, the package names (plain or compressed), the transforms for every\n"
    "language the medium can choose (map entries, the 1033 fallback, or the\n"
    "volume label's language), values longer than the launcher reads, and every\n"
    "compressed file (header, size, memory needed, and the launcher's own\n"
    "expansion of the stream). Exits with 1 when there are errors.\n"
    "\n"
    "options:\n"
    "  --system-language N      check only what a system of this language gets\n"
    "                           (1031 or 0x0407)\n"
    "  --label TEXT             the volume label the medium will carry (default:\n"
    "                           [autorun] label)\n"
    "  --temp DIR               scratch folder for expansions (default: a private one)\n"
    "  --json                   JSON report on standard output\n";

const char kExplainHelp[] =
    "usage: stubmedia explain <medium folder> [options]\n"
    "\n"
    "A dry run: runs the launcher's own code on a simulated Windows for one system\n"
    "and tells which package and language it takes and why, what it stages where,\n"
    "and the exact msiexec command. msiexec itself is not run; its exit code is\n"
    "scripted (0 unless --msiexec-exit).\n"
    "\n"
    "options:\n"
    "  --system-language N      the system's default language (1031 or 0x0407;\n"
    "                           default 1033)\n"
    "  --label TEXT             the medium's volume label (default: [autorun] label)\n"
    "  --label-unreadable       the volume query fails\n"
    "  --64bit | --32bit        64-bit Windows (default) or 32-bit Windows\n"
    "  --drive LETTER           the medium's drive letter (default D)\n"
    "  --drive-type TYPE        cdrom (default), removable or fixed\n"
    "  --windows-temp PATH      the user's temporary directory (default\n"
    "                           C:\\Users\\User\\AppData\\Local\\Temp\\)\n"
    "  --temp DIR               host folder that stands for drive C: and keeps the\n"
    "                           staged files (default: a private one, removed)\n"
    "  --logging                the logging flag file exists in the temporary directory\n"
    "  --installed              the product is installed already\n"
    "  --msiexec-exit N         the exit code msiexec is scripted to end with\n"
    "  --json                   JSON report on standard output\n";

struct Args {
    std::vector<std::string> positional;
    std::map<std::string, std::vector<std::string>> values;
    std::set<std::string> flags;
    std::string error;

    bool Has(const std::string& flag) const { return flags.count(flag) != 0; }
    const std::string* Value(const std::string& option) const
    {
        auto it = values.find(option);
        return it == values.end() ? nullptr : &it->second.back();
    }
};

Args Parse(const std::vector<std::string>& args, size_t from, const std::set<std::string>& valued,
           const std::set<std::string>& flags)
{
    Args parsed;
    for (size_t i = from; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg.size() < 2 || arg.compare(0, 2, "--") != 0 || arg == "--") {
            parsed.positional.push_back(arg);
            continue;
        }
        std::string name = arg, value;
        size_t eq = arg.find('=');
        bool inlineValue = eq != std::string::npos;
        if (inlineValue) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
        }
        if (valued.count(name)) {
            if (!inlineValue) {
                if (i + 1 >= args.size()) {
                    parsed.error = name + " needs a value";
                    return parsed;
                }
                value = args[++i];
            }
            parsed.values[name].push_back(value);
        } else if (flags.count(name) && !inlineValue) {
            parsed.flags.insert(name);
        } else {
            parsed.error = "unknown option " + arg;
            return parsed;
        }
    }
    return parsed;
}

int Usage(std::ostream& err, const std::string& message, const char* help)
{
    err << "stubmedia: " << message << "\n\n" << help;
    return kExitUsage;
}

std::string Mib(uint64_t n)
{
    char buffer[32];
    if (n < (1u << 20))
        std::snprintf(buffer, sizeof buffer, "%.1f KiB", n / 1024.0);
    else
        std::snprintf(buffer, sizeof buffer, "%.1f MiB", n / 1048576.0);
    return buffer;
}

std::string Percent(uint64_t part, uint64_t whole)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.1f%%", whole ? 100.0 * part / whole : 0.0);
    return buffer;
}

// ---------------------------------------------------------------- pack

bool ParseMap(const std::string& text, std::vector<std::pair<uint16_t, uint16_t>>* map, std::string* error)
{
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        start = comma == std::string::npos ? text.size() + 1 : comma + 1;
        if (item.empty())
            continue;
        size_t eq = item.find('=');
        auto system = ParseLanguageNumber(item.substr(0, eq));
        auto language = eq == std::string::npos ? std::nullopt : ParseLanguageNumber(item.substr(eq + 1));
        if (!system || !language) {
            *error = "--map entry \"" + item + "\" is not SYSTEM=LANGUAGE with numbers up to 65535";
            return false;
        }
        for (auto& entry : *map)
            if (entry.first == *system) {
                *error = "--map names the system language " + std::to_string(*system) + " twice";
                return false;
            }
        map->push_back({*system, *language});
    }
    return true;
}

int RunPack(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    Args a = Parse(args, 1,
                   {"--upgrade-code", "--map", "--label", "--installer", "--installer64", "--setup-exe", "--level",
                    "--temp"},
                   {"--compress", "--plain", "--language-from-label", "--force", "--quiet", "--json", "--help"});
    if (a.Has("--help")) {
        out << kPackHelp;
        return kExitOk;
    }
    if (!a.error.empty())
        return Usage(err, a.error, kPackHelp);
    if (a.positional.size() != 2)
        return Usage(err, "pack takes an input folder and a medium folder", kPackHelp);
    if (a.Has("--compress") && a.Has("--plain"))
        return Usage(err, "--compress and --plain exclude each other", kPackHelp);
    if (!a.Value("--upgrade-code"))
        return Usage(err, "--upgrade-code is required: the package's UpgradeCode, a braced GUID", kPackHelp);

    PackOptions options;
    options.inputDir = a.positional[0];
    options.outputDir = a.positional[1];
    options.upgradeCode = U16(*a.Value("--upgrade-code"));
    options.compress = !a.Has("--plain");
    options.labelMethod = a.Has("--language-from-label");
    options.force = a.Has("--force");
    if (const std::string* label = a.Value("--label"))
        options.label = U16(*label);
    if (options.labelMethod && !options.label)
        return Usage(err, "--language-from-label needs --label: the label ends in the language number", kPackHelp);
    if (options.labelMethod && a.values.count("--map"))
        return Usage(err, "--map and --language-from-label exclude each other", kPackHelp);
    if (a.values.count("--map"))
        for (const std::string& text : a.values.at("--map")) {
            std::string error;
            if (!ParseMap(text, &options.map, &error))
                return Usage(err, error, kPackHelp);
        }
    if (const std::string* v = a.Value("--installer"))
        options.installer = *v;
    if (const std::string* v = a.Value("--installer64"))
        options.installer64 = *v;
    if (const std::string* v = a.Value("--setup-exe"))
        options.setupExe = *v;
    if (const std::string* v = a.Value("--temp"))
        options.scratchDir = *v;
    if (const std::string* v = a.Value("--level")) {
        if (v->size() != 1 || (*v)[0] < '0' || (*v)[0] > '9')
            return Usage(err, "--level takes 0 to 9", kPackHelp);
        options.level = (*v)[0] - '0';
    }

    bool json = a.Has("--json");
    PackReport report = PackMedium(options, a.Has("--quiet") ? nullptr : &err);
    if (json) {
        JsonWriter w(out);
        w.BeginObject();
        w.Field("command", "pack");
        w.Field("medium", options.outputDir);
        w.Field("written", report.written);
        w.Field("compressed", options.compress);
        w.Key("files").BeginArray();
        for (const PackedFile& f : report.files) {
            w.BeginObject();
            w.Field("name", f.name);
            w.Field("role", f.role);
            w.Field("source", f.source);
            w.Field("size", f.size);
            w.Field("storedSize", f.storedSize);
            w.Field("compressed", f.compressed);
            w.Field("verified", f.verified);
            w.EndObject();
        }
        w.EndArray();
        w.Field("autorun", U8(report.autorun));
        WriteFindingsJson(w, report.findings);
        w.EndObject();
    } else {
        if (report.written) {
            out << "packed " << options.outputDir << (options.compress ? " (compressed)" : " (plain)") << ":\n";
            for (const PackedFile& f : report.files) {
                out << "  " << f.name << ": ";
                if (f.compressed)
                    out << f.size << " -> " << f.storedSize << " bytes (" << Percent(f.storedSize, f.size)
                        << "), verified with the launcher's expansion\n";
                else
                    out << f.size << " bytes, copied\n";
            }
            out << "  autorun.inf:\n";
            std::string text = U8(report.autorun);
            size_t pos = 0;
            while (pos < text.size()) {
                size_t end = text.find("\r\n", pos);
                out << "    " << text.substr(pos, end - pos) << "\n";
                pos = end == std::string::npos ? text.size() : end + 2;
            }
        }
        PrintFindings(out, report.findings);
    }
    return report.written && !report.findings.HasErrors() ? kExitOk : kExitFindings;
}

// ---------------------------------------------------------------- check

int RunCheck(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    Args a = Parse(args, 1, {"--system-language", "--label", "--temp"}, {"--json", "--help"});
    if (a.Has("--help")) {
        out << kCheckHelp;
        return kExitOk;
    }
    if (!a.error.empty())
        return Usage(err, a.error, kCheckHelp);
    if (a.positional.size() != 1)
        return Usage(err, "check takes one medium folder", kCheckHelp);
    CheckOptions options;
    options.mediumDir = a.positional[0];
    if (const std::string* v = a.Value("--system-language")) {
        options.systemLanguage = ParseLanguageNumber(*v);
        if (!options.systemLanguage)
            return Usage(err, "--system-language takes a language such as 1031 or 0x0407", kCheckHelp);
    }
    if (const std::string* v = a.Value("--label"))
        options.label = U16(*v);
    if (const std::string* v = a.Value("--temp"))
        options.scratchDir = *v;

    CheckReport report = CheckMedium(options);
    if (a.Has("--json")) {
        JsonWriter w(out);
        w.BeginObject();
        w.Field("command", "check");
        w.Field("medium", options.mediumDir);
        w.Field("languageMethod", report.labelMethod ? "label" : "map");
        if (report.label)
            w.Field("label", U8(*report.label));
        w.Key("packages").BeginArray();
        for (const PackageReport& p : report.packages) {
            w.BeginObject();
            w.Field("key", p.key);
            w.Field("name", U8(p.name));
            w.Field("systems", p.systems);
            w.Field("form", p.form == PackageReport::Form::Plain        ? "plain"
                            : p.form == PackageReport::Form::Compressed ? "compressed"
                                                                        : "missing");
            w.EndObject();
        }
        w.EndArray();
        w.Key("languages").BeginArray();
        for (const LanguageChoice& c : report.languages) {
            w.BeginObject();
            w.Field("language", unsigned(c.language));
            w.Field("reason", c.reason);
            w.Field("essential", c.essential);
            w.EndObject();
        }
        w.EndArray();
        w.Key("compressedFiles").BeginArray();
        for (const CompressedReport& c : report.compressed) {
            w.BeginObject();
            w.Field("file", c.file);
            w.Field("length", c.info.fileLength);
            if (c.info.headerComplete) {
                w.Field("properties", unsigned(c.info.properties));
                w.Field("dictionarySize", unsigned(c.info.dictionarySize));
                if (c.info.sizeUnknown)
                    w.Key("declaredSize").Null();
                else
                    w.Field("declaredSize", c.info.declaredSize);
                w.Field("memoryToExpand", LauncherMemory(c.info));
            }
            if (c.decoded)
                w.Field("expands", c.expands);
            w.EndObject();
        }
        w.EndArray();
        WriteFindingsJson(w, report.findings);
        w.EndObject();
    } else {
        out << "medium " << options.mediumDir << "\n";
        if (!report.packages.empty()) {
            out << "packages:\n";
            for (const PackageReport& p : report.packages)
                out << "  " << p.key << " \"" << U8(p.name) << "\" for " << p.systems << ": "
                    << (p.form == PackageReport::Form::Plain
                            ? "plain"
                            : p.form == PackageReport::Form::Compressed ? "compressed (" + U8(CompressedName(p.name)) + ")"
                                                                        : "missing")
                    << "\n";
        }
        if (!report.languages.empty()) {
            out << "languages the medium can choose (" << (report.labelMethod ? "volume label" : "[LanguageMap]")
                << "):\n";
            for (const LanguageChoice& c : report.languages)
                out << "  " << c.language << ": " << c.reason << "\n";
        }
        if (!report.compressed.empty()) {
            out << "compressed files:\n";
            for (const CompressedReport& c : report.compressed) {
                out << "  " << c.file << ": ";
                if (!c.info.headerComplete || c.info.sizeUnknown) {
                    out << "unusable header\n";
                    continue;
                }
                out << "expands to " << c.info.declaredSize << " bytes, " << Mib(LauncherMemory(c.info))
                    << " in memory while expanding";
                if (c.decoded)
                    out << (c.expands ? "; the launcher's expansion succeeds" : "; the launcher's expansion FAILS");
                out << "\n";
            }
        }
        PrintFindings(out, report.findings);
    }
    return report.findings.HasErrors() ? kExitFindings : kExitOk;
}

// ---------------------------------------------------------------- explain

int RunExplain(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    Args a = Parse(args, 1,
                   {"--system-language", "--label", "--drive", "--drive-type", "--windows-temp", "--temp",
                    "--msiexec-exit"},
                   {"--label-unreadable", "--64bit", "--32bit", "--logging", "--installed", "--json", "--help"});
    if (a.Has("--help")) {
        out << kExplainHelp;
        return kExitOk;
    }
    if (!a.error.empty())
        return Usage(err, a.error, kExplainHelp);
    if (a.positional.size() != 1)
        return Usage(err, "explain takes one medium folder", kExplainHelp);
    if (a.Has("--64bit") && a.Has("--32bit"))
        return Usage(err, "--64bit and --32bit exclude each other", kExplainHelp);
    ExplainOptions options;
    options.mediumDir = a.positional[0];
    if (const std::string* v = a.Value("--system-language")) {
        auto language = ParseLanguageNumber(*v);
        if (!language)
            return Usage(err, "--system-language takes a language such as 1031 or 0x0407", kExplainHelp);
        options.systemLanguage = *language;
        options.systemLanguageGiven = true;
    }
    if (const std::string* v = a.Value("--label"))
        options.label = U16(*v);
    options.labelUnreadable = a.Has("--label-unreadable");
    options.wow64 = !a.Has("--32bit");
    if (const std::string* v = a.Value("--drive")) {
        std::string letter = *v;
        if (letter.size() == 2 && letter[1] == ':')
            letter.pop_back();
        if (letter.size() != 1 || !std::isalpha((unsigned char)letter[0]))
            return Usage(err, "--drive takes a letter such as D", kExplainHelp);
        options.driveLetter = char16_t(std::toupper((unsigned char)letter[0]));
    }
    if (const std::string* v = a.Value("--drive-type")) {
        if (*v == "cdrom")
            options.driveType = DRIVE_CDROM;
        else if (*v == "removable")
            options.driveType = DRIVE_REMOVABLE;
        else if (*v == "fixed")
            options.driveType = DRIVE_FIXED;
        else
            return Usage(err, "--drive-type takes cdrom, removable or fixed", kExplainHelp);
    }
    if (const std::string* v = a.Value("--windows-temp")) {
        std::u16string temp = U16(*v);
        if (temp.size() < 3 || (temp[0] != u'C' && temp[0] != u'c') || temp[1] != u':' || temp[2] != u'\\')
            return Usage(err, "--windows-temp must be a folder on drive C:, such as C:\\Temp\\", kExplainHelp);
        options.windowsTemp = temp;
    }
    if (const std::string* v = a.Value("--temp"))
        options.tempDir = *v;
    options.logging = a.Has("--logging");
    options.installed = a.Has("--installed");
    if (const std::string* v = a.Value("--msiexec-exit")) {
        char* end = nullptr;
        unsigned long code = std::strtoul(v->c_str(), &end, 10);
        if (v->empty() || *end || code > 0xFFFFFFFFul)
            return Usage(err, "--msiexec-exit takes a number", kExplainHelp);
        options.msiexecExitCode = uint32_t(code);
    }

    ExplainReport r = ExplainMedium(options);
    if (a.Has("--json")) {
        JsonWriter w(out);
        w.BeginObject();
        w.Field("command", "explain");
        w.Field("medium", options.mediumDir);
        w.Key("system").BeginObject();
        w.Field("language", unsigned(options.systemLanguage));
        w.Field("windows", options.wow64 ? "64-bit" : "32-bit");
        w.Field("label", U8(r.label));
        w.Field("labelSource", r.labelSource);
        w.Field("labelReadable", !options.labelUnreadable);
        w.EndObject();
        w.Key("settings").BeginObject();
        for (const auto& [key, value] : r.settings)
            w.Field(key, U8(value));
        w.EndObject();
        w.Field("guardName", U8(r.guardName));
        w.Field("installed", r.installed);
        w.Field("loadRequest", r.loadRequest);
        w.Key("package").BeginObject();
        w.Field("key", r.packageKey);
        w.Field("name", U8(r.packageName));
        w.Field("reason", r.packageReason);
        w.EndObject();
        w.Key("language").BeginObject();
        w.Field("number", unsigned(r.language));
        w.Field("method", r.languageMethod);
        w.Field("reason", r.languageReason);
        w.EndObject();
        w.Key("staging").BeginObject();
        w.Field("form", r.stagingForm);
        w.Field("ok", r.stagingOk);
        w.Field("problem", r.stagingProblem);
        w.Key("files").BeginArray();
        for (const StagedFile& f : r.staged) {
            w.BeginObject();
            w.Field("from", U8(f.from));
            w.Field("to", U8(f.to));
            w.Field("present", f.present);
            w.Field("size", f.size);
            w.EndObject();
        }
        w.EndArray();
        w.EndObject();
        w.Key("msiexec");
        if (r.msiexecStarted) {
            w.BeginObject();
            w.Field("file", U8(r.msiexecFile));
            w.Field("parameters", U8(r.msiexecParameters));
            w.Field("directory", U8(r.msiexecDirectory));
            w.Field("show", r.msiexecShow);
            w.Field("mask", unsigned(r.msiexecMask));
            w.EndObject();
        } else {
            w.Null();
        }
        w.Key("ejectHelper");
        if (r.ejectHelperStarted) {
            w.BeginObject();
            w.Field("commandLine", U8(r.ejectCommandLine));
            w.Field("directory", U8(r.ejectDirectory));
            w.EndObject();
        } else {
            w.Null();
        }
        w.Field("exitCode", r.exitCode);
        w.Field("exitCodeReason", r.exitCodeReason);
        WriteFindingsJson(w, r.findings);
        w.EndObject();
    } else {
        if (r.findings.Find("medium-missing")) {
            PrintFindings(out, r.findings);
            return kExitFindings;
        }
        out << "medium " << options.mediumDir << " as " << char(options.driveLetter) << ":\\ ("
            << (options.driveType == DRIVE_CDROM ? "CD-ROM" : options.driveType == DRIVE_REMOVABLE ? "removable" : "fixed")
            << " drive), volume label "
            << (options.labelUnreadable ? std::string("unreadable") : "\"" + U8(r.label) + "\" from " + r.labelSource)
            << "\n";
        out << "system: language " << LanguageName(options.systemLanguage)
            << (options.systemLanguageGiven ? "" : " (default; pass --system-language)") << ", "
            << (options.wow64 ? "64-bit Windows (the 32-bit launcher runs under WOW64)" : "32-bit Windows") << "\n\n";
        out << "settings as the launcher reads them:\n";
        for (const auto& [key, value] : r.settings)
            out << "  " << key << " = " << (value.empty() ? "(not set)" : "\"" + U8(value) + "\"") << "\n";
        out << "\nguard: mutex \"" << U8(r.guardName) << "\"\n";
        if (r.installed) {
            out << "installed check: Windows Installer knows the product: no installation\n";
        } else {
            out << "installed check: the product is not installed"
                << (IsBracedGuid(r.settings[0].second) ? "" : " (the upgrade code is no GUID: never found)") << "\n";
            out << "load request: " << r.loadRequest << "\n";
            out << "package: ";
            if (r.packageKey.empty())
                out << "none: " << r.packageReason << "\n";
            else
                out << "\"" << U8(r.packageName) << "\" from [Setup] " << r.packageKey << ": " << r.packageReason
                    << "\n";
            out << "language: " << r.language << ": " << r.languageReason << "\n";
            if (r.msiexecStarted) {
                out << "staging (" << r.stagingForm << "):\n";
                for (const StagedFile& f : r.staged) {
                    if (r.stagingForm == "plain")
                        out << "  " << U8(f.to) << (f.present ? ": used where it lies" : ": MISSING") << "\n";
                    else
                        out << "  " << U8(f.from) << " -> " << U8(f.to) << ": "
                            << (f.present && f.size == f.expectedSize ? std::to_string(f.size) + " bytes"
                                                                      : std::string("FAILS"))
                            << "\n";
                }
                if (!r.stagingProblem.empty())
                    out << "  problem: " << r.stagingProblem << "\n";
                out << "msiexec: " << U8(r.msiexecFile) << "\n";
                out << "  parameters: " << U8(r.msiexecParameters) << "\n";
                out << "  working directory: " << U8(r.msiexecDirectory) << "\n";
                out << "  shown with " << r.msiexecShow << " (SW_SHOWNORMAL), mask 0x" << std::hex << r.msiexecMask
                    << std::dec << "\n";
            }
        }
        if (r.ejectHelperStarted)
            out << "eject helper: " << U8(r.ejectCommandLine) << " in " << U8(r.ejectDirectory) << "\n";
        else
            out << "eject helper: not started (only after exit code 0)\n";
        out << "exit code: " << r.exitCode << ": " << r.exitCodeReason << "\n";
        if (!r.findings.items.empty())
            PrintFindings(out, r.findings);
    }
    return r.findings.HasErrors() ? kExitFindings : kExitOk;
}

}  // namespace

int RunStubmedia(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        const std::string topic = args.size() > 1 ? args[1] : std::string();
        // Without any argument it is a usage error, and the help goes where errors go.
        (args.empty() ? err : out)
            << (topic == "pack" ? kPackHelp : topic == "check" ? kCheckHelp : topic == "explain" ? kExplainHelp : kUsage);
        return args.empty() ? kExitUsage : kExitOk;
    }
    if (args[0] == "pack")
        return RunPack(args, out, err);
    if (args[0] == "check")
        return RunCheck(args, out, err);
    if (args[0] == "explain")
        return RunExplain(args, out, err);
    err << "stubmedia: unknown command \"" << args[0] << "\"\n\n" << kUsage;
    return kExitUsage;
}

}  // namespace stubmedia
