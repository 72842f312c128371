// Multimedia file I/O for POSIX systems: read-only RIFF access to a file or
// to a caller's memory image ("MEM "), with the results of the real service.
//
// Every read is bounded by what the file or image really holds, whatever a
// chunk header claims: an oversized chunk gives a short read or a failed
// search. Positions are kept here for both kinds, so a memory image is read
// with one memcpy straight into the caller's block and a file with pread.
#include "platform/winapi.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>

namespace {

const int64_t kMaxPosition = 0x7FFFFFFF;  // positions travel as LONG

// Flags a read-only open may carry: the share modes and a buffer request,
// which changes nothing here.
const DWORD kReadOpenFlags = MMIO_ALLOCBUF | 0x00000070;

struct MmioStream {
    std::mutex lock;
    int fd = -1;                  // the file; -1 for a memory image or once closed
    bool memory = false;
    const char *image = nullptr;  // the caller's image, never written
    int64_t imageSize = 0;
    int64_t pos = 0;

    ~MmioStream()
    {
        if (fd >= 0)
            ::close(fd);
    }

    int64_t Size() const
    {
        if (memory)
            return imageSize;
        struct stat st;
        if (fd < 0 || fstat(fd, &st) != 0)
            return -1;
        return (int64_t)st.st_size;
    }

    // Moves to an absolute target as the real service does: never before the
    // start, never past the end of an image (exactly the end is fine), past
    // the end of a file if asked. -1 leaves the position alone.
    LONG SeekTo(int64_t target)
    {
        if (target < 0 || target > kMaxPosition)
            return -1;
        if (memory && target > imageSize)
            return -1;
        if (!memory && fd < 0)
            return -1;
        pos = target;
        return (LONG)pos;
    }

    // Up to count bytes from the position; the count read, -1 on an error.
    LONG ReadAt(char *out, LONG count)
    {
        if (count < 0)
            return -1;
        if (memory) {
            int64_t left = imageSize - pos;
            LONG n = left < (int64_t)count ? (LONG)(left > 0 ? left : 0) : count;
            if (n > 0)
                memcpy(out, image + pos, (size_t)n);
            pos += n;
            return n;
        }
        if (fd < 0)
            return -1;
        if (count > kMaxPosition - pos)
            count = (LONG)(kMaxPosition - pos);
        LONG got = 0;
        while (got < count) {
            ssize_t r = pread(fd, out + got, (size_t)(count - got), (off_t)(pos + got));
            if (r < 0 && errno == EINTR)
                continue;
            if (r < 0) {
                if (got == 0)
                    return -1;
                break;
            }
            if (r == 0)
                break;
            got += (LONG)r;
        }
        pos += got;
        return got;
    }
};

// Handles are numbers handed out once, never addresses, so a stale or
// invented handle is recognised instead of followed.
class MmioTable {
public:
    HMMIO Add(const std::shared_ptr<MmioStream> &stream)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        uintptr_t id = ++m_next;
        m_streams.emplace(id, stream);
        return reinterpret_cast<HMMIO>(id);
    }

    std::shared_ptr<MmioStream> Find(HMMIO h)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        auto it = m_streams.find(reinterpret_cast<uintptr_t>(h));
        return it == m_streams.end() ? nullptr : it->second;
    }

    std::shared_ptr<MmioStream> Remove(HMMIO h)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        auto it = m_streams.find(reinterpret_cast<uintptr_t>(h));
        if (it == m_streams.end())
            return nullptr;
        std::shared_ptr<MmioStream> stream = it->second;
        m_streams.erase(it);
        return stream;
    }

    // fork(): the table is whole in the child, and there its lock and the
    // streams' locks are free, whoever held them in the parent: the threads
    // that did are gone. (The locks are made anew in place; freeing a held
    // one would be wrong, and nobody in the child can give it back.)
    void HoldForFork() { m_lock.lock(); }
    void ReleaseAfterFork() { m_lock.unlock(); }
    void RenewInChild()
    {
        new (&m_lock) std::mutex;
        for (auto &entry : m_streams)
            new (&entry.second->lock) std::mutex;
    }

private:
    std::mutex m_lock;
    uintptr_t m_next = 0;
    std::unordered_map<uintptr_t, std::shared_ptr<MmioStream>> m_streams;
};

// Never destroyed: a handle may still be closed during static destruction.
// Made under pthread_once, which a fork in the middle does not leave stuck
// in the child, as it could a function's static.
pthread_once_t s_tableOnce = PTHREAD_ONCE_INIT;
MmioTable *s_pTable = nullptr;

