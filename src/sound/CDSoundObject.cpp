#include "sound/CDSoundObject.h"

#include "frame/status.h"
#include "platform/CFailureReason.h"
#include "platform/CLog.h"
#include "platform/CThreadCancel.h"
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
      m_nRefs(1),
      m_bRetired(FALSE)
{
    InitializeCriticalSection(&m_csPlay);
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
    if (m_hWake == NULL) {
        m_hWake = CreateEventA(NULL, FALSE, FALSE, NULL);
        if (m_hWake == NULL) {
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
    if (code != SOUND_OK)
        CFailureReason::Note(ERROR_NOT_ENOUGH_MEMORY);
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
    // Samples DirectSound takes as they are go straight into the sound's
    // block; others are read aside and decoded into it.
    LPBYTE encoded = NULL;
    if (code == SOUND_OK) {
        m_dwWaveSize = (DWORD)decoder.GetDecodedSize();
        m_pWaveData = static_cast<LPBYTE>(GlobalAlloc(GMEM_FIXED, m_dwWaveSize));
        if (decoder.Decodes())
            encoded = static_cast<LPBYTE>(GlobalAlloc(GMEM_FIXED, dataSize));
        if (m_pWaveData == NULL || (decoder.Decodes() && encoded == NULL)) {
            code = SOUND_ERR_NOMEMORY;
            CFailureReason::Note(ERROR_NOT_ENOUGH_MEMORY);
        }
    }
    if (code == SOUND_OK) {
        LONG got = wave.Read(encoded != NULL ? encoded : m_pWaveData, dataSize);
        if (got < 0 || (DWORD)got != dataSize) {
            code = SOUND_ERR_FAILED;
            CFailureReason::Note(got < 0 ? ERROR_READ_FAULT : ERROR_BAD_FORMAT);
            wsprintfA(why, "the data chunk announces %u bytes, %d could be read", dataSize, got);
            CLog::Refused(path, why);
        }
    }
    if (code == SOUND_OK && encoded != NULL)
        decoder.Decode(encoded, m_pWaveData);
    if (encoded != NULL)
        GlobalFree(encoded);
    // From here on the record describes the samples the sound holds.
    if (code == SOUND_OK && decoder.GetFormatSize() != 0) {
        LPWAVEFORMATEX record =
            reinterpret_cast<LPWAVEFORMATEX>(new (std::nothrow) BYTE[decoder.GetFormatSize()]);
        if (record == NULL) {
            code = SOUND_ERR_NOMEMORY;
            CFailureReason::Note(ERROR_NOT_ENOUGH_MEMORY);
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
    HRESULT hr = m_pBuffer->Lock(0, size, &audio1, &bytes1, &audio2, &bytes2, 0);
    if (hr == DSERR_BUFFERLOST) {
        // The memory comes back, not its contents, which we write next.
        if (CFailureReason::Failed(m_pBuffer->Restore()))
            return FALSE;
        hr = m_pBuffer->Lock(0, size, &audio1, &bytes1, &audio2, &bytes2, 0);
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
    // monitor thread half way.
    EnterCriticalSection(&m_csPlay);
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

BOOL CDSoundObject::_play(BOOL loop)
{
    if (m_pBuffer == NULL || m_bRetired) {
        m_nStatus = SOUND_ERR_STATE;
        CFailureReason::Note(ERROR_INVALID_HANDLE);
        return FALSE;
    }

    // An earlier run stops as soon as its thread wakes, which the stop does;
    // wait for it outside the lock, which the thread needs to stop.
    Stop(0);
    if (IsRunning() && Wait(LOCK_TIMEOUT_MS) != WAIT_OBJECT_0) {
        m_nStatus = SOUND_ERR_FAILED;
        CFailureReason::Note(ERROR_TIMEOUT);
        return FALSE;
    }
    // A stop meant for the run that has ended must not cut the new run's
    // first tick short.
    if (m_hWake != NULL)
        ResetEvent(m_hWake);

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
    if (fade_ms < 0 || fade_ms > 65535)
        fade_ms = 0;
    // The time first: the thread takes the length from it.
    m_nFadeTime = fade_ms;
    m_nFadeLeft = fade_ms;
    // A stop is carried out now, not at the next tick; a fade keeps its
    // steps on the thread's own tick.
    if (fade_ms == 0 && m_hWake != NULL)
        SetEvent(m_hWake);
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
    return _locked_call<BOOL>([frequency](LPDIRECTSOUNDBUFFER buffer) -> BOOL {
        return !CFailureReason::Failed(buffer->SetFrequency(frequency));
    });
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
    if (f.nChannels > 2 && f.wFormatTag != WAVE_FORMAT_EXTENSIBLE)
        wsprintfA(why, "%u channels need WAVE_FORMAT_EXTENSIBLE", f.nChannels);
    else
        wsprintfA(why, "DirectSound refused the format: tag 0x%04x, %u channels, %u Hz, %u bits, block %u",
                  f.wFormatTag, f.nChannels, f.nSamplesPerSec, f.wBitsPerSample, f.nBlockAlign);
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

DWORD WINAPI CDSoundObject::_dsound_oneshot_play_thread(LPVOID param)
{
    CDSoundObject *self = static_cast<CDSoundObject *>(param);
    // Lives as long as the sound, which outlives this thread.
    HANDLE wake = self->m_hWake;

    for (;;) {
        DWORD status = 0;
        // One tick, or less when a stop is posted.
        if (wake == NULL || WaitForSingleObject(wake, MONITOR_TICK_MS) == WAIT_FAILED)
            Sleep(MONITOR_TICK_MS);

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
            // again at the next tick rather than end the playback.
            if (wait == WAIT_ABANDONED)
                ReleaseMutex(mutex);
            continue;
        }

        try {
            LPDIRECTSOUNDBUFFER buffer = self->m_pBuffer;
            LONG time = self->m_nFadeTime;
            if (buffer != NULL && time > 0) {
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
                if (buffer->GetStatus(&status) != DS_OK) {
                    self->m_nStatus = SOUND_ERR_FAILED;
                    throw "DirectSoundBuffer::GetStatus() failed.";
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

        if (!(status & DSBSTATUS_PLAYING))
            break;
    }

    self->_stop_buffer();
    ExitThread((DWORD)self->m_nStatus.load());
}
