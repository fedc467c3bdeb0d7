#include "lzma_alone.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <lzma.h>

namespace stubmedia {

namespace {

struct FileCloser {
    void operator()(FILE* f) const
    {
        if (f)
            std::fclose(f);
    }
};
using File = std::unique_ptr<FILE, FileCloser>;

uint64_t FileLength(FILE* f)
{
    if (std::fseek(f, 0, SEEK_END) != 0)
        return 0;
    long long end = ftello(f);
    std::fseek(f, 0, SEEK_SET);
    return end < 0 ? 0 : uint64_t(end);
}

}  // namespace

LzmaFileInfo ReadLzmaFileInfo(const std::string& hostPath)
{
    LzmaFileInfo info;
    File f(std::fopen(hostPath.c_str(), "rb"));
    if (!f)
        return info;
    info.readable = true;
    info.fileLength = FileLength(f.get());
    unsigned char header[kLzmaHeaderSize];
    if (std::fread(header, 1, sizeof header, f.get()) != sizeof header)
        return info;
    info.headerComplete = true;
    info.properties = header[0];
    info.dictionarySize = uint32_t(header[1]) | uint32_t(header[2]) << 8 | uint32_t(header[3]) << 16 |
                          uint32_t(header[4]) << 24;
    info.sizeUnknown = true;
    for (int i = 0; i < 8; ++i) {
        info.declaredSize |= uint64_t(header[5 + i]) << (8 * i);
        if (header[5 + i] != 0xFF)
            info.sizeUnknown = false;
    }
    return info;
}

uint64_t ProbabilityBytes(uint8_t properties)
{
    unsigned lc = properties % 9, lp = (properties / 9) % 5;
    return 2 * (1846 + (uint64_t(768) << (lc + lp)));
}

uint64_t LauncherMemory(const LzmaFileInfo& info)
{
    uint64_t payload = info.fileLength > kLzmaHeaderSize ? info.fileLength - kLzmaHeaderSize : 0;
    return payload + (info.declaredSize & 0xFFFFFFFFull) + ProbabilityBytes(info.properties);
}

CompressResult CompressFile(const std::string& inputPath, const std::string& outputPath,
                            const CompressSettings& settings, const ProgressFn& progress)
{
    CompressResult result;
    File in(std::fopen(inputPath.c_str(), "rb"));
    if (!in) {
        result.error = "cannot open " + inputPath + ": " + std::strerror(errno);
        return result;
    }
    result.inputSize = FileLength(in.get());
    if (result.inputSize > kLargestDeclaredSize) {
        result.error = "is " + std::to_string(result.inputSize) +
                       " bytes; the launcher expands files below 4 GiB only";
        return result;
    }
    File out(std::fopen(outputPath.c_str(), "wb"));
    if (!out) {
        result.error = "cannot create " + outputPath + ": " + std::strerror(errno);
        return result;
    }

    // liblzma's raw LZMA1 encoder with the extended options leaves out the end
    // marker: the size in the header ends the stream, as the launcher reads it.
    lzma_options_lzma options;
    if (lzma_lzma_preset(&options, uint32_t(settings.level))) {
        result.error = "the encoder refused its settings (level " + std::to_string(settings.level) + ")";
        return result;
    }
    options.ext_flags = 0;
    // No larger window than the file needs: less memory here and in decoders
    // that size their window from the header (the SDK's rounding).
    for (uint32_t i = 12; i < 31; ++i) {
        if (result.inputSize <= (uint64_t(2) << i)) {
            options.dict_size = std::min(options.dict_size, uint32_t(2) << i);
            break;
        }
        if (result.inputSize <= (uint64_t(3) << i)) {
            options.dict_size = std::min(options.dict_size, uint32_t(3) << i);
            break;
        }
    }
    lzma_filter filters[] = {{LZMA_FILTER_LZMA1EXT, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_stream stream = LZMA_STREAM_INIT;
    struct StreamGuard {
        lzma_stream* stream;
        ~StreamGuard() { lzma_end(stream); }
    } guard{&stream};
    lzma_ret status = lzma_raw_encoder(&stream, filters);
    if (status != LZMA_OK) {
        result.error = status == LZMA_MEM_ERROR ? "out of memory for the encoder"
                                                : "the encoder refused its settings (level " +
                                                      std::to_string(settings.level) + ")";
        return result;
    }

    unsigned char header[kLzmaHeaderSize] = {};
    result.properties = uint8_t((options.pb * 5 + options.lp) * 9 + options.lc);
    result.dictionarySize = options.dict_size;
    header[0] = result.properties;
    for (int i = 0; i < 4; ++i)
        header[1 + i] = (unsigned char)(options.dict_size >> (8 * i));
    for (int i = 0; i < 8; ++i)
        header[5 + i] = (unsigned char)(result.inputSize >> (8 * i));
    if (std::fwrite(header, 1, sizeof header, out.get()) != sizeof header) {
        result.error = "cannot write " + outputPath;
        return result;
    }

    if (progress)
        progress(0, result.inputSize);
    constexpr size_t kBuffer = 1 << 20;
    std::unique_ptr<uint8_t[]> inBuffer(new uint8_t[kBuffer]), outBuffer(new uint8_t[kBuffer]);
    uint64_t read = 0, written = sizeof header, reported = 0;
    lzma_action action = LZMA_RUN;
    stream.next_out = outBuffer.get();
    stream.avail_out = kBuffer;
    for (;;) {
        if (stream.avail_in == 0 && action == LZMA_RUN) {
            size_t n = std::fread(inBuffer.get(), 1, kBuffer, in.get());
            if (n == 0 && std::ferror(in.get())) {
                result.error = "cannot read " + inputPath;
                return result;
            }
            read += n;
            stream.next_in = inBuffer.get();
            stream.avail_in = n;
            if (n < kBuffer)
                action = LZMA_FINISH;
            if (progress && read - reported >= (4u << 20)) {
                progress(read, result.inputSize);
                reported = read;
            }
        }
        status = lzma_code(&stream, action);
        if (stream.avail_out == 0 || status == LZMA_STREAM_END) {
            size_t n = kBuffer - stream.avail_out;
            if (std::fwrite(outBuffer.get(), 1, n, out.get()) != n) {
                result.error = "cannot write " + outputPath;
                return result;
            }
            written += n;
            stream.next_out = outBuffer.get();
            stream.avail_out = kBuffer;
        }
        if (status == LZMA_STREAM_END)
            break;
        if (status != LZMA_OK) {
            result.error = status == LZMA_MEM_ERROR ? "out of memory while compressing"
                                                    : "the encoder failed (" + std::to_string(int(status)) + ")";
            return result;
        }
    }
    // The header already carries the size; a file that changed meanwhile would lie.
    if (read != result.inputSize) {
        result.error = inputPath + " changed while it was compressed";
        return result;
    }
    if (std::fflush(out.get()) != 0 || std::ferror(out.get())) {
        result.error = "cannot write " + outputPath;
        return result;
    }
    if (progress)
        progress(result.inputSize, result.inputSize);
    result.outputSize = written;
    result.ok = true;
    return result;
}

}  // namespace stubmedia
