#include "platform/posix/output/CAudioOutput.h"

#include <string.h>

#include "platform/posix/output/CNullOutput.h"
#include "platform/posix/output/CPulseOutput.h"

namespace {

// The device GUID that asks for the null output ("nulldudidadunull"), byte
// for byte as the public header defines it.
const GUID kNullOutputGuid = {
    0x6e756c6cu, 0x6475u, 0x6469u, {0x64, 0x61, 0x64, 0x75, 0x6e, 0x75, 0x6c, 0x6c}};

bool SameGuid(const GUID &a, const GUID &b)
{
    return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
           memcmp(a.Data4, b.Data4, sizeof(a.Data4)) == 0;
}

}  // namespace

CAudioOutput *CAudioOutput::Create(const GUID *device)
{
    if (device && SameGuid(*device, kNullOutputGuid))
        return new CNullOutput();
    CPulseOutput *pulse = new CPulseOutput();
    if (pulse->Connect())
        return pulse;
    delete pulse;
    return new CNullOutput();
}
