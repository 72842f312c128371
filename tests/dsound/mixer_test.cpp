// The mixer as heard: what it renders for buffers set up through the
// DirectSound calls, on a device without output or thread.
#include <gtest/gtest.h>
#include <math.h>
#include <string.h>

#include <functional>
#include <memory>
#include <vector>

#include "platform/posix/dsound/CDirectSound.h"
#include "platform/posix/dsound/CMixer.h"
#include "platform/posix/dsound/CVoice.h"
#include "support/WaveFormats.h"

namespace {

using testformats::Format;
using testformats::kSubtypeFloat;
using testformats::kSubtypePcm;
const DWORD kRate = CDirectSound::kOutputRate;
const DWORD kControls = DSBCAPS_CTRLFREQUENCY | DSBCAPS_CTRLPAN | DSBCAPS_CTRLVOLUME;
const double kPi = 3.14159265358979323846;

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

    static double Rms(const std::vector<float> &out, DWORD channel, DWORD from, DWORD frames)
    {
        double sum = 0;
        for (DWORD i = from; i < from + frames; ++i)
            sum += double(out[2 * i + channel]) * out[2 * i + channel];
        return sqrt(sum / frames);
    }

    // The tone of `hz` fitted to `frames` frames of one channel from `from`
    // on: its amplitude, and the RMS of everything else (images, aliases,
    // the kernel's errors) in `rest`.
    static double FitTone(const std::vector<float> &out, DWORD channel, DWORD from, DWORD frames, double hz,
                          double &rest)
    {
        double ss = 0, sc = 0, cc = 0, xs = 0, xc = 0;
        for (DWORD i = 0; i < frames; ++i) {
            const double s = sin(2 * kPi * hz * i / kRate), c = cos(2 * kPi * hz * i / kRate);
            const double x = out[2 * (from + i) + channel];
            ss += s * s, sc += s * c, cc += c * c, xs += x * s, xc += x * c;
        }
        const double det = ss * cc - sc * sc, a = (xs * cc - xc * sc) / det, b = (xc * ss - xs * sc) / det;
        double sum = 0;
        for (DWORD i = 0; i < frames; ++i) {
            const double e = out[2 * (from + i) + channel] - a * sin(2 * kPi * hz * i / kRate) -
                             b * cos(2 * kPi * hz * i / kRate);
            sum += e * e;
        }
        rest = sqrt(sum / frames);
        return sqrt(a * a + b * b);
    }

    CDirectSound *m_ds = nullptr;
    std::vector<IDirectSoundBuffer *> m_buffers;
};

TEST_F(MixerTest, VolumeLaw)
{
    const struct {
        LONG volume;
        double amplitude;
    } cases[] = {{0, 1.0}, {-600, 0.501187}, {-2000, 0.1}, {-6000, 0.001}, {-10000, 0.0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.volume);
        IDirectSoundBuffer *b = Mono16(kRate, 4800, [](DWORD) { return 0.5; });
        ASSERT_EQ(DS_OK, b->SetVolume(c.volume));
        EXPECT_EQ(0.0, Peak(Render(480), 0)) << "not playing yet";
        ASSERT_EQ(DS_OK, b->Play(0, 0, DSBPLAY_LOOPING));
        const std::vector<float> out = Render(2400);
        // Mono reaches both channels, from the first frame on.
        EXPECT_NEAR(0.5 * c.amplitude, out[0], 1e-6);
        EXPECT_NEAR(0.5 * c.amplitude, out[1], 1e-6);
        EXPECT_NEAR(0.5 * c.amplitude, Peak(out, 0), 1e-6);
        ASSERT_EQ(DS_OK, b->Stop());
        Render(1000);  // the stop's fade-out
    }
}

