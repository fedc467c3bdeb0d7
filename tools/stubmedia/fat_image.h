// FAT images for USB sticks, over mtools (mformat, mcopy, mlabel) working
// on an image file.
#pragma once

#include "iso_image.h"

#include <cstdint>
#include <string>

namespace stubmedia {

struct FatWriteResult {
    bool ok = false;
    std::string error;
    uint64_t size = 0;
};

// The label goes into the root directory's volume-label entry (what
// Windows reports) and the boot sector.
FatWriteResult WriteFatImage(const std::string& folder, const std::string& output, const std::string& label);

// The files, hashed, and written under extractTo when it is not empty.
ImageRead ReadFatImage(const std::string& image, const std::string& extractTo);

struct FatLabel {
    bool ok = false;
    std::string error;
    std::string label;  // empty when the volume has none
};
FatLabel ReadFatLabel(const std::string& image);

// Whether the file starts like a FAT boot sector.
bool LooksLikeFat(const std::string& path);

}  // namespace stubmedia
