#include "wave/CWaveDecoder.h"

#include <stddef.h>
#include <string.h>

namespace {

// Tags by number: the platform headers name some of them, not all.
const WORD kTagPcm = 0x0001;
const WORD kTagMsAdpcm = 0x0002;
const WORD kTagFloat = 0x0003;
const WORD kTagALaw = 0x0006;
const WORD kTagMuLaw = 0x0007;
const WORD kTagImaAdpcm = 0x0011;
const WORD kTagExtensible = 0xFFFE;

const WORD kMaxChannels = 8;
const DWORD kExtensibleExtra = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);

// KSDATAFORMAT_SUBTYPE_PCM and _IEEE_FLOAT: the tag, then the same 12 bytes.
const BYTE kSubtypeTail[12] = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

GUID Subtype(WORD tag)
{
    BYTE bytes[16] = {(BYTE)(tag & 0xFF), (BYTE)(tag >> 8), 0, 0};
    memcpy(bytes + 4, kSubtypeTail, sizeof(kSubtypeTail));
    GUID guid;
    memcpy(&guid, bytes, sizeof(guid));
    return guid;
}

BOOL IsSubtype(const BYTE *guid, WORD tag)
{
    return guid[0] == (tag & 0xFF) && guid[1] == (tag >> 8) && guid[2] == 0 && guid[3] == 0 &&
           memcmp(guid + 4, kSubtypeTail, sizeof(kSubtypeTail)) == 0;
}

}  // namespace

CWaveDecoder::CWaveDecoder() : m_eKind(KIND_AS_IS), m_dwDataSize(0), m_qwDecodedSize(0), m_dwFormatSize(0)
{
    memset(&m_format, 0, sizeof(m_format));
    m_szReason[0] = '\0';
}

DWORD CWaveDecoder::StandardMask(WORD channels)
{
    switch (channels) {
    case 3: return 0x007;  // front left, right, centre
    case 4: return 0x033;  // fronts, backs
    case 5: return 0x037;  // fronts, centre, backs
    case 6: return 0x03F;  // 5.1
    case 7: return 0x70F;  // 5.1 with sides for backs, back centre
    case 8: return 0x63F;  // 7.1
    default: return 0;
    }
}

BOOL CWaveDecoder::_refuse(LPCSTR why)
{
    if (why != m_szReason) {
        strncpy(m_szReason, why, sizeof(m_szReason) - 1);
        m_szReason[sizeof(m_szReason) - 1] = '\0';
    }
    return FALSE;
}

