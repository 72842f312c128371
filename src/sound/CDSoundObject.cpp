#include "sound/CDSoundObject.h"

#include "frame/status.h"
#include "platform/CFailureReason.h"
#include "platform/CLog.h"
#include "platform/CThreadCancel.h"
#include "sound/CMonitorSchedule.h"
#include "wave/CWaveDecoder.h"
#include "wave/CWaveFile.h"

#include <new>
#include <string.h>

namespace {

const char kThreadName[] = "CDSoundObject::_dsound_oneshot_play_thread()";

// Both lines begin with "exception raised:" in code page 932 (Shift_JIS),
// sent as bytes. The prefix is a literal of its own: a hex escape would
// swallow the letters that follow it.
const char kCatchText[] = "\x97\xE1\x8A\x4F\x94\xAD\x90\xB6\x81\x46"
                          "catch (LPCTSTR %s)\n  in %s.\n";
const char kCatchAll[] = "\x97\xE1\x8A\x4F\x94\xAD\x90\xB6\x81\x46"
                         "catch (...)\n  in %s.\n";

const DWORD kBufferFlags = DSBCAPS_CTRLFREQUENCY | DSBCAPS_CTRLPAN | DSBCAPS_CTRLVOLUME;

// No secondary buffer can be larger: a longer data chunk is refused before
// anything is allocated or read.
const DWORD kMaxWaveSize = DSBSIZE_MAX;

// Encoded data is decoded in parts of about this size.
const DWORD kDecodePart = 64 * 1024;

}  // namespace

CDSoundObject::CDSoundObject()
    : m_pWaveData(NULL),
      m_dwWaveSize(0),
      m_pFormat(NULL),
      m_pDirectSound(NULL),
      m_pBuffer(NULL),
      m_nStatus(SOUND_OK),
      m_lVolume(0),
      m_nFadeLeft(0),
      m_nFadeTime(0),
      m_bLoop(FALSE),
      m_hMutex(NULL),
      m_hWake(NULL),
      m_nRequests(0),
      m_nRefs(1),
      m_bRetired(FALSE)
{
    InitializeCriticalSection(&m_csPlay);
    // Made now rather than at the open, so that a stop from a device's
    // teardown never meets it half made. Without it Play fails.
    m_hWake = CreateEventA(NULL, FALSE, FALSE, NULL);
}

CDSoundObject::~CDSoundObject()
{
    // The owner normally calls Destroy() first; then there is nothing left.
    if (m_hMutex != NULL || m_hThread != NULL || m_hWake != NULL)
        Destroy();
    DeleteCriticalSection(&m_csPlay);
}

void CDSoundObject::AddRef()
{
    ++m_nRefs;
}

void CDSoundObject::Release()
{
    if (--m_nRefs == 0) {
        Destroy();
        delete this;
    }
}

void CDSoundObject::Retire()
{
    m_bRetired = TRUE;
    Stop(0);
}

// ---------------------------------------------------------------- opening

BOOL CDSoundObject::Open(LPDIRECTSOUND ds, LPCSTR path)
{
    return _open(ds, path, NULL, 0, TRUE);
}

BOOL CDSoundObject::OpenMem(LPDIRECTSOUND ds, LPVOID image, DWORD size)
{
    return _open(ds, NULL, image, size, FALSE);
}

