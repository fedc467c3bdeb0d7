#include "lzma_expand.h"

#include "LzmaDec.h"

#include <stdint.h>

static constexpr unsigned kHeaderPropsSize = LZMA_PROPS_SIZE;  // properties byte + dictionary size
static constexpr unsigned kHeaderSizeBytes = 8;                // uncompressed size, little-endian
static constexpr long kHeaderSize = kHeaderPropsSize + kHeaderSizeBytes;
static_assert(kHeaderSize == 13, "the LZMA-alone header is 13 bytes");

// The decoder's state: a fixed part plus one literal coder per lc + lp context.
static constexpr UInt32 kProbsFixed = 1846;
static constexpr UInt32 kProbsPerLiteralCoder = 768;
static_assert(sizeof(CLzmaProb) == 2, "probabilities are 16-bit entries");
static_assert(kProbsFixed + (kProbsPerLiteralCoder << 12) == 3147574, "largest array: lc + lp = 12");

// The heap blocks of one expansion; null when not taken.
struct ExpandBlocks {
    CLzmaProb* probs;
    Byte* output;
    Byte* input;
};

static void ReleaseBlocks(ExpandBlocks* blocks)
{
    HANDLE heap = GetProcessHeap();
    if (blocks->probs)
        HeapFree(heap, 0, blocks->probs);
    if (blocks->output)
        HeapFree(heap, 0, blocks->output);
    if (blocks->input)
        HeapFree(heap, 0, blocks->input);
}

// Length of the compressed data behind the header, with the stream left at
// its start. False when the stream cannot tell its length or the data would
// not fit the 32-bit count the expansion works with (a failed ftell gives -1,
// which must not become a length of nearly 4 GiB).
static bool MeasureCompressedData(FILE* source, UInt32* compressedLength)
{
    if (fseek(source, 0, SEEK_END) != 0)
        return false;
    long fileLength = ftell(source);
    if (fileLength < 0 || fseek(source, 0, SEEK_SET) != 0)
        return false;
    // A file shorter than the header fails at the header reads; its data is empty.
    long dataLength = fileLength > kHeaderSize ? fileLength - kHeaderSize : 0;
    if (static_cast<unsigned long>(dataLength) > UINT32_MAX)
        return false;
    *compressedLength = static_cast<UInt32>(dataLength);
    return true;
}

// The header: properties into props, the declared size into declaredSize.
static bool ReadHeader(FILE* source, CLzmaProps* props, UInt32* declaredSize)
{
    Byte propsBytes[kHeaderPropsSize];
    if (fread(propsBytes, 1, kHeaderPropsSize, source) != kHeaderPropsSize)
        return false;
    UInt32 low = 0;
    UInt32 high = 0;
    bool allOnes = true;
    for (unsigned i = 0; i < kHeaderSizeBytes; ++i) {
        Byte b;
        if (fread(&b, 1, 1, source) != 1)
            return false;
        if (b != 0xFF)
            allOnes = false;
        if (i < 4)
            low += static_cast<UInt32>(b) << (8 * i);
        else
            high += static_cast<UInt32>(b) << (8 * (i - 4));
    }
    // Size not stated (end marker only), or 4 GiB and more: refused.
    if (allOnes || high != 0)
        return false;
    if (LzmaProps_Decode(props, propsBytes, kHeaderPropsSize) != SZ_OK)
        return false;
    *declaredSize = low;
    return true;
}

// Decodes input into output, which is also the decoder's whole dictionary.
// The count of bytes produced goes to produced; false on a data error or a
// stream that ends before the declared size without its end marker.
static bool DecodeAll(const CLzmaProps* props, CLzmaProb* probs, const Byte* input, UInt32 inputLength,
                      Byte* output, UInt32 declaredSize, UInt32* produced)
{
    CLzmaDec decoder;
    LzmaDec_Construct(&decoder);
    decoder.prop = *props;
    // This decoder bounds match distances by prop.dicSize once that many bytes
    // are out. The output buffer is the dictionary, so its size is the bound
    // and the header's dictionary field plays no part.
    decoder.prop.dicSize = declaredSize;
    decoder.probs = probs;
    decoder.numProbs = kProbsFixed + (kProbsPerLiteralCoder << (props->lc + props->lp));
    decoder.dic = output;
    decoder.dicBufSize = declaredSize;
    LzmaDec_Init(&decoder);

    SizeT consumed = inputLength;
    ELzmaStatus status = LZMA_STATUS_NOT_SPECIFIED;
    // Finishing "any" lets the decode stop at the declared size whatever follows.
    SRes result = LzmaDec_DecodeToDic(&decoder, declaredSize, input, &consumed, LZMA_FINISH_ANY, &status);
    *produced = static_cast<UInt32>(decoder.dicPos);
    if (result != SZ_OK)
        return false;
    if (status == LZMA_STATUS_FINISHED_WITH_MARK)
        return true;
    // Without a marker the output must be full; needing more input means the file was cut.
    return (status == LZMA_STATUS_NOT_FINISHED || status == LZMA_STATUS_MAYBE_FINISHED_WITHOUT_MARK) &&
           decoder.dicPos == declaredSize;
}

// Everything after the destination is open. Blocks taken go into blocks.
static bool ExpandInto(FILE* source, FILE* destination, ExpandBlocks* blocks)
{
    UInt32 compressedLength = 0;
    if (!MeasureCompressedData(source, &compressedLength))
        return false;
    CLzmaProps props;
    UInt32 declaredSize = 0;
    if (!ReadHeader(source, &props, &declaredSize))
        return false;

    HANDLE heap = GetProcessHeap();
    UInt32 numProbs = kProbsFixed + (kProbsPerLiteralCoder << (props.lc + props.lp));
    blocks->probs = static_cast<CLzmaProb*>(HeapAlloc(heap, 0, numProbs * sizeof(CLzmaProb)));
    if (declaredSize != 0)
        blocks->output = static_cast<Byte*>(HeapAlloc(heap, 0, declaredSize));
    if (compressedLength != 0)
        blocks->input = static_cast<Byte*>(HeapAlloc(heap, 0, compressedLength));
    if (!blocks->probs || (declaredSize != 0 && !blocks->output) || (compressedLength != 0 && !blocks->input))
        return false;

    if (compressedLength != 0 && fread(blocks->input, 1, compressedLength, source) != compressedLength)
        return false;

    UInt32 produced = 0;
    if (!DecodeAll(&props, blocks->probs, blocks->input, compressedLength, blocks->output, declaredSize, &produced))
        return false;
    return produced == 0 || fwrite(blocks->output, 1, produced, destination) == produced;
}

bool ExpandLzmaFile(FILE* source, const WCHAR* destinationPath)
{
    if (!source)
        return false;
    FILE* destination = destinationPath ? _wfopen(destinationPath, WSTR("wb+")) : nullptr;
    if (!destination) {
        fclose(source);
        return false;
    }
    ExpandBlocks blocks = {nullptr, nullptr, nullptr};
    bool ok = ExpandInto(source, destination, &blocks);
    ReleaseBlocks(&blocks);
    // Written bytes may still sit in the stream's buffer: if they cannot
    // reach the file, the expansion failed.
    if (fclose(destination) != 0)
        ok = false;
    fclose(source);
    return ok;
}
