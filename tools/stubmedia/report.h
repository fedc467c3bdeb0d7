// Findings of a command and the JSON writer behind --json.
#pragma once

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

// A streaming JSON writer with two-space indentation. Strings are UTF-8.
class JsonWriter {
public:
    explicit JsonWriter(std::ostream& out) : out_(out) {}
    ~JsonWriter();

    JsonWriter& BeginObject();
    JsonWriter& EndObject();
    JsonWriter& BeginArray();
    JsonWriter& EndArray();
    JsonWriter& Key(std::string_view key);
    JsonWriter& String(std::string_view value);
    JsonWriter& Number(int64_t value);
    JsonWriter& Unsigned(uint64_t value);
    JsonWriter& Bool(bool value);
    JsonWriter& Null();

    template <typename T>
    JsonWriter& Field(std::string_view key, const T& value)
    {
        Key(key);
        return Value(value);
    }

private:
    JsonWriter& Value(const std::string& value) { return String(value); }
    JsonWriter& Value(const char* value) { return String(value); }
    JsonWriter& Value(bool value) { return Bool(value); }
    JsonWriter& Value(int value) { return Number(value); }
    JsonWriter& Value(long value) { return Number(value); }
    JsonWriter& Value(long long value) { return Number(value); }
    JsonWriter& Value(unsigned value) { return Unsigned(value); }
    JsonWriter& Value(unsigned long value) { return Unsigned(value); }
    JsonWriter& Value(unsigned long long value) { return Unsigned(value); }

    void BeforeValue();
    void Newline();

    std::ostream& out_;
    struct Level {
        bool array;
        bool empty;
    };
    std::vector<Level> levels_;
    bool afterKey_ = false;
};

std::string JsonEscape(std::string_view text);
void WriteFindingsJson(JsonWriter& json, const Findings& findings);

}  // namespace stubmedia
