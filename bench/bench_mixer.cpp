// What mixing costs: one second of output rendered the way the mixer
// thread does (5 ms periods) with 1, 8 or 32 voices playing: mono 16-bit at
// 22050 Hz (resampled), the same with its frequency moving every period (a
// pitch bend, resampled at ratios without a table of their own), stereo
// 16-bit at 44100 Hz (resampled) and at 48000 Hz (copied), float at 48000
// Hz, and 5.1 at 44100 Hz (folded to stereo). The counter core_per_voice is
// the processor time one voice takes per second of audio, as seconds (so
// 20u means 20 microseconds, 0.002 % of a core).
#include <benchmark/benchmark.h>
#include <string.h>

#include <vector>

#include "platform/posix/dsound/CDirectSound.h"

namespace {

const GUID kSubtypePcm = {0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};

enum Kind { PCM16_MONO_22050, PCM16_MONO_BENDING, PCM16_44100, PCM16_48000, FLOAT_48000, SURROUND_44100 };

WAVEFORMATEXTENSIBLE FormatFor(Kind kind)
{
    WAVEFORMATEXTENSIBLE f;
    memset(&f, 0, sizeof(f));
    f.Format.wFormatTag = kind == FLOAT_48000 ? WAVE_FORMAT_IEEE_FLOAT : WAVE_FORMAT_PCM;
    const bool mono = kind == PCM16_MONO_22050 || kind == PCM16_MONO_BENDING;
    f.Format.nChannels = mono ? 1 : 2;
    f.Format.nSamplesPerSec = kind == PCM16_44100 || kind == SURROUND_44100 ? 44100 : 48000;
    if (mono)
        f.Format.nSamplesPerSec = 22050;
    f.Format.wBitsPerSample = kind == FLOAT_48000 ? 32 : 16;
    if (kind == SURROUND_44100) {
        f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
        f.Format.nChannels = 6;
        f.Format.cbSize = 22;
        f.Samples.wValidBitsPerSample = 16;
        f.dwChannelMask = 0x3F;
        f.SubFormat = kSubtypePcm;
    }
    f.Format.nBlockAlign = static_cast<WORD>(f.Format.nChannels * f.Format.wBitsPerSample / 8);
    f.Format.nAvgBytesPerSec = f.Format.nSamplesPerSec * f.Format.nBlockAlign;
    return f;
}

void Mix(benchmark::State &state, Kind kind)
{
    const int voices = static_cast<int>(state.range(0));
    CDirectSound *ds = new CDirectSound(nullptr);
    WAVEFORMATEXTENSIBLE format = FormatFor(kind);
    std::vector<IDirectSoundBuffer *> buffers;
    uint32_t noise = 12345;
    for (int v = 0; v < voices; ++v) {
        DSBUFFERDESC d;
        memset(&d, 0, sizeof(d));
        d.dwSize = sizeof(DSBUFFERDESC1);
        d.dwFlags = DSBCAPS_CTRLFREQUENCY | DSBCAPS_CTRLPAN | DSBCAPS_CTRLVOLUME;
        d.dwBufferBytes = format.Format.nAvgBytesPerSec;  // one second, looped
        d.lpwfxFormat = &format.Format;
        IDirectSoundBuffer *b = nullptr;
        if (ds->CreateSoundBuffer(&d, &b, nullptr) != DS_OK) {
            state.SkipWithError("CreateSoundBuffer failed");
            break;
        }
        LPVOID p1, p2;
        DWORD n1, n2;
        b->Lock(0, 0, &p1, &n1, &p2, &n2, DSBLOCK_ENTIREBUFFER);
        for (DWORD i = 0; i + 4 <= n1; i += 4) {
            noise = noise * 1664525u + 1013904223u;
            // Quiet noise that is valid in every encoding used here.
            const uint32_t sample = kind == FLOAT_48000 ? 0x3C000000u | (noise >> 16) : noise & 0x0FFF0FFFu;
            memcpy(static_cast<BYTE *>(p1) + i, &sample, 4);
        }
        b->Unlock(p1, n1, p2, n2);
        b->SetVolume(-600);
        b->SetPan((v % 5 - 2) * 1000);
        b->Play(0, 0, DSBPLAY_LOOPING);
        buffers.push_back(b);
    }

    const DWORD period = CDirectSound::kPeriodFrames;
    std::vector<float> block(2 * period);
    DWORD bend = 0;
    for (auto _ : state) {
        for (DWORD done = 0; done < CDirectSound::kOutputRate; done += period) {
            if (kind == PCM16_MONO_BENDING) {
                // A slow vibrato of about a semitone, each voice at its own place in it.
                for (size_t v = 0; v < buffers.size(); ++v)
                    buffers[v]->SetFrequency(22050 - 600 + (bend + 37 * static_cast<DWORD>(v)) % 1201);
                bend += 7;
            }
            ds->GetMixer().Render(block.data(), period);
            benchmark::DoNotOptimize(block.data());
            benchmark::ClobberMemory();
        }
    }
    state.counters["core_per_voice"] = benchmark::Counter(
        voices, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);

    for (IDirectSoundBuffer *b : buffers)
        b->Release();
    ds->Release();
}

}  // namespace

// The voice of ../shared/peers' comparison: what most games' effects are.
BENCHMARK_CAPTURE(Mix, pcm16_mono_22050, PCM16_MONO_22050)->Arg(1)->Arg(8)->Arg(32)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Mix, pcm16_mono_22050_bending, PCM16_MONO_BENDING)->Arg(1)->Arg(8)->Arg(32)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Mix, pcm16_stereo_44100, PCM16_44100)->Arg(1)->Arg(8)->Arg(32)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Mix, pcm16_stereo_48000, PCM16_48000)->Arg(1)->Arg(8)->Arg(32)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Mix, float_stereo_48000, FLOAT_48000)->Arg(1)->Arg(8)->Arg(32)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Mix, pcm16_5_1_44100, SURROUND_44100)->Arg(1)->Arg(8)->Arg(32)->Unit(benchmark::kMicrosecond);
