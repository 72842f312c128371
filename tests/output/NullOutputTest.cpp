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
    const struct {
        DWORD rate, channels, frames;
        int writes;
        double seconds;
        const char *what;
    } cases[] = {
        {kRate, 2, kPeriod, 30, 0.300, "mixer periods"},
        {kRate, 2, 9600, 1, 0.200, "one piece: returns only when the last frame is due"},
        // 7 frames do not divide a second evenly; deadlines from one epoch
        // keep the rounding from adding up.
        {11025, 1, 7, 315, 0.200, "7 frames at 11025 Hz"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        CNullOutput output;
        std::vector<float> block(c.frames * c.channels, 0.25f);
        // Timed from before Open, which starts the output's clock.
        const auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(output.Open(c.rate, c.channels, kPeriod));
        for (int i = 0; i < c.writes; ++i)
            ASSERT_TRUE(output.Write(block.data(), c.frames));
        EXPECT_GE(SecondsSince(start), c.seconds);
        EXPECT_EQ(0u, output.GetLatencyFrames());
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
    EXPECT_FALSE(output.Open(kRate, 0, kPeriod));
    ASSERT_TRUE(output.Open(0, 2, kPeriod)) << "rate 0: its own";
    EXPECT_EQ(48000u, output.GetRate());
    ASSERT_TRUE(output.Open(kRate, 2, 0));
    EXPECT_TRUE(output.Write(frame, 0));
    EXPECT_TRUE(output.Write(frame, 1));
    output.Close();
    EXPECT_FALSE(output.Write(frame, 1)) << "closed";
    // Opened again, it works again.
    ASSERT_TRUE(output.Open(kRate, 2, kPeriod));
    EXPECT_TRUE(output.Write(frame, 1));
}