BOOL CDSoundObject::_open(LPDIRECTSOUND ds, LPCSTR path, LPVOID image, DWORD size, BOOL file)
{
    if (m_hMutex == NULL) {
        m_hMutex = CreateMutexA(NULL, FALSE, NULL);
        if (m_hMutex == NULL) {
            m_nStatus = SOUND_ERR_FAILED;
            CFailureReason::Note(ERROR_NOT_ENOUGH_MEMORY);
            return FALSE;
        }
    }
    if (!_wait_lock(LOCK_TIMEOUT_MS)) {
        m_nStatus = SOUND_ERR_FAILED;
        CFailureReason::Note(ERROR_TIMEOUT);
        return FALSE;
    }

    BOOL ok = FALSE;
    BOOL refused = FALSE;
    try {
        if (m_pBuffer != NULL) {
            // Already loaded: refuse and keep what the sound holds.
            m_nStatus = SOUND_ERR_STATE;
            CFailureReason::Note(ERROR_INVALID_HANDLE);
            refused = TRUE;
        } else if (!(file ? LoadFile(path) : LoadMem(image, size))) {
            m_nStatus = SOUND_ERR_FAILED;
        } else if ((m_pBuffer = CreateBuffer(ds, m_pFormat, m_dwWaveSize)) == NULL) {
            m_nStatus = SOUND_ERR_FAILED;
            _refuse_format(file ? path : NULL);
        } else {
            m_pDirectSound = ds;
            m_nStatus = SOUND_OK;
            ok = TRUE;
        }
    } catch (...) {
        CThreadCancel::PassOn();
    }
    ReleaseMutex(m_hMutex);

    if (ok)
        return TRUE;
    if (!refused)
        Close();  // leaves the sound empty, without a lock
    return FALSE;
}

BOOL CDSoundObject::LoadFile(LPCSTR path)
{
    CWaveFile wave;
    _free_wave();
    if (!wave.Open(path)) {
        m_nStatus = SOUND_ERR_FAILED;
        return FALSE;
    }
    return _load(wave, 0xFFFFFFFF, path);
}

BOOL CDSoundObject::LoadMem(LPVOID image, DWORD size)
{
    CWaveFile wave;
    _free_wave();
    if (!wave.OpenMem(image, size)) {
        m_nStatus = SOUND_ERR_FAILED;
        return FALSE;
    }
    // A data chunk cannot be longer than the image that holds it.
    return _load(wave, size, NULL);
}

