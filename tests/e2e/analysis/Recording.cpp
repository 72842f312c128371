#include "Recording.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {
const double kPi = 3.14159265358979323846;
const double kWindow = 0.010;
}

Recording::Recording() : m_nRate(0), m_nChannels(0) {}

bool Recording::Load(const std::string &path, unsigned rate, unsigned channels)
{
    m_samples.clear();
    m_nRate = 0;
    m_nChannels = 0;
    if (rate == 0 || channels == 0 || channels > 8)
        return false;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    std::vector<int16_t> samples;
    unsigned char buf[8192];
    size_t got;
    unsigned char carry = 0;
    bool haveCarry = false;
    while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) {
        size_t i = 0;
        if (haveCarry) {
            samples.push_back(int16_t(uint16_t(carry | (buf[0] << 8))));
            haveCarry = false;
            i = 1;
        }
        for (; i + 1 < got; i += 2)
            samples.push_back(int16_t(uint16_t(buf[i] | (buf[i + 1] << 8))));
        if (i < got) {
            carry = buf[i];
            haveCarry = true;
        }
    }
    bool ok = !std::ferror(f);
    std::fclose(f);
    if (!ok)
        return false;
    // A recording cut off in the middle of a frame loses its last part-frame.
    samples.resize(samples.size() - samples.size() % channels);
    m_samples.swap(samples);
    m_nRate = rate;
    m_nChannels = channels;
    return true;
}

void Recording::Assign(const std::vector<int16_t> &interleaved, unsigned rate, unsigned channels)
{
    m_samples = interleaved;
    m_nRate = rate;
    m_nChannels = channels;
    if (channels == 0 || rate == 0) {
        m_samples.clear();
        m_nRate = 0;
        m_nChannels = 0;
        return;
    }
    m_samples.resize(m_samples.size() - m_samples.size() % channels);
}

size_t Recording::FrameAt(double seconds) const
{
    if (!(seconds > 0.0))
        return 0;
    double frame = std::floor(seconds * m_nRate + 0.5);
    return frame >= double(Frames()) ? Frames() : size_t(frame);
}

double Recording::Rms(double start, double length, int channel) const
{
    if (m_nChannels == 0 || channel >= int(m_nChannels) || channel < BOTH)
        return 0.0;
    size_t first = FrameAt(start);
    size_t last = FrameAt(start + length);
    if (last <= first)
        return 0.0;
    double sum = 0.0;
    size_t count = 0;
    for (size_t frame = first; frame < last; ++frame) {
        for (unsigned c = 0; c < m_nChannels; ++c) {
            if (channel != BOTH && int(c) != channel)
                continue;
            double s = m_samples[frame * m_nChannels + c] / 32768.0;
            sum += s * s;
            ++count;
        }
    }
    return std::sqrt(sum / double(count));
}

double Recording::LevelDb(double start, double length, int channel) const
{
    double rms = Rms(start, length, channel);
    return rms > 0.0 ? std::max(SILENCE_DB, 20.0 * std::log10(rms)) : SILENCE_DB;
}

double Recording::MedianLevelDb(double start, double length, int channel, double window) const
{
    std::vector<double> levels;
    for (double at = start; at + window <= start + length + 1e-9; at += window)
        levels.push_back(LevelDb(at, window, channel));
    if (levels.empty())
        return LevelDb(start, length, channel);
    std::sort(levels.begin(), levels.end());
    const size_t middle = levels.size() / 2;
    return levels.size() % 2 ? levels[middle] : 0.5 * (levels[middle - 1] + levels[middle]);
}

double Recording::BalanceDb(double start, double length) const
{
    return LevelDb(start, length, LEFT) - LevelDb(start, length, RIGHT);
}

