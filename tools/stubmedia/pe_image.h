// Just enough of the PE format for branding and signing setup.exe: the
// section table, the data directories, the resource tree and the checksum.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace stubmedia {

struct PeSection {
    uint32_t virtualAddress = 0;
    uint32_t virtualSize = 0;
    uint32_t rawOffset = 0;
    uint32_t rawSize = 0;
};

struct PeImage {
    std::string bytes;
    uint16_t machine = 0;
    uint32_t checksumOffset = 0;  // of the optional header's CheckSum field
    uint32_t dataDirOffset = 0;
    uint32_t dataDirCount = 0;
    std::vector<PeSection> sections;
};

enum PeDirectory { kPeResourceDirectory = 2, kPeCertificateDirectory = 4 };

struct PeDataDirectory {
    uint32_t address = 0;  // an RVA; a file offset for the certificate table
    uint32_t size = 0;
};

struct PeResource {
    uint32_t type = 0;
    uint32_t id = 0;
    uint32_t language = 0;
    bool named = false;  // the type or the name is a string, not a number
    uint32_t offset = 0;  // of the data in the file
    uint32_t size = 0;
};

constexpr uint32_t kRtIcon = 3;
constexpr uint32_t kRtGroupIcon = 14;
constexpr uint32_t kRtManifest = 24;

// false with a reason when the bytes are no PE image this code can follow.
bool ParsePe(std::string bytes, PeImage* image, std::string* error);
bool ReadPeFile(const std::string& path, PeImage* image, std::string* error);
PeDataDirectory DataDirectory(const PeImage& image, int index);
// File offset of size bytes at rva, or -1 when they do not lie in one section's file data.
int64_t RvaToOffset(const PeImage& image, uint32_t rva, uint32_t size);
// Every leaf of the resource tree; false when the tree is damaged.
bool ReadResources(const PeImage& image, std::vector<PeResource>* resources, std::string* error);
// The optional header's checksum of these bytes, as the image loader and
// the linker compute it.
uint32_t PeChecksum(const std::string& bytes, uint32_t checksumOffset);
uint32_t StoredChecksum(const PeImage& image);
void StoreChecksum(PeImage& image, uint32_t checksum);

}  // namespace stubmedia
