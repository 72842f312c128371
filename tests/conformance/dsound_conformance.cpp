// The rules of DirectSound that the library depends on: ranges and error
// codes, the order of checks, Lock regions, buffer sizes, accepted formats
// and the end of a one-shot buffer. The same source runs against our own
// DirectSound and against the platform's.
#include <gtest/gtest.h>
#include <string.h>

#include <chrono>
#include <thread>

#include "platform/winapi.h"

#include "dudidadu.h"
#include "support/WaveFormats.h"

namespace {

using testformats::Extensible;
using testformats::Format;
using testformats::kSubtypeFloat;
using testformats::kSubtypePcm;

#ifdef _WIN32
LPCGUID TestDevice() { return nullptr; }
HWND TestWindow() { return GetDesktopWindow(); }
#else
// Natively the null output, so that no sound server is needed.
LPCGUID TestDevice() { return &DUDIDADU_NULL_OUTPUT; }
HWND TestWindow() { return reinterpret_cast<HWND>(static_cast<uintptr_t>(1)); }
#endif

const GUID kSubtypeAdpcm = {0x00000002, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
const DWORD kControls = DSBCAPS_CTRLFREQUENCY | DSBCAPS_CTRLPAN | DSBCAPS_CTRLVOLUME;

DSBUFFERDESC Desc(DWORD flags, DWORD bytes, const WAVEFORMATEXTENSIBLE *format)
{
    DSBUFFERDESC d;
    memset(&d, 0, sizeof(d));
    d.dwSize = sizeof(DSBUFFERDESC1);
    d.dwFlags = flags;
    d.dwBufferBytes = bytes;
    d.lpwfxFormat = format ? const_cast<LPWAVEFORMATEX>(&format->Format) : nullptr;
    return d;
}

// Releases what a test created, also when an assertion ends it early.
struct Buffer {
    IDirectSoundBuffer *p = nullptr;
    Buffer() = default;
    Buffer(const Buffer &) = delete;
    ~Buffer() { p != nullptr && p->Release(); }
    IDirectSoundBuffer *operator->() const { return p; }
};

IDirectSoundBuffer *const kSentinel = reinterpret_cast<IDirectSoundBuffer *>(static_cast<uintptr_t>(8));

class DirectSoundTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(DS_OK, DirectSoundCreate(TestDevice(), &m_ds, nullptr));
        ASSERT_EQ(DS_OK, m_ds->SetCooperativeLevel(TestWindow(), DSSCL_PRIORITY));
    }
    void TearDown() override
    {
        if (m_ds != nullptr)
            m_ds->Release();
    }

    HRESULT Create(const WAVEFORMATEXTENSIBLE &format, DWORD bytes, DWORD flags, Buffer &out)
    {
        DSBUFFERDESC d = Desc(flags, bytes, &format);
        out.p = kSentinel;
        const HRESULT hr = m_ds->CreateSoundBuffer(&d, &out.p, nullptr);
        if (FAILED(hr)) {
            // After the description was accepted, a failure leaves null.
            EXPECT_EQ(nullptr, out.p);
            out.p = nullptr;
        }
        return hr;
    }

    // Creation of a secondary buffer of this format: DS_OK or the error.
    HRESULT Try(const WAVEFORMATEXTENSIBLE &format, DWORD bytes = 4096)
    {
        Buffer b;
        return Create(format, bytes, kControls, b);
    }

    DWORD Position(IDirectSoundBuffer *b)
    {
        DWORD play = 0xFFFFFFFF, write = 0xFFFFFFFF;
        EXPECT_EQ(DS_OK, b->GetCurrentPosition(&play, &write));
        return play;
    }

    IDirectSound *m_ds = nullptr;
};