// As copied, and through the resampler with and without a table of its own.
TEST_F(MixerTest, PanAttenuatesOnlyTheFarSide)
{
    for (DWORD rate : {kRate, DWORD(22050), DWORD(22051)}) {
        IDirectSoundBuffer *b = Mono16(rate, 480, [](DWORD) { return 0.5; });
        ASSERT_EQ(DS_OK, b->Play(0, 0, DSBPLAY_LOOPING));
        const struct {
            LONG volume, pan;
            double left, right;
        } cases[] = {
            {0, DSBPAN_LEFT, 0.5, 0.0},
            {0, 2000, 0.05, 0.5},
            {-600, -600, 0.5 * 0.501187, 0.5 * 0.251189},  // volume and pan add up in decibels
        };
        for (const auto &c : cases) {
            SCOPED_TRACE(testing::Message() << rate << " Hz, volume " << c.volume << ", pan " << c.pan);
            ASSERT_EQ(DS_OK, b->SetVolume(c.volume));
            ASSERT_EQ(DS_OK, b->SetPan(c.pan));
            Render(480);  // past the glide
            const std::vector<float> out = Render(2400);
            EXPECT_NEAR(c.left, Peak(out, 0), 1e-5);
            EXPECT_NEAR(c.right, Peak(out, 1), 1e-5);
        }
        ASSERT_EQ(DS_OK, b->Stop());
        Render(1000);
    }
}

// A 1 kHz tone at any buffer rate, at any frequency set, comes out at the
// pitch the rates give, smooth, across loop joins too.
TEST_F(MixerTest, RatesAndFrequencyMoveThePitch)
{
    const struct {
        DWORD rate, frames, frequency;
        double hz;
    } cases[] = {
        {kRate, kRate, 0, 1000},
        {kRate, kRate, 2 * kRate, 2000},
        {kRate, kRate, kRate / 2, 500},
        {8000, 8000, 0, 1000},
        {11025, 11025, 0, 1000},
        {22050, 22050, 0, 1000},
        {44100, 441, 0, 1000},  // ten cycles, looped many times
        {96000, 96000, 0, 1000},
        {192000, 192000, 0, 1000},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.rate << " Hz buffer at frequency " << c.frequency);
        const DWORD rate = c.rate;
        IDirectSoundBuffer *b = Mono16(rate, c.frames, [rate](DWORD i) { return Sine(i, 1000, rate); });
        ASSERT_EQ(DS_OK, b->SetFrequency(c.frequency));
        ASSERT_EQ(DS_OK, b->Play(0, 0, DSBPLAY_LOOPING));
        const std::vector<float> out = Render(kRate / 2);
        EXPECT_NEAR(c.hz, ZeroCrossings(out, 0), 4);
        EXPECT_NEAR(0.5, Peak(out, 0), 0.02);
        // A smooth tone stays smooth, after its abrupt start: 2 kHz at 0.5
        // moves at most 0.066 per frame.
        const std::vector<float> after(out.begin() + 2 * 480, out.end());
        EXPECT_LT(MaxStep(after, 0), c.hz / 1000 * 0.07);
        ASSERT_EQ(DS_OK, b->Stop());
        Render(1000);
    }
}

// Tones near the top of a buffer's band keep their level, and nothing of
// the resampling (images of the tone, errors of the kernel's weights) comes
// out within 80 dB of them, all of it together.
TEST_F(MixerTest, ResamplingLeavesNoImages)
{
    const struct {
        DWORD rate, frequency;
        double hz;  // of the tone in the buffer
    } cases[] = {
        {44100, 0, 15000}, {22050, 0, 8000},   {11025, 0, 4000},  {8000, 0, 2900},
        {32000, 0, 11600}, {44100, 88200, 9000},  // played faster than the output: 18 kHz
        {96000, 0, 20000}, {96000, 0, 31000},  // above the output's band: filtered out
        {48000, 30000, 11000},
        {22050, 22051, 8000}, {44100, 44101, 15000},  // ratios without a table of their own
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.hz << " Hz in a " << c.rate << " Hz buffer at frequency "
                                        << c.frequency);
        const DWORD rate = c.rate;
        const double hz = c.hz;
        IDirectSoundBuffer *b = Mono16(rate, rate, [&](DWORD i) { return Sine(i, hz, rate); });
        ASSERT_EQ(DS_OK, b->SetFrequency(c.frequency));
        ASSERT_EQ(DS_OK, b->Play(0, 0, DSBPLAY_LOOPING));
        const std::vector<float> out = Render(kRate / 2);
        const double heard = hz * (c.frequency ? c.frequency : rate) / rate;
        double rest = 0;
        const double tone = FitTone(out, 0, 2000, 16384, heard, rest);
        const double level = 20 * log10(tone / 0.5), down = 20 * log10(tone / rest);
        printf("%5.0f Hz in %6u Hz at %6u: level %+.2f dB, all else %.1f dB down\n", hz, rate, c.frequency, level, down);
        if (heard < 0.45 * kRate) {
            EXPECT_NEAR(0.0, level, 0.5);
            EXPECT_GE(down, 80.0);
        } else {
            EXPECT_LT(20 * log10(Rms(out, 0, 2000, 16384) / 0.5), -80.0) << "a tone above the output's band folds back";
        }
        ASSERT_EQ(DS_OK, b->Stop());
        Render(1000);
    }
}

