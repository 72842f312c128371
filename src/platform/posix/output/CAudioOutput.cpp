#include "platform/posix/output/CAudioOutput.h"

#include <stdlib.h>
#include <string.h>

#include <memory>

#include "platform/CLog.h"
#include "platform/posix/output/CAlsaOutput.h"
#include "platform/posix/output/CFrameClock.h"
#include "platform/posix/output/CNullOutput.h"
#include "platform/posix/output/CPulseOutput.h"

namespace {

// The device GUID that asks for the null output ("nulldudidadunull"), byte
// for byte as the public header defines it.
const GUID kNullOutputGuid = {
    0x6e756c6cu, 0x6475u, 0x6469u, {0x64, 0x61, 0x64, 0x75, 0x6e, 0x75, 0x6c, 0x6c}};
// DirectSound's names for the default device: GUID_NULL,
// DSDEVID_DefaultPlayback and DSDEVID_DefaultVoicePlayback.
const GUID kDefaultGuids[] = {
    {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}},
    {0xdef00000u, 0x9c6du, 0x47edu, {0xaa, 0xf1, 0x4d, 0xda, 0x8f, 0x2b, 0x5c, 0x03}},
    {0xdef00002u, 0x9c6du, 0x47edu, {0xaa, 0xf1, 0x4d, 0xda, 0x8f, 0x2b, 0x5c, 0x03}},
};

bool SameGuid(const GUID &a, const GUID &b)
{
    return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
           memcmp(a.Data4, b.Data4, sizeof(a.Data4)) == 0;
}

bool IsDefault(const GUID *device)
{
    if (!device)
        return true;
    for (const GUID &guid : kDefaultGuids) {
        if (SameGuid(*device, guid))
            return true;
    }
    return false;
}

CAudioOutput::EKind Wanted(const GUID *device)
{
    if (device && SameGuid(*device, kNullOutputGuid))
        return CAudioOutput::OUTPUT_NULL;
    const char *named = getenv("DUDIDADU_OUTPUT");
    if (!named || !*named || strcmp(named, "default") == 0)
        return CAudioOutput::OUTPUT_DEFAULT;
    if (strcmp(named, "pulse") == 0)
        return CAudioOutput::OUTPUT_PULSE;
    if (strcmp(named, "alsa") == 0)
        return CAudioOutput::OUTPUT_ALSA;
    if (strcmp(named, "null") == 0)
        return CAudioOutput::OUTPUT_NULL;
    CLog::Line(CLog::LOG_EVENTS, "DUDIDADU_OUTPUT=%s names no output (pulse, alsa, null): chosen as by default",
               named);
    return CAudioOutput::OUTPUT_DEFAULT;
}

}  // namespace

const char *CAudioOutput::NameOf(EKind kind)
{
    switch (kind) {
    case OUTPUT_PULSE: return "PulseAudio";
    case OUTPUT_ALSA: return "ALSA";
    case OUTPUT_NULL: return "null";
    default: return "PulseAudio or ALSA";
    }
}

uint64_t CAudioOutput::TakeOpenDeadline(DWORD patienceMs)
{
    const uint64_t deadline = m_qwOpenDeadlineNs;
    m_qwOpenDeadlineNs = 0;
    return deadline ? deadline : CFrameClock::NowNs() + patienceMs * 1000000ull;
}

CAudioOutput *CAudioOutput::OpenPreferred(EKind wanted, DWORD rate, WORD channels, DWORD periodFrames,
                                          DWORD patienceMs, const char **why, bool *timedOut)
{
    const uint64_t deadline = CFrameClock::NowNs() + patienceMs * 1000000ull;
    *why = "nothing to try";
    if (timedOut)
        *timedOut = false;
    if (wanted == OUTPUT_DEFAULT || wanted == OUTPUT_PULSE) {
        std::unique_ptr<CPulseOutput> pulse(new CPulseOutput());
        pulse->SetOpenDeadline(deadline);
        if (pulse->Open(rate, channels, periodFrames)) {
            pulse->SetWanted(wanted);
            return pulse.release();
        }
        *why = pulse->GetFailure();
        if (timedOut)
            *timedOut = pulse->TimedOut();
        // A server that takes the connection but does not answer would hold
        // up ALSA's default device too, which goes to it on such systems.
        if (wanted == OUTPUT_DEFAULT && pulse->TimedOut())
            return nullptr;
    }
    if (wanted == OUTPUT_DEFAULT || wanted == OUTPUT_ALSA) {
        std::unique_ptr<CAlsaOutput> alsa(new CAlsaOutput());
        alsa->SetOpenDeadline(deadline);
        if (alsa->Open(rate, channels, periodFrames)) {
            alsa->SetWanted(wanted);
            return alsa.release();
        }
        if (timedOut)
            *timedOut = *timedOut || alsa->TimedOut();
        // The server's reason says more, unless ALSA alone was asked for.
        if (wanted == OUTPUT_ALSA)
            *why = alsa->GetFailure();
    }
    return nullptr;
}

CAudioOutput *CAudioOutput::Create(const GUID *device, DWORD rate, WORD channels, DWORD periodFrames)
{
    if (device && !SameGuid(*device, kNullOutputGuid) && !IsDefault(device)) {
        CLog::Line(CLog::LOG_EVENTS,
                   "no device: no output has the GUID {%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                   device->Data1, device->Data2, device->Data3, device->Data4[0], device->Data4[1],
                   device->Data4[2], device->Data4[3], device->Data4[4], device->Data4[5],
                   device->Data4[6], device->Data4[7]);
        return nullptr;
    }
    const EKind wanted = Wanted(device);
    const char *why = device && SameGuid(*device, kNullOutputGuid) ? "the null-output GUID asked for it"
                                                                     : "DUDIDADU_OUTPUT=null";
    if (wanted != OUTPUT_NULL) {
        CAudioOutput *found = OpenPreferred(wanted, rate, channels, periodFrames, kFirstPatienceMs, &why);
        if (found) {
            CLog::Line(CLog::LOG_EVENTS, "device output: %s%s", NameOf(found->GetKind()),
                       found->IsStandIn() ? "; PulseAudio is looked for from now on" : "");
            return found;
        }
        if (wanted != OUTPUT_DEFAULT) {
            CLog::Line(CLog::LOG_EVENTS, "no device: DUDIDADU_OUTPUT=%s, but %s",
                       wanted == OUTPUT_PULSE ? "pulse" : "alsa", why);
            return nullptr;
        }
    }
    std::unique_ptr<CNullOutput> silent(new CNullOutput());
    if (!silent->Open(rate, channels, periodFrames))
        return nullptr;
    silent->SetWanted(wanted);
    CLog::Line(CLog::LOG_EVENTS, "device output: null, nothing is heard (%s)%s", why,
               wanted == OUTPUT_NULL ? "" : "; PulseAudio and ALSA are looked for from now on");
    return silent.release();
}
