// Small file and report helpers that the stubmedia tests share.
#pragma once

#include "report.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

inline std::string ReadBytes(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

inline void WriteBytes(const std::filesystem::path& path, const std::string& bytes)
{
    if (path.has_parent_path())
        std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
}

// The findings as the tool prints them, for failure messages.
inline std::string Describe(const stubmedia::Findings& findings)
{
    std::ostringstream out;
    stubmedia::PrintFindings(out, findings);
    return out.str();
}