BOOL CWaveDecoder::Plan(LPCWAVEFORMATEX format, DWORD formatSize, DWORD dataSize)
{
    m_eKind = KIND_AS_IS;
    m_dwDataSize = dataSize;
    m_qwDecodedSize = dataSize;
    m_dwFormatSize = 0;
    m_szReason[0] = '\0';
    if (format == NULL || formatSize < sizeof(WAVEFORMATEX) || formatSize < sizeof(WAVEFORMATEX) + format->cbSize)
        return _refuse("a format record cut short");

    const WORD tag = format->wFormatTag;
    const WORD channels = format->nChannels;
    const BOOL extensible = tag == kTagExtensible && format->cbSize >= kExtensibleExtra;
    const BYTE *subtype = reinterpret_cast<const BYTE *>(format) + offsetof(WAVEFORMATEXTENSIBLE, SubFormat);
    const BOOL isFloat = tag == kTagFloat || (extensible && IsSubtype(subtype, kTagFloat));

    if (isFloat && format->wBitsPerSample == 64) {
        m_eKind = KIND_FLOAT64;
    } else if (tag == kTagPcm || tag == kTagFloat || tag == kTagExtensible) {
        // DirectSound judges these itself; only plain records with more than
        // two channels need saying where the channels go.
        if (tag != kTagExtensible && channels > 2 && channels <= kMaxChannels) {
            m_eKind = KIND_RELABEL;
            _describe(format, tag, format->wBitsPerSample, TRUE, StandardMask(channels));
            // The same bytes, so the same block as the file says.
            m_format.Format.nBlockAlign = format->nBlockAlign;
            m_format.Format.nAvgBytesPerSec = format->nAvgBytesPerSec;
        }
        return TRUE;
    } else if (tag == kTagALaw || tag == kTagMuLaw) {
        m_eKind = KIND_G711;
    } else if (tag == kTagImaAdpcm) {
        m_eKind = KIND_IMA_ADPCM;
    } else if (tag == kTagMsAdpcm) {
        m_eKind = KIND_MS_ADPCM;
    } else {
        wsprintfA(m_szReason, "format tag 0x%04x not supported", tag);
        return _refuse(m_szReason);
    }

    if (channels == 0 || channels > kMaxChannels) {
        wsprintfA(m_szReason, "%u channels to decode (1 to %u are played)", channels, kMaxChannels);
        return _refuse(m_szReason);
    }
    if (format->nSamplesPerSec == 0)
        return _refuse("a sample rate of 0");

    switch (m_eKind) {
    case KIND_G711:
        if (!m_g711.Setup(format, m_szReason))
            return _refuse(m_szReason);
        m_qwDecodedSize = m_g711.DecodedSize(dataSize);
        break;
    case KIND_IMA_ADPCM:
        if (!m_ima.Setup(format, m_szReason))
            return _refuse(m_szReason);
        m_qwDecodedSize = m_ima.DecodedSize(dataSize);
        break;
    case KIND_MS_ADPCM:
        if (!m_ms.Setup(format, m_szReason))
            return _refuse(m_szReason);
        m_qwDecodedSize = m_ms.DecodedSize(dataSize);
        break;
    case KIND_FLOAT64:
        if (format->nBlockAlign != channels * 8) {
            wsprintfA(m_szReason, "64-bit float block align %u does not fit %u channels", format->nBlockAlign,
                      channels);
            return _refuse(m_szReason);
        }
        m_qwDecodedSize = (uint64_t)(dataSize / format->nBlockAlign) * channels * 4;
        break;
    default:
        break;
    }
    if (m_qwDecodedSize == 0)
        return _refuse("the data chunk holds no whole block");
    if (m_eKind == KIND_FLOAT64) {
        // An extensible record keeps its speakers.
        DWORD mask = StandardMask(channels);
        if (extensible)
            memcpy(&mask, reinterpret_cast<const BYTE *>(format) + offsetof(WAVEFORMATEXTENSIBLE, dwChannelMask),
                   sizeof(mask));
        _describe(format, kTagFloat, 32, extensible, mask);
    } else {
        _describe(format, kTagPcm, 16, FALSE, StandardMask(channels));
    }
    return TRUE;
}

void CWaveDecoder::_describe(LPCWAVEFORMATEX file, WORD tag, WORD bits, BOOL extensible, DWORD mask)
{
    memset(&m_format, 0, sizeof(m_format));
    WAVEFORMATEX &f = m_format.Format;
    f.wFormatTag = tag;
    f.nChannels = file->nChannels;
    f.nSamplesPerSec = file->nSamplesPerSec;
    f.wBitsPerSample = bits;
    f.nBlockAlign = (WORD)(file->nChannels * (bits / 8));
    f.nAvgBytesPerSec = file->nSamplesPerSec * f.nBlockAlign;
    m_dwFormatSize = sizeof(WAVEFORMATEX);
    if (extensible || file->nChannels > 2) {
        f.wFormatTag = kTagExtensible;
        f.cbSize = (WORD)kExtensibleExtra;
        m_format.Samples.wValidBitsPerSample = bits;
        m_format.dwChannelMask = mask;
        m_format.SubFormat = Subtype(tag);
        m_dwFormatSize = sizeof(WAVEFORMATEXTENSIBLE);
    }
}

void CWaveDecoder::Decode(const BYTE *in, BYTE *out) const
{
    switch (m_eKind) {
    case KIND_G711:
        m_g711.Decode(in, m_dwDataSize, out);
        break;
    case KIND_IMA_ADPCM:
        m_ima.Decode(in, m_dwDataSize, out);
        break;
    case KIND_MS_ADPCM:
        m_ms.Decode(in, m_dwDataSize, out);
        break;
    case KIND_FLOAT64: {
        const size_t count = (size_t)(m_qwDecodedSize / 4);
        float *samples = reinterpret_cast<float *>(out);
        for (size_t i = 0; i < count; ++i) {
            double value;
            memcpy(&value, in + 8 * i, sizeof(value));
            samples[i] = (float)value;
        }
        break;
    }
    default:
        // Nothing to decode: the data is used as it is.
        break;
    }
}