double Recording::Goertzel(const std::vector<double> &mono, double frequency) const
{
    double coeff = 2.0 * std::cos(2.0 * kPi * frequency / m_nRate);
    double s1 = 0.0, s2 = 0.0;
    for (double x : mono) {
        double s0 = x + coeff * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    return s1 * s1 + s2 * s2 - coeff * s1 * s2;
}

double Recording::DominantFrequency(double start, double length, double low, double high) const
{
    size_t first = FrameAt(start);
    size_t last = FrameAt(start + length);
    if (m_nChannels == 0 || last <= first || last - first < 64 || !(low > 0.0) || !(high > low))
        return 0.0;
    high = std::min(high, m_nRate / 2.0);
    size_t n = last - first;
    std::vector<double> mono(n);
    bool any = false;
    for (size_t i = 0; i < n; ++i) {
        double sum = 0.0;
        for (unsigned c = 0; c < m_nChannels; ++c)
            sum += m_samples[(first + i) * m_nChannels + c];
        any = any || sum != 0.0;
        mono[i] = sum / (32768.0 * m_nChannels);
    }
    if (!any)
        return 0.0;
    // A coarse scan of 100 ms from the middle finds the peak's neighbourhood
    // cheaply; a fine scan of the whole stretch places it.
    size_t shortN = std::min<size_t>(n, m_nRate / 10);
    std::vector<double> part(mono.begin() + (n - shortN) / 2, mono.begin() + (n - shortN) / 2 + shortN);
    Hann(part);
    Hann(mono);
    double coarse = double(m_nRate) / double(shortN);
    double best = Peak(part, low, high, coarse / 2.0);
    double fine = double(m_nRate) / double(n);
    return Peak(mono, std::max(low, best - 2.0 * coarse), std::min(high, best + 2.0 * coarse),
                std::max(0.05, fine / 10.0));
}

void Recording::Hann(std::vector<double> &samples)
{
    // Windowed, a stretch that does not hold whole periods does not smear
    // into its neighbours.
    size_t n = samples.size();
    for (size_t i = 0; i < n && n > 1; ++i)
        samples[i] *= 0.5 - 0.5 * std::cos(2.0 * kPi * double(i) / double(n - 1));
}

double Recording::Peak(const std::vector<double> &samples, double low, double high, double step) const
{
    double best = low, bestPower = -1.0;
    for (double f = low; f <= high; f += step) {
        double p = Goertzel(samples, f);
        if (p > bestPower) {
            bestPower = p;
            best = f;
        }
    }
    return best;
}

double Recording::WindowDb(size_t frame, size_t frames) const
{
    double start = double(frame) / m_nRate;
    double length = double(frames) / m_nRate;
    double level = LevelDb(start, length, LEFT);
    if (m_nChannels > 1)
        level = std::max(level, LevelDb(start, length, RIGHT));
    return level;
}

std::vector<double> Recording::WindowLevels(double start, double length, double window) const
{
    std::vector<double> levels;
    if (m_nChannels == 0 || !(window > 0.0))
        return levels;
    size_t frames = std::max<size_t>(1, size_t(window * m_nRate + 0.5));
    size_t first = FrameAt(start);
    size_t last = FrameAt(start + length);
    for (size_t frame = first; frame + frames <= last; frame += frames)
        levels.push_back(WindowDb(frame, frames));
    return levels;
}

double Recording::FindRun(double from, double thresholdDb, bool loud, double hold, double until) const
{
    if (m_nChannels == 0)
        return -1.0;
    size_t frames = size_t(kWindow * m_nRate + 0.5);
    size_t need = std::max<size_t>(1, size_t(std::ceil(hold / kWindow - 1e-9)));
    size_t end = until < 0.0 ? Frames() : FrameAt(until);
    size_t run = 0, runStart = 0;
    for (size_t frame = FrameAt(from); frame + frames <= Frames(); frame += frames) {
        if ((WindowDb(frame, frames) >= thresholdDb) != loud) {
            run = 0;
            continue;
        }
        if (run == 0) {
            if (frame >= end)
                break;
            runStart = frame;
        }
        if (++run == need)
            return double(runStart) / m_nRate;
    }
    return -1.0;
}

double Recording::FindOnset(double from, double thresholdDb, double hold, double until) const
{
    return FindRun(from, thresholdDb, true, hold, until);
}

double Recording::FirstLoudSample(double from, double until, double thresholdDb) const
{
    const double threshold = 32768.0 * std::pow(10.0, thresholdDb / 20.0);
    const size_t last = FrameAt(until);
    for (size_t frame = FrameAt(from); frame < last; ++frame) {
        for (unsigned c = 0; c < m_nChannels; ++c) {
            if (std::fabs(double(m_samples[frame * m_nChannels + c])) >= threshold)
                return double(frame) / m_nRate;
        }
    }
    return -1.0;
}

double Recording::FindOffset(double from, double thresholdDb, double hold, double until) const
{
    return FindRun(from, thresholdDb, false, hold, until);
}
