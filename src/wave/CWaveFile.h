// The RIFF/WAVE reader: finds the "fmt " chunk and the "data" chunk after it,
// in a file or in a complete image in memory, keeps the format block and
// hands out the sample bytes, with positions counted from the start of the
// data. It owns the multimedia-file handle, the format block (fixed global
// memory, 18 + cbSize bytes) and the kept name; a memory image stays the
// caller's and must outlive the open state.
#pragma once

#include "platform/winapi.h"

class CWaveFile {
public:
    CWaveFile();
    ~CWaveFile();
    CWaveFile(const CWaveFile &) = delete;
    CWaveFile &operator=(const CWaveFile &) = delete;

    // 1 when the file or image holds a RIFF/WAVE form with a "fmt " chunk of
    // at least 16 bytes and, after it, a non-empty "data" chunk, and every
    // chunk skipped on the way ends inside it; else 0, and the reader is
    // closed. A reader that is already open refuses and stays as it is. A
    // path that cannot be read is refused before anything reads it. Of an
    // image only what is read is looked at, each part just before it is
    // read (the RIFF header, the chunk headers on the way, the format, then
    // the data as Read reads it): an application may pass the rest of a
    // mapped file as the size. Positions are LONGs, so an image is read as
    // its first 2 GiB less one byte at most.
    BOOL Open(LPCSTR path);
    BOOL OpenMem(LPCVOID image, DWORD size);

    // Bytes read (never past the end of the data), 0 at the end, -1 when not
    // open or the read fails: also when a part of an image cannot be read
    // (ERROR_NOACCESS noted). A read from the end rewinds to the first byte.
    LONG Read(LPVOID buffer, DWORD count);
    // As Read, without copying what a memory image holds: *bytes points at
    // them in the image. A file's bytes are read into buffer, and *bytes
    // points there.
    LONG ReadInPlace(LPVOID buffer, DWORD count, const BYTE **bytes);
    // origin 0 from the start of the data, 1 from the position, 2 back from
    // the end of the data. The new position within the data, or -1.
    LONG Seek(LONG offset, int origin);
    // 0 only when closing the handle failed; closed either way.
    BOOL Close();

    // The 18-byte header (extra format bytes are not copied); the rest of
    // out is zeroed. 0 when not open or size is below 18.
    BOOL GetFormat(LPVOID out, DWORD size) const;
    // Size of the whole format block, 18 + cbSize; 0 when not open.
    DWORD GetFormatSize() const;
    // The whole format block with its extra bytes; the rest of out is
    // zeroed. 0 when not open or size is below GetFormatSize().
    BOOL GetFormatBlock(LPVOID out, DWORD size) const;
    // Size of the data chunk's contents as its header gives it; all bits set
    // when no handle is held.
    DWORD GetDataSize() const;

    void SetName(LPCSTR name);
    // The path of the last successful Open; empty otherwise.
    LPCSTR GetName() const;

private:
    // How a step of the open went: done; what it looks for is not there
    // (or cut short); a chunk on the way runs past the end; a part of an
    // image cannot be read (noted and said already).
    enum EStep { STEP_OK, STEP_MISSING, STEP_OUT_OF_REACH, STEP_UNREADABLE };

    BOOL _open(LPCSTR path, LPMMIOINFO info);
    EStep _read_format(DWORD chunkSize);
    EStep _descend(MMCKINFO &chunk, const MMCKINFO *parent, UINT flags);
    EStep _chunk_in_reach(FOURCC id, FOURCC formType);
    // Whether the bytes the next platform read takes from the position can
    // be read: always for a file, the part inside it for an image.
    BOOL _readable(LONG count);
    // The count Read may read from the position, 0 at the end (or past it,
    // rewound then), -1 when not open.
    LONG _count_from_here(DWORD count);
    BOOL _fail();
    // A step that did not go: its reason, `missing` when what it looked for
    // is not there; then fails.
    BOOL _refuse_step(EStep step, LPCSTR path, LPCSTR missing);
    // Notes the reason, writes the diagnostic line (path null for a memory
    // image), then fails.
    BOOL _refuse(LPCSTR path, DWORD error, LPCSTR why);
    // mmioOpenA failed with `error` as the last error it left.
    BOOL _refuse_open(LPCSTR path, DWORD error);
    BOOL _data_before(const MMCKINFO &riff, DWORD fmtOffset);

    LONG m_nNameSize;
    LONG m_lState;
    LONG m_lDataStart;
    DWORD m_dwDataSize;
    LPWAVEFORMATEX m_pwfx;
    HMMIO m_hmmio;
    LPSTR m_pszName;
    const BYTE *m_pImage;  // the memory image read, null for a file
    LONG m_lImageSize;
};
