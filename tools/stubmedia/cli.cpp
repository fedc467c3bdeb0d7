#include "cli.h"

#include "commands.h"
#include "launcher_sim.h"

#include <cctype>
#include <cstdio>
#include <map>
#include <memory>
#include <sstream>

namespace stubmedia {

namespace {

// The commands in the order the help lists them.
using AddCommand = Command (*)(CLI::App& root, const Io& io);
const AddCommand kCommands[] = {AddPackCommand,   AddCheckCommand,  AddExplainCommand, AddTransformCommand,
                                 AddImageCommand,  AddVerifyCommand, AddBrandCommand,   AddSignCommand,
                                 AddTryCommand};

constexpr size_t kHelpWidth = 80;
constexpr size_t kOptionColumn = 27;

// The words of text filled into lines of the help's width: the first line
// continues `line`, the others start after `indent` spaces.
std::string Wrap(const std::string& text, std::string line, size_t indent)
{
    std::string out;
    bool empty = line.find_first_not_of(' ') == std::string::npos;
    std::istringstream words(text);
    for (std::string word; words >> word;) {
        if (!empty && line.size() - (line.rfind('\n') + 1) + 1 + word.size() > kHelpWidth) {
            out += line + "\n";
            line.assign(indent, ' ');
            empty = true;
        }
        if (!empty && line.back() != ' ')
            line += ' ';
        line += word;
        empty = false;
    }
    return out + line;
}

// Help made from the subcommands' descriptions and options, in the layout
// of a man page's synopsis and option list.
class HelpFormatter : public CLI::FormatterBase {
public:
    std::map<const CLI::App*, std::string> synopsis;
    std::string overview;  // after the root's usage lines

