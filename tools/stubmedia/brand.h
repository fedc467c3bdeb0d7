// `stubmedia brand` and `pack --icon`: the product's icon in place of the
// launcher's own. The launcher's icon group 107 holds nine images whose
// sizes in bytes follow from their dimensions and depths, so the product's
// images overwrite them where they lie: no resource is added, moved or
// renamed, and the same inputs give the same bytes.
#pragma once

#include "pe_image.h"
#include "report.h"

#include <string>
#include <vector>

namespace stubmedia {

struct IconSlot {
    int size;  // pixels, square
    int bpp;
};
// RT_ICON 1..9 of group 107, in this order.
extern const IconSlot kIconSlots[9];
constexpr uint32_t kIconGroupId = 107;
constexpr uint32_t kResourceLanguage = 1033;

// Header, full palette (up to 8 bpp), colour bits and the AND mask.
uint32_t IconImageBytes(const IconSlot& slot);
std::string IconSlotName(const IconSlot& slot);  // "48x48 at 4 bpp"

struct ProductIcon {
    std::vector<std::string> images;  // one per slot, each IconImageBytes long
    std::vector<std::string> unused;  // images of the file that no slot takes
};

// where names the file in findings. A refusal lists every slot that has no
// usable image and says how to make one.
bool ParseProductIcon(const std::string& bytes, const std::string& where, ProductIcon* icon, Findings& findings);
bool ReadProductIcon(const std::string& path, ProductIcon* icon, Findings& findings);

// Overwrites the nine images of image's icon group; false with an error
// when the program does not carry the launcher's icon layout or is signed.
bool BrandImage(PeImage& image, const ProductIcon& icon, const std::string& where, Findings& findings);

struct BrandReport {
    Findings findings;
    std::vector<std::string> unused;
    bool written = false;
};

BrandReport BrandSetupExe(const std::string& setupExe, const std::string& iconPath, const std::string& output);

}  // namespace stubmedia
