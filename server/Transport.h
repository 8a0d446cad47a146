// One way from the server-side program to the client's module: write a
// command, read whole responses. The client library's channel holds one.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace kestav {
namespace detail {

class Transport {
public:
    virtual ~Transport() = default;
    virtual const char* Name() const = 0;
    // One command into the command channel, taken whole or refused whole. A
    // KestavStatus; *error says why when it is not KESTAV_OK.
    virtual int Write(const std::string& command, std::string* error) = 0;
    // The next whole response from the data channel, within timeoutMs
    // whatever arrives: KESTAV_TIMEOUT (*error may say more),
    // KESTAV_RESPONSE_TOO_LONG (longer than any the module sends).
    virtual int Read(std::uint32_t timeoutMs, std::string* response, std::string* error) = 0;
    // Drops whatever has arrived and is not read yet: KESTAV_OK, or
    // KESTAV_TIMEOUT (with *error) when data kept coming for timeoutMs.
    virtual int Purge(std::uint32_t timeoutMs, std::string* error) = 0;
};

// Each sets *status (a KestavStatus) and *error when it returns null.
std::unique_ptr<Transport> OpenCitrix(int* status, std::string* error);
std::unique_ptr<Transport> OpenLoop(const std::string& name, std::uint32_t timeoutMs, int* status,
                                    std::string* error);
// `dynamic`: the dynamic channels; else the static ones.
std::unique_ptr<Transport> OpenRemoteDesktop(bool dynamic, int* status, std::string* error);
// What a static channel needs on the client and, on xrdp, on the server.
extern const char* const kStaticCauses;

}  // namespace detail
}  // namespace kestav