TEST_F(DirectSoundTest, DeviceCallsAndCaps)
{
    EXPECT_EQ(DSERR_INVALIDPARAM, DirectSoundCreate(TestDevice(), nullptr, nullptr));
    EXPECT_EQ(DS_OK, m_ds->SetCooperativeLevel(TestWindow(), DSSCL_NORMAL));
    EXPECT_EQ(DS_OK, m_ds->SetCooperativeLevel(TestWindow(), DSSCL_PRIORITY));
    EXPECT_EQ(DSERR_INVALIDPARAM, m_ds->GetCaps(nullptr));
    DSCAPS caps;
    memset(&caps, 0, sizeof(caps));
    caps.dwSize = sizeof(DSCAPS) - 1;
    EXPECT_EQ(DSERR_INVALIDPARAM, m_ds->GetCaps(&caps));
    ASSERT_EQ(96u, sizeof(DSCAPS));
    caps.dwSize = sizeof(DSCAPS);
    ASSERT_EQ(DS_OK, m_ds->GetCaps(&caps));
    EXPECT_EQ(0xF5Fu, caps.dwFlags);
    EXPECT_EQ(100u, caps.dwMinSecondarySampleRate);
    EXPECT_EQ(200000u, caps.dwMaxSecondarySampleRate);
    EXPECT_EQ(1u, caps.dwPrimaryBuffers);
}

// Description, then its size, then the out pointer; only a description that
// passed these has the out pointer cleared before anything else can fail.
TEST_F(DirectSoundTest, CreateSoundBufferChecksTheDescriptionFirst)
{
    WAVEFORMATEXTENSIBLE format = Format(WAVE_FORMAT_PCM, 2, 44100, 16);
    IDirectSoundBuffer *b = kSentinel;
    EXPECT_EQ(DSERR_INVALIDPARAM, m_ds->CreateSoundBuffer(nullptr, &b, nullptr));
    EXPECT_EQ(kSentinel, b);

    DSBUFFERDESC d = Desc(kControls, 4000, &format);
    for (DWORD size : {DWORD(0), DWORD(sizeof(DSBUFFERDESC1) - 4), DWORD(sizeof(DSBUFFERDESC1) + 4),
                       DWORD(sizeof(DSBUFFERDESC) - 4), DWORD(sizeof(DSBUFFERDESC) + 4),
                       DWORD(sizeof(DSBUFFERDESC1)), DWORD(sizeof(DSBUFFERDESC))}) {
        SCOPED_TRACE(size);
        const bool good = size == sizeof(DSBUFFERDESC1) || size == sizeof(DSBUFFERDESC);
        d.dwSize = size;
        Buffer made;
        made.p = kSentinel;
        EXPECT_EQ(good ? DS_OK : DSERR_INVALIDPARAM, m_ds->CreateSoundBuffer(&d, &made.p, nullptr));
        EXPECT_EQ(good, made.p != kSentinel);
        if (!good)
            made.p = nullptr;
        EXPECT_EQ(DSERR_INVALIDPARAM, m_ds->CreateSoundBuffer(&d, nullptr, nullptr));
    }

    d.lpwfxFormat = nullptr;
    b = kSentinel;
    EXPECT_EQ(DSERR_INVALIDPARAM, m_ds->CreateSoundBuffer(&d, &b, nullptr));
    EXPECT_EQ(nullptr, b);
}

