// Answers whether memory the application hands over can be read, before the
// library reads it: a bad pointer then gives a failure instead of a fault.
// It owns nothing; the answer holds for the moment of the question only, so
// memory the application unmaps afterwards is still its own mistake.
#pragma once

#include "platform/winapi.h"

class CMemoryProbe {
public:
    // TRUE when every byte from address on, `bytes` of them, can be read.
    // Zero bytes can always be read; a range that runs past the end of the
    // address space cannot.
    static BOOL CanRead(LPCVOID address, SIZE_T bytes);
    // TRUE when the text can be read up to and with its terminating zero.
    static BOOL CanReadString(LPCSTR text);
};
