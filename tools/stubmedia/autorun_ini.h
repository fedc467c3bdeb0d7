// autorun.inf as text: read with the rules of Windows' initialization-file
// reader (to lint what the launcher cannot report), and written by pack.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace stubmedia {

struct IniEntry {
    std::u16string key;
    std::u16string value;  // trimmed, one pair of enclosing quotes removed
    int line = 0;
    bool hasEquals = true;
};

struct IniSection {
    std::u16string name;
    int line = 0;
    std::vector<IniEntry> entries;
};

struct IniFile {
    bool exists = false;
    std::string encoding;  // "ascii", "ansi" (bytes above 127, no mark), "utf-8-bom", "utf-16le-bom"
    std::vector<IniSection> sections;
    // The section a UTF-8 byte-order mark hides: Windows does not decode the
    // mark, so a section name on the first line reads as no section.
    bool markHidesSection = false;
    std::u16string hiddenSection;

    // First section of that name (case-insensitive), or null.
    const IniSection* Section(const std::u16string& name) const;
    // First entry of key in the first section of that name, or null.
    const IniEntry* Entry(const std::u16string& section, const std::u16string& key) const;
};

// The volume label the medium will carry, as far as the tool can know it:
// the one given on the command line, else [autorun] label; source says
// which ("--label", "[autorun] label", or empty when neither is there).
struct KnownLabel {
    std::optional<std::u16string> text;
    std::string source;
};
KnownLabel LabelOf(const std::optional<std::u16string>& given, const IniFile& autorun);

IniFile ParseIni(const std::string& bytes);
IniFile ReadIniFile(const std::string& hostPath);

std::u16string UpperAscii(const std::u16string& text);
bool EqualNoCase(const std::u16string& a, const std::u16string& b);

// Plain ASCII when the text allows it, else UTF-16LE with its byte-order
// mark, which the reader decodes on every system whatever its code page.
std::string EncodeIniText(const std::u16string& text);

}  // namespace stubmedia
