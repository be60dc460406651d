#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "ProductFolder.h"
#include "ScTestSupport.h"
#include "sc_servicecontrol.h"

namespace {

using SCTEST::CTestService;
using SCTEST::CTraceRecords;
using Calls = std::vector<std::string>;

// The pipe-IPC double's record of one pipe command, channel checked.
Calls PipeCommandCalls(const char* code, const char* target) {
    return {"SIPC_Init 0 0 SVCCTRL",
            std::string("SIPC_CreateCommand 1 ") + code + " 22 ch=ok",
            "SIPC_CmdDataCopy libSvcCtrl ch=ok",
            std::string("SIPC_SendData target=") + target + " code=" + code +
                " data=libSvcCtrl ch=ok -> 0x0",
            "SIPC_FreeCommand ch=ok",
            "SIPC_SetQueueTimeOut 90000 ch=ok",
            "SIPC_DeInit ch=ok"};
}

// A protected service (the test service refusing the stop control) under one
// of the table's names, with the doubles in the product's application path.
class ProtectedStop : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_applicationPath.PointAt(m_applicationPath.DoublesFolder()));
    }

    int StopRefusingService(const wchar_t* installedName, const wchar_t* givenName) {
        CTestService service(installedName, L"refusestop");
        EXPECT_TRUE(service.StartAndWaitFor(SERVICE_RUNNING));
        m_doubles.SetHaltEvent(service.HaltEventName());
        const int result = scStopServiceW(givenName, 3, 2000, 5);
        m_finalState = service.State();
        return result;
    }

    SCTEST::CApplicationPath m_applicationPath;
    SCTEST::CDoublesBesideExe m_besideExe;
    SCTEST::CDoublesEnvironment m_doubles;
    DWORD m_finalState = 0;
};

TEST_F(ProtectedStop, RefusedStopFallsBackToThePipeCommandAndNamesMatchInAnyCase) {
    CTraceRecords trace;
    EXPECT_EQ(0, StopRefusingService(L"orvandel", L"ORVANDEL"));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), m_finalState);
    EXPECT_EQ(PipeCommandCalls("0xa09", "1"), m_doubles.Calls());
    const auto records = trace.Collect();
    EXPECT_NE(nullptr, CTraceRecords::Find(records, L"scStopServiceViaSCM - dwRetCode = 1052"));
    EXPECT_NE(nullptr, CTraceRecords::Find(records, L"[scStopOrvandel] orvandel stopped"));
    // The needful files were copied next to the executable first.
    EXPECT_TRUE(m_besideExe.Exists(L"StvPIPC_64x.dll"));
    EXPECT_TRUE(m_besideExe.Exists(L"Wextrom.dll"));
}

TEST_F(ProtectedStop, HessiforAndYarrowitGetTheirOwnCommandAndTarget) {
    EXPECT_EQ(0, StopRefusingService(L"hessifor", L"hessifor"));
    EXPECT_EQ(PipeCommandCalls("0x1f03", "2"), m_doubles.Calls());
    SCTEST::CDoublesEnvironment again;
    EXPECT_EQ(0, StopRefusingService(L"yarrowit", L"YARROWIT"));
    EXPECT_EQ(PipeCommandCalls("0x3304", "14"), again.Calls());
}

TEST_F(ProtectedStop, CalbruneAndDrennikAreStoppedThroughTheirHaltEntries) {
    EXPECT_EQ(0, StopRefusingService(L"calbrune", L"Calbrune"));
    Calls calls = m_doubles.Calls();
    EXPECT_NE(std::find(calls.begin(), calls.end(), "Quorlin_Halt 1"), calls.end());
    EXPECT_EQ(calls.end(), std::find_if(calls.begin(), calls.end(), [](const std::string& call) {
                  return call.rfind("SIPC_SendData", 0) == 0;
              }));

    SCTEST::CDoublesEnvironment again;
    EXPECT_EQ(0, StopRefusingService(L"drennik", L"drennik"));
    calls = again.Calls();
    EXPECT_NE(std::find(calls.begin(), calls.end(), "pelsadeHalt"), calls.end());
}

