// "-install"'s recovery step: the failure actions it asks the Service
// Control Manager for, recorded at the platform call (Wine accepts them and
// stores nothing), and what a refusal gives.
#include "zel_SelfInstall.h"

#include <gtest/gtest.h>

#include <vector>

#include "ScmService.h"
#include "sc_configplatform.h"
#include "sc_servicecontrol.h"

namespace {

constexpr wchar_t kTestService[] = L"zelRecoveryTest";

struct RecordedCall {
    bool hadService = false;
    DWORD infoLevel = 0;
    SERVICE_FAILURE_ACTIONSW actions = {};
    std::vector<SC_ACTION> steps;
};

std::vector<RecordedCall> g_calls;
BOOL g_answer = TRUE;
DWORD g_answerError = ERROR_SUCCESS;

BOOL WINAPI RecordingChangeServiceConfig2(SC_HANDLE service, DWORD infoLevel, LPVOID info) {
    RecordedCall call;
    call.hadService = service != nullptr;
    call.infoLevel = infoLevel;
    if (infoLevel == SERVICE_CONFIG_FAILURE_ACTIONS && info != nullptr) {
        call.actions = *static_cast<SERVICE_FAILURE_ACTIONSW*>(info);
        call.steps.assign(call.actions.lpsaActions, call.actions.lpsaActions + call.actions.cActions);
    }
    g_calls.push_back(call);
    SetLastError(g_answerError);
    return g_answer;
}

// The seam records for the test's length and gives the platform back.
class CrashRecovery : public ::testing::Test {
protected:
    void SetUp() override {
        m_saved = scConfigPlatform();
        scConfigPlatform().changeServiceConfig2 = RecordingChangeServiceConfig2;
        g_calls.clear();
        g_answer = TRUE;
        g_answerError = ERROR_SUCCESS;
    }
    void TearDown() override { scConfigPlatform() = m_saved; }

    ScConfigPlatform m_saved = {};
};

TEST_F(CrashRecovery, TwoRestartsAMinuteApartThenNoneAndTheCountResetAfterADay) {
    ZELTEST::CScmService service(kTestService);
    ASSERT_TRUE(service.Install(L"C:\\windows\\system32\\notepad.exe"));
    EXPECT_EQ(0, SetCrashRecoveryActions(kTestService));

    // One call, for the failure actions only: the flag that would count
    // non-crash exits as failures (SERVICE_CONFIG_FAILURE_ACTIONS_FLAG) is
    // never set, so it stays at its default, off.
    ASSERT_EQ(1u, g_calls.size());
    const RecordedCall& call = g_calls[0];
    EXPECT_TRUE(call.hadService);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_CONFIG_FAILURE_ACTIONS), call.infoLevel);
    EXPECT_EQ(86400u, call.actions.dwResetPeriod);
    EXPECT_EQ(nullptr, call.actions.lpRebootMsg);
    EXPECT_EQ(nullptr, call.actions.lpCommand);
    ASSERT_EQ(3u, call.steps.size());
    const SC_ACTION expected[] = {
        {SC_ACTION_RESTART, 60000}, {SC_ACTION_RESTART, 60000}, {SC_ACTION_NONE, 0}};
    for (size_t step = 0; step < 3; ++step) {
        SCOPED_TRACE(step);
        EXPECT_EQ(expected[step].Type, call.steps[step].Type);
        EXPECT_EQ(expected[step].Delay, call.steps[step].Delay);
    }
}

TEST_F(CrashRecovery, ARefusalOrAMissingServiceGivesItsCode) {
    ZELTEST::CScmService service(kTestService);
    ASSERT_TRUE(service.Install(L"C:\\windows\\system32\\notepad.exe"));
    g_answer = FALSE;
    g_answerError = ERROR_ACCESS_DENIED;
    EXPECT_EQ(static_cast<int>(ERROR_ACCESS_DENIED), SetCrashRecoveryActions(kTestService));
    EXPECT_EQ(1u, g_calls.size());

    service.Remove();
    g_calls.clear();
    EXPECT_EQ(SC_ERR_OPEN_SERVICE, SetCrashRecoveryActions(kTestService));
    EXPECT_EQ(SC_ERR_NOT_IN_TIME, scSetServiceFailureActionsW(nullptr, 2, 60000, 86400));
    EXPECT_TRUE(g_calls.empty());
}

}  // namespace