// The steps after the reader has opened: the format record with its extra
// bytes, the plan for the samples, then the whole data chunk in one block,
// decoded when DirectSound cannot take it as it is. `path` names the file in
// diagnostics, null for a memory image.
BOOL CDSoundObject::_load(CWaveFile &wave, DWORD limit, LPCSTR path)
{
    // Extra format bytes (WAVE_FORMAT_EXTENSIBLE and the like) are kept, so
    // that the record announces exactly what it holds.
    LONG code = SOUND_ERR_NOMEMORY;
    DWORD bytes = wave.GetFormatSize();
    if (bytes >= sizeof(WAVEFORMATEX)) {
        m_pFormat = reinterpret_cast<LPWAVEFORMATEX>(new (std::nothrow) BYTE[bytes]);
        if (m_pFormat != NULL && wave.GetFormatBlock(m_pFormat, bytes))
            code = SOUND_OK;
    }
    if (code != SOUND_OK) {
        CFailureReason::Note(ERROR_NOT_ENOUGH_MEMORY);
        CLog::Refused(path, "out of memory for the format");
    }
    char why[200];
    CWaveDecoder decoder;
    const DWORD dataSize = wave.GetDataSize();
    if (code == SOUND_OK) {
        if (dataSize == 0 || dataSize > limit) {
            code = SOUND_ERR_FAILED;
            CFailureReason::Note(ERROR_BAD_FORMAT);
            wsprintfA(why, "the data chunk announces %u bytes, the image holds %u", dataSize, limit);
            CLog::Refused(path, why);
        } else if (!decoder.Plan(m_pFormat, bytes, dataSize)) {
            code = SOUND_ERR_FAILED;
            CFailureReason::Note(ERROR_BAD_FORMAT);
            CLog::Refused(path, decoder.GetReason());
        } else if (dataSize > kMaxWaveSize) {
            code = SOUND_ERR_FAILED;
            CFailureReason::Note(ERROR_FILE_TOO_LARGE);
            wsprintfA(why, "a data chunk of %u bytes, more than a buffer holds (%u)", dataSize, kMaxWaveSize);
            CLog::Refused(path, why);
        } else if (decoder.GetDecodedSize() > kMaxWaveSize) {
            code = SOUND_ERR_FAILED;
            CFailureReason::Note(ERROR_FILE_TOO_LARGE);
            wsprintfA(why, "a data chunk of %u bytes decodes to %u MiB, more than a buffer holds (%u bytes)",
                      dataSize, (DWORD)(decoder.GetDecodedSize() >> 20), kMaxWaveSize);
            CLog::Refused(path, why);
        }
    }
    // The samples go straight into the sound's block: as they are, or
    // decoded a part at a time.
    if (code == SOUND_OK) {
        m_dwWaveSize = (DWORD)decoder.GetDecodedSize();
        m_pWaveData = static_cast<LPBYTE>(GlobalAlloc(GMEM_FIXED, m_dwWaveSize));
        if (m_pWaveData == NULL) {
            code = SOUND_ERR_NOMEMORY;
            CFailureReason::Note(ERROR_NOT_ENOUGH_MEMORY);
            wsprintfA(why, "out of memory for %u bytes of samples", m_dwWaveSize);
            CLog::Refused(path, why);
        }
    }
    if (code == SOUND_OK) {
        const LONG got = decoder.Decodes() ? _read_decoded(wave, decoder, dataSize, path)
                                           : wave.Read(m_pWaveData, dataSize);
        if (got >= 0 && (DWORD)got != dataSize) {
            code = SOUND_ERR_FAILED;
            CFailureReason::Note(ERROR_BAD_FORMAT);
            wsprintfA(why, "the data chunk announces %u bytes, %d could be read", dataSize, got);
            CLog::Refused(path, why);
        } else if (got < 0) {
            code = CFailureReason::Noted() == ERROR_NOT_ENOUGH_MEMORY ? SOUND_ERR_NOMEMORY : SOUND_ERR_FAILED;
            // An image that cannot be read, or no memory, said so already.
            if (CFailureReason::Noted() == 0)
                CLog::Refused(path, "the data cannot be read");
            CFailureReason::Note(ERROR_READ_FAULT);
        }
    }
    // From here on the record describes the samples the sound holds.
    if (code == SOUND_OK && decoder.GetFormatSize() != 0) {
        LPWAVEFORMATEX record =
            reinterpret_cast<LPWAVEFORMATEX>(new (std::nothrow) BYTE[decoder.GetFormatSize()]);
        if (record == NULL) {
            code = SOUND_ERR_NOMEMORY;
            CFailureReason::Note(ERROR_NOT_ENOUGH_MEMORY);
            CLog::Refused(path, "out of memory for the format");
        } else {
            memcpy(record, decoder.GetFormat(), decoder.GetFormatSize());
            delete[] reinterpret_cast<BYTE *>(m_pFormat);
            m_pFormat = record;
        }
    }
    wave.Close();
    m_nStatus = code;
    if (code != SOUND_OK) {
        _free_wave();
        return FALSE;
    }
    return TRUE;
}

// The data chunk decoded a part at a time straight into the sample memory:
// an image's parts where they lie, a file's (path not null) through one
// small block that stays in the cache. The count of data bytes taken, as
// Read gives it.
LONG CDSoundObject::_read_decoded(CWaveFile &wave, const CWaveDecoder &decoder, DWORD dataSize, LPCSTR path)
{
    const DWORD unit = decoder.GetUnit();
    const DWORD part = kDecodePart > unit ? kDecodePart / unit * unit : unit;
    LPBYTE block = NULL;
    if (path != NULL) {
        block = static_cast<LPBYTE>(GlobalAlloc(GMEM_FIXED, part < dataSize ? part : dataSize));
        if (block == NULL) {
            CFailureReason::Note(ERROR_NOT_ENOUGH_MEMORY);
            CLog::Refused(path, "out of memory for decoding");
            return -1;
        }
    }
    LPBYTE out = m_pWaveData;
    LONG done = 0;
    while ((DWORD)done < dataSize) {
        const DWORD want = dataSize - (DWORD)done < part ? dataSize - (DWORD)done : part;
        const BYTE *in = NULL;
        const LONG got = wave.ReadInPlace(block, want, &in);
        if (got < 0)
            done = -1;
        if (got <= 0)
            break;
        out += decoder.Decode(in, (DWORD)got, out);
        done += got;
        if ((DWORD)got < want)
            break;
    }
    if (block != NULL)
        GlobalFree(block);
    return done;
}