TEST_F(ProtectedStop, WithoutAnIpcChannelTheStopGivesMinus16001) {
    m_doubles.SetInitFails();
    CTraceRecords trace;
    EXPECT_EQ(SC_ERR_IPC_INIT, StopRefusingService(L"hessifor", L"hessifor"));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), m_finalState);
    const auto records = trace.Collect();
    EXPECT_NE(nullptr, CTraceRecords::Find(records, L"[scInitSIPC] SIPC_Init() failed"));
    EXPECT_NE(nullptr, CTraceRecords::Find(records,
                                           L"[scStopServiceW] Stop Service(hessifor) "
                                           L"FAILED because of IPC initialize error. "
                                           L"nRetCode = -16001"));
    // No channel: nothing to close, the library is still freed.
    EXPECT_EQ(Calls{"SIPC_Init 0 0 SVCCTRL"}, m_doubles.Calls());
}

TEST_F(ProtectedStop, WithoutApplicationPathTheRefusalStands) {
    ASSERT_TRUE(m_applicationPath.SetRaw(REG_DWORD, "\1\0\0\0", 4));
    CTraceRecords trace;
    EXPECT_EQ(ERROR_INVALID_SERVICE_CONTROL, StopRefusingService(L"orvandel", L"orvandel"));
    EXPECT_TRUE(m_doubles.Calls().empty());
    const auto records = trace.Collect();
    EXPECT_NE(nullptr, CTraceRecords::Find(records,
                                           L"[scCopyNeedfulFiles] reg.QueryStringValue("
                                           L"\"Application Path\") failed, "
                                           L"GetLastError() = 13"));
    EXPECT_NE(nullptr,
              CTraceRecords::Find(
                  records, L"[scStopServiceW] scStopService(orvandel) FAILED, nRetCode = 1052"));
}

// scStopProtectedService on its own, with the doubles beside the executable.
class ProtectedStopEntry : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_besideExe.Put(SCTEST_STVPIPC_DLL, L"StvPIPC_64x.dll"));
        ASSERT_TRUE(m_besideExe.Put(SCTEST_WEXTROM_DLL, L"Wextrom.dll"));
    }
    // Unbinds before the doubles beside the executable are deleted.
    void TearDown() override { scDeInitSIPC(); }

    SCTEST::CDoublesBesideExe m_besideExe;
    SCTEST::CDoublesEnvironment m_doubles;
};

TEST_F(ProtectedStopEntry, NoReceiverConnectedCountsAsSuccessAnyOtherSendFailureDoesNot) {
    scInitSIPC();
    ASSERT_TRUE(scHasSIPCChannel());
    CTraceRecords trace;
    m_doubles.SetSendResult(L"0x10000007");
    EXPECT_EQ(0, scStopProtectedService(L"orvandel"));
    m_doubles.SetSendResult(L"0x10000008");
    EXPECT_EQ(SC_ERR_NOT_IN_TIME, scStopProtectedService(L"orvandel"));
    const auto records = trace.Collect();
    EXPECT_NE(nullptr, CTraceRecords::Find(records,
                                           L"[scPipeCommandToStopService] SIPC_SendData "
                                           L"results unexpected: 0x10000007"));
    EXPECT_NE(nullptr, CTraceRecords::Find(records,
                                           L"SIPC_SendData results with no available "
                                           L"connection, service might down."));
    EXPECT_NE(nullptr, CTraceRecords::Find(records, L"[scStopOrvandel] orvandel stopped"));
    EXPECT_NE(nullptr,
              CTraceRecords::Find(records,
                                  L"[scStopOrvandel] scPipeCommandToStopService(orvandel) failed"));
}

