// libasound, loaded at run time like libpulse, so that the library loads
// and works on machines without it. The declarations below are the small
// part of its stable C ABI that the output uses, with the library's names.
//
// libasound writes its complaints (no card, an unknown device) to standard
// error unless told otherwise. Once loaded, the complaints of our own calls
// (made on threads that said so with OwnThread) go to the diagnostic log at
// level 2; those of the application's calls go where they went before.
#pragma once

struct pollfd;
struct snd_pcm_t;
typedef unsigned long snd_pcm_uframes_t;
typedef long snd_pcm_sframes_t;

enum { SND_PCM_STREAM_PLAYBACK = 0 };
enum { SND_PCM_NONBLOCK = 1 };
enum { SND_PCM_FORMAT_FLOAT_LE = 14 };
enum { SND_PCM_ACCESS_RW_INTERLEAVED = 3 };
enum { SND_PCM_STATE_PREPARED = 2 };

typedef void (*snd_lib_error_handler_t)(const char *file, int line, const char *function, int err,
                                        const char *format, ...);

class CAlsaLibrary {
public:
    // The loaded library, or null when it is missing or lacks a function.
    static const CAlsaLibrary *Get();
    // The calling thread is one of ours: libasound's complaints on it go to
    // the diagnostic log.
    static void OwnThread();

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
    snd_pcm_sframes_t (*pcm_avail_update)(snd_pcm_t *pcm);
    int (*pcm_poll_descriptors_count)(snd_pcm_t *pcm);
    int (*pcm_poll_descriptors)(snd_pcm_t *pcm, struct pollfd *pfds, unsigned space);
    int (*pcm_poll_descriptors_revents)(snd_pcm_t *pcm, struct pollfd *pfds, unsigned nfds,
                                        unsigned short *revents);
    const char *(*strerror)(int err);

private:
    CAlsaLibrary();
    static void _load_once();
    static void _on_message(const char *file, int line, const char *function, int err, const char *format,
                            ...);
    bool Load();

    bool m_loaded;
};