void MakeTable()
{
    s_pTable = new MmioTable;
    pthread_atfork([] { s_pTable->HoldForFork(); }, [] { s_pTable->ReleaseAfterFork(); },
                   [] { s_pTable->RenewInChild(); });
}

MmioTable &Table()
{
    pthread_once(&s_tableOnce, MakeTable);
    return *s_pTable;
}

HMMIO OpenFailed(LPMMIOINFO info, UINT error)
{
    if (info != nullptr)
        info->wErrorRet = error;
    return nullptr;
}

// Why a path that names no regular file cannot be read, as errno: ENXIO is
// what the system itself answers for a socket or a device without one.
int NotARegularFile(mode_t mode)
{
    return S_ISDIR(mode) ? EISDIR : ENXIO;
}

std::shared_ptr<MmioStream> OpenFile(LPCSTR path, UINT &error)
{
    // Only regular files are read, as on Windows, where a directory does not
    // open either. A FIFO, socket or device is refused before it is opened:
    // opening one may wait for a writer, or do what the device does on
    // open. The open is non-blocking all the same, so that a FIFO put there
    // in between cannot hang it. errno tells the caller why, as the last
    // error does on Windows.
    struct stat st;
    if (stat(path, &st) == 0 && !S_ISREG(st.st_mode)) {
        errno = NotARegularFile(st.st_mode);
        error = MMIOERR_CANNOTOPEN;
        return nullptr;
    }
    int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        error = errno == ENOENT || errno == ENOTDIR ? MMIOERR_FILENOTFOUND : MMIOERR_CANNOTOPEN;
        return nullptr;
    }
    const bool stated = fstat(fd, &st) == 0;
    if (!stated || !S_ISREG(st.st_mode)) {
        const int why = !stated ? errno : NotARegularFile(st.st_mode);
        ::close(fd);
        errno = why;
        error = MMIOERR_CANNOTOPEN;
        return nullptr;
    }
    std::shared_ptr<MmioStream> stream(new (std::nothrow) MmioStream);
    if (!stream) {
        ::close(fd);
        errno = ENOMEM;
        error = MMIOERR_OUTOFMEMORY;
        return nullptr;
    }
    stream->fd = fd;
    return stream;
}

}  // namespace

