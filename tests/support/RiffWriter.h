// Builds RIFF/WAVE images byte by byte for tests: chunks in any order, odd
// sizes with or without their pad byte, raw "fmt " bytes of any length,
// declared sizes that lie, images cut anywhere, PCM tones, and the records of
// the codecs the library decodes (with an IMA ADPCM encoder).
//
//   Bytes image = RiffWriter()
//       .Chunk("LIST", Bytes(6, 0))
//       .Fmt(PcmFormat(44100, 2, 16))
//       .Data(PcmTone(440, 44100, 2, 16, 0.5, 0.8))
//       .Build();
//
// Header-only and free of the platform headers, so that every test program
// (and the Windows builds) can use it.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace riff {

typedef std::vector<uint8_t> Bytes;

inline void PutU16(Bytes &out, uint16_t v)
{
    out.push_back((uint8_t)(v & 0xFF));
    out.push_back((uint8_t)(v >> 8));
}

inline void PutU32(Bytes &out, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        out.push_back((uint8_t)(v >> (8 * i)));
}

// Exactly four characters; shorter ids are padded with spaces.
inline void PutFourCC(Bytes &out, const char *id)
{
    size_t n = std::strlen(id);
    for (size_t i = 0; i < 4; i++)
        out.push_back(i < n ? (uint8_t)id[i] : (uint8_t)' ');
}

inline uint16_t GetU16(const Bytes &in, size_t at)
{
    return (uint16_t)(in.at(at) | (in.at(at + 1) << 8));
}

inline uint32_t GetU32(const Bytes &in, size_t at)
{
    return (uint32_t)in.at(at) | ((uint32_t)in.at(at + 1) << 8) |
           ((uint32_t)in.at(at + 2) << 16) | ((uint32_t)in.at(at + 3) << 24);
}

