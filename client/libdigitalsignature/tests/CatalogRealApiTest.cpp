// The single-sign catalog verification against Wine's real catalog database:
// catalogs made at build time (see data/make-test-catalog.cmake) are added
// to the prefix's catalog root for one test and removed afterwards. Wine can
// loop for ever on a catalog it cannot parse, so every catalog call runs on a
// worker with a time-out.
//
// Wine 8 checks a catalog signer's chain as of the signer's countersigned
// time, and as of 1 January 1601 when there is none, so that every catalog
// without a time-stamp counts as expired. The test therefore gives the
// catalog an (unverified, as in Wine) countersignature that carries a signing
// time; the catalog database, the hash, the catalog's own signature and its
// signer are all Wine's.
#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <iterator>
#include <thread>
#include <vector>

#include "DsTestSupport.h"
#include "ds_stvdsmanager.h"

namespace {

using DSTEST::TestFile;
using Manager = CStvDigitalSignatureManagerEx;

constexpr auto kCatalogTimeout = std::chrono::seconds(60);
const wchar_t kInstalledName[] = L"zel_test_member.cat";

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

using Bytes = std::vector<BYTE>;

struct Tlv {
    size_t start;    // tag
    size_t content;  // first content byte
    size_t end;      // one past the last content byte
};

Tlv ReadTlv(const Bytes& der, size_t at) {
    size_t length = der.at(at + 1);
    size_t content = at + 2;
    if (length >= 0x80) {
        const size_t count = length & 0x7F;
        length = 0;
        for (size_t i = 0; i < count; ++i) length = (length << 8) | der.at(content++);
    }
    return {at, content, content + length};
}

Tlv LastChild(const Bytes& der, const Tlv& parent) {
    Tlv child = ReadTlv(der, parent.content);
    while (child.end < parent.end) child = ReadTlv(der, child.end);
    return child;
}

Bytes Wrap(BYTE tag, const Bytes& content) {
    Bytes out = {tag};
    const size_t n = content.size();
    if (n < 0x80) {
        out.push_back(static_cast<BYTE>(n));
    } else if (n <= 0xFF) {
        out.insert(out.end(), {0x81, static_cast<BYTE>(n)});
    } else {
        out.insert(out.end(), {0x82, static_cast<BYTE>(n >> 8), static_cast<BYTE>(n & 0xFF)});
    }
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

Bytes Join(const Bytes& der, size_t from, size_t to, const Bytes& tail) {
    Bytes out(der.begin() + from, der.begin() + to);
    out.insert(out.end(), tail.begin(), tail.end());
    return out;
}

// The current time as a DER UTCTime.
Bytes UtcTimeNow() {
    SYSTEMTIME now = {};
    ::GetSystemTime(&now);
    char text[16] = {};
    _snprintf(text, sizeof(text) - 1, "%02u%02u%02u%02u%02u%02uZ", now.wYear % 100, now.wMonth,
              now.wDay, now.wHour, now.wMinute, now.wSecond);
    return Wrap(0x17, Bytes(text, text + 13));
}

// [1] unauthenticated attributes with one countersignature whose signing
// time is now (the test root is made at build time).
Bytes CountersignatureTime() {
    const Bytes timeOid = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x05};
    const Bytes signingTime =
        Wrap(0x30, Join(timeOid, 0, timeOid.size(), Wrap(0x31, UtcTimeNow())));
    Bytes signer = {0x02, 0x01, 0x01, 0x30, 0x05, 0x30, 0x00, 0x02, 0x01, 0x01, 0x30,
                    0x09, 0x06, 0x05, 0x2B, 0x0E, 0x03, 0x02, 0x1A, 0x05, 0x00};
    const Bytes authAttrs = Wrap(0xA0, signingTime);
    signer.insert(signer.end(), authAttrs.begin(), authAttrs.end());
    signer.insert(signer.end(), {0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01,
                                 0x01, 0x01, 0x05, 0x00, 0x04, 0x01, 0x00});
    const Bytes oid = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x06};
    return Wrap(0xA1, Wrap(0x30, Join(oid, 0, oid.size(), Wrap(0x31, Wrap(0x30, signer)))));
}

// The signed catalog with the countersignature appended to its (only)
// signer: every enclosing structure is re-wrapped with its new length.
Bytes WithCountersignatureTime(const Bytes& der) {
    const Tlv contentInfo = ReadTlv(der, 0);
    const Tlv explicitContent = LastChild(der, contentInfo);
    const Tlv signedData = ReadTlv(der, explicitContent.content);
    const Tlv signerInfos = LastChild(der, signedData);
    const Tlv signerInfo = LastChild(der, signerInfos);
    const Bytes newSigner =
        Wrap(0x30, Join(der, signerInfo.content, signerInfo.end, CountersignatureTime()));
    const Bytes newSet = Wrap(0x31, Join(der, signerInfos.content, signerInfo.start, newSigner));
    const Bytes newSignedData =
        Wrap(0x30, Join(der, signedData.content, signerInfos.start, newSet));
    const Bytes newExplicit = Wrap(0xA0, newSignedData);
    return Wrap(0x30, Join(der, contentInfo.content, explicitContent.start, newExplicit));
}

// A copy of a catalog of the build, with a signing time, in the temp folder.
std::wstring TimedCatalog(const wchar_t* catalogFile) {
    std::ifstream in(TestFile(catalogFile).c_str(), std::ios::binary);
    const Bytes der((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring path = std::wstring(temp) + L"zel_timed_" + catalogFile;
    std::ofstream out(path.c_str(), std::ios::binary | std::ios::trunc);
    const Bytes timed = WithCountersignatureTime(der);
    out.write(reinterpret_cast<const char*>(timed.data()),
              static_cast<std::streamsize>(timed.size()));
    return path;
}

HCATADMIN AcquireAdmin() {
    GUID action = DRIVER_ACTION_VERIFY;
    HCATADMIN admin = nullptr;
    EXPECT_TRUE(::CryptCATAdminAcquireContext(&admin, &action, 0));
    return admin;
}

void RemoveTestCatalog() {
    HCATADMIN admin = AcquireAdmin();
    ::CryptCATAdminRemoveCatalog(admin, kInstalledName, 0);
    ::CryptCATAdminReleaseContext(admin, 0);
}

// One catalog of the build in the catalog root for the scope.
class CInstalledCatalog {
public:
    explicit CInstalledCatalog(const wchar_t* catalogFile) {
        RemoveTestCatalog();
        HCATADMIN admin = AcquireAdmin();
        std::wstring path = TimedCatalog(catalogFile);
        HCATINFO info =
            ::CryptCATAdminAddCatalog(admin, &path[0], const_cast<PWSTR>(kInstalledName), 0);
        m_added = info != nullptr;
        if (m_added) ::CryptCATAdminReleaseCatalogContext(admin, info, 0);
        ::CryptCATAdminReleaseContext(admin, 0);
    }
    ~CInstalledCatalog() { RemoveTestCatalog(); }
    bool Added() const { return m_added; }

private:
    bool m_added = false;
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
