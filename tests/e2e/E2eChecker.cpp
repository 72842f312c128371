#include "E2eChecker.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {
const double kOnDb = -30.0;     // the tone is heard (it plays at about -9 dBFS)
const double kQuietDb = -60.0;  // the tone has stopped
const double kSilentDb = -90.0; // nothing but the last bits of a fade
const double kToneDb = -9.03;   // RMS of a sine at half of full scale
const double kToneHz = 440.0;
}

E2eChecker::E2eChecker(const EventLog &log, const Recording &recording, bool bOwnMixer)
    : m_log(log), m_recording(recording), m_nFailures(0), m_bOwnMixer(bOwnMixer), m_dCursor(0.0),
      m_dOnset(-1.0), m_dPlayMs(0.0), m_dFirstOnset(-1.0), m_dFirstPlayMs(0.0), m_dToneDb(kToneDb)
{
}

bool E2eChecker::Check(bool condition, const std::string &scenario, const std::string &what)
{
    if (!condition) {
        ++m_nFailures;
        std::printf("FAIL %s: %s\n", scenario.c_str(), what.c_str());
    }
    return condition;
}

double E2eChecker::At(const std::string &scenario, const std::string &event) const
{
    const Event *e = m_log.Find(scenario, event);
    if (!e || m_dOnset < 0.0)
        return -1.0;
    return m_dOnset + (e->ms - m_dPlayMs) / 1000.0;
}

double E2eChecker::Quiet(double from) const
{
    return m_recording.FindOffset(from, kQuietDb, 0.1);
}

bool E2eChecker::Anchor(const std::string &scenario, double from)
{
    m_dOnset = -1.0;
    const Event *play = m_log.Find(scenario, "play");
    if (!Check(play != nullptr, scenario, "not played (missing from the event log)"))
        return false;
    m_dPlayMs = play->ms;
    double onset = m_recording.FindOnset(from, kOnDb, 0.03);
    if (!Check(onset >= 0.0, scenario, "no sound in the recording"))
        return false;
    // To the sample: the first one of the tone, near the window that holds it.
    const double exact = m_recording.FirstLoudSample(std::max(from, onset - 0.02), onset + 0.02, kOnDb);
    m_dOnset = onset = exact >= 0.0 ? exact : onset;
    if (m_dFirstOnset < 0.0) {
        m_dFirstOnset = onset;
        m_dFirstPlayMs = play->ms;
        m_drifts.emplace_back(scenario, 0.0);
        std::printf("%s: onset at %.4f s of the recording\n", scenario.c_str(), onset);
        return true;
    }
    // The server's latency is the same for every play; an onset that has
    // moved against the timeline is another sound (or a late start).
    double drift = (onset - m_dFirstOnset) - (play->ms - m_dFirstPlayMs) / 1000.0;
    std::printf("%s: onset at %.4f s of the recording, %+.1f ms against the first play\n", scenario.c_str(), onset,
                drift * 1000.0);
    m_drifts.emplace_back(scenario, drift);
    return Check(std::fabs(drift) <= 0.3, scenario, "the onset is out of place against the call timeline");
}

bool E2eChecker::Gap(const std::string &scenario, double from, double until) const
{
    // Single short dropouts come from a busy machine (the server or the
    // mixer missing a period) and are only reported; a sound that stops for
    // 50 ms or more is a fault.
    std::vector<double> windows = m_recording.WindowLevels(from, until - from);
    int dropouts = 0;
    for (double db : windows)
        dropouts += db < kOnDb ? 1 : 0;
    if (dropouts)
        std::printf("%s: %d dropped-out 10 ms window(s) while playing\n", scenario.c_str(), dropouts);
    return m_recording.FindOffset(from, kOnDb, 0.05, until - 0.05) >= 0.0;
}

double E2eChecker::Past(double stop) const
{
    double quiet = Quiet(stop - 0.2);
    return quiet > 0.0 ? quiet : stop + 0.5;
}