// SDL's resampler test as the bar: 50 s of sine at one rate played on an
// output at another, against the sine computed at the output's rate, from
// where the kernel has frames on both sides (the loop joins seamlessly):
// signal to everything else, and the largest difference. Left 440 Hz,
// right 1 kHz; ratios with a table and one without.
TEST_F(MixerTest, SinesSurviveRateConversion)
{
    const struct {
        DWORD rate, output, seconds;
        WORD channels;
        double snr, error;
    } cases[] = {
        {44100, 48000, 50, 1, 80, 0.001}, {22050, 96000, 50, 1, 79, 0.001},
        {44100, 48000, 10, 2, 80, 0.001}, {44101, 48000, 10, 1, 80, 0.001},
    };
    const double hz[] = {440, 1000};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.channels << " channels, " << c.rate << " Hz on " << c.output << " Hz");
        const WAVEFORMATEXTENSIBLE f = Format(WAVE_FORMAT_IEEE_FLOAT, c.channels, c.rate, 32);
        const DWORD frames = c.seconds * c.rate, period = c.output / 200;
        CMixer mixer(c.output);
        const auto voice = std::make_shared<CVoice>(CSampleFormat(&f.Format), frames * f.Format.nBlockAlign, c.output);
        ASSERT_TRUE(voice->IsValid());
        voice->Lend(0, voice->GetSize(), true);
        float *data = reinterpret_cast<float *>(voice->GetData());
        for (DWORD i = 0; i < frames; ++i)
            for (WORD ch = 0; ch < c.channels; ++ch)
                data[i * c.channels + ch] = float(sin(2 * kPi * hz[ch] * i / c.rate));
        voice->Return(0, voice->GetSize(), 0, 0);
        mixer.Add(voice);
        voice->Play(true);
        std::vector<float> out(2 * period);
        double signal[2] = {}, noise[2] = {}, worst[2] = {};
        for (WORD ch = 0; ch < c.channels; ++ch)
            signal[ch] = 0.5 * (c.seconds * c.output - 100);  // of a sine of amplitude 1
        for (DWORD done = 0; done < c.seconds * c.output; done += period) {
            mixer.Render(out.data(), period);
            for (WORD ch = 0; ch < c.channels; ++ch) {
                // The expected sine by turning a phasor, from each block's exact start.
                const double w = 2 * kPi * hz[ch] / c.output, cw = cos(w), sw = sin(w);
                double x = sin(w * done), y = cos(w * done);
                for (DWORD i = 0; i < period; ++i) {
                    if (done + i >= 100) {
                        const double e = out[2 * i + ch] - x;
                        noise[ch] += e * e;
                        worst[ch] = std::max(worst[ch], fabs(e));
                    }
                    const double nx = x * cw + y * sw;
                    y = y * cw - x * sw;
                    x = nx;
                }
            }
        }
        for (WORD ch = 0; ch < c.channels; ++ch) {
            const double snr = 10 * log10(signal[ch] / noise[ch]);
            printf("%u Hz on %u Hz, %u channels, %s: SNR %.1f dB, largest error %.6f\n", c.rate, c.output,
                   c.channels, ch ? "right" : "left", snr, worst[ch]);
            EXPECT_GE(snr, c.snr);
            EXPECT_LE(worst[ch], c.error);
        }
        EXPECT_TRUE(c.channels == 2 || out[0] == out[1]) << "mono is heard on both sides";
    }
}

