#include "lzma_alone.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

extern "C" {
#include <LzmaEnc.h>
}

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

void* SdkAlloc(void*, size_t size) { return std::malloc(size); }
void SdkFree(void*, void* address) { std::free(address); }
ISzAlloc sdkAlloc = {SdkAlloc, SdkFree};

struct InStream {
    ISeqInStream vt;
    FILE* file;
    uint64_t read;
    bool failed;
};

SRes ReadInput(void* p, void* buffer, size_t* size)
{
    InStream* in = static_cast<InStream*>(p);
    size_t n = std::fread(buffer, 1, *size, in->file);
    *size = n;
    in->read += n;
    if (n == 0 && std::ferror(in->file)) {
        in->failed = true;
        return SZ_ERROR_READ;
    }
    return SZ_OK;
}

struct OutStream {
    ISeqOutStream vt;
    FILE* file;
    uint64_t written;
};

size_t WriteOutput(void* p, const void* buffer, size_t size)
{
    OutStream* out = static_cast<OutStream*>(p);
    size_t n = std::fwrite(buffer, 1, size, out->file);
    out->written += n;
    return n;
}

struct Progress {
    ICompressProgress vt;
    const ProgressFn* callback;
    uint64_t total;
};

SRes ReportProgress(void* p, UInt64 inSize, UInt64)
{
    Progress* progress = static_cast<Progress*>(p);
    if (*progress->callback && inSize != UInt64(-1))
        (*progress->callback)(inSize, progress->total);
    return SZ_OK;
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

    CLzmaEncProps props;
    LzmaEncProps_Init(&props);
    props.level = settings.level;
    props.reduceSize = UInt32(result.inputSize);
    props.writeEndMark = 0;  // the size in the header ends the stream
    props.numThreads = 1;
    LzmaEncProps_Normalize(&props);

    CLzmaEncHandle encoder = LzmaEnc_Create(&sdkAlloc);
    if (!encoder) {
        result.error = "out of memory for the encoder";
        return result;
    }
    struct EncoderGuard {
        CLzmaEncHandle encoder;
        ~EncoderGuard() { LzmaEnc_Destroy(encoder, &sdkAlloc, &sdkAlloc); }
    } guard{encoder};

    SRes status = LzmaEnc_SetProps(encoder, &props);
    unsigned char header[kLzmaHeaderSize] = {};
    SizeT propsSize = LZMA_PROPS_SIZE;
    if (status == SZ_OK)
        status = LzmaEnc_WriteProperties(encoder, header, &propsSize);
    if (status != SZ_OK || propsSize != LZMA_PROPS_SIZE) {
        result.error = "the encoder refused its settings (level " + std::to_string(settings.level) + ")";
        return result;
    }
    for (int i = 0; i < 8; ++i)
        header[5 + i] = (unsigned char)(result.inputSize >> (8 * i));
    result.properties = header[0];
    result.dictionarySize = uint32_t(header[1]) | uint32_t(header[2]) << 8 | uint32_t(header[3]) << 16 |
                            uint32_t(header[4]) << 24;
    if (std::fwrite(header, 1, sizeof header, out.get()) != sizeof header) {
        result.error = "cannot write " + outputPath;
        return result;
    }

    if (progress)
        progress(0, result.inputSize);
    InStream inStream = {{ReadInput}, in.get(), 0, false};
    OutStream outStream = {{WriteOutput}, out.get(), sizeof header};
    Progress progressSink = {{ReportProgress}, &progress, result.inputSize};
    status = LzmaEnc_Encode(encoder, &outStream.vt, &inStream.vt, &progressSink.vt, &sdkAlloc, &sdkAlloc);
    if (status != SZ_OK) {
        result.error = status == SZ_ERROR_MEM     ? "out of memory while compressing"
                       : status == SZ_ERROR_WRITE ? "cannot write " + outputPath
                       : inStream.failed          ? "cannot read " + inputPath
                                                  : "the encoder failed (" + std::to_string(status) + ")";
        return result;
    }
    // The header already carries the size; a file that changed meanwhile would lie.
    if (inStream.read != result.inputSize) {
        result.error = inputPath + " changed while it was compressed";
        return result;
    }
    if (std::fflush(out.get()) != 0 || std::ferror(out.get())) {
        result.error = "cannot write " + outputPath;
        return result;
    }
    if (progress)
        progress(result.inputSize, result.inputSize);
    result.outputSize = outStream.written;
    result.ok = true;
    return result;
}

}  // namespace stubmedia
