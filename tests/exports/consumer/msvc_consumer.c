/* A program linked the way Microsoft's tools link, against dudidadu.lib, the
 * import library in their format: compiled by clang for the MSVC target and
 * linked by lld-link. Without the Windows SDK and its C runtime it declares
 * what it calls itself, as the header does (stdcall, no dllimport); on 32-bit
 * Windows that asks for _DSoundPlay@8 and the like, which the .lib must bind
 * to the DLL's plain names. Its exit status is 0 when the library answered. */
typedef struct HWND__ *HWND;
typedef struct _GUID GUID;

void *__stdcall DSoundInitialize(HWND window, const GUID *device);
int __stdcall DSoundIsPlaying(void *sound);
int __stdcall DSoundSetVolume(void *sound, long volume);
unsigned long __stdcall DSoundGetFrequency(void *sound);

int consumer_entry(void)
{
    return DSoundInitialize(0, 0) == 0 && DSoundIsPlaying(0) == 0 && DSoundSetVolume(0, -100) == 0 &&
                   DSoundGetFrequency(0) == 0
               ? 0
               : 1;
}
