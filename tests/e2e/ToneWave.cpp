#include "ToneWave.h"

#include <cmath>
#include <cstdint>
#include <cstdio>

namespace {
void Put16(std::vector<unsigned char> &out, unsigned v)
{
    out.push_back(static_cast<unsigned char>(v & 0xff));
    out.push_back(static_cast<unsigned char>((v >> 8) & 0xff));
}

void Put32(std::vector<unsigned char> &out, uint32_t v)
{
    Put16(out, v & 0xffff);
    Put16(out, v >> 16);
}

void PutId(std::vector<unsigned char> &out, const char *id)
{
    out.insert(out.end(), id, id + 4);
}
}

ToneWave::ToneWave(double hz, unsigned ms, unsigned rate, unsigned channels, double amplitude)
    : m_nFrames(static_cast<unsigned>(uint64_t(rate) * ms / 1000))
{
    const double pi = 3.14159265358979323846;
    uint32_t blockAlign = channels * 2;
    uint32_t dataBytes = m_nFrames * blockAlign;
    m_image.reserve(44 + dataBytes);
    PutId(m_image, "RIFF");
    Put32(m_image, 36 + dataBytes);
    PutId(m_image, "WAVE");
    PutId(m_image, "fmt ");
    Put32(m_image, 16);
    Put16(m_image, 1); // PCM
    Put16(m_image, channels);
    Put32(m_image, rate);
    Put32(m_image, rate * blockAlign);
    Put16(m_image, blockAlign);
    Put16(m_image, 16);
    PutId(m_image, "data");
    Put32(m_image, dataBytes);
    for (unsigned i = 0; i < m_nFrames; ++i) {
        double v = amplitude * std::sin(2.0 * pi * hz * double(i) / double(rate));
        long s = std::lround(v * 32767.0);
        for (unsigned c = 0; c < channels; ++c)
            Put16(m_image, static_cast<unsigned>(static_cast<uint16_t>(static_cast<int16_t>(s))));
    }
}

bool ToneWave::WriteFile(const std::string &path) const
{
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = std::fwrite(m_image.data(), 1, m_image.size(), f) == m_image.size();
    ok = (std::fclose(f) == 0) && ok;
    return ok;
}
