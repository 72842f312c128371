#include "LoadedLibrary.h"

#include <cstdio>

#if !defined(_WIN32)
#include <dlfcn.h>
#endif

template <class T>
bool LoadedLibrary::Bind(T &slot, const char *name)
{
    const AnyFunction address = Find(name);
    slot = reinterpret_cast<T>(address);
    return address != nullptr;
}

bool LoadedLibrary::Load(const char *file)
{
#if defined(_WIN32)
    m_module = LoadLibraryA(file);
    if (!m_module) {
        std::fprintf(stderr, "LoadLibrary(%s) failed: %lu\n", file, GetLastError());
        return false;
    }
#else
    m_module = dlopen(file, RTLD_NOW | RTLD_LOCAL);
    if (!m_module) {
        std::fprintf(stderr, "dlopen(%s) failed: %s\n", file, dlerror());
        return false;
    }
#endif
    return Bind(m_api.Initialize, "DSoundInitialize") && Bind(m_api.Terminate, "DSoundTerminate") &&
           Bind(m_api.OpenMem, "DSoundOpenMem") && Bind(m_api.Close, "DSoundClose") &&
           Bind(m_api.Play, "DSoundPlay") && Bind(m_api.Stop, "DSoundStop") &&
           Bind(m_api.IsPlaying, "DSoundIsPlaying") && Bind(m_api.SetVolume, "DSoundSetVolume") &&
           Bind(m_api.GetVolume, "DSoundGetVolume") && Bind(m_api.SetPan, "DSoundSetPan");
}

LoadedLibrary::AnyFunction LoadedLibrary::Find(const char *name)
{
#if defined(_WIN32)
    const AnyFunction address = reinterpret_cast<AnyFunction>(GetProcAddress(static_cast<HMODULE>(m_module), name));
#else
    const AnyFunction address = reinterpret_cast<AnyFunction>(dlsym(m_module, name));
#endif
    if (!address)
        std::fprintf(stderr, "the library has no export %s\n", name);
    return address;
}

bool LoadedLibrary::Unload()
{
    void *module = m_module;
    m_module = nullptr;
    m_api = DudidaduApi();
    if (!module)
        return false;
#if defined(_WIN32)
    return FreeLibrary(static_cast<HMODULE>(module)) != 0;
#else
    return dlclose(module) == 0;
#endif
}
