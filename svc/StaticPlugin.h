// Bounds of the static channel plug-in (svc/StaticPlugin.cpp).
#pragma once

#include <cstddef>

namespace svc {

// Writes the client may hold at once (each a whole response, kept until the
// client hands it back): beyond, a response is dropped and logged, so a
// client that never completes its writes cannot make the plug-in hold more
// than this many responses.
constexpr std::size_t kMostPendingWrites = 64;

}  // namespace svc
