// A window to register as a sound device, for programs over the exports that
// run on both platforms.
#pragma once

#include "dudidadu.h"

#include <cstdint>

#if defined(_WIN32)
// DirectSound's cooperative level wants a real window, destroyed by the
// thread that made it.
inline HWND MakeWindow(int)
{
    return CreateWindowExA(0, "STATIC", "dudidadu", WS_OVERLAPPEDWINDOW, 0, 0, 64, 64, nullptr, nullptr,
                           GetModuleHandleA(nullptr), nullptr);
}

inline void DropWindow(HWND window)
{
    if (window)
        DestroyWindow(window);
}
#else
// Any non-null value names a window here; `index` keeps them apart.
inline HWND MakeWindow(int index)
{
    return reinterpret_cast<HWND>(static_cast<uintptr_t>(0x10000 + 16 * index));
}

inline void DropWindow(HWND) {}
#endif