TEST_F(DirectSoundTest, PrimaryBuffer)
{
    WAVEFORMATEXTENSIBLE format = Format(WAVE_FORMAT_PCM, 2, 22050, 16);
    DSBUFFERDESC d = Desc(DSBCAPS_PRIMARYBUFFER, 0, &format);
    IDirectSoundBuffer *b = kSentinel;
    EXPECT_EQ(DSERR_INVALIDPARAM, m_ds->CreateSoundBuffer(&d, &b, nullptr));
    EXPECT_EQ(nullptr, b);

    d.lpwfxFormat = nullptr;
    Buffer primary, second;
    ASSERT_EQ(DS_OK, m_ds->CreateSoundBuffer(&d, &primary.p, nullptr));
    ASSERT_EQ(DS_OK, m_ds->CreateSoundBuffer(&d, &second.p, nullptr));
    EXPECT_EQ(primary.p, second.p);  // one object, one more reference
    EXPECT_EQ(1u, second->Release());
    second.p = nullptr;

    ASSERT_EQ(DS_OK, m_ds->SetCooperativeLevel(TestWindow(), DSSCL_NORMAL));
    EXPECT_EQ(DSERR_PRIOLEVELNEEDED, primary->SetFormat(&format.Format));
    ASSERT_EQ(DS_OK, m_ds->SetCooperativeLevel(TestWindow(), DSSCL_PRIORITY));
    EXPECT_EQ(DS_OK, primary->SetFormat(&format.Format));
    WAVEFORMATEX got;
    ASSERT_EQ(DS_OK, primary->GetFormat(&got, sizeof(got), nullptr));
    EXPECT_EQ(0, memcmp(&got, &format.Format, sizeof(got)));

    EXPECT_EQ(DSERR_INVALIDPARAM, primary->Play(0, 0, 0));
    EXPECT_EQ(DS_OK, primary->Play(0, 0, DSBPLAY_LOOPING));
    DWORD status = 0;
    ASSERT_EQ(DS_OK, primary->GetStatus(&status));
    EXPECT_TRUE(status & DSBSTATUS_PLAYING);
    EXPECT_EQ(DSERR_CONTROLUNAVAIL, primary->SetFrequency(22050));
    EXPECT_EQ(DS_OK, primary->Stop());
}

// A format record with every field given, consistent or not.
WAVEFORMATEXTENSIBLE Raw(WORD tag, WORD channels, DWORD rate, WORD bits, WORD align, DWORD perSecond)
{
    WAVEFORMATEXTENSIBLE f = Format(tag, channels, rate, bits);
    f.Format.nBlockAlign = align;
    f.Format.nAvgBytesPerSec = perSecond;
    return f;
}

WAVEFORMATEXTENSIBLE ShortExtension()
{
    WAVEFORMATEXTENSIBLE f = Extensible(2, 44100, 16, kSubtypePcm, 16, 3);
    f.Format.cbSize = 21;
    return f;
}