inline Bytes Concat(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The fields of a WAVEFORMATEX and its extra bytes, written in file order.
struct WaveFormat {
    uint16_t tag = 1;
    uint16_t channels = 1;
    uint32_t rate = 22050;
    uint32_t avgBytesPerSec = 44100;
    uint16_t blockAlign = 2;
    uint16_t bits = 16;
    uint16_t cbSize = 0;
    Bytes extra;  // cbSize bytes as a rule; any length is written as it is

    // The first 16 bytes (PCMWAVEFORMAT).
    Bytes Header16() const
    {
        Bytes out;
        PutU16(out, tag);
        PutU16(out, channels);
        PutU32(out, rate);
        PutU32(out, avgBytesPerSec);
        PutU16(out, blockAlign);
        PutU16(out, bits);
        return out;
    }

    // 18 bytes with cbSize, then the extra bytes.
    Bytes Full() const
    {
        Bytes out = Header16();
        PutU16(out, cbSize);
        out.insert(out.end(), extra.begin(), extra.end());
        return out;
    }

    // The contents a "fmt " chunk usually holds: 16 bytes for PCM, else the
    // full record.
    Bytes ChunkBody() const { return tag == 1 && extra.empty() && cbSize == 0 ? Header16() : Full(); }
};

inline WaveFormat PcmFormat(uint32_t rate, uint16_t channels, uint16_t bits)
{
    WaveFormat f;
    f.tag = 1;
    f.channels = channels;
    f.rate = rate;
    f.blockAlign = (uint16_t)(channels * (bits / 8));
    f.avgBytesPerSec = rate * f.blockAlign;
    f.bits = bits;
    return f;
}

// WAVE_FORMAT_EXTENSIBLE with a PCM (or, with float, IEEE float) sub-format.
inline WaveFormat ExtensibleFormat(uint32_t rate, uint16_t channels, uint16_t bits,
                                   uint32_t channelMask, bool isFloat = false)
{
    WaveFormat f = PcmFormat(rate, channels, bits);
    f.tag = 0xFFFE;
    f.cbSize = 22;
    PutU16(f.extra, bits);  // valid bits
    PutU32(f.extra, channelMask);
    // {0000000x-0000-0010-8000-00aa00389b71}
    PutU32(f.extra, isFloat ? 3u : 1u);
    PutU16(f.extra, 0x0000);
    PutU16(f.extra, 0x0010);
    const uint8_t tail[8] = {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    f.extra.insert(f.extra.end(), tail, tail + 8);
    return f;
}

// A-law (tag 6) or mu-law (tag 7): one byte a sample.
inline WaveFormat G711Format(uint16_t tag, uint32_t rate, uint16_t channels)
{
    WaveFormat f = PcmFormat(rate, channels, 8);
    f.tag = tag;
    return f;
}

// IMA ADPCM (tag 0x11) in blocks of `blockAlign` bytes, with the samples per
// block that fill them.
inline WaveFormat ImaAdpcmFormat(uint32_t rate, uint16_t channels, uint16_t blockAlign)
{
    WaveFormat f;
    f.tag = 0x11;
    f.channels = channels;
    f.rate = rate;
    f.blockAlign = blockAlign;
    f.bits = 4;
    const uint16_t perBlock = (uint16_t)((blockAlign - 4 * channels) * 2 / channels + 1);
    f.avgBytesPerSec = (uint32_t)((uint64_t)rate * blockAlign / perBlock);
    f.cbSize = 2;
    PutU16(f.extra, perBlock);
    return f;
}

// Microsoft ADPCM (tag 2) in blocks of `blockAlign` bytes, with the seven
// standard coefficient pairs (or the first `coefs` of them).
inline WaveFormat MsAdpcmFormat(uint32_t rate, uint16_t channels, uint16_t blockAlign, uint16_t coefs = 7)
{
    static const int16_t pairs[7][2] = {{256, 0}, {512, -256}, {0, 0}, {192, 64}, {240, 0}, {460, -208}, {392, -232}};
    WaveFormat f;
    f.tag = 2;
    f.channels = channels;
    f.rate = rate;
    f.blockAlign = blockAlign;
    f.bits = 4;
    const uint16_t perBlock = (uint16_t)((blockAlign - 7 * channels) * 2 / channels + 2);
    f.avgBytesPerSec = (uint32_t)((uint64_t)rate * blockAlign / perBlock);
    PutU16(f.extra, perBlock);
    PutU16(f.extra, 7);
    for (uint16_t i = 0; i < coefs && i < 7; i++) {
        PutU16(f.extra, (uint16_t)pairs[i][0]);
        PutU16(f.extra, (uint16_t)pairs[i][1]);
    }
    f.cbSize = (uint16_t)f.extra.size();
    return f;
}

// IMA ADPCM blocks of interleaved 16-bit samples, encoded as the codec's
// description does; the last block is filled up with silence.
inline Bytes ImaAdpcmEncode(const Bytes &pcm16, uint16_t channels, uint16_t blockAlign)
{
    static const int steps[89] = {
        7, 8, 9, 10, 11, 12, 13, 14, 16, 17, 19, 21, 23, 25, 28, 31, 34, 37, 41, 45, 50, 55, 60, 66, 73, 80, 88, 97,
        107, 118, 130, 143, 157, 173, 190, 209, 230, 253, 279, 307, 337, 371, 408, 449, 494, 544, 598, 658, 724,
        796, 876, 963, 1060, 1166, 1282, 1411, 1552, 1707, 1878, 2066, 2272, 2499, 2749, 3024, 3327, 3660, 4026,
        4428, 4871, 5358, 5894, 6484, 7132, 7845, 8630, 9493, 10442, 11487, 12635, 13899, 15289, 16818, 18500,
        20350, 22385, 24623, 27086, 29794, 32767};
    static const int indexSteps[8] = {-1, -1, -1, -1, 2, 4, 6, 8};
    const size_t perBlock = (size_t)(blockAlign - 4 * channels) * 2 / channels + 1;
    const size_t frames = pcm16.size() / 2 / channels;
    std::vector<int> predictor(channels, 0), index(channels, 0);
    Bytes out;
    for (size_t first = 0; first < frames; first += perBlock) {
        auto sample = [&](size_t frame, uint16_t c) {
            return frame < frames ? (int)(int16_t)GetU16(pcm16, 2 * (frame * channels + c)) : 0;
        };
        Bytes block(blockAlign, 0);
        for (uint16_t c = 0; c < channels; c++) {
            predictor[c] = sample(first, c);
            block[4 * c] = (uint8_t)(predictor[c] & 0xFF);
            block[4 * c + 1] = (uint8_t)((predictor[c] >> 8) & 0xFF);
            block[4 * c + 2] = (uint8_t)index[c];
            for (size_t n = 0; n + 1 < perBlock; n++) {
                int diff = sample(first + 1 + n, c) - predictor[c];
                int code = diff < 0 ? 8 : 0;
                diff = diff < 0 ? -diff : diff;
                const int step = steps[index[c]];
                if (diff >= step) { code |= 4; diff -= step; }
                if (diff >= step >> 1) { code |= 2; diff -= step >> 1; }
                if (diff >= step >> 2) code |= 1;
                int delta = step >> 3;
                if (code & 4) delta += step;
                if (code & 2) delta += step >> 1;
                if (code & 1) delta += step >> 2;
                predictor[c] += code & 8 ? -delta : delta;
                predictor[c] = predictor[c] < -32768 ? -32768 : predictor[c] > 32767 ? 32767 : predictor[c];
                index[c] += indexSteps[code & 7];
                index[c] = index[c] < 0 ? 0 : index[c] > 88 ? 88 : index[c];
                uint8_t &pair = block[4 * channels + (n / 8) * 4 * channels + 4 * c + (n % 8) / 2];
                pair = (uint8_t)(pair | (n & 1 ? code << 4 : code));
            }
        }
        out.insert(out.end(), block.begin(), block.end());
    }
    return out;
}

// Samples of a sine tone, the same on every channel: 8-bit unsigned around
// 128 or 16-bit signed little-endian; amplitude 0..1 of full scale.
inline Bytes PcmTone(double frequency, uint32_t rate, uint16_t channels, uint16_t bits,
                     double seconds, double amplitude)
{
    const double pi = 3.14159265358979323846;
    size_t frames = (size_t)std::llround(seconds * rate);
    Bytes out;
    out.reserve(frames * channels * (bits / 8));
    for (size_t i = 0; i < frames; i++) {
        double v = amplitude * std::sin(2.0 * pi * frequency * (double)i / rate);
        for (uint16_t c = 0; c < channels; c++) {
            if (bits == 8) {
                long s = std::lround(128.0 + v * 127.0);
                out.push_back((uint8_t)(s < 0 ? 0 : s > 255 ? 255 : s));
            } else {
                long s = std::lround(v * 32767.0);
                PutU16(out, (uint16_t)(int16_t)(s < -32768 ? -32768 : s > 32767 ? 32767 : s));
            }
        }
    }
    return out;
}

class RiffWriter {
public:
    explicit RiffWriter(const char *formType = "WAVE") : m_form(formType) {}

    // A chunk with its true size and, for an odd size, its pad byte.
    RiffWriter &Chunk(const char *id, const Bytes &body)
    {
        return ChunkAs(id, (uint32_t)body.size(), body, true);
    }

    // A chunk whose header declares `declared` bytes whatever the body holds
    // (a lie in either direction); `pad` adds a zero byte after an odd body.
    RiffWriter &ChunkAs(const char *id, uint32_t declared, const Bytes &body, bool pad = true)
    {
        PutFourCC(m_body, id);
        PutU32(m_body, declared);
        m_body.insert(m_body.end(), body.begin(), body.end());
        if (pad && (body.size() & 1))
            m_body.push_back(0);
        return *this;
    }

    RiffWriter &Fmt(const WaveFormat &format) { return Chunk("fmt ", format.ChunkBody()); }
    RiffWriter &FmtBytes(const Bytes &raw) { return Chunk("fmt ", raw); }
    RiffWriter &Data(const Bytes &samples) { return Chunk("data", samples); }

    // A list chunk ("LIST" + type + sub-chunks), as metadata writers add.
    RiffWriter &List(const char *type, const Bytes &subChunks)
    {
        Bytes body;
        PutFourCC(body, type);
        body.insert(body.end(), subChunks.begin(), subChunks.end());
        return Chunk("LIST", body);
    }

    // Bytes appended as they are, no header.
    RiffWriter &Raw(const Bytes &bytes)
    {
        m_body.insert(m_body.end(), bytes.begin(), bytes.end());
        return *this;
    }

    // Declares this RIFF size instead of the true one.
    RiffWriter &RiffSize(uint32_t declared)
    {
        m_riffSize = declared;
        m_riffSizeSet = true;
        return *this;
    }

    // The whole image: "RIFF", size, form type, the chunks in the order given.
    Bytes Build() const
    {
        Bytes out;
        PutFourCC(out, "RIFF");
        PutU32(out, m_riffSizeSet ? m_riffSize : (uint32_t)(4 + m_body.size()));
        PutFourCC(out, m_form.c_str());
        out.insert(out.end(), m_body.begin(), m_body.end());
        return out;
    }

    // The image cut after its first `length` bytes.
    Bytes BuildTruncated(size_t length) const
    {
        Bytes out = Build();
        if (length < out.size())
            out.resize(length);
        return out;
    }

    // Offset in the built image of the first byte of the next chunk added.
    size_t Size() const { return 12 + m_body.size(); }

private:
    std::string m_form;
    Bytes m_body;
    uint32_t m_riffSize = 0;
    bool m_riffSizeSet = false;
};

// A complete PCM tone image: "fmt " (16 bytes) then "data".
inline Bytes ToneImage(double frequency, uint32_t rate, uint16_t channels, uint16_t bits,
                       double seconds, double amplitude)
{
    return RiffWriter()
        .Fmt(PcmFormat(rate, channels, bits))
        .Data(PcmTone(frequency, rate, channels, bits, seconds, amplitude))
        .Build();
}

// Writes bytes to a file; false when that fails.
inline bool SaveFile(const std::string &path, const Bytes &bytes)
{
    std::ofstream out(path.c_str(), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), (std::streamsize)bytes.size());
    return (bool)out;
}

}  // namespace riff