void CDSoundObject::_free_wave()
{
    if (m_pFormat != NULL) {
        delete[] reinterpret_cast<BYTE *>(m_pFormat);
        m_pFormat = NULL;
    }
    if (m_pWaveData != NULL) {
        GlobalFree(m_pWaveData);
        m_pWaveData = NULL;
    }
    m_dwWaveSize = 0;
}

LPDIRECTSOUNDBUFFER CDSoundObject::CreateBuffer(LPDIRECTSOUND ds, LPWAVEFORMATEX format, DWORD size)
{
    DSBUFFERDESC desc;
    memset(&desc, 0, sizeof(desc));
    // The short form of the description: its size differs between 32-bit and
    // 64-bit builds, and DirectSound checks it.
    desc.dwSize = sizeof(DSBUFFERDESC1);
    desc.dwFlags = kBufferFlags;
    desc.dwBufferBytes = size;
    desc.dwReserved = 0;
    desc.lpwfxFormat = format;

    LPDIRECTSOUNDBUFFER buffer = NULL;
    const HRESULT hr = ds == NULL ? DSERR_INVALIDCALL : ds->CreateSoundBuffer(&desc, &buffer, NULL);
    if (hr != DS_OK || buffer == NULL) {
        m_nStatus = SOUND_ERR_FAILED;
        // A format DirectSound does not take is the file's fault, whatever
        // DirectSound calls it.
        CFailureReason::Note(hr == DSERR_INVALIDPARAM || hr == DSERR_UNSUPPORTED
                                 ? ERROR_BAD_FORMAT
                                 : CFailureReason::FromDirectSound(hr));
        return NULL;
    }
    m_nStatus = SOUND_OK;
    return buffer;
}

// ---------------------------------------------------------------- playing

BOOL CDSoundObject::_write_sound_buffer(const BYTE *data, DWORD size)
{
    if (m_pBuffer == NULL)
        return FALSE;

    LPVOID audio1 = NULL;
    LPVOID audio2 = NULL;
    DWORD bytes1 = 0;
    DWORD bytes2 = 0;
    // Every byte locked is written: a new buffer need not be cleared first.
    HRESULT hr = m_pBuffer->Lock(0, size, &audio1, &bytes1, &audio2, &bytes2, DSBLOCK_OVERWRITE);
    if (hr == DSERR_BUFFERLOST) {
        // The memory comes back, not its contents, which we write next.
        if (CFailureReason::Failed(m_pBuffer->Restore()))
            return FALSE;
        hr = m_pBuffer->Lock(0, size, &audio1, &bytes1, &audio2, &bytes2, DSBLOCK_OVERWRITE);
    }
    if (CFailureReason::Failed(hr))
        return FALSE;

    // Never read past the samples, whatever lengths the lock reported.
    DWORD copy1 = bytes1 < size ? bytes1 : size;
    if (audio1 != NULL)
        memcpy(audio1, data, copy1);
    if (audio2 != NULL) {
        DWORD copy2 = bytes2 < size - copy1 ? bytes2 : size - copy1;
        memcpy(audio2, data + copy1, copy2);
    }
    return CFailureReason::Failed(m_pBuffer->Unlock(audio1, bytes1, audio2, bytes2)) ? FALSE : TRUE;
}

