#include "platform/posix/dsound/CSampleFormat.h"

#include <string.h>

namespace {

// KSDATAFORMAT_SUBTYPE_PCM and _IEEE_FLOAT differ only in their first field.
const GUID kSubtypeBase = {0x00000000, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};

bool IsSubtype(const GUID &guid, DWORD tag)
{
    return guid.Data1 == tag && guid.Data2 == kSubtypeBase.Data2 &&
           guid.Data3 == kSubtypeBase.Data3 &&
           memcmp(guid.Data4, kSubtypeBase.Data4, sizeof(guid.Data4)) == 0;
}

// Speaker positions in channel-mask bit order and their weights into the
// left and right output: fronts straight, centres and surrounds at -3 dB,
// the low-frequency channel left out.
const float kHalfPower = 0.70710678f;
const struct {
    float fLeft, fRight;
} kSpeakers[] = {
    {1.0f, 0.0f},                // front left
    {0.0f, 1.0f},                // front right
    {kHalfPower, kHalfPower},    // front centre
    {0.0f, 0.0f},                // low frequency
    {kHalfPower, 0.0f},          // back left
    {0.0f, kHalfPower},          // back right
    {1.0f, 0.0f},                // front left of centre
    {0.0f, 1.0f},                // front right of centre
    {0.5f, 0.5f},                // back centre
    {kHalfPower, 0.0f},          // side left
    {0.0f, kHalfPower},          // side right
    {0.5f, 0.5f},                // top centre
    {kHalfPower, 0.0f},          // top front left
    {0.5f, 0.5f},                // top front centre
    {0.0f, kHalfPower},          // top front right
    {0.5f, 0.0f},                // top back left
    {0.35f, 0.35f},              // top back centre
    {0.0f, 0.5f},                // top back right
};
const DWORD kSpeakerCount = sizeof(kSpeakers) / sizeof(kSpeakers[0]);

// The layout a format without a channel mask is taken to have.
DWORD DefaultMask(WORD channels)
{
    switch (channels) {
    case 3: return 0x007;  // front left, right, centre
    case 4: return 0x033;  // quad
    case 5: return 0x037;  // fronts, centre, backs
    case 6: return 0x03F;  // 5.1
    case 7: return 0x70F;  // 5.1 with sides, back centre
    case 8: return 0x63F;  // 7.1
    default: return (1u << kSpeakerCount) - 1;
    }
}

}  // namespace

HRESULT CSampleFormat::Check(LPCWAVEFORMATEX format)
{
    if (format == nullptr)
        return DSERR_INVALIDPARAM;
    const WORD tag = format->wFormatTag;
    if (tag != WAVE_FORMAT_PCM && tag != WAVE_FORMAT_IEEE_FLOAT && tag != WAVE_FORMAT_EXTENSIBLE)
        return DSERR_UNSUPPORTED;
    const DWORD bits = format->wBitsPerSample;
    if (bits < 8 || bits % 8 != 0 || format->nChannels == 0 || format->nSamplesPerSec == 0 ||
        format->nAvgBytesPerSec == 0 || format->nBlockAlign != format->nChannels * bits / 8)
        return DSERR_INVALIDPARAM;
    if (tag == WAVE_FORMAT_EXTENSIBLE) {
        if (format->cbSize < sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX))
            return DSERR_INVALIDPARAM;
        const WAVEFORMATEXTENSIBLE *ext = reinterpret_cast<const WAVEFORMATEXTENSIBLE *>(format);
        GUID sub;
        memcpy(&sub, &ext->SubFormat, sizeof(sub));
        if (!IsSubtype(sub, WAVE_FORMAT_PCM) && !IsSubtype(sub, WAVE_FORMAT_IEEE_FLOAT))
            return DSERR_INVALIDPARAM;
        if (ext->Samples.wValidBitsPerSample > bits)
            return DSERR_INVALIDPARAM;
    } else if (format->nChannels > 2) {
        // More than two channels must say where they go.
        return DSERR_INVALIDPARAM;
    }
    return DS_OK;
}

CSampleFormat::CSampleFormat(LPCWAVEFORMATEX format)
    : m_wChannels(format->nChannels),
      m_wBlockAlign(format->nBlockAlign),
      m_dwRate(format->nSamplesPerSec),
      m_dwSampleBytes(format->wBitsPerSample / 8u),
      m_eEncoding(ENC_SILENT),
      m_eLayout(LAYOUT_MONO)
{
    bool isFloat = format->wFormatTag == WAVE_FORMAT_IEEE_FLOAT;
    DWORD mask = 0;
    if (format->wFormatTag == WAVE_FORMAT_PCM) {
        m_record.resize(sizeof(WAVEFORMATEX));
        memcpy(m_record.data(), format, sizeof(PCMWAVEFORMAT));
    } else {
        m_record.resize(sizeof(WAVEFORMATEX) + format->cbSize);
        memcpy(m_record.data(), format, m_record.size());
    }
    if (format->wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
        const WAVEFORMATEXTENSIBLE *ext = reinterpret_cast<const WAVEFORMATEXTENSIBLE *>(format);
        GUID sub;
        memcpy(&sub, &ext->SubFormat, sizeof(sub));
        isFloat = IsSubtype(sub, WAVE_FORMAT_IEEE_FLOAT);
        mask = ext->dwChannelMask;
    }

    // Samples narrower than their container sit in its top bits, so reading
    // the whole container is right whatever the valid bits say.
    if (isFloat) {
        if (m_dwSampleBytes == 4)
            m_eEncoding = ENC_F32;
        else if (m_dwSampleBytes == 8)
            m_eEncoding = ENC_F64;
    } else {
        switch (m_dwSampleBytes) {
        case 1: m_eEncoding = ENC_U8; break;
        case 2: m_eEncoding = ENC_S16; break;
        case 3: m_eEncoding = ENC_S24; break;
        case 4: m_eEncoding = ENC_S32; break;
        default: m_eEncoding = ENC_SWIDE; break;
        }
    }

    if (m_wChannels == 1) {
        m_eLayout = LAYOUT_MONO;
    } else if (m_wChannels == 2) {
        m_eLayout = LAYOUT_STEREO;
    } else {
        m_eLayout = LAYOUT_DOWNMIX;
        _build_downmix(mask != 0 ? mask : DefaultMask(m_wChannels));
    }
}

// Channels take the mask's set bits in order; channels beyond them are not
// heard, and the mixer does not even read them.
void CSampleFormat::_build_downmix(DWORD mask)
{
    for (DWORD bit = 0; bit < kSpeakerCount && m_left.size() < m_wChannels; ++bit) {
        if (mask & (1u << bit)) {
            m_left.push_back(kSpeakers[bit].fLeft);
            m_right.push_back(kSpeakers[bit].fRight);
        }
    }
}
