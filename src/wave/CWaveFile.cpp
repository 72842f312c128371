#include "wave/CWaveFile.h"

#include "platform/CFailureReason.h"
#include "platform/CLog.h"
#include "platform/CMemoryProbe.h"

#include <stdint.h>
#include <string.h>

#include <new>

namespace {

const DWORD kHeaderSize = 18;      // WAVEFORMATEX up to and with cbSize
const DWORD kPcmHeaderSize = 16;   // PCMWAVEFORMAT
const int64_t kMaxLong = 0x7FFFFFFF;
// The data of an image is probed and copied a slice at a time, so that the
// probe never runs far ahead of the copy.
const LONG kSlice = 1 << 20;

static_assert(sizeof(WAVEFORMATEX) == kHeaderSize, "WAVEFORMATEX is 18 bytes");
static_assert(sizeof(PCMWAVEFORMAT) == kPcmHeaderSize, "PCMWAVEFORMAT is 16 bytes");

}  // namespace

CWaveFile::CWaveFile()
    : m_nNameSize(0),
      m_lState(-1),
      m_lDataStart(-1),
      m_dwDataSize(0),
      m_pwfx(NULL),
      m_hmmio(NULL),
      m_pszName(NULL),
      m_pImage(NULL),
      m_lImageSize(0)
{
    SetName(NULL);
}

CWaveFile::~CWaveFile()
{
    delete[] m_pszName;
    m_pszName = NULL;
    Close();
}