// A voice at the output's own rate is its samples times the gains, nothing
// filtered: noise over the whole band comes out as it went in, also after
// a detour to another frequency once it is on a whole frame again.
TEST_F(MixerTest, OutputRateIsACopy)
{
    uint32_t noise = 1;
    std::vector<int16_t> samples(2 * 4800);
    for (int16_t &x : samples) {
        noise = noise * 1664525u + 1013904223u;
        x = static_cast<int16_t>(noise >> 16);
    }
    IDirectSoundBuffer *b = Make(Format(WAVE_FORMAT_PCM, 2, kRate, 16), 4800,
                                 [&](DWORD i, DWORD ch) { return samples[2 * i + ch] / 32768.0; });
    ASSERT_EQ(DS_OK, b->SetVolume(-600));
    ASSERT_EQ(DS_OK, b->SetPan(-1500));
    const float gains[] = {float(pow(10.0, -600 / 2000.0)), float(pow(10.0, -2100 / 2000.0))};
    for (DWORD detour : {DWORD(0), DWORD(44100)}) {
        SCOPED_TRACE(detour);
        if (detour) {
            ASSERT_EQ(DS_OK, b->SetFrequency(detour));
            ASSERT_EQ(DS_OK, b->Play(0, 0, DSBPLAY_LOOPING));
            Render(1001);
            ASSERT_EQ(DS_OK, b->Stop());
            Render(1000);
            ASSERT_EQ(DS_OK, b->SetFrequency(DSBFREQUENCY_ORIGINAL));
        }
        ASSERT_EQ(DS_OK, b->SetCurrentPosition(0));
        ASSERT_EQ(DS_OK, b->Play(0, 0, 0));
        const std::vector<float> out = Render(4800);
        for (DWORD i = 0; i < 2 * 4800; ++i)
            ASSERT_FLOAT_EQ(samples[i] * (1.0f / 32768.0f) * gains[i % 2], out[i]) << i;
    }
}

// A sweep from 100 Hz to 0.45 of a buffer's rate comes out level within
// 0.5 dB all the way up.
TEST_F(MixerTest, SweepStaysLevel)
{
    for (DWORD rate : {DWORD(8000), DWORD(11025), DWORD(22050), DWORD(44100), DWORD(48000)}) {
        SCOPED_TRACE(rate);
        const double top = 0.45 * rate, seconds = 2.0;
        const DWORD frames = DWORD(seconds * rate);
        // Linear in frequency: phase = 2 pi (f0 t + (f1 - f0) t^2 / 2T).
        IDirectSoundBuffer *b = Mono16(rate, frames, [&](DWORD i) {
            const double t = double(i) / rate;
            return 0.5 * sin(2 * kPi * (100 * t + (top - 100) * t * t / (2 * seconds)));
        });
        ASSERT_EQ(DS_OK, b->Play(0, 0, 0));
        const std::vector<float> out = Render(DWORD(seconds * kRate));
        double low = 0, high = -100;
        const DWORD window = kRate / 100;
        for (DWORD from = kRate / 20; from + 2 * window < out.size() / 2; from += window) {
            const double db = 20 * log10(Rms(out, 0, from, window) / (0.5 / sqrt(2.0)));
            low = std::min(low, db);
            high = std::max(high, db);
        }
        printf("sweep to %.0f Hz in a %u Hz buffer: %+.2f .. %+.2f dB\n", top, rate, low, high);
        EXPECT_GT(low, -0.5);
        EXPECT_LT(high, 0.5);
    }
}

