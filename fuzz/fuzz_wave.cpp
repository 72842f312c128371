// Arbitrary bytes as a WAVE image in memory: open them, copy the format both
// ways, read the whole data, decode it as a sound would, move around in it,
// and hold the reader and the decoder to what they promise. The sanitizers
// catch any access outside the image or the blocks, which are never larger
// than the image can fill or the decoder said it would write.
#include "wave/CWaveDecoder.h"
#include "wave/CWaveFile.h"

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <vector>

#define CHECK(condition)                                                       \
    do {                                                                       \
        if (!(condition)) {                                                    \
            fprintf(stderr, "check failed: %s (line %d)\n", #condition, __LINE__); \
            abort();                                                           \
        }                                                                      \
    } while (0)

// Fixed global memory as plain heap blocks. The platform's own GlobalAlloc
// keeps every block in a table, which LeakSanitizer takes for a reference:
// a format block the reader forgot would never be reported. Defined here,
// these are linked before the platform library's.
extern "C" {

HGLOBAL WINAPI GlobalAlloc(UINT flags, SIZE_T bytes)
{
    if ((flags & ~GMEM_ZEROINIT) != 0)
        return NULL;
    return (flags & GMEM_ZEROINIT) ? calloc(1, bytes ? bytes : 1) : malloc(bytes ? bytes : 1);
}

HGLOBAL WINAPI GlobalFree(HGLOBAL memory)
{
    free(memory);
    return NULL;
}

}  // extern "C"

namespace {

void CheckClosed(CWaveFile &wave)
{
    uint8_t byte = 0;
    CHECK(wave.GetDataSize() == 0xFFFFFFFFu);
    CHECK(wave.GetFormatSize() == 0);
    CHECK(!wave.GetFormat(&byte, 18));
    CHECK(wave.Read(&byte, 1) == -1);
    CHECK(wave.Seek(0, 0) == -1);
}

// The data read so far (exactly `got` bytes, in a block of its own) through
// the decoder, into a block of exactly the size it announces: whole, and in
// two parts split at a unit chosen by the input, which must give the same.
void Decode(const std::vector<uint8_t> &block, const std::vector<uint8_t> &samples, LONG got, uint32_t split)
{
    CWaveDecoder decoder;
    const WAVEFORMATEX *format = reinterpret_cast<const WAVEFORMATEX *>(block.data());
    if (!decoder.Plan(format, (DWORD)block.size(), (DWORD)got)) {
        CHECK(decoder.GetReason()[0] != '\0');
        return;
    }
    const uint64_t decoded = decoder.GetDecodedSize();
    // Every codec at most quadruples; 64-bit float halves.
    CHECK(decoded <= 4 * (uint64_t)got);
    // What is played anywhere: 1 to 8 channels, 100 to 200000 Hz, integers
    // of at most 32 bits.
    CHECK(format->nChannels >= 1 && format->nChannels <= 8);
    CHECK(format->nSamplesPerSec >= 100 && format->nSamplesPerSec <= 200000);
    if (!decoder.Decodes())
        CHECK(format->wBitsPerSample <= 32);
    if (decoder.GetFormatSize() != 0) {
        const WAVEFORMATEX *out = decoder.GetFormat();
        CHECK(decoder.GetFormatSize() == 18u + out->cbSize);
        CHECK(out->nChannels >= 1 && out->nChannels <= 8);
        // Decoded samples come in whole frames of a block that fits them;
        // relabelled ones keep the file's block, right or wrong.
        if (decoder.Decodes()) {
            CHECK(out->nBlockAlign == out->nChannels * (out->wBitsPerSample / 8));
            CHECK(decoded % out->nBlockAlign == 0);
        }
    }
    if (!decoder.Decodes()) {
        CHECK(decoded == (uint64_t)got);
        return;
    }
    CHECK(decoded != 0);
    std::vector<uint8_t> in(samples.begin(), samples.begin() + got);
    std::vector<uint8_t> out((size_t)decoded);
    CHECK(decoder.Decode(in.data(), (DWORD)got, out.data()) == decoded);
    const DWORD unit = decoder.GetUnit();
    const DWORD first = std::min<DWORD>((DWORD)got / unit, split) * unit;
    std::vector<uint8_t> head(in.begin(), in.begin() + first), tail(in.begin() + first, in.end());
    std::vector<uint8_t> parts((size_t)decoded);
    const DWORD written = decoder.Decode(head.data(), first, parts.data());
    CHECK(written <= decoded);
    CHECK(written + decoder.Decode(tail.data(), (DWORD)tail.size(), parts.data() + written) == decoded);
    CHECK(parts == out);
}

LONG Take32(const uint8_t *&p, size_t &left)
{
    uint32_t v = 0;
    for (int i = 0; i < 4 && left > 0; i++, left--)
        v |= (uint32_t)*p++ << (8 * i);
    return (LONG)v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 0x7FFFFFFF)
        return 0;
    CWaveFile wave;
    if (!wave.OpenMem(data, (DWORD)size)) {
        CheckClosed(wave);
        return 0;
    }

    // The format: header alone, and the whole block, which agree.
    const DWORD formatSize = wave.GetFormatSize();
    CHECK(formatSize >= 18 && formatSize <= 18 + 0xFFFF);
    std::vector<uint8_t> header(18);
    std::vector<uint8_t> block(formatSize);
    CHECK(wave.GetFormat(header.data(), (DWORD)header.size()));
    CHECK(wave.GetFormatBlock(block.data(), formatSize));
    CHECK(memcmp(header.data(), block.data(), 18) == 0);
    CHECK(18u + (block[16] | (block[17] << 8)) == formatSize);
    CHECK(!wave.GetFormatBlock(block.data(), formatSize - 1));
    CHECK(!wave.GetFormat(header.data(), 17));

    // The whole data in one read, as a sound loads it, into a block only as
    // large as the image could fill: a read past what exists is caught.
    const DWORD dataSize = wave.GetDataSize();
    CHECK(dataSize != 0);  // all bits set is a size too: a chunk may claim it
    const size_t room = std::min<size_t>(dataSize, size);
    std::vector<uint8_t> samples(room);
    LONG got = wave.Read(samples.data(), (DWORD)room);
    CHECK(got >= 0 && (size_t)got <= room);
    CHECK(wave.Seek(0, 1) == got);
    if (got > 0)
        Decode(block, samples, got, size > 0 ? data[size - 1] : 0);
    if ((DWORD)got == dataSize) {
        uint8_t byte = 0;
        CHECK(wave.Read(&byte, 1) == 0);  // the end: nothing, and rewound
        CHECK(wave.Seek(0, 1) == 0);
    }

    // Positions taken from the input's last bytes.
    const uint8_t *p = data + size - std::min<size_t>(size, 16);
    size_t left = std::min<size_t>(size, 16);
    uint8_t small[64];
    for (int i = 0; i < 2; i++) {
        LONG offset = Take32(p, left);
        int origin = (int)(offset & 3);
        LONG at = wave.Seek(offset >> 2, origin);
        CHECK(at == -1 || (at >= 0 && (DWORD)at <= dataSize));
        LONG n = wave.Read(small, sizeof(small));
        CHECK(n >= -1 && n <= (LONG)sizeof(small));
    }

    CHECK(wave.Close() == TRUE);
    CHECK(wave.Close() == TRUE);
    CheckClosed(wave);
    return 0;
}
