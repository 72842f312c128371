// Shared by the output tests: an ALSA configuration of the test's own in
// place of the system's (ALSA_CONFIG_PATH) for the length of a test: no
// device at all, or a "default" device that writes what it plays to a file,
// without a sound card.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

class ScopedAlsaConfig {
public:
    // `recording` empty: no device. A file of its own each time: libasound
    // reloads a configuration only when its files change, which a rewrite
    // within one second may not show.
    explicit ScopedAlsaConfig(const std::string &recording)
    {
        static int serial = 0;
        m_path = "/tmp/dudidadu-alsa-" + std::to_string(getpid()) + "-" + std::to_string(++serial) + ".conf";
        if (FILE *file = fopen(m_path.c_str(), "w")) {
            if (!recording.empty())
                fprintf(file, "pcm.!default { type file slave.pcm \"nothing\" file \"%s\" format \"raw\" }\n"
                              "pcm.nothing { type null }\n", recording.c_str());
            fclose(file);
        }
        setenv("ALSA_CONFIG_PATH", m_path.c_str(), 1);
    }
    ~ScopedAlsaConfig()
    {
        unsetenv("ALSA_CONFIG_PATH");
        unlink(m_path.c_str());
    }
    ScopedAlsaConfig(const ScopedAlsaConfig &) = delete;
    ScopedAlsaConfig &operator=(const ScopedAlsaConfig &) = delete;

private:
    std::string m_path;
};
