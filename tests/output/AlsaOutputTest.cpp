// The ALSA output against a device of the test's own configuration, which
// writes what it plays to a file: the tone arrives there whole, in real
// time, and nothing arrives while the output is paused.
#include <gtest/gtest.h>

#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "AlsaTestEnv.h"
#include "platform/posix/output/CAlsaOutput.h"

namespace {

const DWORD kRate = 48000;
const double kPi = 3.14159265358979323846;

std::vector<int16_t> ReadRecording(const std::string &path)
{
    std::vector<int16_t> samples;
    FILE *file = fopen(path.c_str(), "rb");
    if (!file)
        return samples;
    int16_t block[4096];
    size_t got;
    while ((got = fread(block, sizeof(int16_t), 4096, file)) > 0)
        samples.insert(samples.end(), block, block + got);
    fclose(file);
    return samples;
}

struct Recorded {
    std::string m_path = "/tmp/dudidadu-alsa-" + std::to_string(getpid()) + ".raw";
    ~Recorded() { unlink(m_path.c_str()); }
};

double SecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

TEST(AlsaOutput, RefusesWithoutADevice)
{
    ScopedAlsaConfig none("");
    CAlsaOutput output;
    float frame[2] = {};
    EXPECT_FALSE(output.Write(frame, 1)) << "not open";
    EXPECT_FALSE(output.Open(kRate, 2, 240));
    printf("without a device: %s\n", output.GetFailure());
    EXPECT_STRNE("", output.GetFailure());
}

TEST(AlsaOutput, PlaysInRealTimeAndPausesWithoutWriting)
{
    Recorded recording;
    ScopedAlsaConfig device(recording.m_path);
    CAlsaOutput output;
    if (!output.Open(0, 2, 240))
        GTEST_SKIP() << "libasound cannot open the test's device: " << output.GetFailure();
    EXPECT_EQ(kRate, output.GetRate());
    const double buffered = 1000.0 * output.GetBufferFrames() / kRate;
    printf("buffer %u frames (%.1f ms)\n", output.GetBufferFrames(), buffered);
    EXPECT_GE(buffered, 10.0);
    EXPECT_LE(buffered, 60.0);

    // 500 ms of 1 kHz at half scale, in mixer periods.
    std::vector<float> block(2 * 240);
    double phase = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int period = 0; period < 100; ++period) {
        for (DWORD i = 0; i < 240; ++i, phase += 2 * kPi * 1000 / kRate)
            block[2 * i] = block[2 * i + 1] = static_cast<float>(0.5 * sin(phase));
        ASSERT_TRUE(output.Write(block.data(), 240));
    }
    const double took = SecondsSince(start);
    printf("500 ms taken in %.3f s\n", took);
    // The device takes everything at once; the output holds to real time.
    EXPECT_GE(took, 0.4);

    output.Pause();
    const size_t paused = ReadRecording(recording.m_path).size();
    const auto idle = std::chrono::steady_clock::now();
    while (SecondsSince(idle) < 0.2)
        usleep(10000);
    EXPECT_EQ(paused, ReadRecording(recording.m_path).size()) << "a paused output still writes";
    ASSERT_TRUE(output.Write(block.data(), 240)) << "a write after a pause starts it again";
    output.Close();

    const std::vector<int16_t> samples = ReadRecording(recording.m_path);
    ASSERT_GE(samples.size(), 2u * 24000);
    double energy = 0;
    size_t crossings = 0;
    for (size_t i = 0; i < 2u * 24000; i += 2) {
        energy += double(samples[i]) * samples[i];
        if (i >= 2)
            crossings += (samples[i - 2] < 0) != (samples[i] < 0);
    }
    const double rms = sqrt(energy / 24000) / 32768;
    printf("recorded %zu frames; first 500 ms: RMS %.3f, %zu zero crossings\n", samples.size() / 2, rms, crossings);
    EXPECT_NEAR(0.5 / sqrt(2.0), rms, 0.01);
    EXPECT_NEAR(1000.0, double(crossings), 4.0);
    EXPECT_EQ(0u, output.GetRecoveries());
}
