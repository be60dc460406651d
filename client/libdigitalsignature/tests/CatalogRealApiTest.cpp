// The single-sign catalog verification against Wine's real catalog database:
// catalogs made at build time (see data/make-test-catalog.cmake) are added
// to the prefix's catalog root for one test and removed afterwards (see
// TestCatalog.h for the time-stamp Wine needs). Wine can loop for ever on a
// catalog it cannot parse, so every catalog call runs on a worker with a
// time-out.
#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <iterator>
#include <thread>
#include <vector>

#include "DsTestSupport.h"
#include "TestCatalog.h"
#include "ds_stvdsmanager.h"

namespace {

using DSTEST::TestFile;
using Manager = CStvDigitalSignatureManagerEx;

constexpr auto kCatalogTimeout = std::chrono::seconds(60);

// Runs `work` on a worker; a hang ends the test process (the catalog
// database would stay unusable for every later call anyway).
template <typename Work>
auto WithTimeout(Work work) -> decltype(work()) {
    std::packaged_task<decltype(work())()> task(work);
    auto result = task.get_future();
    std::thread worker(std::move(task));
    if (result.wait_for(kCatalogTimeout) != std::future_status::ready) {
        ADD_FAILURE() << "catalog call did not return";
        ::TerminateProcess(::GetCurrentProcess(), 3);
    }
    worker.join();
    return result.get();
}

HCATADMIN AcquireAdmin() {
    GUID action = DRIVER_ACTION_VERIFY;
    HCATADMIN admin = nullptr;
    EXPECT_TRUE(::CryptCATAdminAcquireContext(&admin, &action, 0));
    return admin;
}

// One catalog of the build in the catalog root for the scope.
class CInstalledCatalog : public DSTEST::CInstalledCatalog {
public:
    explicit CInstalledCatalog(const wchar_t* catalogFile)
        : DSTEST::CInstalledCatalog(TestFile(catalogFile)) {}
};

TEST(digitalsignature_CatalogRealApi, SystemSignedCatalogListingTheFilePasses) {
    CInstalledCatalog catalog(L"zel_cat_system.cat");
    ASSERT_TRUE(catalog.Added());
    DSTEST::CTraceCapture trace;
    const std::wstring file = TestFile(L"ds_sample.dll");

    EXPECT_EQ(WithTimeout([&] { return Manager::VerifyByMSCatalogSingleSign(file.c_str()); }), 0u);
    const VerifyResult result = WithTimeout([&] {
        return Manager::VerifyDigitalSignature(
            file.c_str(), DS_VERIFY_KARVELO_SIGNER | DS_VERIFY_TRY_CATALOGS, false);
    });
    EXPECT_EQ(result.dwErrorCode, 0u);
    EXPECT_TRUE(result.bVerified);
    EXPECT_TRUE(trace.Has(L"VerifyByMSCatalogSingleSign - hash algorithm=SHA1, file hash="));
    EXPECT_TRUE(trace.Has(L"get signer=[Microsoft Windows] for the digital signature"));
    EXPECT_TRUE(
        trace.Has(L"VerifyByMSCatalogSingleSign - find a valid digital signature and "
                  L"signer is correct"));
}

TEST(digitalsignature_CatalogRealApi, KarveloSignedCatalogIsRefusedEvenWithTheKarveloFlag) {
    CInstalledCatalog catalog(L"zel_cat_karvelo.cat");
    ASSERT_TRUE(catalog.Added());
    const std::wstring file = TestFile(L"ds_sample.dll");

    EXPECT_EQ(WithTimeout([&] { return Manager::VerifyByMSCatalogSingleSign(file.c_str()); }),
              ERROR_FAILED_ISSUER_CHECK);
    const VerifyResult result = WithTimeout([&] {
        return Manager::VerifyDigitalSignature(
            file.c_str(), DS_VERIFY_KARVELO_SIGNER | DS_VERIFY_TRY_CATALOGS, false);
    });
    EXPECT_EQ(result.dwErrorCode, 0x800B0100u);  // the embedded check's error
    EXPECT_FALSE(result.bVerified);
}

TEST(digitalsignature_CatalogRealApi, NoListingCatalogGivesTheLastErrorOfTheCatalogSearch) {
    // A catalog is installed, but it lists another file.
    CInstalledCatalog catalog(L"zel_cat_system.cat");
    ASSERT_TRUE(catalog.Added());
    const std::wstring file = TestFile(L"ds_karvelo.dll");
    // What the platform's search leaves as last error for this file.
    const DWORD searchError = WithTimeout([&] {
        HCATADMIN admin = AcquireAdmin();
        UTIL::unique_handle handle(::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                                 nullptr, OPEN_EXISTING, 0, nullptr));
        std::vector<BYTE> hash = Manager::EzCATAdminCalcHashFromFileHandle(handle.get());
        HCATINFO info = ::CryptCATAdminEnumCatalogFromHash(
            admin, hash.data(), static_cast<DWORD>(hash.size()), 0, nullptr);
        const DWORD error = ::GetLastError();
        EXPECT_EQ(info, nullptr);
        ::CryptCATAdminReleaseContext(admin, 0);
        return error;
    });
    // Wine 8's answer when the catalogs it walked list no such hash.
    EXPECT_EQ(searchError, static_cast<DWORD>(ERROR_NO_MORE_FILES));

    EXPECT_EQ(WithTimeout([&] { return Manager::VerifyByMSCatalogSingleSign(file.c_str()); }),
              searchError);
}

}  // namespace