void E2eChecker::OneShot(const std::string &scenario)
{
    if (!Anchor(scenario, m_dCursor))
        return;
    const Event *play = m_log.Find(scenario, "play");
    const Event *ended = m_log.Find(scenario, "ended");
    double off = Quiet(m_dOnset);
    if (!Check(off > 0.0, scenario, "the sound never ends"))
        return;
    double heard = off - m_dOnset;
    // A platform mixer starved on a busy machine may pause the sound, its
    // position standing still, and then play the rest: the parts heard add
    // up to the sound. Silence written into the sound would not.
    double paused = 0.0;
    while (!m_bOwnMixer && heard < 0.94) {
        const double again = m_recording.FindOnset(off, kOnDb, 0.03, off + 2.0);
        const double next = again > 0.0 ? Quiet(again) : -1.0;
        if (next <= 0.0)
            break;
        paused += again - off;
        heard += next - again;
        off = next;
    }
    if (paused > 0.0)
        std::printf("%s: the platform's mixer paused it for %.3f s, then played the rest\n", scenario.c_str(),
                    paused);
    double level = m_recording.MedianLevelDb(m_dOnset + 0.1, 0.8);
    double hz = m_recording.DominantFrequency(m_dOnset + 0.1, 0.8);
    std::printf("%s: heard for %.3f s (1.000 s sound), %.2f dBFS, %.1f Hz\n", scenario.c_str(), heard, level, hz);
    Check(std::fabs(heard - 1.0) <= 0.06, scenario, "heard for the wrong length");
    Check(std::fabs(level - kToneDb) <= 2.0, scenario, "level is not that of the tone");
    Check(paused > 0.0 || !Gap(scenario, m_dOnset + 0.02, off - 0.02), scenario,
          "the sound stops for 50 ms or more while it plays");
    Check(std::fabs(hz - kToneHz) <= 3.0, scenario, "pitch is not 440 Hz");
    Check(m_recording.FindOnset(off, kOnDb, 0.03, off + 0.4) < 0.0, scenario, "sound again after its end");
    if (scenario == "oneshot")
        m_dToneDb = level;
    if (ended) {
        double playing = (ended->ms - play->ms) / 1000.0;
        std::printf("%s: DSoundIsPlaying turned 0 after %.3f s\n", scenario.c_str(), playing);
        Check(playing >= 0.9, scenario, "DSoundIsPlaying turned 0 before the sound's end");
    }
    m_dCursor = off;
}

void E2eChecker::LoopStop()
{
    const std::string scenario = "loop-stop";
    if (!Anchor(scenario, m_dCursor))
        return;
    double stop = At(scenario, "stop");
    if (!Check(stop > m_dOnset + 0.5, scenario, "no stop in the event log"))
        return;
    double off = m_recording.FindOffset(stop - 0.2, kQuietDb, 0.1);
    double hz = m_recording.DominantFrequency(m_dOnset + 0.1, 0.8);
    std::printf("%s: looped %.3f s (0.500 s sound), %.1f Hz\n", scenario.c_str(), stop - m_dOnset, hz);
    // A starved platform mixer may pause a loop as well (reported by Gap).
    Check(!Gap(scenario, m_dOnset + 0.02, stop - 0.1) || !m_bOwnMixer, scenario, "the loop stops for 50 ms or more");
    Check(std::fabs(hz - kToneHz) <= 3.0, scenario, "pitch is not 440 Hz");
    if (!Check(off > 0.0, scenario, "sound goes on after DSoundStop(s, 0)"))
        return;
    std::printf("%s: silent %.0f ms after DSoundStop(s, 0)\n", scenario.c_str(), (off - stop) * 1000.0);
    Check(off - stop >= -0.1, scenario, "silent before DSoundStop was called");
    Check(off - stop <= 0.25, scenario, "not silent within 250 ms of DSoundStop(s, 0)");
    m_dCursor = off;
}