TEST_F(DirectSoundTest, FormatAcceptance)
{
    const struct {
        WAVEFORMATEXTENSIBLE format;
        HRESULT hr;
        const char *what;
    } cases[] = {
        {Format(WAVE_FORMAT_PCM, 1, 22050, 8), DS_OK, "8-bit mono"},
        {Format(WAVE_FORMAT_PCM, 2, 44100, 16), DS_OK, "16-bit"},
        {Format(WAVE_FORMAT_PCM, 2, 48000, 24), DS_OK, "24-bit"},
        {Format(WAVE_FORMAT_PCM, 1, 96000, 32), DS_OK, "32-bit"},
        {Format(WAVE_FORMAT_IEEE_FLOAT, 2, 48000, 32), DS_OK, "float"},
        {Format(WAVE_FORMAT_PCM, 2, DSBFREQUENCY_MIN, 16), DS_OK, "lowest rate"},
        {Format(WAVE_FORMAT_PCM, 2, DSBFREQUENCY_MAX, 16), DS_OK, "highest rate"},
        {Extensible(2, 44100, 16, kSubtypePcm, 16, 0x3), DS_OK, "extensible"},
        {Extensible(2, 44100, 24, kSubtypePcm, 20, 0x3), DS_OK, "fewer valid bits"},
        {Extensible(1, 44100, 32, kSubtypePcm, 0, 0x4), DS_OK, "valid bits 0 means all"},
        {Extensible(2, 48000, 32, kSubtypeFloat, 32, 0x3), DS_OK, "extensible float"},
        {Extensible(6, 48000, 16, kSubtypePcm, 16, 0x3F), DS_OK, "5.1"},
        {Extensible(8, 48000, 16, kSubtypePcm, 16, 0x63F), DS_OK, "7.1"},
        {Raw(1, 2, 44100, 16, 4, 1), DS_OK, "bytes per second are not checked further"},
        {Raw(2, 2, 44100, 16, 4, 176400), DSERR_UNSUPPORTED, "ADPCM tag"},
        {Raw(2, 0, 44100, 17, 4, 176400), DSERR_UNSUPPORTED, "the tag is checked first"},
        {Raw(1, 2, 44100, 12, 3, 132300), DSERR_INVALIDPARAM, "bits not a multiple of 8"},
        {Raw(1, 1, 44100, 4, 1, 44100), DSERR_INVALIDPARAM, "bits below 8"},
        {Raw(1, 2, 44100, 0, 0, 0), DSERR_INVALIDPARAM, "no bits"},
        {Raw(1, 0, 44100, 16, 0, 0), DSERR_INVALIDPARAM, "no channels"},
        {Raw(1, 2, 0, 16, 4, 4), DSERR_INVALIDPARAM, "rate 0"},
        {Raw(1, 2, 44100, 16, 4, 0), DSERR_INVALIDPARAM, "no bytes per second"},
        {Raw(1, 2, 44100, 16, 5, 220500), DSERR_INVALIDPARAM, "block align"},
        {Raw(3, 2, 44100, 32, 4, 176400), DSERR_INVALIDPARAM, "float block align"},
        {ShortExtension(), DSERR_INVALIDPARAM, "short extension"},
        {Extensible(2, 44100, 16, kSubtypeAdpcm, 16, 3), DSERR_INVALIDPARAM, "sub-format"},
        {Extensible(2, 44100, 16, kSubtypePcm, 17, 3), DSERR_INVALIDPARAM, "valid bits above the container"},
    };
    EXPECT_EQ(E_NOTIMPL, DSERR_UNSUPPORTED);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const WAVEFORMATEX &f = c.format.Format;
        Buffer b;
        ASSERT_EQ(c.hr, Create(c.format, 4 * 100 * (f.nBlockAlign ? f.nBlockAlign : 1), kControls, b));
        if (FAILED(c.hr))
            continue;
        DWORD frequency = 0;
        ASSERT_EQ(DS_OK, b->GetFrequency(&frequency));
        EXPECT_EQ(f.nSamplesPerSec, frequency);
    }

    // More than two channels are documented to need the extensible form;
    // Wine's DirectSound accepts them as plain PCM as well.
    const HRESULT sixPcm = Try(Format(WAVE_FORMAT_PCM, 6, 48000, 16));
    EXPECT_TRUE(sixPcm == DSERR_INVALIDPARAM || sixPcm == DS_OK) << std::hex << sixPcm;
}

TEST_F(DirectSoundTest, SizesRoundUpToFramesAndNewBuffersHoldSilence)
{
    const WAVEFORMATEXTENSIBLE stereo16 = Format(WAVE_FORMAT_PCM, 2, 44100, 16);
    for (DWORD bad : {DWORD(0), DWORD(DSBSIZE_MIN - 1), DWORD(DSBSIZE_MAX + 1)})
        EXPECT_EQ(DSERR_INVALIDPARAM, Try(stereo16, bad)) << bad;

    const struct {
        WAVEFORMATEXTENSIBLE format;
        DWORD asked, got;
        BYTE silence;
    } cases[] = {
        {stereo16, DSBSIZE_MIN, 4, 0x00},
        {stereo16, 5, 8, 0x00},
        {stereo16, 4001, 4004, 0x00},
        {Format(WAVE_FORMAT_PCM, 1, 44100, 24), 4, 6, 0x00},
        {Format(WAVE_FORMAT_PCM, 1, 44100, 8), 7, 7, 0x80},
        {Format(WAVE_FORMAT_PCM, 2, 22050, 8), 8192, 8192, 0x80},
        {Format(WAVE_FORMAT_IEEE_FLOAT, 1, 44100, 32), 8192, 8192, 0x00},
        {Extensible(2, 44100, 8, kSubtypePcm, 8, 3), 8190, 8190, 0x80},
        {Extensible(6, 48000, 16, kSubtypePcm, 16, 0x3F), 4000, 4008, 0x00},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.asked << " bytes of " << c.format.Format.nChannels << " x "
                                        << c.format.Format.wBitsPerSample << " bits");
        Buffer b;
        ASSERT_EQ(DS_OK, Create(c.format, c.asked, kControls, b));
        DSBCAPS caps;
        memset(&caps, 0, sizeof(caps));
        EXPECT_EQ(DSERR_INVALIDPARAM, b->GetCaps(&caps));
        caps.dwSize = sizeof(caps);
        ASSERT_EQ(DS_OK, b->GetCaps(&caps));
        EXPECT_EQ(c.got, caps.dwBufferBytes);
        EXPECT_EQ(kControls, caps.dwFlags & (kControls | DSBCAPS_PRIMARYBUFFER));

        LPVOID p1 = nullptr, p2 = nullptr;
        DWORD n1 = 0, n2 = 0;
        ASSERT_EQ(DS_OK, b->Lock(0, 0, &p1, &n1, &p2, &n2, DSBLOCK_ENTIREBUFFER));
        ASSERT_EQ(c.got, n1);
        DWORD wrong = 0;
        for (DWORD i = 0; i < n1; ++i)
            wrong += static_cast<BYTE *>(p1)[i] != c.silence;
        EXPECT_EQ(0u, wrong) << "silence " << int(c.silence);
        EXPECT_EQ(DS_OK, b->Unlock(p1, n1, p2, n2));
    }
}

