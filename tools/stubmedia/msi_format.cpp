#include "msi_format.h"

#include <libmsi.h>

#include <gio/gio.h>
#include <gsf/gsf-infile-msole.h>
#include <gsf/gsf-infile.h>
#include <gsf/gsf-input-stdio.h>
#include <gsf/gsf-outfile-msole.h>
#include <gsf/gsf-outfile.h>
#include <gsf/gsf-output-stdio.h>
#include <gsf/gsf-utils.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>

namespace stubmedia::msi {

namespace {

// Owners for the GLib objects and strings of one call.
struct GObjectDeleter {
    void operator()(void* object) const
    {
        if (object)
            g_object_unref(object);
    }
};
template <typename T>
using Ref = std::unique_ptr<T, GObjectDeleter>;

struct ErrorHolder {
    GError* error = nullptr;
    ~ErrorHolder() { Clear(); }
    void Clear()
    {
        if (error)
            g_error_free(error);
        error = nullptr;
    }
    std::string Message() const { return error && error->message ? error->message : "unknown error"; }
};

std::string TakeString(gchar* text)
{
    std::string result = text ? text : "";
    g_free(text);
    return result;
}

const uint8_t kDatabaseClass[16] = {0x84, 0x10, 0x0C, 0x00, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};
const uint8_t kTransformClass[16] = {0x82, 0x10, 0x0C, 0x00, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};
const uint8_t kPatchClass[16] = {0x86, 0x10, 0x0C, 0x00, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};

void InitGsf()
{
    static bool done = false;
    if (!done) {
        gsf_init();
        done = true;
    }
}

// ---------------------------------------------------------------- stream names

int CharToIndex(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'Z')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 36;
    if (c == '.')
        return 62;
    if (c == '_')
        return 63;
    return -1;
}

char IndexToChar(int index)
{
    static const char kChars[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz._";
    return kChars[index];
}

void AppendUtf8(std::string& out, uint32_t unit)
{
    gchar buffer[8];
    int n = g_unichar_to_utf8(unit, buffer);
    out.append(buffer, size_t(n));
}

// ---------------------------------------------------------------- code pages

std::string CodepageCharset(int codepage)
{
    if (codepage == 65001)
        return "UTF-8";
    return "CP" + std::to_string(codepage);
}

bool IsAscii(const std::string& text)
{
    return std::all_of(text.begin(), text.end(), [](char c) { return (unsigned char)c < 0x80; });
}

// A neutral pool (code page 0) is read in the system's ANSI code page; libmsi,
// and so wixl, read and write it as Western (1252), as Wine does on a
// Western system. Its packages and their transforms must agree on that.
int EffectiveCodepage(int codepage) { return codepage == 0 ? 1252 : codepage; }

// UTF-8 to the pool's code page; false when a character has no encoding there.
bool EncodeText(const std::string& utf8, int codepage, std::string* out)
{
    if (IsAscii(utf8) || codepage == 65001) {
        *out = utf8;
        return true;
    }
    gsize written = 0;
    gchar* converted = g_convert(utf8.data(), gssize(utf8.size()), CodepageCharset(EffectiveCodepage(codepage)).c_str(),
                                 "UTF-8", nullptr, &written, nullptr);
    if (!converted)
        return false;
    out->assign(converted, written);
    g_free(converted);
    return true;
}

std::string DecodeText(const std::string& bytes, int codepage)
{
    if (IsAscii(bytes) || codepage == 65001)
        return bytes;
    gsize written = 0;
    gchar* converted = g_convert(bytes.data(), gssize(bytes.size()), "UTF-8",
                                 CodepageCharset(EffectiveCodepage(codepage)).c_str(), nullptr, &written, nullptr);
    if (!converted)
        return bytes;
    std::string result(converted, written);
    g_free(converted);
    return result;
}

// ---------------------------------------------------------------- little-endian bytes

void Put16(std::string& out, uint32_t value)
{
    out.push_back(char(value & 0xFF));
    out.push_back(char((value >> 8) & 0xFF));
}

void Put32(std::string& out, uint32_t value)
{
    Put16(out, value & 0xFFFF);
    Put16(out, value >> 16);
}

uint32_t Get(const std::string& data, size_t offset, int width)
{
    uint32_t value = 0;
    for (int i = 0; i < width; ++i)
        value |= uint32_t(uint8_t(data[offset + i])) << (8 * i);
    return value;
}

// ---------------------------------------------------------------- compound files

bool ReadAll(GsfInput* input, std::string* out)
{
    gsf_off_t size = gsf_input_size(input);
    out->resize(size_t(size));
    return size == 0 || gsf_input_read(input, size_t(size), reinterpret_cast<guint8*>(&(*out)[0])) != nullptr;
}

bool ReadAll(GInputStream* stream, std::string* out)
{
    out->clear();
    char buffer[65536];
    for (;;) {
        gssize n = g_input_stream_read(stream, buffer, sizeof buffer, nullptr, nullptr);
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        out->append(buffer, size_t(n));
    }
}

struct CompoundFile {
    Ref<GsfInfile> root;
    uint8_t classId[16] = {};
};

bool OpenCompound(const std::string& path, CompoundFile* file, std::string* error)
{
    InitGsf();
    ErrorHolder e;
    Ref<GsfInput> input(gsf_input_stdio_new(path.c_str(), &e.error));
    if (!input) {
        *error = "cannot be opened: " + e.Message();
        return false;
    }
    e.Clear();
    file->root.reset(gsf_infile_msole_new(input.get(), &e.error));
    if (!file->root) {
        *error = "is no compound file (" + e.Message() + ")";
        return false;
    }
    gsf_infile_msole_get_class_id(GSF_INFILE_MSOLE(file->root.get()), file->classId);
    return true;
}

bool ReadChild(GsfInfile* root, const std::string& name, std::string* out)
{
    Ref<GsfInput> child(gsf_infile_child_by_name(root, name.c_str()));
    return child && ReadAll(child.get(), out);
}

// ---------------------------------------------------------------- string pools

struct StringPool {
    int codepage = 0;
    int refWidth = 2;
    std::vector<std::string> strings;  // by id; [0] is null
    std::vector<uint16_t> refs;
};

bool ParsePool(const std::string& pool, const std::string& data, StringPool* out, std::string* error)
{
    if (pool.size() < 4 || pool.size() % 4 != 0) {
        *error = "its string pool is damaged (" + std::to_string(pool.size()) + " bytes)";
        return false;
    }
    uint32_t low = Get(pool, 0, 2), high = Get(pool, 2, 2);
    out->codepage = int(low | (high & 0x7FFF) << 16);
    out->refWidth = high & 0x8000 ? 3 : 2;
    out->strings.assign(1, std::string());
    out->refs.assign(1, 0);
    size_t offset = 0;
    size_t slots = pool.size() / 4;
    for (size_t i = 1; i < slots; ++i) {
        uint32_t length = Get(pool, i * 4, 2), refs = Get(pool, i * 4 + 2, 2);
        if (length == 0 && refs != 0) {
            *error = "its string pool holds a string over 65535 bytes, which this tool does not read";
            return false;
        }
        if (offset + length > data.size()) {
            *error = "its string pool names more bytes than its string data holds";
            return false;
        }
        out->strings.push_back(DecodeText(data.substr(offset, length), out->codepage));
        out->refs.push_back(uint16_t(refs));
        offset += length;
    }
    if (offset != data.size()) {
        *error = "its string data holds bytes that no string of the pool names";
        return false;
    }
    return true;
}

bool ValidCodepage(int codepage)
{
    if (codepage == 0 || codepage == 65001)
        return true;
    GIConv conv = g_iconv_open("UTF-8", CodepageCharset(codepage).c_str());
    if (conv == (GIConv)-1)
        return false;
    g_iconv_close(conv);
    return true;
}

// ---------------------------------------------------------------- summary information

struct Property {
    uint32_t id;
    uint32_t type;  // VT_I2 2, VT_I4 3, VT_LPSTR 30
    int32_t number;
    std::string text;
};

std::string WritePropertySet(const std::vector<Property>& properties)
{
    std::string values;
    std::vector<std::pair<uint32_t, uint32_t>> offsets;
    size_t headerSize = 8 + 8 * properties.size();
    for (const Property& p : properties) {
        offsets.push_back({p.id, uint32_t(headerSize + values.size())});
        Put32(values, p.type);
        if (p.type == 30) {
            Put32(values, uint32_t(p.text.size() + 1));
            values += p.text;
            values.push_back('\0');
            while (values.size() % 4)
                values.push_back('\0');
        } else if (p.type == 2) {
            Put16(values, uint32_t(p.number) & 0xFFFF);
            Put16(values, 0);
        } else {
            Put32(values, uint32_t(p.number));
        }
    }
    std::string section;
    Put32(section, uint32_t(headerSize + values.size()));
    Put32(section, uint32_t(properties.size()));
    for (auto& [id, offset] : offsets) {
        Put32(section, id);
        Put32(section, offset);
    }
    section += values;

    static const uint8_t kFormatId[16] = {0xE0, 0x85, 0x9F, 0xF2, 0xF9, 0x4F, 0x68, 0x10,
                                          0xAB, 0x91, 0x08, 0x00, 0x2B, 0x27, 0xB3, 0xD9};
    std::string out;
    Put16(out, 0xFFFE);
    Put16(out, 0);
    Put32(out, 0x00020005);
    out.append(16, '\0');
    Put32(out, 1);
    out.append(reinterpret_cast<const char*>(kFormatId), 16);
    Put32(out, 48);
    return out + section;
}

bool ReadPropertySet(const std::string& data, TransformSummary* summary)
{
    if (data.size() < 48 || Get(data, 0, 2) != 0xFFFE)
        return false;
    size_t sectionOffset = Get(data, 44, 4);
    if (sectionOffset + 8 > data.size())
        return false;
    uint32_t count = Get(data, sectionOffset + 4, 4);
    if (count > 1000 || sectionOffset + 8 + count * 8 > data.size())
        return false;
    std::vector<std::pair<uint32_t, std::string>> strings;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t id = Get(data, sectionOffset + 8 + i * 8, 4);
        size_t at = sectionOffset + Get(data, sectionOffset + 12 + i * 8, 4);
        if (at + 8 > data.size())
            return false;
        uint32_t type = Get(data, at, 4);
        int32_t number = int32_t(Get(data, at + 4, 4));
        if (type == 2)
            number = int16_t(Get(data, at + 4, 2));
        if (type == 30) {
            uint32_t length = Get(data, at + 4, 4);
            if (at + 8 + length > data.size())
                return false;
            std::string text = data.substr(at + 8, length);
            while (!text.empty() && text.back() == '\0')
                text.pop_back();
            strings.push_back({id, text});
            continue;
        }
        if (id == 1)
            summary->codepage = number & 0xFFFF;
        else if (id == 14)
            summary->pageCount = number;
        else if (id == 16)
            summary->flags = number;
    }
    for (auto& [id, text] : strings) {
        std::string decoded = DecodeText(text, summary->codepage);
        if (id == 2)
            summary->title = decoded;
        else if (id == 7)
            summary->templ = decoded;
        else if (id == 8)
            summary->lastAuthor = decoded;
        else if (id == 9)
            summary->revision = decoded;
    }
    summary->present = true;
    return true;
}

// ---------------------------------------------------------------- reading databases

int RawType(const std::string& typeInfo, bool key)
{
    // libmsi describes columns as s72, L255, i2, I4, v0: kind, nullable when
    // upper case, size. Back to the raw bits of _Columns.
    if (typeInfo.empty())
        return 0;
    char kind = typeInfo[0];
    int size = std::atoi(typeInfo.c_str() + 1);
    bool nullable = kind >= 'A' && kind <= 'Z';
    char lower = char(nullable ? kind - 'A' + 'a' : kind);
    int type = kTypeValid;
    if (lower == 's' || lower == 'l' || lower == 'g' || lower == 'j')
        type |= 0x0C00 | (size & 0xFF) | (lower == 'l' ? kTypeLocalizable : 0);
    else if (lower == 'v' || lower == 'o')
        type = 0x0900;
    else if (size == 4)
        type |= 4;
    else
        type |= 0x0400 | 2;
    if (nullable)
        type |= kTypeNullable;
    if (key)
        type |= kTypeKey;
    return type;
}

std::vector<std::string> QueryStrings(LibmsiDatabase* db, const char* sql)
{
    std::vector<std::string> result;
    ErrorHolder e;
    Ref<LibmsiQuery> query(libmsi_query_new(db, sql, &e.error));
    if (!query || !libmsi_query_execute(query.get(), nullptr, nullptr))
        return result;
    while (Ref<LibmsiRecord> record{libmsi_query_fetch(query.get(), nullptr)})
        result.push_back(TakeString(libmsi_record_get_string(record.get(), 1)));
    libmsi_query_close(query.get(), nullptr);
    return result;
}

bool ReadTable(LibmsiDatabase* db, const std::string& name, Table* table, std::string* error)
{
    table->name = name;
    ErrorHolder e;
    std::set<std::string> keys;
    if (Ref<LibmsiRecord> primary{libmsi_database_get_primary_keys(db, name.c_str(), &e.error)}) {
        guint n = libmsi_record_get_field_count(primary.get());
        for (guint i = 1; i <= n; ++i)
            keys.insert(TakeString(libmsi_record_get_string(primary.get(), i)));
    }
    e.Clear();
    std::string sql = "SELECT * FROM `" + name + "`";
    Ref<LibmsiQuery> query(libmsi_query_new(db, sql.c_str(), &e.error));
    if (!query || !libmsi_query_execute(query.get(), nullptr, &e.error)) {
        *error = "table " + name + " cannot be read: " + e.Message();
        return false;
    }
    Ref<LibmsiRecord> names(libmsi_query_get_column_info(query.get(), LIBMSI_COL_INFO_NAMES, nullptr));
    Ref<LibmsiRecord> types(libmsi_query_get_column_info(query.get(), LIBMSI_COL_INFO_TYPES, nullptr));
    if (!names || !types) {
        *error = "table " + name + " has no column information";
        return false;
    }
    guint count = libmsi_record_get_field_count(names.get());
    for (guint i = 1; i <= count; ++i) {
        Column c;
        c.name = TakeString(libmsi_record_get_string(names.get(), i));
        c.type = RawType(TakeString(libmsi_record_get_string(types.get(), i)), keys.count(c.name) != 0);
        table->columns.push_back(c);
    }
    while (Ref<LibmsiRecord> record{libmsi_query_fetch(query.get(), nullptr)}) {
        Row row;
        for (guint i = 1; i <= count; ++i) {
            const Column& c = table->columns[i - 1];
            if (libmsi_record_is_null(record.get(), i)) {
                row.push_back(Cell());
            } else if (c.IsBinary()) {
                Cell cell;
                Ref<GInputStream> stream(libmsi_record_get_stream(record.get(), i));
                if (!stream || !ReadAll(stream.get(), &cell.text)) {
                    *error = "a binary cell of table " + name + " cannot be read";
                    return false;
                }
                cell.null = false;
                row.push_back(cell);
            } else if (c.IsString()) {
                row.push_back(Cell::Text(TakeString(libmsi_record_get_string(record.get(), i))));
            } else {
                row.push_back(Cell::Int(libmsi_record_get_int(record.get(), i)));
            }
        }
        table->rows[table->KeyOf(row)] = row;
    }
    libmsi_query_close(query.get(), nullptr);
    return true;
}

}  // namespace

