// Checks a recording of the sink's monitor against the timeline the player
// wrote: each scenario is found by its onset in the recording, and the calls
// of the scenario are placed relative to that onset (so that the latency of
// the server, the same for the start and the later calls, drops out).
#ifndef DUDIDADU_E2E_E2ECHECKER_H
#define DUDIDADU_E2E_E2ECHECKER_H

#include <string>
#include <utility>
#include <vector>

#include "EventLog.h"
#include "analysis/Recording.h"

class E2eChecker {
public:
    // bOwnMixer: the library's own mixer plays, so a play's promptness and
    // a one-shot's continuity are its own to answer for. Under Wine they are
    // Wine's mixer's: a late onset, or a pause of a starved mixer that then
    // plays the rest, is only reported.
    E2eChecker(const EventLog &log, const Recording &recording, bool bOwnMixer);

    // Checks every scenario of the log and prints the figures; returns the
    // number of failed checks.
    int Run();

private:
    bool Check(bool condition, const std::string &scenario, const std::string &what);
    // Recording time of an event of a scenario, from the scenario's onset.
    double At(const std::string &scenario, const std::string &event) const;
    // Finds the onset of the scenario's first play after the recording time
    // `from`; returns false when the scenario is missing from the log or the
    // recording has no sound for it.
    bool Anchor(const std::string &scenario, double from);
    double Quiet(double from) const;
    // Where the search for the next scenario starts after a stop at `stop`.
    double Past(double stop) const;
    // Whether the sound is away for 50 ms or more between the two times.
    bool Gap(const std::string &scenario, double from, double until) const;

    void OneShot(const std::string &scenario);
    void LoopStop();
    void Fade();
    void Pan();
    void Frequency();
    void Volume();

    const EventLog &m_log;
    const Recording &m_recording;
    int m_nFailures;
    bool m_bOwnMixer;
    double m_dCursor;       // where the search for the next scenario starts
    double m_dOnset;        // onset of the current scenario in the recording
    double m_dPlayMs;       // time of its play call in the log
    double m_dFirstOnset;   // first scenario: for the drift figure
    double m_dFirstPlayMs;
    double m_dToneDb;       // level of the one-shot tone at full volume
    // Each play's onset against the first one's, s, the call timeline taken out.
    std::vector<std::pair<std::string, double>> m_drifts;
};

#endif