// Changing the frequency while a tone plays bends its pitch and nothing
// else: the output follows the tone read at the positions the mixer steps
// through, without a jump where the frequency changes.
TEST_F(MixerTest, FrequencyChangesAreClickFree)
{
    IDirectSoundBuffer *b = Mono16(44100, 441, [](DWORD i) { return Sine(i, 1000, 44100); });
    ASSERT_EQ(DS_OK, b->Play(0, 0, DSBPLAY_LOOPING));
    const DWORD settle = 2400;
    Render(settle);
    // The mixer's own steps: 32.32 fixed point source frames per output frame.
    uint64_t pos = settle * ((uint64_t(44100) << 32) / kRate);
    double worst = 0;
    const DWORD frequencies[] = {48000, 88200, 22050, 30011, 44100, 96000, 48000, 8000, 61234, 44100};
    for (int round = 0; round < 3; ++round) {
        for (DWORD f : frequencies) {
            ASSERT_EQ(DS_OK, b->SetFrequency(f));
            const DWORD frames = CDirectSound::kPeriodFrames + 37 * round;
            const std::vector<float> out = Render(frames);
            for (DWORD i = 0; i < frames; ++i) {
                const double expected = 0.5 * sin(2 * kPi * 1000 * (double(pos) / 4294967296.0) / 44100);
                worst = std::max(worst, fabs(out[2 * i] - expected));
                pos += (uint64_t(f) << 32) / kRate;
            }
        }
    }
    printf("largest difference from the tone at the mixer's positions: %.5f (%.1f dB below the tone)\n", worst,
           20 * log10(0.5 / worst));
    EXPECT_LT(worst, 0.0005);
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

TEST_F(MixerTest, OneShotEndsAtItsLastFrame)
{
    // Within a mixer period, and exactly at its end; resampled, after the
    // last output frame that falls before its end (1000 frames at 22050 Hz
    // are 2176.9 at 48000, 1470 exactly 3200), with and without a table of
    // its own.
    const struct {
        DWORD rate, frames, heard;
    } cases[] = {{kRate, 1000, 1000}, {kRate, kRate / 200, kRate / 200}, {22050, 1000, 2177},
                 {22050, 1470, 3200}, {22051, 1000, 2177}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.frames << " frames at " << c.rate << " Hz");
        IDirectSoundBuffer *b = Mono16(c.rate, c.frames, [](DWORD) { return 0.25; });
        ASSERT_EQ(DS_OK, b->Play(0, 0, 0));
        std::vector<float> out = Render(c.heard - 1);
        DWORD status = 0, play = 1;
        ASSERT_EQ(DS_OK, b->GetStatus(&status));
        EXPECT_EQ(DWORD(DSBSTATUS_PLAYING), status) << "stopped before its last frame";
        out.push_back(Render(1)[0]);
        ASSERT_EQ(DS_OK, b->GetStatus(&status));
        EXPECT_EQ(0u, status) << "not stopped as soon as its last frame is out";
        ASSERT_EQ(DS_OK, b->GetCurrentPosition(&play, nullptr));
        EXPECT_EQ(0u, play);
        const std::vector<float> after = Render(500);
        for (DWORD i = 0; c.rate == kRate && i < c.frames; ++i)
            ASSERT_EQ(0.25f, out[2 * i]) << i;
        EXPECT_EQ(0.0, Peak(after, 0, 20));  // past the kernel's reach
    }
}

TEST_F(MixerTest, PlayResumesWhereStopLeftOff)
{
    IDirectSoundBuffer *b = Mono16(kRate, 4800, [](DWORD i) { return i / 8192.0; });
    ASSERT_EQ(DS_OK, b->SetCurrentPosition(2 * 1000));
    ASSERT_EQ(DS_OK, b->Play(0, 0, 0));
    EXPECT_EQ(float(1000 / 8192.0), Render(480)[0]);
    ASSERT_EQ(DS_OK, b->Stop());
    DWORD play = 0;
    ASSERT_EQ(DS_OK, b->GetCurrentPosition(&play, nullptr));
    EXPECT_EQ(2u * 1480, play);
    Render(480);
    ASSERT_EQ(DS_OK, b->Play(0, 0, 0));
    EXPECT_EQ(float(1480 / 8192.0), Render(480)[0]);
}

