// A failure's code as the platform names it, for diagnostic lines: on
// Windows the error code with its name ("error 11 ERROR_BAD_FORMAT"), on
// Linux the errno value the application gets for it ("EINVAL"). And, for
// the codes the library sets, a few words that say what the code means
// here, where the failure site gave none of its own.
#pragma once

#include "platform/winapi.h"

class CFailureName {
public:
    // The platform's name of the code, into text of `size` bytes.
    static void Name(DWORD error, LPSTR text, DWORD size);
    // What the code means when the library sets it; null for others.
    static LPCSTR Words(DWORD error);
};
