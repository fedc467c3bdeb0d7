// `stubmedia image`: a medium folder into an ISO 9660 + Joliet image (CD,
// DVD) or a FAT image (USB stick), with every name and the volume label
// checked against the format before anything is written, and the written
// image read back and compared.
#pragma once

#include "iso_image.h"
#include "report.h"

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace stubmedia {

enum class ImageFormat { Iso, Fat };

struct ImageOptions {
    std::string mediumDir;
    std::string output;
    ImageFormat format = ImageFormat::Iso;
    std::optional<std::u16string> label;  // none: [autorun] label of the medium
    bool force = false;                   // replace an existing output file
};

struct ImageReport {
    Findings findings;
    std::u16string label;          // written into the image
    std::string labelSource;       // "--label" or "[autorun] label"
    std::u16string reportedLabel;  // what Windows reports for the drive
    std::string labelDescriptor;   // where Windows reads it
    bool labelMethod = false;
    std::optional<uint16_t> labelLanguage;  // the launcher's choice from reportedLabel
    std::string writer;
    uint64_t imageSize = 0;
    std::vector<ImageEntry> files;  // read back from the image
    bool written = false;
};

ImageReport MakeImage(const ImageOptions& options);

// Name and label rules of each format; empty when allowed, else why not.
std::string JolietNameProblem(const std::u16string& name);
std::string FatNameProblem(const std::u16string& name);
std::string IsoLabelProblem(const std::u16string& label);
std::string FatLabelProblem(const std::u16string& label);

// The files and label of an image as Windows sees them, whichever format.
struct ImageContents {
    bool ok = false;
    std::string error;
    ImageFormat format = ImageFormat::Iso;
    std::u16string label;
    std::vector<ImageEntry> entries;
};
// extractTo: where the files go (empty: only hashed).
ImageContents ReadImage(const std::string& image, const std::string& extractTo);
bool LooksLikeImage(const std::string& path);

}  // namespace stubmedia
