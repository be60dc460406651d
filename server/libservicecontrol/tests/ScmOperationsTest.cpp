#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "ScTestSupport.h"
#include "UniqueHandle.h"
#include "sc_servicecontrol.h"

namespace {

using SCTEST::CTestService;
using SCTEST::CTraceRecords;

// Short intervals keep the suite fast; the library takes them as arguments.
constexpr DWORD kIntervalMs = 200;

std::wstring Quoted(const std::wstring& text) {
    return L"\"" + text + L"\"";
}

TEST(ScStartService, RunningServiceGivesZeroWithoutAStartRequest) {
    CTestService service(L"zelsctest_running", L"normal");
    ASSERT_TRUE(service.StartAndWaitFor(SERVICE_RUNNING));
    CTraceRecords trace;
    EXPECT_EQ(0, scStartServiceW(L"zelsctest_running", 5, kIntervalMs, 3));
    const auto records = trace.Collect();
    EXPECT_EQ(0u, CTraceRecords::Count(records, L"[scStartServiceW]"));
    EXPECT_EQ(SERVICE_RUNNING, service.State());
}

TEST(ScStartService, StoppedServiceIsStartedAndSeenRunning) {
    CTestService service(L"zelsctest_start", L"normal");
    ASSERT_TRUE(service.Installed());
    CTraceRecords trace;
    EXPECT_EQ(0, scStartServiceW(L"zelsctest_start", 5, kIntervalMs, 25));
    EXPECT_EQ(SERVICE_RUNNING, service.State());
    const auto records = trace.Collect();
    EXPECT_EQ(1u,
              CTraceRecords::Count(
                  records, L"[scStartServiceW] start service(zelsctest_start) OK, not verify yet"));
}

TEST(ScStartService, StartThatAlwaysFailsGivesFiveFailureLinesOneFatalLineAndMinus13) {
    CTestService service(L"zelsctest_disabled", L"normal", SERVICE_DISABLED);
    ASSERT_TRUE(service.Installed());
    CTraceRecords trace;
    EXPECT_EQ(SC_ERR_START, scStartServiceW(L"zelsctest_disabled", 5, kIntervalMs, 3));
    const auto records = trace.Collect();
    for (int round = 1; round <= 5; ++round) {
        const std::wstring line =
            L"[scStartServiceW] start service(zelsctest_disabled) failed, GetLastError() = 1058, "
            L"round " +
            std::to_wstring(round);
        const auto* record = CTraceRecords::Find(records, line);
        ASSERT_NE(nullptr, record) << round;
        EXPECT_EQ('D', record->Level());
    }
    EXPECT_EQ(5u, CTraceRecords::Count(records, L"failed, GetLastError() = "));
    const auto* fatal = CTraceRecords::Find(
        records, L"[scStartServiceW] start service(zelsctest_disabled) failed for 5 times");
    ASSERT_NE(nullptr, fatal);
    EXPECT_EQ('F', fatal->Level());
    EXPECT_EQ(1u, CTraceRecords::Count(records, L"failed for"));
}

TEST(ScStartService, RunningStateNotSeenInTimeGivesMinus13) {
    CTestService service(L"zelsctest_slowstart", L"startpending");
    ASSERT_TRUE(service.Installed());
    CTraceRecords trace;
    EXPECT_EQ(SC_ERR_START, scStartServiceW(L"zelsctest_slowstart", 5, kIntervalMs, 3));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_START_PENDING), service.State());
    const auto records = trace.Collect();
    EXPECT_EQ(1u, CTraceRecords::Count(records, L"OK, not verify yet"));
    EXPECT_EQ(1u,
              CTraceRecords::Count(records, L"Wait for service status(4) failed, retry 3 times"));
}

// The service stays stop-pending until the test releases it after the second
// poll that saw it pending: exactly two pending polls, then the stopped one.
TEST(ScStopService, StopPendingServiceIsPolledOnceASecondUntilStopped) {
    CTestService service(L"zelsctest_heldstop", L"heldstop");
    UTIL::unique_handle release(
        CreateEventW(nullptr, TRUE, FALSE, (service.HaltEventName() + L"_release").c_str()));
    ASSERT_TRUE(release.valid());
    struct Release {
        HANDLE event;
        ~Release() { SetEvent(event); }
    } releaseAtEnd{release.get()};
    ASSERT_TRUE(service.StartAndWaitFor(SERVICE_RUNNING));
    UTIL::unique_sc_handle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    UTIL::unique_sc_handle opened(OpenServiceW(manager.get(), L"zelsctest_heldstop", SERVICE_STOP));
    SERVICE_STATUS status = {};
    ASSERT_TRUE(ControlService(opened.get(), SERVICE_CONTROL_STOP, &status));
    ASSERT_TRUE(service.WaitForState(SERVICE_STOP_PENDING));
    CTraceRecords trace;
    int result = -1;
    const ULONGLONG before = GetTickCount64();
    std::thread stop([&] { result = scStopServiceViaSCM(L"zelsctest_heldstop", 30); });
    const std::wstring pending = L"[scStopServiceViaSCM] ssStatus.dwCurrentState = 3";
    EXPECT_EQ(2u, trace.WaitForCount(pending, 2));
    SetEvent(release.get());
    stop.join();
    EXPECT_EQ(0, result);
    // Two one-second sleeps between the three polls.
    EXPECT_GE(GetTickCount64() - before, 2000u - 20u);
    const auto records = trace.Collect();
    EXPECT_EQ(2u, CTraceRecords::Count(records, pending));
    EXPECT_EQ(1u,
              CTraceRecords::Count(records, L"[scStopServiceViaSCM] ssStatus.dwCurrentState = 1"));
    EXPECT_EQ(3u, CTraceRecords::Count(records, L"[scStopServiceViaSCM] ssStatus.dwCurrentState"));
    EXPECT_NE(nullptr, CTraceRecords::Find(records, L"scStopServiceViaSCM - dwRetCode = 0"));
}