// ---------------------------------------------------------------- public

Key Table::KeyOf(const Row& row) const
{
    Key key;
    for (size_t i = 0; i < columns.size() && i < row.size(); ++i)
        if (columns[i].IsKey())
            key.push_back(row[i]);
    return key;
}

const Table* Database::Find(const std::string& table) const
{
    for (const Table& t : tables)
        if (t.name == table)
            return &t;
    return nullptr;
}

Table* Database::Find(const std::string& table)
{
    for (Table& t : tables)
        if (t.name == table)
            return &t;
    return nullptr;
}

std::string Database::Property(const std::string& name) const
{
    const Table* t = Find("Property");
    if (!t)
        return std::string();
    auto it = t->rows.find(Key{Cell::Text(name)});
    return it == t->rows.end() || it->second.size() < 2 ? std::string() : it->second[1].text;
}

std::string TemplatePlatform(const std::string& summaryTemplate)
{
    return summaryTemplate.substr(0, summaryTemplate.find(';'));
}

std::string EncodeStreamName(const std::string& name, bool table)
{
    std::string out;
    if (table)
        AppendUtf8(out, 0x4840);
    for (size_t i = 0; i < name.size(); ++i) {
        int a = CharToIndex(name[i]);
        if (a < 0) {
            out.push_back(name[i]);
            continue;
        }
        int b = i + 1 < name.size() ? CharToIndex(name[i + 1]) : -1;
        if (b >= 0) {
            AppendUtf8(out, 0x3800 + a + 64 * b);
            ++i;
        } else {
            AppendUtf8(out, 0x4800 + a);
        }
    }
    return out;
}

