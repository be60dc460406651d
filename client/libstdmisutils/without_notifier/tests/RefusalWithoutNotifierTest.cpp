#include <gtest/gtest.h>

#include <string>

#include "LogPipeListener.h"
#include "ProductFolder.h"
#include "ds_loadlibwithissuercheck.h"
#include "ds_stvdsmanager.h"

namespace {

// Without a notifier the event cannot be reported: the refusal stands all
// the same, and the failed report shows in the trace only.
TEST(RefusalWithoutNotifier, LibraryOfAnotherSignerIsStillRefused) {
    ZELTEST::CProductFolder folder(L"stdmisutils_alone");
    const std::wstring path =
        folder.CopyIn(ZELTEST::WinePathOf(ZEL_OTHER_SIGNED_LIBRARY), L"other.dll");
    ASSERT_FALSE(path.empty());
    ZELTEST::CLogPipeListener listener;
    ASSERT_TRUE(listener.Start());

    ::SetLastError(0);
    EXPECT_EQ(LoadLibraryWithIssuerCheckW(L"Karvelo, Inc.", path.c_str()), nullptr);
    EXPECT_EQ(::GetLastError(), ERROR_FAILED_ISSUER_CHECK);

    EXPECT_TRUE(listener.WaitForLine(
        L"]WriteWindowsEventLogForNotLoadingLibDueToIssuerCheckFailed - KvNotify "
        L"initialization failed"));
    listener.Stop();
    for (const auto& record : listener.Records()) {
        EXPECT_EQ(record.Line().find(L"ReportEventLogEx"), std::wstring::npos) << record.Line();
    }
}

}  // namespace
