#include "platform/posix/output/CAlsaLibrary.h"

#include <dlfcn.h>
#include <pthread.h>

#include <new>

namespace {

// As for libpulse: under pthread_once, never freed.
pthread_once_t s_once = PTHREAD_ONCE_INIT;
const CAlsaLibrary *s_pLibrary = nullptr;

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

bool CAlsaLibrary::Load()
{
    void *handle = dlopen("libasound.so.2", RTLD_NOW | RTLD_LOCAL);
    if (!handle)
        return false;
    const bool bound = Bind(handle, "snd_pcm_open", pcm_open) && Bind(handle, "snd_pcm_close", pcm_close) &&
                       Bind(handle, "snd_pcm_set_params", pcm_set_params) &&
                       Bind(handle, "snd_pcm_get_params", pcm_get_params) &&
                       Bind(handle, "snd_pcm_writei", pcm_writei) &&
                       Bind(handle, "snd_pcm_recover", pcm_recover) &&
                       Bind(handle, "snd_pcm_prepare", pcm_prepare) && Bind(handle, "snd_pcm_drop", pcm_drop) &&
                       Bind(handle, "snd_pcm_start", pcm_start) && Bind(handle, "snd_pcm_state", pcm_state) &&
                       Bind(handle, "snd_pcm_delay", pcm_delay) && Bind(handle, "snd_strerror", strerror);
    if (!bound) {
        dlclose(handle);
        return false;
    }
    return true;
}