std::string DecodeStreamName(const std::string& encoded, bool* table)
{
    std::string out;
    *table = false;
    const gchar* p = encoded.c_str();
    const gchar* end = p + encoded.size();
    bool first = true;
    while (p < end) {
        gunichar c = g_utf8_get_char_validated(p, end - p);
        if (c == gunichar(-1) || c == gunichar(-2)) {
            out.push_back(*p++);
            first = false;
            continue;
        }
        p = g_utf8_next_char(p);
        if (first && c == 0x4840)
            *table = true;
        else if (c >= 0x3800 && c < 0x4800) {
            out.push_back(IndexToChar((c - 0x3800) & 0x3F));
            out.push_back(IndexToChar(((c - 0x3800) >> 6) & 0x3F));
        } else if (c >= 0x4800 && c < 0x4840) {
            out.push_back(IndexToChar(c - 0x4800));
        } else {
            AppendUtf8(out, c);
        }
        first = false;
    }
    return out;
}

bool ReadDatabase(const std::string& path, Database* database, std::string* error)
{
    *database = Database();
    database->path = path;
    CompoundFile file;
    if (!OpenCompound(path, &file, error))
        return false;
    if (std::memcmp(file.classId, kTransformClass, 16) == 0) {
        *error = "is a transform, not a Windows Installer package";
        return false;
    }
    if (std::memcmp(file.classId, kPatchClass, 16) == 0) {
        *error = "is a patch, not a Windows Installer package";
        return false;
    }
    if (std::memcmp(file.classId, kDatabaseClass, 16) != 0) {
        *error = "is a compound file but not a Windows Installer package (its class is not the database's)";
        return false;
    }
    std::string pool;
    if (!ReadChild(file.root.get(), EncodeStreamName("_StringPool", true), &pool) || pool.size() < 4) {
        *error = "has no string pool: not a Windows Installer database";
        return false;
    }
    database->codepage = int(Get(pool, 0, 2) | (Get(pool, 2, 2) & 0x7FFF) << 16);

    ErrorHolder e;
    Ref<LibmsiDatabase> db(libmsi_database_new(path.c_str(), LIBMSI_DB_FLAGS_READONLY, nullptr, &e.error));
    if (!db) {
        *error = "cannot be opened as a Windows Installer database: " + e.Message();
        return false;
    }
    e.Clear();
    if (Ref<LibmsiSummaryInfo> si{libmsi_summary_info_new(db.get(), 0, &e.error)}) {
        if (const gchar* t = libmsi_summary_info_get_string(si.get(), LIBMSI_PROPERTY_TEMPLATE, nullptr))
            database->summaryTemplate = t;
        if (const gchar* r = libmsi_summary_info_get_string(si.get(), LIBMSI_PROPERTY_UUID, nullptr))
            database->revision = r;
        if (libmsi_summary_info_get_property_type(si.get(), LIBMSI_PROPERTY_VERSION, nullptr) ==
            LIBMSI_PROPERTY_TYPE_INT)
            database->pageCount = libmsi_summary_info_get_int(si.get(), LIBMSI_PROPERTY_VERSION, nullptr);
    }
    for (const std::string& name : QueryStrings(db.get(), "SELECT `Name` FROM `_Tables`")) {
        Table table;
        if (!ReadTable(db.get(), name, &table, error))
            return false;
        database->tables.push_back(std::move(table));
    }
    if (database->tables.empty()) {
        *error = "holds no tables";
        return false;
    }
    return true;
}