TEST_F(DirectSoundTest, LockRegions)
{
    Buffer b;
    ASSERT_EQ(DS_OK, Create(Format(WAVE_FORMAT_PCM, 1, 22050, 16), 4410, kControls, b));
    LPVOID p1 = nullptr, p2 = nullptr;
    DWORD n1 = 0, n2 = 0;
    ASSERT_EQ(DS_OK, b->Lock(0, 0, &p1, &n1, &p2, &n2, DSBLOCK_ENTIREBUFFER));
    BYTE *const start = static_cast<BYTE *>(p1);
    ASSERT_EQ(DS_OK, b->Unlock(p1, n1, p2, n2));

    const struct {
        DWORD offset, bytes, flags;
        HRESULT hr;
        DWORD n1, n2;  // a second region, when there is one, starts at the buffer's start
    } cases[] = {
        {100, 200, 0, DS_OK, 200, 0},      // inside: one region
        {4210, 200, 0, DS_OK, 200, 0},     // up to the end exactly
        {4400, 100, 0, DS_OK, 10, 90},     // past the end: wraps
        {4409, 4410, 0, DS_OK, 1, 4409},   // all of it, wrapped
        {0, 0, DSBLOCK_ENTIREBUFFER, DS_OK, 4410, 0},
        {100, 0, DSBLOCK_ENTIREBUFFER, DS_OK, 4310, 100},  // the whole buffer from there
        {4410, 1, 0, DSERR_INVALIDPARAM, 0, 0},
        {0, 4411, 0, DSERR_INVALIDPARAM, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "Lock(" << c.offset << ", " << c.bytes << ", " << c.flags << ")");
        ASSERT_EQ(c.hr, b->Lock(c.offset, c.bytes, &p1, &n1, &p2, &n2, c.flags));
        if (FAILED(c.hr))
            continue;
        EXPECT_EQ(start + c.offset, p1);
        EXPECT_EQ(c.n1, n1);
        EXPECT_EQ(c.n2 ? start : nullptr, p2);
        EXPECT_EQ(c.n2, n2);
        ASSERT_EQ(DS_OK, b->Unlock(p1, n1, p2, n2));
    }
    EXPECT_EQ(DSERR_INVALIDPARAM, b->Lock(0, 100, &p1, nullptr, &p2, &n2, 0));

    // Unlock takes back only what lies inside the buffer.
    EXPECT_EQ(DSERR_INVALIDPARAM, b->Unlock(start + 4410, 1, nullptr, 0));
    EXPECT_EQ(DSERR_INVALIDPARAM, b->Unlock(start + 4409, 2, nullptr, 0));
    EXPECT_EQ(DSERR_INVALIDPARAM, b->Unlock(start - 1, 1, nullptr, 0));
    EXPECT_EQ(DSERR_INVALIDPARAM, b->Unlock(start, 10, start + 4400, 11));
    EXPECT_EQ(DS_OK, b->Unlock(start, 4410, nullptr, 0));
}

