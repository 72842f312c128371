// The wave reader over memory images and files, and the multimedia file I/O
// beneath it; and what the decoder refuses of what the reader finds. The same source runs natively against our mmio and, built for
// Windows, under Wine against the real WINMM: passing on both is what shows
// the two agree.
#include "wave/CWaveFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "platform/CFailureReason.h"
#include "support/CGuardedPages.h"
#include "support/Diagnostics.h"
#include "support/RiffWriter.h"
#include "wave/CWaveDecoder.h"

using riff::Bytes;
using riff::RiffWriter;

namespace {

// Distinct bytes, so that a read from a wrong offset shows.
Bytes Pattern(size_t n, uint8_t seed = 1)
{
    Bytes out(n);
    for (size_t i = 0; i < n; i++)
        out[i] = (uint8_t)(seed + i * 7);
    return out;
}

const riff::WaveFormat kMono16 = riff::PcmFormat(8000, 1, 16);

// fmt (16 bytes) at 12, data header at 36, data contents at 44.
Bytes SimpleImage(const Bytes &data)
{
    return RiffWriter().Fmt(kMono16).Data(data).Build();
}

const LONG kSimpleDataStart = 44;

Bytes ReadAll(CWaveFile &wave, DWORD room)
{
    Bytes out(room + 1);
    LONG n = wave.Read(out.data(), room);
    out.resize(n > 0 ? (size_t)n : 0);
    return out;
}

class TempFile {
public:
    explicit TempFile(const Bytes &contents)
    {
        std::random_device rd;
        m_path = (std::filesystem::temp_directory_path() /
                  ("dudidadu-wave-" + std::to_string(rd()) + "-" + std::to_string(rd()) + ".wav"))
                     .string();
        EXPECT_TRUE(riff::SaveFile(m_path, contents)) << m_path;
    }
    ~TempFile()
    {
        std::error_code ignored;
        std::filesystem::remove(m_path, ignored);
    }
    const char *Path() const { return m_path.c_str(); }

private:
    std::string m_path;
};

HMMIO OpenImage(Bytes &image)
{
    MMIOINFO info;
    memset(&info, 0, sizeof(info));
    info.fccIOProc = FOURCC_MEM;
    info.pchBuffer = reinterpret_cast<HPSTR>(image.data());
    info.cchBuffer = (LONG)image.size();
    return mmioOpenA(NULL, &info, MMIO_READ);
}

LONG Pos(HMMIO h)
{
    return mmioSeek(h, 0, SEEK_CUR);
}

}  // namespace

// ---- What the reader accepts ------------------------------------------------

TEST(WaveReader, ReadsFormatAndDataOfAPcmTone)
{
    Bytes samples = riff::PcmTone(440, 22050, 2, 16, 0.05, 0.8);
    Bytes image = RiffWriter().Fmt(riff::PcmFormat(22050, 2, 16)).Data(samples).Build();
    CWaveFile wave;
    ASSERT_TRUE(wave.OpenMem(image.data(), (DWORD)image.size()));

    Bytes wfx(18);
    ASSERT_TRUE(wave.GetFormat(wfx.data(), 18));
    EXPECT_EQ(wfx, riff::PcmFormat(22050, 2, 16).Full());  // PCM, 88200 bytes/s, block 4, cbSize 0
    EXPECT_EQ(wave.GetFormatSize(), 18u);
    EXPECT_EQ(wave.GetDataSize(), samples.size());
    EXPECT_EQ(ReadAll(wave, (DWORD)samples.size()), samples);
    EXPECT_STREQ(wave.GetName(), "");
}

TEST(WaveReader, SkipsOtherChunksBeforeAndBetween)
{
    Bytes data = Pattern(12);
    Bytes fakeData = RiffWriter().Data(Pattern(4, 99)).Build();
    fakeData.erase(fakeData.begin(), fakeData.begin() + 12);  // just the "data" chunk
    Bytes image = RiffWriter()
                      .List("INFO", RiffWriter().Chunk("INAM", Bytes(5, 'x')).Build())
                      .Chunk("junk", Bytes(3, 0xAA))  // odd, with its pad byte
                      .Chunk("DATA", Pattern(6, 50))  // ids are case-sensitive
                      .Fmt(kMono16)
                      .Chunk("fact", Bytes(4, 0))
                      .List("INFO", fakeData)  // a "data" inside a list is not at this level
                      .Chunk("pad ", Bytes(1, 0xBB))
                      .Data(data)
                      .Build();
    CWaveFile wave;
    ASSERT_TRUE(wave.OpenMem(image.data(), (DWORD)image.size()));
    EXPECT_EQ(wave.GetDataSize(), 12u);
    EXPECT_EQ(ReadAll(wave, 100), data);
}

TEST(WaveReader, OddChunksAreFollowedByAPadByte)
{
    CWaveFile wave;
    Bytes oddData = RiffWriter().Fmt(kMono16).Chunk("junk", Bytes(5, 1)).Data(Pattern(5)).Build();
    ASSERT_EQ(oddData.size(), 12u + 24u + 14u + 14u);
    ASSERT_TRUE(wave.OpenMem(oddData.data(), (DWORD)oddData.size()));
    EXPECT_EQ(wave.GetDataSize(), 5u);
    EXPECT_EQ(ReadAll(wave, 100), Pattern(5));  // the pad byte is not data
    wave.Close();

    // An odd "fmt " chunk: one extra format byte, then the pad byte.
    riff::WaveFormat odd = kMono16;
    odd.tag = 0x0011;
    odd.cbSize = 1;
    odd.extra = Bytes(1, 0x5A);
    Bytes oddFmt = RiffWriter().Fmt(odd).Data(Pattern(4)).Build();
    ASSERT_EQ(oddFmt.size(), 12u + 28u + 12u);
    ASSERT_TRUE(wave.OpenMem(oddFmt.data(), (DWORD)oddFmt.size()));
    EXPECT_EQ(wave.GetFormatSize(), 19u);
    EXPECT_EQ(ReadAll(wave, 100), Pattern(4));
}

// A PCM "fmt " chunk needs its 16 bytes; what follows them is ignored.
TEST(WaveReader, FmtChunkLengths)
{
    Bytes fmt = riff::Concat(kMono16.Header16(), Bytes{0xEF, 0xBE, 0x01, 0x02});
    for (size_t length : {0, 8, 14, 15, 16, 18, 20}) {
        SCOPED_TRACE(length);
        Bytes image =
            RiffWriter().FmtBytes(Bytes(fmt.begin(), fmt.begin() + length)).Data(Pattern(6)).Build();
        CWaveFile wave;
        BOOL opened = wave.OpenMem(image.data(), (DWORD)image.size());
        ASSERT_EQ(opened, length >= 16 ? TRUE : FALSE);
        if (!opened)
            continue;
        Bytes wfx(18);
        ASSERT_TRUE(wave.GetFormat(wfx.data(), 18));
        EXPECT_EQ(wfx, kMono16.Full());  // cbSize 0
        EXPECT_EQ(wave.GetFormatSize(), 18u);
        EXPECT_EQ(ReadAll(wave, 100), Pattern(6));
    }
}