TEST_F(ProtectedStopEntry, NameOutsideTheTableGivesMinus8WithoutAnyLibraryCall) {
    scInitSIPC();
    ASSERT_TRUE(m_besideExe.Put(SCTEST_QUORLIN_DLL, L"Quorlin.dll"));
    EXPECT_EQ(SC_ERR_NOT_IN_TIME, scStopProtectedService(L"orvandel2"));
    EXPECT_EQ(SC_ERR_NOT_IN_TIME, scStopProtectedService(L"zelsctest_other"));
    EXPECT_EQ(SC_ERR_NOT_IN_TIME, scStopProtectedService(nullptr));
    EXPECT_EQ(Calls{"SIPC_Init 0 0 SVCCTRL"}, m_doubles.Calls());
}

TEST_F(ProtectedStopEntry, MissingStopLibraryGivesItsOwnCode) {
    CTraceRecords trace;
    EXPECT_EQ(SC_ERR_LOAD_QUORLIN, scStopProtectedService(L"calbrune"));
    EXPECT_EQ(SC_ERR_LOAD_PELSADE, scStopProtectedService(L"drennik"));
    const auto records = trace.Collect();
    EXPECT_NE(nullptr, CTraceRecords::Find(records, L"[scStopCalbrune] stop Calbrune failed"));
    EXPECT_NE(nullptr, CTraceRecords::Find(records, L"[scStopDrennik] stop Drennik failed"));
}

// The test double is not signed by the product's issuer: the issuer-checked
// load refuses it and the halt entry is never called.
TEST_F(ProtectedStopEntry, UnsignedWextromIsRefusedWithMinus16021) {
    CTraceRecords trace;
    EXPECT_EQ(SC_ERR_LOAD_WEXTROM, scStopProtectedService(L"mossvale"));
    EXPECT_TRUE(m_doubles.Calls().empty());
    const auto records = trace.Collect();
    EXPECT_NE(nullptr, CTraceRecords::Find(records, L"[scStopMossvale] stop Mossvale failed"));
}

TEST_F(ProtectedStopEntry, WextromSignedByTheIssuerIsLoadedAndHalted) {
    ASSERT_TRUE(m_besideExe.Put(SCTEST_WEXTROM_SIGNED_DLL, L"Wextrom.dll"));
    EXPECT_EQ(0, scStopProtectedService(L"MossVale"));
    EXPECT_EQ(Calls{"WextromHalt"}, m_doubles.Calls());
}

TEST_F(ProtectedStopEntry, PipeCommandWithoutAChannelAnswersFalse) {
    CTraceRecords trace;
    EXPECT_FALSE(scPipeCommandToStopService(0x0A09, 1));
    EXPECT_EQ(SC_ERR_NOT_IN_TIME, scStopProtectedService(L"orvandel"));
    const auto records = trace.Collect();
    EXPECT_EQ(2u,
              CTraceRecords::Count(records, L"[scPipeCommandToStopService] Invalid IPC handle"));
}

// A pipe-IPC library without SIPC_SendData: the command is not sent (no
// call through an unbound entry) and the stop fails.
TEST_F(ProtectedStopEntry, LibraryWithoutTheSendEntryFailsTheStop) {
    ASSERT_TRUE(m_besideExe.Put(SCTEST_STVPIPC_NOSEND_DLL, L"StvPIPC_64x.dll"));
    scInitSIPC();
    ASSERT_TRUE(scHasSIPCChannel());
    CTraceRecords trace;
    EXPECT_EQ(SC_ERR_NOT_IN_TIME, scStopProtectedService(L"hessifor"));
    EXPECT_EQ(Calls{"SIPC_Init 0 0 SVCCTRL"}, m_doubles.Calls());
    EXPECT_NE(nullptr,
              CTraceRecords::Find(trace.Collect(), L"SIPC_SendData results unexpected: 0x7f"));
}

TEST_F(ProtectedStopEntry, DeInitClosesTheChannelOnceAndAgainDoesNothing) {
    scInitSIPC();
    scDeInitSIPC();
    scDeInitSIPC();
    EXPECT_FALSE(scHasSIPCChannel());
    EXPECT_EQ(
        (Calls{"SIPC_Init 0 0 SVCCTRL", "SIPC_SetQueueTimeOut 90000 ch=ok", "SIPC_DeInit ch=ok"}),
        m_doubles.Calls());
}

}  // namespace

