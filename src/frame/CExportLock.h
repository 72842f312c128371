// Holds the registry's export lock for one export's run: shared for the calls
// that use a device or sound, exclusive for those that add or remove one.
// Released on every way out, exceptions included.
#pragma once

#include "frame/CDSoundManager.h"

class CExportLock {
public:
    CExportLock(CDSoundManager &manager, BOOL exclusive);
    ~CExportLock();

private:
    CExportLock(const CExportLock &) = delete;
    CExportLock &operator=(const CExportLock &) = delete;

    CDSoundManager &m_rManager;
    BOOL m_bExclusive;
};
