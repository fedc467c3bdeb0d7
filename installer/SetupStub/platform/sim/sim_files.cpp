// Files of the simulated Windows: Windows paths on drives map to real host
// files, with case-insensitive names, backslashes and the 260-character limit.
#include "platform/sim/sim_state.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace sim {

static bool IsSeparator(WCHAR c) { return c == u'\\' || c == u'/'; }

static bool EqualNoCase(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') x = char(x - 32);
        if (y >= 'a' && y <= 'z') y = char(y - 32);
        if (x != y)
            return false;
    }
    return true;
}

// The existing entry of `dir` whose name matches `name` without regard to case, else `name`.
static std::string MatchEntry(const std::string& dir, const std::string& name)
{
    struct stat st;
    if (::stat((dir + "/" + name).c_str(), &st) == 0)
        return name;
    DIR* d = ::opendir(dir.c_str());
    if (!d)
        return name;
    std::string found = name;
    while (dirent* e = ::readdir(d)) {
        if (EqualNoCase(e->d_name, name)) {
            found = e->d_name;
            break;
        }
    }
    ::closedir(d);
    return found;
}

bool MapPath(const std::u16string& windowsPath, std::string* hostPath)
{
    if (windowsPath.empty()) {
        SetError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    if (windowsPath.size() >= MAX_PATH) {
        SetError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    std::u16string path = windowsPath;
    if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
        // UNC and device paths name no simulated file.
        SetError(ERROR_BAD_NETPATH);
        return false;
    }
    if (!(path.size() >= 2 && path[1] == u':')) {
        // Relative to the current directory (or its drive's root).
        const std::u16string& cwd = S().currentDirectory;
        if (!path.empty() && IsSeparator(path[0]))
            path = cwd.substr(0, 2) + path;
        else
            path = cwd + u"\\" + path;
    }
    WCHAR letter = path[0];
    if (letter >= u'a' && letter <= u'z')
        letter = WCHAR(letter - u'a' + u'A');
    auto drive = S().drives.find(letter);
    if (drive == S().drives.end()) {
        SetError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    std::vector<std::string> parts;
    std::u16string component;
    auto flush = [&]() {
        if (component.empty() || component == u".") {
        } else if (component == u"..") {
            if (!parts.empty())
                parts.pop_back();
        } else {
            parts.push_back(U8(component));
        }
        component.clear();
    };
    for (size_t i = 2; i < path.size(); ++i) {
        if (IsSeparator(path[i]))
            flush();
        else
            component.push_back(path[i]);
    }
    flush();
    std::string host = drive->second.hostDir;
    for (const std::string& part : parts) {
        if (part.find_first_of("<>:\"|?*") != std::string::npos) {
            SetError(ERROR_INVALID_NAME);
            return false;
        }
        host += "/" + MatchEntry(host, part);
    }
    *hostPath = host;
    return true;
}

bool HostExists(const std::string& hostPath)
{
    struct stat st;
    return ::stat(hostPath.c_str(), &st) == 0;
}

bool HostIsFile(const std::string& hostPath)
{
    struct stat st;
    return ::stat(hostPath.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

static bool HostIsDirectory(const std::string& hostPath)
{
    struct stat st;
    return ::stat(hostPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool HostIsReadOnly(const std::string& hostPath)
{
    struct stat st;
    return ::stat(hostPath.c_str(), &st) == 0 && (st.st_mode & 0222) == 0;
}

static bool ParentExists(const std::string& hostPath)
{
    size_t slash = hostPath.rfind('/');
    return slash != std::string::npos && HostIsDirectory(hostPath.substr(0, slash));
}

std::string HostPath(const std::u16string& windowsPath)
{
    std::string host;
    return MapPath(windowsPath, &host) ? host : std::string();
}

void SetFileInUse(const std::u16string& windowsPath, bool inUse)
{
    std::string host = HostPath(windowsPath);
    if (inUse)
        S().filesInUse.insert(host);
    else
        S().filesInUse.erase(host);
}

void SetHidden(const std::u16string& windowsPath, bool hidden)
{
    std::string host = HostPath(windowsPath);
    if (hidden)
        S().hiddenFiles.insert(host);
    else
        S().hiddenFiles.erase(host);
}

void SetSystemFile(const std::u16string& windowsPath, bool system)
{
    std::string host = HostPath(windowsPath);
    if (system)
        S().systemFiles.insert(host);
    else
        S().systemFiles.erase(host);
}

static bool InUse(const std::string& hostPath) { return S().filesInUse.count(hostPath) != 0 || ImageInUse(hostPath); }

// Windows refuses to create a file anew over a hidden or system one (Wine
// does not): it must be made normal or deleted first.
static bool HiddenOrSystem(const std::string& hostPath)
{
    return S().hiddenFiles.count(hostPath) != 0 || S().systemFiles.count(hostPath) != 0;
}

// ---- initialization files, read the way Windows reads them

std::u16string DecodeProfileText(const std::string& bytes)
{
    std::u16string text;
    if (bytes.size() >= 2 && uint8_t(bytes[0]) == 0xFF && uint8_t(bytes[1]) == 0xFE) {
        for (size_t i = 2; i + 1 < bytes.size(); i += 2)
            text.push_back(char16_t(uint8_t(bytes[i]) | (uint8_t(bytes[i + 1]) << 8)));
        return text;
    }
    // Windows does not decode a UTF-8 byte-order mark (Wine does): its three
    // bytes are code-page characters in front of the first line.
    for (unsigned char c : bytes)
        text.push_back(char16_t(c));
    return text;
}

static std::u16string Trim(const std::u16string& s)
{
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == u' ' || s[b] == u'\t' || s[b] == u'\r'))
        ++b;
    while (e > b && (s[e - 1] == u' ' || s[e - 1] == u'\t' || s[e - 1] == u'\r'))
        --e;
    return s.substr(b, e - b);
}

std::vector<ProfileLine> ParseProfile(const std::u16string& text)
{
    std::vector<ProfileLine> lines;
    size_t pos = 0;
    int number = 0;
    while (pos <= text.size()) {
        size_t end = text.find(u'\n', pos);
        if (end == std::u16string::npos)
            end = text.size();
        std::u16string line = Trim(text.substr(pos, end - pos));
        pos = end + 1;
        ++number;
        if (line.empty() || line[0] == u';')
            continue;
        ProfileLine parsed;
        parsed.line = number;
        // A section needs its closing bracket (the last one on the line);
        // without one the line is read as a key line.
        size_t close = line[0] == u'[' ? line.rfind(u']') : std::u16string::npos;
        if (close != std::u16string::npos && close > 0) {
            parsed.isSection = true;
            parsed.name = Trim(line.substr(1, close - 1));
        } else {
            size_t eq = line.find(u'=');
            parsed.hasEquals = eq != std::u16string::npos;
            parsed.name = Trim(line.substr(0, eq));
            if (parsed.hasEquals)
                parsed.value = Trim(line.substr(eq + 1));
            std::u16string& v = parsed.value;
            if (v.size() >= 2 && (v.front() == u'"' || v.front() == u'\'') && v.back() == v.front())
                v = v.substr(1, v.size() - 2);
        }
        lines.push_back(parsed);
    }
    return lines;
}

const std::vector<ProfileRead>& ProfileReads() { return S().profileReads; }

// The value of key in the first section of that name (its first line of
// that key), or false when either is absent. A later section of the same
// name is never looked at.
static bool FindProfileValue(const std::u16string& text, const std::u16string& section, const std::u16string& key,
                             std::u16string* value)
{
    std::u16string wantSection = Upper(section), wantKey = Upper(key);
    bool inSection = false;
    for (const ProfileLine& line : ParseProfile(text)) {
        if (line.isSection) {
            if (inSection)
                return false;
            inSection = Upper(line.name) == wantSection;
        } else if (inSection && Upper(line.name) == wantKey) {
            *value = line.value;
            return true;
        }
    }
    return false;
}

static bool ReadHostFile(const std::string& hostPath, std::string* bytes)
{
    std::ifstream in(hostPath, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream all;
    all << in.rdbuf();
    *bytes = all.str();
    return true;
}

// The host path of an existing file or directory, or false with the last
// error set as Windows would set it.
static bool MapExisting(LPCWSTR path, std::string* host)
{
    if (!path || !MapPath(path, host))
        return false;
    if (!HostExists(*host)) {
        SetError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    return true;
}

// ---- C streams: a stream over a real host file whose reads, writes, seeks
// and close are the Windows calls beneath the run-time's stream functions,
// counted and failed like the others. Its buffering is the C library's.

static int ErrnoOf(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return ENOENT;
    case ERROR_NOT_ENOUGH_MEMORY:
        return ENOMEM;
    case ERROR_DISK_FULL:
        return ENOSPC;
    default:
        return EACCES;
    }
}

struct StreamFile {
    int fd;
};

static ssize_t StreamRead(void* cookie, char* buffer, size_t size)
{
    if (Faulted("ReadFile")) {
        errno = ErrnoOf(LastError());
        return -1;
    }
    return ::read(static_cast<StreamFile*>(cookie)->fd, buffer, size);
}

// Whole or nothing more: what cannot be written reports as a short count.
static ssize_t StreamWrite(void* cookie, const char* buffer, size_t size)
{
    if (Faulted("WriteFile")) {
        errno = ErrnoOf(LastError());
        return 0;
    }
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::write(static_cast<StreamFile*>(cookie)->fd, buffer + done, size - done);
        if (n <= 0)
            break;
        done += size_t(n);
    }
    return ssize_t(done);
}

static int StreamSeek(void* cookie, off64_t* offset, int whence)
{
    if (Faulted("SetFilePointerEx")) {
        errno = ErrnoOf(LastError());
        return -1;
    }
    off64_t at = ::lseek64(static_cast<StreamFile*>(cookie)->fd, *offset, whence);
    if (at < 0)
        return -1;
    *offset = at;
    return 0;
}

static int StreamClose(void* cookie)
{
    CountCall("CloseHandle");
    StreamFile* file = static_cast<StreamFile*>(cookie);
    int result = ::close(file->fd);
    delete file;
    --S().openStreams;
    return result;
}

static FILE* OpenStream(const std::string& host, const std::string& mode)
{
    int flags = 0;
    bool plus = mode.find('+') != std::string::npos;
    switch (mode.empty() ? 0 : mode[0]) {
    case 'r':
        flags = plus ? O_RDWR : O_RDONLY;
        break;
    case 'w':
        flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
        break;
    case 'a':
        flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
        break;
    default:
        errno = EINVAL;
        return nullptr;
    }
    int fd = ::open(host.c_str(), flags | O_CLOEXEC, 0666);
    if (fd < 0)
        return nullptr;
    cookie_io_functions_t functions = {StreamRead, StreamWrite, StreamSeek, StreamClose};
    StreamFile* file = new StreamFile{fd};
    FILE* stream = fopencookie(file, mode.c_str(), functions);
    if (!stream) {
        ::close(fd);
        delete file;
        return nullptr;
    }
    ++S().openStreams;
    return stream;
}

}  // namespace sim

using namespace sim;

DWORD GetTempPathW(DWORD capacity, LPWSTR buffer)
{
    if (Faulted("GetTempPathW"))
        return 0;
    const std::u16string& temp = S().tempPath;
    if (temp.size() + 1 > capacity)
        return DWORD(temp.size() + 1);  // the size needed; the buffer stays as it was
    std::memcpy(buffer, temp.c_str(), (temp.size() + 1) * sizeof(WCHAR));
    return DWORD(temp.size());
}

BOOL PathFileExistsW(LPCWSTR path)
{
    Event("PathFileExistsW " + U8(Text(path)));
    if (Faulted("PathFileExistsW"))
        return FALSE;
    std::string host;
    return MapExisting(path, &host) ? TRUE : FALSE;
}

DWORD GetFileAttributesW(LPCWSTR path)
{
    if (Faulted("GetFileAttributesW"))
        return INVALID_FILE_ATTRIBUTES;
    std::string host;
    if (!MapExisting(path, &host))
        return INVALID_FILE_ATTRIBUTES;
    DWORD attributes = 0;
    if (HostIsDirectory(host))
        attributes |= FILE_ATTRIBUTE_DIRECTORY;
    if (HostIsReadOnly(host))
        attributes |= FILE_ATTRIBUTE_READONLY;
    if (S().hiddenFiles.count(host))
        attributes |= FILE_ATTRIBUTE_HIDDEN;
    if (S().systemFiles.count(host))
        attributes |= FILE_ATTRIBUTE_SYSTEM;
    return attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
}

BOOL SetFileAttributesW(LPCWSTR path, DWORD attributes)
{
    Event("SetFileAttributesW " + U8(Text(path)) + " " + std::to_string(attributes));
    if (Faulted("SetFileAttributesW"))
        return FALSE;
    std::string host;
    struct stat st;
    if (!MapExisting(path, &host) || ::stat(host.c_str(), &st) != 0)
        return FALSE;
    mode_t mode = st.st_mode & 07777;
    mode = (attributes & FILE_ATTRIBUTE_READONLY) ? (mode & ~mode_t(0222)) : (mode | 0200);
    ::chmod(host.c_str(), mode);
    if (attributes & FILE_ATTRIBUTE_HIDDEN)
        S().hiddenFiles.insert(host);
    else
        S().hiddenFiles.erase(host);
    if (attributes & FILE_ATTRIBUTE_SYSTEM)
        S().systemFiles.insert(host);
    else
        S().systemFiles.erase(host);
    return TRUE;
}

BOOL DeleteFileW(LPCWSTR path)
{
    Event("DeleteFileW " + U8(Text(path)));
    if (Faulted("DeleteFileW"))
        return FALSE;
    std::string host;
    if (!MapExisting(path, &host))
        return FALSE;
    if (HostIsDirectory(host) || HostIsReadOnly(host) || InUse(host)) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (::unlink(host.c_str()) != 0) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    S().hiddenFiles.erase(host);
    S().systemFiles.erase(host);
    return TRUE;
}

BOOL CopyFileW(LPCWSTR existingFile, LPCWSTR newFile, BOOL failIfExists)
{
    Event("CopyFileW " + U8(Text(existingFile)) + " -> " + U8(Text(newFile)));
    if (Faulted("CopyFileW"))
        return FALSE;
    std::string from, to;
    if (!existingFile || !newFile || !MapPath(existingFile, &from) || !MapPath(newFile, &to))
        return FALSE;
    if (!HostIsFile(from)) {
        SetError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    if (!ParentExists(to)) {
        SetError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    if (HostExists(to)) {
        if (failIfExists) {
            SetError(80);  // ERROR_FILE_EXISTS
            return FALSE;
        }
        if (HostIsDirectory(to) || HostIsReadOnly(to) || HiddenOrSystem(to)) {
            SetError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        if (InUse(to)) {
            SetError(ERROR_SHARING_VIOLATION);
            return FALSE;
        }
    }
    std::string bytes;
    if (!ReadHostFile(from, &bytes)) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    {
        std::ofstream out(to, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), std::streamsize(bytes.size()));
        if (!out) {
            SetError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
    }
    // The copy takes the source's attributes, read-only among them.
    struct stat st;
    if (::stat(from.c_str(), &st) == 0)
        ::chmod(to.c_str(), st.st_mode & 07777);
    if (S().hiddenFiles.count(from))
        S().hiddenFiles.insert(to);
    if (S().systemFiles.count(from))
        S().systemFiles.insert(to);
    return TRUE;
}

DWORD GetPrivateProfileStringW(LPCWSTR section, LPCWSTR key, LPCWSTR defaultValue, LPWSTR buffer, DWORD capacity,
                               LPCWSTR fileName)
{
    Event("GetPrivateProfileStringW [" + U8(Text(section)) + "] " + U8(Text(key)));
    S().profileReads.push_back({Text(section), Text(key), capacity});
    if (Faulted("GetPrivateProfileStringW"))
        return 0;
    if (!buffer || capacity == 0)
        return 0;
    std::u16string value;
    std::string host, bytes;
    bool found = false;
    if (fileName && section && key && MapPath(fileName, &host) && ReadHostFile(host, &bytes))
        found = FindProfileValue(DecodeProfileText(bytes), section, key, &value);
    if (!found) {
        SetError(ERROR_FILE_NOT_FOUND);
        value = Text(defaultValue);
    }
    size_t n = value.size() < capacity - 1 ? value.size() : capacity - 1;
    std::memcpy(buffer, value.data(), n * sizeof(WCHAR));
    buffer[n] = 0;
    return DWORD(n);
}

FILE* _wfopen(const WCHAR* path, const WCHAR* mode)
{
    std::string narrowMode = U8(Text(mode));
    Event("_wfopen " + U8(Text(path)) + " " + narrowMode);
    if (Faulted("_wfopen")) {
        errno = ErrnoOf(LastError());
        return nullptr;
    }
    std::string host;
    if (!path || !mode || !MapPath(path, &host)) {
        errno = ENOENT;
        return nullptr;
    }
    bool writes = narrowMode.find_first_of("wa+") != std::string::npos;
    bool createsAnew = !narrowMode.empty() && narrowMode[0] == 'w';
    if (HostIsDirectory(host) || (writes && (InUse(host) || HostIsReadOnly(host))) ||
        (createsAnew && HostExists(host) && HiddenOrSystem(host))) {
        SetError(ERROR_ACCESS_DENIED);
        errno = EACCES;
        return nullptr;
    }
    return OpenStream(host, narrowMode);
}
