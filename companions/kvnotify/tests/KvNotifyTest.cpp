#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "KVNotify.h"
#include "UniqueHandle.h"

namespace {

constexpr DWORD kRefusedLoadEventId = 0x80050258;

std::wstring FolderOfThisExe() {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder = path;
    return folder.substr(0, folder.rfind(L'\\') + 1);
}

std::string TempFilePath(const char* name) {
    char folder[MAX_PATH] = {};
    ::GetTempPathA(MAX_PATH, folder);
    return std::string(folder) + name;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Loads the notifier built beside this test and records its events into a
// file of the test's own.
class KvNotify : public ::testing::Test {
protected:
    void SetUp() override {
        m_module.reset(::LoadLibraryW((FolderOfThisExe() + L"KVNotify.dll").c_str()));
        ASSERT_TRUE(m_module);
        ASSERT_TRUE(Bind(m_init, "InitDefaultEventSource"));
        ASSERT_TRUE(Bind(m_report, "ReportEventLog"));
        ASSERT_TRUE(Bind(m_open, "OpenEventSource"));
        ASSERT_TRUE(Bind(m_close, "CloseEventSource"));
        ASSERT_TRUE(Bind(m_reportEx, "ReportEventLogEx"));
        ::DeleteFileA(m_recordPath.c_str());
        ::SetEnvironmentVariableA(kKvNotifyRecordVariable, m_recordPath.c_str());
    }
    void TearDown() override {
        ::SetEnvironmentVariableA(kKvNotifyRecordVariable, nullptr);
        ::DeleteFileA(m_recordPath.c_str());
    }

    template <typename Fn>
    bool Bind(Fn& fn, const char* name) {
        fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(m_module.get(), name)));
        return fn != nullptr;
    }

    std::string Recorded() const { return ReadFile(m_recordPath); }

    UTIL::unique_hmodule m_module;
    std::string m_recordPath = TempFilePath("kvnotify_tests_events.txt");
    decltype(&InitDefaultEventSource) m_init = nullptr;
    decltype(&ReportEventLog) m_report = nullptr;
    decltype(&OpenEventSource) m_open = nullptr;
    decltype(&CloseEventSource) m_close = nullptr;
    decltype(&ReportEventLogEx) m_reportEx = nullptr;
};

TEST_F(KvNotify, OrdinalFourHundredStaysExported) {
    EXPECT_NE(::GetProcAddress(m_module.get(), MAKEINTRESOURCEA(400)), nullptr);
}

TEST_F(KvNotify, EventOfAnOpenSourceIsReportedWithItsSourceTypeCategoryAndId) {
    HANDLE source = nullptr;
    ASSERT_EQ(m_open(nullptr, "Karvelo Sentavo", &source), 0);
    ASSERT_NE(source, nullptr);
    EXPECT_EQ(
        m_reportEx(source, EVENTLOG_WARNING_TYPE, 5, kRefusedLoadEventId, "refused (x)", nullptr),
        0);
    EXPECT_EQ(m_close(source), 0);
    EXPECT_EQ(Recorded(), "Karvelo Sentavo\t2\t5\t80050258\trefused (x)\n");
}

TEST_F(KvNotify, ClosedOrForeignSourceHandleIsRefusedAndNothingIsReported) {
    HANDLE source = nullptr;
    ASSERT_EQ(m_open(nullptr, "Karvelo Sentavo", &source), 0);
    ASSERT_EQ(m_close(source), 0);
    EXPECT_EQ(m_close(source), ERROR_INVALID_HANDLE);
    EXPECT_EQ(m_reportEx(source, EVENTLOG_WARNING_TYPE, 5, kRefusedLoadEventId, "late", nullptr),
              ERROR_INVALID_HANDLE);
    int notASource = 0;
    EXPECT_EQ(m_reportEx(&notASource, 2, 5, kRefusedLoadEventId, "foreign", nullptr),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(m_close(nullptr), ERROR_INVALID_HANDLE);
    EXPECT_EQ(Recorded(), "");
}

TEST_F(KvNotify, MissingOutParameterOrSourceNameIsRefused) {
    EXPECT_EQ(m_open(nullptr, "Karvelo Sentavo", nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(m_init(nullptr, false), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(m_init("", false), ERROR_INVALID_PARAMETER);
}

TEST_F(KvNotify, DefaultSourceServesReportsThatNameNone) {
    ASSERT_EQ(m_init("Zel Default Source", false), 0);
    EXPECT_EQ(m_report(nullptr, EVENTLOG_INFORMATION_TYPE, 7, "plain"), 0);
    HANDLE source = nullptr;
    ASSERT_EQ(m_open(nullptr, nullptr, &source), 0);
    EXPECT_EQ(m_reportEx(source, EVENTLOG_ERROR_TYPE, 1, 9, "through open", nullptr), 0);
    EXPECT_EQ(m_close(source), 0);
    EXPECT_EQ(Recorded(),
              "Zel Default Source\t4\t0\t00000007\tplain\n"
              "Zel Default Source\t1\t1\t00000009\tthrough open\n");
}

TEST_F(KvNotify, RegisteringTheDefaultSourceCreatesItsEventLogKey) {
    const char* keyPath =
        "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Zel Test Source";
    ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, keyPath);
    ASSERT_EQ(m_init("Zel Test Source", true), 0);
    DWORD types = 0;
    DWORD size = sizeof(types);
    EXPECT_EQ(::RegGetValueA(HKEY_LOCAL_MACHINE, keyPath, "TypesSupported", RRF_RT_REG_DWORD,
                             nullptr, &types, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(types, 7u);
    ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, keyPath);
}

}  // namespace
