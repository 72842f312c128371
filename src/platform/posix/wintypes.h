// Basic Windows types and result codes, with their Windows sizes and values,
// for the core's Windows vocabulary on POSIX systems.
#pragma once

#include <stddef.h>
#include <stdint.h>

#define WINAPI
#define STDMETHODCALLTYPE
#define CALLBACK

// The public header declares the same few basic types; whoever comes first
// defines them.
#ifndef DUDIDADU_BASIC_TYPES
#define DUDIDADU_BASIC_TYPES
typedef int BOOL;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef const char *LPCSTR;
typedef void *LPVOID;
typedef struct HWND__ *HWND;
typedef struct _GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} GUID;
typedef GUID *LPGUID;
#endif

typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef unsigned int UINT;
typedef uint32_t ULONG;
typedef int32_t HRESULT;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR;
typedef uintptr_t UINT_PTR;
typedef size_t SIZE_T;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;
typedef char CHAR;
typedef char *LPSTR;
typedef char *HPSTR;
typedef const void *LPCVOID;
typedef BYTE *LPBYTE;
typedef DWORD *LPDWORD;
typedef LONG *LPLONG;
typedef void *HANDLE;
typedef HANDLE HGLOBAL;
typedef struct HINSTANCE__ *HMODULE;
typedef const GUID *LPCGUID;
typedef GUID IID;
typedef const IID &REFIID;
typedef const GUID &REFGUID;
typedef int64_t LONGLONG;
// Only the 64-bit view; Windows also has one of two 32-bit halves.
typedef union _LARGE_INTEGER {
    LONGLONG QuadPart;
} LARGE_INTEGER;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define S_OK ((HRESULT)0)
#define S_FALSE ((HRESULT)1)
#define E_NOTIMPL ((HRESULT)0x80004001)
#define E_NOINTERFACE ((HRESULT)0x80004002)
#define E_POINTER ((HRESULT)0x80004003)
#define E_FAIL ((HRESULT)0x80004005)
#define E_OUTOFMEMORY ((HRESULT)0x8007000E)
#define E_INVALIDARG ((HRESULT)0x80070057)
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)

// The root of the COM interfaces that the core holds as raw pointers.
struct IUnknown {
    virtual HRESULT QueryInterface(REFIID riid, void **ppv) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    ~IUnknown() = default;
};
typedef IUnknown *LPUNKNOWN;
