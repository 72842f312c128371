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

namespace {

// Natively the null output, so that no sound server is needed.
LPCGUID TestDevice()
{
#ifdef _WIN32
    return nullptr;
#else
    return &DUDIDADU_NULL_OUTPUT;
#endif
}

HWND TestWindow()
{
#ifdef _WIN32
    return GetDesktopWindow();
#else
    return reinterpret_cast<HWND>(static_cast<uintptr_t>(1));
#endif
}

const GUID kSubtypePcm = {0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
const GUID kSubtypeFloat = {0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
const GUID kSubtypeAdpcm = {0x00000002, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};

const DWORD kControls = DSBCAPS_CTRLFREQUENCY | DSBCAPS_CTRLPAN | DSBCAPS_CTRLVOLUME;

// A consistent format record, extensible-sized so every test can use it.
WAVEFORMATEXTENSIBLE Format(WORD tag, WORD channels, DWORD rate, WORD bits)
{
    WAVEFORMATEXTENSIBLE f;
    memset(&f, 0, sizeof(f));
    f.Format.wFormatTag = tag;
    f.Format.nChannels = channels;
    f.Format.nSamplesPerSec = rate;
    f.Format.wBitsPerSample = bits;
    f.Format.nBlockAlign = static_cast<WORD>(channels * bits / 8);
    f.Format.nAvgBytesPerSec = rate * f.Format.nBlockAlign;
    return f;
}

WAVEFORMATEXTENSIBLE Extensible(WORD channels, DWORD rate, WORD bits, const GUID &sub,
                                WORD validBits, DWORD mask)
{
    WAVEFORMATEXTENSIBLE f = Format(WAVE_FORMAT_EXTENSIBLE, channels, rate, bits);
    f.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    f.Samples.wValidBitsPerSample = validBits;
    f.dwChannelMask = mask;
    f.SubFormat = sub;
    return f;
}

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
    Buffer &operator=(const Buffer &) = delete;
    ~Buffer()
    {
        if (p != nullptr)
            p->Release();
    }
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

TEST(DirectSoundCreateTest, RefusesNullOutPointer)
{
    EXPECT_EQ(DSERR_INVALIDPARAM, DirectSoundCreate(TestDevice(), nullptr, nullptr));
}

TEST_F(DirectSoundTest, CapsOfASoftwareDevice)
{
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

TEST_F(DirectSoundTest, CooperativeLevelsAreAccepted)
{
    EXPECT_EQ(DS_OK, m_ds->SetCooperativeLevel(TestWindow(), DSSCL_NORMAL));
    EXPECT_EQ(DS_OK, m_ds->SetCooperativeLevel(TestWindow(), DSSCL_PRIORITY));
}

TEST_F(DirectSoundTest, QueryInterface)
{
    void *p = nullptr;
    ASSERT_EQ(S_OK, m_ds->QueryInterface(IID_IDirectSound, &p));
    EXPECT_NE(nullptr, p);
    static_cast<IDirectSound *>(p)->Release();
    ASSERT_EQ(S_OK, m_ds->QueryInterface(IID_IUnknown, &p));
    static_cast<IUnknown *>(p)->Release();
    p = &p;
    EXPECT_EQ(E_NOINTERFACE, m_ds->QueryInterface(IID_IDirectSoundBuffer, &p));
    EXPECT_EQ(nullptr, p);
}

// Description, then its size, then the out pointer; only a description that
// passed these has the out pointer cleared before anything else can fail.
TEST_F(DirectSoundTest, CreateSoundBufferChecksTheDescriptionFirst)
{
    WAVEFORMATEXTENSIBLE format = Format(WAVE_FORMAT_PCM, 2, 44100, 16);
    IDirectSoundBuffer *b = kSentinel;
    EXPECT_EQ(DSERR_INVALIDPARAM, m_ds->CreateSoundBuffer(nullptr, &b, nullptr));
    EXPECT_EQ(kSentinel, b);

    const DWORD badSizes[] = {0, sizeof(DSBUFFERDESC1) - 4, sizeof(DSBUFFERDESC1) + 4,
                              sizeof(DSBUFFERDESC) - 4, sizeof(DSBUFFERDESC) + 4};
    for (DWORD size : badSizes) {
        DSBUFFERDESC d = Desc(kControls, 4000, &format);
        d.dwSize = size;
        b = kSentinel;
        EXPECT_EQ(DSERR_INVALIDPARAM, m_ds->CreateSoundBuffer(&d, &b, nullptr)) << size;
        EXPECT_EQ(kSentinel, b) << size;
        EXPECT_EQ(DSERR_INVALIDPARAM, m_ds->CreateSoundBuffer(&d, nullptr, nullptr)) << size;
    }

    DSBUFFERDESC d = Desc(kControls, 4000, &format);
    EXPECT_EQ(DSERR_INVALIDPARAM, m_ds->CreateSoundBuffer(&d, nullptr, nullptr));

    const DWORD goodSizes[] = {sizeof(DSBUFFERDESC1), sizeof(DSBUFFERDESC)};
    for (DWORD size : goodSizes) {
        d.dwSize = size;
        Buffer ok;
        EXPECT_EQ(DS_OK, m_ds->CreateSoundBuffer(&d, &ok.p, nullptr)) << size;
        EXPECT_NE(nullptr, ok.p);
    }

    d.dwSize = sizeof(DSBUFFERDESC1);
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
    DWORD written = 0;
    ASSERT_EQ(DS_OK, primary->GetFormat(&got, sizeof(got), &written));
    EXPECT_EQ(22050u, got.nSamplesPerSec);
    EXPECT_EQ(16, got.wBitsPerSample);
    EXPECT_EQ(2, got.nChannels);

    EXPECT_EQ(DSERR_INVALIDPARAM, primary->Play(0, 0, 0));
    EXPECT_EQ(DS_OK, primary->Play(0, 0, DSBPLAY_LOOPING));
    DWORD status = 0;
    ASSERT_EQ(DS_OK, primary->GetStatus(&status));
    EXPECT_TRUE(status & DSBSTATUS_PLAYING);
    EXPECT_EQ(DSERR_CONTROLUNAVAIL, primary->SetFrequency(22050));
    EXPECT_EQ(DS_OK, primary->Stop());
}

TEST_F(DirectSoundTest, AcceptedFormats)
{
    struct {
        WAVEFORMATEXTENSIBLE format;
        DWORD recordSize;
    } cases[] = {
        {Format(WAVE_FORMAT_PCM, 1, 22050, 8), 18},
        {Format(WAVE_FORMAT_PCM, 2, 44100, 16), 18},
        {Format(WAVE_FORMAT_PCM, 2, 48000, 24), 18},
        {Format(WAVE_FORMAT_PCM, 1, 96000, 32), 18},
        {Format(WAVE_FORMAT_IEEE_FLOAT, 2, 48000, 32), 18},
        {Format(WAVE_FORMAT_PCM, 2, DSBFREQUENCY_MIN, 16), 18},
        {Format(WAVE_FORMAT_PCM, 2, DSBFREQUENCY_MAX, 16), 18},
        {Extensible(2, 44100, 16, kSubtypePcm, 16, 0x3), 40},
        {Extensible(2, 44100, 24, kSubtypePcm, 20, 0x3), 40},
        {Extensible(1, 44100, 32, kSubtypePcm, 0, 0x4), 40},  // valid bits 0 means all
        {Extensible(2, 48000, 32, kSubtypeFloat, 32, 0x3), 40},
        {Extensible(6, 48000, 16, kSubtypePcm, 16, 0x3F), 40},
        {Extensible(8, 48000, 16, kSubtypePcm, 16, 0x63F), 40},
    };
    for (const auto &c : cases) {
        const WAVEFORMATEX &f = c.format.Format;
        SCOPED_TRACE(testing::Message() << "tag " << f.wFormatTag << ", " << f.nChannels
                                        << " channels, " << f.nSamplesPerSec << " Hz, "
                                        << f.wBitsPerSample << " bits");
        Buffer b;
        ASSERT_EQ(DS_OK, Create(c.format, 4 * f.nBlockAlign * 100, kControls, b));
        DWORD frequency = 0;
        ASSERT_EQ(DS_OK, b->GetFrequency(&frequency));
        EXPECT_EQ(f.nSamplesPerSec, frequency);

        WAVEFORMATEXTENSIBLE got;
        DWORD written = 0;
        ASSERT_EQ(DS_OK, b->GetFormat(nullptr, 0, &written));
        EXPECT_EQ(c.recordSize, written);
        EXPECT_EQ(DSERR_INVALIDPARAM, b->GetFormat(&got.Format, written - 1, nullptr));
        memset(&got, 0, sizeof(got));
        ASSERT_EQ(DS_OK, b->GetFormat(&got.Format, sizeof(got), &written));
        EXPECT_EQ(0, memcmp(&got, &c.format, c.recordSize));
    }
}

TEST_F(DirectSoundTest, RefusedFormats)
{
    // The tag is checked before everything else in the format.
    WAVEFORMATEXTENSIBLE adpcm = Format(2, 2, 44100, 16);
    EXPECT_EQ(DSERR_UNSUPPORTED, Try(adpcm));
    adpcm.Format.wBitsPerSample = 17;
    adpcm.Format.nChannels = 0;
    EXPECT_EQ(DSERR_UNSUPPORTED, Try(adpcm));
    EXPECT_EQ(E_NOTIMPL, DSERR_UNSUPPORTED);

    WAVEFORMATEXTENSIBLE f = Format(WAVE_FORMAT_PCM, 2, 44100, 16);
    f.Format.wBitsPerSample = 12;
    f.Format.nBlockAlign = 3;
    EXPECT_EQ(DSERR_INVALIDPARAM, Try(f)) << "bits not a multiple of 8";
    f = Format(WAVE_FORMAT_PCM, 1, 44100, 4);
    f.Format.nBlockAlign = 1;
    EXPECT_EQ(DSERR_INVALIDPARAM, Try(f)) << "bits below 8";
    f = Format(WAVE_FORMAT_PCM, 2, 44100, 0);
    EXPECT_EQ(DSERR_INVALIDPARAM, Try(f)) << "no bits";
    f = Format(WAVE_FORMAT_PCM, 0, 44100, 16);
    EXPECT_EQ(DSERR_INVALIDPARAM, Try(f)) << "no channels";
    f = Format(WAVE_FORMAT_PCM, 2, 0, 16);
    f.Format.nAvgBytesPerSec = 4;
    EXPECT_EQ(DSERR_INVALIDPARAM, Try(f)) << "rate 0";
    f = Format(WAVE_FORMAT_PCM, 2, 44100, 16);
    f.Format.nAvgBytesPerSec = 0;
    EXPECT_EQ(DSERR_INVALIDPARAM, Try(f)) << "no bytes per second";
    f.Format.nAvgBytesPerSec = 1;
    EXPECT_EQ(DS_OK, Try(f)) << "bytes per second are not checked further";
    f = Format(WAVE_FORMAT_PCM, 2, 44100, 16);
    f.Format.nBlockAlign = 5;
    EXPECT_EQ(DSERR_INVALIDPARAM, Try(f)) << "block align";
    f = Format(WAVE_FORMAT_IEEE_FLOAT, 2, 44100, 32);
    f.Format.nBlockAlign = 4;
    EXPECT_EQ(DSERR_INVALIDPARAM, Try(f)) << "float block align";

    f = Extensible(2, 44100, 16, kSubtypePcm, 16, 3);
    f.Format.cbSize = 21;
    EXPECT_EQ(DSERR_INVALIDPARAM, Try(f)) << "short extension";
    f = Extensible(2, 44100, 16, kSubtypeAdpcm, 16, 3);
    EXPECT_EQ(DSERR_INVALIDPARAM, Try(f)) << "sub-format";
    f = Extensible(2, 44100, 16, kSubtypePcm, 17, 3);
    EXPECT_EQ(DSERR_INVALIDPARAM, Try(f)) << "valid bits above the container";

    // More than two channels are documented to need the extensible form;
    // Wine's DirectSound accepts them as plain PCM as well.
    f = Format(WAVE_FORMAT_PCM, 6, 48000, 16);
    const HRESULT sixPcm = Try(f);
    EXPECT_TRUE(sixPcm == DSERR_INVALIDPARAM || sixPcm == DS_OK) << std::hex << sixPcm;
}

TEST_F(DirectSoundTest, BufferSizes)
{
    WAVEFORMATEXTENSIBLE f = Format(WAVE_FORMAT_PCM, 2, 44100, 16);
    EXPECT_EQ(DSERR_INVALIDPARAM, Try(f, 0));
    EXPECT_EQ(DSERR_INVALIDPARAM, Try(f, DSBSIZE_MIN - 1));
    EXPECT_EQ(DSERR_INVALIDPARAM, Try(f, DSBSIZE_MAX + 1));
    EXPECT_EQ(DS_OK, Try(f, DSBSIZE_MIN));

    // Sizes round up to whole frames.
    const struct {
        WAVEFORMATEXTENSIBLE format;
        DWORD asked, got;
    } cases[] = {
        {Format(WAVE_FORMAT_PCM, 2, 44100, 16), 5, 8},
        {Format(WAVE_FORMAT_PCM, 2, 44100, 16), 4001, 4004},
        {Format(WAVE_FORMAT_PCM, 1, 44100, 24), 4, 6},
        {Format(WAVE_FORMAT_PCM, 1, 44100, 8), 7, 7},
        {Extensible(6, 48000, 16, kSubtypePcm, 16, 0x3F), 4000, 4008},
    };
    for (const auto &c : cases) {
        Buffer b;
        ASSERT_EQ(DS_OK, Create(c.format, c.asked, kControls, b));
        DSBCAPS caps;
        memset(&caps, 0, sizeof(caps));
        EXPECT_EQ(DSERR_INVALIDPARAM, b->GetCaps(&caps));
        caps.dwSize = sizeof(caps);
        ASSERT_EQ(DS_OK, b->GetCaps(&caps));
        EXPECT_EQ(c.got, caps.dwBufferBytes) << c.asked;
        EXPECT_EQ(kControls, caps.dwFlags & kControls);
        EXPECT_FALSE(caps.dwFlags & DSBCAPS_PRIMARYBUFFER);
    }
}

TEST_F(DirectSoundTest, NewBuffersHoldSilence)
{
    const struct {
        WAVEFORMATEXTENSIBLE format;
        BYTE silence;
    } cases[] = {
        {Format(WAVE_FORMAT_PCM, 2, 22050, 8), 0x80},
        {Format(WAVE_FORMAT_PCM, 2, 44100, 16), 0x00},
        {Format(WAVE_FORMAT_IEEE_FLOAT, 1, 44100, 32), 0x00},
        {Extensible(2, 44100, 8, kSubtypePcm, 8, 3), 0x80},
    };
    for (const auto &c : cases) {
        Buffer b;
        ASSERT_EQ(DS_OK, Create(c.format, 8192, kControls, b));
        LPVOID p1 = nullptr, p2 = nullptr;
        DWORD n1 = 0, n2 = 0;
        ASSERT_EQ(DS_OK, b->Lock(0, 0, &p1, &n1, &p2, &n2, DSBLOCK_ENTIREBUFFER));
        ASSERT_EQ(8192u, n1);
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

    // Inside: one region.
    ASSERT_EQ(DS_OK, b->Lock(100, 200, &p1, &n1, &p2, &n2, 0));
    EXPECT_EQ(200u, n1);
    EXPECT_EQ(nullptr, p2);
    EXPECT_EQ(0u, n2);
    BYTE *start = static_cast<BYTE *>(p1) - 100;
    ASSERT_EQ(DS_OK, b->Unlock(p1, n1, p2, n2));

    ASSERT_EQ(DS_OK, b->Lock(4210, 200, &p1, &n1, &p2, &n2, 0));
    EXPECT_EQ(200u, n1);
    EXPECT_EQ(nullptr, p2);
    ASSERT_EQ(DS_OK, b->Unlock(p1, n1, p2, n2));

    // Past the end: wraps to the start.
    ASSERT_EQ(DS_OK, b->Lock(4400, 100, &p1, &n1, &p2, &n2, 0));
    EXPECT_EQ(start + 4400, p1);
    EXPECT_EQ(10u, n1);
    EXPECT_EQ(start, p2);
    EXPECT_EQ(90u, n2);
    ASSERT_EQ(DS_OK, b->Unlock(p1, n1, p2, n2));

    // The whole buffer, wherever it starts.
    ASSERT_EQ(DS_OK, b->Lock(0, 0, &p1, &n1, &p2, &n2, DSBLOCK_ENTIREBUFFER));
    EXPECT_EQ(start, p1);
    EXPECT_EQ(4410u, n1);
    EXPECT_EQ(0u, n2);
    ASSERT_EQ(DS_OK, b->Unlock(p1, n1, p2, n2));
    ASSERT_EQ(DS_OK, b->Lock(100, 0, &p1, &n1, &p2, &n2, DSBLOCK_ENTIREBUFFER));
    EXPECT_EQ(4310u, n1);
    EXPECT_EQ(100u, n2);
    ASSERT_EQ(DS_OK, b->Unlock(p1, n1, p2, n2));

    EXPECT_EQ(DSERR_INVALIDPARAM, b->Lock(0, 100, &p1, nullptr, &p2, &n2, 0));
    EXPECT_EQ(DSERR_INVALIDPARAM, b->Lock(4410, 1, &p1, &n1, &p2, &n2, 0));
    EXPECT_EQ(DSERR_INVALIDPARAM, b->Lock(0, 4411, &p1, &n1, &p2, &n2, 0));
    EXPECT_EQ(DS_OK, b->Lock(4409, 4410, &p1, &n1, &p2, &n2, 0));
    EXPECT_EQ(1u, n1);
    EXPECT_EQ(4409u, n2);
    EXPECT_EQ(DS_OK, b->Unlock(p1, n1, p2, n2));

    // Unlock takes back only what lies inside the buffer.
    EXPECT_EQ(DSERR_INVALIDPARAM, b->Unlock(start + 4410, 1, nullptr, 0));
    EXPECT_EQ(DSERR_INVALIDPARAM, b->Unlock(start + 4409, 2, nullptr, 0));
    EXPECT_EQ(DSERR_INVALIDPARAM, b->Unlock(start - 1, 1, nullptr, 0));
    EXPECT_EQ(DSERR_INVALIDPARAM, b->Unlock(start, 10, start + 4400, 11));
    EXPECT_EQ(DS_OK, b->Unlock(start, 4410, nullptr, 0));
}

TEST_F(DirectSoundTest, VolumeRangeAndChecks)
{
    Buffer b, bare;
    ASSERT_EQ(DS_OK, Create(Format(WAVE_FORMAT_PCM, 2, 44100, 16), 4000, kControls, b));
    ASSERT_EQ(DS_OK, Create(Format(WAVE_FORMAT_PCM, 2, 44100, 16), 4000, 0, bare));
    LONG v = 1;
    ASSERT_EQ(DS_OK, b->GetVolume(&v));
    EXPECT_EQ(0, v);
    EXPECT_EQ(DSERR_INVALIDPARAM, b->SetVolume(DSBVOLUME_MAX + 1));
    EXPECT_EQ(DSERR_INVALIDPARAM, b->SetVolume(DSBVOLUME_MIN - 1));
    ASSERT_EQ(DS_OK, b->GetVolume(&v));
    EXPECT_EQ(0, v);
    const LONG volumes[] = {-1, -600, -9600, DSBVOLUME_MIN, DSBVOLUME_MAX};
    for (LONG set : volumes) {
        EXPECT_EQ(DS_OK, b->SetVolume(set));
        ASSERT_EQ(DS_OK, b->GetVolume(&v));
        EXPECT_EQ(set, v);
    }
    // The control is checked before the range.
    EXPECT_EQ(DSERR_CONTROLUNAVAIL, bare->SetVolume(-100));
    EXPECT_EQ(DSERR_CONTROLUNAVAIL, bare->SetVolume(1));
}

TEST_F(DirectSoundTest, PanRangeAndChecks)
{
    Buffer b, bare;
    ASSERT_EQ(DS_OK, Create(Format(WAVE_FORMAT_PCM, 2, 44100, 16), 4000, kControls, b));
    ASSERT_EQ(DS_OK, Create(Format(WAVE_FORMAT_PCM, 2, 44100, 16), 4000, 0, bare));
    LONG p = 1;
    ASSERT_EQ(DS_OK, b->GetPan(&p));
    EXPECT_EQ(0, p);
    EXPECT_EQ(DSERR_INVALIDPARAM, b->SetPan(DSBPAN_RIGHT + 1));
    EXPECT_EQ(DSERR_INVALIDPARAM, b->SetPan(DSBPAN_LEFT - 1));
    const LONG pans[] = {DSBPAN_LEFT, -1, 1, DSBPAN_RIGHT, DSBPAN_CENTER};
    for (LONG set : pans) {
        EXPECT_EQ(DS_OK, b->SetPan(set));
        ASSERT_EQ(DS_OK, b->GetPan(&p));
        EXPECT_EQ(set, p);
    }
    // The range is checked before the control.
    EXPECT_EQ(DSERR_INVALIDPARAM, bare->SetPan(DSBPAN_RIGHT + 1));
    EXPECT_EQ(DSERR_CONTROLUNAVAIL, bare->SetPan(DSBPAN_RIGHT));
}

TEST_F(DirectSoundTest, FrequencyRangeAndChecks)
{
    Buffer b, bare;
    ASSERT_EQ(DS_OK, Create(Format(WAVE_FORMAT_PCM, 2, 44100, 16), 4000, kControls, b));
    ASSERT_EQ(DS_OK, Create(Format(WAVE_FORMAT_PCM, 1, 11025, 8), 4000, 0, bare));
    DWORD f = 0;
    ASSERT_EQ(DS_OK, b->GetFrequency(&f));
    EXPECT_EQ(44100u, f);
    EXPECT_EQ(DSERR_INVALIDPARAM, b->SetFrequency(DSBFREQUENCY_MIN - 1));
    EXPECT_EQ(DSERR_INVALIDPARAM, b->SetFrequency(DSBFREQUENCY_MAX + 1));
    ASSERT_EQ(DS_OK, b->GetFrequency(&f));
    EXPECT_EQ(44100u, f);
    const DWORD rates[] = {DSBFREQUENCY_MIN, 22050, DSBFREQUENCY_MAX};
    for (DWORD set : rates) {
        EXPECT_EQ(DS_OK, b->SetFrequency(set));
        ASSERT_EQ(DS_OK, b->GetFrequency(&f));
        EXPECT_EQ(set, f);
    }
    EXPECT_EQ(DS_OK, b->SetFrequency(DSBFREQUENCY_ORIGINAL));
    ASSERT_EQ(DS_OK, b->GetFrequency(&f));
    EXPECT_EQ(44100u, f);

    EXPECT_EQ(DSERR_CONTROLUNAVAIL, bare->SetFrequency(22050));
    EXPECT_EQ(DSERR_CONTROLUNAVAIL, bare->SetFrequency(1));
    ASSERT_EQ(DS_OK, bare->GetFrequency(&f));  // reading needs no control
    EXPECT_EQ(11025u, f);
}

TEST_F(DirectSoundTest, PlayStopAndStatus)
{
    Buffer b;
    ASSERT_EQ(DS_OK, Create(Format(WAVE_FORMAT_PCM, 2, 44100, 16), 44100 * 4, kControls, b));
    DWORD status = 0xFF;
    EXPECT_EQ(DSERR_INVALIDPARAM, b->GetStatus(nullptr));
    ASSERT_EQ(DS_OK, b->GetStatus(&status));
    EXPECT_EQ(0u, status);

    ASSERT_EQ(DS_OK, b->Play(0, 0, DSBPLAY_LOOPING));
    ASSERT_EQ(DS_OK, b->GetStatus(&status));
    EXPECT_EQ(DWORD(DSBSTATUS_PLAYING | DSBSTATUS_LOOPING), status & ~DWORD(DSBSTATUS_BUFFERLOST));
    // Playing again only changes the flags.
    ASSERT_EQ(DS_OK, b->Play(0, 0, 0));
    ASSERT_EQ(DS_OK, b->GetStatus(&status));
    EXPECT_EQ(DWORD(DSBSTATUS_PLAYING), status);
    ASSERT_EQ(DS_OK, b->Play(0, 0, DSBPLAY_LOOPING));
    ASSERT_EQ(DS_OK, b->Stop());
    ASSERT_EQ(DS_OK, b->GetStatus(&status));
    EXPECT_EQ(0u, status);
    EXPECT_EQ(DS_OK, b->Stop());
    EXPECT_EQ(DS_OK, b->Restore());
}

TEST_F(DirectSoundTest, OneShotEndStopsAndRewinds)
{
    Buffer b;
    // 50 ms of a quiet tone.
    ASSERT_EQ(DS_OK, Create(Format(WAVE_FORMAT_PCM, 1, 48000, 16), 4800, kControls, b));
    LPVOID p1, p2;
    DWORD n1, n2;
    ASSERT_EQ(DS_OK, b->Lock(0, 0, &p1, &n1, &p2, &n2, DSBLOCK_ENTIREBUFFER));
    for (DWORD i = 0; i < n1 / 2; ++i)
        static_cast<int16_t *>(p1)[i] = static_cast<int16_t>((i % 48) < 24 ? 300 : -300);
    ASSERT_EQ(DS_OK, b->Unlock(p1, n1, p2, n2));
    ASSERT_EQ(DS_OK, b->SetVolume(-3000));
    ASSERT_EQ(DS_OK, b->SetCurrentPosition(2000));
    ASSERT_EQ(DS_OK, b->Play(0, 0, 0));

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    DWORD status = DSBSTATUS_PLAYING;
    while (std::chrono::steady_clock::now() < deadline) {
        ASSERT_EQ(DS_OK, b->GetStatus(&status));
        if (!(status & DSBSTATUS_PLAYING))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(0u, status) << "the one-shot buffer never ended";
    EXPECT_EQ(0u, Position(b.p));

    // And it plays again from the start.
    ASSERT_EQ(DS_OK, b->Play(0, 0, 0));
    ASSERT_EQ(DS_OK, b->Stop());
}

TEST_F(DirectSoundTest, SetCurrentPosition)
{
    Buffer b;
    ASSERT_EQ(DS_OK, Create(Format(WAVE_FORMAT_PCM, 2, 44100, 16), 4000, kControls, b));
    EXPECT_EQ(0u, Position(b.p));
    ASSERT_EQ(DS_OK, b->SetCurrentPosition(1000));
    EXPECT_EQ(1000u, Position(b.p));
    ASSERT_EQ(DS_OK, b->SetCurrentPosition(1003));  // rounded down to a frame
    EXPECT_EQ(1000u, Position(b.p));
    ASSERT_EQ(DS_OK, b->SetCurrentPosition(3999));
    EXPECT_EQ(3996u, Position(b.p));

    // At or past the end the documented answer is E_INVALIDARG with the
    // position kept; Wine 8 wraps the position around instead.
    ASSERT_EQ(DS_OK, b->SetCurrentPosition(1000));
    const DWORD pastEnd[] = {4000, 4006, 9000};
    for (DWORD past : pastEnd) {
        const HRESULT hr = b->SetCurrentPosition(past);
        if (hr == DS_OK) {
            EXPECT_EQ(past % 4000 / 4 * 4, Position(b.p)) << past;
            ASSERT_EQ(DS_OK, b->SetCurrentPosition(1000));
        } else {
            EXPECT_EQ(E_INVALIDARG, hr) << past;
            EXPECT_EQ(1000u, Position(b.p)) << past;
        }
    }

    // A stopped buffer keeps its position.
    ASSERT_EQ(DS_OK, b->Stop());
    EXPECT_EQ(1000u, Position(b.p));
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

TEST_F(DirectSoundTest, UnimplementedCallsFailCleanly)
{
    Buffer b;
    ASSERT_EQ(DS_OK, Create(Format(WAVE_FORMAT_PCM, 2, 44100, 16), 4000, kControls, b));
    EXPECT_EQ(DSERR_ALREADYINITIALIZED, b->Initialize(m_ds, nullptr));
    EXPECT_EQ(DSERR_INVALIDCALL, b->SetFormat(nullptr));
    EXPECT_EQ(DSERR_ALREADYINITIALIZED, m_ds->Initialize(nullptr));
    DWORD config = 0;
    EXPECT_EQ(DS_OK, m_ds->GetSpeakerConfig(&config));
}

}  // namespace
