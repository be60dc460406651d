#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <vector>

#include "ProductFolder.h"
#include "SignatureTestSupport.h"
#include "smu_ckvnotifydll.h"

namespace {

using ZELTEST::BesideTest;

constexpr DWORD kRefusedLoadEventId = 0x80050258;

bool EndsWith(const std::wstring& text, const std::wstring& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// A folder of the test's own that holds a given file as "kvnotify.dll".
class NotifierBinding : public ::testing::Test {
protected:
    std::string FolderWithNotifier(const wchar_t* source) {
        m_folder.CopyIn(BesideTest(source), L"notifier\\kvnotify.dll");
        return "C:\\zeltest\\stdmisutils\\notifier\\";
    }
    static bool NotifierLoaded() { return ::GetModuleHandleW(L"kvnotify.dll") != nullptr; }

    ZELTEST::CProductFolder m_folder{L"stdmisutils"};
    ZELTEST::CTraceCapture m_trace;
};

TEST_F(NotifierBinding, UnboundWrappersAnswerMinusTwoAndTraceBeforeAndAfter) {
    ASSERT_TRUE(m_trace.Started());
    CKvNotifyDLL notifier;
    HANDLE source = nullptr;
    EXPECT_EQ(notifier.InitDefaultEventSource("Karvelo Sentavo", false), -2);
    EXPECT_EQ(notifier.OpenEventSource(nullptr, "Karvelo Sentavo", &source), -2);
    EXPECT_EQ(source, nullptr);
    EXPECT_EQ(notifier.CloseEventSource(nullptr), -2);
    EXPECT_EQ(notifier.ReportEventLogEx(nullptr, 2, 5, kRefusedLoadEventId, "text"), -2);

    const auto records = m_trace.RecordsBeforeMarker();
    const wchar_t* expected[] = {
        L"]CKvNotifyDLL::InitDefaultEventSource(Karvelo Sentavo)",
        L"]CKvNotifyDLL::InitDefaultEventSource(Karvelo Sentavo) return -2",
        L"]CKvNotifyDLL::OpenEventSource(NULL, Karvelo Sentavo, 0)",
        L"]CKvNotifyDLL::OpenEventSource(NULL, Karvelo Sentavo, 0) return -2",
        L"]CKvNotifyDLL::CloseEventSource(0)",
        L"]CKvNotifyDLL::CloseEventSource(0) return -2",
        L"]CKvNotifyDLL::ReportEventLogEx(0, 2, 5, -2147155368, text)",
        L"]CKvNotifyDLL::ReportEventLogEx(0, 2, 5, -2147155368, text) return -2",
    };
    ASSERT_EQ(records.size(), std::size(expected));
    for (size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(records[i].Level(), 5);
        EXPECT_TRUE(EndsWith(records[i].Line(), expected[i])) << records[i].Line();
    }
}

TEST_F(NotifierBinding, InitBindsTheKarveloSignedNotifierBesideTheExecutable) {
    ZELTEST::CNotifierEventRecord events(m_folder.Root() + L"events.txt");
    CKvNotifyDLL notifier;
    ASSERT_TRUE(notifier.Init());
    EXPECT_TRUE(NotifierLoaded());
    EXPECT_EQ(notifier.InitDefaultEventSource("Karvelo Sentavo", false), 0);
    HANDLE source = nullptr;
    ASSERT_EQ(notifier.OpenEventSource(nullptr, "Karvelo Sentavo", &source), 0);
    ASSERT_NE(source, nullptr);
    EXPECT_EQ(notifier.ReportEventLogEx(source, 2, 5, kRefusedLoadEventId, "bound"), 0);
    EXPECT_EQ(notifier.CloseEventSource(source), 0);
    const auto reported = events.Events();
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_EQ(reported[0], "Karvelo Sentavo\t2\t5\t80050258\tbound");
}

TEST_F(NotifierBinding, NotifierBesideTheServiceIsAdmitted) {
    // The service's folder holds the copy that the service imports at load
    // time; the binding must admit that same file.
    const std::wstring folder = ZELTEST::WinePathOf(ZEL_SERVICE_FOLDER);
    CKvNotifyDLL notifier;
    EXPECT_TRUE(notifier.Init(std::string(folder.begin(), folder.end()).c_str()));
    EXPECT_TRUE(NotifierLoaded());
}

TEST_F(NotifierBinding, DestructionFreesTheNotifier) {
    {
        CKvNotifyDLL notifier;
        ASSERT_TRUE(notifier.Init());
        ASSERT_TRUE(NotifierLoaded());
    }
    EXPECT_FALSE(NotifierLoaded());
}

TEST_F(NotifierBinding, SecondInitAnswersTrueWithoutLoadingEvenAfterAFailedFirst) {
    ASSERT_TRUE(m_trace.Started());
    CKvNotifyDLL notifier;
    m_folder.CopyIn(BesideTest(L"zeltestlib.dll"), L"empty\\unrelated.dll");
    EXPECT_FALSE(notifier.Init("C:\\zeltest\\stdmisutils\\empty"));
    EXPECT_TRUE(notifier.Init());  // the folder beside the test holds a good notifier
    EXPECT_FALSE(NotifierLoaded());
    EXPECT_EQ(notifier.InitDefaultEventSource("Karvelo Sentavo", false), -2);
    // Only the first call looked for the notifier.
    EXPECT_EQ(m_trace.LinesContaining(L"LoadLibrary(kvnotify.dll) error = ").size(), 1u);
}

TEST_F(NotifierBinding, UnsignedNotifierIsRefusedWithTheVerificationError) {
    ASSERT_TRUE(m_trace.Started());
    CKvNotifyDLL notifier;
    EXPECT_FALSE(notifier.Init(FolderWithNotifier(L"zeltestlib.dll").c_str()));
    EXPECT_FALSE(NotifierLoaded());
    EXPECT_EQ(notifier.InitDefaultEventSource("Karvelo Sentavo", false), -2);
    const auto refusals = m_trace.LinesContaining(
        L"]CKvNotifyDLL::Init - CKvNotifyDLL:CKvNotifyDLL() Verify DigitalSignature "
        L"Failed(kvnotify.dll) error = 0x800b0100");
    EXPECT_EQ(refusals.size(), 1u);
    EXPECT_EQ(m_trace
                  .LinesContaining(L"CKvNotifyDLL::CKvNotifyDLL() LoadLibrary(kvnotify.dll) "
                                   L"error = ")
                  .size(),
              1u);
}

TEST_F(NotifierBinding, NotifierOfAnotherSignerIsRefused) {
    ASSERT_TRUE(m_trace.Started());
    CKvNotifyDLL notifier;
    EXPECT_FALSE(notifier.Init(FolderWithNotifier(L"other_signed.dll").c_str()));
    EXPECT_FALSE(NotifierLoaded());
    EXPECT_EQ(m_trace.LinesContaining(L"Failed(kvnotify.dll) error = 0x20001447").size(), 1u);
}

TEST_F(NotifierBinding, SignedLibraryWithoutTheEntryPointsIsFreedAndNothingIsBound) {
    ASSERT_TRUE(m_trace.Started());
    CKvNotifyDLL notifier;
    std::string folder = FolderWithNotifier(L"karvelo_signed.dll");
    folder.pop_back();  // without its closing separator: joined with one
    EXPECT_FALSE(notifier.Init(folder.c_str()));
    EXPECT_FALSE(NotifierLoaded());
    EXPECT_EQ(notifier.OpenEventSource(nullptr, "Karvelo Sentavo", nullptr), -2);
    EXPECT_EQ(m_trace
                  .LinesContaining(L"]CKvNotifyDLL::Init - CKvNotifyDLL::CKvNotifyDLL() "
                                   L"GetProcAddress error = 127")
                  .size(),
              1u);
}

}  // namespace
