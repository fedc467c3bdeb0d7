#include "report.h"

#include <cstdio>

namespace stubmedia {

const char* SeverityName(Severity severity)
{
    switch (severity) {
    case Severity::Error:
        return "error";
    case Severity::Warning:
        return "warning";
    case Severity::Note:
        return "note";
    }
    return "?";
}

void Findings::Add(Severity severity, std::string code, std::string where, std::string message)
{
    items.push_back(Finding{severity, std::move(code), std::move(where), std::move(message)});
}

int Findings::Count(Severity severity) const
{
    int n = 0;
    for (const Finding& f : items)
        n += f.severity == severity;
    return n;
}

const Finding* Findings::Find(std::string_view code) const
{
    for (const Finding& f : items)
        if (f.code == code)
            return &f;
    return nullptr;
}

void Findings::Append(const Findings& other)
{
    items.insert(items.end(), other.items.begin(), other.items.end());
}

void PrintFindings(std::ostream& out, const Findings& findings)
{
    // Errors first: they are what stops the medium from working.
    for (Severity severity : {Severity::Error, Severity::Warning, Severity::Note})
        for (const Finding& f : findings.items)
            if (f.severity == severity)
                out << SeverityName(f.severity) << ": " << (f.where.empty() ? "" : f.where + ": ") << f.message
                    << " [" << f.code << "]\n";
    int errors = findings.Count(Severity::Error), warnings = findings.Count(Severity::Warning);
    out << errors << (errors == 1 ? " error, " : " errors, ") << warnings
        << (warnings == 1 ? " warning" : " warnings") << "\n";
}

std::string JsonEscape(std::string_view text)
{
    std::string out;
    for (unsigned char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                char buffer[8];
                std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
                out += buffer;
            } else {
                out += char(c);
            }
        }
    }
    return out;
}

JsonWriter::~JsonWriter()
{
    if (levels_.empty())
        out_ << "\n";
}

void JsonWriter::Newline()
{
    out_ << "\n" << std::string(levels_.size() * 2, ' ');
}

void JsonWriter::BeforeValue()
{
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (!levels_.empty()) {
        if (!levels_.back().empty)
            out_ << ",";
        levels_.back().empty = false;
        Newline();
    }
}

JsonWriter& JsonWriter::BeginObject()
{
    BeforeValue();
    out_ << "{";
    levels_.push_back({false, true});
    return *this;
}

JsonWriter& JsonWriter::EndObject()
{
    bool empty = levels_.back().empty;
    bool array = levels_.back().array;
    levels_.pop_back();
    if (!empty)
        Newline();
    out_ << (array ? "]" : "}");
    return *this;
}

JsonWriter& JsonWriter::BeginArray()
{
    BeforeValue();
    out_ << "[";
    levels_.push_back({true, true});
    return *this;
}

JsonWriter& JsonWriter::EndArray() { return EndObject(); }

JsonWriter& JsonWriter::Key(std::string_view key)
{
    BeforeValue();
    out_ << "\"" << JsonEscape(key) << "\": ";
    afterKey_ = true;
    return *this;
}

JsonWriter& JsonWriter::String(std::string_view value)
{
    BeforeValue();
    out_ << "\"" << JsonEscape(value) << "\"";
    return *this;
}

JsonWriter& JsonWriter::Number(int64_t value)
{
    BeforeValue();
    out_ << value;
    return *this;
}

JsonWriter& JsonWriter::Unsigned(uint64_t value)
{
    BeforeValue();
    out_ << value;
    return *this;
}

JsonWriter& JsonWriter::Bool(bool value)
{
    BeforeValue();
    out_ << (value ? "true" : "false");
    return *this;
}

JsonWriter& JsonWriter::Null()
{
    BeforeValue();
    out_ << "null";
    return *this;
}

void WriteFindingsJson(JsonWriter& json, const Findings& findings)
{
    json.Field("errors", findings.Count(Severity::Error));
    json.Field("warnings", findings.Count(Severity::Warning));
    json.Key("findings").BeginArray();
    for (const Finding& f : findings.items) {
        json.BeginObject();
        json.Field("severity", SeverityName(f.severity));
        json.Field("code", f.code);
        json.Field("where", f.where);
        json.Field("message", f.message);
        json.EndObject();
    }
    json.EndArray();
}

}  // namespace stubmedia
