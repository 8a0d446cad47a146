// Pieces the Windows files of this layer share: a handle that closes itself,
// a security descriptor for the current user alone, and pipe names nobody
// can guess.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#ifndef PIPE_REJECT_REMOTE_CLIENTS
#define PIPE_REJECT_REMOTE_CLIENTS 0x00000008
#endif

namespace platform {

struct Handle {
    HANDLE value = nullptr;
    Handle() = default;
    explicit Handle(HANDLE h) { Reset(h); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { Reset(); }
    // Takes `h`; INVALID_HANDLE_VALUE is kept as null.
    void Reset(HANDLE h = nullptr) {
        if (value != nullptr) CloseHandle(value);
        value = h == INVALID_HANDLE_VALUE ? nullptr : h;
    }
};

// A security descriptor whose DACL grants the current user alone.
class OwnerOnly {
public:
    bool Build();
    SECURITY_ATTRIBUTES* Attributes();

private:
    std::vector<std::uint8_t> user_;
    std::vector<std::uint8_t> acl_;
    SECURITY_DESCRIPTOR descriptor_{};
    SECURITY_ATTRIBUTES attributes_{};
};

// The user a process runs as, as SID bytes; empty when it cannot be told.
std::vector<std::uint8_t> ProcessUserSid(HANDLE process);
std::vector<std::uint8_t> CurrentUserSid();

// `prefix` followed by 32 random hex digits; false when no randomness is to be had.
bool RandomName(const std::string& prefix, std::string* name);

}  // namespace platform
