// A folder link on a checked library's path, re-pointed while the signature
// is checked: the check sees the maker's library, the loader would map
// another signer's. Under Wine the link is a Unix symlink to a folder name;
// giving that name to another folder re-points it, as re-pointing a junction
// does on Windows.
#include <gtest/gtest.h>

#include <string>

#include "DsTestSupport.h"
#include "ds_loadlibwithissuercheck.h"
#include "ds_stvdsmanager.h"

namespace {

using DSTEST::TestFile;

struct LinkLayout {
    std::wstring checked = TestFile(L"links\\ds_link_checked");
    std::wstring aside = TestFile(L"links\\ds_link_checked.aside");
    std::wstring other = TestFile(L"links\\ds_link_other");
    std::wstring library = TestFile(L"links\\ds_linkdir\\ds_linked.dll");

    // The link's target name goes to the other signer's folder.
    bool Repoint() const {
        return MoveFileW(checked.c_str(), aside.c_str()) &&
               MoveFileW(other.c_str(), checked.c_str());
    }
    // Back as the build made it, for the next run.
    ~LinkLayout() {
        if (GetFileAttributesW(aside.c_str()) == INVALID_FILE_ATTRIBUTES) return;
        MoveFileW(checked.c_str(), other.c_str());
        MoveFileW(aside.c_str(), checked.c_str());
    }
};

TEST(digitalsignature_LoadThroughLink, LinkRepointedDuringTheCheckLoadsNothing) {
    LinkLayout layout;
    // The build lays the other library out as a plain file.
    ASSERT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE),
              GetFileAttributesW((layout.other + L"\\ds_linked.dll").c_str()))
        << "link layout missing";
    int repointed = 0;
    DSTEST::Script script;
    script.winVerifyTrust = [&](DS::WinTrustDataEx& record) -> LONG {
        if (repointed == 0 && layout.Repoint()) ++repointed;
        GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
        return DS::RealTrustPlatform().WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE),
                                                      &action, &record);
    };
    DSTEST::CScriptedPlatform platform(script);
    DSTEST::CTraceCapture trace;

    SetLastError(0);
    const HMODULE module = LoadLibraryWithIssuerCheckW(L"Karvelo, Inc.", layout.library.c_str());
    const DWORD error = GetLastError();
    EXPECT_EQ(repointed, 1);
    EXPECT_EQ(module, nullptr);
    EXPECT_EQ(error, ERROR_FAILED_ISSUER_CHECK);
    EXPECT_EQ(GetModuleHandleW(layout.library.c_str()), nullptr);
    EXPECT_EQ(GetModuleHandleW((layout.checked + L"\\ds_linked.dll").c_str()), nullptr);
    // Refused before the load: the link is below the executable's folder.
    EXPECT_EQ(trace.Count(L"ds_linked.dll) is not reached without a link below its trusted "
                          L"folder. Not loaded."),
              1u);
    EXPECT_EQ(trace.Count(L"ds_linked.dll) loaded is not the file checked. Freed."), 0u);
    if (module != nullptr) FreeLibrary(module);
}

}  // namespace