TEST_F(MixerTest, VolumeStepsGlideWithoutClicks)
{
    for (DWORD rate : {kRate, DWORD(22050), DWORD(22051)}) {
        SCOPED_TRACE(rate);
        IDirectSoundBuffer *b = Mono16(rate, 480, [](DWORD) { return 0.5; });
        ASSERT_EQ(DS_OK, b->Play(0, 0, DSBPLAY_LOOPING));
        Render(480);
        // A fade the way the library does it: big steps every 50 ms.
        std::vector<float> heard;
        for (LONG volume = -1000; volume >= -10000; volume -= 1500) {
            ASSERT_EQ(DS_OK, b->SetVolume(volume));
            const std::vector<float> out = Render(2400);
            heard.insert(heard.end(), out.begin(), out.end());
            // Each step is reached within 5 ms and held.
            const double expected = volume == DSBVOLUME_MIN ? 0.0 : 0.5 * pow(10.0, volume / 2000.0);
            EXPECT_NEAR(expected, out[2 * 2399], 1e-6) << volume;
        }
        // Unramped, the first step alone would jump by 0.34.
        EXPECT_LT(MaxStep(heard, 0), 0.35 / 200);
        EXPECT_LT(MaxStep(heard, 1), 0.35 / 200);
        ASSERT_EQ(DS_OK, b->Stop());
    }
}

TEST_F(MixerTest, StopAndReleaseFadeOutInsteadOfCutting)
{
    for (bool release : {false, true}) {
        SCOPED_TRACE(release ? "release" : "stop");
        IDirectSoundBuffer *b = Mono16(kRate, 480, [](DWORD) { return 0.5; });
        ASSERT_EQ(DS_OK, b->Play(0, 0, DSBPLAY_LOOPING));
        std::vector<float> out = Render(480);
        if (release) {
            m_buffers.pop_back();
            EXPECT_EQ(0u, b->Release());
        } else {
            ASSERT_EQ(DS_OK, b->Stop());
            DWORD status = 1;
            ASSERT_EQ(DS_OK, b->GetStatus(&status));
            EXPECT_EQ(0u, status);  // stopped at once, whatever is still heard
        }
        const std::vector<float> tail = Render(480);
        out.insert(out.end(), tail.begin(), tail.end());
        EXPECT_LT(MaxStep(out, 0), 0.5 / 200);
        EXPECT_GT(tail[0], 0.4f);
        EXPECT_EQ(0.0, Peak(tail, 0, CDirectSound::kPeriodFrames));  // silent after the fade
    }
}

// A new buffer locked whole to be overwritten is not cleared first: what
// the caller leaves unwritten is silence all the same, as is a buffer
// played without any lock.
TEST_F(MixerTest, WhatIsNeverWrittenIsSilence)
{
    const struct {
        DWORD offset, bytes, flags, written[2][2];  // two regions: offset, bytes
    } cases[] = {
        {0, 0, DSBLOCK_ENTIREBUFFER | DSBLOCK_OVERWRITE, {{0, 20}, {0, 0}}},
        {0, 64, DSBLOCK_OVERWRITE, {{40, 10}, {8, 4}}},
        {16, 32, DSBLOCK_OVERWRITE, {{16, 32}, {0, 0}}},
        {0, 64, 0, {{0, 10}, {0, 0}}},
    };
    for (WORD bits : {WORD(8), WORD(16)}) {
        const WAVEFORMATEXTENSIBLE f = Format(WAVE_FORMAT_PCM, 1, kRate, bits);
        for (size_t i = 0; i <= sizeof(cases) / sizeof(cases[0]); ++i) {
            SCOPED_TRACE(testing::Message() << bits << " bits, case " << i);
            DSBUFFERDESC d = {sizeof(DSBUFFERDESC1), 0, 64, 0, const_cast<LPWAVEFORMATEX>(&f.Format), GUID()};
            IDirectSoundBuffer *b = nullptr;
            ASSERT_EQ(DS_OK, m_ds->CreateSoundBuffer(&d, &b, nullptr));
            m_buffers.push_back(b);
            if (i == sizeof(cases) / sizeof(cases[0])) {
                ASSERT_EQ(DS_OK, b->Play(0, 0, DSBPLAY_LOOPING));
                EXPECT_EQ(0.0, Peak(Render(100), 0)) << "played without a lock";
                continue;
            }
            LPVOID p1, p2;
            DWORD n1, n2;
            ASSERT_EQ(DS_OK, b->Lock(cases[i].offset, cases[i].bytes, &p1, &n1, &p2, &n2, cases[i].flags));
            BYTE *data = static_cast<BYTE *>(p1) - cases[i].offset;
            std::vector<BYTE> expected(64, bits == 8 ? 0x80 : 0x00);
            const DWORD(&w)[2][2] = cases[i].written;
            for (int r = 0; r < 2; ++r) {
                memset(data + w[r][0], 0x11, w[r][1]);
                memset(expected.data() + w[r][0], 0x11, w[r][1]);
            }
            ASSERT_EQ(DS_OK, b->Unlock(data + w[0][0], w[0][1], data + w[1][0], w[1][1]));
            ASSERT_EQ(DS_OK, b->Lock(0, 0, &p1, &n1, &p2, &n2, DSBLOCK_ENTIREBUFFER));
            EXPECT_EQ(expected, std::vector<BYTE>(static_cast<BYTE *>(p1), static_cast<BYTE *>(p1) + n1));
        }
    }
}

