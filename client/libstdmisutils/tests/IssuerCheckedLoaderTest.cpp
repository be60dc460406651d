#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <vector>

#include "ProductFolder.h"
#include "SignatureTestSupport.h"
#include "TrustPlatform.h"
#include "UniqueHandle.h"
#include "ds_createprocwithissuercheck.h"
#include "ds_loadlibwithissuercheck.h"
#include "ds_stvdsmanager.h"

namespace {

using ZELTEST::BesideTest;

constexpr wchar_t kIssuer[] = L"Karvelo, Inc.";

std::string EventText(const std::string& path) {
    return "Sentavo agent attempted to load a library not signed by the expected issuer "
           "\"Karvelo, Inc.\". The process was stopped. Verify the integrity of the library and "
           "try again (" +
           path + ").";
}

std::string Narrow(const std::wstring& text) {
    return std::string(text.begin(), text.end());  // the tests' paths are ASCII
}

bool CallsMarker(HMODULE module) {
    using PfnMarker = int (*)();
    const auto marker = reinterpret_cast<PfnMarker>(
        reinterpret_cast<void*>(::GetProcAddress(module, "ZelTestLibraryMarker")));
    return marker != nullptr && marker() == 6;
}

class IssuerCheckedLoader : public ::testing::Test {
protected:
    // A copy of a test binary in the test's folder.
    std::wstring Copy(const wchar_t* source, const std::wstring& relativePath) {
        return m_folder.CopyIn(BesideTest(source), relativePath);
    }

    ZELTEST::CProductFolder m_folder{L"stdmisutils"};
    ZELTEST::CTraceCapture m_trace;
};

TEST_F(IssuerCheckedLoader, NullIssuerIsRefusedBeforeTheFileIsLookedAt) {
    ASSERT_TRUE(m_trace.Started());
    const std::wstring path = Copy(L"karvelo_signed.dll", L"karvelo.dll");
    ::SetLastError(0);
    EXPECT_EQ(LoadLibraryWithIssuerCheckW(nullptr, path.c_str()), nullptr);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    const auto records = m_trace.RecordsBeforeMarker();
    ASSERT_EQ(records.size(), 1u);  // nothing of the path, the check or the load
    EXPECT_EQ(records[0].Level(), 'D');
    EXPECT_NE(records[0].Line().find(
                  L"]LoadLibraryWithIssuerCheckW - lpIssuerName is NULL. SetLastError() to "
                  L"ERROR_INVALID_PARAMETER and return NULL."),
              std::wstring::npos)
        << records[0].Line();
}

TEST_F(IssuerCheckedLoader, FolderOrMissingFileIsNotFound) {
    ASSERT_TRUE(m_trace.Started());
    ::SetLastError(0);
    EXPECT_EQ(LoadLibraryWithIssuerCheckW(kIssuer, m_folder.Root().c_str()), nullptr);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    ::SetLastError(0);
    EXPECT_EQ(LoadLibraryWithIssuerCheckW(kIssuer, (m_folder.Root() + L"absent.dll").c_str()),
              nullptr);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(m_trace
                  .LinesContaining(L"does not exist. SetLastError() to ERROR_FILE_NOT_FOUND "
                                   L"and return NULL.")
                  .size(),
              2u);
    EXPECT_TRUE(m_trace.LinesContaining(L"CheckFileIssuer").empty());
}

TEST_F(IssuerCheckedLoader, PathThatDoesNotFitTheLoaderBufferIsRefusedNotCut) {
    // With the "." that a name without extension gets, 260 characters and
    // the terminator fill the loader's 261; one more does not fit.
    const std::wstring folder = m_folder.Root();
    const std::wstring fits = folder + std::wstring(259 - folder.size(), L'a');
    const std::wstring tooLong = folder + std::wstring(260 - folder.size(), L'a');
    ::SetLastError(0);
    EXPECT_EQ(LoadLibraryWithIssuerCheckW(kIssuer, fits.c_str()), nullptr);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    ::SetLastError(0);
    EXPECT_EQ(LoadLibraryWithIssuerCheckW(kIssuer, tooLong.c_str()), nullptr);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
    const std::wstring withExtension = folder + std::wstring(300, L'b') + L".dll";
    ::SetLastError(0);
    EXPECT_EQ(LoadLibraryWithIssuerCheckW(kIssuer, withExtension.c_str()), nullptr);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
}

TEST_F(IssuerCheckedLoader, KarveloSignedLibraryIsLoadedAfterItsCheck) {
    ASSERT_TRUE(m_trace.Started());
    const std::wstring path = Copy(L"karvelo_signed.dll", L"karvelo.dll");
    UTIL::unique_hmodule module(LoadLibraryWithIssuerCheckW(kIssuer, path.c_str()));
    ASSERT_TRUE(module) << ::GetLastError();
    EXPECT_TRUE(CallsMarker(module.get()));

    // The loader's and the check's own lines, in this order.
    const std::wstring expected[] = {
        L"]LoadLibraryWithIssuerCheckW - File for issuer check is (" + path + L")",
        L"]CheckFileIssuer - Checking whether file (" + path +
            L") is signed by issuer (Karvelo, Inc.)",
        L"]CheckFileIssuer - successfully to check digital signature for " + path,
        L"]LoadLibraryWithIssuerCheckW - Calling LoadLibraryW()...",
    };
    std::vector<std::wstring> lines;
    for (const auto& record : m_trace.RecordsBeforeMarker()) {
        const std::wstring& line = record.Line();
        if (line.find(L"]LoadLibraryWithIssuerCheckW - ") != std::wstring::npos ||
            line.find(L"]CheckFileIssuer - ") != std::wstring::npos) {
            EXPECT_EQ(record.Level(), 'D') << line;
            lines.push_back(line.substr(line.find(L"]")));
        }
    }
    ASSERT_EQ(lines.size(), std::size(expected));
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_NE(lines[i].find(expected[i]), std::wstring::npos) << lines[i];
    }
}

