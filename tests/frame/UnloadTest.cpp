// The end of the process with devices and sounds still registered: the
// registry's static destruction tears them down, and nothing may go wrong
// on the way out.
#include "dudidadu.h"

#include "fake_dsound.h"
#include "support/RiffWriter.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

namespace {

void RegisterAndExit()
{
    const riff::Bytes image = riff::ToneImage(440, 22050, 2, 16, 0.02, 0.5);
    for (int d = 0; d < 3; ++d) {
        LPVOID device =
            DSoundInitialize(reinterpret_cast<HWND>(static_cast<uintptr_t>(0x7000 + 16 * d)), nullptr);
        if (!device)
            std::_Exit(3);
        for (int s = 0; s < 4; ++s) {
            LPVOID sound = DSoundOpenMem(device, const_cast<uint8_t *>(image.data()),
                                         static_cast<DWORD>(image.size()));
            if (!sound)
                std::_Exit(4);
            if (s % 2)
                DSoundPlay(sound, TRUE);
        }
    }
    std::fflush(nullptr);
    std::exit(0);
}

TEST(Unload, ExitWithDevicesAndPlayingSoundsStillRegisteredIsClean)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(RegisterAndExit(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
