// The cost of the exports' handle check and pinning, against the fake
// DirectSound so that no audio path is measured:
//   BM_GetVolume          DSoundGetVolume on a valid handle (handle check
//                         and pin, sound lock, one fake call)
//   BM_GetVolumeDirect    the same sound's GetVolume without the export
//   BM_InvalidHandle      DSoundGetVolume on a handle no device holds
//   BM_PinOnly            pinning and releasing the sound behind the handle
// With a registry of 1 or 32 devices, each holding 32 sounds, and the sound
// in the last slot of the last device. The threaded runs give each thread a
// sound of its own (/0: sounds of one device, /1: of two devices) and show
// what the threads cost each other; items_per_second counts the calls of
// all threads together. The fake serialises its own calls, so BM_GetVolume
// cannot scale here: BM_PinOnly shows the registry's part, bench_registry
// the whole call on the real library.
// And what the check of the application's memory adds to a large load:
//   BM_OpenMemLarge       DSoundOpenMem and DSoundClose of a 60 MiB image
//   BM_ProbeLarge         the check of those 60 MiB alone: as the library
//                         makes it (0), and without a descriptor to spare,
//                         through process_vm_readv (1)
//   BM_CopyLarge          one copy of the 60 MiB, as a scale
#include "dudidadu.h"

#include "frame/CDSoundManager.h"
#include "frame/CHandlePin.h"
#include "platform/CMemoryProbe.h"
#include "sound/CDSoundObject.h"

#include "fake_dsound.h"
#include "support/RiffWriter.h"

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

class Registry {
public:
    // Sets up `devices` devices with 32 sounds each; returns the last sound.
    LPVOID Fill(int devices)
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_devices != devices) {
            Clear();
            m_image = riff::ToneImage(440, 22050, 1, 16, 0.01, 0.5);
            for (int d = 0; d < devices; ++d) {
                LPVOID device = DSoundInitialize(
                    reinterpret_cast<HWND>(static_cast<uintptr_t>(0x9000 + 16 * d)), nullptr);
                for (int s = 0; s < 32 && device; ++s)
                    m_sounds[d][s] = DSoundOpenMem(device, m_image.data(), static_cast<DWORD>(m_image.size()));
            }
            m_devices = devices;
        }
        return m_sounds[devices - 1][31];
    }

    // A thread's own sound: of the last device (apart == 0), or each of its
    // own device, counting down from the last slot of the last device.
    LPVOID Own(int thread, int apart) const
    {
        const int device = m_devices - 1 - (apart ? thread % m_devices : 0);
        return m_sounds[device][apart ? 31 : 31 - thread % 32];
    }

    // Terminates every device: done before main returns, while the
    // platform's per-thread state still exists.
    void Clear()
    {
        for (int i = 0; i < 32; ++i)
            DSoundTerminate(g_DSoundManager.GetDeviceAt(i));
        fakeds::Reset();
        fakeds::SetLogging(false);
        m_devices = 0;
    }

private:
    std::mutex m_lock;
    riff::Bytes m_image;
    int m_devices = 0;
    LPVOID m_sounds[32][32] = {};
};

Registry &TheRegistry()
{
    static Registry registry;
    return registry;
}

void BM_GetVolume(benchmark::State &state)
{
    TheRegistry().Fill(static_cast<int>(state.range(0)));
    LPVOID sound = TheRegistry().Own(state.thread_index(), static_cast<int>(state.range(1)));
    for (auto _ : state)
        benchmark::DoNotOptimize(DSoundGetVolume(sound));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetVolume)->Args({1, 0})->Args({32, 0});
BENCHMARK(BM_GetVolume)->Args({32, 0})->Args({32, 1})->Threads(1)->Threads(2)->UseRealTime();

void BM_GetVolumeDirect(benchmark::State &state)
{
    LPVOID handle = TheRegistry().Fill(static_cast<int>(state.range(0)));
    CHandlePin pin;
    if (!pin.PinSound(g_DSoundManager, handle)) {
        state.SkipWithError("no sound");
        return;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(pin.GetSound()->GetVolume());
}
BENCHMARK(BM_GetVolumeDirect)->Arg(32);

void BM_InvalidHandle(benchmark::State &state)
{
    TheRegistry().Fill(static_cast<int>(state.range(0)));
    int invented = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(DSoundGetVolume(&invented));
}
BENCHMARK(BM_InvalidHandle)->Arg(1)->Arg(32);

void BM_PinOnly(benchmark::State &state)
{
    TheRegistry().Fill(static_cast<int>(state.range(0)));
    LPVOID sound = TheRegistry().Own(state.thread_index(), static_cast<int>(state.range(1)));
    for (auto _ : state) {
        CHandlePin pin;
        benchmark::DoNotOptimize(pin.PinSound(g_DSoundManager, sound));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PinOnly)->Args({32, 0})->Args({32, 1})->Threads(1)->Threads(2)->UseRealTime();

const riff::Bytes &LargeImage()
{
    static const riff::Bytes image =
        riff::RiffWriter().Fmt(riff::PcmFormat(44100, 2, 16)).Data(riff::Bytes(60u << 20, 0x11)).Build();
    return image;
}

void BM_OpenMemLarge(benchmark::State &state)
{
    const riff::Bytes &image = LargeImage();
    LPVOID device = DSoundInitialize(reinterpret_cast<HWND>(static_cast<uintptr_t>(0xA000)), nullptr);
    LPVOID bytes = const_cast<uint8_t *>(image.data());
    for (auto _ : state) {
        LPVOID sound = DSoundOpenMem(device, bytes, static_cast<DWORD>(image.size()));
        if (sound == nullptr) {
            state.SkipWithError("DSoundOpenMem failed");
            break;
        }
        DSoundClose(sound);
    }
    DSoundTerminate(device);
}
BENCHMARK(BM_OpenMemLarge)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ProbeLarge(benchmark::State &state)
{
    const riff::Bytes &image = LargeImage();
    struct rlimit saved, none;
    getrlimit(RLIMIT_NOFILE, &saved);
    none = saved;
    none.rlim_cur = 0;
    if (state.range(0) == 1 && setrlimit(RLIMIT_NOFILE, &none) != 0) {
        state.SkipWithError("the descriptor limit cannot be lowered");
        return;
    }
    for (auto _ : state) {
        if (!CMemoryProbe::CanRead(image.data(), image.size())) {
            state.SkipWithError("the image is not readable");
            break;
        }
    }
    setrlimit(RLIMIT_NOFILE, &saved);
}
BENCHMARK(BM_ProbeLarge)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_CopyLarge(benchmark::State &state)
{
    const riff::Bytes &image = LargeImage();
    riff::Bytes copy(image.size());
    for (auto _ : state) {
        memcpy(copy.data(), image.data(), image.size());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_CopyLarge)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    TheRegistry().Clear();
    return 0;
}
