// Reference counting and QueryInterface for in-process implementations of coreaudio.h's
// interfaces (the Linux back end, and scripted endpoints in tests on both systems).
#pragma once

#include <atomic>

#include "platform/coreaudio.h"

namespace vesk_platform {

// One interface per object: QueryInterface answers IID_IUnknown and `iid`.
template <typename Interface>
class ComObject : public Interface {
  public:
    explicit ComObject(const IID& iid) : m_iid(iid) {}
    virtual ~ComObject() = default;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        if (IsEqualGUID(riid, m_iid) || IsEqualGUID(riid, IID_IUnknown)) {
            AddRef();
            *ppv = static_cast<Interface*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_references; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --m_references;
        if (left == 0) {
            delete this;
        }
        return left;
    }

  private:
    const IID& m_iid;
    std::atomic<ULONG> m_references{1};
};

}  // namespace vesk_platform
