// Citrix: the WFAPI of the VDA, loaded by its full path from the system
// folder only (a library of that name anywhere else, beside the program or
// on the search path, is never loaded).
#include <cstdint>
#include <vector>

#include "platform/CallingConvention.h"
#include "platform/Library.h"
#include "platform/Session.h"
#include "server/KestavChannel.h"
#include "server/LoopProtocol.h"
#include "server/Transport.h"

namespace kestav {
namespace detail {

namespace {

const char* const kWfapiFile = sizeof(void*) == 8 ? "wfapi64.dll" : "wfapi.dll";
void* const kCurrentServer = nullptr;               // WF_CURRENT_SERVER_HANDLE
constexpr std::uint32_t kCurrentSession = 0xFFFFFFFF;  // WF_CURRENT_SESSION
constexpr std::uint32_t kBufferSize = 64 * 1024;    // holds any packet the engine sends

using OpenProc = void*(KST_STDCALL*)(void*, std::uint32_t, char*);
using CloseProc = int(KST_STDCALL*)(void*);
using ReadProc = int(KST_STDCALL*)(void*, std::uint32_t, char*, std::uint32_t, std::uint32_t*);
using WriteProc = int(KST_STDCALL*)(void*, char*, std::uint32_t, std::uint32_t*);
using PurgeProc = int(KST_STDCALL*)(void*);

template <typename Proc>
Proc Find(platform::LibraryHandle library, const char* name) {
    return reinterpret_cast<Proc>(reinterpret_cast<std::uintptr_t>(platform::FindSymbol(library, name)));
}

bool IsTimeout(std::uint32_t error) {
    return error == 121 /* ERROR_SEM_TIMEOUT */ || error == 258 /* WAIT_TIMEOUT */ ||
           error == 1460 /* ERROR_TIMEOUT */ || error == 996 /* ERROR_IO_INCOMPLETE */;
}

class CitrixTransport final : public Transport {
public:
    ~CitrixTransport() override {
        if (close_ != nullptr) {
            if (command_ != nullptr) close_(command_);
            if (data_ != nullptr) close_(data_);
        }
        if (library_ != nullptr) platform::CloseLibrary(library_);
    }
    const char* Name() const override { return "Citrix"; }

    int Open(std::string* error) {
        const std::string path = platform::SystemLibraryPath(kWfapiFile);
        library_ = path.empty() ? nullptr : platform::OpenLibrary(path);
        if (library_ == nullptr) {
            *error = std::string("the Citrix server API (") + kWfapiFile +
                     ") is not in the system folder: is this a Citrix VDA?";
            return KESTAV_NO_TRANSPORT;
        }
        open_ = Find<OpenProc>(library_, "WFVirtualChannelOpen");
        close_ = Find<CloseProc>(library_, "WFVirtualChannelClose");
        read_ = Find<ReadProc>(library_, "WFVirtualChannelRead");
        write_ = Find<WriteProc>(library_, "WFVirtualChannelWrite");
        purge_ = Find<PurgeProc>(library_, "WFVirtualChannelPurgeInput");
        if (!open_ || !close_ || !read_ || !write_ || !purge_) {
            *error = path + " lacks the virtual channel functions";
            return KESTAV_NO_TRANSPORT;
        }
        for (auto [name, handle] : {std::make_pair(loop::ChannelName(loop::Channel::Command), &command_),
                                    std::make_pair(loop::ChannelName(loop::Channel::Data), &data_)}) {
            std::string padded = name;  // seven characters, NUL
            *handle = open_(kCurrentServer, kCurrentSession, &padded[0]);
            if (*handle == nullptr) {
                const std::uint32_t code = platform::LastSystemError();
                if (platform::SessionProtocol() != 1) {
                    *error = "this program does not run in a Citrix session (WFVirtualChannelOpen(" +
                             padded + ") failed with error " + std::to_string(code) + ")";
                    return KESTAV_NO_SESSION;
                }
                *error = "the channel " + padded + " cannot be opened (error " + std::to_string(code) +
                         "): the VDA's Virtual channel allow list must name KstCmd1 and KstDta1 with "
                         "this program's path, and the client must have the Kestav module";
                return KESTAV_CHANNEL_BLOCKED;
            }
        }
        buffer_.resize(kBufferSize);
        return KESTAV_OK;
    }

    int Write(const std::string& command, std::string* error) override {
        std::string bytes = command;
        std::uint32_t written = 0;
        if (write_(command_, bytes.empty() ? nullptr : &bytes[0], std::uint32_t(bytes.size()), &written) &&
            written == bytes.size())
            return KESTAV_OK;
        *error = "WFVirtualChannelWrite failed (error " + std::to_string(platform::LastSystemError()) + ")";
        return KESTAV_WRITE_REFUSED;
    }

    int Read(std::uint32_t timeoutMs, std::string* response, std::string* error) override {
        std::uint32_t read = 0;
        if (read_(data_, timeoutMs, buffer_.data(), std::uint32_t(buffer_.size()), &read)) {
            response->assign(buffer_.data(), read);
            return KESTAV_OK;
        }
        const std::uint32_t code = platform::LastSystemError();
        if (IsTimeout(code)) return KESTAV_TIMEOUT;
        *error = "WFVirtualChannelRead failed (error " + std::to_string(code) + "): the session ended?";
        return KESTAV_DISCONNECTED;
    }

    // One packet a read, and the engine's purge is one call: nothing here waits.
    int Purge(std::uint32_t, std::string*) override {
        (void)purge_(data_);
        return KESTAV_OK;
    }

private:
    platform::LibraryHandle library_ = nullptr;
    OpenProc open_ = nullptr;
    CloseProc close_ = nullptr;
    ReadProc read_ = nullptr;
    WriteProc write_ = nullptr;
    PurgeProc purge_ = nullptr;
    void* command_ = nullptr;
    void* data_ = nullptr;
    std::vector<char> buffer_;
};

}  // namespace

std::unique_ptr<Transport> OpenCitrix(int* status, std::string* error) {
    auto transport = std::make_unique<CitrixTransport>();
    *status = transport->Open(error);
    if (*status != KESTAV_OK) return nullptr;
    return transport;
}

}  // namespace detail
}  // namespace kestav