// A released buffer's bytes go back at once, and its voice leaves even an
// idle mixer at once when nothing of it sounds, else after its fade-out.
TEST_F(MixerTest, ReleasedVoicesLeaveTheMixer)
{
    const WAVEFORMATEXTENSIBLE f = Format(WAVE_FORMAT_PCM, 1, kRate, 16);
    for (bool played : {false, true}) {
        CMixer mixer(kRate);
        auto voice = std::make_shared<CVoice>(CSampleFormat(&f.Format), 9600, kRate);
        const std::weak_ptr<CVoice> seen = voice;
        mixer.Add(voice);
        std::vector<float> out(2 * 480);
        if (played) {
            voice->Play(true);
            mixer.Render(out.data(), 480);
        }
        voice->Detach();
        EXPECT_EQ(nullptr, voice->GetData());
        voice.reset();
        EXPECT_EQ(!played, seen.expired()) << played;
        mixer.Render(out.data(), 480);
        mixer.Render(out.data(), 480);
        EXPECT_TRUE(seen.expired()) << played;
    }
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

// Every encoding reaches the output at the value it stands for: frame by
// frame at the output's rate, and at its level through the resampler.
TEST_F(MixerTest, SampleFormats)
{
    for (DWORD rate : {kRate, DWORD(44100)}) {
        for (const WAVEFORMATEXTENSIBLE &format :
             {Format(WAVE_FORMAT_PCM, 2, rate, 8), Format(WAVE_FORMAT_PCM, 2, rate, 16),
              Format(WAVE_FORMAT_PCM, 2, rate, 24), Format(WAVE_FORMAT_PCM, 2, rate, 32),
              Format(WAVE_FORMAT_IEEE_FLOAT, 2, rate, 32)}) {
            SCOPED_TRACE(testing::Message() << rate << " Hz, tag " << format.Format.wFormatTag << ", "
                                            << format.Format.wBitsPerSample << " bits");
            // Left and right differ, so a swap or a mono mix-down shows; as
            // it is, every other frame is half as loud, so a frame out of
            // place shows too.
            const bool copy = rate == kRate;
            const auto level = [copy](DWORD i, DWORD ch) { return (ch == 0 ? 0.5 : -0.25) * (copy && i % 2 ? 0.5 : 1); };
            IDirectSoundBuffer *b = Make(format, 480, level);
            ASSERT_EQ(DS_OK, b->Play(0, 0, 0));
            const std::vector<float> out = Render(600);
            DWORD wrong = 0;
            for (DWORD i = copy ? 0 : 100; i < (copy ? 480 : 300); ++i)
                for (DWORD ch = 0; ch < 2; ++ch)
                    wrong += fabs(out[2 * i + ch] - level(i, ch)) > (copy ? 1e-6 : 1e-4);
            EXPECT_EQ(0u, wrong);
            EXPECT_EQ(0.0, Peak(out, 0, copy ? 480 : 560)) << "ended";
        }
    }
}

// What a voice sounds like does not depend on how the output is cut into
// periods: every way through the kernels (a ratio's blocks, also with a
// short last block in its cycle on a 44.1 kHz output; the kernel at any
// fraction; the copy) gives the same frames in odd pieces as in whole
// periods, across the ends of blocks, cycles and loops.
TEST_F(MixerTest, PeriodsDoNotChangeTheSound)
{
    const struct {
        WORD channels;
        DWORD rate, output;
    } cases[] = {{1, 22050, 48000}, {2, 44100, 48000}, {2, 48000, 44100}, {1, 22051, 48000},
                 {2, 48000, 48000}, {1, 96000, 48000}, {6, 11025, 48000}};
    const DWORD pieces[] = {1, 7, 16, 17, 100, 333, 2500};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.channels << " channels, " << c.rate << " Hz on " << c.output << " Hz");
        const WAVEFORMATEXTENSIBLE f = testformats::Extensible(c.channels, c.rate, 16, kSubtypePcm, 16, 0x3F >> (6 - c.channels));
        std::vector<float> heard[2];
        for (int way = 0; way < 2; ++way) {
            CMixer mixer(c.output);
            const auto voice = std::make_shared<CVoice>(CSampleFormat(&f.Format), 3001 * f.Format.nBlockAlign, c.output);
            uint32_t noise = 7;
            voice->Lend(0, voice->GetSize(), true);
            int16_t *data = reinterpret_cast<int16_t *>(voice->GetData());
            for (DWORD i = 0; i < 3001 * c.channels; ++i)
                data[i] = static_cast<int16_t>((noise = noise * 1664525u + 1013904223u) >> 18);
            voice->Return(0, voice->GetSize(), 0, 0);
            voice->SetVolume(-300);
            mixer.Add(voice);
            voice->Play(true);
            heard[way].resize(2 * 20000);
            for (DWORD done = 0, k = 0; done < 20000; ++k) {
                const DWORD n = std::min(20000 - done, way ? pieces[k % 7] : c.output / 200);
                mixer.Render(heard[way].data() + 2 * done, n);
                done += n;
            }
        }
        DWORD differ = 0;
        for (size_t i = 0; i < heard[0].size(); ++i)
            differ += fabs(heard[0][i] - heard[1][i]) > 1e-6;
        EXPECT_EQ(0u, differ);
        EXPECT_GT(Peak(heard[0], 0), 0.01);
    }
}