void E2eChecker::Fade()
{
    const std::string scenario = "fade";
    if (!Anchor(scenario, m_dCursor))
        return;
    double stop = At(scenario, "stop");
    if (!Check(stop > m_dOnset + 0.4, scenario, "no stop in the event log"))
        return;
    double before = m_recording.MedianLevelDb(stop - 0.35, 0.3);
    double fall = m_recording.FindOffset(stop - 0.1, before - 3.0, 0.02);
    double quiet = fall < 0.0 ? -1.0 : Quiet(fall);
    double silent = m_recording.FindOffset(stop - 0.1, kSilentDb, 0.1);
    std::vector<double> steps = m_recording.WindowLevels(stop - 0.1, 0.9, 0.05);
    std::printf("%s: %.1f dBFS before DSoundStop(s, 500); 50 ms windows from 100 ms before it:", scenario.c_str(),
                before);
    for (double db : steps)
        std::printf(" %.0f", db);
    std::printf("\n");
    if (!Check(fall > 0.0 && quiet > 0.0, scenario, "the level never falls to silence"))
        return;
    std::printf("%s: falls %.0f ms after the call, below %.0f dBFS %.0f ms later, below %.0f dBFS %.0f ms after the call\n",
                scenario.c_str(), (fall - stop) * 1000.0, kQuietDb, (quiet - fall) * 1000.0, kSilentDb,
                silent < 0.0 ? -1.0 : (silent - stop) * 1000.0);
    Check(fall - stop >= -0.05, scenario, "the level falls before DSoundStop was called");
    Check(fall - stop <= 0.25, scenario, "the level does not fall within 250 ms of DSoundStop");
    Check(quiet - fall >= 0.15, scenario, "cut off instead of faded");
    Check(silent > 0.0 && silent - stop <= 0.75, scenario, "not silent by 750 ms after DSoundStop(s, 500)");
    std::vector<double> falling = m_recording.WindowLevels(fall, quiet - fall, 0.05);
    for (size_t i = 1; i < falling.size(); ++i) {
        if (!Check(falling[i] <= falling[i - 1] + 1.5, scenario, "the level rises during the fade"))
            break;
    }
    m_dCursor = silent > 0.0 ? silent : quiet;
}

void E2eChecker::Pan()
{
    const std::string scenario = "pan";
    if (!Anchor(scenario, m_dCursor))
        return;
    double left = At(scenario, "left"), right = At(scenario, "right"), stop = At(scenario, "stop");
    if (!Check(left > m_dOnset + 0.2 && right > left + 0.3 && stop > right + 0.3, scenario,
               "pan events missing from the event log"))
        return;
    double centre = m_recording.BalanceDb(m_dOnset + 0.1, left - 0.05 - (m_dOnset + 0.1));
    double centreLeft = m_recording.MedianLevelDb(m_dOnset + 0.1, left - 0.05 - (m_dOnset + 0.1), Recording::LEFT);
    double toLeft = m_recording.BalanceDb(left + 0.15, right - 0.05 - (left + 0.15));
    double leftLeft = m_recording.MedianLevelDb(left + 0.15, right - 0.05 - (left + 0.15), Recording::LEFT);
    double toRight = m_recording.BalanceDb(right + 0.15, stop - 0.05 - (right + 0.15));
    std::printf("%s: left minus right: %+.1f dB centred, %+.1f dB at -10000, %+.1f dB at 10000; "
                "left channel %.1f dBFS centred, %.1f dBFS at -10000\n",
                scenario.c_str(), centre, toLeft, toRight, centreLeft, leftLeft);
    Check(std::fabs(centre) <= 1.0, scenario, "a centred sound is not balanced");
    Check(toLeft >= 40.0, scenario, "pan -10000 does not put the energy in the left channel");
    Check(std::fabs(leftLeft - centreLeft) <= 1.5, scenario, "pan -10000 changes the left channel's level");
    Check(toRight <= -40.0, scenario, "pan 10000 does not put the energy in the right channel");
    m_dCursor = Past(stop);
}

