// LZMA-alone files for tests and benchmarks, made with the LZMA SDK's encoder
// (link lzma_sdk_enc). Header-only so that any test or tool can include it.
#pragma once

#include <LzmaEnc.h>

#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace lzma_fixture {

inline void* Alloc(void*, size_t size) { return std::malloc(size); }
inline void Free(void*, void* address) { std::free(address); }
inline ISzAlloc allocator = {Alloc, Free};

// The 13-byte header: properties byte, dictionary size, uncompressed size
// (all 0xFF when size is UINT64_MAX), each little-endian.
inline std::string Header(uint8_t properties, uint32_t dictionarySize, uint64_t size)
{
    std::string header(1, char(properties));
    for (int i = 0; i < 4; ++i)
        header += char((dictionarySize >> (8 * i)) & 0xFF);
    for (int i = 0; i < 8; ++i)
        header += char((size >> (8 * i)) & 0xFF);
    return header;
}

// The raw LZMA stream (without header) for data.
inline std::string EncodeStream(const std::string& data, int lc, int lp, int pb, bool endMarker, int level = 5,
                                uint32_t dictionarySize = 1u << 20)
{
    CLzmaEncProps props;
    LzmaEncProps_Init(&props);
    props.level = level;
    props.dictSize = dictionarySize;
    props.lc = lc;
    props.lp = lp;
    props.pb = pb;
    props.writeEndMark = endMarker ? 1 : 0;
    props.numThreads = 1;
    std::string stream(data.size() + data.size() / 2 + 1024, '\0');
    SizeT streamSize = stream.size();
    Byte encodedProps[LZMA_PROPS_SIZE];
    SizeT propsSize = sizeof encodedProps;
    SRes result = LzmaEncode(reinterpret_cast<Byte*>(&stream[0]), &streamSize,
                             reinterpret_cast<const Byte*>(data.data()), data.size(), &props, encodedProps,
                             &propsSize, endMarker ? 1 : 0, nullptr, &allocator, &allocator);
    if (result != SZ_OK)
        throw std::runtime_error("LzmaEncode failed: " + std::to_string(result));
    stream.resize(streamSize);
    return stream;
}

}  // namespace lzma_fixture

// data as an LZMA-alone file: header (properties from lc, lp and pb, a 1 MiB
// dictionary field, the size or all 0xFF) and the stream, with or without
// its end marker.
inline std::string CompressLzmaAlone(const std::string& data, int lc, int lp, int pb, bool endMarker,
                                     bool sizeInHeader)
{
    constexpr uint32_t kDictionary = 1u << 20;
    uint8_t properties = uint8_t((pb * 5 + lp) * 9 + lc);
    return lzma_fixture::Header(properties, kDictionary, sizeInHeader ? data.size() : UINT64_MAX) +
           lzma_fixture::EncodeStream(data, lc, lp, pb, endMarker, 5, kDictionary);
}
