// ISO 9660 images with Joliet names, over libisofs: writing a folder into an
// image, and reading an image's files and volume labels back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace stubmedia {

struct IsoWriteResult {
    bool ok = false;
    std::string error;
    uint64_t size = 0;
};

// volumeId goes into both the primary and the Joliet volume descriptor; the
// caller has checked it against both.
IsoWriteResult WriteIsoImage(const std::string& folder, const std::string& output, const std::string& volumeId);

struct ImageEntry {
    std::string path;  // relative, '/' between the parts, as the image names it
    bool directory = false;
    uint64_t size = 0;
    std::string sha256;  // hex, files only
};

struct ImageRead {
    bool ok = false;
    std::string error;
    std::vector<ImageEntry> entries;  // sorted by path
};

// The tree that Windows reads (Joliet when present), each file hashed and,
// when extractTo is not empty, written under that folder.
ImageRead ReadIsoImage(const std::string& image, const std::string& extractTo);

struct IsoVolumeIds {
    bool ok = false;
    std::string error;
    std::string primary;      // the primary descriptor's volume identifier, trailing spaces cut
    bool joliet = false;      // a Joliet supplementary descriptor is present
    std::u16string jolietId;  // its volume identifier, trailing spaces cut
};

// Straight from the volume descriptors: the label each one carries.
IsoVolumeIds ReadIsoVolumeIds(const std::string& image);

// Whether the file starts like an ISO 9660 image.
bool LooksLikeIso(const std::string& path);

}  // namespace stubmedia
