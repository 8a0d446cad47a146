#pragma once

// This build's Debian multiarch name: the folders /lib/<name> and
// /usr/lib/<name> hold the system's libraries of this machine (xrdp's,
// FreeRDP's, the C library) on Debian and its derivatives.
namespace platform {

#if defined(__x86_64__)
constexpr const char* kMultiarch = "x86_64-linux-gnu";
#elif defined(__i386__)
constexpr const char* kMultiarch = "i386-linux-gnu";
#elif defined(__aarch64__)
constexpr const char* kMultiarch = "aarch64-linux-gnu";
#elif defined(__arm__) && defined(__ARM_PCS_VFP)
constexpr const char* kMultiarch = "arm-linux-gnueabihf";
#else
#error "no multiarch name for this machine"
#endif

}  // namespace platform