// ---------------------------------------------------------------- the transform writer

namespace {

struct PoolBuilder {
    std::map<std::string, uint32_t> ids;
    std::vector<std::string> strings{std::string()};
    std::vector<uint32_t> refs{0};

    uint32_t Use(const std::string& text)
    {
        if (text.empty())
            return 0;
        auto [it, added] = ids.insert({text, uint32_t(strings.size())});
        if (added) {
            strings.push_back(text);
            refs.push_back(0);
        }
        ++refs[it->second];
        return it->second;
    }
};

// A record before the pool is final: cells as they will be written.
struct PendingCell {
    enum Kind { String, Int2, Int4, Binary } kind;
    uint32_t value;
};
struct PendingRecord {
    uint16_t mask;
    std::vector<PendingCell> cells;
};

std::string CellKeyText(const Column& column, const Cell& cell)
{
    if (cell.null)
        return std::string();
    return column.IsString() ? cell.text : std::to_string(cell.number);
}

std::string KeyText(const Table& table, const Row& row)
{
    std::string text;
    for (size_t i = 0; i < table.columns.size(); ++i)
        if (table.columns[i].IsKey())
            text += "." + CellKeyText(table.columns[i], row[i]);
    return text;
}

// The stream of a binary cell: the table and its row's keys, dot-separated.
std::string BinaryStreamName(const Table& table, const Row& row) { return table.name + KeyText(table, row); }

struct Writer {
    const Database& base;
    const Database& localized;
    GenerateResult& result;
    PoolBuilder pool;
    std::map<std::string, std::vector<PendingRecord>> tableRecords;  // by table name
    std::vector<std::string> tableOrder;
    std::vector<std::pair<std::string, std::string>> binaryStreams;  // name, bytes

