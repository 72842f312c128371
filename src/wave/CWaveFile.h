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
    // path or image that cannot be read, in part or whole, is refused before
    // anything reads it.
    BOOL Open(LPCSTR path);
    BOOL OpenMem(LPCVOID image, DWORD size);

    // Bytes read (never past the end of the data), 0 at the end, -1 when not
    // open or the read fails. A read from the end rewinds to the first byte.
    LONG Read(LPVOID buffer, DWORD count);
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
    BOOL _open(LPCSTR path, LPMMIOINFO info);
    BOOL _read_format(DWORD chunkSize);
    BOOL _chunk_in_reach(FOURCC id, FOURCC formType);
    BOOL _fail();
    // Notes the reason, writes the diagnostic line (path null for a memory
    // image), then fails.
    BOOL _refuse(LPCSTR path, DWORD error, LPCSTR why);
    BOOL _refuse_open(LPCSTR path);
    BOOL _data_before(const MMCKINFO &riff, DWORD fmtOffset);

    LONG m_nNameSize;
    LONG m_lState;
    LONG m_lDataStart;
    DWORD m_dwDataSize;
    LPWAVEFORMATEX m_pwfx;
    HMMIO m_hmmio;
    LPSTR m_pszName;
};
