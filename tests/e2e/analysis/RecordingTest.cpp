// The measurements the end-to-end checks rely on, on signals whose answers are known.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "Recording.h"

namespace {
const double kPi = 3.14159265358979323846;
const unsigned kRate = 48000;

// Stereo s16 with the given stretches: silence, then a tone of `hz` whose
// left and right amplitudes are given, then silence.
std::vector<int16_t> Signal(double silence, double tone, double hz, double left, double right, double tail)
{
    std::vector<int16_t> s;
    size_t a = size_t(silence * kRate), b = size_t(tone * kRate), c = size_t(tail * kRate);
    s.assign(2 * a, 0);
    for (size_t i = 0; i < b; ++i) {
        double v = std::sin(2.0 * kPi * hz * double(i) / kRate);
        s.push_back(int16_t(std::lround(v * left * 32767.0)));
        s.push_back(int16_t(std::lround(v * right * 32767.0)));
    }
    s.insert(s.end(), 2 * c, 0);
    return s;
}
}

TEST(Recording, LevelsFrequencyAndBalanceOfATone)
{
    Recording rec;
    rec.Assign(Signal(0.5, 1.0, 440.0, 0.5, 0.25, 0.5), kRate);
    EXPECT_NEAR(rec.Seconds(), 2.0, 1e-9);
    EXPECT_NEAR(rec.LevelDb(0.6, 0.8, Recording::LEFT), -9.03, 0.05);
    EXPECT_NEAR(rec.LevelDb(0.6, 0.8, Recording::RIGHT), -15.05, 0.05);
    EXPECT_NEAR(rec.BalanceDb(0.6, 0.8), 6.02, 0.05);
    EXPECT_EQ(rec.LevelDb(0.0, 0.4), Recording::SILENCE_DB);
    EXPECT_NEAR(rec.DominantFrequency(0.6, 0.8), 440.0, 0.5);
    EXPECT_EQ(rec.DominantFrequency(0.0, 0.4), 0.0);
    // Stretches that leave the recording are clipped to it, not read past it.
    EXPECT_NEAR(rec.Rms(1.9, 5.0), 0.0, 1e-12);
    EXPECT_EQ(rec.Rms(3.0, 1.0), 0.0);
    EXPECT_EQ(rec.Rms(0.6, 0.8, 2), 0.0);
}

TEST(Recording, FindsPitchOfShortStretchesAndDoubledTones)
{
    Recording rec;
    rec.Assign(Signal(0.0, 0.3, 880.0, 0.5, 0.5, 0.0), kRate);
    EXPECT_NEAR(rec.DominantFrequency(0.0, 0.3), 880.0, 1.0);
    rec.Assign(Signal(0.0, 0.3, 1234.0, 0.5, 0.5, 0.0), kRate);
    EXPECT_NEAR(rec.DominantFrequency(0.0, 0.3), 1234.0, 1.0);
}

TEST(Recording, OnsetAndOffsetOfATone)
{
    Recording rec;
    rec.Assign(Signal(0.5, 1.0, 440.0, 0.5, 0.0, 0.5), kRate);
    EXPECT_NEAR(rec.FindOnset(0.0, -30.0), 0.5, 0.011);
    EXPECT_NEAR(rec.FindOffset(0.5, -60.0), 1.5, 0.011);
    // Nothing louder than the tone, nothing after its end.
    EXPECT_LT(rec.FindOnset(0.0, -3.0), 0.0);
    EXPECT_LT(rec.FindOnset(1.6, -30.0), 0.0);
    // `until` bounds where a run may start.
    EXPECT_LT(rec.FindOnset(0.0, -30.0, 0.03, 0.4), 0.0);
    EXPECT_NEAR(rec.FindOnset(0.0, -30.0, 0.03, 0.6), 0.5, 0.011);
}

TEST(Recording, OnsetsToTheSample)
{
    Recording rec;
    rec.Assign(Signal(0.5123, 0.5, 440.0, 0.5, 0.0, 0.1), kRate);
    const double coarse = rec.FindOnset(0.0, -30.0);
    EXPECT_NEAR(coarse, 0.5123, 0.011);
    // The sine starts at 0: its first sample above -30 dBFS of a -6 dBFS
    // peak comes within a few samples.
    EXPECT_NEAR(rec.FirstLoudSample(coarse - 0.02, coarse + 0.02, -30.0), 0.5123, 0.0002);
    EXPECT_LT(rec.FirstLoudSample(0.0, 0.5, -30.0), 0.0);
}

TEST(Recording, ShortGapsAreOffsetsOnlyWhenLongerThanTheHold)
{
    std::vector<int16_t> s = Signal(0.0, 1.0, 440.0, 0.5, 0.5, 0.0);
    for (size_t i = 2 * 24000; i < 2 * 25440; ++i) // 30 ms of silence at 0.5 s
        s[i] = 0;
    Recording rec;
    rec.Assign(s, kRate);
    EXPECT_LT(rec.FindOffset(0.0, -60.0, 0.1, 0.9), 0.0);
    EXPECT_NEAR(rec.FindOffset(0.0, -60.0, 0.02), 0.5, 0.011);
    std::vector<double> windows = rec.WindowLevels(0.0, 1.0);
    ASSERT_EQ(windows.size(), 100u);
    EXPECT_EQ(windows[51], Recording::SILENCE_DB);
    EXPECT_GT(windows[10], -10.0);
    // The dropout pulls the mean level of the second down; the median of
    // short pieces stays at the tone's.
    EXPECT_LT(rec.LevelDb(0.0, 1.0), -9.10);
    EXPECT_NEAR(rec.MedianLevelDb(0.0, 1.0), -9.03, 0.02);
}

TEST(Recording, LoadsRawFilesAndDropsAPartFrame)
{
    std::string path = ::testing::TempDir() + "recording-test.raw";
    FILE *f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    // Two frames (left 0x1234, right -2; then left 1, right 0x7fff), then one stray byte.
    const unsigned char bytes[] = {0x34, 0x12, 0xfe, 0xff, 0x01, 0x00, 0xff, 0x7f, 0x55};
    std::fwrite(bytes, 1, sizeof bytes, f);
    std::fclose(f);
    Recording rec;
    ASSERT_TRUE(rec.Load(path, kRate));
    EXPECT_EQ(rec.Frames(), 2u);
    EXPECT_NEAR(rec.Rms(0.0, 1.0, Recording::RIGHT), std::sqrt((4.0 + 32767.0 * 32767.0) / 2.0) / 32768.0, 1e-9);
    EXPECT_NEAR(rec.Rms(0.0, 1.0, Recording::LEFT), std::sqrt((4660.0 * 4660.0 + 1.0) / 2.0) / 32768.0, 1e-9);
    std::remove(path.c_str());
    EXPECT_FALSE(rec.Load(path, kRate));
    EXPECT_EQ(rec.Frames(), 0u);
    EXPECT_FALSE(rec.Load(path, 0));
}
