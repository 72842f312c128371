// wave_decode_check FILE.wav REFERENCE.raw LSB: decodes a WAVE file the way a
// sound loads it (the reader, then the decoder) and compares the samples with
// a reference decoding of the same file (sox's: raw 16-bit PCM, or raw 32-bit
// float for float output). Passes when both hold the same number of samples
// and none differs by more than LSB steps: steps of 16-bit PCM, or for float
// units in the last place (or 2^-31, the reference's own resolution, where
// that is coarser). Prints the largest difference found.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "wave/CWaveDecoder.h"
#include "wave/CWaveFile.h"

namespace {

bool ReadFile(const char *path, std::vector<BYTE> &out)
{
    FILE *f = std::fopen(path, "rb");
    if (!f)
        return false;
    BYTE chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof(chunk), f)) > 0)
        out.insert(out.end(), chunk, chunk + n);
    std::fclose(f);
    return true;
}

// How far apart two float samples are, in units of the larger of the float's
// last place and the reference's 32-bit step.
double FloatSteps(float ours, float reference)
{
    const float larger = std::fabs(ours) > std::fabs(reference) ? std::fabs(ours) : std::fabs(reference);
    const double ulp = std::nextafter(larger, 2.0f) - larger;
    const double unit = ulp > std::ldexp(1.0, -31) ? ulp : std::ldexp(1.0, -31);
    return std::fabs((double)ours - (double)reference) / unit;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: wave_decode_check FILE.wav REFERENCE.raw LSB\n");
        return 2;
    }
    const double allowed = std::atof(argv[3]);
    CWaveFile wave;
    if (!wave.Open(argv[1])) {
        std::printf("%s: the reader refuses it\n", argv[1]);
        return 1;
    }
    std::vector<BYTE> format(wave.GetFormatSize());
    const DWORD dataSize = wave.GetDataSize();
    std::vector<BYTE> data(dataSize);
    CWaveDecoder decoder;
    if (!wave.GetFormatBlock(format.data(), (DWORD)format.size()) ||
        wave.Read(data.data(), dataSize) != (LONG)dataSize) {
        std::printf("%s: the data cannot be read whole\n", argv[1]);
        return 1;
    }
    if (!decoder.Plan(reinterpret_cast<LPCWAVEFORMATEX>(format.data()), (DWORD)format.size(), dataSize)) {
        std::printf("%s: refused: %s\n", argv[1], decoder.GetReason());
        return 1;
    }
    std::vector<BYTE> ours(data);
    if (decoder.Decodes()) {
        // In parts of three units, as a sound decodes the data a part at a
        // time: the parts must join without a seam.
        ours.assign((size_t)decoder.GetDecodedSize(), 0);
        const DWORD part = 3 * decoder.GetUnit();
        size_t written = 0;
        for (DWORD at = 0; at < dataSize; at += part)
            written += decoder.Decode(data.data() + at, std::min(part, dataSize - at), ours.data() + written);
        if (written != ours.size()) {
            std::printf("%s: %zu bytes decoded, %zu announced\n", argv[1], written, ours.size());
            return 1;
        }
    }
    const WAVEFORMATEX *out = decoder.GetFormatSize() ? decoder.GetFormat()
                                                       : reinterpret_cast<const WAVEFORMATEX *>(format.data());
    const bool isFloat = out->wBitsPerSample == 32;
    if (out->wBitsPerSample != 16 && !isFloat) {
        std::printf("%s: decodes to %u bits, which this check does not compare\n", argv[1], out->wBitsPerSample);
        return 1;
    }

    std::vector<BYTE> reference;
    if (!ReadFile(argv[2], reference)) {
        std::printf("%s: cannot be read\n", argv[2]);
        return 1;
    }
    const size_t width = isFloat ? 4 : 2;
    const size_t count = ours.size() / width;
    if (reference.size() != ours.size()) {
        std::printf("%s: %zu samples, the reference has %zu\n", argv[1], count, reference.size() / width);
        return 1;
    }
    double largest = 0.0;
    size_t where = 0, over = 0;
    for (size_t i = 0; i < count; ++i) {
        double d;
        if (isFloat) {
            float a, b;
            std::memcpy(&a, &ours[i * 4], 4);
            std::memcpy(&b, &reference[i * 4], 4);
            d = FloatSteps(a, b);
        } else {
            int16_t a, b;
            std::memcpy(&a, &ours[i * 2], 2);
            std::memcpy(&b, &reference[i * 2], 2);
            d = std::abs(a - b);
        }
        over += d > allowed ? 1 : 0;
        if (d > largest) {
            largest = d;
            where = i;
        }
    }
    std::printf("%s: %zu samples of %s, largest difference %g LSB (sample %zu), %zu beyond %g\n", argv[1], count,
                isFloat ? "32-bit float" : "16-bit PCM", largest, where, over, allowed);
    return over == 0 ? 0 : 1;
}
