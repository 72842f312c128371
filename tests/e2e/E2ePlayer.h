// Plays the end-to-end scenarios through the fourteen exports of the public
// header and writes what it did, and when, into an EventLog. The results the
// exports return are checked here; what was heard is checked by E2eChecker.
#ifndef DUDIDADU_E2E_E2EPLAYER_H
#define DUDIDADU_E2E_E2EPLAYER_H

#include <string>

#include "EventLog.h"
#include "support/RiffWriter.h"

class E2ePlayer {
public:
    // Tone of every scenario: 440 Hz, half of full scale, 16-bit mono 44100 Hz.
    static const unsigned TONE_HZ = 440;
    static const unsigned TONE_RATE = 44100;

    E2ePlayer(EventLog &log, void *device);

    // The scenarios the checker knows, in order, with silence between them.
    // Returns the number of failed expectations.
    int RunAudio();
    // Checks that need no server: the null output consumes audio in real time.
    int RunNull();
    // Loops the tone until the file `stopFile` exists or `seconds` pass,
    // checking all along that it reads as playing (whatever becomes of the
    // server meanwhile).
    int RunHold(const char *stopFile, double seconds);

private:
    void *OpenTone(const std::string &scenario, unsigned ms);
    // Opens a 0.5 s tone, sets `volume` unless 0, and plays it looping.
    void *StartLoop(const std::string &scenario, int volume = 0);
    bool Expect(bool condition, const std::string &scenario, const std::string &what);
    // Polls DSoundIsPlaying until it reads 0; false when `deadline` seconds pass first.
    bool WaitEnd(void *sound, double deadline);
    void Pause(double seconds);
    // DSoundStop(s, 0), its end, DSoundClose, then the gap to the next scenario.
    void StopAndClose(const std::string &scenario, void *sound);

    // Opens the image (from a file written from it, or from memory) and
    // plays it once to its end.
    void OneShot(const std::string &scenario, const riff::Bytes &image, bool fromFile);
    void LoopStop();
    void LoopFade();
    void Pan();
    void Frequency();
    void RefusedVolume();

    EventLog &m_log;
    void *m_pDevice;
    int m_nFailures;
};

#endif
