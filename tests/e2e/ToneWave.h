// Builds complete RIFF/WAVE images (16-bit PCM sine tones) in memory, and
// writes them to files, for the programs that play them.
#ifndef DUDIDADU_E2E_TONEWAVE_H
#define DUDIDADU_E2E_TONEWAVE_H

#include <string>
#include <vector>

class ToneWave {
public:
    // A sine tone of `hz` for `ms` milliseconds at `amplitude` (of full
    // scale) in every channel. A length holding whole periods loops seamlessly.
    ToneWave(double hz, unsigned ms, unsigned rate = 44100, unsigned channels = 1, double amplitude = 0.5);

    const std::vector<unsigned char> &Image() const { return m_image; }
    unsigned Frames() const { return m_nFrames; }

    bool WriteFile(const std::string &path) const;

private:
    std::vector<unsigned char> m_image;
    unsigned m_nFrames;
};

#endif