// Sets volume ('v'), pan ('p') or frequency ('f').
HRESULT SetControl(IDirectSoundBuffer *b, char control, LONG value)
{
    return control == 'v' ? b->SetVolume(value)
                          : control == 'p' ? b->SetPan(value) : b->SetFrequency(static_cast<DWORD>(value));
}

LONG GetControl(IDirectSoundBuffer *b, char control)
{
    LONG value = 12345;
    DWORD frequency = 12345;
    const HRESULT hr = control == 'v' ? b->GetVolume(&value)
                                      : control == 'p' ? b->GetPan(&value) : b->GetFrequency(&frequency);
    EXPECT_EQ(DS_OK, hr);
    return control == 'f' ? static_cast<LONG>(frequency) : value;
}

TEST_F(DirectSoundTest, ControlRangesAndCheckOrder)
{
    Buffer b, bare;
    ASSERT_EQ(DS_OK, Create(Format(WAVE_FORMAT_PCM, 2, 44100, 16), 4000, kControls, b));
    ASSERT_EQ(DS_OK, Create(Format(WAVE_FORMAT_PCM, 1, 11025, 8), 4000, 0, bare));
    const struct {
        char control;
        LONG value;
        HRESULT hr, bareHr;  // with the control, without it
        LONG reads;          // afterwards; a refused value leaves the last one
    } cases[] = {
        // Volume: the control is checked before the range.
        {'v', DSBVOLUME_MAX + 1, DSERR_INVALIDPARAM, DSERR_CONTROLUNAVAIL, 0},
        {'v', DSBVOLUME_MIN - 1, DSERR_INVALIDPARAM, DSERR_CONTROLUNAVAIL, 0},
        {'v', -600, DS_OK, DSERR_CONTROLUNAVAIL, -600},
        {'v', DSBVOLUME_MIN, DS_OK, DSERR_CONTROLUNAVAIL, DSBVOLUME_MIN},
        {'v', DSBVOLUME_MAX, DS_OK, DSERR_CONTROLUNAVAIL, DSBVOLUME_MAX},
        // Pan: the range is checked before the control.
        {'p', DSBPAN_RIGHT + 1, DSERR_INVALIDPARAM, DSERR_INVALIDPARAM, 0},
        {'p', DSBPAN_LEFT - 1, DSERR_INVALIDPARAM, DSERR_INVALIDPARAM, 0},
        {'p', DSBPAN_LEFT, DS_OK, DSERR_CONTROLUNAVAIL, DSBPAN_LEFT},
        {'p', DSBPAN_RIGHT, DS_OK, DSERR_CONTROLUNAVAIL, DSBPAN_RIGHT},
        {'p', -1, DS_OK, DSERR_CONTROLUNAVAIL, -1},
        // Frequency: the control first; 0 is the format's own rate.
        {'f', DSBFREQUENCY_MIN - 1, DSERR_INVALIDPARAM, DSERR_CONTROLUNAVAIL, 44100},
        {'f', DSBFREQUENCY_MAX + 1, DSERR_INVALIDPARAM, DSERR_CONTROLUNAVAIL, 44100},
        {'f', DSBFREQUENCY_MIN, DS_OK, DSERR_CONTROLUNAVAIL, DSBFREQUENCY_MIN},
        {'f', DSBFREQUENCY_MAX, DS_OK, DSERR_CONTROLUNAVAIL, DSBFREQUENCY_MAX},
        {'f', DSBFREQUENCY_ORIGINAL, DS_OK, DSERR_CONTROLUNAVAIL, 44100},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.control << " " << c.value);
        EXPECT_EQ(c.hr, SetControl(b.p, c.control, c.value));
        EXPECT_EQ(c.reads, GetControl(b.p, c.control));
        EXPECT_EQ(c.bareHr, SetControl(bare.p, c.control, c.value));
    }
    EXPECT_EQ(11025, GetControl(bare.p, 'f'));  // reading needs no control
}

