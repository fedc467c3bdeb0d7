// Windows Installer databases and transforms: packages read through libmsi,
// transforms written and read on libgsf's compound files. The one place that
// knows the transform's bytes, shared by the generator and the checks.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace stubmedia::msi {

// Raw column types as Windows Installer keeps them in _Columns.
constexpr int kTypeValid = 0x0100;
constexpr int kTypeLocalizable = 0x0200;
constexpr int kTypeString = 0x0800;
constexpr int kTypeNullable = 0x1000;
constexpr int kTypeKey = 0x2000;

struct Column {
    std::string name;
    int type = 0;  // raw type, as in _Columns
    bool IsKey() const { return type & kTypeKey; }
    bool IsBinary() const { return (type & ~(kTypeNullable | kTypeKey)) == 0x0900; }
    bool IsString() const { return (type & kTypeString) && !IsBinary(); }
    int IntWidth() const { return (type & 0xFF) == 4 ? 4 : 2; }  // for integer columns
};

// A cell: null, an integer, or text (UTF-8); binary cells hold their bytes in text.
struct Cell {
    bool null = true;
    int32_t number = 0;
    std::string text;

    static Cell Int(int32_t value) { return Cell{false, value, {}}; }
    static Cell Text(std::string value)
    {
        // Windows Installer makes no difference between "" and null.
        bool empty = value.empty();
        return Cell{empty, 0, std::move(value)};
    }
    bool operator==(const Cell& o) const
    {
        return null == o.null && (null || (number == o.number && text == o.text));
    }
    bool operator!=(const Cell& o) const { return !(*this == o); }
    bool operator<(const Cell& o) const
    {
        if (null != o.null)
            return null;
        if (number != o.number)
            return number < o.number;
        return text < o.text;
    }
};

using Row = std::vector<Cell>;
using Key = std::vector<Cell>;

struct Table {
    std::string name;
    std::vector<Column> columns;
    std::map<Key, Row> rows;  // by primary key
    Key KeyOf(const Row& row) const;
};

struct Database {
    std::string path;
    int codepage = 0;             // of the string pool
    std::string summaryTemplate;  // "Intel;1033"
    int pageCount = 0;            // minimum installer version
    std::string revision;         // package code
    std::vector<Table> tables;    // in _Tables order, without the system tables

    const Table* Find(const std::string& table) const;
    Table* Find(const std::string& table);
    // A Property value; empty when absent.
    std::string Property(const std::string& name) const;
};

// Reads every table of a package; false with a reason when it is no
// Windows Installer database.
bool ReadDatabase(const std::string& path, Database* database, std::string* error);

// Template "platform;languages": the platform part, e.g. "Intel", "x64".
std::string TemplatePlatform(const std::string& summaryTemplate);

// ---- transforms

// Encoded names of the compound file's streams, as UTF-8 for libgsf: table
// streams carry the table prefix, binary-cell streams do not.
std::string EncodeStreamName(const std::string& name, bool table);
// The decoded name; table says whether it carried the table prefix.
std::string DecodeStreamName(const std::string& encoded, bool* table);

struct TransformSummary {
    bool present = false;
    int codepage = 0;
    std::string title;
    std::string templ;       // platform;language of the base
    std::string lastAuthor;  // platform;language after the transform
    std::string revision;    // {old code}old version;{new code}new version;{upgrade code}
    int pageCount = 0;
    int32_t flags = 0;  // error-condition flags (low word), validation flags (high word)
};

// Error conditions the transform asks Windows Installer to ignore.
constexpr int32_t kSuppressAddExistingRow = 0x01;
constexpr int32_t kSuppressDeleteMissingRow = 0x02;
constexpr int32_t kSuppressAddExistingTable = 0x04;
constexpr int32_t kSuppressDeleteMissingTable = 0x08;
constexpr int32_t kSuppressUpdateMissingRow = 0x10;
constexpr int32_t kSuppressCodepageMismatch = 0x20;
constexpr int32_t kValidateProduct = 0x02 << 16;

struct GenerateResult {
    bool ok = false;
    bool empty = false;  // the databases hold the same rows: nothing written
    std::string error;
    std::vector<std::string> notes;     // what the transform does, per table
    // What the setup engineer should know: a stable code and a message.
    std::vector<std::pair<std::string, std::string>> warnings;
};

// The transform that turns base into localized, written to out.
GenerateResult GenerateTransform(const Database& base, const Database& localized, const std::string& out);

struct TransformReport {
    bool readable = false;      // a compound file with the transform's class
    std::string error;          // first reason it cannot be applied
    TransformSummary summary;
    int codepage = 0;
    std::vector<std::string> tables;  // tables it changes
    // Problems Windows Installer would stop at, unless flags suppress them.
    std::vector<std::string> conflicts;
    std::optional<std::string> productLanguage;  // ProductLanguage it sets
};

// Reads a transform and applies it, in memory, to a copy of base as Windows
// Installer would: every table stream decoded against the target's columns,
// every string and binary cell resolved. result (when not null) receives the
// transformed database.
TransformReport ApplyTransform(const std::string& path, const Database& base, Database* result);

}  // namespace stubmedia::msi
