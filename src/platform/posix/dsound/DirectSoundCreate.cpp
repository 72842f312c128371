// DirectSoundCreate: a software device on the output the GUID selects.
#include <new>
#include <system_error>

#include "platform/posix/dsound/CDirectSound.h"
#include "platform/posix/output/CAudioOutput.h"

#include "dudidadu.h"

namespace {

CAudioOutput *OpenOutput(const GUID *device)
{
    CAudioOutput *output = CAudioOutput::Create(device);
    if (output != nullptr &&
        output->Open(CDirectSound::kOutputRate, 2, CDirectSound::kPeriodFrames))
        return output;
    delete output;
    return nullptr;
}

}  // namespace

extern "C" HRESULT WINAPI DirectSoundCreate(LPCGUID device, LPDIRECTSOUND *directSound,
                                            LPUNKNOWN outer)
{
    if (directSound == nullptr)
        return DSERR_INVALIDPARAM;
    *directSound = nullptr;
    if (outer != nullptr)
        return DSERR_NOAGGREGATION;
    try {
        // A server that answered the probe may still refuse the stream: then
        // the device plays into the null output rather than not at all.
        CAudioOutput *output = OpenOutput(device);
        if (output == nullptr)
            output = OpenOutput(&DUDIDADU_NULL_OUTPUT);
        if (output == nullptr)
            return DSERR_NODRIVER;
        *directSound = new CDirectSound(output);
    } catch (const std::bad_alloc &) {
        return DSERR_OUTOFMEMORY;
    } catch (const std::system_error &) {
        return DSERR_GENERIC;  // no thread for the mixer
    }
    return DS_OK;
}
