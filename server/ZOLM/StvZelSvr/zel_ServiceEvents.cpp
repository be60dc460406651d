#include "zel_ServiceEvents.h"

#include <aclapi.h>
#include <sddl.h>

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

namespace {

bool IsSystemOrAdministrators(PSID sid) {
    return ::IsWellKnownSid(sid, WinLocalSystemSid) ||
           ::IsWellKnownSid(sid, WinBuiltinAdministratorsSid);
}

std::wstring SidText(PSID sid) {
    LPWSTR text = nullptr;
    if (sid == nullptr || !::ConvertSidToStringSidW(sid, &text)) return L"unknown";
    const UTIL::unique_hlocal textMemory(text);
    return text;
}

// Rights that signal or reset the event, or let their holder grant them.
constexpr ACCESS_MASK kSignalRights =
    EVENT_MODIFY_STATE | GENERIC_WRITE | GENERIC_ALL | WRITE_DAC | WRITE_OWNER | MAXIMUM_ALLOWED;

// One entry of the access list; empty when it grants nothing to fear.
// Entries of a kind not judged here count as foreign (fail closed).
std::wstring WhyEntryIsForeign(const ACE_HEADER* header) {
    if (header->AceType == ACCESS_DENIED_ACE_TYPE) return {};
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE &&
        header->AceType != ACCESS_ALLOWED_CALLBACK_ACE_TYPE) {
        return L"its access list has an entry of type " + std::to_wstring(header->AceType);
    }
    // The callback entry starts as the plain one: mask, then the SID.
    const auto* allowed = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
    PSID sid = const_cast<DWORD*>(&allowed->SidStart);
    if ((allowed->Mask & kSignalRights) == 0 || IsSystemOrAdministrators(sid)) return {};
    return L"its access list lets " + SidText(sid) + L" signal it";
}

// What CreateEventW's failure on a taken name means.
std::wstring WhyCreateFailed(DWORD error) {
    if (error == ERROR_INVALID_HANDLE) {
        return L"the name is held by an object of another type [6]";
    }
    if (error == ERROR_ACCESS_DENIED) return L"access denied [5]";
    return L"CreateEvent failed [" + std::to_wstring(error) + L"]";
}

std::wstring WhyExistingIsForeign(HANDLE event) {
    const ObjectOwnerSid owner = g_pfnObjectOwnerSid(event);
    if (!IsTrustedObjectOwner(owner)) {
        const std::wstring ownerText =
            owner.empty() ? L"unknown" : SidText(const_cast<BYTE*>(owner.data()));
        return L"owned by " + ownerText + L", not SYSTEM or Administrators";
    }
    return WhyAccessListIsForeign(event);
}

// Unnamed: no other process can open it, so no other process can stop the
// service through it (nor through the squatted name).
HANDLE CreatePrivateEvent(LPCWSTR name, const std::wstring& reason) {
    DebugTraceW('E', TRACE_SRC_W,
                L"%s - Event %s not adopted: %s; the service uses an event of its own that no "
                L"other process can open.",
                L"Service_Main", name, reason.c_str());
    return ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

}  // namespace

bool IsTrustedObjectOwner(const ObjectOwnerSid& owner) {
    if (owner.empty()) return false;
    PSID sid = const_cast<BYTE*>(owner.data());
    if (!::IsValidSid(sid) || ::GetLengthSid(sid) != owner.size()) return false;
    return IsSystemOrAdministrators(sid);
}

std::wstring WhyAccessListIsForeign(HANDLE event) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD error = ::GetSecurityInfo(event, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION,
                                          nullptr, nullptr, &dacl, nullptr, &descriptor);
    if (error != ERROR_SUCCESS) {
        return L"its access list cannot be read [" + std::to_wstring(error) + L"]";
    }
    const UTIL::unique_hlocal descriptorMemory(descriptor);
    if (dacl == nullptr) return L"its access list lets everyone signal it";
    for (DWORD index = 0; index < dacl->AceCount; ++index) {
        void* entry = nullptr;
        if (!::GetAce(dacl, index, &entry)) return L"its access list cannot be read";
        std::wstring why = WhyEntryIsForeign(static_cast<const ACE_HEADER*>(entry));
        if (!why.empty()) return why;
    }
    return {};
}

HANDLE CreateServiceEvent(LPCWSTR name) {
    UTIL::unique_handle event(::CreateEventW(nullptr, TRUE, FALSE, name));
    if (!event) return CreatePrivateEvent(name, WhyCreateFailed(::GetLastError()));
    if (::GetLastError() != ERROR_ALREADY_EXISTS) return event.release();
    // Someone else's event could be signalled at will and stop the service.
    const std::wstring why = WhyExistingIsForeign(event.get());
    if (!why.empty()) {
        event.reset();
        return CreatePrivateEvent(name, why);
    }
    // Made by the system or an administrator, perhaps left signalled by a
    // run before: it must not stop this one at once.
    ::ResetEvent(event.get());
    return event.release();
}