// Extensible layouts fold to stereo: fronts straight, centre and sides or
// backs at -3 dB, no low-frequency channel, nothing beyond the mask.
TEST_F(MixerTest, ExtensibleLayoutsFoldToStereo)
{
    const double h = sqrt(0.5);
    const struct {
        WORD channels, bits, validBits;
        DWORD mask;
        bool isFloat;
        double level[6];
        double left, right;
    } cases[] = {
        {6, 16, 16, 0x3F, false, {0.1, 0.2, 0.3, 0.4, 0.05, 0.0625}, 0.1 + h * 0.35, 0.2 + h * 0.3625},
        {6, 16, 16, 0x607, false, {0.1, 0.2, 0.3, 0.05, 0.0625, 0.5}, 0.1 + h * 0.35, 0.2 + h * 0.3625},
        {4, 16, 16, 0x3, false, {0.125, 0.25, 0.5, 0.5}, 0.125, 0.25},
        {2, 32, 32, 0x3, true, {0.125, -0.5}, 0.125, -0.5},
        {1, 24, 20, 0x4, false, {-0.75}, -0.75, -0.75},  // 20 valid bits are the container's top bits
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.channels << " channels, mask 0x" << std::hex << c.mask);
        WAVEFORMATEXTENSIBLE f = Format(WAVE_FORMAT_EXTENSIBLE, c.channels, kRate, c.bits);
        f.Format.cbSize = 22;
        f.Samples.wValidBitsPerSample = c.validBits;
        f.dwChannelMask = c.mask;
        f.SubFormat = c.isFloat ? kSubtypeFloat : kSubtypePcm;
        IDirectSoundBuffer *b = Make(f, 480, [&](DWORD, DWORD ch) { return c.level[ch]; });
        ASSERT_EQ(DS_OK, b->Play(0, 0, 0));
        const std::vector<float> out = Render(10);
        EXPECT_NEAR(c.left, out[0], 1e-4);  // 16-bit steps
        EXPECT_NEAR(c.right, out[1], 1e-4);
        ASSERT_EQ(DS_OK, b->Stop());
        Render(480);
    }
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
