// DirectSoundCreate: a software device on the output the GUID selects.
#include <new>
#include <system_error>

#include "platform/posix/dsound/CDirectSound.h"
#include "platform/posix/output/CAudioOutput.h"

extern "C" HRESULT WINAPI DirectSoundCreate(LPCGUID device, LPDIRECTSOUND *directSound,
                                            LPUNKNOWN outer)
{
    if (directSound == nullptr)
        return DSERR_INVALIDPARAM;
    *directSound = nullptr;
    if (outer != nullptr)
        return DSERR_NOAGGREGATION;
    try {
        // No output for an unknown GUID, as DirectSound has no device for it.
        // The output's own rate, so that nothing resamples the mix again.
        CAudioOutput *output = CAudioOutput::Create(device, 0, 2, 0);
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
