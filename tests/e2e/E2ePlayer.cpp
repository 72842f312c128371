#include "E2ePlayer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "dudidadu.h"
#include "support/RiffWriter.h"

namespace {
// Silence between scenarios, long enough for the checker to tell them apart.
const double kGap = 0.6;

riff::Bytes Tone(unsigned ms)
{
    return riff::ToneImage(E2ePlayer::TONE_HZ, E2ePlayer::TONE_RATE, 1, 16, ms / 1000.0, 0.5);
}

// The one-second tone in IMA ADPCM: the library decodes it at load.
riff::Bytes AdpcmTone()
{
    const riff::Bytes pcm = riff::PcmTone(E2ePlayer::TONE_HZ, E2ePlayer::TONE_RATE, 1, 16, 1.0, 0.5);
    return riff::RiffWriter()
        .Fmt(riff::ImaAdpcmFormat(E2ePlayer::TONE_RATE, 1, 1024))
        .Data(riff::ImaAdpcmEncode(pcm, 1, 1024))
        .Build();
}

// The one-second tone on the front left and right of a 5.1 file with a plain
// PCM record (as Python's wave module writes it), the other channels silent.
riff::Bytes SurroundTone()
{
    const riff::Bytes mono = riff::PcmTone(E2ePlayer::TONE_HZ, E2ePlayer::TONE_RATE, 1, 16, 1.0, 0.5);
    riff::Bytes samples;
    for (size_t i = 0; i + 1 < mono.size(); i += 2) {
        for (int c = 0; c < 6; ++c) {
            samples.push_back(c < 2 ? mono[i] : 0);
            samples.push_back(c < 2 ? mono[i + 1] : 0);
        }
    }
    return riff::RiffWriter().Fmt(riff::PcmFormat(E2ePlayer::TONE_RATE, 6, 16)).Data(samples).Build();
}
}

E2ePlayer::E2ePlayer(EventLog &log, void *device) : m_log(log), m_pDevice(device), m_nFailures(0) {}

bool E2ePlayer::Expect(bool condition, const std::string &scenario, const std::string &what)
{
    if (!condition) {
        ++m_nFailures;
        std::printf("FAIL %s: %s\n", scenario.c_str(), what.c_str());
        m_log.Add(scenario, "fail", 1);
    }
    return condition;
}

