// A small simulated machine for the whole-run fuzz targets: a CD-ROM medium
// M:\ with setup.exe, a plain and a compressed package, and C:\Temp\ as the
// temporary directory, all in one host directory made on first use. Reset()
// gives every input a fresh machine and a fresh process image.
#pragma once

#include "platform/sim/sim_control.h"
#include "settings.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>

namespace fuzz_machine {

// LZMA-alone files (lzma_alone e) of "package bytes" and "transform".
inline const std::string kCompressedPackage(
    "\x5d\x00\x00\x80\x00\x0d\x00\x00\x00\x00\x00\x00\x00\x00\x38\x18\x48\x99\xcd\x17\x75\x24\x08\x0f\x78\x97\x3b"
    "\xb3\xef\x56\x58",
    31);
inline const std::string kCompressedTransform(
    "\x5d\x00\x00\x80\x00\x09\x00\x00\x00\x00\x00\x00\x00\x00\x3a\x1c\x88\x46\x95\x13\xad\xb5\x0e\x25\x3d\xd7\x17",
    27);
inline const std::string kProgram = "MZ setup program bytes";
inline const std::string kPlainPackage = "plain package";

// The medium's files, which no run may change.
struct MediumFile {
    const char* name;
    const std::string* bytes;
};
inline const MediumFile kMedium[] = {
    {"setup.exe", &kProgram},           {"Setup.msi", &kPlainPackage},      {"Comp.ms_", &kCompressedPackage},
    {"1033.ms_", &kCompressedTransform}, {"1041.ms_", &kCompressedTransform},
};

[[noreturn]] inline void Fail(const char* target, const std::string& what)
{
    std::fprintf(stderr, "%s: %s\n", target, what.c_str());
    std::abort();
}

inline std::string& Root()
{
    static std::string root;
    return root;
}

inline void WriteHostFile(const std::string& path, const std::string& bytes)
{
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file || std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() || std::fclose(file) != 0)
        Fail("fuzz_machine", "cannot write " + path);
}

inline std::string ReadHostFile(const std::string& path)
{
    std::string bytes;
    if (FILE* file = std::fopen(path.c_str(), "rb")) {
        char chunk[4096];
        for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;)
            bytes.append(chunk, n);
        std::fclose(file);
    }
    return bytes;
}

// Removes everything below dir but dir itself.
inline void EmptyDirectory(const std::string& dir)
{
    DIR* d = opendir(dir.c_str());
    if (!d)
        return;
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        std::string path = dir + "/" + name;
        struct stat st;
        if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            chmod(path.c_str(), 0700);
            EmptyDirectory(path);
            rmdir(path.c_str());
        } else {
            unlink(path.c_str());
        }
    }
    closedir(d);
}

inline std::string MediumDir() { return Root() + "/M"; }
inline std::string TempDir() { return Root() + "/C/Temp"; }

inline void Cleanup()
{
    EmptyDirectory(Root());
    rmdir(Root().c_str());
}

// A fresh machine: the medium as made, an empty temporary directory, no
// events, processes or products, and a process image whose globals are zero.
inline void Reset()
{
    if (Root().empty()) {
        const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string pattern = std::string(base) + "/setupstub-fuzz-XXXXXX";
        if (!mkdtemp(&pattern[0]))
            Fail("fuzz_machine", "no temporary directory");
        Root() = pattern;
        std::atexit(Cleanup);
        mkdir((Root() + "/C").c_str(), 0700);
        mkdir(TempDir().c_str(), 0700);
        mkdir(MediumDir().c_str(), 0700);
    }
    EmptyDirectory(TempDir());
    EmptyDirectory(MediumDir());
    for (const MediumFile& file : kMedium)
        WriteHostFile(MediumDir() + "/" + file.name, *file.bytes);
    sim::Reset();
    std::memset(SettingsFilePath, 0, sizeof SettingsFilePath);
    sim::AddDrive(u'C', Root() + "/C", DRIVE_FIXED);
    sim::AddDrive(u'M', MediumDir(), DRIVE_CDROM);
    sim::SetTempPath(u"C:\\Temp\\");
    sim::SetModulePath(u"M:\\setup.exe");
}

// Fails unless every file of the medium is still there as made.
inline void CheckMediumUnchanged(const char* target)
{
    for (const MediumFile& file : kMedium)
        if (ReadHostFile(MediumDir() + "/" + file.name) != *file.bytes)
            Fail(target, std::string("the medium's ") + file.name + " changed");
}

// Fails when the run deleted, copied onto, changed the attributes of or
// opened for writing anything but a plain name directly in C:\Temp\.
inline void CheckOnlyTempNamesChanged(const char* target)
{
    for (const std::string& e : sim::Events()) {
        std::string path;
        auto take = [&](const char* op) {
            if (e.rfind(op, 0) != 0)
                return false;
            path = e.substr(std::strlen(op));
            return true;
        };
        if (take("DeleteFileW ")) {
        } else if (take("SetFileAttributesW ")) {
            path = path.substr(0, path.rfind(' '));
        } else if (take("CopyFileW ")) {
            path = path.substr(path.find(" -> ") + 4);
        } else if (take("_wfopen ")) {
            std::string mode = path.substr(path.rfind(' ') + 1);
            if (mode.find_first_of("wa+") == std::string::npos)
                continue;
            path = path.substr(0, path.rfind(' '));
        } else {
            continue;
        }
        std::string upper = path;
        for (char& c : upper)
            if (c >= 'a' && c <= 'z')
                c = char(c - 'a' + 'A');
        const std::string temp = "C:\\TEMP\\";
        size_t at = upper.rfind(temp, 0) == 0 ? temp.size() : std::string::npos;
        if (at != std::string::npos && at < upper.size() && upper[at] == '\\')
            ++at;  // staged names follow one more backslash
        std::string name = at == std::string::npos ? std::string() : upper.substr(at);
        if (name.empty() || name.find_first_of("\\/:") != std::string::npos || name == "." || name == "..")
            Fail(target, "changed " + path);
    }
}

}  // namespace fuzz_machine
