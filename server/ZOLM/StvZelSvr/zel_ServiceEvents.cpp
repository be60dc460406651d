#include "zel_ServiceEvents.h"

#include <aclapi.h>
#include <sddl.h>

#include <string>

#include "DebugTrace.h"
#include "UniqueHandle.h"

ObjectOwnerSid (*g_pfnObjectOwnerSid)(HANDLE object) = ReadObjectOwnerSid;

ObjectOwnerSid ReadObjectOwnerSid(HANDLE object) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetSecurityInfo(object, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                          nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
        return {};
    }
    const UTIL::unique_hlocal descriptorMemory(descriptor);
    if (owner == nullptr || !::IsValidSid(owner)) return {};
    const BYTE* bytes = static_cast<const BYTE*>(owner);
    return ObjectOwnerSid(bytes, bytes + ::GetLengthSid(owner));
}

bool IsTrustedObjectOwner(const ObjectOwnerSid& owner) {
    if (owner.empty()) return false;
    PSID sid = const_cast<BYTE*>(owner.data());
    if (!::IsValidSid(sid) || ::GetLengthSid(sid) != owner.size()) return false;
    return ::IsWellKnownSid(sid, WinLocalSystemSid) ||
           ::IsWellKnownSid(sid, WinBuiltinAdministratorsSid);
}

namespace {

std::wstring SidText(const ObjectOwnerSid& owner) {
    if (owner.empty()) return L"unknown";
    LPWSTR text = nullptr;
    if (!::ConvertSidToStringSidW(const_cast<BYTE*>(owner.data()), &text)) return L"unknown";
    const UTIL::unique_hlocal textMemory(text);
    return text;
}

}  // namespace

HANDLE CreateServiceEvent(LPCWSTR name) {
    UTIL::unique_handle event(::CreateEventW(nullptr, TRUE, FALSE, name));
    if (!event || ::GetLastError() != ERROR_ALREADY_EXISTS) return event.release();
    // Someone else's event could be signalled at will and stop the service.
    const ObjectOwnerSid owner = g_pfnObjectOwnerSid(event.get());
    if (IsTrustedObjectOwner(owner)) {
        ::SetLastError(ERROR_ALREADY_EXISTS);  // as CreateEventW left it
        return event.release();
    }
    DebugTraceW('E', TRACE_SRC_W,
                L"%s - Event %s already exists, owned by %s (not SYSTEM or Administrators): "
                L"not adopted.",
                L"Service_Main", name, SidText(owner).c_str());
    event.reset();
    ::SetLastError(ERROR_ALREADY_EXISTS);
    return nullptr;
}
