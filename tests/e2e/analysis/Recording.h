// A recording of interleaved signed 16-bit little-endian PCM (what parec writes
// with --format=s16le), and the measurements the end-to-end checks make on it:
// level per window and channel, the dominant frequency of a stretch, and where
// sound starts and ends.
#ifndef DUDIDADU_E2E_RECORDING_H
#define DUDIDADU_E2E_RECORDING_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class Recording {
public:
    // Channel selectors for the measurements.
    enum { LEFT = 0, RIGHT = 1, BOTH = -1 };

    // The level of a silent stretch: below any level a 16-bit sample can carry.
    static constexpr double SILENCE_DB = -150.0;

    Recording();

    // Reads a raw recording. Returns false (and leaves the recording empty)
    // when the file cannot be read, or the rate or channel count is unusable.
    bool Load(const std::string &path, unsigned rate, unsigned channels = 2);
    // Takes interleaved samples that are already in memory.
    void Assign(const std::vector<int16_t> &interleaved, unsigned rate, unsigned channels = 2);

    unsigned Rate() const { return m_nRate; }
    unsigned Channels() const { return m_nChannels; }
    size_t Frames() const { return m_nChannels ? m_samples.size() / m_nChannels : 0; }
    double Seconds() const { return m_nRate ? double(Frames()) / m_nRate : 0.0; }

    // RMS relative to full scale (1.0) over [start, start + length) seconds,
    // clipped to the recording. BOTH gives the RMS over both channels; a
    // channel the recording does not have, or an empty stretch, gives 0.
    double Rms(double start, double length, int channel = BOTH) const;
    // The same in decibels relative to full scale, SILENCE_DB for digital silence.
    double LevelDb(double start, double length, int channel = BOTH) const;
    // The median of the levels of `window`-second pieces of the stretch: a
    // short dropout (a server or mixer missing a period on a busy machine)
    // moves it little, where it pulls a mean down.
    double MedianLevelDb(double start, double length, int channel = BOTH, double window = 0.025) const;
    // Left level minus right level in decibels (positive: energy on the left).
    double BalanceDb(double start, double length) const;

    // The frequency in [low, high] Hz with the most energy in the stretch
    // (mono sum of the channels), or 0 when the stretch is too short or silent.
    double DominantFrequency(double start, double length, double low = 50.0,
                             double high = 5000.0) const;

    // Level in decibels of consecutive windows from `start` on (louder
    // channel of each window), the analysis grid of FindOnset/FindOffset.
    std::vector<double> WindowLevels(double start, double length, double window = 0.010) const;

    // Start time of the first 10 ms window at or after `from` from which the
    // louder channel stays at or above `thresholdDb` for `hold` seconds;
    // -1 when there is none before `until` (or the end, when `until` < 0).
    double FindOnset(double from, double thresholdDb, double hold = 0.030, double until = -1.0) const;
    // The first sample in [from, until) of either channel whose magnitude
    // reaches `thresholdDb` of full scale: an onset to the sample; -1 when
    // there is none.
    double FirstLoudSample(double from, double until, double thresholdDb) const;
    // Start time of the first 10 ms window at or after `from` from which the
    // louder channel stays below `thresholdDb` for `hold` seconds; -1 when
    // there is none before `until` (or the end).
    double FindOffset(double from, double thresholdDb, double hold = 0.100, double until = -1.0) const;

private:
    size_t FrameAt(double seconds) const;
    double WindowDb(size_t frame, size_t frames) const;
    double FindRun(double from, double thresholdDb, bool loud, double hold, double until) const;
    double Goertzel(const std::vector<double> &mono, double frequency) const;
    double Peak(const std::vector<double> &samples, double low, double high, double step) const;
    static void Hann(std::vector<double> &samples);

    std::vector<int16_t> m_samples;
    unsigned m_nRate;
    unsigned m_nChannels;
};

#endif
