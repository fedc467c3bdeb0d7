#include "brand.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace stubmedia {

const IconSlot kIconSlots[9] = {{48, 4}, {32, 4}, {16, 4}, {48, 8}, {32, 8}, {16, 8}, {48, 32}, {32, 32}, {16, 32}};

namespace {

// ImageMagick scales and reduces the colours, icoutils writes the images
// at the depths asked for.
const char kIconRecipe[] =
    "make it from a square PNG with ImageMagick and icoutils: for s in 48 32 16; do convert logo.png -resize "
    "${s}x${s} p$s.png; convert p$s.png -channel A -threshold 50% +channel -colors 15 PNG8:p$s-4.png; convert "
    "p$s.png -channel A -threshold 50% +channel -colors 255 PNG8:p$s-8.png; done; icotool -c -o product.ico -b 4 "
    "p48-4.png p32-4.png p16-4.png -b 8 p48-8.png p32-8.png p16-8.png -b 32 p48.png p32.png p16.png";

uint32_t Get16(const std::string& b, size_t at)
{
    return uint32_t(uint8_t(b[at])) | uint32_t(uint8_t(b[at + 1])) << 8;
}

uint32_t Get32(const std::string& b, size_t at)
{
    return Get16(b, at) | Get16(b, at + 2) << 16;
}

uint32_t Be32(const std::string& b, size_t at)
{
    return uint32_t(uint8_t(b[at])) << 24 | uint32_t(uint8_t(b[at + 1])) << 16 | uint32_t(uint8_t(b[at + 2])) << 8 |
           uint32_t(uint8_t(b[at + 3]));
}

void Put32(std::string& b, size_t at, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = char(value >> (8 * i));
}

uint32_t Stride(int width, int bpp)
{
    return (uint32_t(width) * uint32_t(bpp) + 31) / 32 * 4;
}

uint32_t FullPalette(int bpp)
{
    return bpp <= 8 ? 1u << bpp : 0;
}

int SlotIndex(int size, int bpp)
{
    for (int i = 0; i < 9; ++i)
        if (kIconSlots[i].size == size && kIconSlots[i].bpp == bpp)
            return i;
    return -1;
}

std::string ReadAll(const std::string& path, bool* ok)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    *ok = bool(in) || in.eof();
    return all.str();
}

// One image of the icon file as a slot's DIB: the palette padded to its
// full length (biClrUsed 0), so its size is the slot's. Empty with a
// description of the image when it does not fit a slot.
std::string SlotImage(const std::string& data, int* slot, std::string* described)
{
    *slot = -1;
    if (data.size() >= 24 && data.compare(0, 8, "\x89PNG\r\n\x1a\n") == 0) {
        *described = std::to_string(Be32(data, 16)) + "x" + std::to_string(Be32(data, 20)) + " PNG";
        return std::string();
    }
    if (data.size() < 40 || Get32(data, 0) != 40) {
        *described = "an image without a bitmap header";
        return std::string();
    }
    int width = int(Get32(data, 4));
    int height = int(Get32(data, 8));
    int bpp = int(Get16(data, 14));
    uint32_t compression = Get32(data, 16);
    uint32_t used = Get32(data, 32);
    *described = std::to_string(width) + "x" + std::to_string(height / 2) + " at " + std::to_string(bpp) + " bpp";
    if (Get16(data, 12) != 1 || height != 2 * width || compression != 0) {
        *described += compression != 0 ? " (compressed bitmap)" : " (malformed bitmap header)";
        return std::string();
    }
    int index = SlotIndex(width, bpp);
    if (index < 0)
        return std::string();
    uint32_t full = FullPalette(bpp);
    uint32_t palette = bpp <= 8 && used == 0 ? full : used;
    if (bpp <= 8 && used > full) {
        *described += " (palette longer than its depth allows)";
        return std::string();
    }
    uint32_t bits = (Stride(width, bpp) + Stride(width, 1)) * uint32_t(width);
    uint64_t needed = 40 + uint64_t(palette) * 4 + bits;
    if (data.size() < needed) {
        *described += " (cut short: no room for its pixels and mask)";
        return std::string();
    }
    std::string image = data.substr(0, 40);
    Put32(image, 32, 0);  // biClrUsed: the full palette follows
    Put32(image, 36, 0);  // biClrImportant: all of it
    std::string colours = data.substr(40, std::min(palette, full) * 4);
    colours.resize(full * 4, '\0');
    image += colours;
    image += data.substr(40 + size_t(palette) * 4, bits);
    *slot = index;
    return image;
}

}  // namespace

uint32_t IconImageBytes(const IconSlot& slot)
{
    return 40 + FullPalette(slot.bpp) * 4 + (Stride(slot.size, slot.bpp) + Stride(slot.size, 1)) * slot.size;
}

std::string IconSlotName(const IconSlot& slot)
{
    return std::to_string(slot.size) + "x" + std::to_string(slot.size) + " at " + std::to_string(slot.bpp) + " bpp";
}

