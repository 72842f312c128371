#include "platform/CThreadCancel.h"

#if defined(__GNUC__)
#include <cxxabi.h>
#endif
#if !defined(_WIN32)
#include <pthread.h>
#endif

CThreadCancel::CThreadCancel() : m_nPrevious(0)
{
#if !defined(_WIN32)
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &m_nPrevious);
#endif
}

CThreadCancel::~CThreadCancel()
{
#if !defined(_WIN32)
    pthread_setcancelstate(m_nPrevious, nullptr);
#endif
}

void CThreadCancel::PassOn()
{
#if defined(__GNUC__)
    try {
        throw;
    } catch (abi::__forced_unwind &) {
        throw;
    } catch (...) {
    }
#endif
}