TEST(WaveReader, NonPcmFormatKeepsItsExtraBytes)
{
    riff::WaveFormat adpcm = riff::PcmFormat(22050, 1, 4);
    adpcm.tag = 2;
    adpcm.blockAlign = 256;
    adpcm.cbSize = 32;
    adpcm.extra = Pattern(32, 200);
    Bytes image = RiffWriter().Fmt(adpcm).Data(Pattern(10)).Build();
    CWaveFile wave;
    ASSERT_TRUE(wave.OpenMem(image.data(), (DWORD)image.size()));
    ASSERT_EQ(wave.GetFormatSize(), 50u);
    Bytes header = adpcm.Full();
    header.resize(18);

    // GetFormat: only the header; the rest of the destination zeroed.
    Bytes out(50, 0xCC);
    ASSERT_TRUE(wave.GetFormat(out.data(), 50));
    EXPECT_EQ(out, riff::Concat(header, Bytes(32, 0)));

    // GetFormatBlock: the whole block, and only into room enough for it.
    out.assign(60, 0xCC);
    EXPECT_FALSE(wave.GetFormatBlock(out.data(), 49));
    EXPECT_EQ(out, Bytes(60, 0xCC));
    ASSERT_TRUE(wave.GetFormatBlock(out.data(), 60));
    EXPECT_EQ(out, riff::Concat(adpcm.Full(), Bytes(10, 0)));

    EXPECT_EQ(ReadAll(wave, 100), Pattern(10));
}

TEST(WaveReader, ExtensibleFormatBlock)
{
    riff::WaveFormat ext = riff::ExtensibleFormat(48000, 6, 24, 0x3F);
    Bytes image = RiffWriter().Fmt(ext).Data(Pattern(36)).Build();
    CWaveFile wave;
    ASSERT_TRUE(wave.OpenMem(image.data(), (DWORD)image.size()));
    ASSERT_EQ(wave.GetFormatSize(), (DWORD)sizeof(WAVEFORMATEXTENSIBLE));
    Bytes block(sizeof(WAVEFORMATEXTENSIBLE));
    ASSERT_TRUE(wave.GetFormatBlock(block.data(), (DWORD)block.size()));
    EXPECT_EQ(block, ext.Full());
    EXPECT_EQ(ReadAll(wave, 100), Pattern(36));
}

// A "fmt " chunk ends where its size says: cbSize and extra bytes are not
// taken from the chunk that follows.
TEST(WaveReader, FormatBytesStayInsideTheFmtChunk)
{
    riff::WaveFormat flt = riff::PcmFormat(44100, 2, 32);
    flt.tag = WAVE_FORMAT_IEEE_FLOAT;
    Bytes image16 = RiffWriter().FmtBytes(flt.Header16()).Data(Pattern(16)).Build();
    CWaveFile wave;
    ASSERT_TRUE(wave.OpenMem(image16.data(), (DWORD)image16.size()));
    EXPECT_EQ(wave.GetFormatSize(), 18u);
    EXPECT_EQ(ReadAll(wave, 100), Pattern(16));
    wave.Close();

    // Extensible announced (cbSize 22) in an 18-byte chunk.
    riff::WaveFormat ext = riff::ExtensibleFormat(44100, 2, 16, 3);
    ext.extra.clear();
    Bytes image18 = RiffWriter().Fmt(ext).Data(Pattern(8)).Build();
    ASSERT_TRUE(wave.OpenMem(image18.data(), (DWORD)image18.size()));
    ASSERT_EQ(wave.GetFormatSize(), 40u);
    Bytes block(40, 0xCC);
    ASSERT_TRUE(wave.GetFormatBlock(block.data(), 40));
    EXPECT_EQ(Bytes(block.begin() + 18, block.end()), Bytes(22, 0));
    EXPECT_EQ(ReadAll(wave, 100), Pattern(8));
}

// Images refused whole; the reader stays closed.
TEST(WaveReader, RefusesWhatIsNoPlayableWave)
{
    Bytes rifx = SimpleImage(Pattern(4));
    rifx[3] = 'X';
    // What other files begin with, followed by enough to look like chunks.
    auto other = [](const char *start, size_t length) {
        Bytes image(start, start + length);
        return riff::Concat(image, Pattern(200));
    };
    // Each says why in the diagnostic line; the reason is a bad format.
    const struct {
        const char *what;
        Bytes image;
        const char *line;
    } rows[] = {
        {"Ogg", other("OggS\0\2\0\0", 8), "not a RIFF/WAVE file"},
        {"MP3 with a tag", other("ID3\3\0\0\0\0\x1f\x76", 10), "not a RIFF/WAVE file"},
        {"MP3 frames", other("\xff\xfb\x90\x64", 4), "not a RIFF/WAVE file"},
        {"a program", other("\x7f" "ELF\2\1\1\0", 8), "not a RIFF/WAVE file"},
        {"text", other("RIFFS AND SOLOS", 15), "not a RIFF/WAVE file"},
        {"the RIFF header cut", RiffWriter().BuildTruncated(10), "not a RIFF/WAVE file"},
        {"no bytes", Bytes(), "not a RIFF/WAVE file"},
        {"data before fmt", RiffWriter().Data(Pattern(8)).Fmt(kMono16).Build(), "fmt chunk after data"},
        {"data of size 0", RiffWriter().Fmt(kMono16).Data(Bytes()).Build(), "an empty data chunk"},
        {"no data", RiffWriter().Fmt(kMono16).Chunk("junk", Bytes(4, 0)).Build(), "no data chunk"},
        {"no fmt", RiffWriter().Data(Pattern(4)).Build(), "no fmt chunk"},
        {"another form", RiffWriter("AVI ").Fmt(kMono16).Data(Pattern(4)).Build(), "not a RIFF/WAVE file"},
        {"RIFX", rifx, "not a RIFF/WAVE file"},
        {"odd chunk without its pad byte",
         RiffWriter().Fmt(kMono16).ChunkAs("junk", 5, Bytes(5, 1), false).Data(Pattern(8)).Build(),
         "chunk sizes that run past the end of the data"},
        // The platform computes the RIFF chunk's end in 32 bits: from
        // 0xFFFFFFF8 on it wraps below the start and nothing is found inside.
        {"RIFF size wrapping", RiffWriter().Fmt(kMono16).Data(Pattern(6)).RiffSize(0xFFFFFFFFu).Build(),
         "no fmt chunk"},
        {"data after the RIFF size", RiffWriter().Fmt(kMono16).Data(Pattern(6)).RiffSize(4 + 24).Build(),
         "no data chunk"},
        {"RIFF size of the form only", RiffWriter().Fmt(kMono16).Data(Pattern(6)).RiffSize(4).Build(),
         "no fmt chunk"},
    };
    diag::CapturedLog log;
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        CWaveFile wave;
        CFailureReason call;
        Bytes image = row.image;
        image.push_back(0);  // a byte for the empty image to point at
        EXPECT_FALSE(wave.OpenMem(image.data(), (DWORD)row.image.size()));
        EXPECT_EQ(wave.GetDataSize(), 0xFFFFFFFFu);
        EXPECT_EQ(CFailureReason::Noted(), (DWORD)ERROR_BAD_FORMAT);
        EXPECT_EQ(log.Take(), std::string("dudidadu: cannot open a memory image: ") + row.line + "\n");
    }

    // Too few bytes, or none there.
    CWaveFile wave;
    Bytes image = SimpleImage(Pattern(8));
    for (DWORD size : {0u, 11u})
        EXPECT_FALSE(wave.OpenMem(image.data(), size)) << size;
    CFailureReason call;
    EXPECT_FALSE(wave.OpenMem(NULL, 0));
    EXPECT_EQ(CFailureReason::Noted(), (DWORD)ERROR_INVALID_PARAMETER);
}