bool ParseProductIcon(const std::string& bytes, const std::string& where, ProductIcon* icon, Findings& findings)
{
    *icon = ProductIcon();
    if (bytes.size() < 6 || Get16(bytes, 0) != 0 || Get16(bytes, 2) != 1) {
        findings.Error("icon-not-ico", where, "is not an icon file (.ico); " + std::string(kIconRecipe));
        return false;
    }
    uint32_t count = Get16(bytes, 4);
    if (bytes.size() < 6 + uint64_t(count) * 16) {
        findings.Error("icon-damaged", where, "its directory of images is cut short");
        return false;
    }
    std::vector<std::string> slots(9);
    std::vector<std::string> found;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t size = Get32(bytes, 6 + 16 * i + 8);
        uint32_t offset = Get32(bytes, 6 + 16 * i + 12);
        if (offset > bytes.size() || size > bytes.size() - offset) {
            findings.Error("icon-damaged", where,
                           "image " + std::to_string(i + 1) + " lies beyond the end of the file");
            return false;
        }
        int slot = -1;
        std::string described;
        std::string image = SlotImage(bytes.substr(offset, size), &slot, &described);
        found.push_back(described);
        if (slot >= 0 && slots[slot].empty())
            slots[slot] = image;
        else
            icon->unused.push_back(described);
    }
    std::string missing;
    for (int i = 0; i < 9; ++i)
        if (slots[i].empty())
            missing += (missing.empty() ? "" : ", ") + IconSlotName(kIconSlots[i]);
    if (!missing.empty()) {
        std::string has;
        for (const std::string& f : found)
            has += (has.empty() ? "" : ", ") + f;
        findings.Error("icon-images-missing", where,
                       "lacks " + missing + " as uncompressed bitmaps (the launcher's icon has nine: 48, 32 and 16 "
                           "pixels at 4, 8 and 32 bits per pixel; PNG images do not count); it holds " +
                           (has.empty() ? std::string("no image") : has) + "; " + kIconRecipe);
        return false;
    }
    icon->images = slots;
    return true;
}

bool ReadProductIcon(const std::string& path, ProductIcon* icon, Findings& findings)
{
    bool ok = false;
    std::string bytes = ReadAll(path, &ok);
    if (!ok) {
        findings.Error("icon-unreadable", path, "cannot be read");
        return false;
    }
    return ParseProductIcon(bytes, path, icon, findings);
}

bool BrandImage(PeImage& image, const ProductIcon& icon, const std::string& where, Findings& findings)
{
    if (DataDirectory(image, kPeCertificateDirectory).size != 0) {
        findings.Error("brand-signed", where,
                       "is signed, and a new icon would break the signature: brand the unsigned launcher, then sign");
        return false;
    }
    std::vector<PeResource> resources;
    std::string error;
    if (!ReadResources(image, &resources, &error)) {
        findings.Error("brand-resources", where, error);
        return false;
    }
    auto find = [&](uint32_t type, uint32_t id) -> const PeResource* {
        for (const PeResource& r : resources)
            if (!r.named && r.type == type && r.id == id && r.language == kResourceLanguage)
                return &r;
        return nullptr;
    };
    const std::string notLauncher = "does not carry the launcher's icon (group 107 with nine images, language 1033): ";
    const PeResource* group = find(kRtGroupIcon, kIconGroupId);
    if (!group || group->size != 6 + 14 * 9 || Get16(image.bytes, group->offset + 4) != 9) {
        findings.Error("brand-not-launcher", where, notLauncher + "no such group");
        return false;
    }
    for (int i = 0; i < 9; ++i) {
        const IconSlot& slot = kIconSlots[i];
        uint32_t entry = group->offset + 6 + 14 * i;
        const PeResource* r = find(kRtIcon, uint32_t(i + 1));
        bool matches = uint8_t(image.bytes[entry]) == slot.size && uint8_t(image.bytes[entry + 1]) == slot.size &&
                       int(Get16(image.bytes, entry + 6)) == slot.bpp &&
                       Get32(image.bytes, entry + 8) == IconImageBytes(slot) &&
                       Get16(image.bytes, entry + 12) == uint32_t(i + 1);
        if (!matches || !r || r->size != IconImageBytes(slot)) {
            findings.Error("brand-not-launcher", where,
                           notLauncher + "image " + std::to_string(i + 1) + " is not " + IconSlotName(slot));
            return false;
        }
    }
    for (int i = 0; i < 9; ++i) {
        const PeResource* r = find(kRtIcon, uint32_t(i + 1));
        image.bytes.replace(r->offset, r->size, icon.images[i]);
    }
    // A zero checksum is not checked by the loader; any other must stay right.
    if (StoredChecksum(image) != 0)
        StoreChecksum(image, PeChecksum(image.bytes, image.checksumOffset));
    return true;
}

BrandReport BrandSetupExe(const std::string& setupExe, const std::string& iconPath, const std::string& output)
{
    BrandReport report;
    ProductIcon icon;
    if (!ReadProductIcon(iconPath, &icon, report.findings))
        return report;
    report.unused = icon.unused;
    PeImage image;
    std::string error;
    if (!ReadPeFile(setupExe, &image, &error)) {
        report.findings.Error("brand-not-program", setupExe, "is not a Windows program: " + error);
        return report;
    }
    if (!BrandImage(image, icon, setupExe, report.findings))
        return report;
    // Written beside the target and renamed, so a failed write leaves no half program.
    std::string partial = output + ".partial";
    {
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        out.write(image.bytes.data(), std::streamsize(image.bytes.size()));
        if (!out) {
            std::remove(partial.c_str());
            report.findings.Error("brand-write", output, "cannot be written");
            return report;
        }
    }
    std::error_code ignored;
    std::filesystem::permissions(partial, std::filesystem::status(setupExe, ignored).permissions(), ignored);
    if (std::rename(partial.c_str(), output.c_str()) != 0) {
        std::remove(partial.c_str());
        report.findings.Error("brand-write", output, "cannot be written");
        return report;
    }
    for (const std::string& u : icon.unused)
        report.findings.Note("icon-image-unused", iconPath, u + " is not one of the nine images and is left out");
    report.written = true;
    return report;
}

}  // namespace stubmedia
