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
const DWORD kMinRate = 100;
const DWORD kMaxRate = 200000;
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

    if (tag == kTagExtensible && !extensible) {
        wsprintfA(m_szReason, "a WAVE_FORMAT_EXTENSIBLE record of %u extra bytes (22 needed)", format->cbSize);
        return _refuse(m_szReason);
    }
    if (extensible && !isFloat && !IsSubtype(subtype, kTagPcm)) {
        DWORD first;
        memcpy(&first, subtype, sizeof(first));
        wsprintfA(m_szReason, "WAVE_FORMAT_EXTENSIBLE of sub-format 0x%08x not supported", first);
        return _refuse(m_szReason);
    }
    if (isFloat && format->wBitsPerSample == 64) {
        m_eKind = KIND_FLOAT64;
    } else if (tag == kTagPcm || tag == kTagFloat || tag == kTagExtensible) {
        m_eKind = KIND_AS_IS;
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

    // What every sound is held to, decoded or not, on every platform.
    if (channels == 0 || channels > kMaxChannels) {
        wsprintfA(m_szReason, "%u channels (1 to %u are played)", channels, kMaxChannels);
        return _refuse(m_szReason);
    }
    if (format->nSamplesPerSec < kMinRate || format->nSamplesPerSec > kMaxRate) {
        wsprintfA(m_szReason, "a sample rate of %u Hz (%u to %u are played)", format->nSamplesPerSec, kMinRate,
                  kMaxRate);
        return _refuse(m_szReason);
    }

    switch (m_eKind) {
    case KIND_AS_IS:
        if (!_check_width(isFloat, extensible, format))
            return FALSE;
        // Only plain records with more than two channels need saying where
        // the channels go.
        if (tag != kTagExtensible && channels > 2) {
            m_eKind = KIND_RELABEL;
            _describe(format, tag, format->wBitsPerSample, TRUE, StandardMask(channels));
            // The same bytes: the rate of them stays as the file says.
            m_format.Format.nAvgBytesPerSec = format->nAvgBytesPerSec;
        }
        return TRUE;
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

// Integers of 8 to 32 bits in whole bytes, 32-bit float (64-bit float is
// decoded before this), in blocks of whole frames: wider containers make
// DirectSound under Wine hang, and the rest it refuses with less to say.
BOOL CWaveDecoder::_check_width(BOOL isFloat, BOOL extensible, LPCWAVEFORMATEX format)
{
    const WORD bits = format->wBitsPerSample;
    if (isFloat && bits != 32) {
        wsprintfA(m_szReason, "%u-bit float samples (32 and 64 bits are played)", bits);
        return _refuse(m_szReason);
    }
    if (!isFloat && (bits < 8 || bits > 32 || bits % 8 != 0)) {
        wsprintfA(m_szReason, "%u-bit integer samples (8, 16, 24 and 32 bits are played)", bits);
        return _refuse(m_szReason);
    }
    if (extensible) {
        WORD valid;
        memcpy(&valid, reinterpret_cast<const BYTE *>(format) + offsetof(WAVEFORMATEXTENSIBLE, Samples), sizeof(valid));
        if (valid > bits) {
            wsprintfA(m_szReason, "%u valid bits in %u-bit samples", valid, bits);
            return _refuse(m_szReason);
        }
    }
    if (format->nBlockAlign != format->nChannels * (bits / 8)) {
        wsprintfA(m_szReason, "block align %u does not fit %u channels of %u bits", format->nBlockAlign,
                  format->nChannels, bits);
        return _refuse(m_szReason);
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

DWORD CWaveDecoder::GetUnit() const
{
    switch (m_eKind) {
    case KIND_G711:
        return m_format.Format.nChannels;
    case KIND_IMA_ADPCM:
        return m_ima.GetBlockAlign();
    case KIND_MS_ADPCM:
        return m_ms.GetBlockAlign();
    case KIND_FLOAT64:
        return (DWORD)m_format.Format.nChannels * 8;
    default:
        return 1;
    }
}

DWORD CWaveDecoder::Decode(const BYTE *in, DWORD bytes, BYTE *out) const
{
    switch (m_eKind) {
    case KIND_G711:
        return m_g711.Decode(in, bytes, out);
    case KIND_IMA_ADPCM:
        return m_ima.Decode(in, bytes, out);
    case KIND_MS_ADPCM:
        return m_ms.Decode(in, bytes, out);
    case KIND_FLOAT64: {
        const DWORD count = bytes / GetUnit() * m_format.Format.nChannels;
        float *samples = reinterpret_cast<float *>(out);
        for (DWORD i = 0; i < count; ++i) {
            double value;
            memcpy(&value, in + 8 * (size_t)i, sizeof(value));
            samples[i] = (float)value;
        }
        return count * 4;
    }
    default:
        // Nothing to decode: the data is used as it is.
        return 0;
    }
}
