// The kernel services the core uses, with Win32 semantics, for POSIX
// systems: handles, mutexes, events, threads, critical sections, the
// module's pin, fixed global memory, the last error, thread-local slots, the
// environment, formatting and the debugger output.
#pragma once

#include <stdarg.h>

#include "wintypes.h"

typedef struct _SECURITY_ATTRIBUTES *LPSECURITY_ATTRIBUTES;
typedef DWORD(WINAPI *LPTHREAD_START_ROUTINE)(LPVOID);

#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED 0x00000080u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define STILL_ACTIVE 259u

// The error codes the library reports. SetLastError stores them in errno,
// as the errno value of the same meaning (see kernel/LastError.cpp).
#define ERROR_SUCCESS 0u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_TOO_MANY_OPEN_FILES 4u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_BAD_FORMAT 11u
#define ERROR_OUTOFMEMORY 14u
#define ERROR_READ_FAULT 30u
#define ERROR_GEN_FAILURE 31u
#define ERROR_SHARING_VIOLATION 32u
#define ERROR_NOT_SUPPORTED 50u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_BUSY 170u
#define ERROR_BAD_FILE_TYPE 222u
#define ERROR_FILE_TOO_LARGE 223u
#define ERROR_DIRECTORY_NOT_SUPPORTED 336u
#define ERROR_NOACCESS 998u
#define ERROR_PROCESS_ABORTED 1067u
#define ERROR_SHUTDOWN_IN_PROGRESS 1115u
#define ERROR_INTERNAL_ERROR 1359u
#define ERROR_INVALID_WINDOW_HANDLE 1400u
#define ERROR_TIMEOUT 1460u
#define ERROR_DEVICE_NOT_AVAILABLE 4319u
#define CREATE_SUSPENDED 0x00000004u
#define GET_MODULE_HANDLE_EX_FLAG_PIN 0x00000001u
#define GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS 0x00000004u
#define TLS_OUT_OF_INDEXES 0xFFFFFFFFu
#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define GMEM_FIXED 0x0000u
#define GMEM_ZEROINIT 0x0040u
#define GPTR (GMEM_FIXED | GMEM_ZEROINIT)

// Opaque storage; the stand-in keeps its own objects inside. A critical
// section holds a pthread mutex, its owner and count, and two list links:
// 64 bytes on x86-64, more where the mutex is larger.
typedef struct _RTL_CRITICAL_SECTION {
    alignas(16) unsigned char opaque[96];
} CRITICAL_SECTION, *LPCRITICAL_SECTION;

extern "C" {

HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCSTR name);
BOOL WINAPI ReleaseMutex(HANDLE mutex);
DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL WINAPI CloseHandle(HANDLE handle);
void WINAPI Sleep(DWORD milliseconds);
// A monotonic clock (CLOCK_MONOTONIC, as the waits' time-outs), counted in
// nanoseconds.
BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER *count);
BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER *frequency);
DWORD WINAPI GetCurrentThreadId(void);

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize,
                           LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags,
                           LPDWORD threadId);
DWORD WINAPI ResumeThread(HANDLE thread);
BOOL WINAPI TerminateThread(HANDLE thread, DWORD exitCode);
BOOL WINAPI GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
[[noreturn]] void WINAPI ExitThread(DWORD exitCode);

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION section);
void WINAPI EnterCriticalSection(LPCRITICAL_SECTION section);
// Enters only if no other thread holds the section; TRUE when entered.
BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION section);
void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION section);
void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION section);

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                           LPCSTR name);
BOOL WINAPI SetEvent(HANDLE event);
BOOL WINAPI ResetEvent(HANDLE event);

// The shared object that holds `name` (an address, with FROM_ADDRESS). With
// PIN it stays loaded until the process ends, whatever dlclose is called.
BOOL WINAPI GetModuleHandleExA(DWORD flags, LPCSTR name, HMODULE *module);

HGLOBAL WINAPI GlobalAlloc(UINT flags, SIZE_T bytes);
HGLOBAL WINAPI GlobalFree(HGLOBAL memory);

DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD error);

DWORD WINAPI TlsAlloc(void);
BOOL WINAPI TlsFree(DWORD index);
LPVOID WINAPI TlsGetValue(DWORD index);
BOOL WINAPI TlsSetValue(DWORD index, LPVOID value);

DWORD WINAPI GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size);
// A directory, another file, or INVALID_FILE_ATTRIBUTES with the reason as
// the last error.
DWORD WINAPI GetFileAttributesA(LPCSTR path);

int wsprintfA(LPSTR buffer, LPCSTR format, ...);
int WINAPI wvsprintfA(LPSTR buffer, LPCSTR format, va_list args);
void WINAPI OutputDebugStringA(LPCSTR text);

}  // extern "C"
