// `stubmedia transform`: a language transform made from two builds of one
// package, checked by applying it back before it is kept.
#pragma once

#include "report.h"

#include <string>
#include <vector>

namespace stubmedia {

struct TransformOptions {
    std::string base;       // the package the medium carries
    std::string localized;  // the same product built for one language
    std::string output;     // e.g. 1031.mst
};

struct TransformReport {
    Findings findings;
    bool written = false;
    std::string language;             // ProductLanguage after the transform
    std::vector<std::string> changes;  // per table
};

TransformReport MakeLanguageTransform(const TransformOptions& options);

}  // namespace stubmedia
