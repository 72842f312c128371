#include "platform/posix/output/CAlsaLibrary.h"

#include <dlfcn.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>

#include <new>

#include "platform/CLog.h"

namespace {

// As for libpulse: under pthread_once, never freed.
pthread_once_t s_once = PTHREAD_ONCE_INIT;
const CAlsaLibrary *s_pLibrary = nullptr;
// Set (non-null) on our threads that call libasound.
pthread_key_t s_ownThread;
// Where libasound's complaints went before ours took them.
snd_lib_error_handler_t s_pPrevious = nullptr;

template <typename T> bool Bind(void *handle, const char *name, T &entry)
{
    entry = reinterpret_cast<T>(dlsym(handle, name));
    return entry != nullptr;
}

}  // namespace

CAlsaLibrary::CAlsaLibrary() : m_loaded(false)
{
    m_loaded = Load();
}

void CAlsaLibrary::_load_once()
{
    const CAlsaLibrary *library = new (std::nothrow) CAlsaLibrary;
    if (library != nullptr && !library->m_loaded) {
        delete library;
        library = nullptr;
    }
    s_pLibrary = library;
}

const CAlsaLibrary *CAlsaLibrary::Get()
{
    pthread_once(&s_once, _load_once);
    return s_pLibrary;
}

void CAlsaLibrary::OwnThread()
{
    if (Get() != nullptr)
        pthread_setspecific(s_ownThread, &s_ownThread);
}

void CAlsaLibrary::_on_message(const char *file, int line, const char *function, int err, const char *format,
                               ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    if (pthread_getspecific(s_ownThread) == nullptr) {
        if (s_pPrevious != nullptr)
            s_pPrevious(file, line, function, err, "%s", text);
        return;
    }
    // As libasound words it itself.
    if (err != 0 && s_pLibrary != nullptr)
        CLog::Line(CLog::LOG_CALLS, "ALSA lib %s:%d:(%s) %s: %s", file, line, function, text,
                   s_pLibrary->strerror(err));
    else
        CLog::Line(CLog::LOG_CALLS, "ALSA lib %s:%d:(%s) %s", file, line, function, text);
}

bool CAlsaLibrary::Load()
{
    void *handle = dlopen("libasound.so.2", RTLD_NOW | RTLD_LOCAL);
    if (!handle)
        return false;
    int (*setHandler)(snd_lib_error_handler_t handler) = nullptr;
    const bool bound = Bind(handle, "snd_pcm_open", pcm_open) && Bind(handle, "snd_pcm_close", pcm_close) &&
                       Bind(handle, "snd_pcm_set_params", pcm_set_params) &&
                       Bind(handle, "snd_pcm_get_params", pcm_get_params) &&
                       Bind(handle, "snd_pcm_writei", pcm_writei) &&
                       Bind(handle, "snd_pcm_recover", pcm_recover) &&
                       Bind(handle, "snd_pcm_prepare", pcm_prepare) && Bind(handle, "snd_pcm_drop", pcm_drop) &&
                       Bind(handle, "snd_pcm_start", pcm_start) && Bind(handle, "snd_pcm_state", pcm_state) &&
                       Bind(handle, "snd_pcm_avail_update", pcm_avail_update) &&
                       Bind(handle, "snd_pcm_poll_descriptors_count", pcm_poll_descriptors_count) &&
                       Bind(handle, "snd_pcm_poll_descriptors", pcm_poll_descriptors) &&
                       Bind(handle, "snd_pcm_poll_descriptors_revents", pcm_poll_descriptors_revents) &&
                       Bind(handle, "snd_strerror", strerror) &&
                       Bind(handle, "snd_lib_error_set_handler", setHandler) &&
                       pthread_key_create(&s_ownThread, nullptr) == 0;
    if (!bound) {
        dlclose(handle);
        return false;
    }
    // The handler in place now: libasound's default one, or the application's.
    if (snd_lib_error_handler_t *current =
            reinterpret_cast<snd_lib_error_handler_t *>(dlsym(handle, "snd_lib_error")))
        s_pPrevious = *current;
    setHandler(_on_message);
    return true;
}
