// KestavClientDriverDVC.dll: the instrument for Remote Desktop sessions (Azure
// Virtual Desktop, Windows 365, RDS, and other clients that load RDP
// plug-ins). The client calls VirtualChannelGetInstance for the plug-in
// object; the plug-in listens for the dynamic channels KstCmd1 and KstDta1,
// hands each message to VirtualChannelRemoteDesktop, and answers through the channel's
// Write. Callbacks may come on any thread and never wait for an instrument.
// Every reference taken is released: the channels at OnClose (or when the
// callback goes), the listeners and the manager at Terminated.
#include <windows.h>
#include <tsvirtualchannels.h>

#include <atomic>
#include <cstring>
#include <new>
#include <string>

#include "diag/LogFile.h"
#include "dvc/Unknown.h"
#include "relay/VirtualChannelRemoteDesktop.h"

namespace {

using relay::rd::Channel;
using relay::rd::GetVirtualChannelRemoteDesktop;
using relay::rd::Kind;

// Runs a body the client calls; no exception crosses into the client.
template <typename Body>
HRESULT Guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

// IUnknown for one interface, counted.
template <typename Interface>
class Counted : public dvc::SingleInterface<Interface> {
public:
    ULONG STDMETHODCALLTYPE AddRef() override { return ULONG(++references_); }
    ULONG STDMETHODCALLTYPE Release() override {
        const long left = --references_;
        if (left == 0) delete this;
        return ULONG(left);
    }

private:
    std::atomic<long> references_{1};
};

class ChannelCallback final : public Counted<IWTSVirtualChannelCallback> {
public:
    // The reference on the channel is taken last, so that a constructor
    // that throws leaves none behind.
    ChannelCallback(Channel which, IWTSVirtualChannel* channel) : which_(which), channel_(channel) {
        token_ = GetVirtualChannelRemoteDesktop().ChannelOpened(
            which_,
            [channel](const std::string& bytes) {
                // Write copies the bytes and returns at once.
                return SUCCEEDED(channel->Write(ULONG(bytes.size()),
                                                reinterpret_cast<BYTE*>(const_cast<char*>(bytes.data())), nullptr));
            },
            Kind::Dynamic);
        channel_->AddRef();
    }
    ~ChannelCallback() override { Close(); }

    // The buffer is the client's for this call only: copied here.
    HRESULT STDMETHODCALLTYPE OnDataReceived(ULONG size, BYTE* buffer) override {
        return Guarded([&] {
            GetVirtualChannelRemoteDesktop().Receive(
                which_, std::string(reinterpret_cast<const char*>(buffer), buffer != nullptr ? size : 0),
                Kind::Dynamic);
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE OnClose() override {
        Close();
        return S_OK;
    }

private:
    void Close() noexcept {
        if (channel_ == nullptr) return;
        (void)Guarded([this] {
            // No write reaches the channel after this.
            GetVirtualChannelRemoteDesktop().ChannelClosed(which_, token_, Kind::Dynamic);
            return S_OK;
        });
        channel_->Release();
        channel_ = nullptr;
    }

    Channel which_;
    IWTSVirtualChannel* channel_;
    std::uint64_t token_ = 0;
};

class ListenerCallback final : public Counted<IWTSListenerCallback> {
public:
    explicit ListenerCallback(Channel which) : which_(which) {}
    HRESULT STDMETHODCALLTYPE OnNewChannelConnection(IWTSVirtualChannel* channel, BSTR, WINBOOL* accept,
                                                     IWTSVirtualChannelCallback** callback) override {
        if (channel == nullptr || accept == nullptr || callback == nullptr) return E_INVALIDARG;
        return Guarded([&] {
            *callback = new ChannelCallback(which_, channel);  // the client's reference
            *accept = TRUE;
            return S_OK;
        });
    }

private:
    Channel which_;
};

class Plugin final : public Counted<IWTSPlugin> {
public:
    ~Plugin() override { ReleaseListeners(); }

    HRESULT STDMETHODCALLTYPE Initialize(IWTSVirtualChannelManager* manager) override {
        if (manager == nullptr) return E_INVALIDARG;
        return Guarded([&] { return Listen(manager); });
    }
    HRESULT STDMETHODCALLTYPE Connected() override {
        return Guarded([] {
            diag::LogLine("DVC: Connected");
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE Disconnected(DWORD code) override {
        return Guarded([code] {
            diag::LogLine("DVC: Disconnected (", std::to_string(code), ")");
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE Terminated() override {
        const HRESULT result = Guarded([] {
            GetVirtualChannelRemoteDesktop().Terminate(Kind::Dynamic);
            return S_OK;
        });
        ReleaseListeners();
        return result;
    }

private:
    HRESULT Listen(IWTSVirtualChannelManager* manager) {
        GetVirtualChannelRemoteDesktop().Open(Kind::Dynamic);
        for (const Channel which : {Channel::Command, Channel::Data}) {
            ListenerCallback*& callback = callbacks_[int(which)];
            callback = new (std::nothrow) ListenerCallback(which);
            if (callback == nullptr) return E_OUTOFMEMORY;
            const HRESULT result = manager->CreateListener(relay::rd::ChannelName(which), 0, callback,
                                                           &listeners_[int(which)]);
            if (FAILED(result)) {
                diag::LogDetail("DVC: No listener for \"", relay::rd::ChannelName(which), "\" (result ",
                                std::uint32_t(result), ")");
                return result;
            }
            diag::LogDetail("DVC: Listening on \"", relay::rd::ChannelName(which), "\"");
        }
        return S_OK;
    }

    void ReleaseListeners() {
        for (int i = 0; i < 2; ++i) {
            if (listeners_[i] != nullptr) listeners_[i]->Release();
            if (callbacks_[i] != nullptr) callbacks_[i]->Release();
            listeners_[i] = nullptr;
            callbacks_[i] = nullptr;
        }
    }

    IWTSListener* listeners_[2] = {nullptr, nullptr};
    ListenerCallback* callbacks_[2] = {nullptr, nullptr};
};

}  // namespace

// The plug-in's entry point (VCAPITYPE, exported by its plain name): with no
// array, how many plug-in objects there are (one); with one, that object.
extern "C" __declspec(dllexport) HRESULT __stdcall VirtualChannelGetInstance(REFIID riid, ULONG* count,
                                                                               VOID** objects) {
    if (!IsEqualIID(riid, IID_IWTSPlugin)) return E_NOINTERFACE;
    if (count == nullptr) return E_INVALIDARG;
    if (objects == nullptr) {
        *count = 1;
        return S_OK;
    }
    if (*count < 1) return E_INVALIDARG;
    Plugin* plugin = new (std::nothrow) Plugin();
    if (plugin == nullptr) return E_OUTOFMEMORY;
    objects[0] = static_cast<IWTSPlugin*>(plugin);  // the client's reference
    *count = 1;
    return S_OK;
}
