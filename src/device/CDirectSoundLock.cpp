#include "device/CDirectSoundLock.h"

CDirectSoundLock::CDirectSoundLock()
{
    EnterCriticalSection(_section());
}

CDirectSoundLock::~CDirectSoundLock()
{
    LeaveCriticalSection(_section());
}

LPCRITICAL_SECTION CDirectSoundLock::_section()
{
    // Made on first use and never destroyed: devices may still be released
    // while the process exits.
    static const LPCRITICAL_SECTION section = [] {
        LPCRITICAL_SECTION made = new CRITICAL_SECTION;
        InitializeCriticalSection(made);
        return made;
    }();
    return section;
}
