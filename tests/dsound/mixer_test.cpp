// The mixer as heard: what it renders for buffers set up through the
// DirectSound calls, on a device without output or thread.
#include <gtest/gtest.h>
#include <math.h>
#include <string.h>

#include <functional>
#include <vector>

#include "platform/posix/dsound/CDirectSound.h"

namespace {

const GUID kSubtypePcm = {0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
const DWORD kRate = CDirectSound::kOutputRate;
const DWORD kControls = DSBCAPS_CTRLFREQUENCY | DSBCAPS_CTRLPAN | DSBCAPS_CTRLVOLUME;
const double kPi = 3.14159265358979323846;

WAVEFORMATEXTENSIBLE Format(WORD tag, WORD channels, DWORD rate, WORD bits)
{
    WAVEFORMATEXTENSIBLE f;
    memset(&f, 0, sizeof(f));
    f.Format.wFormatTag = tag;
    f.Format.nChannels = channels;
    f.Format.nSamplesPerSec = rate;
    f.Format.wBitsPerSample = bits;
    f.Format.nBlockAlign = static_cast<WORD>(channels * bits / 8);
    f.Format.nAvgBytesPerSec = rate * f.Format.nBlockAlign;
    return f;
}

// Writes one sample value in [-1, 1) in the format's encoding.
void Put(BYTE *p, const WAVEFORMATEXTENSIBLE &x, double v)
{
    const WAVEFORMATEX &f = x.Format;
    const bool isFloat = f.wFormatTag == WAVE_FORMAT_IEEE_FLOAT ||
                         (f.wFormatTag == WAVE_FORMAT_EXTENSIBLE && x.SubFormat.Data1 == WAVE_FORMAT_IEEE_FLOAT);
    switch (f.wBitsPerSample) {
    case 8: *p = static_cast<BYTE>(lround(v * 128) + 128); break;
    case 16: {
        const int16_t s = static_cast<int16_t>(lround(v * 32768));
        memcpy(p, &s, 2);
        break;
    }
    case 24: {
        const int32_t s = static_cast<int32_t>(lround(v * 8388608));
        p[0] = BYTE(s);
        p[1] = BYTE(s >> 8);
        p[2] = BYTE(s >> 16);
        break;
    }
    case 32:
        if (isFloat) {
            const float s = static_cast<float>(v);
            memcpy(p, &s, 4);
        } else {
            const int32_t s = static_cast<int32_t>(llround(v * 2147483648.0));
            memcpy(p, &s, 4);
        }
        break;
    }
}

class MixerTest : public ::testing::Test {
protected:
    void SetUp() override { m_ds = new CDirectSound(nullptr); }
    void TearDown() override
    {
        for (IDirectSoundBuffer *b : m_buffers)
            b->Release();
        m_ds->Release();
    }

    // A buffer of `frames` frames whose channel c of frame i is fill(i, c).
    IDirectSoundBuffer *Make(const WAVEFORMATEXTENSIBLE &format, DWORD frames,
                             const std::function<double(DWORD, DWORD)> &fill)
    {
        DSBUFFERDESC d;
        memset(&d, 0, sizeof(d));
        d.dwSize = sizeof(DSBUFFERDESC1);
        d.dwFlags = kControls;
        d.dwBufferBytes = frames * format.Format.nBlockAlign;
        d.lpwfxFormat = const_cast<LPWAVEFORMATEX>(&format.Format);
        IDirectSoundBuffer *b = nullptr;
        EXPECT_EQ(DS_OK, m_ds->CreateSoundBuffer(&d, &b, nullptr));
        if (b == nullptr)
            return nullptr;
        m_buffers.push_back(b);
        LPVOID p1, p2;
        DWORD n1, n2;
        EXPECT_EQ(DS_OK, b->Lock(0, 0, &p1, &n1, &p2, &n2, DSBLOCK_ENTIREBUFFER));
        const WAVEFORMATEX &f = format.Format;
        for (DWORD i = 0; i < frames; ++i)
            for (DWORD c = 0; c < f.nChannels; ++c)
                Put(static_cast<BYTE *>(p1) + i * f.nBlockAlign + c * f.wBitsPerSample / 8, format,
                    fill(i, c));
        EXPECT_EQ(DS_OK, b->Unlock(p1, n1, p2, n2));
        return b;
    }

    IDirectSoundBuffer *Mono16(DWORD rate, DWORD frames, const std::function<double(DWORD)> &fill)
    {
        return Make(Format(WAVE_FORMAT_PCM, 1, rate, 16), frames,
                    [&](DWORD i, DWORD) { return fill(i); });
    }

    // Renders in the mixer thread's period, as it would.
    std::vector<float> Render(DWORD frames)
    {
        std::vector<float> out(2 * frames);
        for (DWORD done = 0; done < frames;) {
            const DWORD n = std::min(CDirectSound::kPeriodFrames, frames - done);
            m_ds->GetMixer().Render(out.data() + 2 * done, n);
            done += n;
        }
        return out;
    }

    static double Peak(const std::vector<float> &out, DWORD channel, DWORD from = 0)
    {
        double peak = 0;
        for (size_t i = 2 * from + channel; i < out.size(); i += 2)
            peak = std::max(peak, fabs(double(out[i])));
        return peak;
    }

    static DWORD ZeroCrossings(const std::vector<float> &out, DWORD channel)
    {
        DWORD n = 0;
        for (size_t i = 2 + channel; i < out.size(); i += 2)
            n += (out[i - 2] < 0) != (out[i] < 0);
        return n;
    }

    // The largest step between neighbouring frames of one channel.
    static double MaxStep(const std::vector<float> &out, DWORD channel)
    {
        double step = 0;
        for (size_t i = 2 + channel; i < out.size(); i += 2)
            step = std::max(step, fabs(double(out[i]) - out[i - 2]));
        return step;
    }

    static double Sine(DWORD i, double hz, DWORD rate, double amplitude = 0.5)
    {
        return amplitude * sin(2 * kPi * hz * i / rate);
    }

    CDirectSound *m_ds = nullptr;
    std::vector<IDirectSoundBuffer *> m_buffers;
};

TEST_F(MixerTest, NothingPlayingIsSilence)
{
    Mono16(kRate, 480, [](DWORD) { return 0.5; });
    EXPECT_EQ(0.0, Peak(Render(1000), 0));
}

TEST_F(MixerTest, VolumeLaw)
{
    const struct {
        LONG volume;
        double amplitude;
    } cases[] = {{0, 1.0}, {-600, 0.501187}, {-2000, 0.1}, {-6000, 0.001}, {-10000, 0.0}};
    for (const auto &c : cases) {
        IDirectSoundBuffer *b = Mono16(kRate, 4800, [](DWORD) { return 0.5; });
        ASSERT_EQ(DS_OK, b->SetVolume(c.volume));
        ASSERT_EQ(DS_OK, b->Play(0, 0, DSBPLAY_LOOPING));
        const std::vector<float> out = Render(2400);
        EXPECT_NEAR(0.5 * c.amplitude, out[0], 1e-6) << c.volume;
        EXPECT_NEAR(0.5 * c.amplitude, out[1], 1e-6) << c.volume;
        EXPECT_NEAR(0.5 * c.amplitude, Peak(out, 0), 1e-6) << c.volume;
        ASSERT_EQ(DS_OK, b->Stop());
        Render(1000);  // the stop's fade-out
    }
}

TEST_F(MixerTest, MinusSixHundredHalvesTheAmplitude)
{
    IDirectSoundBuffer *loud = Mono16(kRate, 480, [](DWORD i) { return Sine(i, 1000, kRate); });
    ASSERT_EQ(DS_OK, loud->Play(0, 0, DSBPLAY_LOOPING));
    const double full = Peak(Render(4800), 0);
    ASSERT_EQ(DS_OK, loud->SetVolume(-600));
    Render(480);  // past the glide to the new volume
    const double half = Peak(Render(4800), 0);
    EXPECT_NEAR(0.5, half / full, 0.002);
}

TEST_F(MixerTest, PanAttenuatesOnlyTheFarSide)
{
    IDirectSoundBuffer *b = Mono16(kRate, 480, [](DWORD) { return 0.5; });
    ASSERT_EQ(DS_OK, b->SetPan(DSBPAN_LEFT));
    ASSERT_EQ(DS_OK, b->Play(0, 0, DSBPLAY_LOOPING));
    std::vector<float> out = Render(2400);
    EXPECT_NEAR(0.5, Peak(out, 0), 1e-6);
    EXPECT_EQ(0.0, Peak(out, 1));

    ASSERT_EQ(DS_OK, b->SetPan(2000));
    Render(480);
    out = Render(2400);
    EXPECT_NEAR(0.05, Peak(out, 0), 1e-6);
    EXPECT_NEAR(0.5, Peak(out, 1), 1e-6);

    // Volume and pan add up in decibels.
    ASSERT_EQ(DS_OK, b->SetVolume(-600));
    ASSERT_EQ(DS_OK, b->SetPan(-600));
    Render(480);
    out = Render(2400);
    EXPECT_NEAR(0.5 * 0.501187, Peak(out, 0), 1e-5);
    EXPECT_NEAR(0.5 * 0.251189, Peak(out, 1), 1e-5);
}

TEST_F(MixerTest, FrequencyMovesThePitch)
{
    // One second of a 1 kHz tone at 48 kHz, looped.
    IDirectSoundBuffer *b = Mono16(kRate, kRate, [](DWORD i) { return Sine(i, 1000, kRate); });
    ASSERT_EQ(DS_OK, b->Play(0, 0, DSBPLAY_LOOPING));
    EXPECT_NEAR(1000, ZeroCrossings(Render(kRate / 2), 0), 4);

    ASSERT_EQ(DS_OK, b->SetFrequency(2 * kRate));
    EXPECT_NEAR(2000, ZeroCrossings(Render(kRate / 2), 0), 4);
    ASSERT_EQ(DS_OK, b->SetFrequency(kRate / 2));
    EXPECT_NEAR(500, ZeroCrossings(Render(kRate / 2), 0), 4);
}

TEST_F(MixerTest, OtherRatesAreConverted)
{
    const DWORD rates[] = {8000, 11025, 22050, 44100, 96000, 192000};
    for (DWORD rate : rates) {
        IDirectSoundBuffer *b = Mono16(rate, rate, [rate](DWORD i) { return Sine(i, 1000, rate); });
        ASSERT_EQ(DS_OK, b->Play(0, 0, DSBPLAY_LOOPING));
        const std::vector<float> out = Render(kRate / 2);
        EXPECT_NEAR(1000, ZeroCrossings(out, 0), 4) << rate;
        EXPECT_NEAR(0.5, Peak(out, 0), 0.02) << rate;
        // A smooth tone stays smooth: 1 kHz at 0.5 moves at most 0.066 per frame.
        EXPECT_LT(MaxStep(out, 0), 0.07) << rate;
        ASSERT_EQ(DS_OK, b->Stop());
        Render(1000);
    }
}

TEST_F(MixerTest, LinearInterpolationBetweenFrames)
{
    // At half the output rate every other output frame lies halfway.
    IDirectSoundBuffer *b = Mono16(kRate / 2, 8, [](DWORD i) { return i * 0.0625; });
    ASSERT_EQ(DS_OK, b->Play(0, 0, 0));
    const std::vector<float> out = Render(20);
    for (DWORD i = 0; i < 15; ++i)
        EXPECT_FLOAT_EQ(float(i * 0.03125), out[2 * i]) << i;
    // The fraction after the last frame holds it; then the buffer has ended.
    EXPECT_FLOAT_EQ(7 * 0.0625f, out[2 * 15]);
    for (DWORD i = 16; i < 20; ++i)
        EXPECT_EQ(0.0f, out[2 * i]) << i;
}

TEST_F(MixerTest, LoopJoinsWithoutAGap)
{
    // A ramp that is not periodic in the block size: each pass must follow
    // the last one frame for frame.
    const DWORD frames = 1001;
    IDirectSoundBuffer *b = Mono16(kRate, frames, [](DWORD i) { return (i % 1001) / 2048.0; });
    ASSERT_EQ(DS_OK, b->Play(0, 0, DSBPLAY_LOOPING));
    const std::vector<float> out = Render(5 * frames + 17);
    DWORD wrong = 0;
    for (DWORD i = 0; i < 5 * frames + 17; ++i)
        wrong += out[2 * i] != float((i % frames) / 2048.0);
    EXPECT_EQ(0u, wrong);
    DWORD status = 0;
    ASSERT_EQ(DS_OK, b->GetStatus(&status));
    EXPECT_EQ(DWORD(DSBSTATUS_PLAYING | DSBSTATUS_LOOPING), status);
}

TEST_F(MixerTest, LoopJoinsSmoothlyAtAnotherRate)
{
    // 441 frames hold exactly ten cycles of 1 kHz at 44.1 kHz.
    IDirectSoundBuffer *b = Mono16(44100, 441, [](DWORD i) { return Sine(i, 1000, 44100); });
    ASSERT_EQ(DS_OK, b->Play(0, 0, DSBPLAY_LOOPING));
    const std::vector<float> out = Render(kRate);
    EXPECT_LT(MaxStep(out, 0), 0.07);
    EXPECT_NEAR(2000, ZeroCrossings(out, 0), 4);
}

TEST_F(MixerTest, OneShotEndsAtItsLastFrame)
{
    const DWORD frames = 1000;  // not a whole number of periods
    IDirectSoundBuffer *b = Mono16(kRate, frames, [](DWORD) { return 0.25; });
    ASSERT_EQ(DS_OK, b->Play(0, 0, 0));
    const std::vector<float> out = Render(frames + 500);
    for (DWORD i = 0; i < frames; ++i)
        ASSERT_EQ(0.25f, out[2 * i]) << i;
    for (DWORD i = frames; i < frames + 500; ++i)
        ASSERT_EQ(0.0f, out[2 * i]) << i;

    DWORD status = 1, play = 1, write = 1;
    ASSERT_EQ(DS_OK, b->GetStatus(&status));
    EXPECT_EQ(0u, status);
    ASSERT_EQ(DS_OK, b->GetCurrentPosition(&play, &write));
    EXPECT_EQ(0u, play);
}

TEST_F(MixerTest, OneShotEndingExactlyAtABlockReportsStoppedAtOnce)
{
    IDirectSoundBuffer *b = Mono16(kRate, CDirectSound::kPeriodFrames, [](DWORD) { return 0.25; });
    ASSERT_EQ(DS_OK, b->Play(0, 0, 0));
    Render(CDirectSound::kPeriodFrames);
    DWORD status = 1;
    ASSERT_EQ(DS_OK, b->GetStatus(&status));
    EXPECT_EQ(0u, status);
}

TEST_F(MixerTest, PlayResumesWhereStopLeftOff)
{
    IDirectSoundBuffer *b = Mono16(kRate, 4800, [](DWORD i) { return i / 8192.0; });
    ASSERT_EQ(DS_OK, b->SetCurrentPosition(2 * 1000));
    ASSERT_EQ(DS_OK, b->Play(0, 0, 0));
    std::vector<float> out = Render(480);
    EXPECT_EQ(float(1000 / 8192.0), out[0]);
    ASSERT_EQ(DS_OK, b->Stop());
    DWORD play = 0;
    ASSERT_EQ(DS_OK, b->GetCurrentPosition(&play, nullptr));
    EXPECT_EQ(2u * 1480, play);
    Render(480);
    ASSERT_EQ(DS_OK, b->Play(0, 0, 0));
    out = Render(480);
    EXPECT_EQ(float(1480 / 8192.0), out[0]);
}

TEST_F(MixerTest, VolumeStepsGlideWithoutClicks)
{
    IDirectSoundBuffer *b = Mono16(kRate, 480, [](DWORD) { return 0.5; });
    ASSERT_EQ(DS_OK, b->Play(0, 0, DSBPLAY_LOOPING));
    Render(480);
    // A fade the way the library does it: big steps every 50 ms.
    std::vector<float> heard;
    for (LONG volume = -1000; volume >= -10000; volume -= 1500) {
        ASSERT_EQ(DS_OK, b->SetVolume(volume));
        LONG reported = 0;
        ASSERT_EQ(DS_OK, b->GetVolume(&reported));
        EXPECT_EQ(volume, reported);
        const std::vector<float> out = Render(2400);
        heard.insert(heard.end(), out.begin(), out.end());
        // Each step is reached within 5 ms and held.
        const double expected = volume == DSBVOLUME_MIN ? 0.0 : 0.5 * pow(10.0, volume / 2000.0);
        EXPECT_NEAR(expected, out[2 * 2399], 1e-7) << volume;
    }
    // Unramped, the first step alone would jump by 0.34.
    EXPECT_LT(MaxStep(heard, 0), 0.35 / 200);
    EXPECT_LT(MaxStep(heard, 1), 0.35 / 200);
}

TEST_F(MixerTest, StopFadesOutInsteadOfCutting)
{
    IDirectSoundBuffer *b = Mono16(kRate, 480, [](DWORD) { return 0.5; });
    ASSERT_EQ(DS_OK, b->Play(0, 0, DSBPLAY_LOOPING));
    std::vector<float> out = Render(480);
    ASSERT_EQ(DS_OK, b->Stop());
    DWORD status = 1;
    ASSERT_EQ(DS_OK, b->GetStatus(&status));
    EXPECT_EQ(0u, status);  // stopped at once, whatever is still heard
    const std::vector<float> tail = Render(480);
    out.insert(out.end(), tail.begin(), tail.end());
    EXPECT_LT(MaxStep(out, 0), 0.5 / 200);
    // Silent after the fade.
    EXPECT_EQ(0.0, Peak(tail, 0, CDirectSound::kPeriodFrames));
    EXPECT_GT(tail[0], 0.4f);
}

TEST_F(MixerTest, ReleaseWhilePlayingFadesOutAndFrees)
{
    IDirectSoundBuffer *b = Mono16(kRate, 480, [](DWORD) { return 0.5; });
    ASSERT_EQ(DS_OK, b->Play(0, 0, DSBPLAY_LOOPING));
    Render(100);
    m_buffers.clear();
    EXPECT_EQ(0u, b->Release());
    const std::vector<float> out = Render(1000);
    EXPECT_GT(out[0], 0.4f);
    EXPECT_EQ(0.0, Peak(out, 0, CDirectSound::kPeriodFrames));
}

TEST_F(MixerTest, VoicesAddUpAndClip)
{
    IDirectSoundBuffer *a = Mono16(kRate, 480, [](DWORD) { return 0.25; });
    IDirectSoundBuffer *b = Mono16(kRate, 480, [](DWORD) { return 0.5; });
    ASSERT_EQ(DS_OK, a->Play(0, 0, DSBPLAY_LOOPING));
    ASSERT_EQ(DS_OK, b->Play(0, 0, DSBPLAY_LOOPING));
    EXPECT_FLOAT_EQ(0.75f, Render(10)[0]);
    IDirectSoundBuffer *c = Mono16(kRate, 480, [](DWORD) { return 0.5; });
    ASSERT_EQ(DS_OK, c->Play(0, 0, DSBPLAY_LOOPING));
    EXPECT_EQ(1.0f, Render(10)[0]);
}

// Every encoding reaches the output at the value it stands for.
TEST_F(MixerTest, SampleFormats)
{
    const struct {
        WAVEFORMATEXTENSIBLE format;
        const char *name;
    } cases[] = {
        {Format(WAVE_FORMAT_PCM, 2, kRate, 8), "8-bit"},
        {Format(WAVE_FORMAT_PCM, 2, kRate, 16), "16-bit"},
        {Format(WAVE_FORMAT_PCM, 2, kRate, 24), "24-bit"},
        {Format(WAVE_FORMAT_PCM, 2, kRate, 32), "32-bit"},
        {Format(WAVE_FORMAT_IEEE_FLOAT, 2, kRate, 32), "float"},
    };
    for (const auto &c : cases) {
        // Left and right differ, so a swap or a mono mix-down shows.
        IDirectSoundBuffer *b =
            Make(c.format, 480, [](DWORD i, DWORD ch) { return (ch == 0 ? 0.5 : -0.25) * (i % 2 ? 1 : 0.5); });
        ASSERT_EQ(DS_OK, b->Play(0, 0, 0));
        const std::vector<float> out = Render(481);
        EXPECT_NEAR(0.25, out[0], 1e-6) << c.name;
        EXPECT_NEAR(-0.125, out[1], 1e-6) << c.name;
        EXPECT_NEAR(0.5, out[2], 1e-6) << c.name;
        EXPECT_NEAR(-0.25, out[3], 1e-6) << c.name;
        EXPECT_EQ(0.0f, out[2 * 480]) << c.name;
    }
}

TEST_F(MixerTest, EightBitSilenceIsSilent)
{
    IDirectSoundBuffer *b = Make(Format(WAVE_FORMAT_PCM, 1, kRate, 8), 480, [](DWORD, DWORD) { return 0.0; });
    ASSERT_EQ(DS_OK, b->Play(0, 0, DSBPLAY_LOOPING));
    EXPECT_EQ(0.0, Peak(Render(480), 0));
}

TEST_F(MixerTest, MonoGoesToBothChannels)
{
    IDirectSoundBuffer *b = Make(Format(WAVE_FORMAT_IEEE_FLOAT, 1, kRate, 32), 480,
                                 [](DWORD, DWORD) { return 0.375; });
    ASSERT_EQ(DS_OK, b->Play(0, 0, 0));
    const std::vector<float> out = Render(10);
    EXPECT_EQ(0.375f, out[0]);
    EXPECT_EQ(0.375f, out[1]);
}

TEST_F(MixerTest, ExtensibleSixChannelsFoldToStereo)
{
    WAVEFORMATEXTENSIBLE f = Format(WAVE_FORMAT_EXTENSIBLE, 6, kRate, 16);
    f.Format.cbSize = 22;
    f.Samples.wValidBitsPerSample = 16;
    f.dwChannelMask = 0x3F;  // FL FR FC LFE BL BR
    f.SubFormat = kSubtypePcm;
    const double level[6] = {0.1, 0.2, 0.3, 0.4, 0.05, 0.0625};
    IDirectSoundBuffer *b = Make(f, 480, [&](DWORD, DWORD c) { return level[c]; });
    ASSERT_EQ(DS_OK, b->Play(0, 0, 0));
    const std::vector<float> out = Render(10);
    const double h = sqrt(0.5);
    // Fronts straight, centre and backs at -3 dB, no low-frequency channel.
    EXPECT_NEAR(0.1 + h * 0.3 + h * 0.05, out[0], 1e-4);
    EXPECT_NEAR(0.2 + h * 0.3 + h * 0.0625, out[1], 1e-4);

    // A mask that puts the same six channels elsewhere.
    f.dwChannelMask = 0x607;  // FL FR FC SL SR + one beyond the mask
    const double other[6] = {0.1, 0.2, 0.3, 0.05, 0.0625, 0.5};
    IDirectSoundBuffer *c = Make(f, 480, [&](DWORD, DWORD ch) { return other[ch]; });
    ASSERT_EQ(DS_OK, b->Stop());
    Render(480);
    ASSERT_EQ(DS_OK, c->Play(0, 0, 0));
    const std::vector<float> second = Render(10);
    EXPECT_NEAR(0.1 + h * 0.3 + h * 0.05, second[0], 1e-4);
    EXPECT_NEAR(0.2 + h * 0.3 + h * 0.0625, second[1], 1e-4);
}

TEST_F(MixerTest, ChannelsBeyondTheMaskAreNotHeard)
{
    WAVEFORMATEXTENSIBLE f = Format(WAVE_FORMAT_EXTENSIBLE, 4, kRate, 16);
    f.Format.cbSize = 22;
    f.Samples.wValidBitsPerSample = 16;
    f.dwChannelMask = 0x3;
    f.SubFormat = kSubtypePcm;
    IDirectSoundBuffer *b = Make(f, 480, [](DWORD, DWORD c) { return c < 2 ? 0.125 * (c + 1) : 0.5; });
    ASSERT_EQ(DS_OK, b->Play(0, 0, 0));
    std::vector<float> out = Render(10);
    EXPECT_FLOAT_EQ(0.125f, out[0]);
    EXPECT_FLOAT_EQ(0.25f, out[1]);
}

TEST_F(MixerTest, ExtensibleWithFloatAndNarrowValidBits)
{
    WAVEFORMATEXTENSIBLE f = Format(WAVE_FORMAT_EXTENSIBLE, 2, kRate, 32);
    f.Format.cbSize = 22;
    f.Samples.wValidBitsPerSample = 32;
    f.dwChannelMask = 3;
    f.SubFormat = {0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
    IDirectSoundBuffer *flt = Make(f, 480, [](DWORD, DWORD c) { return c ? -0.5 : 0.125; });
    ASSERT_EQ(DS_OK, flt->Play(0, 0, 0));
    std::vector<float> out = Render(10);
    EXPECT_FLOAT_EQ(0.125f, out[0]);
    EXPECT_FLOAT_EQ(-0.5f, out[1]);
    ASSERT_EQ(DS_OK, flt->Stop());
    Render(480);

    // 20 valid bits in a 24-bit container are its top bits.
    WAVEFORMATEXTENSIBLE g = Format(WAVE_FORMAT_EXTENSIBLE, 1, kRate, 24);
    g.Format.cbSize = 22;
    g.Samples.wValidBitsPerSample = 20;
    g.dwChannelMask = 4;
    g.SubFormat = kSubtypePcm;
    IDirectSoundBuffer *pcm = Make(g, 480, [](DWORD, DWORD) { return -0.75; });
    ASSERT_EQ(DS_OK, pcm->Play(0, 0, 0));
    out = Render(10);
    EXPECT_FLOAT_EQ(-0.75f, out[0]);
    EXPECT_FLOAT_EQ(-0.75f, out[1]);
}

TEST_F(MixerTest, FloatGarbageCannotPoisonTheMix)
{
    IDirectSoundBuffer *bad = Make(Format(WAVE_FORMAT_IEEE_FLOAT, 1, kRate, 32), 4,
                                   [](DWORD i, DWORD) { return i % 2 ? 1e30 : -1e30; });
    ASSERT_EQ(DS_OK, bad->Play(0, 0, DSBPLAY_LOOPING));
    LPVOID p1, p2;
    DWORD n1, n2;
    ASSERT_EQ(DS_OK, bad->Lock(0, 4, &p1, &n1, &p2, &n2, 0));
    const float nan = NAN;
    memcpy(p1, &nan, 4);
    ASSERT_EQ(DS_OK, bad->Unlock(p1, n1, p2, n2));
    for (float v : Render(480)) {
        EXPECT_LE(v, 1.0f);
        EXPECT_GE(v, -1.0f);
    }
}

}  // namespace
