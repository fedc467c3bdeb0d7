#include "autorun_ini.h"

#include "platform/sim/sim_control.h"

#include <fstream>
#include <sstream>

namespace stubmedia {

std::u16string UpperAscii(const std::u16string& text)
{
    std::u16string upper = text;
    for (char16_t& c : upper)
        if (c >= u'a' && c <= u'z')
            c = char16_t(c - u'a' + u'A');
    return upper;
}

bool EqualNoCase(const std::u16string& a, const std::u16string& b) { return UpperAscii(a) == UpperAscii(b); }

const IniSection* IniFile::Section(const std::u16string& name) const
{
    for (const IniSection& s : sections)
        if (EqualNoCase(s.name, name))
            return &s;
    return nullptr;
}

const IniEntry* IniFile::Entry(const std::u16string& section, const std::u16string& key) const
{
    const IniSection* s = Section(section);
    if (!s)
        return nullptr;
    for (const IniEntry& e : s->entries)
        if (EqualNoCase(e.key, key))
            return &e;
    return nullptr;
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

IniFile ParseIni(const std::string& bytes)
{
    IniFile ini;
    ini.exists = true;
    std::u16string text;
    if (bytes.size() >= 2 && uint8_t(bytes[0]) == 0xFF && uint8_t(bytes[1]) == 0xFE) {
        ini.encoding = "utf-16le-bom";
        for (size_t i = 2; i + 1 < bytes.size(); i += 2)
            text.push_back(char16_t(uint8_t(bytes[i]) | (uint8_t(bytes[i + 1]) << 8)));
    } else if (bytes.size() >= 3 && uint8_t(bytes[0]) == 0xEF && uint8_t(bytes[1]) == 0xBB &&
               uint8_t(bytes[2]) == 0xBF) {
        ini.encoding = "utf-8-bom";
        text = sim::U16(bytes.substr(3));
    } else {
        // Without a mark Windows reads the system's code page: only ASCII is
        // the same everywhere.
        ini.encoding = "ascii";
        for (unsigned char c : bytes) {
            if (c > 127)
                ini.encoding = "ansi";
            text.push_back(char16_t(c));
        }
    }

    IniSection* current = nullptr;
    size_t pos = 0;
    int lineNumber = 0;
    while (pos <= text.size()) {
        size_t end = text.find(u'\n', pos);
        if (end == std::u16string::npos)
            end = text.size();
        std::u16string line = Trim(text.substr(pos, end - pos));
        pos = end + 1;
        ++lineNumber;
        if (line.empty() || line[0] == u';')
            continue;
        if (line[0] == u'[') {
            size_t close = line.find(u']');
            IniSection section;
            section.name = Trim(line.substr(1, close == std::u16string::npos ? std::u16string::npos : close - 1));
            section.line = lineNumber;
            ini.sections.push_back(section);
            current = &ini.sections.back();
            continue;
        }
        if (!current)
            continue;
        IniEntry entry;
        entry.line = lineNumber;
        size_t eq = line.find(u'=');
        entry.hasEquals = eq != std::u16string::npos;
        entry.key = Trim(line.substr(0, eq));
        entry.value = entry.hasEquals ? Trim(line.substr(eq + 1)) : std::u16string();
        if (entry.value.size() >= 2 && (entry.value.front() == u'"' || entry.value.front() == u'\'') &&
            entry.value.back() == entry.value.front())
            entry.value = entry.value.substr(1, entry.value.size() - 2);
        current->entries.push_back(entry);
    }
    return ini;
}

IniFile ReadIniFile(const std::string& hostPath)
{
    std::ifstream in(hostPath, std::ios::binary);
    if (!in)
        return IniFile();
    std::ostringstream all;
    all << in.rdbuf();
    return ParseIni(all.str());
}

std::string EncodeIniText(const std::u16string& text)
{
    bool ascii = true;
    for (char16_t c : text)
        if (c > 127)
            ascii = false;
    std::string bytes;
    if (ascii) {
        for (char16_t c : text)
            bytes.push_back(char(c));
        return bytes;
    }
    bytes = "\xFF\xFE";
    for (char16_t c : text) {
        bytes.push_back(char(c & 0xFF));
        bytes.push_back(char(c >> 8));
    }
    return bytes;
}

}  // namespace stubmedia
