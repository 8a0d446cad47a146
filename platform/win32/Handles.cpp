#include "platform/win32/Handles.h"

// RtlGenRandom, exported by advapi32 under this name.
extern "C" BOOLEAN NTAPI SystemFunction036(PVOID buffer, ULONG length);

namespace platform {

bool OwnerOnly::Build() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    user_.resize(size);
    const bool got = size > 0 && GetTokenInformation(token, TokenUser, user_.data(), size, &size);
    CloseHandle(token);
    if (!got) return false;
    PSID sid = reinterpret_cast<TOKEN_USER*>(user_.data())->User.Sid;
    acl_.resize(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(sid));
    ACL* acl = reinterpret_cast<ACL*>(acl_.data());
    return InitializeAcl(acl, DWORD(acl_.size()), ACL_REVISION) &&
           AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, sid) &&
           InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) &&
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