    bool CellFor(const Column& column, const Cell& cell, PendingCell* out)
    {
        if (column.IsBinary()) {
            *out = {PendingCell::Binary, cell.null ? 0u : 1u};
            return true;
        }
        if (column.IsString()) {
            std::string encoded;
            if (!cell.null && !EncodeText(cell.text, localized.codepage, &encoded)) {
                result.error = "\"" + cell.text + "\" cannot be written in the localized package's code page " +
                               std::to_string(localized.codepage);
                return false;
            }
            *out = {PendingCell::String, cell.null ? 0u : pool.Use(cell.text)};
            return true;
        }
        if (column.IntWidth() == 4) {
            *out = {PendingCell::Int4, cell.null ? 0u : uint32_t(cell.number) ^ 0x80000000u};
            return true;
        }
        if (!cell.null && (cell.number < -32767 || cell.number > 32767)) {
            result.error = "a short integer cell holds " + std::to_string(cell.number);
            return false;
        }
        *out = {PendingCell::Int2, cell.null ? 0u : uint32_t(cell.number + 0x8000)};
        return true;
    }

    bool Record(const Table& table, const Row& row, uint16_t mask, const std::vector<bool>& present)
    {
        PendingRecord record{mask, {}};
        for (size_t i = 0; i < table.columns.size(); ++i) {
            if (!present[i])
                continue;
            const Column& c = table.columns[i];
            PendingCell cell;
            if (!CellFor(c, row[i], &cell))
                return false;
            if (c.IsBinary()) {
                if (row[i].null) {
                    result.error = "table " + table.name +
                                   " has a row whose binary cell becomes empty, which a transform cannot express";
                    return false;
                }
                binaryStreams.push_back({BinaryStreamName(table, row), row[i].text});
            }
            record.cells.push_back(cell);
        }
        if (!tableRecords.count(table.name))
            tableOrder.push_back(table.name);
        tableRecords[table.name].push_back(record);
        return true;
    }

    bool Insert(const Table& table, const Row& row)
    {
        uint16_t mask = uint16_t(table.columns.size() << 8 | 1);
        return Record(table, row, mask, std::vector<bool>(table.columns.size(), true));
    }

    bool Delete(const Table& table, const Row& row)
    {
        std::vector<bool> present;
        for (const Column& c : table.columns)
            present.push_back(c.IsKey());
        return Record(table, row, 0, present);
    }

    bool Update(const Table& table, const Row& before, const Row& after)
    {
        std::vector<bool> present;
        uint32_t mask = 0;
        bool wide = false;
        for (size_t i = 0; i < table.columns.size(); ++i) {
            bool changed = !table.columns[i].IsKey() && before[i] != after[i];
            present.push_back(table.columns[i].IsKey() || changed);
            if (changed) {
                if (i >= 16)
                    wide = true;
                else
                    mask |= 1u << i;
            }
        }
        // The update mask has 16 bits: wider changes replace the whole row.
        if (wide)
            return Insert(table, after);
        return Record(table, after, uint16_t(mask), present);
    }

    bool SameColumns(const Table& b, const Table& l)
    {
        if (b.columns.size() != l.columns.size())
            return false;
        for (size_t i = 0; i < b.columns.size(); ++i)
            if (b.columns[i].name != l.columns[i].name || b.columns[i].type != l.columns[i].type)
                return false;
        return true;
    }

    bool Diff()
    {
        for (const Table& l : localized.tables) {
            const Table* b = base.Find(l.name);
            if (b && !SameColumns(*b, l)) {
                result.error = "table " + l.name +
                               " has different columns in the two packages: a transform cannot change a table's "
                               "columns; build both packages from the same sources";
                return false;
            }
            if (!b) {
                // A new table: its name, its columns, then its rows.
                if (l.columns.size() > 255) {
                    result.error = "table " + l.name + " has more columns than a transform can add";
                    return false;
                }
                Table tables{"_Tables", {{"Name", 0x3DFF & ~kTypeNullable}}, {}};
                if (!Insert(tables, Row{Cell::Text(l.name)}))
                    return false;
                Table columns{"_Columns",
                              {{"Table", kTypeValid | 0x0C00 | 64 | kTypeKey},
                               {"Number", kTypeValid | 0x0400 | 2 | kTypeKey},
                               {"Name", kTypeValid | 0x0C00 | 64},
                               {"Type", kTypeValid | 0x0400 | 2}},
                              {}};
                for (const Column& c : l.columns)
                    if (!Insert(columns, Row{Cell::Text(l.name), Cell(), Cell::Text(c.name), Cell::Int(c.type)}))
                        return false;
                result.notes.push_back("adds table " + l.name);
            }
            const Table empty{l.name, l.columns, {}};
            const Table& from = b ? *b : empty;
            size_t inserted = 0, deleted = 0, updated = 0;
            for (const auto& [key, row] : l.rows) {
                auto it = from.rows.find(key);
                if (it == from.rows.end()) {
                    if (!Insert(l, row))
                        return false;
                    ++inserted;
                } else if (it->second != row) {
                    if (!Update(l, it->second, row))
                        return false;
                    ++updated;
                }
            }
            for (const auto& [key, row] : from.rows) {
                if (!l.rows.count(key)) {
                    if (!Delete(l, row))
                        return false;
                    ++deleted;
                }
            }
            if (b && inserted + deleted + updated)
                result.notes.push_back(l.name + ": " + std::to_string(updated) + " changed, " +
                                       std::to_string(inserted) + " added, " + std::to_string(deleted) + " removed");
        }
        for (const Table& b : base.tables)
            if (!localized.Find(b.name))
                result.warnings.push_back({"transform-table-kept", "table " + b.name +
                                          " is only in the base package: the transform leaves it in place"});
        return true;
    }