TEST_F(IssuerCheckedLoader, FileWithoutExtensionIsLoadedAsItIsWithATrailingDot) {
    // Without the trailing "." the loader would look for "karvelo_noext.dll".
    const std::wstring path = Copy(L"karvelo_noext", L"karvelo_noext");
    UTIL::unique_hmodule module(LoadLibraryWithIssuerCheckW(kIssuer, path.c_str()));
    ASSERT_TRUE(module) << ::GetLastError();
    EXPECT_TRUE(CallsMarker(module.get()));
}

TEST_F(IssuerCheckedLoader, RelativeNameLoadsTheFileThatWasChecked) {
    // LoadLibraryW alone would find a relative name beside the executable
    // first: there lies the library of another signer under the same name.
    const std::wstring path = Copy(L"karvelo_signed.dll", L"other_signed.dll");
    wchar_t previous[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, previous);
    ASSERT_TRUE(::SetCurrentDirectoryW(m_folder.Root().c_str()));
    UTIL::unique_hmodule module(LoadLibraryWithIssuerCheckW(kIssuer, L"other_signed.dll"));
    const DWORD error = ::GetLastError();
    ::SetCurrentDirectoryW(previous);
    ASSERT_TRUE(module) << error;
    wchar_t loaded[MAX_PATH] = {};
    ::GetModuleFileNameW(module.get(), loaded, MAX_PATH);
    EXPECT_EQ(_wcsicmp(loaded, path.c_str()), 0) << loaded;
}