TEST(ScStopService, ServiceStuckPendingPastTheTimeOutGivesMinus8) {
    CTestService service(L"zelsctest_pending", L"startpending");
    ASSERT_TRUE(service.StartAndWaitFor(SERVICE_START_PENDING));
    CTraceRecords trace;
    EXPECT_EQ(SC_ERR_NOT_IN_TIME, scStopServiceViaSCM(L"zelsctest_pending", 2));
    EXPECT_EQ(SC_ERR_NOT_IN_TIME, scStopServiceW(L"zelsctest_pending", 3, kIntervalMs, 1));
    const auto records = trace.Collect();
    EXPECT_EQ(3u,
              CTraceRecords::Count(records, L"[scStopServiceViaSCM] ssStatus.dwCurrentState = 2"));
    EXPECT_EQ(2u, CTraceRecords::Count(records, L"scStopServiceViaSCM - dwRetCode = -8"));
    EXPECT_NE(nullptr,
              CTraceRecords::Find(records,
                                  L"[scStopServiceW] scStopService(zelsctest_pending) FAILED, "
                                  L"nRetCode = -8"));
}

TEST(ScStopService, RunningServiceIsStoppedAndSeenStopped) {
    CTestService service(L"zelsctest_stop", L"normal");
    ASSERT_TRUE(service.StartAndWaitFor(SERVICE_RUNNING));
    CTraceRecords trace;
    EXPECT_EQ(0, scStopServiceW(L"zelsctest_stop", 50, kIntervalMs, 10));
    EXPECT_EQ(SERVICE_STOPPED, service.State());
    const auto records = trace.Collect();
    EXPECT_NE(nullptr, CTraceRecords::Find(records,
                                           L"[scStopServiceW] scWaitForServiceStatus("
                                           L"SERVICE_STOPPED, zelsctest_stop) 50 , 200"));
    EXPECT_EQ(0u, CTraceRecords::Count(records, L"FAILED"));
}

TEST(ScStopService, StoppedServiceGivesZeroAtOnce) {
    CTestService service(L"zelsctest_idle", L"normal");
    ASSERT_TRUE(service.Installed());
    CTraceRecords trace;
    EXPECT_EQ(0, scStopServiceW(L"zelsctest_idle", 3, kIntervalMs, 10));
    const auto records = trace.Collect();
    EXPECT_EQ(1u, CTraceRecords::Count(records, L"[scStopServiceViaSCM] ssStatus.dwCurrentState"));
}

TEST(ScStopService, ServiceNotInstalledGives1060AndTheDoesNotExistLine) {
    CTraceRecords trace;
    EXPECT_EQ(ERROR_SERVICE_DOES_NOT_EXIST, scStopServiceW(L"zelsctest_absent", 3, kIntervalMs, 5));
    const auto records = trace.Collect();
    const auto* record =
        CTraceRecords::Find(records, L"[scStopServiceW] service(zelsctest_absent) does not exist");
    ASSERT_NE(nullptr, record);
    EXPECT_EQ('D', record->Level());
    EXPECT_NE(nullptr, CTraceRecords::Find(records,
                                           L"[scStopServiceViaSCM] OpenService("
                                           L"zelsctest_absent) failed, GetLastError() = "
                                           L"1060."));
}

TEST(ScWaitForServiceStatus, RunningOnAStoppedServiceAnswersFalseAtOnceWithoutATraceLine) {
    CTestService service(L"zelsctest_wait", L"normal");
    ASSERT_TRUE(service.Installed());
    UTIL::unique_sc_handle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    UTIL::unique_sc_handle opened(
        OpenServiceW(manager.get(), L"zelsctest_wait", SERVICE_QUERY_STATUS));
    SC_HANDLE handle = opened.get();
    CTraceRecords trace;
    const ULONGLONG before = GetTickCount64();
    // With a 30-second interval, any sleep would show.
    EXPECT_FALSE(WaitForServiceStatusH(SERVICE_RUNNING, handle, 5, 30000));
    EXPECT_FALSE(scWaitForServiceStatus(SERVICE_RUNNING, L"zelsctest_wait", 5, 30000));
    EXPECT_LT(GetTickCount64() - before, 30000u);
    EXPECT_TRUE(trace.Collect().empty());
}