void E2ePlayer::Pause(double seconds)
{
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

bool E2ePlayer::WaitEnd(void *sound, double deadline)
{
    double until = m_log.Now() + deadline * 1000.0;
    while (DSoundIsPlaying(sound)) {
        if (m_log.Now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

void *E2ePlayer::OpenTone(const std::string &scenario, unsigned ms)
{
    // The library copies the image; ours may go away right after.
    riff::Bytes image = Tone(ms);
    void *sound = DSoundOpenMem(m_pDevice, image.data(), static_cast<DWORD>(image.size()));
    Expect(sound != nullptr, scenario, "DSoundOpenMem returned null");
    return sound;
}

void *E2ePlayer::StartLoop(const std::string &scenario, int volume)
{
    void *sound = OpenTone(scenario, 500);
    if (!sound)
        return nullptr;
    if (volume)
        Expect(DSoundSetVolume(sound, volume) == 1, scenario, "DSoundSetVolume did not return 1");
    m_log.Add(scenario, "play", volume);
    Expect(DSoundPlay(sound, 1) == 1, scenario, "DSoundPlay(s, 1) did not return 1");
    return sound;
}

void E2ePlayer::StopAndClose(const std::string &scenario, void *sound)
{
    DSoundStop(sound, 0);
    m_log.Add(scenario, "stop");
    Expect(WaitEnd(sound, 3.0), scenario, "still playing 3 s after DSoundStop(s, 0)");
    m_log.Add(scenario, "ended");
    DSoundClose(sound);
    Pause(kGap);
}

void E2ePlayer::OneShot(const std::string &scenario, const riff::Bytes &image, bool fromFile)
{
    void *sound = nullptr;
    std::string path = "dudidadu-e2e-" + scenario + ".wav";
    if (fromFile) {
        if (!Expect(riff::SaveFile(path, image), scenario, "cannot write " + path))
            return;
        sound = DSoundOpen(m_pDevice, path.c_str());
        Expect(sound != nullptr, scenario, "DSoundOpen returned null");
    } else {
        sound = DSoundOpenMem(m_pDevice, const_cast<uint8_t *>(image.data()), static_cast<DWORD>(image.size()));
        Expect(sound != nullptr, scenario, "DSoundOpenMem returned null");
    }
    if (sound) {
        m_log.Add(scenario, "play");
        Expect(DSoundPlay(sound, 0) == 1, scenario, "DSoundPlay(s, 0) did not return 1");
        Expect(DSoundIsPlaying(sound) == 1, scenario, "not playing right after DSoundPlay");
        bool ended = WaitEnd(sound, 5.0);
        m_log.Add(scenario, "ended");
        Expect(ended, scenario, "a 1 s sound still playing after 5 s");
        DSoundClose(sound);
    }
    if (fromFile)
        std::remove(path.c_str());
    Pause(kGap);
}

void E2ePlayer::LoopStop()
{
    const std::string scenario = "loop-stop";
    void *sound = StartLoop(scenario);
    if (!sound)
        return;
    // Well past two lengths of the sound: a loop that ends early shows as a gap.
    Pause(1.3);
    Expect(DSoundIsPlaying(sound) == 1, scenario, "a looped sound stopped by itself");
    StopAndClose(scenario, sound);
}

void E2ePlayer::LoopFade()
{
    const std::string scenario = "fade";
    void *sound = StartLoop(scenario);
    if (!sound)
        return;
    Pause(0.8);
    DSoundStop(sound, 500);
    m_log.Add(scenario, "stop", 500);
    bool ended = WaitEnd(sound, 5.0);
    m_log.Add(scenario, "ended");
    Expect(ended, scenario, "still playing 5 s after DSoundStop(s, 500)");
    DSoundClose(sound);
    Pause(kGap);
}

void E2ePlayer::Pan()
{
    const std::string scenario = "pan";
    void *sound = StartLoop(scenario);
    if (!sound)
        return;
    for (LONG pan : {-10000, 10000}) {
        Pause(0.6);
        const std::string call = "DSoundSetPan(s, " + std::to_string(pan) + ")";
        m_log.Add(scenario, pan < 0 ? "left" : "right", pan);
        Expect(DSoundSetPan(sound, pan) == 1, scenario, call + " did not return 1");
        Expect(DSoundGetPan(sound) == pan, scenario, "DSoundGetPan does not read back " + call);
    }
    Pause(0.6);
    StopAndClose(scenario, sound);
}

void E2ePlayer::Frequency()
{
    const std::string scenario = "frequency";
    void *sound = StartLoop(scenario);
    if (!sound)
        return;
    Expect(DSoundGetFrequency(sound) == TONE_RATE, scenario, "DSoundGetFrequency is not the file's rate");
    Pause(0.6);
    m_log.Add(scenario, "double", 2 * TONE_RATE);
    Expect(DSoundSetFrequency(sound, 2 * TONE_RATE) == 1, scenario, "DSoundSetFrequency(s, 88200) did not return 1");
    Expect(DSoundGetFrequency(sound) == 2 * TONE_RATE, scenario, "DSoundGetFrequency does not read 88200");
    Pause(0.6);
    StopAndClose(scenario, sound);
}

void E2ePlayer::RefusedVolume()
{
    const std::string scenario = "volume";
    void *sound = StartLoop(scenario, -600);
    if (!sound)
        return;
    Pause(0.6);
    m_log.Add(scenario, "refused", 1);
    Expect(DSoundSetVolume(sound, 1) == 0, scenario, "DSoundSetVolume(s, 1) did not return 0");
    Expect(DSoundGetVolume(sound) == -600, scenario, "volume changed by a refused DSoundSetVolume");
    Pause(0.6);
    StopAndClose(scenario, sound);
}

int E2ePlayer::RunHold(const char *stopFile, double seconds)
{
    const std::string scenario = "hold";
    void *sound = StartLoop(scenario);
    if (!sound)
        return m_nFailures;
    const double until = m_log.Now() + seconds * 1000.0;
    bool stopped = false;
    while (m_log.Now() < until) {
        if (FILE *stop = std::fopen(stopFile, "r")) {
            std::fclose(stop);
            stopped = true;
            break;
        }
        if (!Expect(DSoundIsPlaying(sound) == 1, scenario, "the looped tone stopped by itself"))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    Expect(stopped, scenario, std::string("no ") + stopFile + " in time");
    StopAndClose(scenario, sound);
    return m_nFailures;
}

int E2ePlayer::RunAudio()
{
    m_log.Add("run", "begin");
    // An output that writes nothing while the device is idle (ALSA's file
    // device) would leave the gaps between scenarios out of the recording:
    // a silent loop keeps it writing.
    void *awake = nullptr;
    if (std::getenv("DUDIDADU_E2E_KEEP_AWAKE")) {
        riff::Bytes silence = riff::ToneImage(TONE_HZ, TONE_RATE, 1, 16, 0.5, 0.0);
        awake = DSoundOpenMem(m_pDevice, silence.data(), static_cast<DWORD>(silence.size()));
        Expect(awake != nullptr && DSoundPlay(awake, 1) == 1, "run", "the silent loop does not play");
    }
    Pause(kGap);
    OneShot("oneshot", Tone(1000), false);
    LoopStop();
    LoopFade();
    Pan();
    Frequency();
    RefusedVolume();
    OneShot("file", Tone(1000), true);
    OneShot("adpcm", AdpcmTone(), true);
    OneShot("surround", SurroundTone(), true);
    if (awake)
        DSoundClose(awake);
    m_log.Add("run", "end", m_nFailures);
    return m_nFailures;
}

int E2ePlayer::RunNull()
{
    const std::string scenario = "null";
    void *sound = OpenTone(scenario, 1000);
    if (!sound)
        return m_nFailures;
    double start = m_log.Now();
    Expect(DSoundPlay(sound, 0) == 1, scenario, "DSoundPlay(s, 0) did not return 1");
    Expect(DSoundIsPlaying(sound) == 1, scenario, "not playing right after DSoundPlay");
    bool ended = WaitEnd(sound, 5.0);
    double took = (m_log.Now() - start) / 1000.0;
    std::printf("null output: a 1.000 s sound played for %.3f s\n", took);
    Expect(ended, scenario, "a 1 s sound still playing after 5 s");
    // The null output consumes in real time: the end cannot come early.
    Expect(took >= 0.9, scenario, "a 1 s sound ended too early");

    Expect(DSoundPlay(sound, 1) == 1, scenario, "DSoundPlay(s, 1) did not return 1");
    Pause(1.5);
    Expect(DSoundIsPlaying(sound) == 1, scenario, "a looped 1 s sound stopped by itself");
    DSoundStop(sound, 300);
    // A fade lowers the buffer's volume before it stops.
    LONG lowest = 0;
    double until = m_log.Now() + 5000.0;
    while (DSoundIsPlaying(sound) && m_log.Now() < until) {
        lowest = std::min(lowest, DSoundGetVolume(sound));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::printf("null output: lowest volume seen during a 300 ms fade: %ld\n", static_cast<long>(lowest));
    Expect(!DSoundIsPlaying(sound), scenario, "still playing 5 s after DSoundStop(s, 300)");
    Expect(lowest < 0, scenario, "no volume below 0 seen during a fade");
    DSoundClose(sound);
    Expect(DSoundIsPlaying(sound) == 0, scenario, "a closed sound reads as playing");
    return m_nFailures;
}
