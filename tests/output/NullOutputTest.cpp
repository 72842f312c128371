// The null output keeps real time: it takes frames no faster than they would
// be heard, and after a stall it picks up the present instead of racing.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "platform/posix/output/CNullOutput.h"

namespace {

const DWORD kRate = 48000;
const DWORD kPeriod = 480;  // 10 ms

double SecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

TEST(NullOutput, TakesFramesNoFasterThanRealTime)
{
    // Times are taken before Open, which starts the output's clock.
    {
        CNullOutput output;
        std::vector<float> block(kPeriod * 2, 0.25f);
        const auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(output.Open(kRate, 2, kPeriod));
        for (int i = 0; i < 30; ++i)  // 300 ms in mixer periods
            ASSERT_TRUE(output.Write(block.data(), kPeriod));
        EXPECT_GE(SecondsSince(start), 0.300);
        EXPECT_EQ(0u, output.GetLatencyFrames());
    }
    {
        // 200 ms in one piece: the call returns only when the last frame is
        // due.
        CNullOutput output;
        std::vector<float> big(9600 * 2, 0.0f);
        const auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(output.Open(kRate, 2, kPeriod));
        ASSERT_TRUE(output.Write(big.data(), 9600));
        EXPECT_GE(SecondsSince(start), 0.200);
    }
    {
        // 7 frames at 11025 Hz do not divide a second evenly; deadlines from
        // one epoch keep the rounding from adding up.
        CNullOutput output;
        float frames[7] = {};
        const auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(output.Open(11025, 1, 7));
        for (int i = 0; i < 315; ++i)  // 2205 frames = 200 ms
            ASSERT_TRUE(output.Write(frames, 7));
        EXPECT_GE(SecondsSince(start), 0.200);
    }
}

TEST(NullOutput, ResynchronisesAfterAStall)
{
    CNullOutput output;
    std::vector<float> block(kPeriod * 2, 0.0f);
    ASSERT_TRUE(output.Open(kRate, 2, kPeriod));
    ASSERT_TRUE(output.Write(block.data(), kPeriod));

    // The mixer is held up for far longer than the output tolerates...
    std::this_thread::sleep_for(std::chrono::milliseconds(400));

    // ...after which the output does not rush through the 400 ms it missed:
    // the next 100 ms still take 100 ms.
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(output.Write(block.data(), kPeriod));
    EXPECT_GE(SecondsSince(start), 0.100);
}

TEST(NullOutput, RefusesWhatItCannotPlay)
{
    CNullOutput output;
    float frame[2] = {};
    EXPECT_FALSE(output.Write(frame, 1)) << "not open yet";
    EXPECT_FALSE(output.Open(0, 2, kPeriod));
    EXPECT_FALSE(output.Open(kRate, 0, kPeriod));
    ASSERT_TRUE(output.Open(kRate, 2, 0));
    EXPECT_TRUE(output.Write(frame, 0));
    EXPECT_TRUE(output.Write(frame, 1));
    output.Close();
    EXPECT_FALSE(output.Write(frame, 1)) << "closed";
    // Opened again, it works again.
    ASSERT_TRUE(output.Open(kRate, 2, kPeriod));
    EXPECT_TRUE(output.Write(frame, 1));
}