BOOL CWaveFile::Open(LPCSTR path)
{
    if (m_hmmio != NULL)
        return FALSE;
    // The path is the application's: an unreadable one names no file and is
    // refused before anything reads it.
    if (path != NULL && !CMemoryProbe::CanReadString(path)) {
        CFailureReason::Note(ERROR_NOACCESS);
        return FALSE;
    }
    if (path == NULL || path[0] == '\0') {
        CFailureReason::Note(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return _open(path, NULL);
}

BOOL CWaveFile::OpenMem(LPCVOID image, DWORD size)
{
    if (m_hmmio != NULL)
        return FALSE;
    if (image == NULL) {
        CFailureReason::Note(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // The memory file's size is a LONG, and no byte lies past the end of the
    // address space: a larger size is read as what can be reached.
    LONG usable = size > (DWORD)kMaxLong ? (LONG)kMaxLong : (LONG)size;
    const uintptr_t room = UINTPTR_MAX - reinterpret_cast<uintptr_t>(image);
    if ((uintptr_t)usable > room)
        usable = (LONG)room;
    MMIOINFO info;
    memset(&info, 0, sizeof(info));
    info.fccIOProc = FOURCC_MEM;
    info.pchBuffer = static_cast<HPSTR>(const_cast<LPVOID>(image));
    info.cchBuffer = usable;
    info.adwInfo[0] = 0;  // the memory file cannot grow
    m_pImage = static_cast<const BYTE *>(image);
    m_lImageSize = usable;
    return _open(NULL, &info);
}

BOOL CWaveFile::_open(LPCSTR path, LPMMIOINFO info)
{
    // Read-only: the service does not write the name. Its last error is
    // taken at once, before anything else can change it.
    SetLastError(ERROR_SUCCESS);
    m_hmmio = mmioOpenA(const_cast<LPSTR>(path), info, MMIO_READ);
    if (m_hmmio == NULL)
        return _refuse_open(path, GetLastError());

    // Whatever keeps the RIFF/WAVE form from being found, the data is no
    // RIFF/WAVE file: the first thing to tell about Ogg, MP3 or a program.
    MMCKINFO riff;
    memset(&riff, 0, sizeof(riff));
    riff.fccType = mmioFOURCC('W', 'A', 'V', 'E');
    EStep step = _descend(riff, NULL, MMIO_FINDRIFF);
    if (step != STEP_OK)
        return _refuse_step(step == STEP_UNREADABLE ? step : STEP_MISSING, path, "not a RIFF/WAVE file");

    MMCKINFO chunk;
    memset(&chunk, 0, sizeof(chunk));
    chunk.ckid = mmioFOURCC('f', 'm', 't', ' ');
    step = _descend(chunk, &riff, MMIO_FINDCHUNK);
    if (step != STEP_OK)
        return _refuse_step(step, path, "no fmt chunk");
    if (chunk.cksize < kPcmHeaderSize)
        return _refuse(path, ERROR_BAD_FORMAT, "a fmt chunk shorter than 16 bytes");
    step = _read_format(chunk.cksize);
    if (step != STEP_OK)
        return _refuse_step(step, path, "a fmt chunk cut short");
    if (mmioAscend(m_hmmio, &chunk, 0) != MMSYSERR_NOERROR)
        return _refuse(path, ERROR_BAD_FORMAT, "a fmt chunk cut short");
    const DWORD fmtOffset = chunk.dwDataOffset;

    // Searched from the end of "fmt ": a "data" chunk before it is not found.
    memset(&chunk, 0, sizeof(chunk));
    chunk.ckid = mmioFOURCC('d', 'a', 't', 'a');
    step = _descend(chunk, &riff, MMIO_FINDCHUNK);
    if (step != STEP_OK)
        return _refuse_step(step, path,
                            step == STEP_MISSING && _data_before(riff, fmtOffset) ? "fmt chunk after data"
                                                                                   : "no data chunk");
    if (chunk.cksize == 0)
        return _refuse(path, ERROR_BAD_FORMAT, "an empty data chunk");
    LONG start = mmioSeek(m_hmmio, 0, SEEK_CUR);
    if (start < 0)
        return _refuse(path, ERROR_READ_FAULT, "the data cannot be reached");

    m_dwDataSize = chunk.cksize;
    m_lDataStart = start;
    m_lState = 0;
    SetName(path);
    return TRUE;
}

// The search of mmioDescend, after the walk over the headers it will read.
CWaveFile::EStep CWaveFile::_descend(MMCKINFO &chunk, const MMCKINFO *parent, UINT flags)
{
    const EStep walk = (flags & MMIO_FINDRIFF) != 0 ? _chunk_in_reach(FOURCC_RIFF, chunk.fccType)
                                                    : _chunk_in_reach(chunk.ckid, 0);
    if (walk != STEP_OK)
        return walk;
    return mmioDescend(m_hmmio, &chunk, parent, flags) == MMSYSERR_NOERROR ? STEP_OK : STEP_MISSING;
}

// Walks the chunk headers from the position to the first chunk with this id
// (and form type, when one is given), as the search of mmioDescend will, and
// answers whether every chunk skipped on the way ends inside the file. A size
// that runs past the end makes the real service look for headers inside that
// chunk, or, where the offset wraps at 4 GiB, go round the same chunks
// forever; such a file is refused before the search. Each header of an image
// is probed before it is read. The position is left where it was.
CWaveFile::EStep CWaveFile::_chunk_in_reach(FOURCC id, FOURCC formType)
{
    const LONG start = mmioSeek(m_hmmio, 0, SEEK_CUR);
    const LONG size = mmioSeek(m_hmmio, 0, SEEK_END);  // counts back from the end
    if (start < 0 || size < 0)
        return STEP_OUT_OF_REACH;

    EStep result = STEP_OUT_OF_REACH;
    int64_t at = start;
    for (;;) {
        DWORD header[3] = {0, 0, 0};
        if (mmioSeek(m_hmmio, (LONG)at, SEEK_SET) != at)
            break;
        if (!_readable((LONG)sizeof(header))) {
            result = STEP_UNREADABLE;
            break;
        }
        LONG got = mmioRead(m_hmmio, reinterpret_cast<HPSTR>(header), (LONG)sizeof(header));
        if (got < 8) {
            // The search ends here either way; nothing to go round.
            result = STEP_OK;
            break;
        }
        if (header[0] == id && (formType == 0 || (got == 12 && header[2] == formType))) {
            result = STEP_OK;
            break;
        }
        int64_t next = at + 8 + (((int64_t)header[1] + 1) & ~(int64_t)1);
        if (next > size)
            break;
        at = next;
    }
    if (mmioSeek(m_hmmio, start, SEEK_SET) != start)
        return result == STEP_UNREADABLE ? result : STEP_OUT_OF_REACH;
    return result;
}

// Reads the format with at most three reads: the PCM part, cbSize, the extra
// bytes. The position is inside the "fmt " chunk, chunkSize >= 16.
CWaveFile::EStep CWaveFile::_read_format(DWORD chunkSize)
{
    PCMWAVEFORMAT pcm;
    if (!_readable((LONG)kPcmHeaderSize))
        return STEP_UNREADABLE;
    if (mmioRead(m_hmmio, reinterpret_cast<HPSTR>(&pcm), (LONG)kPcmHeaderSize) != (LONG)kPcmHeaderSize)
        return STEP_MISSING;

    // PCM has no extra bytes, whatever follows in the chunk. Other formats
    // carry cbSize when the chunk has room for it; a 16-byte chunk has none,
    // and the bytes after it belong to the next chunk.
    WORD cbSize = 0;
    if (pcm.wf.wFormatTag != WAVE_FORMAT_PCM && chunkSize >= kHeaderSize) {
        if (!_readable((LONG)sizeof(cbSize)))
            return STEP_UNREADABLE;
        if (mmioRead(m_hmmio, reinterpret_cast<HPSTR>(&cbSize), (LONG)sizeof(cbSize)) !=
            (LONG)sizeof(cbSize))
            return STEP_MISSING;
    }

    DWORD blockSize = kHeaderSize + cbSize;
    m_pwfx = static_cast<LPWAVEFORMATEX>(GlobalAlloc(GMEM_FIXED, blockSize));
    if (m_pwfx == NULL)
        return STEP_MISSING;
    // Zeroed first: extra bytes the chunk does not hold stay zero.
    memset(m_pwfx, 0, blockSize);
    memcpy(m_pwfx, &pcm, kPcmHeaderSize);
    m_pwfx->cbSize = cbSize;

    if (cbSize != 0) {
        // Only what the chunk holds; a short read is not a failure.
        DWORD room = chunkSize - kHeaderSize;
        LONG want = (LONG)(cbSize < room ? cbSize : room);
        if (want > 0) {
            if (!_readable(want))
                return STEP_UNREADABLE;
            mmioRead(m_hmmio, reinterpret_cast<HPSTR>(m_pwfx) + kHeaderSize, want);
        }
    }
    return STEP_OK;
}

BOOL CWaveFile::_readable(LONG count)
{
    if (m_pImage == NULL || count <= 0)
        return TRUE;
    const LONG at = mmioSeek(m_hmmio, 0, SEEK_CUR);
    if (at < 0 || at >= m_lImageSize)
        return TRUE;  // nothing of the image is read there
    const LONG n = count < m_lImageSize - at ? count : m_lImageSize - at;
    if (CMemoryProbe::CanRead(m_pImage + at, (SIZE_T)n))
        return TRUE;
    CFailureReason::Note(ERROR_NOACCESS);
    char why[96];
    wsprintfA(why, "its bytes from offset %d to %d cannot all be read", at, at + (n - 1));
    CLog::Refused(NULL, why);
    return FALSE;
}

BOOL CWaveFile::_fail()
{
    Close();
    SetName(NULL);
    return FALSE;
}

BOOL CWaveFile::_refuse_step(EStep step, LPCSTR path, LPCSTR missing)
{
    if (step == STEP_UNREADABLE)
        return _fail();  // noted and said already
    return _refuse(path, ERROR_BAD_FORMAT,
                   step == STEP_OUT_OF_REACH ? "chunk sizes that run past the end of the data" : missing);
}

BOOL CWaveFile::_refuse(LPCSTR path, DWORD error, LPCSTR why)
{
    CFailureReason::Note(error);
    CLog::Refused(path, why);
    return _fail();
}

// The file did not open: the platform's own reason, as the application
// would get it asking for the file itself. The service's last error is
// believed where it names a reason of its own; elsewhere (Windows' service
// leaves no useful one) the file's attributes tell what can be told.
BOOL CWaveFile::_refuse_open(LPCSTR path, DWORD error)
{
    if (path == NULL)
        return _refuse(NULL, ERROR_NOT_ENOUGH_MEMORY, "out of memory");
    switch (error) {
    case ERROR_TOO_MANY_OPEN_FILES:
        return _refuse(path, error, "the process has no file descriptor left");
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        return _refuse(path, ERROR_NOT_ENOUGH_MEMORY, "out of memory");
    case ERROR_BAD_FILE_TYPE:
        return _refuse(path, error, "not a regular file (a FIFO, socket or device)");
    case ERROR_SHARING_VIOLATION:
        return _refuse(path, error, "another program holds it");
    default:
        break;
    }
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if (attributes & FILE_ATTRIBUTE_DIRECTORY)
            return _refuse(path, ERROR_DIRECTORY_NOT_SUPPORTED, "a directory, not a file");
        return _refuse(path, ERROR_ACCESS_DENIED, "it cannot be opened for reading");
    }
    error = GetLastError();
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return _refuse(path, error, "no such file");
    case ERROR_ACCESS_DENIED:
        return _refuse(path, error, "access denied");
    default: {
        char why[64];
        wsprintfA(why, "it cannot be opened (error %u)", error);
        return _refuse(path, error != ERROR_SUCCESS ? error : ERROR_FILE_NOT_FOUND, why);
    }
    }
}

// Whether a "data" chunk stands before "fmt " (whose contents start at
// fmtOffset), for the reason of a refusal. The chunks up to "fmt " and after
// it were walked, and probed, already.
BOOL CWaveFile::_data_before(const MMCKINFO &riff, DWORD fmtOffset)
{
    const LONG first = (LONG)(riff.dwDataOffset + 4);
    if (mmioSeek(m_hmmio, first, SEEK_SET) != first)
        return FALSE;
    MMCKINFO chunk;
    memset(&chunk, 0, sizeof(chunk));
    chunk.ckid = mmioFOURCC('d', 'a', 't', 'a');
    return mmioDescend(m_hmmio, &chunk, &riff, MMIO_FINDCHUNK) == MMSYSERR_NOERROR &&
           chunk.dwDataOffset < fmtOffset;
}

LONG CWaveFile::_count_from_here(DWORD count)
{
    if (m_hmmio == NULL || m_lDataStart == -1 || m_lState == -1)
        return -1;
    LONG pos = mmioSeek(m_hmmio, 0, SEEK_CUR);
    if (pos < 0)
        return -1;

    const int64_t end = (int64_t)m_lDataStart + m_dwDataSize;
    // From the end (or beyond it, after a seek outside the data) nothing is
    // read and the next read starts again with the first byte.
    if (pos >= end) {
        Seek(0, 0);
        return 0;
    }
    int64_t n = count;
    if (pos + n >= end)
        n = end - pos;
    if (n > kMaxLong)
        n = kMaxLong;
    return (LONG)n;
}

LONG CWaveFile::Read(LPVOID buffer, DWORD count)
{
    if (buffer == NULL)
        return -1;
    const LONG n = _count_from_here(count);
    LONG done = 0;
    while (done < n) {
        // A file in one read; an image a slice at a time, each probed first.
        const LONG slice = m_pImage != NULL && n - done > kSlice ? kSlice : n - done;
        if (!_readable(slice))
            return -1;
        const LONG got = mmioRead(m_hmmio, static_cast<HPSTR>(buffer) + done, slice);
        if (got < 0)
            return done > 0 ? done : -1;
        done += got;
        if (got < slice)
            break;
    }
    return n <= 0 ? n : done;
}

LONG CWaveFile::ReadInPlace(LPVOID buffer, DWORD count, const BYTE **bytes)
{
    if (bytes == NULL)
        return -1;
    *bytes = NULL;
    if (m_pImage == NULL) {
        const LONG got = Read(buffer, count);
        if (got > 0)
            *bytes = static_cast<const BYTE *>(buffer);
        return got;
    }
    LONG n = _count_from_here(count);
    const LONG at = mmioSeek(m_hmmio, 0, SEEK_CUR);
    if (n <= 0 || at < 0)
        return n <= 0 ? n : -1;
    // Only what the image holds, as a read would stop at its end.
    if (n > m_lImageSize - at)
        n = m_lImageSize - at;
    if (n <= 0)
        return 0;
    if (!_readable(n))
        return -1;
    if (mmioSeek(m_hmmio, at + n, SEEK_SET) != at + n)
        return -1;
    *bytes = m_pImage + at;
    return n;
}

LONG CWaveFile::Seek(LONG offset, int origin)
{
    if (m_hmmio == NULL || m_lDataStart == -1)
        return -1;
    const int64_t start = m_lDataStart;
    const int64_t end = start + m_dwDataSize;

    int64_t target;
    int how;
    switch (origin) {
    case 0:
        target = start + offset;
        how = SEEK_SET;
        break;
    case 1:
        target = offset;
        how = SEEK_CUR;
        break;
    case 2:
        target = end - offset;
        how = SEEK_SET;
        break;
    default:
        return -1;
    }
    // A target the platform cannot be given is outside every file.
    if (target < -kMaxLong || target > kMaxLong)
        return -1;

    LONG at = mmioSeek(m_hmmio, (LONG)target, how);
    if (at < 0 || at < start || at > end)
        return -1;
    return (LONG)(at - start);
}

BOOL CWaveFile::Close()
{
    m_pImage = NULL;
    m_lImageSize = 0;
    if (m_pwfx != NULL) {
        GlobalFree(m_pwfx);
        m_pwfx = NULL;
    }
    m_dwDataSize = 0;
    m_lDataStart = -1;
    m_lState = -1;
    if (m_hmmio != NULL) {
        MMRESULT result = mmioClose(m_hmmio, 0);
        m_hmmio = NULL;
        return result == MMSYSERR_NOERROR ? TRUE : FALSE;
    }
    return TRUE;
}

BOOL CWaveFile::GetFormat(LPVOID out, DWORD size) const
{
    if (m_pwfx == NULL || out == NULL || size < kHeaderSize)
        return FALSE;
    memcpy(out, m_pwfx, kHeaderSize);
    memset(static_cast<LPBYTE>(out) + kHeaderSize, 0, size - kHeaderSize);
    return TRUE;
}

DWORD CWaveFile::GetFormatSize() const
{
    return m_pwfx == NULL ? 0 : kHeaderSize + m_pwfx->cbSize;
}

BOOL CWaveFile::GetFormatBlock(LPVOID out, DWORD size) const
{
    DWORD blockSize = GetFormatSize();
    if (m_pwfx == NULL || out == NULL || size < blockSize)
        return FALSE;
    memcpy(out, m_pwfx, blockSize);
    memset(static_cast<LPBYTE>(out) + blockSize, 0, size - blockSize);
    return TRUE;
}

DWORD CWaveFile::GetDataSize() const
{
    return m_hmmio != NULL ? m_dwDataSize : 0xFFFFFFFF;
}

void CWaveFile::SetName(LPCSTR name)
{
    delete[] m_pszName;
    m_pszName = NULL;
    m_nNameSize = 0;
    size_t length = name != NULL ? strlen(name) : 0;
    if (length >= (size_t)kMaxLong)
        return;
    LPSTR copy = new (std::nothrow) char[length + 1];
    if (copy == NULL)
        return;
    if (length != 0)
        memcpy(copy, name, length);
    copy[length] = '\0';
    m_pszName = copy;
    m_nNameSize = (LONG)(length + 1);
}

LPCSTR CWaveFile::GetName() const
{
    return m_pszName != NULL ? m_pszName : "";
}
