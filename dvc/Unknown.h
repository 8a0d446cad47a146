// IUnknown's QueryInterface for an object of one COM interface: it answers
// for IUnknown and that interface, and counts the reference it hands out.
// How references are counted and who deletes the object is the object's.
#pragma once

#include <windows.h>
#include <unknwn.h>

namespace dvc {

template <typename Interface>
class SingleInterface : public Interface {
public:
    virtual ~SingleInterface() = default;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (object == nullptr) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, __uuidof(Interface))) {
            *object = static_cast<Interface*>(this);
            this->AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
};

}  // namespace dvc