TEST_F(IssuerCheckedLoader, LibraryOfAnotherSignerIsRefusedReportedAndLogged) {
    ASSERT_TRUE(m_trace.Started());
    ASSERT_TRUE(ZELTEST::CreateFolders(m_folder.Root() + L"Misc\\"));
    ZELTEST::CScopedApplicationPath applicationPath(m_folder.Root());
    ZELTEST::CNotifierEventRecord events(m_folder.Root() + L"events.txt");
    const std::wstring path = Copy(L"other_signed.dll", L"other.dll");

    ::SetLastError(0);
    EXPECT_EQ(LoadLibraryWithIssuerCheckW(kIssuer, path.c_str()), nullptr);
    EXPECT_EQ(::GetLastError(), ERROR_FAILED_ISSUER_CHECK);
    EXPECT_EQ(::GetModuleHandleW(path.c_str()), nullptr);

    const auto reported = events.Events();
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_EQ(reported[0], "Karvelo Sentavo\t2\t5\t80050258\t" + EventText(Narrow(path)));
    EXPECT_EQ(ZELTEST::ReadWideTextUpToNul(m_folder.Root() + L"Misc\\DSInvalidLogLastInfo.log"),
              path + L"\t536876103");
    EXPECT_EQ(m_trace
                  .LinesContaining(L"]LoadLibraryWithIssuerCheckW - File (" + path +
                                   L") is not issued by (Karvelo, Inc.). Issuer check failed. "
                                   L"Write to Windows Event Log, SetLastError() to customized "
                                   L"error code ERROR_FAILED_ISSUER_CHECK (0x20001447) and "
                                   L"return NULL.")
                  .size(),
              1u);
    EXPECT_EQ(m_trace
                  .LinesContaining(L"]CheckFileIssuer - failed to check digital signature for " +
                                   path + L", err=536876103")
                  .size(),
              1u);
}

TEST_F(IssuerCheckedLoader, UnsignedLibraryIsRefusedWithTheIssuerCheckCode) {
    ASSERT_TRUE(m_trace.Started());
    const std::wstring path = Copy(L"zeltestlib.dll", L"unsigned.dll");
    ::SetLastError(0);
    EXPECT_EQ(LoadLibraryWithIssuerCheckW(kIssuer, path.c_str()), nullptr);
    EXPECT_EQ(::GetLastError(), ERROR_FAILED_ISSUER_CHECK);
    // The verification's own code (TRUST_E_NOSIGNATURE) shows in the trace.
    EXPECT_EQ(m_trace
                  .LinesContaining(L"]CheckFileIssuer - failed to check digital signature for " +
                                   path + L", err=-2146762496")
                  .size(),
              1u);
}

// Tries to delete, overwrite and replace the library while the signature
// check runs (from inside its WinTrust call), then lets the check go on.
struct ReplacementAttempt {
    std::wstring target;
    std::wstring replacement;
    bool tried = false;
    BOOL deleted = FALSE;
    DWORD deleteError = 0;
    bool openedForWriting = false;
    DWORD writeError = 0;
    BOOL replaced = FALSE;
};
ReplacementAttempt g_attempt;