    std::string make_help(const CLI::App* app, std::string, CLI::AppFormatMode) const override
    {
        std::string out;
        if (!app->get_parent()) {
            out = app->get_description() + "\n\nusage:\n";
            for (const CLI::App* sub : app->get_subcommands([](const CLI::App*) { return true; }))
                out += "  stubmedia " + Synopsis(sub) + "\n";
            out += "  stubmedia --version\n\n" + overview;
            return out;
        }
        out = "usage: stubmedia " + Synopsis(app) + "\n\n";
        std::istringstream paragraphs(app->get_description());
        for (std::string paragraph; std::getline(paragraphs, paragraph);)
            out += Wrap(paragraph, "", 0) + "\n";
        std::string options;
        for (const CLI::Option* opt : app->get_options()) {
            if (opt->get_positional() || opt == app->get_help_ptr() || opt->get_lnames().empty())
                continue;
            std::string name = "  --" + opt->get_lnames()[0];
            if (opt->get_type_size() != 0)
                name += " " + opt->get_type_name();
            // A name too long for its column gets a line of its own.
            std::string first = name.size() + 1 > kOptionColumn ? name + "\n" + std::string(kOptionColumn, ' ')
                                                                 : name + std::string(kOptionColumn - name.size(), ' ');
            options += Wrap(opt->get_description(), first, kOptionColumn) + "\n";
        }
        if (!options.empty())
            out += "\noptions:\n" + options;
        return out;
    }

private:
    std::string Synopsis(const CLI::App* app) const
    {
        auto it = synopsis.find(app);
        return it == synopsis.end() ? app->get_name() : it->second;
    }
};

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

// The remaining words after parsing: an option no command knows, or a surplus argument.
std::string Unexpected(const std::vector<std::string>& remaining, const char* what)
{
    const std::string& first = remaining.front();
    if (first.size() > 1 && first[0] == '-')
        return "unknown option " + first;
    return std::string(what) + " \"" + first + "\"";
}

}  // namespace

int UsageError(const Io& io, const CLI::App* app, const std::string& message)
{
    io.err << "stubmedia: " << message << "\n\n" << app->help();
    return kExitUsage;
}

CLI::Option* AddJsonFlag(CLI::App* app, bool* json)
{
    return app->add_flag("--json", *json, "JSON report on standard output");
}

CLI::Option* AddLanguageOption(CLI::App* app, const std::string& name, uint16_t* language, const std::string& help)
{
    return app
        ->add_option_function<std::string>(
            name,
            [name, language](const std::string& text) {
                std::optional<uint16_t> number = ParseLanguageNumber(text);
                if (!number)
                    throw CLI::ValidationError(name + " takes a language such as 1031 or 0x0407");
                *language = *number;
            },
            help)
        ->type_name("N");
}

// ---------------------------------------------------------------- pack

namespace {

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

void PrintPack(std::ostream& out, const PackOptions& options, const PackReport& report, bool json)
{
    if (json) {
        Json j;
        j["command"] = "pack";
        j["medium"] = options.outputDir;
        j["written"] = report.written;
        j["compressed"] = options.compress;
        Json& files = j["files"] = Json::array();
        for (const PackedFile& f : report.files)
            files.push_back({{"name", f.name},
                             {"role", f.role},
                             {"source", f.source},
                             {"size", f.size},
                             {"storedSize", f.storedSize},
                             {"compressed", f.compressed},
                             {"verified", f.verified}});
        j["autorun"] = U8(report.autorun);
        j["branded"] = report.branded;
        j["signature"] = SignatureJson(report.signature);
        j["tempSpace"] = report.tempSpace;
        AddFindingsJson(j, report.findings);
        PrintJson(out, j);
        return;
    }
    if (report.written) {
        out << "packed " << options.outputDir << (options.compress ? " (compressed)" : " (plain)") << ":\n";
        for (const PackedFile& f : report.files) {
            out << "  " << f.name << ": ";
            if (f.compressed)
                out << f.size << " -> " << f.storedSize << " bytes (" << Percent(f.storedSize, f.size)
                    << "), verified with the launcher's expansion\n";
            else if (f.role == "launcher" && (report.branded || report.signature.isSigned))
                out << f.size << " bytes" << (report.branded ? ", the product's icon" : "")
                    << (report.signature.isSigned ? ", " + SignatureText(report.signature) : std::string()) << "\n";
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

}  // namespace

Command AddPackCommand(CLI::App& root, const Io& io)
{
    struct Args {
        PackOptions options;
        std::string upgradeCode, label, action;
        std::vector<std::string> maps;
        bool compress = false, plain = false, quiet = false, json = false;
    };
    auto a = std::make_shared<Args>();
    PackOptions& o = a->options;
    CLI::App* app = root.add_subcommand(
        "pack",
        "Writes a medium folder from an input folder that holds the package (*.msi), optionally a 64-bit package, "
        "and language transforms named NNNN.mst (the language number in decimal). The medium gets setup.exe "
        "(with the product's icon and signed, when asked), the package plain or compressed (Setup.msi -> "
        "Setup.ms_), the transforms (NNNN.ms_ when compressed), other files and the subfolders of the input "
        "unchanged, and autorun.inf. Every compressed file is expanded again with the "
        "launcher's own code and compared byte for byte.");
    app->add_option("input", o.inputDir, "the input folder");
    app->add_option("medium", o.outputDir, "the medium folder to write");
    app->add_option("--upgrade-code", a->upgradeCode, "the package's UpgradeCode (required)")->type_name("{GUID}");
    app->add_flag("--compress", a->compress, "LZMA-compress package and transforms (the default)");
    app->add_flag("--plain", a->plain, "copy package and transforms as they are");
    app->add_option("--map", a->maps,
                    "[LanguageMap]: systems of language S get transform L (decimal or 0x hex; repeatable). Systems "
                    "not listed get 1033, so 1033.mst is always needed")
        ->type_name("S=L[,S=L...]")
        ->allow_extra_args(false);
    app->add_flag("--language-from-label", o.labelMethod,
                  "take the language from the last four characters of the volume label instead (needs --label)");
    app->add_option("--label", a->label, "the volume label, written as [autorun] label")->type_name("TEXT");
    app->add_option("--installer", o.installer, "which input package is [Setup] Installer")->type_name("NAME");
    app->add_option("--installer64", o.installer64,
                    "which input package is [Setup] Installer64 (a name with 64 in it is taken when there are two "
                    "packages)")
        ->type_name("NAME");
    app->add_option("--setup-exe", o.setupExe,
                    "the launcher to ship (default: the setup.exe installed with the tool, in share/setupstub/)")
        ->type_name("PATH");
    app->add_option("--level", o.level, "LZMA compression level, the presets of xz (default 6)")
        ->type_name("0-9")
        ->check(CLI::Range(0, 9).description(""));
    app->add_option("--action", a->action, "[autorun] action: the text AutoPlay shows for the medium")
        ->type_name("TEXT");
    app->add_option("--icon", o.icon,
                    "the product's icon for setup.exe: nine images, 48, 32 and 16 pixels at 4, 8 and 32 bits per "
                    "pixel (see stubmedia brand)")
        ->type_name("PRODUCT.ico");
    app->add_option("--sign-pkcs12", o.sign.pkcs12, "sign setup.exe with this key and certificate (see stubmedia sign)")
        ->type_name("FILE");
    app->add_option("--sign-password-file", o.sign.passwordFile, "the PKCS#12 file's password on its first line")
        ->type_name("FILE");
    app->add_option("--timestamp-url", o.sign.timestampUrl, "an Authenticode timestamp server (default: none)")
        ->type_name("URL");
    app->add_flag("--force", o.force, "write into a folder that is not empty (other files left there stay on the medium; an earlier form of a package or transform is removed)");
    app->add_flag("--clean", o.clean,
                  "empty the medium folder first (an earlier medium: it must hold autorun.inf or setup.exe)");
    app->add_option("--temp", o.scratchDir, "scratch folder for the verification (default: a private one)")
        ->type_name("DIR");
    app->add_flag("--quiet", a->quiet, "no progress lines");
    AddJsonFlag(app, &a->json);

    auto run = [a, app, &io]() -> int {
        PackOptions& o = a->options;
        if (o.inputDir.empty() || o.outputDir.empty())
            return UsageError(io, app, "pack takes an input folder and a medium folder");
        if (a->compress && a->plain)
            return UsageError(io, app, "--compress and --plain exclude each other");
        if (!app->count("--upgrade-code"))
            return UsageError(io, app, "--upgrade-code is required: the package's UpgradeCode, a braced GUID");
        o.upgradeCode = U16(a->upgradeCode);
        o.compress = !a->plain;
        if (app->count("--label"))
            o.label = U16(a->label);
        if (app->count("--action"))
            o.action = U16(a->action);
        if (o.sign.pkcs12.empty() && (!o.sign.passwordFile.empty() || !o.sign.timestampUrl.empty()))
            return UsageError(io, app, "--sign-password-file and --timestamp-url go with --sign-pkcs12");
        if (o.labelMethod && !o.label)
            return UsageError(io, app, "--language-from-label needs --label: the label ends in the language number");
        if (o.labelMethod && !a->maps.empty())
            return UsageError(io, app, "--map and --language-from-label exclude each other");
        for (const std::string& text : a->maps) {
            std::string error;
            if (!ParseMap(text, &o.map, &error))
                return UsageError(io, app, error);
        }
        PackReport report = PackMedium(o, a->quiet ? nullptr : &io.err);
        PrintPack(io.out, o, report, a->json);
        return report.written && !report.findings.HasErrors() ? kExitOk : kExitFindings;
    };
    return {app, "pack <input folder> <medium folder> --upgrade-code {GUID} [options]", run};
}

// ---------------------------------------------------------------- check

namespace {

void PrintCheck(std::ostream& out, const CheckOptions& options, const CheckReport& report, bool json)
{
    auto form = [](PackageReport::Form f) {
        return f == PackageReport::Form::Plain ? "plain" : f == PackageReport::Form::Compressed ? "compressed" : "missing";
    };
    if (json) {
        Json j;
        j["command"] = "check";
        j["medium"] = options.mediumDir;
        j["languageMethod"] = report.labelMethod ? "label" : "map";
        if (report.label)
            j["label"] = U8(*report.label);
        Json& packages = j["packages"] = Json::array();
        for (const PackageReport& p : report.packages) {
            Json package = {{"key", p.key}, {"name", U8(p.name)}, {"systems", p.systems}, {"form", form(p.form)}};
            if (p.content) {
                package["platform"] = p.content->platform;
                package["productCode"] = p.content->productCode;
                package["upgradeCode"] = p.content->upgradeCode;
                package["productLanguage"] = p.content->productLanguage;
            }
            packages.push_back(package);
        }
        Json& languages = j["languages"] = Json::array();
        for (const LanguageChoice& c : report.languages)
            languages.push_back({{"language", unsigned(c.language)}, {"reason", c.reason}, {"essential", c.essential}});
        Json& compressed = j["compressedFiles"] = Json::array();
        for (const CompressedReport& c : report.compressed) {
            Json file;
            file["file"] = c.file;
            file["length"] = c.info.fileLength;
            if (c.info.headerComplete) {
                file["properties"] = unsigned(c.info.properties);
                file["dictionarySize"] = unsigned(c.info.dictionarySize);
                file["declaredSize"] = c.info.sizeUnknown ? Json(nullptr) : Json(c.info.declaredSize);
                file["memoryToExpand"] = LauncherMemory(c.info);
            }
            if (c.decoded)
                file["expands"] = c.expands;
            compressed.push_back(file);
        }
        j["signature"] = SignatureJson(report.signature);
        AddFindingsJson(j, report.findings);
        PrintJson(out, j);
        return;
    }
    out << "medium " << options.mediumDir << "\n";
    if (report.signature.isSigned)
        out << "setup.exe: " << SignatureText(report.signature) << "\n";
    if (!report.packages.empty()) {
        out << "packages:\n";
        for (const PackageReport& p : report.packages)
            out << "  " << p.key << " \"" << U8(p.name) << "\" for " << p.systems << ": "
                << (p.form == PackageReport::Form::Compressed ? "compressed (" + U8(CompressedName(p.name)) + ")"
                                                              : std::string(form(p.form)))
                << (p.content ? ", " + (p.content->platform.empty() ? std::string("no platform") : p.content->platform) +
                                    ", language " + p.content->productLanguage + ", UpgradeCode " +
                                    p.content->upgradeCode
                              : std::string())
                << "\n";
    }
    if (!report.languages.empty()) {
        out << "languages the medium can choose (" << (report.labelMethod ? "volume label" : "[LanguageMap]") << "):\n";
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

}  // namespace

Command AddCheckCommand(CLI::App& root, const Io& io)
{
    struct Args {
        CheckOptions options;
        uint16_t systemLanguage = 0;
        std::string label;
        bool json = false;
    };
    auto a = std::make_shared<Args>();
    CLI::App* app = root.add_subcommand(
        "check",
        "Lints a medium folder and says what the launcher would trip on: the upgrade code, the package names "
        "(plain or compressed), the transforms for every language the medium can choose (map entries, the 1033 "
        "fallback, or the volume label's language), values longer than the launcher reads, and every compressed "
        "file (header, size, memory needed, and the launcher's own expansion of the stream). Exits with 1 when "
        "there are errors.");
    app->add_option("medium", a->options.mediumDir, "the medium folder");
    AddLanguageOption(app, "--system-language", &a->systemLanguage,
                      "check only what a system of this language gets (1031 or 0x0407)");
    app->add_option("--label", a->label, "the volume label the medium will carry (default: [autorun] label)")
        ->type_name("TEXT");
    app->add_option("--temp", a->options.scratchDir, "scratch folder for expansions (default: a private one)")
        ->type_name("DIR");
    AddJsonFlag(app, &a->json);

    auto run = [a, app, &io]() -> int {
        CheckOptions& o = a->options;
        if (o.mediumDir.empty())
            return UsageError(io, app, "check takes one medium folder");
        if (app->count("--system-language"))
            o.systemLanguage = a->systemLanguage;
        if (app->count("--label"))
            o.label = U16(a->label);
        CheckReport report = CheckMedium(o);
        PrintCheck(io.out, o, report, a->json);
        return report.findings.HasErrors() ? kExitFindings : kExitOk;
    };
    return {app, "check <medium folder> [options]", run};
}

// ---------------------------------------------------------------- explain

namespace {

void PrintExplainJson(std::ostream& out, const ExplainOptions& options, const ExplainReport& r)
{
    Json j;
    j["command"] = "explain";
    j["medium"] = options.mediumDir;
    j["system"] = {{"language", unsigned(options.systemLanguage)},
                   {"windows", options.wow64 ? "64-bit" : "32-bit"},
                   {"label", U8(r.label)},
                   {"labelSource", r.labelSource},
                   {"labelReadable", !options.labelUnreadable}};
    Json& settings = j["settings"] = Json::object();
    for (const auto& [key, value] : r.settings)
        settings[key] = U8(value);
    j["guardName"] = U8(r.guardName);
    j["installed"] = r.installed;
    j["loadRequest"] = r.loadRequest;
    j["package"] = {{"key", r.packageKey}, {"name", U8(r.packageName)}, {"reason", r.packageReason}};
    j["language"] = {{"number", unsigned(r.language)}, {"method", r.languageMethod}, {"reason", r.languageReason}};
    Json files = Json::array();
    for (const StagedFile& f : r.staged)
        files.push_back(
            {{"from", U8(f.from)}, {"to", U8(f.to)}, {"tried", f.tried}, {"present", f.present}, {"size", f.size}});
    j["staging"] = {{"form", r.stagingForm}, {"ok", r.stagingOk}, {"problem", r.stagingProblem}, {"files", files}};
    j["msiexec"] = nullptr;
    if (r.msiexecStarted)
        j["msiexec"] = {{"file", U8(r.msiexecFile)},
                        {"parameters", U8(r.msiexecParameters)},
                        {"directory", U8(r.msiexecDirectory)},
                        {"show", r.msiexecShow},
                        {"mask", unsigned(r.msiexecMask)}};
    j["ejectHelper"] = nullptr;
    if (r.ejectHelperStarted)
        j["ejectHelper"] = {{"commandLine", U8(r.ejectCommandLine)}, {"directory", U8(r.ejectDirectory)}};
    j["exitCode"] = r.exitCode;
    j["exitCodeReason"] = r.exitCodeReason;
    AddFindingsJson(j, r.findings);
    PrintJson(out, j);
}

void PrintExplainText(std::ostream& out, const ExplainOptions& options, const ExplainReport& r)
{
    if (r.findings.Find("medium-missing")) {
        PrintFindings(out, r.findings);
        return;
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
            out << "\"" << U8(r.packageName) << "\" from [Setup] " << r.packageKey << ": " << r.packageReason << "\n";
        out << "language: " << r.language << ": " << r.languageReason << "\n";
        if (r.msiexecStarted) {
            out << "staging (" << r.stagingForm << "):\n";
            for (const StagedFile& f : r.staged) {
                if (r.stagingForm == "plain")
                    out << "  " << U8(f.to) << (f.present ? ": used where it lies" : ": MISSING") << "\n";
                else
                    out << "  " << U8(f.from) << " -> " << U8(f.to) << ": "
                        << (!f.tried ? std::string("not tried (the launcher stops after the package)")
                            : f.present && f.size == f.expectedSize ? std::to_string(f.size) + " bytes"
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

}  // namespace

Command AddExplainCommand(CLI::App& root, const Io& io)
{
    struct Args {
        ExplainOptions options;
        std::string label, drive, windowsTemp;
        bool bits64 = false, bits32 = false, json = false;
    };
    auto a = std::make_shared<Args>();
    ExplainOptions& o = a->options;
    CLI::App* app = root.add_subcommand(
        "explain",
        "A dry run: runs the launcher's own code on a simulated Windows for one system and tells which package "
        "and language it takes and why, what it stages where, and the exact msiexec command. msiexec itself is "
        "not run; its exit code is predicted from the package and transform it would get (0 when they are "
        "sound), or scripted with --msiexec-exit.");
    app->add_option("medium", o.mediumDir, "the medium folder");
    AddLanguageOption(app, "--system-language", &o.systemLanguage,
                      "the system's default language (1031 or 0x0407; default 1033)");
    app->add_option("--label", a->label, "the medium's volume label (default: [autorun] label)")->type_name("TEXT");
    app->add_flag("--label-unreadable", o.labelUnreadable, "the volume query fails");
    app->add_flag("--64bit", a->bits64, "64-bit Windows (the default)");
    app->add_flag("--32bit", a->bits32, "32-bit Windows");
    app->add_option("--drive", a->drive, "the medium's drive letter (default D)")->type_name("LETTER");
    app->add_option_function<std::string>(
           "--drive-type",
           [&o](const std::string& type) {
               const std::map<std::string, UINT> types = {
                   {"cdrom", DRIVE_CDROM}, {"removable", DRIVE_REMOVABLE}, {"fixed", DRIVE_FIXED}};
               auto it = types.find(type);
               if (it == types.end())
                   throw CLI::ValidationError("--drive-type takes cdrom, removable or fixed");
               o.driveType = it->second;
           },
           "cdrom (default), removable or fixed")
        ->type_name("TYPE");
    app->add_option("--windows-temp", a->windowsTemp,
                    "the user's temporary directory (default C:\\Users\\User\\AppData\\Local\\Temp\\)")
        ->type_name("PATH");
    app->add_option("--temp", o.tempDir,
                    "host folder that stands for drive C: and keeps the staged files (default: a private one, "
                    "removed)")
        ->type_name("DIR");
    app->add_flag("--logging", o.logging, "the logging flag file exists in the temporary directory");
    app->add_flag("--installed", o.installed, "the product is installed already");
    app->add_option("--msiexec-exit", o.msiexecExitCode,
                    "the exit code msiexec is scripted to end with (default: predicted from the package and transform)")
        ->type_name("N");
    AddJsonFlag(app, &a->json);

    auto run = [a, app, &io]() -> int {
        ExplainOptions& o = a->options;
        if (o.mediumDir.empty())
            return UsageError(io, app, "explain takes one medium folder");
        if (a->bits64 && a->bits32)
            return UsageError(io, app, "--64bit and --32bit exclude each other");
        o.systemLanguageGiven = app->count("--system-language") != 0;
        o.msiexecExitGiven = app->count("--msiexec-exit") != 0;
        if (app->count("--label"))
            o.label = U16(a->label);
        o.wow64 = !a->bits32;
        if (app->count("--drive")) {
            std::string letter = a->drive;
            if (letter.size() == 2 && letter[1] == ':')
                letter.pop_back();
            if (letter.size() != 1 || !std::isalpha((unsigned char)letter[0]))
                return UsageError(io, app, "--drive takes a letter such as D");
            o.driveLetter = char16_t(std::toupper((unsigned char)letter[0]));
        }
        if (app->count("--windows-temp")) {
            std::u16string temp = U16(a->windowsTemp);
            if (temp.size() < 3 || (temp[0] != u'C' && temp[0] != u'c') || temp[1] != u':' || temp[2] != u'\\')
                return UsageError(io, app, "--windows-temp must be a folder on drive C:, such as C:\\Temp\\");
            o.windowsTemp = temp;
        }
        ExplainReport r = ExplainMedium(o);
        if (a->json)
            PrintExplainJson(io.out, o, r);
        else
            PrintExplainText(io.out, o, r);
        return r.findings.HasErrors() ? kExitFindings : kExitOk;
    };
    return {app, "explain <medium folder> [--system-language N] [options]", run};
}

// ---------------------------------------------------------------- the line

int RunStubmedia(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    Io io{out, err};
    CLI::App root("stubmedia: author and inspect SetupStub setup media", "stubmedia");
    auto help = std::make_shared<HelpFormatter>();
    help->overview =
        "Every command takes --json (a JSON report on standard output) and --help.\n"
        "Exit codes: 0 done (warnings allowed), 1 errors found or the command failed,\n"
        "2 wrong usage.\n";
    root.formatter(help);
    root.set_version_flag("--version", std::string("stubmedia ") + STUBMEDIA_VERSION, "the tool's version");
    // An option given twice counts once, with its last value; --map collects.
    root.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    // Words no command knows are reported in the tool's own terms below.
    root.allow_extras();
    root.require_subcommand(0, 1);

    std::vector<Command> commands;
    for (AddCommand add : kCommands) {
        commands.push_back(add(root, io));
        commands.back().app->allow_extras();
        help->synopsis[commands.back().app] = commands.back().synopsis;
    }
    CLI::App* helpCommand = root.add_subcommand("help", "Shows the help of a command");
    std::string topic;
    helpCommand->add_option("command", topic, "the command");
    help->synopsis[helpCommand] = "help [COMMAND]";

    if (args.empty()) {
        err << root.help();
        return kExitUsage;
    }
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        root.parse(reversed);
    } catch (const CLI::CallForVersion& e) {
        out << e.what() << "\n";
        return kExitOk;
    } catch (const CLI::CallForHelp&) {
        out << root.help();
        return kExitOk;
    } catch (const CLI::ParseError& e) {
        std::vector<CLI::App*> selected = root.get_subcommands();
        return UsageError(io, selected.empty() ? &root : selected[0], e.what());
    }

    if (helpCommand->parsed()) {
        for (const Command& c : commands)
            if (c.app->get_name() == topic) {
                out << c.app->help();
                return kExitOk;
            }
        out << root.help();
        return kExitOk;
    }
    for (const Command& c : commands) {
        if (!c.app->parsed())
            continue;
        if (!c.app->remaining().empty())
            return UsageError(io, c.app, Unexpected(c.app->remaining(), "unexpected argument"));
        return c.run();
    }
    if (!root.remaining().empty()) {
        err << "stubmedia: " << Unexpected(root.remaining(), "unknown command") << "\n\n" << root.help();
        return kExitUsage;
    }
    err << root.help();
    return kExitUsage;
}

}  // namespace stubmedia
