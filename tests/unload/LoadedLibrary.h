// The library loaded at run time, as an application that binds it late
// would: LoadLibrary or dlopen, the exports found by name, FreeLibrary or
// dlclose. Owns the loaded module until Unload.
#pragma once

#include "dudidadu.h"

// The exports the unload programs call.
struct DudidaduApi {
    decltype(&DSoundInitialize) Initialize;
    decltype(&DSoundTerminate) Terminate;
    decltype(&DSoundOpenMem) OpenMem;
    decltype(&DSoundClose) Close;
    decltype(&DSoundPlay) Play;
    decltype(&DSoundStop) Stop;
    decltype(&DSoundIsPlaying) IsPlaying;
    decltype(&DSoundSetVolume) SetVolume;
    decltype(&DSoundGetVolume) GetVolume;
    decltype(&DSoundSetPan) SetPan;
};

class LoadedLibrary {
public:
    // Loads `file` (searched as the platform searches for libraries) and
    // finds the exports; false, with the reason on standard error, when
    // either fails.
    bool Load(const char *file);
    // FreeLibrary or dlclose; false when it reports a failure.
    bool Unload();
    const DudidaduApi &Api() const { return m_api; }

private:
    // A pointer to a function of no arguments: the one type that other
    // function pointers convert to and from without a compiler warning.
    typedef void (*AnyFunction)();

    AnyFunction Find(const char *name);
    template <class T>
    bool Bind(T &slot, const char *name);

    void *m_module = nullptr;  // HMODULE on Windows, the dlopen handle elsewhere
    DudidaduApi m_api = {};
};