// Only what is read is looked at: a size that runs on far past the wave, as
// an application passes the rest of a mapped file, even past what a position
// can name (read as the first 2 GiB), opens the wave at its start.
TEST(WaveReader, ImagesLargerThanTheirWaveOpen)
{
    Bytes image = SimpleImage(Pattern(8));
    const DWORD sizes[] = {(DWORD)image.size(), 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu};
    for (DWORD size : sizes) {
        CWaveFile wave;
        ASSERT_TRUE(wave.OpenMem(image.data(), size)) << size;
        EXPECT_EQ(ReadAll(wave, 8), Pattern(8)) << size;
    }
}

// What the reader lets through and the decoder refuses: every format no
// platform plays is refused with its reason before DirectSound sees it (under
// Wine some of them hang the program); the edges of what plays pass.
TEST(WaveDecoder, RefusesWhatNoPlatformPlays)
{
    auto extensible = [](uint16_t bits, uint16_t channels) {
        riff::WaveFormat f = riff::ExtensibleFormat(44100, channels, 16, 3);
        f.bits = bits;
        f.blockAlign = (uint16_t)(channels * (bits / 8));
        f.extra[0] = (uint8_t)(bits & 0xFF);
        f.extra[1] = (uint8_t)(bits >> 8);
        return f;
    };
    auto with = [](riff::WaveFormat f, const std::function<void(riff::WaveFormat &)> &change) {
        change(f);
        return f;
    };
    const riff::WaveFormat pcm = riff::PcmFormat(22050, 2, 16);
    riff::WaveFormat floats = riff::PcmFormat(48000, 2, 32);
    floats.tag = 3;
    const struct {
        const char *what;
        riff::WaveFormat format;
        const char *reason;  // empty: played
    } rows[] = {
        {"64-bit integers", extensible(64, 2), "64-bit integer samples (8, 16, 24 and 32 bits are played)"},
        {"128-bit integers", extensible(128, 1), "128-bit integer samples"},
        {"65528-bit integers", extensible(65528, 1), "65528-bit integer samples"},
        {"12-bit integers", with(pcm, [](riff::WaveFormat &f) { f.bits = 12; }), "12-bit integer samples"},
        {"no bits", with(pcm, [](riff::WaveFormat &f) { f.bits = 0; }), "0-bit integer samples"},
        {"16-bit floats", with(floats, [](riff::WaveFormat &f) { f.bits = 16; f.blockAlign = 4; }),
         "16-bit float samples (32 and 64 bits are played)"},
        {"9 plain channels", riff::PcmFormat(22050, 9, 16), "9 channels (1 to 8 are played)"},
        {"10 channels", extensible(16, 10), "10 channels (1 to 8 are played)"},
        {"no channels", riff::PcmFormat(22050, 0, 16), "0 channels"},
        {"50 Hz", riff::PcmFormat(50, 1, 16), "a sample rate of 50 Hz (100 to 200000 are played)"},
        {"99 Hz", riff::PcmFormat(99, 1, 8), "a sample rate of 99 Hz"},
        {"200001 Hz", riff::PcmFormat(200001, 1, 8), "a sample rate of 200001 Hz"},
        {"300000 Hz A-law", riff::G711Format(6, 300000, 1), "a sample rate of 300000 Hz"},
        {"9 channels of IMA ADPCM", riff::ImaAdpcmFormat(22050, 9, 1024), "9 channels"},
        {"block align of another width", with(pcm, [](riff::WaveFormat &f) { f.blockAlign = 3; }),
         "block align 3 does not fit 2 channels of 16 bits"},
        {"more valid bits than held", with(extensible(16, 2), [](riff::WaveFormat &f) { f.extra[0] = 20; }),
         "20 valid bits in 16-bit samples"},
        {"extensible record cut short", with(extensible(16, 2), [](riff::WaveFormat &f) {
             f.cbSize = 10;
             f.extra.resize(10);
         }),
         "a WAVE_FORMAT_EXTENSIBLE record of 10 extra bytes (22 needed)"},
        {"extensible A-law", with(extensible(8, 1), [](riff::WaveFormat &f) { f.extra[6] = 6; }),
         "WAVE_FORMAT_EXTENSIBLE of sub-format 0x00000006 not supported"},
        {"100 Hz", riff::PcmFormat(100, 1, 8), ""},
        {"200000 Hz", riff::PcmFormat(200000, 2, 24), ""},
        {"8 plain channels", riff::PcmFormat(44100, 8, 16), ""},
        {"8 channels of 32-bit integers", extensible(32, 8), ""},
        {"64-bit floats", with(floats, [](riff::WaveFormat &f) { f.bits = 64; f.blockAlign = 16; }), ""},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        Bytes image = RiffWriter().Fmt(row.format).Data(Pattern(4096)).Build();
        CWaveFile wave;
        ASSERT_TRUE(wave.OpenMem(image.data(), (DWORD)image.size()));
        Bytes record(wave.GetFormatSize());
        ASSERT_TRUE(wave.GetFormatBlock(record.data(), (DWORD)record.size()));
        CWaveDecoder decoder;
        const BOOL planned =
            decoder.Plan(reinterpret_cast<LPCWAVEFORMATEX>(record.data()), (DWORD)record.size(), 4096);
        EXPECT_EQ(planned, row.reason[0] == '\0' ? TRUE : FALSE);
        EXPECT_NE(std::string(decoder.GetReason()).find(row.reason), std::string::npos) << decoder.GetReason();
    }
}

// Another form first: the WAVE form after it is found. The first "data"
// after "fmt " is the one read.
TEST(WaveReader, FindsTheWaveFormAndItsFirstDataAfterFmt)
{
    CWaveFile wave;
    Bytes avi = RiffWriter("AVI ").Fmt(kMono16).Data(Pattern(4)).Build();
    Bytes both = riff::Concat(avi, SimpleImage(Pattern(4, 77)));
    ASSERT_TRUE(wave.OpenMem(both.data(), (DWORD)both.size()));
    EXPECT_EQ(ReadAll(wave, 100), Pattern(4, 77));
    wave.Close();

    Bytes two = RiffWriter().Data(Pattern(8, 1)).Fmt(kMono16).Data(Pattern(6, 40)).Build();
    ASSERT_TRUE(wave.OpenMem(two.data(), (DWORD)two.size()));
    EXPECT_EQ(ReadAll(wave, 100), Pattern(6, 40));
    wave.Close();

    // A RIFF size larger than the image, as in a cut file: no harm.
    for (uint32_t declared : {1000u, 0xFFFFFFF0u}) {
        Bytes image = RiffWriter().Fmt(kMono16).Data(Pattern(6)).RiffSize(declared).Build();
        ASSERT_TRUE(wave.OpenMem(image.data(), (DWORD)image.size())) << declared;
        EXPECT_EQ(ReadAll(wave, 100), Pattern(6));
        wave.Close();
    }
}

