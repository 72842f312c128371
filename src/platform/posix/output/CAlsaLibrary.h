// libasound, loaded at run time like libpulse, so that the library loads
// and works on machines without it. The declarations below are the small
// part of its stable C ABI that the output uses, with the library's names.
#pragma once

struct snd_pcm_t;
typedef unsigned long snd_pcm_uframes_t;
typedef long snd_pcm_sframes_t;

enum { SND_PCM_STREAM_PLAYBACK = 0 };
enum { SND_PCM_FORMAT_FLOAT_LE = 14 };
enum { SND_PCM_ACCESS_RW_INTERLEAVED = 3 };
enum { SND_PCM_STATE_PREPARED = 2 };

class CAlsaLibrary {
public:
    // The loaded library, or null when it is missing or lacks a function.
    static const CAlsaLibrary *Get();

    int (*pcm_open)(snd_pcm_t **pcm, const char *name, int stream, int mode);
    int (*pcm_close)(snd_pcm_t *pcm);
    int (*pcm_set_params)(snd_pcm_t *pcm, int format, int access, unsigned channels, unsigned rate,
                          int softResample, unsigned latencyUs);
    int (*pcm_get_params)(snd_pcm_t *pcm, snd_pcm_uframes_t *bufferSize, snd_pcm_uframes_t *periodSize);
    snd_pcm_sframes_t (*pcm_writei)(snd_pcm_t *pcm, const void *buffer, snd_pcm_uframes_t size);
    int (*pcm_recover)(snd_pcm_t *pcm, int err, int silent);
    int (*pcm_prepare)(snd_pcm_t *pcm);
    int (*pcm_drop)(snd_pcm_t *pcm);
    int (*pcm_start)(snd_pcm_t *pcm);
    int (*pcm_state)(snd_pcm_t *pcm);
    int (*pcm_delay)(snd_pcm_t *pcm, snd_pcm_sframes_t *delay);
    const char *(*strerror)(int err);

private:
    CAlsaLibrary();
    static void _load_once();
    bool Load();

    bool m_loaded;
};
