#include "platform/Session.h"

namespace platform {

int SessionProtocol() { return -1; }

unsigned SessionNumber() { return 0; }

}  // namespace platform
