#include "platform/winapi.h"

// The library is set up and torn down by the registry's static construction
// and destruction alone; the entry callback accepts every notification.
BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}
