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

KnownLabel LabelOf(const std::optional<std::u16string>& given, const IniFile& autorun)
{
    if (given)
        return {given, "--label"};
    if (const IniEntry* e = autorun.Entry(u"autorun", u"label"))
        return {e->value, "[autorun] label"};
    return {};
}

IniFile ParseIni(const std::string& bytes)
{
    IniFile ini;
    ini.exists = true;
    if (bytes.size() >= 2 && uint8_t(bytes[0]) == 0xFF && uint8_t(bytes[1]) == 0xFE) {
        ini.encoding = "utf-16le-bom";
    } else if (bytes.size() >= 3 && uint8_t(bytes[0]) == 0xEF && uint8_t(bytes[1]) == 0xBB &&
               uint8_t(bytes[2]) == 0xBF) {
        ini.encoding = "utf-8-bom";
        std::vector<sim::ProfileLine> unmarked = sim::ParseProfile(sim::DecodeProfileText(bytes.substr(3)));
        if (!unmarked.empty() && unmarked[0].line == 1 && unmarked[0].isSection) {
            ini.markHidesSection = true;
            ini.hiddenSection = unmarked[0].name;
        }
    } else {
        // Without a mark Windows reads the system's code page: only ASCII is
        // the same everywhere.
        ini.encoding = "ascii";
        for (unsigned char c : bytes)
            if (c > 127)
                ini.encoding = "ansi";
    }

    // The launcher's own reading rules, so the lint cannot disagree with it.
    IniSection* current = nullptr;
    for (const sim::ProfileLine& line : sim::ParseProfile(sim::DecodeProfileText(bytes))) {
        if (line.isSection) {
            IniSection section;
            section.name = line.name;
            section.line = line.line;
            ini.sections.push_back(section);
            current = &ini.sections.back();
        } else if (current) {
            IniEntry entry;
            entry.key = line.name;
            entry.value = line.value;
            entry.line = line.line;
            entry.hasEquals = line.hasEquals;
            current->entries.push_back(entry);
        }
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
