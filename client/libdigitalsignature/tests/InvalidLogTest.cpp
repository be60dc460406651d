// VerifyDigitalSignatureAndLog: a refusal names the file in the verifier's
// invalid-signature log; an accepted file leaves the log alone.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "DsTestSupport.h"
#include "UniqueHandle.h"
#include "ds_stvdsmanager.h"

namespace {

using DSTEST::TestFile;
using Manager = CStvDigitalSignatureManagerEx;

const wchar_t kAppKey[] = L"SOFTWARE\\Karvelo\\HalvixNTCorp\\CurrentVersion";
const wchar_t kProductFolder[] = L"C:\\zel_ds_logtest\\";
const wchar_t kLogFile[] = L"C:\\zel_ds_logtest\\Misc\\DSInvalidLogLastInfo.log";

// The product's application path points at a folder of the test's own.
class digitalsignature_InvalidLog : public ::testing::Test {
protected:
    void SetUp() override {
        ::CreateDirectoryW(kProductFolder, nullptr);
        ::CreateDirectoryW((std::wstring(kProductFolder) + L"Misc").c_str(), nullptr);
        ::DeleteFileW(kLogFile);
        UTIL::unique_hkey key;
        ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kAppKey, 0, nullptr, 0,
                                    KEY_SET_VALUE | KEY_WOW64_32KEY, nullptr, key.put(), nullptr),
                  ERROR_SUCCESS);
        const DWORD bytes = static_cast<DWORD>((wcslen(kProductFolder) + 1) * sizeof(wchar_t));
        ASSERT_EQ(::RegSetValueExW(key.get(), L"Application Path", 0, REG_SZ,
                                   reinterpret_cast<const BYTE*>(kProductFolder), bytes),
                  ERROR_SUCCESS);
    }

    void TearDown() override {
        UTIL::unique_hkey key;
        if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kAppKey, 0, KEY_SET_VALUE | KEY_WOW64_32KEY,
                            key.put()) == ERROR_SUCCESS) {
            ::RegDeleteValueW(key.get(), L"Application Path");
        }
        ::DeleteFileW(kLogFile);
        ::RemoveDirectoryW((std::wstring(kProductFolder) + L"Misc").c_str());
        ::RemoveDirectoryW(kProductFolder);
    }

    static std::wstring ReadLog() {
        std::ifstream in(kLogFile, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
        std::wstring text(bytes.size() / 2, L'\0');
        memcpy(&text[0], bytes.data(), text.size() * sizeof(wchar_t));
        return text;
    }
};

TEST_F(digitalsignature_InvalidLog, RefusedFileIsNamedWithItsErrorCode) {
    const std::wstring file = TestFile(L"ds_sample.dll");
    const VerifyResult result =
        Manager::VerifyDigitalSignatureAndLog(file.c_str(), DS_VERIFY_KARVELO_SIGNER, false);
    EXPECT_FALSE(result.bVerified);
    EXPECT_EQ(result.dwErrorCode, 0x800B0100u);
    EXPECT_EQ(ReadLog(), file + L"\t-2146762496" + std::wstring(1, L'\0'));
}

TEST_F(digitalsignature_InvalidLog, RefusedSignerIsLoggedWithTheIssuerError) {
    const std::wstring file = TestFile(L"ds_other.dll");
    EXPECT_EQ(Manager::VerifyDigitalSignatureAndLog(file.c_str(), DS_VERIFY_KARVELO_SIGNER, false)
                  .dwErrorCode,
              ERROR_FAILED_ISSUER_CHECK);
    EXPECT_EQ(ReadLog(), file + L"\t536876103" + std::wstring(1, L'\0'));
}

TEST_F(digitalsignature_InvalidLog, AcceptedFileWritesNothing) {
    const VerifyResult result = Manager::VerifyDigitalSignatureAndLog(
        TestFile(L"ds_karvelo.dll").c_str(), DS_VERIFY_KARVELO_SIGNER, false);
    EXPECT_TRUE(result.bVerified);
    EXPECT_EQ(::GetFileAttributesW(kLogFile), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
