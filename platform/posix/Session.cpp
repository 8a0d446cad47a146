#include "platform/Session.h"

namespace platform {

int SessionProtocol() { return -1; }

}  // namespace platform
