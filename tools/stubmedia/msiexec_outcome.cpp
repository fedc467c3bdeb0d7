#include "msiexec_outcome.h"

#include "msi_format.h"

#include <sys/stat.h>

namespace stubmedia {

namespace {

bool Exists(const std::string& path)
{
    struct stat st;
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

MsiexecOutcome PredictMsiexec(const std::string& package, const std::string& transform, bool windows64)
{
    // Windows Installer's own codes: 1619 package not found, 1620 package
    // invalid, 1624 transform failure, 1633 platform not supported.
    if (!Exists(package))
        return {1619, "msiexec cannot open the package, which is not there (1619)"};
    msi::Database db;
    std::string error;
    if (!msi::ReadDatabase(package, &db, &error))
        return {1620, "the package " + error + ": msiexec finds it invalid (1620)"};
    std::string platform = msi::TemplatePlatform(db.summaryTemplate);
    if (!windows64 && !platform.empty() && platform != "Intel")
        return {1633, "the package is for " + platform + ", which 32-bit Windows does not support (1633)"};
    if (!Exists(transform))
        return {1624, "the transform is not beside the package: Windows Installer fails the installation (1624)"};
    msi::TransformReport applied = msi::ApplyTransform(transform, db, nullptr);
    if (!applied.readable || !applied.error.empty() || !applied.conflicts.empty())
        return {1624, "the transform cannot be applied to the package: Windows Installer fails the installation "
                      "(1624; Wine's msiexec installs without it)"};
    return {};
}

}  // namespace stubmedia