    std::string TableStream(const std::vector<PendingRecord>& records, int refWidth)
    {
        std::string out;
        for (const PendingRecord& r : records) {
            Put16(out, r.mask);
            for (const PendingCell& c : r.cells) {
                switch (c.kind) {
                case PendingCell::String:
                    Put16(out, c.value & 0xFFFF);
                    if (refWidth == 3)
                        out.push_back(char(c.value >> 16));
                    break;
                case PendingCell::Int2:
                case PendingCell::Binary:
                    Put16(out, c.value);
                    break;
                case PendingCell::Int4:
                    Put32(out, c.value);
                    break;
                }
            }
        }
        return out;
    }
};

bool WriteChild(GsfOutfile* root, const std::string& name, const std::string& bytes)
{
    Ref<GsfOutput> child(gsf_outfile_new_child(root, name.c_str(), FALSE));
    if (!child)
        return false;
    bool ok = bytes.empty() || gsf_output_write(child.get(), bytes.size(), reinterpret_cast<const guint8*>(bytes.data()));
    return gsf_output_close(child.get()) && ok;
}

}  // namespace

GenerateResult GenerateTransform(const Database& base, const Database& localized, const std::string& out)
{
    GenerateResult result;
    Writer writer{base, localized, result, {}, {}, {}, {}};
    if (!writer.Diff())
        return result;
    result.empty = writer.tableRecords.empty();
    if (localized.codepage != 0 && !ValidCodepage(localized.codepage)) {
        result.error = "the localized package's code page " + std::to_string(localized.codepage) + " is not known";
        return result;
    }

    PoolBuilder& pool = writer.pool;
    if (localized.codepage == 0 &&
        std::any_of(pool.strings.begin(), pool.strings.end(), [](const std::string& t) { return !IsAscii(t); }))
        result.warnings.push_back({"transform-neutral-codepage", "the localized package has the neutral code page 0 but holds text beyond ASCII: "
                                  "Windows reads such text in each system's own code page, so it may show garbled; "
                                  "give the package the code page of its language"});
    int refWidth = pool.strings.size() > 0xFFFF ? 3 : 2;
    std::string poolBytes, dataBytes;
    Put16(poolBytes, uint32_t(localized.codepage) & 0xFFFF);
    Put16(poolBytes, (uint32_t(localized.codepage) >> 16 & 0x7FFF) | (refWidth == 3 ? 0x8000 : 0));
    for (size_t id = 1; id < pool.strings.size(); ++id) {
        std::string encoded;
        EncodeText(pool.strings[id], localized.codepage, &encoded);
        if (encoded.size() > 0xFFFF) {
            result.error = "a string of " + std::to_string(encoded.size()) + " bytes is longer than a transform holds";
            return result;
        }
        Put16(poolBytes, uint32_t(encoded.size()));
        // Every used id needs a count: Windows Installer reads a count of 0 as no string.
        Put16(poolBytes, std::min<uint32_t>(std::max<uint32_t>(pool.refs[id], 1), 0xFFFF));
        dataBytes += encoded;
    }

    for (const auto& [name, bytes] : writer.binaryStreams) {
        if (g_utf8_strlen(EncodeStreamName(name, false).c_str(), -1) > 31) {
            result.error = "the binary cell " + name + " has a key too long for a stream name";
            return result;
        }
    }

    auto code = [](const Database& d, const char* name) { return d.Property(name); };
    std::string revision = code(base, "ProductCode") + code(base, "ProductVersion") + ";" +
                           code(localized, "ProductCode") + code(localized, "ProductVersion") + ";" +
                           code(localized, "UpgradeCode");
    if (code(base, "ProductCode") != code(localized, "ProductCode"))
        result.warnings.push_back({"transform-product-code", "the packages have different ProductCodes: the transform changes the product's "
                                  "identity, and the installed-product check sees another product"});
    if (code(base, "UpgradeCode") != code(localized, "UpgradeCode"))
        result.warnings.push_back({"transform-upgrade-code", "the packages have different UpgradeCodes: the transform moves the product to another "
                                  "family, which the medium's installed check does not follow"});
    int summaryCodepage = localized.codepage ? localized.codepage : 1252;
    std::string templ, lastAuthor, revisionBytes;
    // One language each: the package's own, which a template may not name (wixl writes 1033 always).
    std::string baseTemplate = TemplatePlatform(base.summaryTemplate) + ";" + code(base, "ProductLanguage");
    std::string localizedTemplate = TemplatePlatform(localized.summaryTemplate) + ";" + code(localized, "ProductLanguage");
    if (!EncodeText(baseTemplate, summaryCodepage, &templ) ||
        !EncodeText(localizedTemplate, summaryCodepage, &lastAuthor) ||
        !EncodeText(revision, summaryCodepage, &revisionBytes)) {
        result.error = "the summary information cannot be written in code page " + std::to_string(summaryCodepage);
        return result;
    }
    std::vector<Property> summary = {
        {1, 2, summaryCodepage, {}},
        {2, 30, 0, "Transform"},
        {7, 30, 0, templ},
        {8, 30, 0, lastAuthor},
        {9, 30, 0, revisionBytes},
        {14, 3, std::max(base.pageCount, localized.pageCount), {}},
        {16, 3,
         kValidateProduct | kSuppressAddExistingRow | kSuppressDeleteMissingRow | kSuppressAddExistingTable |
             kSuppressDeleteMissingTable | kSuppressUpdateMissingRow | kSuppressCodepageMismatch,
         {}},
    };

    InitGsf();
    ErrorHolder e;
    std::string temporary = out + ".part";
    Ref<GsfOutput> sink(gsf_output_stdio_new(temporary.c_str(), &e.error));
    if (!sink) {
        result.error = out + " cannot be written: " + e.Message();
        return result;
    }
    bool ok = true;
    {
        Ref<GsfOutfile> root(gsf_outfile_msole_new(sink.get()));
        ok = root && gsf_outfile_msole_set_class_id(GSF_OUTFILE_MSOLE(root.get()), kTransformClass);
        ok = ok && WriteChild(root.get(), "\005SummaryInformation", WritePropertySet(summary));
        ok = ok && WriteChild(root.get(), EncodeStreamName("_StringPool", true), poolBytes);
        ok = ok && WriteChild(root.get(), EncodeStreamName("_StringData", true), dataBytes);
        for (const std::string& table : writer.tableOrder)
            ok = ok && WriteChild(root.get(), EncodeStreamName(table, true),
                                  writer.TableStream(writer.tableRecords[table], refWidth));
        for (const auto& [name, bytes] : writer.binaryStreams)
            ok = ok && WriteChild(root.get(), EncodeStreamName(name, false), bytes);
        ok = root && gsf_output_close(GSF_OUTPUT(root.get())) && ok;
    }
    ok = gsf_output_is_closed(sink.get()) || gsf_output_close(sink.get()) ? ok : false;
    sink.reset();
    if (!ok || std::rename(temporary.c_str(), out.c_str()) != 0) {
        std::remove(temporary.c_str());
        result.error = out + " cannot be written";
        return result;
    }
    result.ok = true;
    return result;
}