TEST(ScWaitForServiceStatus, PollsRunOutWithTheirLine) {
    CTestService service(L"zelsctest_waitpending", L"startpending");
    ASSERT_TRUE(service.StartAndWaitFor(SERVICE_START_PENDING));
    CTraceRecords trace;
    EXPECT_FALSE(scWaitForServiceStatus(SERVICE_RUNNING, L"zelsctest_waitpending", 3, kIntervalMs));
    SC_HANDLE none = nullptr;
    EXPECT_FALSE(WaitForServiceStatusH(SERVICE_RUNNING, none, 3, kIntervalMs));
    EXPECT_FALSE(scWaitForServiceStatus(SERVICE_RUNNING, nullptr, 3, kIntervalMs));
    const auto records = trace.Collect();
    ASSERT_EQ(1u, records.size());
    EXPECT_NE(std::wstring::npos,
              records[0].Line().find(L"[WaitForServiceStatusH] Wait for service status(4) failed, "
                                     L"retry 3 times, total time = 600 milliseconds"));
}

// The poll count is looked at after the query: 0 queries once, as 1 does.
TEST(ScWaitForServiceStatus, ZeroPollsStillQueriesOnce) {
    CTestService running(L"zelsctest_waitzero", L"normal");
    ASSERT_TRUE(running.StartAndWaitFor(SERVICE_RUNNING));
    CTestService pending(L"zelsctest_waitzeropending", L"startpending");
    ASSERT_TRUE(pending.StartAndWaitFor(SERVICE_START_PENDING));
    CTraceRecords trace;
    EXPECT_TRUE(scWaitForServiceStatus(SERVICE_RUNNING, L"zelsctest_waitzero", 0, kIntervalMs));
    const ULONGLONG before = GetTickCount64();
    EXPECT_FALSE(
        scWaitForServiceStatus(SERVICE_RUNNING, L"zelsctest_waitzeropending", 0, kIntervalMs));
    // One query, one interval's sleep, then the count has run out.
    EXPECT_GE(GetTickCount64() - before, kIntervalMs - 20);
    const auto records = trace.Collect();
    ASSERT_EQ(1u, records.size());
    EXPECT_NE(std::wstring::npos,
              records[0].Line().find(L"[WaitForServiceStatusH] Wait for service status(4) failed, "
                                     L"retry 0 times, total time = 0 milliseconds"));
}

TEST(ScCreateService, CreatesAnAutoStartOwnProcessServiceAndAnExistingOneGivesMinus3) {
    const wchar_t* name = L"zelsctest_create";
    const std::wstring binary = Quoted(L"C:\\zeltest\\no such\\service.exe");
    scDeleteService(name);
    CTraceRecords trace;
    ASSERT_EQ(0, scCreateServiceW(binary.c_str(), name, name, L"A test service.", L""));
    EXPECT_EQ(SC_ERR_OPEN_SERVICE,
              scCreateServiceW(binary.c_str(), name, name, L"A test service.", L""));

    UTIL::unique_sc_handle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    UTIL::unique_sc_handle service(OpenServiceW(manager.get(), name, SERVICE_QUERY_CONFIG));
    ASSERT_TRUE(service.valid());
    BYTE buffer[8192] = {};
    DWORD needed = 0;
    ASSERT_TRUE(QueryServiceConfigW(service.get(), reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer),
                                    sizeof buffer, &needed));
    const auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS), config->dwServiceType);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), config->dwStartType);
    EXPECT_EQ(binary, config->lpBinaryPathName);
    ASSERT_TRUE(QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, buffer,
                                     sizeof buffer, &needed));
    EXPECT_STREQ(L"A test service.",
                 reinterpret_cast<SERVICE_DESCRIPTIONW*>(buffer)->lpDescription);
    service.reset();

    EXPECT_EQ(0, scDeleteService(name));
    EXPECT_EQ(SC_ERR_OPEN_SERVICE, scDeleteService(name));
    const auto records = trace.Collect();
    const auto* installed =
        CTraceRecords::Find(records, L"scCreateServiceW - Service installed successfully");
    ASSERT_NE(nullptr, installed);
    EXPECT_EQ('E', installed->Level());
    EXPECT_NE(nullptr,
              CTraceRecords::Find(records, L"scCreateServiceW - CreateService failed (1073)"));
    EXPECT_NE(nullptr,
              CTraceRecords::Find(
                  records, L"scCreateServiceW - Set service description, bRet=(1) ErrorCode"));
    const auto* deleted = CTraceRecords::Find(
        records, L"[scDeleteService] DeleteService [zelsctest_create] success.");
    ASSERT_NE(nullptr, deleted);
    EXPECT_EQ(5, deleted->Level());
    EXPECT_NE(nullptr,
              CTraceRecords::Find(
                  records, L"[scDeleteService] OpenService [zelsctest_create] failed [1060]."));
}

}  // namespace
