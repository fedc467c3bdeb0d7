#include "iso_image.h"

#include "sha256.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>

// The burn_source record without libburn itself.
#define LIBISOFS_WITHOUT_LIBBURN
extern "C" {
#include <libisofs/libisofs.h>
}

namespace fs = std::filesystem;

namespace stubmedia {

namespace {

constexpr size_t kSector = 2048;

bool InitLibrary(std::string* error)
{
    static std::once_flag once;
    static int result = 0;
    std::call_once(once, [] {
        result = iso_init();
        if (result >= 0) {
            // Messages come back as error codes; nothing is printed behind the tool's back.
            iso_set_msgs_severities(const_cast<char*>("NEVER"), const_cast<char*>("NEVER"),
                                    const_cast<char*>("stubmedia"));
            // Names are UTF-8 on both sides, whatever the locale says.
            iso_set_local_charset(const_cast<char*>("UTF-8"), 0);
        }
    });
    if (result < 0)
        *error = std::string("libisofs does not start: ") + iso_error_to_msg(result);
    return result >= 0;
}

std::string LibError(const std::string& what, int code)
{
    return what + ": " + iso_error_to_msg(code);
}

// Sorted, so that the same folder gives the same image.
std::vector<fs::directory_entry> SortedEntries(const fs::path& dir)
{
    std::vector<fs::directory_entry> entries;
    for (const auto& entry : fs::directory_iterator(dir))
        entries.push_back(entry);
    std::sort(entries.begin(), entries.end(),
              [](const fs::directory_entry& a, const fs::directory_entry& b) { return a.path() < b.path(); });
    return entries;
}

int AddTree(IsoImage* image, IsoDir* parent, const fs::path& dir, std::string* error)
{
    for (const auto& entry : SortedEntries(dir)) {
        std::string name = entry.path().filename().string();
        int result;
        if (entry.is_directory()) {
            IsoDir* child = nullptr;
            result = iso_tree_add_new_dir(parent, name.c_str(), &child);
            if (result >= 0)
                result = AddTree(image, child, entry.path(), error);
            if (result < 0 && error->empty())
                *error = LibError(entry.path().string(), result);
        } else if (entry.is_regular_file()) {
            std::string source = fs::canonical(entry.path()).string();
            result = iso_tree_add_new_node(image, parent, name.c_str(), source.c_str(), nullptr);
            if (result < 0)
                *error = LibError(entry.path().string(), result);
        } else {
            continue;
        }
        if (result < 0)
            return result;
    }
    return 1;
}

std::string Trim(std::string text)
{
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0'))
        text.pop_back();
    return text;
}

}  // namespace

IsoWriteResult WriteIsoImage(const std::string& folder, const std::string& output, const std::string& volumeId)
{
    IsoWriteResult result;
    if (!InitLibrary(&result.error))
        return result;
    IsoImage* image = nullptr;
    int rc = iso_image_new(volumeId.c_str(), &image);
    if (rc < 0) {
        result.error = LibError("new image", rc);
        return result;
    }
    IsoWriteOpts* opts = nullptr;
    struct burn_source* source = nullptr;
    std::FILE* out = nullptr;
    std::error_code ignored;
    do {
        std::string error;
        if (AddTree(image, iso_image_get_root(image), folder, &error) < 0) {
            result.error = error;
            break;
        }
        // Rock Ridge for Linux readers, Joliet for Windows; level 3 lets files pass 4 GiB.
        rc = iso_write_opts_new(&opts, 1);
        if (rc >= 0)
            rc = iso_write_opts_set_joliet(opts, 1);
        if (rc >= 0)
            rc = iso_write_opts_set_iso_level(opts, 3);
        if (rc < 0) {
            result.error = LibError("image options", rc);
            break;
        }
        rc = iso_image_create_burn_source(image, opts, &source);
        if (rc < 0) {
            result.error = LibError("image layout", rc);
            break;
        }
        out = std::fopen(output.c_str(), "wb");
        if (!out) {
            result.error = output + ": " + std::strerror(errno);
            break;
        }
        unsigned char buffer[kSector];
        int got;
        bool written = true;
        while ((got = source->read_xt(source, buffer, kSector)) > 0) {
            if (std::fwrite(buffer, 1, size_t(got), out) != size_t(got)) {
                written = false;
                break;
            }
            result.size += uint64_t(got);
        }
        if (std::fclose(out) != 0)
            written = false;
        out = nullptr;
        if (got < 0) {
            result.error = "libisofs failed while writing the image (a source file unreadable or changed?)";
        } else if (!written) {
            result.error = output + ": cannot be written (disk full?)";
        } else {
            result.ok = true;
        }
    } while (false);
    if (out)
        std::fclose(out);
    if (source) {
        // Ends libisofs' writer thread before the image goes.
        source->free_data(source);
        std::free(source);
    }
    if (opts)
        iso_write_opts_free(opts);
    iso_image_unref(image);
    if (!result.ok)
        fs::remove(output, ignored);
    return result;
}

namespace {

struct Reader {
    std::string extractTo;
    std::vector<ImageEntry>* entries;
    std::string error;