namespace {

// This executable's path is read into 259 characters; at 259 and more it is
// cut. The library then has no folder of its own: the pipe-IPC and stop
// libraries are not loaded (a cut or relative name would make LoadLibraryW
// load another file: here the double planted as "StvPIPC_64.dll", the cut
// name of "StvPIPC_64x.dll"), and the needful files are not copied into the
// current folder.
TEST(CutModulePath, LibrariesAreNotLoadedAndNeedfulFilesNotCopied) {
    SCTEST::CApplicationPath applicationPath;
    ASSERT_TRUE(applicationPath.PointAt(applicationPath.DoublesFolder()));
    SCTEST::CDoublesEnvironment doubles;
    const std::wstring root = L"C:\\zeltest\\sccut\\";
    ZELTEST::RemoveTree(root);
    const std::wstring exeName = L"scprobe.exe";
    std::wstring folder = root;
    while (folder.size() < 259 - exeName.size()) {
        folder += std::wstring(std::min<size_t>(100, 258 - exeName.size() - folder.size()), L'c');
        folder += L'\\';
    }
    ASSERT_EQ(folder.size() + exeName.size(), 259u);
    const std::wstring current = root + L"current\\";
    ASSERT_TRUE(ZELTEST::CreateFolders(folder));
    ASSERT_TRUE(ZELTEST::CreateFolders(current));
    const std::wstring exe = folder + exeName;
    ASSERT_TRUE(CopyFileW(ZELTEST::WinePathOf(SCTEST_CUTPATH_PROBE_EXE).c_str(), exe.c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(ZELTEST::WinePathOf(SCTEST_STVPIPC_DLL).c_str(),
                          (folder + L"StvPIPC_64.dll").c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(ZELTEST::WinePathOf(SCTEST_QUORLIN_DLL).c_str(),
                          (folder + L"Quorlin.dll").c_str(), FALSE));
    for (const wchar_t* name : {L"StvPIPC_64x.dll", L"Quorlin.dll"}) {
        ASSERT_TRUE(CopyFileW(ZELTEST::WinePathOf(name[0] == L'S' ? SCTEST_STVPIPC_DLL
                                                                  : SCTEST_QUORLIN_DLL)
                                  .c_str(),
                              (current + name).c_str(), FALSE));
    }

    CTraceRecords trace;
    const std::wstring output = root + L"probe.txt";
    {
        wchar_t saved[MAX_PATH] = {};
        GetCurrentDirectoryW(MAX_PATH, saved);
        ASSERT_TRUE(SetCurrentDirectoryW(current.c_str()));
        ZELTEST::CChildProcess probe;
        const bool started = probe.Start(L"\"" + exe + L"\"", output);
        SetCurrentDirectoryW(saved);
        ASSERT_TRUE(started) << GetLastError();
        ASSERT_TRUE(probe.WaitForExit(60000));
    }
    const auto records = trace.Collect();
    EXPECT_EQ(ZELTEST::ReadWholeFile(output), "channel 0\r\ncalbrune -16019\r\nneedful 0\r\n");
    EXPECT_TRUE(doubles.Calls().empty()) << doubles.Calls().front();
    EXPECT_EQ(1u, CTraceRecords::Count(
                      records, L"[scInitSIPC] GetModuleFileName() failed, GetLastError() = 122."));
    EXPECT_EQ(1u, CTraceRecords::Count(records, L"[scStopProtectedService] GetModuleFileName() "
                                                L"failed, GetLastError() = 122."));
    EXPECT_EQ(1u, CTraceRecords::Count(records, L"[scStopCalbrune] stop Calbrune failed"));
    EXPECT_EQ(1u, CTraceRecords::Count(records, L"[scGetAppFolderPath] GetModuleFileName() failed"));
    // Nothing was copied into the current folder (it holds only what the
    // test put there).
    for (const wchar_t* name : {L"Pelsade.dll", L"Wextrom.dll"})
        EXPECT_EQ(GetFileAttributesW((current + name).c_str()), INVALID_FILE_ATTRIBUTES) << name;
    ZELTEST::RemoveTree(root);
}

}  // namespace
