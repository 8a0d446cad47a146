#include "platform/win32/Handles.h"

// RtlGenRandom, exported by advapi32 under this name.
extern "C" BOOLEAN NTAPI SystemFunction036(PVOID buffer, ULONG length);

namespace platform {

std::vector<std::uint8_t> ProcessUserSid(HANDLE process) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(process, TOKEN_QUERY, &token)) return {};
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<std::uint8_t> information(size);
    const bool got = size > 0 && GetTokenInformation(token, TokenUser, information.data(), size, &size);
    CloseHandle(token);
    if (!got) return {};
    PSID sid = reinterpret_cast<TOKEN_USER*>(information.data())->User.Sid;
    const auto* bytes = static_cast<const std::uint8_t*>(sid);
    return std::vector<std::uint8_t>(bytes, bytes + GetLengthSid(sid));
}

std::vector<std::uint8_t> CurrentUserSid() {
    return ProcessUserSid(GetCurrentProcess());
}

bool OwnerOnly::Build() {
    user_ = CurrentUserSid();
    if (user_.empty()) return false;
    PSID sid = PSID(user_.data());
    acl_.resize(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(sid));
    ACL* acl = reinterpret_cast<ACL*>(acl_.data());
    // The owner too: a client checks that the pipe it found is the user's own.
    return InitializeAcl(acl, DWORD(acl_.size()), ACL_REVISION) &&
           AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, sid) &&
           InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) &&
           SetSecurityDescriptorOwner(&descriptor_, sid, FALSE) &&
           SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE);
}

SECURITY_ATTRIBUTES* OwnerOnly::Attributes() {
    attributes_ = {sizeof attributes_, &descriptor_, FALSE};
    return &attributes_;
}

bool RandomName(const std::string& prefix, std::string* name) {
    unsigned char random[16];
    if (!SystemFunction036(random, sizeof random)) return false;
    *name = prefix;
    for (unsigned char byte : random) {
        *name += "0123456789abcdef"[byte >> 4];
        *name += "0123456789abcdef"[byte & 15];
    }
    return true;
}

}  // namespace platform