extern "C" {

HMMIO WINAPI mmioOpenA(LPSTR fileName, LPMMIOINFO info, DWORD flags)
{
    try {
        if ((flags & ~kReadOpenFlags) != 0)
            return OpenFailed(info, MMIOERR_CANNOTOPEN);  // read-only stand-in
        if (info != nullptr && info->pIOProc != nullptr)
            return OpenFailed(info, MMIOERR_CANNOTOPEN);

        std::shared_ptr<MmioStream> stream;
        if (info != nullptr && info->fccIOProc == FOURCC_MEM) {
            // The image is the file; it cannot grow, and without a buffer
            // there is nothing to read.
            if (info->cchBuffer < 0 || (info->cchBuffer > 0 && info->pchBuffer == nullptr))
                return OpenFailed(info, MMIOERR_CANNOTOPEN);
            stream.reset(new (std::nothrow) MmioStream);
            if (!stream) {
                errno = ENOMEM;
                return OpenFailed(info, MMIOERR_OUTOFMEMORY);
            }
            stream->memory = true;
            stream->image = info->pchBuffer;
            stream->imageSize = info->cchBuffer;
        } else {
            if (info != nullptr && info->fccIOProc != 0 && info->fccIOProc != FOURCC_DOS)
                return OpenFailed(info, MMIOERR_CANNOTOPEN);
            if (fileName == nullptr || fileName[0] == '\0')
                return OpenFailed(info, MMIOERR_FILENOTFOUND);
            UINT error = 0;
            stream = OpenFile(fileName, error);
            if (!stream)
                return OpenFailed(info, error);
        }
        HMMIO h = Table().Add(stream);
        if (info != nullptr) {
            info->wErrorRet = MMSYSERR_NOERROR;
            info->hmmio = h;
        }
        return h;
    } catch (...) {
        errno = ENOMEM;  // the table could not grow
        return OpenFailed(info, MMIOERR_OUTOFMEMORY);
    }
}

MMRESULT WINAPI mmioClose(HMMIO hmmio, UINT /*flags*/)
{
    std::shared_ptr<MmioStream> stream = Table().Remove(hmmio);
    if (!stream)
        return MMSYSERR_INVALHANDLE;
    std::lock_guard<std::mutex> guard(stream->lock);
    if (stream->fd >= 0) {
        int r = ::close(stream->fd);
        stream->fd = -1;
        if (r != 0 && errno != EINTR)
            return MMIOERR_CANNOTCLOSE;
    }
    return MMSYSERR_NOERROR;
}

LONG WINAPI mmioRead(HMMIO hmmio, HPSTR buffer, LONG count)
{
    std::shared_ptr<MmioStream> stream = Table().Find(hmmio);
    if (!stream || count < 0)
        return -1;
    if (count == 0)
        return 0;
    if (buffer == nullptr)
        return -1;
    std::lock_guard<std::mutex> guard(stream->lock);
    return stream->ReadAt(buffer, count);
}

LONG WINAPI mmioSeek(HMMIO hmmio, LONG offset, int origin)
{
    std::shared_ptr<MmioStream> stream = Table().Find(hmmio);
    if (!stream)
        return -1;
    std::lock_guard<std::mutex> guard(stream->lock);
    int64_t target;
    switch (origin) {
    case SEEK_SET:
        target = offset;
        break;
    case SEEK_CUR:
        target = stream->pos + offset;
        break;
    case SEEK_END: {
        // The offset counts back from the end, as the real service has it.
        int64_t size = stream->Size();
        if (size < 0)
            return -1;
        target = size - offset;
        break;
    }
    default:
        return -1;
    }
    return stream->SeekTo(target);
}

MMRESULT WINAPI mmioDescend(HMMIO hmmio, LPMMCKINFO chunk, const MMCKINFO *parent, UINT flags)
{
    if (chunk == nullptr)
        return MMSYSERR_INVALPARAM;
    std::shared_ptr<MmioStream> stream = Table().Find(hmmio);
    if (!stream)
        return MMSYSERR_INVALHANDLE;
    std::lock_guard<std::mutex> guard(stream->lock);

    int64_t at = stream->pos;
    if (parent != nullptr) {
        // The parent's end in 32 bits, as the real service has it: a size
        // that runs past 4 GiB wraps, and the search cannot start.
        DWORD end = parent->dwDataOffset + parent->cksize;
        if (at < (int64_t)parent->dwDataOffset || at >= (int64_t)end)
            return MMIOERR_CHUNKNOTFOUND;
    }

    FOURCC wantId = 0;
    FOURCC wantType = 0;
    if (flags & MMIO_FINDCHUNK)
        wantId = chunk->ckid;
    if (flags & MMIO_FINDLIST) {
        wantId = FOURCC_LIST;
        wantType = chunk->fccType;
    }
    if (flags & MMIO_FINDRIFF) {
        wantId = FOURCC_RIFF;
        wantType = chunk->fccType;
    }

    for (;;) {
        // The header goes straight into the record, id, size and form type;
        // near the end only what is there is overwritten, as the real
        // service does.
        BYTE header[12];
        LONG got = stream->ReadAt(reinterpret_cast<char *>(header), (LONG)sizeof(header));
        if (got < 8) {
            stream->pos = at;
            return MMIOERR_CHUNKNOTFOUND;
        }
        memcpy(chunk, header, (size_t)got);
        chunk->dwDataOffset = (DWORD)(at + 8);
        if ((wantId == 0 || wantId == chunk->ckid) && (wantType == 0 || wantType == chunk->fccType))
            break;
        // The next header follows the contents and their pad byte. One that
        // would lie past the end of an image cannot be read: the search ends.
        int64_t next = at + 8 + (((int64_t)chunk->cksize + 1) & ~(int64_t)1);
        if (stream->SeekTo(next) < 0) {
            stream->pos = stream->memory ? stream->imageSize : at;
            return MMIOERR_CHUNKNOTFOUND;
        }
        at = next;
    }

    chunk->dwFlags = 0;
    if (chunk->ckid == FOURCC_RIFF || chunk->ckid == FOURCC_LIST) {
        // Contents start after the form type; a cut image keeps the position
        // where the header read stopped.
        stream->SeekTo((int64_t)chunk->dwDataOffset + 4);
    } else {
        stream->pos = chunk->dwDataOffset;
        chunk->fccType = 0;
    }
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI mmioAscend(HMMIO hmmio, LPMMCKINFO chunk, UINT /*flags*/)
{
    if (chunk == nullptr)
        return MMSYSERR_INVALPARAM;
    std::shared_ptr<MmioStream> stream = Table().Find(hmmio);
    if (!stream)
        return MMSYSERR_INVALHANDLE;
    std::lock_guard<std::mutex> guard(stream->lock);
    // Past the chunk and its pad byte. The real service answers 0 even when
    // that lies past the end of an image and the position cannot follow.
    stream->SeekTo((int64_t)chunk->dwDataOffset + (((int64_t)chunk->cksize + 1) & ~(int64_t)1));
    return MMSYSERR_NOERROR;
}

}  // extern "C"