// ---------------------------------------------------------------- the transform reader

namespace {

struct Applier {
    GsfInfile* root;
    const StringPool& pool;
    Database& target;
    TransformReport& report;
    int32_t flags;

    bool String(uint32_t id, std::string* out)
    {
        if (id == 0) {
            out->clear();
            return true;
        }
        if (id >= pool.strings.size() || pool.refs[id] == 0) {
            report.error = "a table cell names string " + std::to_string(id) +
                           (id >= pool.strings.size() ? ", which its string pool does not hold"
                                                      : ", whose count is 0, so Windows Installer reads no value");
            return false;
        }
        *out = pool.strings[id];
        return true;
    }

    void Conflict(int32_t flag, const std::string& what)
    {
        if (!(flags & flag))
            report.conflicts.push_back(what);
    }

    bool ApplyTable(const std::string& name, const std::string& data)
    {
        Table* table = target.Find(name);
        if (!table) {
            report.error = "it changes table " + name + ", which neither the package nor the transform defines";
            return false;
        }
        const std::vector<Column>& columns = table->columns;
        size_t at = 0;
        auto width = [&](const Column& c) { return c.IsString() ? pool.refWidth : c.IsBinary() ? 2 : c.IntWidth(); };
        while (at < data.size()) {
            if (at + 2 > data.size()) {
                report.error = "table " + name + "'s changes end in the middle of a record";
                return false;
            }
            uint32_t mask = Get(data, at, 2);
            at += 2;
            bool insert = mask & 1;
            size_t present = insert ? mask >> 8 : columns.size();
            if (insert && (present == 0 || present > columns.size())) {
                report.error = "table " + name + " has a record of " + std::to_string(present) + " columns; it has " +
                               std::to_string(columns.size());
                return false;
            }
            Row row(columns.size());
            std::vector<bool> given(columns.size(), false);
            for (size_t i = 0; i < present; ++i) {
                const Column& c = columns[i];
                if (!insert && !c.IsKey() && !(i < 16 && (mask >> i & 1)))
                    continue;
                int w = width(c);
                if (at + size_t(w) > data.size()) {
                    report.error = "table " + name + "'s changes end in the middle of a record";
                    return false;
                }
                uint32_t raw = Get(data, at, w);
                at += size_t(w);
                given[i] = true;
                if (c.IsString()) {
                    std::string text;
                    if (!String(raw, &text))
                        return false;
                    row[i] = Cell::Text(text);
                } else if (c.IsBinary()) {
                    row[i] = Cell();  // filled once the key is known
                } else if (w == 4) {
                    row[i] = raw == 0 ? Cell() : Cell::Int(int32_t(raw ^ 0x80000000u));
                } else {
                    row[i] = raw == 0 ? Cell() : Cell::Int(int32_t(raw) - 0x8000);
                }
            }
            for (size_t i = 0; i < columns.size(); ++i) {
                if (!given[i] || !columns[i].IsBinary())
                    continue;
                std::string stream = BinaryStreamName(*table, row);
                if (!ReadChild(root, EncodeStreamName(stream, false), &row[i].text)) {
                    report.error = "the binary cell " + stream + " has no stream in the transform";
                    return false;
                }
                row[i].null = false;
            }
            Key key = table->KeyOf(row);
            auto it = table->rows.find(key);
            std::string which = name + " row " + KeyText(*table, row).substr(1);
            if (mask == 0) {
                if (it == table->rows.end())
                    Conflict(kSuppressDeleteMissingRow, "deletes " + which + ", which the package does not have");
                else
                    table->rows.erase(it);
            } else if (insert) {
                if (it != table->rows.end())
                    Conflict(kSuppressAddExistingRow, "adds " + which + ", which the package has already");
                table->rows[key] = row;
            } else if (it == table->rows.end()) {
                Conflict(kSuppressUpdateMissingRow, "changes " + which + ", which the package does not have");
                table->rows[key] = row;
            } else {
                for (size_t i = 0; i < columns.size(); ++i)
                    if (given[i])
                        it->second[i] = row[i];
            }
        }
        return true;
    }