TEST(WaveReader, DataAnnouncingMoreThanExistsGivesAShortRead)
{
    Bytes image = RiffWriter().Fmt(kMono16).ChunkAs("data", 1000, Pattern(10)).Build();
    CWaveFile wave;
    ASSERT_TRUE(wave.OpenMem(image.data(), (DWORD)image.size()));
    EXPECT_EQ(wave.GetDataSize(), 1000u);
    EXPECT_EQ(ReadAll(wave, 1000), Pattern(10));

    Bytes huge = RiffWriter().Fmt(kMono16).ChunkAs("data", 0xFFFFFFF0u, Pattern(10)).Build();
    CWaveFile wave2;
    ASSERT_TRUE(wave2.OpenMem(huge.data(), (DWORD)huge.size()));
    EXPECT_EQ(wave2.GetDataSize(), 0xFFFFFFF0u);
    EXPECT_EQ(ReadAll(wave2, 100), Pattern(10));
}

// A chunk skipped on the way that claims more than the image holds: the real
// service then reads headers from inside it, and where the offset wraps at
// 4 GiB it goes round the same chunks forever. The reader refuses such
// images before searching, on every platform alike.
TEST(WaveReader, SkippedChunksMustEndInsideTheImage)
{
    CWaveFile wave;
    for (uint32_t size : {0xFFFFFFF7u, 0xFFFFFFF8u, 0xFFFFFFF0u, 0x80000000u, 1000u}) {
        Bytes beforeFmt =
            RiffWriter().ChunkAs("junk", size, Bytes(6, 0)).Fmt(kMono16).Data(Pattern(4)).Build();
        EXPECT_FALSE(wave.OpenMem(beforeFmt.data(), (DWORD)beforeFmt.size())) << size;
        Bytes beforeData =
            RiffWriter().Fmt(kMono16).ChunkAs("junk", size, Bytes(6, 0)).Data(Pattern(4)).Build();
        EXPECT_FALSE(wave.OpenMem(beforeData.data(), (DWORD)beforeData.size())) << size;
        Bytes beforeRiff;
        riff::PutFourCC(beforeRiff, "LIST");
        riff::PutU32(beforeRiff, size);
        beforeRiff = riff::Concat(riff::Concat(beforeRiff, Bytes(4, 0)), SimpleImage(Pattern(4)));
        EXPECT_FALSE(wave.OpenMem(beforeRiff.data(), (DWORD)beforeRiff.size())) << size;
    }

    // A whole "data" chunk inside an oversized one is not at this level.
    Bytes inner = RiffWriter().Data(Pattern(4)).Build();
    inner.erase(inner.begin(), inner.begin() + 12);
    Bytes hidden = RiffWriter()
                       .Fmt(kMono16)
                       .ChunkAs("junk", 1000, riff::Concat(Bytes(4, 0), inner))
                       .Build();
    EXPECT_FALSE(wave.OpenMem(hidden.data(), (DWORD)hidden.size()));

    TempFile file(RiffWriter().Fmt(kMono16).ChunkAs("junk", 0xFFFFFFF8u, Bytes(6, 0)).Data(Pattern(4)).Build());
    EXPECT_FALSE(wave.Open(file.Path()));
    EXPECT_EQ(wave.GetDataSize(), 0xFFFFFFFFu);
}

// Every cut: inside the RIFF header, the fmt header and contents, the data
// header and the data. Each prefix is a buffer of its own, so a read past it
// would be caught by the address sanitizer.
TEST(WaveReader, ImagesCutAnywhere)
{
    RiffWriter writer;
    writer.Chunk("junk", Bytes(3, 0x55)).Fmt(kMono16);
    const size_t dataHeader = writer.Size();
    writer.Data(Pattern(9));
    Bytes full = writer.Build();
    const size_t dataStart = dataHeader + 8;

    for (size_t length = 0; length <= full.size(); length++) {
        Bytes cut(full.begin(), full.begin() + length);
        CWaveFile wave;
        BOOL opened = wave.OpenMem(cut.empty() ? NULL : cut.data(), (DWORD)cut.size());
        if (length < dataStart) {
            EXPECT_FALSE(opened) << length;
            continue;
        }
        ASSERT_TRUE(opened) << length;
        EXPECT_EQ(wave.GetDataSize(), 9u);
        Bytes got = ReadAll(wave, 9);
        size_t end = std::min(length, dataStart + 9);  // not the pad byte
        EXPECT_EQ(got, Bytes(full.begin() + dataStart, full.begin() + end)) << length;
    }
}

// Damaged images in their thousands, through the real service as well as
// ours: each one opens or is refused, promptly, and a read never returns
// more than the image holds.
TEST(WaveReader, SurvivesDamagedImages)
{
    riff::WaveFormat ext = riff::ExtensibleFormat(44100, 2, 16, 3);
    const Bytes seeds[] = {
        RiffWriter().List("INFO", Bytes(5, 'n')).Fmt(kMono16).Chunk("junk", Bytes(3, 1)).Data(Pattern(40)).Build(),
        RiffWriter().Fmt(ext).Data(Pattern(24)).Chunk("id3 ", Bytes(6, 0)).Build(),
    };
    std::mt19937 random(20240601);
    int opened = 0;
    for (int i = 0; i < 3000; i++) {
        Bytes image = seeds[i % 2];
        int edits = 1 + (int)(random() % 3);
        for (int e = 0; e < edits; e++) {
            size_t at = random() % image.size();
            switch (random() % 4) {
            case 0:  // any byte
                image[at] = (uint8_t)random();
                break;
            case 1:  // a size field's top byte, or a small change to it
                image[at & ~(size_t)3] += (uint8_t)(1 + random() % 3);
                break;
            case 2:  // cut
                image.resize(at);
                break;
            default: {  // a size near 4 GiB, which wraps an offset
                uint32_t huge = 0xFFFFFFF0u + (uint32_t)(random() % 16);
                for (size_t b = at & ~(size_t)1, k = 0; b < image.size() && k < 4; b++, k++)
                    image[b] = (uint8_t)(huge >> (8 * k));
                break;
            }
            }
            if (image.empty())
                break;
        }
        CWaveFile wave;
        if (!wave.OpenMem(image.empty() ? NULL : image.data(), (DWORD)image.size()))
            continue;
        opened++;
        size_t room = std::min<size_t>(wave.GetDataSize(), image.size());
        Bytes out(room);
        LONG got = wave.Read(out.data(), (DWORD)room);
        ASSERT_GE(got, 0) << i;
        ASSERT_LE((size_t)got, room) << i;
        ASSERT_GE(wave.GetFormatSize(), 18u) << i;
    }
    EXPECT_GT(opened, 100);  // the damage leaves many images readable
}

// ---- Reading and positioning --------------------------------------------------