void E2eChecker::Frequency()
{
    const std::string scenario = "frequency";
    if (!Anchor(scenario, m_dCursor))
        return;
    double twice = At(scenario, "double"), stop = At(scenario, "stop");
    if (!Check(twice > m_dOnset + 0.2 && stop > twice + 0.3, scenario, "frequency events missing from the event log"))
        return;
    double before = m_recording.DominantFrequency(m_dOnset + 0.1, twice - 0.05 - (m_dOnset + 0.1));
    double after = m_recording.DominantFrequency(twice + 0.15, stop - 0.05 - (twice + 0.15));
    std::printf("%s: %.1f Hz at 44100, %.1f Hz at 88200 (ratio %.3f)\n", scenario.c_str(), before, after,
                before > 0.0 ? after / before : 0.0);
    Check(std::fabs(before - kToneHz) <= 3.0, scenario, "pitch is not 440 Hz at the sound's own rate");
    Check(std::fabs(after - 2.0 * kToneHz) <= 5.0, scenario, "doubling the frequency does not double the pitch");
    m_dCursor = Past(stop);
}

void E2eChecker::Volume()
{
    const std::string scenario = "volume";
    if (!Anchor(scenario, m_dCursor))
        return;
    double refused = At(scenario, "refused"), stop = At(scenario, "stop");
    if (!Check(refused > m_dOnset + 0.2 && stop > refused + 0.3, scenario, "volume events missing from the event log"))
        return;
    double before = m_recording.MedianLevelDb(m_dOnset + 0.1, refused - 0.05 - (m_dOnset + 0.1));
    double after = m_recording.MedianLevelDb(refused + 0.1, stop - 0.05 - (refused + 0.1));
    std::printf("%s: %.2f dBFS at -600 (%+.2f dB against full volume), %.2f dBFS after a refused volume\n",
                scenario.c_str(), before, before - m_dToneDb, after);
    Check(std::fabs(before - m_dToneDb + 6.0) <= 1.0, scenario, "volume -600 is not 6 dB down");
    Check(std::fabs(after - before) <= 0.5, scenario, "a refused volume changed the level");
    m_dCursor = Past(stop);
}

int E2eChecker::Run()
{
    std::printf("recording: %.3f s at %u Hz\n", m_recording.Seconds(), m_recording.Rate());
    for (const Event &e : m_log.Events())
        Check(e.name != "fail", e.scenario, "the player's expectation failed (see its output)");
    Check(m_log.Find("run", "end") != nullptr, "run", "the player did not finish");
    const char *order[] = {"oneshot", "loop-stop", "fade", "pan", "frequency", "volume", "file", "adpcm", "surround"};
    for (const char *scenario : order) {
        std::string name = scenario;
        if (name == "oneshot" || name == "file" || name == "adpcm" || name == "surround")
            OneShot(name);
        else if (name == "loop-stop")
            LoopStop();
        else if (name == "fade")
            Fade();
        else if (name == "pan")
            Pan();
        else if (name == "frequency")
            Frequency();
        else
            Volume();
        // Whatever a scenario's checks found, the next one is searched for
        // after this one's end.
        double ended = At(name, "ended");
        if (ended > 0.0)
            m_dCursor = std::max(m_dCursor, Past(ended));
    }
    // Every play starts as promptly as the ones before it (a device that
    // stays awake after a sound starts the next one behind the silence it
    // keeps queued): each onset against the median of those before it, to
    // the sample, the call timeline taken out.
    double worst = 0.0;
    for (size_t i = 1; i < m_drifts.size(); ++i) {
        std::vector<double> before;
        for (size_t j = 0; j < i; ++j)
            before.push_back(m_drifts[j].second);
        std::sort(before.begin(), before.end());
        const double median = before.size() % 2 ? before[before.size() / 2]
                                                : 0.5 * (before[before.size() / 2 - 1] + before[before.size() / 2]);
        const double late = m_drifts[i].second - median;
        worst = std::fabs(late) > std::fabs(worst) ? late : worst;
        if (m_bOwnMixer)
            Check(std::fabs(late) <= 0.025, m_drifts[i].first,
                  "the play starts late or early against the plays before it");
    }
    if (m_drifts.size() > 1)
        std::printf("onsets: each play within %.1f ms of the median of the plays before it (the worst: %+.1f ms)%s\n",
                    std::fabs(worst) * 1000.0, worst * 1000.0, m_bOwnMixer ? "" : ", reported only");
    return m_nFailures;
}
