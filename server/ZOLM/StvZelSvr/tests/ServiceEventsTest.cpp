// The service's named events: one already there is adopted only from the
// system or the administrators. Wine gives every object the one user's
// owner (or none), so the owner each case sees is scripted through the seam,
// from SIDs the platform builds.
#include "zel_ServiceEvents.h"

#include <gtest/gtest.h>

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

TEST(ServiceEvents, ExistingEventIsAdoptedOnlyFromSystemOrAdministrators) {
    struct Case {
        const char* owner;
        ObjectOwnerSid sid;
        bool adopted;
    };
    const Case cases[] = {
        {"SYSTEM", WellKnown(WinLocalSystemSid), true},
        {"Administrators", WellKnown(WinBuiltinAdministratorsSid), true},
        {"Authenticated Users", WellKnown(WinAuthenticatedUserSid), false},
        {"Everyone", WellKnown(WinWorldSid), false},
        {"unreadable", {}, false},
    };
    const wchar_t kName[] = L"zeltest_service_event_owner";
    const auto previous = g_pfnObjectOwnerSid;
    g_pfnObjectOwnerSid = ScriptedOwner;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.owner);
        ASSERT_EQ(c.sid.empty(), std::string(c.owner) == "unreadable") << "SID not built";
        UTIL::unique_handle planted(CreateEventW(nullptr, TRUE, FALSE, kName));
        ASSERT_TRUE(planted);
        g_scriptedOwner = c.sid;
        g_ownerQueries = 0;
        ZELTEST::CLogPipeListener listener;
        ASSERT_TRUE(listener.Start());

        SetLastError(0);
        UTIL::unique_handle event(CreateServiceEvent(kName));
        const DWORD error = GetLastError();
        EXPECT_EQ(g_ownerQueries, 1);
        EXPECT_EQ(event.valid(), c.adopted);
        // Adopted or not, the caller learns that the name was taken.
        EXPECT_EQ(error, static_cast<DWORD>(ERROR_ALREADY_EXISTS));
        if (c.adopted) continue;
        EXPECT_TRUE(listener.WaitForLine(
            L"Service_Main - Event zeltest_service_event_owner already exists, owned by "));
        listener.Stop();
        ASSERT_EQ(listener.Records().size(), 1u);
        EXPECT_EQ(listener.Records()[0].Level(), 'E');
    }
    // A name nobody took is created without asking for an owner.
    g_ownerQueries = 0;
    UTIL::unique_handle fresh(CreateServiceEvent(L"zeltest_service_event_fresh"));
    EXPECT_TRUE(fresh.valid());
    EXPECT_EQ(g_ownerQueries, 0);
    g_pfnObjectOwnerSid = previous;
}

}  // namespace
