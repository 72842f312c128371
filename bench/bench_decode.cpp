// What decoding at load costs: ten seconds of 44100 Hz stereo in each codec
// the library decodes, planned once and decoded over and over. The counter
// bytes_per_second is decoded output (the size the sound will hold); a sound
// loads once, so this is the time a DSoundOpen spends beyond reading its file.
#include <benchmark/benchmark.h>
#include <string.h>

#include <vector>

#include "support/RiffWriter.h"
#include "wave/CWaveDecoder.h"

namespace {

const uint32_t kRate = 44100;
const uint16_t kChannels = 2;
const double kSeconds = 10.0;

enum Codec { ALAW, MULAW, IMA_ADPCM, MS_ADPCM, FLOAT64 };

// Microsoft ADPCM blocks with plausible headers and noisy codes: the decoder
// does the same work whatever the codes say.
riff::Bytes MsBlocks(uint16_t align, size_t blocks)
{
    riff::Bytes out;
    uint32_t noise = 12345;
    for (size_t b = 0; b < blocks; ++b) {
        for (uint16_t c = 0; c < kChannels; ++c)
            out.push_back((uint8_t)(b % 7));
        for (int field = 0; field < 3; ++field) {
            for (uint16_t c = 0; c < kChannels; ++c)
                riff::PutU16(out, (uint16_t)(field == 0 ? 200 : 1000 * c));
        }
        for (size_t i = 7 * kChannels; i < align; ++i) {
            noise = noise * 1664525u + 1013904223u;
            out.push_back((uint8_t)(noise >> 24));
        }
    }
    return out;
}

void Decode(benchmark::State &state, Codec codec)
{
    const riff::Bytes tone = riff::PcmTone(440, kRate, kChannels, 16, kSeconds, 0.5);
    riff::WaveFormat format;
    riff::Bytes data;
    switch (codec) {
    case ALAW:
    case MULAW:
        format = riff::G711Format(codec == ALAW ? 6 : 7, kRate, kChannels);
        for (size_t i = 0; i < tone.size(); i += 2)
            data.push_back((uint8_t)(tone[i] ^ tone[i + 1]));
        break;
    case IMA_ADPCM:
        format = riff::ImaAdpcmFormat(kRate, kChannels, 2048);
        data = riff::ImaAdpcmEncode(tone, kChannels, 2048);
        break;
    case MS_ADPCM:
        format = riff::MsAdpcmFormat(kRate, kChannels, 2048);
        data = MsBlocks(2048, (size_t)(kSeconds * kRate / 2036) + 1);
        break;
    case FLOAT64:
        format = riff::PcmFormat(kRate, kChannels, 64);
        format.tag = 3;
        for (size_t i = 0; i < tone.size(); i += 2) {
            const double v = (int16_t)riff::GetU16(tone, i) / 32768.0;
            uint64_t bits;
            memcpy(&bits, &v, sizeof(bits));
            riff::PutU32(data, (uint32_t)bits);
            riff::PutU32(data, (uint32_t)(bits >> 32));
        }
        break;
    }
    const riff::Bytes record = format.Full();
    CWaveDecoder decoder;
    if (!decoder.Plan(reinterpret_cast<LPCWAVEFORMATEX>(record.data()), (DWORD)record.size(), (DWORD)data.size())) {
        state.SkipWithError(decoder.GetReason());
        return;
    }
    std::vector<BYTE> out((size_t)decoder.GetDecodedSize());
    for (auto _ : state) {
        decoder.Decode(data.data(), (DWORD)data.size(), out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)out.size());
    state.counters["input_MB"] = (double)data.size() / 1e6;
    state.counters["output_MB"] = (double)out.size() / 1e6;
}

}  // namespace

BENCHMARK_CAPTURE(Decode, ima_adpcm, IMA_ADPCM)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Decode, ms_adpcm, MS_ADPCM)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Decode, a_law, ALAW)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Decode, mu_law, MULAW)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Decode, float64, FLOAT64)->Unit(benchmark::kMillisecond);
