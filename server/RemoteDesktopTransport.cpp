// Remote Desktop: not available yet.
#include "server/KestavChannel.h"
#include "server/Transport.h"

namespace kestav {
namespace detail {

std::unique_ptr<Transport> OpenRemoteDesktop(int* status, std::string* error) {
    *status = KESTAV_NO_TRANSPORT;
    *error = "the Remote Desktop transport is not available";
    return nullptr;
}

}  // namespace detail
}  // namespace kestav
