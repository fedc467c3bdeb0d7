// The command line of try, and its report.
#include "cli.h"
#include "launcher_sim.h"
#include "rehearsal.h"

#include <memory>

namespace stubmedia {

namespace {

void PrintTry(std::ostream& out, const TryOptions& o, const TryReport& t, bool json)
{
    Json r = Json::parse(t.wineResult.empty() ? "{}" : t.wineResult, nullptr, false);
    if (r.is_discarded())
        r = Json::object();
    const ExplainReport& p = t.predicted;
    uint32_t exitCode = r.value("exit_code", 0u);
    if (json) {
        Json j;
        j["command"] = "try";
        j["medium"] = o.medium;
        j["kind"] = t.mediumKind;
        j["label"] = {{"text", U8(t.label)}, {"source", t.labelSource}};
        j["driveType"] = t.driveType;
        j["systemLanguage"] = unsigned(o.systemLanguage);
        Json& settings = j["settings"] = Json::object();
        for (const auto& [key, value] : p.settings)
            settings[key] = U8(value);
        j["language"] = {{"number", unsigned(p.language)}, {"method", p.languageMethod}, {"reason", p.languageReason}};
        j["predictedMsiexecParameters"] = p.msiexecStarted ? Json(U8(p.msiexecParameters)) : Json(nullptr);
        j["wine"] = r;
        j["ran"] = t.ran;
        if (t.ran) {
            j["exitCode"] = exitCode;
            j["exitCodeMeaning"] = ExitCodeMeaning(exitCode);
        }
        j["installed"] = t.installed;
        AddFindingsJson(j, t.findings);
        PrintJson(out, j);
        return;
    }
    if (!t.mediumKind.empty()) {
        out << "medium     " << o.medium << " (" << t.mediumKind << ") as M:, a "
            << (t.driveType == "cdrom" ? "CD-ROM" : "removable") << " drive, volume label \"" << U8(t.label)
            << "\" (" << t.labelSource << ")\n";
    }
    if (r.contains("drive"))
        out << "           Wine reports drive type " << r["drive"].value("type", 0) << " and label \""
            << r["drive"].value("label", "") << "\"\n";
    if (r.contains("arch")) {
        out << "system     language " << LanguageName(o.systemLanguage) << " (LC_ALL=" << r.value("locale", "?")
            << "), 64-bit Wine prefix; " << r.value("setup_exe", "") << "\n";
        if (r.value("arch", "") == "win64")
            out << "           NOTE: the x86-64 twin runs, not the 32-bit setup.exe"
                << (r.value("can_run_32bit", true) ? "" : " (" + r.value("note_32bit", std::string()) + ")")
                << "; it reads [Setup] Installer, as 32-bit Windows would\n";
    }
    if (!p.settings.empty()) {
        out << "settings   ";
        bool first = true;
        for (const auto& [key, value] : p.settings) {
            out << (first ? "" : "           ") << key << " = " << (value.empty() ? "(not set)" : "\"" + U8(value) + "\"")
                << "\n";
            first = false;
        }
        out << "language   " << p.language << ": " << p.languageReason << "\n";
    }
    if (t.ran) {
        out << "staged     " << r.value("temp_dir", "") << " holds:";
        for (const Json& f : r["staged"])
            out << " " << f.value("name", "") << " (" << f.value("size", 0) << " bytes)";
        out << "\n";
        if (r["msiexec"].is_object()) {
            std::string parameters = r["msiexec"].value("parameters", "");
            out << "msiexec    " << r["msiexec"].value("file", "") << " " << parameters << "\n";
            out << "           working directory " << r["msiexec"].value("directory", "") << "; "
                << (p.msiexecStarted && U8(p.msiexecParameters) == parameters
                        ? "the parameters the launcher's code predicted"
                        : "NOT the parameters predicted (" + U8(p.msiexecParameters) + ")")
                << "\n";
        } else {
            out << "msiexec    not started\n";
        }
        out << "exit code  " << exitCode << ": " << ExitCodeMeaning(exitCode) << " (after " << r.value("seconds", 0.0)
            << " s)\n";
        if (exitCode != 0 && r["log"].is_object()) {
            out << "log        the last lines of msiexec's verbose log (" << r["log"].value("lines", 0) << " lines):\n";
            for (const Json& line : r["log"]["tail"])
                out << "             " << line.get<std::string>() << "\n";
        }
        const Json& products = r["installed_products"];
        out << "installed  "
            << (products.empty() ? std::string("Windows Installer does not know the product")
                                 : "Windows Installer knows " + products[0].get<std::string>())
            << "\n";
        if (r["eject_helper"].is_string()) {
            out << "hand-off   started " << r["eject_helper"].get<std::string>() << "\n";
            for (const Json& q : r["eject_requests"])
                out << "           eject request sent to " << (q.is_string() ? q.get<std::string>() : "no device")
                    << " (it fails on Wine's folder-backed drive)\n";
        } else {
            out << "hand-off   none (the launcher hands off only after exit code 0)\n";
        }
        for (const Json& u : r["uninstall"])
            out << "uninstall  msiexec /x " << u.value("product", "") << ": " << u.value("exit_code", 0) << "\n";
    }
    if (r.contains("kept"))
        out << "kept       " << r.value("kept", "") << " (prefix under e2e/wineprefix)\n";
    else if (r.contains("prefix"))
        out << "prefix     removed\n";
    PrintFindings(out, t.findings);
    out << (t.installed ? "try: the medium installed its product under Wine\n"
                        : "try: the rehearsal FAILED\n");
}

}  // namespace

Command AddTryCommand(CLI::App& root, const Io& io)
{
    struct Args {
        TryOptions options;
        uint16_t systemLanguage = 0x0409;
        std::string label;
        bool json = false;
    };
    auto a = std::make_shared<Args>();
    CLI::App* app = root.add_subcommand(
        "try",
        "The rehearsal: runs the real setup.exe from a medium folder or image under Wine in a private prefix, "
        "with the medium as a CD-ROM drive (a FAT image: a removable one) carrying its volume label, the chosen "
        "system language, Wine's own msiexec and the medium's package. Reports the settings read, the language "
        "and why, what was staged, msiexec's command line, the exit code and its meaning, the tail of msiexec's "
        "log when it failed, whether Windows Installer knows the product, and the eject hand-off; then "
        "uninstalls the product and removes the prefix. Exits with 0 only when the installation succeeded.");
    app->add_option("medium", a->options.medium, "the medium folder, ISO or FAT image");
    AddLanguageOption(app, "--system-language", &a->systemLanguage,
                      "the system default language Wine reports (default 1033; 1031 or 0x0407)");
    app->add_option("--arch", a->options.arch,
                    "win32: the medium's setup.exe; win64: its x86-64 twin, for machines that cannot run 32-bit "
                    "code (default: win32 where it runs)")
        ->check(CLI::IsMember({"win32", "win64"}))
        ->type_name("win32|win64");
    app->add_option("--label", a->label, "a folder's volume label (default: [autorun] label)")->type_name("TEXT");
    app->add_flag("--keep", a->options.keep, "keep the Wine prefix (and the work folder)");
    app->add_option("--work", a->options.workDir, "the work folder (default: a private one)")->type_name("DIR");
    app->add_option("--setup64", a->options.setupExe64, "the x86-64 twin (default: setup64.exe in share/setupstub/)")
        ->type_name("PATH");
    AddJsonFlag(app, &a->json);
    auto run = [a, app, &io]() -> int {
        TryOptions& o = a->options;
        if (o.medium.empty())
            return UsageError(io, app, "try takes a medium folder or an image");
        o.systemLanguage = app->count("--system-language") ? a->systemLanguage : 0x0409;
        if (app->count("--label"))
            o.label = U16(a->label);
        TryReport report = TryMedium(o, &io.err);
        PrintTry(io.out, o, report, a->json);
        return report.installed && !report.findings.HasErrors() ? kExitOk : kExitFindings;
    };
    return {app, "try <medium folder | OUT.iso | OUT.img> [--system-language L] [--arch win32|win64] [--keep]", run};
}

}  // namespace stubmedia