    // New tables come first: _Tables names them, _Columns lays them out.
    bool AddTables(const std::string& tables, const std::string& columns)
    {
        for (size_t at = 0; at + 2 <= tables.size();) {
            uint32_t mask = Get(tables, at, 2);
            at += 2;
            if (at + size_t(pool.refWidth) > tables.size())
                break;
            std::string name;
            if (!String(Get(tables, at, pool.refWidth), &name))
                return false;
            at += size_t(pool.refWidth);
            if (mask == 0) {
                report.error = "it drops table " + name + ", which this tool does not accept";
                return false;
            }
            if (target.Find(name))
                Conflict(kSuppressAddExistingTable, "adds table " + name + ", which the package has already");
            else
                target.tables.push_back(Table{name, {}, {}});
        }
        size_t recordSize = 2 + size_t(pool.refWidth) * 2 + 4;
        for (size_t at = 0; at < columns.size(); at += recordSize) {
            if (at + recordSize > columns.size() || Get(columns, at, 2) != 0x0401) {
                report.error = "its _Columns changes are not column additions";
                return false;
            }
            std::string tableName, columnName;
            size_t p = at + 2;
            if (!String(Get(columns, p, pool.refWidth), &tableName))
                return false;
            p += size_t(pool.refWidth);
            uint32_t number = Get(columns, p, 2);
            p += 2;
            if (!String(Get(columns, p, pool.refWidth), &columnName))
                return false;
            p += size_t(pool.refWidth);
            int type = int(Get(columns, p, 2)) - 0x8000;
            Table* table = target.Find(tableName);
            if (!table) {
                report.error = "it adds column " + columnName + " to table " + tableName + ", which does not exist";
                return false;
            }
            size_t position = number ? size_t(number - 0x8000) : table->columns.size() + 1;
            if (position != table->columns.size() + 1 || !table->rows.empty()) {
                report.error = "it adds column " + columnName + " to table " + tableName +
                               " out of order or to a table with rows, which this tool does not accept";
                return false;
            }
            table->columns.push_back(Column{columnName, type});
        }
        return true;
    }
};

}  // namespace

TransformReport ApplyTransform(const std::string& path, const Database& base, Database* result)
{
    TransformReport report;
    CompoundFile file;
    if (!OpenCompound(path, &file, &report.error))
        return report;
    if (std::memcmp(file.classId, kTransformClass, 16) != 0) {
        report.error = std::memcmp(file.classId, kDatabaseClass, 16) == 0
                           ? "is a Windows Installer package, not a transform"
                           : "is a compound file without the transform's class";
        return report;
    }
    report.readable = true;
    std::string summaryBytes;
    if (ReadChild(file.root.get(), "\005SummaryInformation", &summaryBytes))
        ReadPropertySet(summaryBytes, &report.summary);

    std::string poolBytes, dataBytes;
    if (!ReadChild(file.root.get(), EncodeStreamName("_StringPool", true), &poolBytes) ||
        !ReadChild(file.root.get(), EncodeStreamName("_StringData", true), &dataBytes)) {
        report.error = "has no string pool";
        return report;
    }
    StringPool pool;
    if (!ParsePool(poolBytes, dataBytes, &pool, &report.error))
        return report;
    report.codepage = pool.codepage;
    if (!ValidCodepage(pool.codepage)) {
        report.error = "its string pool's code page " + std::to_string(pool.codepage) + " is not valid";
        return report;
    }

    Database target = base;
    Applier applier{file.root.get(), pool, target, report, report.summary.flags & 0xFFFF};
    std::vector<std::pair<std::string, std::string>> streams;
    std::string tables, columns;
    int count = gsf_infile_num_children(file.root.get());
    for (int i = 0; i < count; ++i) {
        const char* encoded = gsf_infile_name_by_index(file.root.get(), i);
        bool isTable = false;
        std::string name = DecodeStreamName(encoded ? encoded : "", &isTable);
        if (!isTable || name == "_StringPool" || name == "_StringData")
            continue;
        std::string data;
        Ref<GsfInput> child(gsf_infile_child_by_index(file.root.get(), i));
        if (!child || !ReadAll(child.get(), &data)) {
            report.error = "table " + name + "'s changes cannot be read";
            return report;
        }
        if (name == "_Tables")
            tables = data;
        else if (name == "_Columns")
            columns = data;
        else
            streams.push_back({name, data});
    }
    if (!applier.AddTables(tables, columns))
        return report;
    for (const auto& [name, data] : streams) {
        report.tables.push_back(name);
        if (!applier.ApplyTable(name, data))
            return report;
    }
    std::string before = base.Property("ProductLanguage");
    std::string after = target.Property("ProductLanguage");
    if (after != before)
        report.productLanguage = after;
    if (result)
        *result = std::move(target);
    return report;
}

}  // namespace stubmedia::msi
