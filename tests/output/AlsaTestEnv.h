// Shared by the output tests: an ALSA configuration of the test's own, in
// place of the system's for the length of a test (ALSA_CONFIG_PATH). Either
// no device at all, or a "default" device that writes what it is given to
// a file, converted to 16-bit stereo at 48000 Hz (the recordings' format),
// without a sound card.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

class ScopedAlsaConfig {
public:
    // `recording` empty: no device.
    // A file of its own each time: libasound reloads a configuration only
    // when its files change, which a rewrite within one second may not show.
    explicit ScopedAlsaConfig(const std::string &recording)
        : m_path("/tmp/dudidadu-alsa-" + std::to_string(getpid()) + "-" + std::to_string(Serial()) + ".conf")
    {
        const char *old = getenv("ALSA_CONFIG_PATH");
        m_had = old != nullptr;
        if (m_had)
            m_old = old;
        FILE *file = fopen(m_path.c_str(), "w");
        if (file) {
            if (!recording.empty())
                fprintf(file,
                        "pcm.!default {\n  type plug\n  slave { pcm \"tofile\" format S16_LE rate 48000 channels 2 }\n}\n"
                        "pcm.tofile {\n  type file\n  slave.pcm \"nothing\"\n  file \"%s\"\n  format \"raw\"\n}\n"
                        "pcm.nothing {\n  type null\n}\n",
                        recording.c_str());
            fclose(file);
        }
        setenv("ALSA_CONFIG_PATH", m_path.c_str(), 1);
    }
    ~ScopedAlsaConfig()
    {
        if (m_had)
            setenv("ALSA_CONFIG_PATH", m_old.c_str(), 1);
        else
            unsetenv("ALSA_CONFIG_PATH");
        unlink(m_path.c_str());
    }
    ScopedAlsaConfig(const ScopedAlsaConfig &) = delete;
    ScopedAlsaConfig &operator=(const ScopedAlsaConfig &) = delete;

private:
    static int Serial()
    {
        static int serial = 0;
        return ++serial;
    }

    std::string m_path;
    bool m_had;
    std::string m_old;
};
