// The medium's manifest: every file with its size and SHA-256, written by
// pack into a file the launcher never reads, and `stubmedia verify`, which
// checks a folder, a mounted disc or stick, an image or a device against
// it. LZMA-alone files carry no checksum: this is the one guard against a
// bad burn or copy.
#pragma once

#include "image.h"
#include "report.h"

#include <cstdint>
#include <string>
#include <vector>

namespace stubmedia {

constexpr char kManifestName[] = "stubmedia-manifest.txt";

struct ManifestEntry {
    std::string path;  // relative, '/' between the parts
    uint64_t size = 0;
    std::string sha256;
};

// Records every file of the folder but the manifest itself; false (with a
// finding) when it cannot.
bool WriteManifest(const std::string& mediumDir, Findings& findings);

// Parses the manifest's text; false with the line's number in error.
bool ParseManifest(const std::string& text, std::vector<ManifestEntry>* entries, std::string* error);

struct VerifyReport {
    Findings findings;
    std::string kind;  // "folder", "ISO 9660 image", "FAT image"
    std::u16string label;  // images only
    std::vector<ManifestEntry> expected;
    std::vector<std::string> missing, extra, damaged;
    uint64_t checkedBytes = 0;
    bool ok = false;  // the manifest was read and every file matches
};

VerifyReport VerifyMedium(const std::string& target);

}  // namespace stubmedia
