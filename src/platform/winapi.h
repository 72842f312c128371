// The one seam between the core and the platform. The core is written in the
// Windows API vocabulary and includes only this header: on Windows it is the
// system's own headers, elsewhere the project's declarations of the subset the
// core uses, implemented in posix/.
#pragma once

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <mmsystem.h>
#include <mmreg.h>
#include <dsound.h>
// Newer than some toolchains' headers.
#ifndef ERROR_DIRECTORY_NOT_SUPPORTED
#define ERROR_DIRECTORY_NOT_SUPPORTED 336L
#endif
// Our Linux DirectSound's promise to overwrite what is locked; the system's
// DirectSound has no such flag, and nothing to skip.
#define DSBLOCK_OVERWRITE 0
#else
#include "posix/wintypes.h"
#include "posix/kernel.h"
#include "posix/mmio.h"
#include "posix/dsound.h"
#endif