TEST(WaveReader, ReadsToTheEndThenStartsAgain)
{
    Bytes data = Pattern(20);
    Bytes image = SimpleImage(data);
    CWaveFile wave;
    ASSERT_TRUE(wave.OpenMem(image.data(), (DWORD)image.size()));
    EXPECT_EQ(ReadAll(wave, 20), data);
    uint8_t byte = 0;
    EXPECT_EQ(wave.Read(&byte, 1), 0);  // at the end: nothing, and rewound
    EXPECT_EQ(wave.Read(&byte, 1), 1);
    EXPECT_EQ(byte, data[0]);

    ASSERT_EQ(wave.Seek(17, 0), 17);
    EXPECT_EQ(ReadAll(wave, 10), Bytes(data.begin() + 17, data.end()));
    EXPECT_EQ(wave.Read(&byte, 0), 0);
}

// Seek is relative to the data. A refused seek inside the image leaves the
// position where the platform put it, and the next read there gives nothing
// (or, before the data, the header's byte) and rewinds; one outside the image
// moves nothing.
TEST(WaveReader, SeekFromEachOriginAtAndPastBothEnds)
{
    // A chunk after the data, so that the platform can go past its end.
    Bytes data = Pattern(20);
    Bytes image = RiffWriter().Fmt(kMono16).Data(data).Chunk("LIST", Bytes(12, 0)).Build();
    CWaveFile wave;
    ASSERT_TRUE(wave.OpenMem(image.data(), (DWORD)image.size()));
    const int kNoSeek = -99, kNoRead = -1, kNothing = -2;
    const struct {
        LONG offset;
        int origin;
        LONG result;
        int byte;  // image offset of the byte a one-byte read then gives
    } steps[] = {
        {0, 2, 20, kNoRead},       {20, 2, 0, kNoRead},         {1, 2, 19, 44 + 19},
        {kNoSeek, 0, 0, kNothing}, {2, 0, 2, kNoRead},          {3, 1, 5, kNoRead},
        {-5, 1, 0, kNoRead},       {20, 0, 20, kNothing},       {kNoSeek, 0, 0, 44},
        {4, 0, 4, kNoRead},        {0, 3, -1, kNoRead},         {1, -1, -1, 44 + 4},
        {-1, 0, -1, 43},           {kNoSeek, 0, 0, 44},         {21, 2, -1, kNoRead},
        {0, 0, 0, kNoRead},        {-1, 1, -1, kNoRead},        {3, 0, 3, kNoRead},
        {-45, 0, -1, kNoRead},     {-0x7FFFFFFF, 0, -1, 44 + 3}, {21, 0, -1, kNothing},
        {kNoSeek, 0, 0, 44},       {-3, 2, -1, kNothing},       {0, 1, 0, kNoRead},
        {7, 0, 7, kNoRead},        {1000, 0, -1, kNoRead},      {0x7FFFFFFF, 0, -1, kNoRead},
        {-0x7FFFFFFF - 1, 2, -1, 44 + 7},
    };
    for (size_t i = 0; i < sizeof(steps) / sizeof(steps[0]); i++) {
        SCOPED_TRACE("step " + std::to_string(i));
        if (steps[i].offset != kNoSeek) {
            EXPECT_EQ(wave.Seek(steps[i].offset, steps[i].origin), steps[i].result);
        }
        uint8_t byte = 0;
        if (steps[i].byte == kNothing) {
            EXPECT_EQ(wave.Read(&byte, 1), 0);
        }
        if (steps[i].byte >= 0) {
            EXPECT_EQ(wave.Read(&byte, 1), 1);
            EXPECT_EQ(byte, image[steps[i].byte]);
        }
    }
}

// ---- States -------------------------------------------------------------------

TEST(WaveReader, ClosedReaderDoesNothing)
{
    CWaveFile wave;
    Bytes out(20, 0xCC);
    EXPECT_EQ(wave.GetDataSize(), 0xFFFFFFFFu);
    EXPECT_EQ(wave.GetFormatSize(), 0u);
    EXPECT_FALSE(wave.GetFormat(out.data(), 20));
    EXPECT_FALSE(wave.GetFormatBlock(out.data(), 20));
    EXPECT_EQ(out, Bytes(20, 0xCC));
    EXPECT_EQ(wave.Read(out.data(), 4), -1);
    EXPECT_EQ(wave.Seek(0, 0), -1);
    EXPECT_EQ(wave.Close(), TRUE);
    EXPECT_EQ(wave.Close(), TRUE);

    Bytes image = SimpleImage(Pattern(8));
    ASSERT_TRUE(wave.OpenMem(image.data(), (DWORD)image.size()));
    EXPECT_EQ(wave.Read(NULL, 4), -1);
    // The second Close must not hand the stale handle to the platform again,
    // which would report an error.
    EXPECT_EQ(wave.Close(), TRUE);
    EXPECT_EQ(wave.Close(), TRUE);
    EXPECT_EQ(wave.GetDataSize(), 0xFFFFFFFFu);
    EXPECT_EQ(wave.GetFormatSize(), 0u);
    EXPECT_FALSE(wave.GetFormat(out.data(), 20));
    EXPECT_EQ(wave.Read(out.data(), 4), -1);
    EXPECT_EQ(wave.Seek(0, 2), -1);
}

TEST(WaveReader, GetFormatNeedsEighteenBytes)
{
    Bytes image = SimpleImage(Pattern(8));
    CWaveFile wave;
    ASSERT_TRUE(wave.OpenMem(image.data(), (DWORD)image.size()));
    Bytes out(24, 0xCC);
    EXPECT_FALSE(wave.GetFormat(out.data(), 17));
    EXPECT_EQ(out, Bytes(24, 0xCC));
    EXPECT_FALSE(wave.GetFormat(NULL, 18));
    ASSERT_TRUE(wave.GetFormat(out.data(), 18));
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 18), riff::Concat(kMono16.Header16(), Bytes(2, 0)));
    EXPECT_EQ(Bytes(out.begin() + 18, out.end()), Bytes(6, 0xCC));
    ASSERT_TRUE(wave.GetFormat(out.data(), 24));
    EXPECT_EQ(Bytes(out.begin() + 18, out.end()), Bytes(6, 0));
}

TEST(WaveReader, OpenRefusalsKeepTheState)
{
    Bytes first = SimpleImage(Pattern(8, 1));
    Bytes second = SimpleImage(Pattern(8, 100));
    TempFile file(second);
    CWaveFile wave;

    EXPECT_FALSE(wave.Open(NULL));
    EXPECT_FALSE(wave.Open(""));
    EXPECT_EQ(wave.GetDataSize(), 0xFFFFFFFFu);

    ASSERT_TRUE(wave.OpenMem(first.data(), (DWORD)first.size()));
    EXPECT_FALSE(wave.Open(NULL));
    EXPECT_FALSE(wave.Open(""));
    EXPECT_FALSE(wave.Open(file.Path()));
    EXPECT_FALSE(wave.OpenMem(second.data(), (DWORD)second.size()));
    EXPECT_EQ(wave.GetDataSize(), 8u);
    EXPECT_EQ(ReadAll(wave, 100), Pattern(8, 1));
}