BOOL CDSoundObject::Play(BOOL loop)
{
    // Two plays of one sound from two threads would replace each other's
    // monitor thread half way: the second waits for the first, as long as
    // for any lock.
    if (m_hWake == NULL) {
        CFailureReason::Note(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    if (!_enter_play()) {
        m_nStatus = SOUND_ERR_FAILED;
        CFailureReason::Note(ERROR_TIMEOUT);
        return FALSE;
    }
    BOOL played = FALSE;
    try {
        played = _play(loop);
    } catch (...) {
        LeaveCriticalSection(&m_csPlay);
        throw;
    }
    LeaveCriticalSection(&m_csPlay);
    return played;
}

// A critical section costs nothing while nobody else plays the sound (a
// kernel mutex is a round trip to the server under Wine); the rare second
// player looks again every millisecond.
BOOL CDSoundObject::_enter_play()
{
    if (TryEnterCriticalSection(&m_csPlay))
        return TRUE;
    const LONGLONG deadline = CMonitorSchedule::Now() + (LONGLONG)LOCK_TIMEOUT_MS * 1000;
    do {
        Sleep(1);
        if (TryEnterCriticalSection(&m_csPlay))
            return TRUE;
    } while (CMonitorSchedule::Now() < deadline);
    return FALSE;
}

BOOL CDSoundObject::_play(BOOL loop)
{
    if (m_pBuffer == NULL || m_bRetired) {
        m_nStatus = SOUND_ERR_STATE;
        CFailureReason::Note(ERROR_INVALID_HANDLE);
        return FALSE;
    }

    // An earlier run stops as soon as its thread wakes; wait for it outside
    // the lock, which the thread needs to stop.
    _request_stop(0);
    if (IsRunning()) {
        SetEvent(m_hWake);
        if (Wait(LOCK_TIMEOUT_MS) != WAIT_OBJECT_0) {
            m_nStatus = SOUND_ERR_FAILED;
            CFailureReason::Note(ERROR_TIMEOUT);
            return FALSE;
        }
    }

    // From the new thread's creation to its start nothing may cut the play
    // short: a thread left suspended would never end.
    CThreadCancel hold;
    if (!Create(_dsound_oneshot_play_thread, this)) {
        CFailureReason::Note(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }

    BOOL ok = FALSE;
    if (!_wait_lock(LOCK_TIMEOUT_MS)) {
        m_nStatus = SOUND_ERR_FAILED;
        CFailureReason::Note(ERROR_TIMEOUT);
    } else {
        BOOL started = FALSE;
        try {
            if (!_write_sound_buffer(m_pWaveData, m_dwWaveSize)) {
                m_nStatus = SOUND_ERR_FAILED;
                throw "CDSoundObject::_write_sound_buffer() failed.";
            }
            if (CFailureReason::Failed(m_pBuffer->SetCurrentPosition(0))) {
                m_nStatus = SOUND_ERR_FAILED;
                throw "DirectSoundBuffer::SetCurrentPosition() failed.";
            }
            if (CFailureReason::Failed(m_pBuffer->Play(0, 0, loop ? DSBPLAY_LOOPING : 0))) {
                m_nStatus = SOUND_ERR_FAILED;
                throw "DirectSoundBuffer::Play() failed.";
            }
            started = TRUE;
            if (CFailureReason::Failed(m_pBuffer->SetVolume(m_lVolume))) {
                m_nStatus = SOUND_ERR_FAILED;
                throw "DirectSoundBuffer::SetVolume() failed.";
            }
            ok = TRUE;
        } catch (...) {
            CThreadCancel::PassOn();
        }
        // A failed play must not leave the buffer sounding with no monitor
        // thread to stop it.
        if (!ok && started)
            _stop_buffer();
        ReleaseMutex(m_hMutex);
    }
    if (!ok) {
        Terminate();  // the new thread never ran
        return FALSE;
    }

    // Seen by the thread's first tick: no stop requested.
    m_nFadeTime = -1;
    m_nFadeLeft = -1;
    m_bLoop = loop;
    if (Resume() == (DWORD)-1) {
        CFailureReason::Note(ERROR_GEN_FAILURE);
        Terminate();
        if (_wait_lock(LOCK_TIMEOUT_MS)) {
            _stop_buffer();
            ReleaseMutex(m_hMutex);
        }
        return FALSE;
    }
    return TRUE;
}

void CDSoundObject::_stop_buffer()
{
    try {
        if (m_pBuffer != NULL)
            m_pBuffer->Stop();
    } catch (...) {
    }
}

void CDSoundObject::Stop(LONG fade_ms)
{
    if (fade_ms < 0 || fade_ms > 65535) {
        CLog::Line(CLog::LOG_EVENTS, "DSoundStop: a fade of %d ms is outside 0 to 65535; the sound stops at once",
                   fade_ms);
        fade_ms = 0;
    }
    _request_stop(fade_ms);
    // The thread sleeps until something is due: a stop is carried out now,
    // and a fade's steps are counted from now.
    if (m_hWake != NULL)
        SetEvent(m_hWake);
}

void CDSoundObject::_request_stop(LONG fade_ms)
{
    // The time first: the thread takes the length from it.
    m_nFadeTime = fade_ms;
    m_nFadeLeft = fade_ms;
    ++m_nRequests;
}

BOOL CDSoundObject::IsPlaying()
{
    return IsRunning();
}

// ---------------------------------------------------------------- controls

// One buffer call under the sound's lock. Only a lock that cannot be had
// sets the status; a missing buffer, a failing or a throwing call give 0.
template <class T, class Call>
T CDSoundObject::_locked_call(Call call)
{
    if (!_wait_lock(LOCK_TIMEOUT_MS)) {
        m_nStatus = SOUND_ERR_FAILED;
        CFailureReason::Note(ERROR_TIMEOUT);
        return 0;
    }
    T result = 0;
    try {
        if (m_pBuffer != NULL)
            result = call(m_pBuffer);
        else
            CFailureReason::Note(ERROR_INVALID_HANDLE);
    } catch (...) {
        CThreadCancel::PassOn();
        CFailureReason::Note(ERROR_INTERNAL_ERROR);
    }
    ReleaseMutex(m_hMutex);
    return result;
}

BOOL CDSoundObject::SetVolume(LONG volume)
{
    return _locked_call<BOOL>([this, volume](LPDIRECTSOUNDBUFFER buffer) -> BOOL {
        if (CFailureReason::Failed(buffer->SetVolume(volume)))
            return FALSE;
        // Remembered because a fade lowers the buffer's volume and the next
        // play restores this one.
        m_lVolume = volume;
        return TRUE;
    });
}

BOOL CDSoundObject::SetPan(LONG pan)
{
    return _locked_call<BOOL>([pan](LPDIRECTSOUNDBUFFER buffer) -> BOOL {
        return !CFailureReason::Failed(buffer->SetPan(pan));
    });
}

BOOL CDSoundObject::SetFrequency(DWORD frequency)
{
    const BOOL set = _locked_call<BOOL>([frequency](LPDIRECTSOUNDBUFFER buffer) -> BOOL {
        return !CFailureReason::Failed(buffer->SetFrequency(frequency));
    });
    // A one-shot now ends at another time: the thread foretells it anew. A
    // loop ends only on request, so its thread has nothing to look at.
    if (set && !m_bLoop && IsRunning())
        SetEvent(m_hWake);
    return set;
}

LONG CDSoundObject::GetVolume()
{
    return _locked_call<LONG>([](LPDIRECTSOUNDBUFFER buffer) -> LONG {
        LONG value = 0;
        return CFailureReason::Failed(buffer->GetVolume(&value)) ? 0 : value;
    });
}

LONG CDSoundObject::GetPan()
{
    return _locked_call<LONG>([](LPDIRECTSOUNDBUFFER buffer) -> LONG {
        LONG value = 0;
        return CFailureReason::Failed(buffer->GetPan(&value)) ? 0 : value;
    });
}

DWORD CDSoundObject::GetFrequency()
{
    return _locked_call<DWORD>([](LPDIRECTSOUNDBUFFER buffer) -> DWORD {
        DWORD value = 0;
        return CFailureReason::Failed(buffer->GetFrequency(&value)) ? 0 : value;
    });
}

// ---------------------------------------------------------------- closing

void CDSoundObject::Close()
{
    // A running thread wakes, stops the buffer and ends; it needs the lock
    // for that, so wait for it before taking the lock.
    Stop(0);
    Wait(INFINITE);

    if (!_wait_lock(LOCK_TIMEOUT_MS)) {
        m_nStatus = SOUND_ERR_FAILED;
        return;
    }
    try {
        if (m_pBuffer != NULL) {
            LPDIRECTSOUNDBUFFER buffer = m_pBuffer;
            m_pBuffer = NULL;
            buffer->Release();
        }
        _free_wave();
        m_pDirectSound = NULL;
    } catch (...) {
    }
    ReleaseMutex(m_hMutex);
    CloseHandle(m_hMutex);
    m_hMutex = NULL;
}

void CDSoundObject::Destroy()
{
    try {
        Close();
    } catch (...) {
    }
    CloseThread();
    // No thread is left to wait on it.
    if (m_hWake != NULL) {
        CloseHandle(m_hWake);
        m_hWake = NULL;
    }
}

// Says why DirectSound did not take the format just refused. Other tags
// were refused at load, and plain records of up to 8 channels relabelled:
// what is left is more channels than that, or fields that do not agree.
void CDSoundObject::_refuse_format(LPCSTR path)
{
    if (m_pFormat == NULL || !CLog::Wants(CLog::LOG_EVENTS))
        return;
    const WAVEFORMATEX &f = *m_pFormat;
    char why[160];
    switch (CFailureReason::Noted()) {
    case ERROR_BAD_FORMAT:
        wsprintfA(why, "DirectSound refused the format: tag 0x%04x, %u channels, %u Hz, %u bits, block %u",
                  f.wFormatTag, f.nChannels, f.nSamplesPerSec, f.wBitsPerSample, f.nBlockAlign);
        break;
    case ERROR_NOT_ENOUGH_MEMORY:
        wsprintfA(why, "out of memory for a buffer of %u bytes", m_dwWaveSize);
        break;
    default:
        wsprintfA(why, "DirectSound could not make a buffer of %u bytes", m_dwWaveSize);
        break;
    }
    CLog::Refused(path, why);
}

BOOL CDSoundObject::_wait_lock(DWORD milliseconds)
{
    if (m_hMutex == NULL)
        return FALSE;
    DWORD result = WaitForSingleObject(m_hMutex, milliseconds);
    if (result == WAIT_OBJECT_0)
        return TRUE;
    // Only a clean wait counts. An abandoned mutex is owned by this thread
    // now: hand it back, or the sound would stay locked for ever.
    if (result == WAIT_ABANDONED)
        ReleaseMutex(m_hMutex);
    return FALSE;
}

// ---------------------------------------------------------------- monitor

DWORD CDSoundObject::_time_left(LPDIRECTSOUNDBUFFER buffer)
{
    DWORD position = 0;
    DWORD frequency = 0;
    const DWORD align = m_pFormat != NULL ? m_pFormat->nBlockAlign : 0;
    if (align == 0 || buffer->GetCurrentPosition(&position, NULL) != DS_OK ||
        buffer->GetFrequency(&frequency) != DS_OK || frequency == 0 || position > m_dwWaveSize)
        return MONITOR_TICK_MS;
    const unsigned long long frames = (m_dwWaveSize - position + align - 1) / align;
    const unsigned long long ms = (frames * 1000 + frequency - 1) / frequency;
    return ms < INFINITE ? (DWORD)ms : INFINITE - 1;
}

DWORD WINAPI CDSoundObject::_dsound_oneshot_play_thread(LPVOID param)
{
    CDSoundObject *self = static_cast<CDSoundObject *>(param);
    // Lives as long as the sound, which outlives this thread.
    HANDLE wake = self->m_hWake;
    CMonitorSchedule schedule;
    LONG requests = self->m_nRequests;
    // A wake-up meant for an earlier run, or for none: the first pass,
    // which comes at once, sees whatever was asked since.
    ResetEvent(wake);

    for (;;) {
        DWORD status = 0;
        // Asleep until something is due, or until a stop, a fade or a new
        // frequency wakes it.
        const DWORD timeout = schedule.Timeout(CMonitorSchedule::Now());
        if (timeout != 0 && WaitForSingleObject(wake, timeout) == WAIT_FAILED)
            Sleep(timeout < (DWORD)MONITOR_TICK_MS ? timeout : (DWORD)MONITOR_TICK_MS);
        const LONGLONG now = CMonitorSchedule::Now();

        HANDLE mutex = self->m_hMutex;
        if (mutex == NULL) {
            self->m_nStatus = SOUND_ERR_FAILED;
            break;
        }
        // A pass may wait for the lock only when a stop is due: nobody waits
        // for this thread while holding the lock, and a stop should not slip
        // by a whole tick behind a volume call.
        DWORD wait = WaitForSingleObject(mutex, self->m_nFadeTime == 0 ? MONITOR_TICK_MS : 0);
        if (wait != WAIT_OBJECT_0) {
            // Held by a volume, pan or frequency call: skip this pass and try
            // again soon rather than end the playback.
            if (wait == WAIT_ABANDONED)
                ReleaseMutex(mutex);
            schedule.Retry(now);
            continue;
        }
        schedule.Passed();

        // A new request only starts a fade's count: its first step comes a
        // tick later, and until then there is nothing new to look at.
        const LONG seen = self->m_nRequests;
        const BOOL fresh = seen != requests;
        requests = seen;
        BOOL waiting = FALSE;
        try {
            LPDIRECTSOUNDBUFFER buffer = self->m_pBuffer;
            LONG time = self->m_nFadeTime;
            if (time <= 0) {
                schedule.NoFade();
            } else if (fresh || !schedule.IsFading()) {
                schedule.StartFade(now);
            } else if (buffer != NULL && schedule.IsFadeDue(now)) {
                schedule.FadeStepped(now);
                LONG left = (self->m_nFadeLeft -= MONITOR_TICK_MS);
                if (left < 0) {
                    self->m_nFadeLeft = 0;
                    self->m_nFadeTime = 0;
                } else {
                    // A straight line in hundredths of a decibel from the
                    // sound's volume down to silence. The divisor is the time
                    // read above, never a fresh read that a stop might zero.
                    long long span = (long long)self->m_lVolume + 10000;
                    long long volume = span * left / time - 10000;
                    // A stop posted between our reads of the two fields can
                    // pair a new time with an old, longer remainder; a fade
                    // never goes above the sound's own volume.
                    if (volume > self->m_lVolume)
                        volume = self->m_lVolume;
                    buffer->SetVolume((LONG)volume);
                }
            }
            if (buffer != NULL && self->m_nFadeTime != 0) {
                if (fresh && !schedule.IsEndDue(now)) {
                    waiting = TRUE;
                } else {
                    if (buffer->GetStatus(&status) != DS_OK) {
                        self->m_nStatus = SOUND_ERR_FAILED;
                        throw "DirectSoundBuffer::GetStatus() failed.";
                    }
                    // A loop ends only on request; a one-shot at its last
                    // sample, which its position foretells.
                    if ((status & DSBSTATUS_PLAYING) && !(status & DSBSTATUS_LOOPING))
                        schedule.EndIn(now, self->_time_left(buffer));
                    else
                        schedule.NoEnd();
                }
            }
            self->m_nStatus = SOUND_OK;
        } catch (const char *text) {
            char line[256];
            wsprintfA(line, kCatchText, text, kThreadName);
            OutputDebugStringA(line);
        } catch (...) {
            char line[256];
            wsprintfA(line, kCatchAll, kThreadName);
            OutputDebugStringA(line);
        }
        ReleaseMutex(self->m_hMutex);

        if (!(status & DSBSTATUS_PLAYING) && !waiting)
            break;
    }

    self->_stop_buffer();
    // Returned rather than given to ExitThread: the same exit code, and the
    // thread that ran this may run the next play's monitor.
    return (DWORD)self->m_nStatus.load();
}
