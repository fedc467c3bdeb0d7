#include "report.h"

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

void PrintJson(std::ostream& out, const Json& json)
{
    out << json.dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
}

void AddFindingsJson(Json& json, const Findings& findings)
{
    json["errors"] = findings.Count(Severity::Error);
    json["warnings"] = findings.Count(Severity::Warning);
    Json& items = json["findings"] = Json::array();
    for (const Finding& f : findings.items)
        items.push_back({{"severity", SeverityName(f.severity)}, {"code", f.code}, {"where", f.where}, {"message", f.message}});
}

}  // namespace stubmedia