// A path the application cannot itself read is refused before the reader
// touches it; an image as soon as a part that is read cannot be, and only
// then.
TEST(WaveReader, UnreadablePathsAndImagesAreRefused)
{
    // A wave that fills the first page | a name without its zero | blocked
    CGuardedPages pages(3);
    const SIZE_T page = CGuardedPages::PageSize();
    ASSERT_NE(pages.Page(0), nullptr);
    Bytes image = SimpleImage(Pattern(page - kSimpleDataStart));
    ASSERT_EQ(image.size(), page);
    memcpy(pages.Page(0), image.data(), page);
    memset(pages.Page(1), 'x', page);
    ASSERT_TRUE(pages.Block(2));
    LPBYTE waveStart = pages.Page(0);
    LPBYTE lastPage = pages.Page(1);
    LPBYTE blocked = pages.Page(2);
    // The first bytes of a wave at the end of a page, the next page blocked:
    // the headers and 16 bytes of data, or the RIFF header alone.
    const Bytes runsOn = SimpleImage(Pattern(100));
    CGuardedPages dataPages(2), headerPages(2);
    ASSERT_NE(dataPages.Page(0), nullptr);
    ASSERT_NE(headerPages.Page(0), nullptr);
    LPBYTE runsOnStart = dataPages.Page(1) - 60;
    memcpy(runsOnStart, runsOn.data(), 60);
    LPBYTE headerOnly = headerPages.Page(1) - 12;
    memcpy(headerOnly, runsOn.data(), 12);
    ASSERT_TRUE(dataPages.Block(1));
    ASSERT_TRUE(headerPages.Block(1));

    CWaveFile wave;
    // Readable as far as it is read: what lies beyond does not matter.
    ASSERT_TRUE(wave.OpenMem(waveStart, (DWORD)(3 * page)));
    EXPECT_EQ(ReadAll(wave, (DWORD)page).size(), page - kSimpleDataStart);
    wave.Close();
    ASSERT_TRUE(wave.OpenMem(runsOnStart, (DWORD)runsOn.size()));  // the headers are readable
    EXPECT_EQ(ReadAll(wave, 100).size(), 0u);  // the data is not: -1
    wave.Close();
    struct {
        const char *what;
        std::function<BOOL(CWaveFile &)> open;
        const char *line;
    } const rows[] = {
        {"path at 16", [](CWaveFile &w) { return w.Open(reinterpret_cast<LPCSTR>(16)); }, ""},
        {"path on a blocked page", [&](CWaveFile &w) { return w.Open(reinterpret_cast<LPCSTR>(blocked)); }, ""},
        {"path that runs into a blocked page",
         [&](CWaveFile &w) { return w.Open(reinterpret_cast<LPCSTR>(lastPage)); }, ""},
        {"image at 16", [](CWaveFile &w) { return w.OpenMem(reinterpret_cast<LPVOID>(16), 64); },
         "dudidadu: cannot open a memory image: its bytes from offset 0 to 11 cannot all be read\n"},
        {"image on a blocked page", [&](CWaveFile &w) { return w.OpenMem(blocked, 64); },
         "dudidadu: cannot open a memory image: its bytes from offset 0 to 11 cannot all be read\n"},
        {"a chunk header on a blocked page", [&](CWaveFile &w) { return w.OpenMem(headerOnly, 200); },
         "dudidadu: cannot open a memory image: its bytes from offset 12 to 23 cannot all be read\n"},
    };
    diag::CapturedLog log;
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        wave.SetName("kept");
        CFailureReason call;
        EXPECT_FALSE(row.open(wave));
        EXPECT_EQ(CFailureReason::Noted(), (DWORD)ERROR_NOACCESS);
        EXPECT_EQ(log.Take(), row.line);
        EXPECT_EQ(wave.GetDataSize(), 0xFFFFFFFFu);
        EXPECT_EQ(wave.GetFormatSize(), 0u);
        // A path is refused before the open; an image fails in it, which
        // leaves no name, as every failed open does.
        EXPECT_STREQ(wave.GetName(), row.line[0] == '\0' ? "kept" : "");
    }
    // The data, read as a sound reads it.
    ASSERT_TRUE(wave.OpenMem(runsOnStart, (DWORD)runsOn.size()));
    Bytes data(100);
    CFailureReason call;
    EXPECT_EQ(wave.Read(data.data(), 100), -1);
    EXPECT_EQ(CFailureReason::Noted(), (DWORD)ERROR_NOACCESS);
    EXPECT_EQ(log.Take(), "dudidadu: cannot open a memory image: its bytes from offset 44 to 143 cannot all be read\n");
}

TEST(WaveReader, KeepsTheNameOfTheLastSuccessfulOpen)
{
    TempFile file(SimpleImage(Pattern(8)));
    CWaveFile wave;
    EXPECT_STREQ(wave.GetName(), "");
    ASSERT_TRUE(wave.Open(file.Path()));
    EXPECT_STREQ(wave.GetName(), file.Path());
    wave.Close();
    EXPECT_STREQ(wave.GetName(), file.Path());

    std::string missing = std::string(file.Path()) + ".missing";
    EXPECT_FALSE(wave.Open(missing.c_str()));
    EXPECT_STREQ(wave.GetName(), "");

    Bytes image = SimpleImage(Pattern(8));
    ASSERT_TRUE(wave.Open(file.Path()));
    wave.Close();
    ASSERT_TRUE(wave.OpenMem(image.data(), (DWORD)image.size()));
    EXPECT_STREQ(wave.GetName(), "");
    wave.SetName("kept");
    EXPECT_STREQ(wave.GetName(), "kept");
}

