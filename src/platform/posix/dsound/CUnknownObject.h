// The IUnknown part that every object of our DirectSound shares: one
// interface besides IUnknown and a reference count that starts at one. What
// happens when the last reference goes is each object's own affair.
#pragma once

#include <string.h>

#include <atomic>

#include "platform/winapi.h"

template <class Interface, const IID &kInterfaceId>
class CUnknownObject : public Interface {
public:
    HRESULT QueryInterface(REFIID riid, void **ppv) override
    {
        if (ppv == nullptr)
            return E_POINTER;
        if (memcmp(&riid, &IID_IUnknown, sizeof(IID)) == 0 ||
            memcmp(&riid, &kInterfaceId, sizeof(IID)) == 0) {
            AddRef();
            *ppv = static_cast<Interface *>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }

    ULONG AddRef() override
    {
        return ++m_lRefs;
    }

    ULONG Release() override
    {
        const ULONG refs = --m_lRefs;
        if (refs == 0)
            _last_release();
        return refs;
    }

    // AddRef unless the last reference is already gone: for an owner that
    // keeps a plain pointer to the object and hands it out again.
    bool TryAddRef()
    {
        ULONG refs = m_lRefs.load();
        while (refs != 0) {
            if (m_lRefs.compare_exchange_weak(refs, refs + 1))
                return true;
        }
        return false;
    }

protected:
    CUnknownObject() : m_lRefs(1) {}
    ~CUnknownObject() = default;

    // Called once, by the Release that took the count to zero.
    virtual void _last_release() = 0;

private:
    std::atomic<ULONG> m_lRefs;
};
