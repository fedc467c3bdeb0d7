#include "pack_extras.h"

#include "brand.h"
#include "launcher_sim.h"

#include <filesystem>

namespace fs = std::filesystem;

namespace stubmedia {

namespace {

// A line break would end the key and start lines of its own in autorun.inf.
bool CheckAutorunText(const char* option, const std::optional<std::u16string>& value, Findings& findings)
{
    if (!value)
        return true;
    for (char16_t c : *value) {
        if (c < 0x20 || c == 0x7F) {
            findings.Error("autorun-text", option,
                           "holds a line break or another control character, which autorun.inf cannot carry in one "
                           "value");
            return false;
        }
    }
    return true;
}

}  // namespace

bool CheckLauncherOptions(const PackOptions& options, Findings& findings)
{
    if (!CheckAutorunText("--label", options.label, findings) ||
        !CheckAutorunText("--action", options.action, findings))
        return false;
    if (!options.icon.empty()) {
        ProductIcon icon;
        if (!ReadProductIcon(options.icon, &icon, findings))
            return false;
    }
    std::error_code error;
    if (!options.sign.pkcs12.empty() && !fs::is_regular_file(options.sign.pkcs12, error)) {
        findings.Error("sign-pkcs12", options.sign.pkcs12, "is not there: the PKCS#12 file with the key and certificate");
        return false;
    }
    if (!options.sign.passwordFile.empty() && !fs::is_regular_file(options.sign.passwordFile, error)) {
        findings.Error("sign-password-file", options.sign.passwordFile, "is not there");
        return false;
    }
    return true;
}

bool BrandAndSignLauncher(const PackOptions& options, const std::string& target, const std::string& scratch,
                          PackReport& report)
{
    if (!options.icon.empty()) {
        BrandReport branded = BrandSetupExe(target, options.icon, target);
        report.findings.Append(branded.findings);
        if (!branded.written)
            return false;
        report.branded = true;
    }
    if (!options.sign.pkcs12.empty()) {
        if (!SignProgram(target, target, options.sign, scratch, report.findings, &report.signature))
            return false;
    }
    std::error_code error;
    for (PackedFile& f : report.files)
        if (f.role == "launcher")
            f.size = f.storedSize = fs::file_size(target, error);
    return true;
}

bool CopyInputFolder(const PackOptions& options, const std::string& name, PackReport& report)
{
    std::error_code error;
    fs::path from = fs::path(options.inputDir) / name;
    fs::path to = fs::path(options.outputDir) / name;
    // A medium folder made inside the input is not part of it.
    if (fs::equivalent(from, options.outputDir, error))
        return true;
    std::vector<fs::path> entries;
    for (fs::recursive_directory_iterator it(from, error), end; it != end; it.increment(error)) {
        if (error)
            break;
        if (it->is_directory() && fs::equivalent(it->path(), options.outputDir, error)) {
            it.disable_recursion_pending();
            continue;
        }
        entries.push_back(it->path());
    }
    if (error) {
        report.findings.Error("pack-read", name, "cannot be read: " + error.message());
        return false;
    }
    std::sort(entries.begin(), entries.end());
    fs::create_directories(to, error);
    for (const fs::path& path : entries) {
        std::string relative = (fs::path(name) / path.lexically_relative(from)).generic_string();
        fs::path target = fs::path(options.outputDir) / relative;
        if (fs::is_symlink(path, error) && fs::is_directory(path, error)) {
            report.findings.Warning("input-link-skipped", relative,
                                    "is a link to a folder and is not followed: copy the folder itself");
            continue;
        }
        if (fs::is_directory(path, error)) {
            fs::create_directories(target, error);
        } else if (fs::is_regular_file(path, error)) {
            if (!fs::copy_file(path, target, fs::copy_options::overwrite_existing, error)) {
                report.findings.Error("pack-write", relative, "cannot be written: " + error.message());
                return false;
            }
            PackedFile file;
            file.role = "other";
            file.source = path.string();
            file.name = relative;
            file.size = file.storedSize = fs::file_size(path, error);
            report.files.push_back(file);
        } else {
            report.findings.Warning("input-file-skipped", relative, "is no ordinary file and is not copied");
        }
        if (error) {
            report.findings.Error("pack-write", relative, "cannot be copied: " + error.message());
            return false;
        }
    }
    return true;
}

}  // namespace stubmedia
