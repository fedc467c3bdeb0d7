// The command lines of image and verify.
#include "cli.h"
#include "image.h"
#include "launcher_sim.h"
#include "manifest.h"

#include <memory>

namespace stubmedia {

namespace {

Json EntryJson(const ImageEntry& e)
{
    Json j;
    j["path"] = e.path;
    j["directory"] = e.directory;
    if (!e.directory) {
        j["size"] = e.size;
        j["sha256"] = e.sha256;
    }
    return j;
}

void PrintImage(std::ostream& out, const ImageOptions& options, const ImageReport& r, bool json)
{
    const char* format = options.format == ImageFormat::Iso ? "ISO 9660 + Joliet" : "FAT";
    if (json) {
        Json j;
        j["command"] = "image";
        j["medium"] = options.mediumDir;
        j["image"] = options.output;
        j["format"] = options.format == ImageFormat::Iso ? "iso9660-joliet" : "fat";
        j["writer"] = r.writer;
        j["written"] = r.written;
        j["size"] = r.imageSize;
        j["label"] = {{"text", U8(r.label)},
                      {"source", r.labelSource},
                      {"windowsReports", U8(r.reportedLabel)},
                      {"readFrom", r.labelDescriptor}};
        j["languageMethod"] = r.labelMethod ? "label" : "map";
        j["labelLanguage"] = r.labelLanguage ? Json(unsigned(*r.labelLanguage)) : Json(nullptr);
        Json& files = j["files"] = Json::array();
        for (const ImageEntry& e : r.files)
            files.push_back(EntryJson(e));
        AddFindingsJson(j, r.findings);
        PrintJson(out, j);
        return;
    }
    if (r.written) {
        out << "image " << options.output << ": " << format << ", " << r.imageSize << " bytes, written by "
            << r.writer << "\n";
        out << "volume label \"" << U8(r.label) << "\" (from " << r.labelSource << "); Windows reads it from "
            << r.labelDescriptor << "\n";
        if (r.labelLanguage)
            out << "language from the label: " << *r.labelLanguage << " (the launcher's reading of \""
                << U8(r.reportedLabel) << "\")\n";
        size_t files = 0;
        for (const ImageEntry& e : r.files)
            files += e.directory ? 0 : 1;
        out << "read back: " << files << " files, each the same bytes as in " << options.mediumDir
            << ", and the label\n";
    }
    PrintFindings(out, r.findings);
}

void PrintVerify(std::ostream& out, const std::string& target, const VerifyReport& r, bool json)
{
    if (json) {
        Json j;
        j["command"] = "verify";
        j["target"] = target;
        j["kind"] = r.kind;
        if (r.kind != "folder")
            j["label"] = U8(r.label);
        j["files"] = r.expected.size();
        j["checkedBytes"] = r.checkedBytes;
        j["missing"] = r.missing;
        j["extra"] = r.extra;
        j["damaged"] = r.damaged;
        j["ok"] = r.ok;
        AddFindingsJson(j, r.findings);
        PrintJson(out, j);
        return;
    }
    if (!r.kind.empty()) {
        out << target << " (" << r.kind;
        if (r.kind != "folder")
            out << ", volume label \"" << U8(r.label) << "\"";
        out << ")\n";
    }
    if (r.ok)
        out << "all " << r.expected.size() << " files of the manifest present and sound (" << r.checkedBytes
            << " bytes checked), nothing extra\n";
    PrintFindings(out, r.findings);
}

}  // namespace

Command AddImageCommand(CLI::App& root, const Io& io)
{
    struct Args {
        ImageOptions options;
        std::string iso, usb, label;
        bool json = false;
    };
    auto a = std::make_shared<Args>();
    CLI::App* app = root.add_subcommand(
        "image",
        "Writes a medium folder into an ISO 9660 image with Joliet names (libisofs) for a CD or DVD, or with --usb "
        "into a FAT image (mtools) for a USB stick. Every name and the volume label are checked against the "
        "format first: a name or label the format cannot hold is an error, never cut. With the label method the "
        "label Windows will report must end in a language whose transform is on the medium. The image is read "
        "back and every file and the label compared.");
    app->add_option("medium", a->options.mediumDir, "the medium folder");
    app->add_option("iso", a->iso, "the ISO image to write");
    app->add_option("--usb", a->usb, "write a FAT image instead")->type_name("OUT.img");
    app->add_option("--label", a->label,
                    "the volume label (default: [autorun] label); ISO: A-Z, 0-9 and _, at most 16; FAT: at most 11, "
                    "upper case")
        ->type_name("TEXT");
    app->add_flag("--force", a->options.force, "replace an existing image file");
    AddJsonFlag(app, &a->json);

    auto run = [a, app, &io]() -> int {
        ImageOptions& o = a->options;
        if (o.mediumDir.empty() || (a->iso.empty() == a->usb.empty()))
            return UsageError(io, app, "image takes a medium folder and either an ISO file or --usb OUT.img");
        o.format = a->usb.empty() ? ImageFormat::Iso : ImageFormat::Fat;
        o.output = a->usb.empty() ? a->iso : a->usb;
        if (app->count("--label"))
            o.label = U16(a->label);
        ImageReport report = MakeImage(o);
        PrintImage(io.out, o, report, a->json);
        return report.written && !report.findings.HasErrors() ? kExitOk : kExitFindings;
    };
    return {app, "image <medium folder> <OUT.iso> | --usb <OUT.img> [--label TEXT] [options]", run};
}

Command AddVerifyCommand(CLI::App& root, const Io& io)
{
    struct Args {
        std::string target;
        bool json = false;
    };
    auto a = std::make_shared<Args>();
    CLI::App* app = root.add_subcommand(
        "verify",
        "Checks a medium against the manifest that pack wrote on it (stubmedia-manifest.txt: every file's size "
        "and SHA-256): a folder, a mounted disc or stick, an ISO or FAT image, or a device such as /dev/sr0. "
        "Names each missing, extra or damaged file; exits with 1 when there is one.");
    app->add_option("target", a->target, "the folder, image or device");
    AddJsonFlag(app, &a->json);
    auto run = [a, app, &io]() -> int {
        if (a->target.empty())
            return UsageError(io, app, "verify takes a folder, an image or a device");
        VerifyReport report = VerifyMedium(a->target);
        PrintVerify(io.out, a->target, report, a->json);
        return report.ok ? kExitOk : kExitFindings;
    };
    return {app, "verify <OUT.iso | DEVICE | DIR> [--json]", run};
}

}  // namespace stubmedia
