#include "frame/CExportLock.h"

CExportLock::CExportLock(CDSoundManager &manager, BOOL exclusive)
    : m_rManager(manager), m_bExclusive(exclusive)
{
    m_rManager.LockHandles(m_bExclusive);
}

CExportLock::~CExportLock()
{
    m_rManager.UnlockHandles(m_bExclusive);
}