    bool Walk(IsoDir* dir, const std::string& prefix)
    {
        IsoDirIter* iter = nullptr;
        int rc = iso_dir_get_children(dir, &iter);
        if (rc < 0) {
            error = LibError(prefix.empty() ? "/" : prefix, rc);
            return false;
        }
        IsoNode* node = nullptr;
        bool ok = true;
        while (ok && iso_dir_iter_next(iter, &node) == 1) {
            ImageEntry entry;
            entry.path = prefix + iso_node_get_name(node);
            enum IsoNodeType type = iso_node_get_type(node);
            if (type == LIBISO_DIR) {
                entry.directory = true;
                entries->push_back(entry);
                if (!extractTo.empty())
                    fs::create_directories(fs::path(extractTo) / entry.path);
                ok = Walk(reinterpret_cast<IsoDir*>(node), entry.path + "/");
            } else if (type == LIBISO_FILE) {
                ok = ReadFile(reinterpret_cast<IsoFile*>(node), entry);
                if (ok)
                    entries->push_back(entry);
            }
        }
        iso_dir_iter_free(iter);
        return ok;
    }

    bool ReadFile(IsoFile* file, ImageEntry& entry)
    {
        IsoStream* stream = iso_file_get_stream(file);
        int rc = iso_stream_open(stream);
        if (rc < 0) {
            error = LibError(entry.path, rc);
            return false;
        }
        std::ofstream out;
        if (!extractTo.empty()) {
            out.open(fs::path(extractTo) / entry.path, std::ios::binary | std::ios::trunc);
            if (!out) {
                iso_stream_close(stream);
                error = (fs::path(extractTo) / entry.path).string() + ": cannot be written";
                return false;
            }
        }
        Sha256 hash;
        std::vector<char> buffer(1 << 20);
        int got;
        while ((got = iso_stream_read(stream, buffer.data(), buffer.size())) > 0) {
            hash.Update(buffer.data(), size_t(got));
            entry.size += uint64_t(got);
            if (out.is_open())
                out.write(buffer.data(), got);
        }
        iso_stream_close(stream);
        if (got < 0) {
            error = LibError(entry.path + " cannot be read from the image", got);
            return false;
        }
        if (out.is_open() && !out) {
            error = (fs::path(extractTo) / entry.path).string() + ": cannot be written (disk full?)";
            return false;
        }
        entry.sha256 = hash.HexDigest();
        return true;
    }
};

}  // namespace

ImageRead ReadIsoImage(const std::string& image, const std::string& extractTo)
{
    ImageRead result;
    if (!InitLibrary(&result.error))
        return result;
    IsoDataSource* source = nullptr;
    int rc = iso_data_source_new_from_file(image.c_str(), &source);
    if (rc < 0) {
        result.error = LibError(image, rc);
        return result;
    }
    IsoReadOpts* opts = nullptr;
    IsoImage* iso = nullptr;
    IsoReadImageFeatures* features = nullptr;
    rc = iso_read_opts_new(&opts, 0);
    // Windows reads the Joliet tree and ignores Rock Ridge.
    if (rc >= 0)
        rc = iso_read_opts_set_no_rockridge(opts, 1);
    if (rc >= 0)
        rc = iso_read_opts_set_preferjoliet(opts, 1);
    if (rc >= 0)
        rc = iso_image_new("", &iso);
    if (rc >= 0)
        rc = iso_image_import(iso, source, opts, &features);
    if (rc < 0) {
        result.error = LibError(image + " is no readable ISO 9660 image", rc);
    } else {
        if (!extractTo.empty())
            fs::create_directories(extractTo);
        Reader reader{extractTo, &result.entries, std::string()};
        result.ok = reader.Walk(iso_image_get_root(iso), "");
        result.error = reader.error;
        std::sort(result.entries.begin(), result.entries.end(),
                  [](const ImageEntry& a, const ImageEntry& b) { return a.path < b.path; });
    }
    if (features)
        iso_read_image_features_destroy(features);
    if (iso)
        iso_image_unref(iso);
    if (opts)
        iso_read_opts_free(opts);
    iso_data_source_unref(source);
    return result;
}

IsoVolumeIds ReadIsoVolumeIds(const std::string& image)
{
    IsoVolumeIds ids;
    std::ifstream in(image, std::ios::binary);
    if (!in) {
        ids.error = image + ": cannot be read";
        return ids;
    }
    bool primary = false;
    // The descriptor set starts at sector 16 and ends with type 255.
    for (int sector = 16; sector < 16 + 64; ++sector) {
        unsigned char d[kSector];
        in.seekg(std::streamoff(sector) * kSector);
        if (!in.read(reinterpret_cast<char*>(d), kSector))
            break;
        if (std::memcmp(d + 1, "CD001", 5) != 0)
            break;
        if (d[0] == 255)
            break;
        if (d[0] == 1 && !primary) {
            primary = true;
            ids.primary = Trim(std::string(reinterpret_cast<char*>(d + 40), 32));
        } else if (d[0] == 2 && d[88] == '%' && d[89] == '/' && (d[90] == '@' || d[90] == 'C' || d[90] == 'E')) {
            ids.joliet = true;
            std::u16string id;
            for (int i = 0; i < 32; i += 2)
                id += char16_t((d[40 + i] << 8) | d[41 + i]);
            while (!id.empty() && (id.back() == u' ' || id.back() == 0))
                id.pop_back();
            ids.jolietId = id;
        }
    }
    ids.ok = primary;
    if (!primary)
        ids.error = image + " has no ISO 9660 primary volume descriptor";
    return ids;
}

bool LooksLikeIso(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    char d[6] = {};
    in.seekg(16 * kSector);
    return in.read(d, 6) && std::memcmp(d + 1, "CD001", 5) == 0;
}

}  // namespace stubmedia