LONG WINAPI WinVerifyTrustWhileReplacing(HWND window, GUID* action, LPVOID data) {
    if (!g_attempt.tried) {
        g_attempt.tried = true;
        g_attempt.deleted = ::DeleteFileW(g_attempt.target.c_str());
        g_attempt.deleteError = ::GetLastError();
        UTIL::unique_handle writer(
            ::CreateFileW(g_attempt.target.c_str(), GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        g_attempt.openedForWriting = writer.valid();
        g_attempt.writeError = ::GetLastError();
        g_attempt.replaced = ::MoveFileExW(g_attempt.replacement.c_str(), g_attempt.target.c_str(),
                                           MOVEFILE_REPLACE_EXISTING);
    }
    return DS::RealTrustPlatform().WinVerifyTrust(window, action, data);
}

TEST_F(IssuerCheckedLoader, FileCannotBeReplacedWhileItIsChecked) {
    g_attempt = {};
    g_attempt.target = Copy(L"karvelo_signed.dll", L"held.dll");
    g_attempt.replacement = Copy(L"other_signed.dll", L"replacement.dll");
    DS::TrustPlatform scripted = DS::RealTrustPlatform();
    scripted.WinVerifyTrust = WinVerifyTrustWhileReplacing;
    UTIL::unique_hmodule module;
    {
        DS::CScopedTrustPlatform seam(scripted);
        module.reset(LoadLibraryWithIssuerCheckW(kIssuer, g_attempt.target.c_str()));
    }
    ASSERT_TRUE(g_attempt.tried);
    EXPECT_FALSE(g_attempt.deleted);
    EXPECT_EQ(g_attempt.deleteError, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_FALSE(g_attempt.openedForWriting);
    EXPECT_EQ(g_attempt.writeError, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_FALSE(g_attempt.replaced);
    ASSERT_TRUE(module) << ::GetLastError();
    EXPECT_TRUE(CallsMarker(module.get()));
    // Once loaded and freed, the hold is gone too.
    module.reset();
    EXPECT_TRUE(::DeleteFileW(g_attempt.target.c_str())) << ::GetLastError();
}

TEST_F(IssuerCheckedLoader, FileOpenForWritingElsewhereIsNeitherCheckedNorLoaded) {
    ASSERT_TRUE(m_trace.Started());
    const std::wstring path = Copy(L"karvelo_signed.dll", L"busy.dll");
    UTIL::unique_handle writer(::CreateFileW(path.c_str(), GENERIC_WRITE,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(writer);
    ::SetLastError(0);
    EXPECT_EQ(LoadLibraryWithIssuerCheckW(kIssuer, path.c_str()), nullptr);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(
        m_trace.LinesContaining(L"]LoadLibraryWithIssuerCheckW - CreateFile failed: [32].").size(),
        1u);
    EXPECT_TRUE(m_trace.LinesContaining(L"CheckFileIssuer").empty());
}

TEST_F(IssuerCheckedLoader, CheckFileIssuerWithoutFileOrIssuerAnswersFalse) {
    ASSERT_TRUE(m_trace.Started());
    const std::wstring path = Copy(L"karvelo_signed.dll", L"karvelo.dll");
    EXPECT_FALSE(CheckFileIssuer(nullptr, kIssuer));
    EXPECT_FALSE(CheckFileIssuer(path.c_str(), nullptr));
    const auto lines =
        m_trace.LinesContaining(L"]CheckFileIssuer - pwszFile or pwszIssuerName is NULL");
    EXPECT_EQ(lines.size(), 2u);
    for (const auto& record : m_trace.RecordsBeforeMarker()) EXPECT_EQ(record.Level(), 'E');
}

TEST_F(IssuerCheckedLoader, LongEventTextIsCutAtItsBuffer) {
    ZELTEST::CNotifierEventRecord events(m_folder.Root() + L"events.txt");
    const std::string longPath = "C:\\" + std::string(2000, 'p') + ".dll";
    WriteWindowsEventLogForNotLoadingLibDueToIssuerCheckFailed(longPath.c_str(), "Karvelo, Inc.");
    const auto reported = events.Events();
    ASSERT_EQ(reported.size(), 1u);
    const std::string prefix = "Karvelo Sentavo\t2\t5\t80050258\t";
    ASSERT_EQ(reported[0].compare(0, prefix.size(), prefix), 0);
    const std::string text = reported[0].substr(prefix.size());
    EXPECT_EQ(text.size(), 1283u);
    EXPECT_EQ(text, EventText(longPath).substr(0, 1283));
}

TEST_F(IssuerCheckedLoader, WideFrontReportsTheConvertedPathAndIssuer) {
    ASSERT_TRUE(m_trace.Started());
    ZELTEST::CNotifierEventRecord events(m_folder.Root() + L"events.txt");
    WriteWindowsEventLogForNotLoadingLibDueToIssuerCheckFailed(L"C:\\lib\\stop.dll",
                                                               L"Karvelo, Inc.");
    const auto reported = events.Events();
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_EQ(reported[0], "Karvelo Sentavo\t2\t5\t80050258\t" + EventText("C:\\lib\\stop.dll"));
    const std::wstring function = L"]WriteWindowsEventLogForNotLoadingLibDueToIssuerCheckFailed - ";
    EXPECT_EQ(m_trace.LinesContaining(function + L"InitDefaultEventSource return 0").size(), 1u);
    EXPECT_EQ(m_trace
                  .LinesContaining(function + L"ReportEventLogEx Msg = " +
                                   std::wstring(L"Sentavo agent attempted"))
                  .size(),
              1u);
}

}  // namespace
