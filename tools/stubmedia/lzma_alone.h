// The LZMA-alone container as the launcher expands it: writing it with
// liblzma's encoder (size in the header, no end marker) and reading its
// header, with what one expansion costs the launcher in memory.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace stubmedia {

constexpr uint64_t kLzmaHeaderSize = 13;
constexpr unsigned kFirstBadPropertiesByte = 9 * 5 * 5;
// The launcher keeps the declared size in 32 bits and refuses anything larger.
constexpr uint64_t kLargestDeclaredSize = 0xFFFFFFFFull;
// The expansion holds payload, output and decoder state at once in a 32-bit
// process. Measured with zero-filled packages under Wine: the
// large-address-aware setup.exe on 64-bit Windows (4 GiB of addresses)
// staged 1856 MiB and not 1888 MiB; the same program without the mark, as
// on 32-bit Windows (2 GiB), staged 1024 MiB and not 1056 MiB.
constexpr uint64_t kLauncherLargestExpansion = 1856ull << 20;
constexpr uint64_t kLauncherLargestExpansion32 = 1024ull << 20;

struct LzmaFileInfo {
    bool readable = false;
    uint64_t fileLength = 0;
    bool headerComplete = false;  // at least 13 bytes
    uint8_t properties = 0;
    uint32_t dictionarySize = 0;
    uint64_t declaredSize = 0;
    bool sizeUnknown = false;  // all eight size bytes 0xFF
};

LzmaFileInfo ReadLzmaFileInfo(const std::string& hostPath);

// Decoder state for a properties byte: 1846 + (768 << (lc + lp)) 16-bit entries.
uint64_t ProbabilityBytes(uint8_t properties);
// Compressed payload + declared output + decoder state, all held at once.
uint64_t LauncherMemory(const LzmaFileInfo& info);

struct CompressSettings {
    int level = 6;  // 0..9, the presets of xz and liblzma
};

struct CompressResult {
    bool ok = false;
    std::string error;
    uint64_t inputSize = 0;
    uint64_t outputSize = 0;
    uint8_t properties = 0;
    uint32_t dictionarySize = 0;
};

// Called now and then with the bytes read so far and the input's size.
using ProgressFn = std::function<void(uint64_t done, uint64_t total)>;

// Writes input as an LZMA-alone file with the size in its header. Refuses
// inputs of 4 GiB and more, which the launcher cannot expand.
CompressResult CompressFile(const std::string& inputPath, const std::string& outputPath,
                            const CompressSettings& settings, const ProgressFn& progress);

}  // namespace stubmedia
