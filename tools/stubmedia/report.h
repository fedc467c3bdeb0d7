// Findings of a command and the JSON behind --json.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace stubmedia {

enum class Severity { Error, Warning, Note };
const char* SeverityName(Severity severity);

struct Finding {
    Severity severity;
    std::string code;     // stable identifier, for pipelines and tests
    std::string where;    // a file of the medium, or "[Section] Key"
    std::string message;  // what the launcher would do, and what to change
};

struct Findings {
    std::vector<Finding> items;

    void Add(Severity severity, std::string code, std::string where, std::string message);
    void Error(std::string code, std::string where, std::string message)
    {
        Add(Severity::Error, std::move(code), std::move(where), std::move(message));
    }
    void Warning(std::string code, std::string where, std::string message)
    {
        Add(Severity::Warning, std::move(code), std::move(where), std::move(message));
    }
    void Note(std::string code, std::string where, std::string message)
    {
        Add(Severity::Note, std::move(code), std::move(where), std::move(message));
    }
    int Count(Severity severity) const;
    bool HasErrors() const { return Count(Severity::Error) != 0; }
    const Finding* Find(std::string_view code) const;
    void Append(const Findings& other);
};

// "error: autorun.inf: message" lines, then a summary line.
void PrintFindings(std::ostream& out, const Findings& findings);

// --json reports: keys keep the order they are set in, which is the
// documented schema's order.
using Json = nlohmann::ordered_json;

// Two-space indentation and a final newline; text that is not UTF-8 (a host
// file name, say) is written with U+FFFD instead of failing the report.
void PrintJson(std::ostream& out, const Json& json);
// "errors", "warnings" and "findings" of every report.
void AddFindingsJson(Json& json, const Findings& findings);

}  // namespace stubmedia