// Sounds load on the threads of their callers: readers on several threads at
// once, each with its own image and handle.
TEST(WaveReader, ReadersOnSeveralThreads)
{
    std::vector<std::thread> threads;
    std::atomic<int> good(0);
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([t, &good] {
            Bytes data = Pattern(64 + t, (uint8_t)t);
            Bytes image = SimpleImage(data);
            for (int i = 0; i < 200; i++) {
                CWaveFile wave;
                if (wave.OpenMem(image.data(), (DWORD)image.size()) && ReadAll(wave, 100) == data &&
                    wave.Close())
                    good++;
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(good.load(), 800);
}

// ---- Files --------------------------------------------------------------------

TEST(WaveFileOnDisk, ReadsAToneFile)
{
    Bytes samples = riff::PcmTone(1000, 11025, 1, 8, 0.1, 0.5);
    TempFile file(RiffWriter()
                      .List("INFO", Bytes(7, 'i'))
                      .Fmt(riff::PcmFormat(11025, 1, 8))
                      .Data(samples)
                      .Chunk("id3 ", Bytes(9, 0))
                      .Build());
    CWaveFile wave;
    ASSERT_TRUE(wave.Open(file.Path()));
    Bytes wfx(18);
    ASSERT_TRUE(wave.GetFormat(wfx.data(), 18));
    EXPECT_EQ(wfx, riff::PcmFormat(11025, 1, 8).Full());
    EXPECT_EQ(wave.GetDataSize(), samples.size());
    EXPECT_EQ(ReadAll(wave, 100000), samples);
    uint8_t byte = 0;
    EXPECT_EQ(wave.Read(&byte, 1), 0);
    EXPECT_EQ(wave.Read(&byte, 1), 1);
    EXPECT_EQ(byte, samples[0]);

    // A file can be positioned past its end; the reader still refuses.
    EXPECT_EQ(wave.Seek(-100000, 2), -1);
    EXPECT_EQ(wave.Read(&byte, 1), 0);
    EXPECT_EQ(wave.Read(&byte, 1), 1);
    EXPECT_EQ(byte, samples[0]);
    EXPECT_EQ(wave.Close(), TRUE);
}

TEST(WaveFileOnDisk, RefusesWhatIsNoWaveFile)
{
    CWaveFile wave;
    TempFile nothing{Bytes()};
    EXPECT_FALSE(wave.Open(nothing.Path()));
    // A chunk claiming more than the file: the search runs off its end.
    TempFile lyingJunk(RiffWriter().ChunkAs("junk", 100000, Bytes(6, 0)).Fmt(kMono16).Data(Pattern(4)).Build());
    EXPECT_FALSE(wave.Open(lyingJunk.Path()));
    const std::string ogg = "OggS" + std::string(60, '\x7f');
    TempFile oggFile(Bytes(ogg.begin(), ogg.end()));

    // The platform's own reasons: what opening the file itself would give.
    std::string dir = std::filesystem::temp_directory_path().string();
    std::string missing = std::string(nothing.Path()) + ".missing";
    struct Refusal {
        std::string path;
        DWORD reasons[2];  // either
        const char *line;
    };
    std::vector<Refusal> refused = {
        {dir, {ERROR_DIRECTORY_NOT_SUPPORTED, ERROR_ACCESS_DENIED}, ""},
        {missing, {ERROR_FILE_NOT_FOUND, ERROR_FILE_NOT_FOUND}, "no such file"},
        {oggFile.Path(), {ERROR_BAD_FORMAT, ERROR_BAD_FORMAT}, "not a RIFF/WAVE file"},
    };
#if !defined(_WIN32)
    // What is no regular file is not opened at all: a FIFO without a writer
    // would hang the open, a device may act on it.
    const std::string fifo = std::string(nothing.Path()) + ".fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    refused.push_back({fifo, {ERROR_BAD_FILE_TYPE, ERROR_BAD_FILE_TYPE}, "not a regular file"});
    refused.push_back({"/dev/zero", {ERROR_BAD_FILE_TYPE, ERROR_BAD_FILE_TYPE}, "not a regular file"});
    refused.push_back({"/proc/self/exe", {ERROR_BAD_FORMAT, ERROR_BAD_FORMAT}, "not a RIFF/WAVE file"});
#endif
    diag::CapturedLog log;
    for (const auto &file : refused) {
        CFailureReason call;
        EXPECT_FALSE(wave.Open(file.path.c_str()));
        const DWORD noted = CFailureReason::Noted();
        EXPECT_TRUE(noted == file.reasons[0] || noted == file.reasons[1]) << file.path << ": " << noted;
        EXPECT_NE(log.Take().find(file.line), std::string::npos) << file.path;
    }
    EXPECT_EQ(wave.GetDataSize(), 0xFFFFFFFFu);
#if !defined(_WIN32)
    unlink(fifo.c_str());
    // With no descriptor left the reason is that, whatever the file.
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    struct rlimit none = {0, saved.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
    CFailureReason call;
    const BOOL opened = wave.Open(lyingJunk.Path());
    const DWORD noted = CFailureReason::Noted();
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_FALSE(opened);
    EXPECT_EQ(noted, (DWORD)ERROR_TOO_MANY_OPEN_FILES);
    EXPECT_NE(log.Take().find("the process has no file descriptor left"), std::string::npos);
#endif
}

TEST(WaveFileOnDisk, CutFilesGiveShortReads)
{
    RiffWriter writer;
    writer.Fmt(kMono16).Data(Pattern(30));
    for (size_t length : {20, 40, 43, 44, 45, 60}) {
        TempFile file(writer.BuildTruncated(length));
        CWaveFile wave;
        BOOL opened = wave.Open(file.Path());
        EXPECT_EQ(opened, length >= 44 ? TRUE : FALSE) << length;
        if (opened) {
            Bytes data = Pattern(30);
            EXPECT_EQ(ReadAll(wave, 30), Bytes(data.begin(), data.begin() + (length - 44)));
        }
    }
}

// ---- The multimedia file I/O beneath ------------------------------------------

TEST(MmioMemory, SeekAndReadStayInsideTheImage)
{
    Bytes image = Pattern(100, 0);
    HMMIO h = OpenImage(image);
    ASSERT_NE(h, (HMMIO)NULL);
    // SEEK_END counts back from the end.
    EXPECT_EQ(mmioSeek(h, 0, SEEK_END), 100);
    EXPECT_EQ(mmioSeek(h, 10, SEEK_END), 90);
    EXPECT_EQ(mmioSeek(h, -10, SEEK_END), -1);
    EXPECT_EQ(Pos(h), 90);
    EXPECT_EQ(mmioSeek(h, 100, SEEK_END), 0);
    EXPECT_EQ(mmioSeek(h, 100, SEEK_SET), 100);
    EXPECT_EQ(mmioSeek(h, 101, SEEK_SET), -1);
    EXPECT_EQ(mmioSeek(h, -1, SEEK_SET), -1);
    EXPECT_EQ(Pos(h), 100);
    EXPECT_EQ(mmioSeek(h, 50, SEEK_SET), 50);
    EXPECT_EQ(mmioSeek(h, 51, SEEK_CUR), -1);
    EXPECT_EQ(mmioSeek(h, -51, SEEK_CUR), -1);
    EXPECT_EQ(mmioSeek(h, 0, 3), -1);
    EXPECT_EQ(Pos(h), 50);

    char buf[32];
    EXPECT_EQ(mmioSeek(h, 90, SEEK_SET), 90);
    EXPECT_EQ(mmioRead(h, buf, 20), 10);
    EXPECT_EQ(Bytes(buf, buf + 10), Bytes(image.begin() + 90, image.end()));
    EXPECT_EQ(mmioRead(h, buf, 20), 0);
    EXPECT_EQ(mmioRead(h, buf, 0), 0);
    EXPECT_EQ(Pos(h), 100);

    EXPECT_EQ(mmioClose(h, 0), (MMRESULT)MMSYSERR_NOERROR);
    EXPECT_EQ(mmioClose(h, 0), (MMRESULT)MMSYSERR_INVALHANDLE);
    EXPECT_EQ(mmioRead(h, buf, 4), -1);
}

TEST(MmioDescend, FindsChunksAndLandsOnTheirContents)
{
    Bytes image = SimpleImage(Pattern(8));  // fmt header at 12, data header at 36
    HMMIO h = OpenImage(image);
    ASSERT_NE(h, (HMMIO)NULL);

    MMCKINFO riffCk;
    memset(&riffCk, 0, sizeof(riffCk));
    riffCk.fccType = mmioFOURCC('W', 'A', 'V', 'E');
    ASSERT_EQ(mmioDescend(h, &riffCk, NULL, MMIO_FINDRIFF), (MMRESULT)MMSYSERR_NOERROR);
    EXPECT_EQ(riffCk.ckid, (FOURCC)FOURCC_RIFF);
    EXPECT_EQ(riffCk.cksize, image.size() - 8);
    EXPECT_EQ(riffCk.dwDataOffset, 8u);
    EXPECT_EQ(Pos(h), 12);

    MMCKINFO ck;
    memset(&ck, 0, sizeof(ck));
    ck.ckid = mmioFOURCC('d', 'a', 't', 'a');
    ck.fccType = 0x12345678;
    ck.dwFlags = 77;
    ASSERT_EQ(mmioDescend(h, &ck, &riffCk, MMIO_FINDCHUNK), (MMRESULT)MMSYSERR_NOERROR);
    EXPECT_EQ(ck.cksize, 8u);
    EXPECT_EQ(ck.dwDataOffset, 44u);
    EXPECT_EQ(ck.fccType, 0u);
    EXPECT_EQ(ck.dwFlags, 0u);
    EXPECT_EQ(Pos(h), 44);

    // A zero id matches the first chunk.
    EXPECT_EQ(mmioSeek(h, 12, SEEK_SET), 12);
    memset(&ck, 0, sizeof(ck));
    ASSERT_EQ(mmioDescend(h, &ck, &riffCk, MMIO_FINDCHUNK), (MMRESULT)MMSYSERR_NOERROR);
    EXPECT_EQ(ck.ckid, mmioFOURCC('f', 'm', 't', ' '));
    EXPECT_EQ(Pos(h), 20);

    // Looking for "RIFF" as a chunk lands after its form type as well.
    EXPECT_EQ(mmioSeek(h, 0, SEEK_SET), 0);
    memset(&ck, 0, sizeof(ck));
    ck.ckid = FOURCC_RIFF;
    ASSERT_EQ(mmioDescend(h, &ck, NULL, MMIO_FINDCHUNK), (MMRESULT)MMSYSERR_NOERROR);
    EXPECT_EQ(ck.fccType, mmioFOURCC('W', 'A', 'V', 'E'));
    EXPECT_EQ(Pos(h), 12);

    EXPECT_EQ(mmioSeek(h, 12, SEEK_SET), 12);
    memset(&ck, 0, sizeof(ck));
    ck.ckid = mmioFOURCC('n', 'o', 'n', 'e');
    EXPECT_EQ(mmioDescend(h, &ck, &riffCk, MMIO_FINDCHUNK), (MMRESULT)MMIOERR_CHUNKNOTFOUND);

    // The search must start inside the parent.
    for (LONG outside : {(LONG)4, (LONG)image.size()}) {
        EXPECT_EQ(mmioSeek(h, outside, SEEK_SET), outside);
        memset(&ck, 0, sizeof(ck));
        EXPECT_EQ(mmioDescend(h, &ck, &riffCk, MMIO_FINDCHUNK), (MMRESULT)MMIOERR_CHUNKNOTFOUND);
        EXPECT_EQ(Pos(h), outside);
    }
    EXPECT_EQ(mmioClose(h, 0), (MMRESULT)MMSYSERR_NOERROR);
}

TEST(MmioDescend, NeedsEightBytesOfHeader)
{
    Bytes image = SimpleImage(Pattern(8));
    HMMIO h = OpenImage(image);
    ASSERT_NE(h, (HMMIO)NULL);
    MMCKINFO ck;
    LONG end = (LONG)image.size();

    EXPECT_EQ(mmioSeek(h, end - 7, SEEK_SET), end - 7);
    memset(&ck, 0, sizeof(ck));
    EXPECT_EQ(mmioDescend(h, &ck, NULL, 0), (MMRESULT)MMIOERR_CHUNKNOTFOUND);

    EXPECT_EQ(mmioSeek(h, end - 8, SEEK_SET), end - 8);
    memset(&ck, 0, sizeof(ck));
    ASSERT_EQ(mmioDescend(h, &ck, NULL, 0), (MMRESULT)MMSYSERR_NOERROR);
    EXPECT_EQ(ck.dwDataOffset, (DWORD)end);
    EXPECT_EQ(Pos(h), end);
    EXPECT_EQ(mmioClose(h, 0), (MMRESULT)MMSYSERR_NOERROR);
}

TEST(MmioAscend, SkipsThePadByteAndStaysInsideTheImage)
{
    Bytes image = RiffWriter().Chunk("odd ", Bytes(5, 1)).Data(Pattern(4)).Build();
    HMMIO h = OpenImage(image);
    ASSERT_NE(h, (HMMIO)NULL);
    EXPECT_EQ(mmioSeek(h, 12, SEEK_SET), 12);
    MMCKINFO ck;
    memset(&ck, 0, sizeof(ck));
    ASSERT_EQ(mmioDescend(h, &ck, NULL, 0), (MMRESULT)MMSYSERR_NOERROR);
    EXPECT_EQ(ck.cksize, 5u);
    EXPECT_EQ(mmioAscend(h, &ck, 0), (MMRESULT)MMSYSERR_NOERROR);
    EXPECT_EQ(Pos(h), 12 + 8 + 6);

    // An end past the image: 0, and the position stays.
    EXPECT_EQ(mmioSeek(h, 22, SEEK_SET), 22);
    ck.cksize = 1000;
    EXPECT_EQ(mmioAscend(h, &ck, 0), (MMRESULT)MMSYSERR_NOERROR);
    EXPECT_EQ(Pos(h), 22);
    EXPECT_EQ(mmioClose(h, 0), (MMRESULT)MMSYSERR_NOERROR);
}

TEST(MmioFile, SeeksPastTheEndButNotBeforeTheStart)
{
    Bytes image = Pattern(52, 0);
    TempFile file(image);
    HMMIO h = mmioOpenA(const_cast<LPSTR>(file.Path()), NULL, MMIO_READ);
    ASSERT_NE(h, (HMMIO)NULL);
    EXPECT_EQ(mmioSeek(h, 0, SEEK_END), 52);
    EXPECT_EQ(mmioSeek(h, 10, SEEK_END), 42);
    EXPECT_EQ(mmioSeek(h, -10, SEEK_END), 62);
    char buf[32];
    EXPECT_EQ(mmioRead(h, buf, 4), 0);
    EXPECT_EQ(mmioSeek(h, -1, SEEK_SET), -1);
    EXPECT_EQ(mmioSeek(h, 0, 3), -1);
    EXPECT_EQ(Pos(h), 62);
    EXPECT_EQ(mmioSeek(h, 40, SEEK_SET), 40);
    EXPECT_EQ(mmioRead(h, buf, 20), 12);
    EXPECT_EQ(Bytes(buf, buf + 12), Bytes(image.begin() + 40, image.end()));
    EXPECT_EQ(mmioClose(h, 0), (MMRESULT)MMSYSERR_NOERROR);

    std::string missing = std::string(file.Path()) + ".missing";
    EXPECT_EQ(mmioOpenA(const_cast<LPSTR>(missing.c_str()), NULL, MMIO_READ), (HMMIO)NULL);
}