TEST_F(DirectSoundTest, PlayStopStatusAndPosition)
{
    Buffer b;
    ASSERT_EQ(DS_OK, Create(Format(WAVE_FORMAT_PCM, 2, 44100, 16), 4000, kControls, b));
    DWORD status = 0xFF;
    EXPECT_EQ(DSERR_INVALIDPARAM, b->GetStatus(nullptr));
    ASSERT_EQ(DS_OK, b->GetStatus(&status));
    EXPECT_EQ(0u, status);
    EXPECT_EQ(0u, Position(b.p));

    // Positions are rounded down to a frame. At or past the end the
    // documented answer is E_INVALIDARG with the position kept; Wine 8 wraps
    // the position around instead.
    for (DWORD set : {1000, 1003, 3999, 4000, 4006, 9000}) {
        ASSERT_EQ(DS_OK, b->SetCurrentPosition(1000));
        const HRESULT hr = b->SetCurrentPosition(set);
        EXPECT_TRUE(hr == DS_OK || (set >= 4000 && hr == E_INVALIDARG)) << set;
        EXPECT_EQ(hr == DS_OK ? set % 4000 / 4 * 4 : 1000, Position(b.p)) << set;
    }

    ASSERT_EQ(DS_OK, b->SetCurrentPosition(1000));
    ASSERT_EQ(DS_OK, b->Play(0, 0, DSBPLAY_LOOPING));
    ASSERT_EQ(DS_OK, b->GetStatus(&status));
    EXPECT_EQ(DWORD(DSBSTATUS_PLAYING | DSBSTATUS_LOOPING), status & ~DWORD(DSBSTATUS_BUFFERLOST));
    // Playing again only changes the flags.
    ASSERT_EQ(DS_OK, b->Play(0, 0, 0));
    ASSERT_EQ(DS_OK, b->GetStatus(&status));
    EXPECT_EQ(DWORD(DSBSTATUS_PLAYING), status);
    ASSERT_EQ(DS_OK, b->Stop());
    ASSERT_EQ(DS_OK, b->GetStatus(&status));
    EXPECT_EQ(0u, status);
    EXPECT_EQ(DS_OK, b->Stop());
    EXPECT_EQ(DS_OK, b->Restore());
}

TEST_F(DirectSoundTest, OneShotEndStopsAndRewinds)
{
    Buffer b;
    // The last 30 ms of 50 ms of silence.
    ASSERT_EQ(DS_OK, Create(Format(WAVE_FORMAT_PCM, 1, 48000, 16), 4800, kControls, b));
    ASSERT_EQ(DS_OK, b->SetCurrentPosition(2000));
    ASSERT_EQ(DS_OK, b->Play(0, 0, 0));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    DWORD status = DSBSTATUS_PLAYING;
    while ((status & DSBSTATUS_PLAYING) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_EQ(DS_OK, b->GetStatus(&status));
    }
    EXPECT_EQ(0u, status) << "the one-shot buffer never ended";
    EXPECT_EQ(0u, Position(b.p));
}

TEST_F(DirectSoundTest, ReleasingAPlayingBuffer)
{
    Buffer keep;
    ASSERT_EQ(DS_OK, Create(Format(WAVE_FORMAT_PCM, 2, 44100, 16), 8000, kControls, keep));
    ASSERT_EQ(DS_OK, keep->Play(0, 0, DSBPLAY_LOOPING));
    for (int i = 0; i < 20; ++i) {
        Buffer b;
        ASSERT_EQ(DS_OK, Create(Format(WAVE_FORMAT_PCM, 1, 22050, 8), 2205, kControls, b));
        ASSERT_EQ(DS_OK, b->Play(0, 0, i % 2 ? DSBPLAY_LOOPING : 0));
    }
    DWORD status = 0;
    ASSERT_EQ(DS_OK, keep->GetStatus(&status));
    EXPECT_TRUE(status & DSBSTATUS_PLAYING);
}

}  // namespace
