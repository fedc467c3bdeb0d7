#include "shared_files.h"

#include <filesystem>

namespace fs = std::filesystem;

namespace stubmedia {

std::string SharedDirOf(const std::string& program)
{
    std::error_code error;
    // A link to the tool (/usr/local/bin/stubmedia, say) counts where it points.
    fs::path real = fs::weakly_canonical(fs::absolute(program, error), error);
    return (real.parent_path().parent_path() / "share" / "setupstub").string();
}

std::string SharedDir()
{
    std::error_code error;
    fs::path self = fs::read_symlink("/proc/self/exe", error);
    return SharedDirOf(error ? std::string("stubmedia") : self.string());
}

std::string SharedFile(const std::string& name)
{
    return (fs::path(SharedDir()) / name).string();
}

}  // namespace stubmedia
