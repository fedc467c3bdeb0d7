#include "pe_image.h"

#include <fstream>
#include <sstream>

namespace stubmedia {

namespace {

uint32_t Get16(const std::string& b, size_t at)
{
    return uint32_t(uint8_t(b[at])) | uint32_t(uint8_t(b[at + 1])) << 8;
}

uint32_t Get32(const std::string& b, size_t at)
{
    return Get16(b, at) | Get16(b, at + 2) << 16;
}

bool Has(const std::string& b, uint64_t at, uint64_t size)
{
    return at <= b.size() && size <= b.size() - at;
}

}  // namespace

bool ParsePe(std::string bytes, PeImage* image, std::string* error)
{
    *image = PeImage();
    if (!Has(bytes, 0, 0x40) || bytes[0] != 'M' || bytes[1] != 'Z') {
        *error = "no MZ header";
        return false;
    }
    uint32_t pe = Get32(bytes, 0x3C);
    if (!Has(bytes, pe, 24) || bytes.compare(pe, 4, std::string("PE\0\0", 4)) != 0) {
        *error = "no PE header";
        return false;
    }
    image->machine = uint16_t(Get16(bytes, pe + 4));
    uint32_t sectionCount = Get16(bytes, pe + 6);
    uint32_t optionalSize = Get16(bytes, pe + 20);
    uint32_t optional = pe + 24;
    if (!Has(bytes, optional, optionalSize) || optionalSize < 2) {
        *error = "optional header cut short";
        return false;
    }
    uint32_t magic = Get16(bytes, optional);
    uint32_t countAt = magic == 0x10B ? 92 : magic == 0x20B ? 108 : 0;
    if (countAt == 0 || optionalSize < countAt + 4) {
        *error = "unknown optional header";
        return false;
    }
    image->checksumOffset = optional + 64;
    image->dataDirCount = Get32(bytes, optional + countAt);
    image->dataDirOffset = optional + countAt + 4;
    if (uint64_t(image->dataDirCount) * 8 > optionalSize - countAt - 4) {
        *error = "data directories overrun the optional header";
        return false;
    }
    uint32_t table = optional + optionalSize;
    if (!Has(bytes, table, uint64_t(sectionCount) * 40)) {
        *error = "section table cut short";
        return false;
    }
    for (uint32_t i = 0; i < sectionCount; ++i) {
        uint32_t at = table + i * 40;
        PeSection s;
        s.virtualSize = Get32(bytes, at + 8);
        s.virtualAddress = Get32(bytes, at + 12);
        s.rawSize = Get32(bytes, at + 16);
        s.rawOffset = Get32(bytes, at + 20);
        image->sections.push_back(s);
    }
    image->bytes = std::move(bytes);
    return true;
}

bool ReadPeFile(const std::string& path, PeImage* image, std::string* error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot be read";
        return false;
    }
    std::ostringstream all;
    all << in.rdbuf();
    return ParsePe(all.str(), image, error);
}

PeDataDirectory DataDirectory(const PeImage& image, int index)
{
    PeDataDirectory d;
    if (uint32_t(index) < image.dataDirCount) {
        d.address = Get32(image.bytes, image.dataDirOffset + 8 * index);
        d.size = Get32(image.bytes, image.dataDirOffset + 8 * index + 4);
    }
    return d;
}

int64_t RvaToOffset(const PeImage& image, uint32_t rva, uint32_t size)
{
    for (const PeSection& s : image.sections) {
        uint64_t inFile = std::min(s.virtualSize ? s.virtualSize : s.rawSize, s.rawSize);
        if (rva < s.virtualAddress || uint64_t(rva) - s.virtualAddress + size > inFile)
            continue;
        uint64_t offset = uint64_t(s.rawOffset) + (rva - s.virtualAddress);
        if (!Has(image.bytes, offset, size))
            return -1;
        return int64_t(offset);
    }
    return -1;
}

bool ReadResources(const PeImage& image, std::vector<PeResource>* resources, std::string* error)
{
    resources->clear();
    PeDataDirectory dir = DataDirectory(image, kPeResourceDirectory);
    if (dir.size == 0)
        return true;
    int64_t base = RvaToOffset(image, dir.address, dir.size);
    if (base < 0) {
        *error = "the resource directory lies outside the file's sections";
        return false;
    }
    const std::string& b = image.bytes;
    // Type, name and language: three fixed levels, so a looping tree cannot recurse.
    struct Entry {
        uint32_t id;
        bool named;
        uint32_t target;
    };
    auto entries = [&](uint32_t offset, std::vector<Entry>* out) -> bool {
        out->clear();
        if (!Has(b, uint64_t(base) + offset, 16) || offset > dir.size)
            return false;
        uint32_t at = uint32_t(base) + offset;
        uint32_t count = Get16(b, at + 12) + Get16(b, at + 14);
        if (!Has(b, at + 16, uint64_t(count) * 8) || count > 4096)
            return false;
        for (uint32_t i = 0; i < count; ++i) {
            uint32_t name = Get32(b, at + 16 + 8 * i);
            out->push_back({name & 0x7FFFFFFF, (name & 0x80000000) != 0, Get32(b, at + 20 + 8 * i)});
        }
        return true;
    };
    std::vector<Entry> types, names, languages;
    if (!entries(0, &types)) {
        *error = "the resource directory is damaged";
        return false;
    }
    for (const Entry& t : types) {
        if (!(t.target & 0x80000000) || !entries(t.target & 0x7FFFFFFF, &names)) {
            *error = "a resource type entry is damaged";
            return false;
        }
        for (const Entry& n : names) {
            if (!(n.target & 0x80000000) || !entries(n.target & 0x7FFFFFFF, &languages)) {
                *error = "a resource name entry is damaged";
                return false;
            }
            for (const Entry& l : languages) {
                if ((l.target & 0x80000000) || !Has(b, uint64_t(base) + l.target, 16)) {
                    *error = "a resource data entry is damaged";
                    return false;
                }
                PeResource r;
                r.type = t.id;
                r.id = n.id;
                r.language = l.id;
                r.named = t.named || n.named;
                uint32_t rva = Get32(b, uint32_t(base) + l.target);
                r.size = Get32(b, uint32_t(base) + l.target + 4);
                int64_t offset = RvaToOffset(image, rva, r.size);
                if (offset < 0) {
                    *error = "resource data lies outside the file's sections";
                    return false;
                }
                r.offset = uint32_t(offset);
                resources->push_back(r);
            }
        }
    }
    return true;
}

uint32_t PeChecksum(const std::string& bytes, uint32_t checksumOffset)
{
    uint64_t sum = 0;
    for (size_t i = 0; i < bytes.size(); i += 2) {
        if (i == checksumOffset || i == checksumOffset + 2)
            continue;
        uint32_t word = uint8_t(bytes[i]);
        if (i + 1 < bytes.size())
            word |= uint32_t(uint8_t(bytes[i + 1])) << 8;
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return uint32_t(sum + bytes.size());
}

uint32_t StoredChecksum(const PeImage& image)
{
    return Get32(image.bytes, image.checksumOffset);
}

void StoreChecksum(PeImage& image, uint32_t checksum)
{
    for (int i = 0; i < 4; ++i)
        image.bytes[image.checksumOffset + i] = char(checksum >> (8 * i));
}

}  // namespace stubmedia
