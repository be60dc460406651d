// The service's named events: one already there is adopted only from the
// system or the administrators, and only when nobody else may signal it;
// anything else on the name gives an 'E' line and an unnamed event of the
// service's own. Wine keeps one user and gives every object that user's
// owner (or none), so the owner each case sees is scripted through the
// seam, from SIDs the platform builds; the types and access lists are real.
#include "zel_ServiceEvents.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <string>

#include "LogPipeListener.h"
#include "UniqueHandle.h"

namespace {

ObjectOwnerSid WellKnown(WELL_KNOWN_SID_TYPE type) {
    ObjectOwnerSid sid(SECURITY_MAX_SID_SIZE);
    DWORD size = SECURITY_MAX_SID_SIZE;
    if (!CreateWellKnownSid(type, nullptr, sid.data(), &size)) return {};
    sid.resize(size);
    return sid;
}

ObjectOwnerSid g_scriptedOwner;
int g_ownerQueries = 0;

ObjectOwnerSid ScriptedOwner(HANDLE) {
    ++g_ownerQueries;
    return g_scriptedOwner;
}

enum class Planted { Event, Mutex, Section };

// What someone put on the name first; `sddl` null: no security descriptor.
HANDLE Plant(Planted kind, const wchar_t* name, const wchar_t* sddl) {
    SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
    UTIL::unique_hlocal descriptor;
    if (sddl != nullptr) {
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
                sddl, SDDL_REVISION_1, &attributes.lpSecurityDescriptor, nullptr)) {
            return nullptr;
        }
        descriptor.reset(attributes.lpSecurityDescriptor);
    }
    switch (kind) {
        case Planted::Mutex:
            return CreateMutexW(&attributes, FALSE, name);
        case Planted::Section:
            return CreateFileMappingW(INVALID_HANDLE_VALUE, &attributes, PAGE_READWRITE, 0, 4,
                                      name);
        default:
            return CreateEventW(&attributes, TRUE, TRUE, name);  // left signalled
    }
}

constexpr wchar_t kOnlySystemAndAdministrators[] = L"D:(A;;GA;;;SY)(A;;GA;;;BA)";

TEST(ServiceEvents, TakenNameIsAdoptedOnlyFromSystemOrAdministratorsAndNobodyElseMaySignalIt) {
    struct Case {
        const char* what;
        Planted kind;
        const wchar_t* sddl;
        WELL_KNOWN_SID_TYPE owner;  // WinNullSid: unreadable
        const wchar_t* reason;      // null: adopted
    };
    const Case cases[] = {
        {"SYSTEM's", Planted::Event, kOnlySystemAndAdministrators, WinLocalSystemSid, nullptr},
        {"Administrators'", Planted::Event, kOnlySystemAndAdministrators,
         WinBuiltinAdministratorsSid, nullptr},
        {"a mutex", Planted::Mutex, nullptr, WinLocalSystemSid,
         L"the name is held by an object of another type [6]"},
        {"a section", Planted::Section, nullptr, WinLocalSystemSid,
         L"the name is held by an object of another type [6]"},
        {"denies everyone", Planted::Event, L"D:", WinLocalSystemSid, L"access denied [5]"},
        {"Authenticated Users'", Planted::Event, kOnlySystemAndAdministrators,
         WinAuthenticatedUserSid, L"owned by S-1-5-11, not SYSTEM or Administrators"},
        {"unreadable owner", Planted::Event, kOnlySystemAndAdministrators, WinNullSid,
         L"owned by unknown, not SYSTEM or Administrators"},
        {"Users may signal", Planted::Event, L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x0002;;;BU)",
         WinLocalSystemSid, L"its access list lets S-1-5-32-545 signal it"},
        {"Users may rewrite its access list", Planted::Event,
         L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;WD;;;BU)", WinLocalSystemSid,
         L"its access list lets S-1-5-32-545 signal it"},
        {"no access list", Planted::Event, nullptr, WinLocalSystemSid,
         L"its access list lets everyone signal it"},
    };
    const wchar_t kName[] = L"zeltest_service_event_owner";
    const auto previous = g_pfnObjectOwnerSid;
    g_pfnObjectOwnerSid = ScriptedOwner;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        UTIL::unique_handle planted(Plant(c.kind, kName, c.sddl));
        ASSERT_TRUE(planted);
        g_scriptedOwner = c.owner == WinNullSid ? ObjectOwnerSid{} : WellKnown(c.owner);
        ZELTEST::CLogPipeListener listener;
        ASSERT_TRUE(listener.Start());

        UTIL::unique_handle event(CreateServiceEvent(kName));
        ASSERT_TRUE(event);
        // Ours is not signalled; the planted event's state reaches it only
        // when it is the same object.
        EXPECT_EQ(WaitForSingleObject(event.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
        if (c.kind == Planted::Event) {
            SetEvent(planted.get());
            EXPECT_EQ(WaitForSingleObject(event.get(), 0),
                      static_cast<DWORD>(c.reason == nullptr ? WAIT_OBJECT_0 : WAIT_TIMEOUT));
        }
        // The write completes before the listener has read it.
        if (c.reason != nullptr) {
            EXPECT_TRUE(listener.WaitForCount(1));
        }
        listener.Stop();
        const auto records = listener.Records();
        if (c.reason == nullptr) {
            EXPECT_EQ(records.size(), 0u);
            continue;
        }
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].Level(), 'E');
        EXPECT_EQ(records[0].Line(),
                  std::wstring(L"[][StvZelSvr_tests.exe]Service_Main - Event "
                               L"zeltest_service_event_owner not adopted: ") +
                      c.reason +
                      L"; the service uses an event of its own that no other process can open.");
    }
    // A name nobody took is created without asking for an owner.
    g_ownerQueries = 0;
    UTIL::unique_handle fresh(CreateServiceEvent(L"zeltest_service_event_fresh"));
    EXPECT_TRUE(fresh.valid());
    EXPECT_EQ(g_ownerQueries, 0);
    g_pfnObjectOwnerSid = previous;
}

}  // namespace
