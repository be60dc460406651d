// Files whose signature is not bound to their bytes, through the entries a
// caller uses (the manager, CheckFileIssuer, the issuer-checked loader), on
// both platform generations, with WinTrust and the chain policies answering
// as Windows does wherever Wine 8 differs (hash-only flag, signature index,
// timestamp policy). Each scripted answer is computed from the real file:
// whether the signature it names was made over the file's bytes, and Wine's
// own verification of the primary signature.
#include <gtest/gtest.h>

#include <string>

#include "DsTestSupport.h"
#include "SignatureParts.h"
#include "ds_createprocwithissuercheck.h"
#include "ds_loadlibwithissuercheck.h"
#include "ds_stvdsmanager.h"

namespace {

using DSTEST::TestFile;

constexpr DWORD kBadDigest = 0x80096010;
constexpr DWORD kUntrustedRoot = 0x800B0109;
constexpr DWORD kNoSignature = 0x800B0100;
const wchar_t kMaker[] = L"Karvelo, Inc.";

// WinTrust as Windows answers for `file`. A nested signature that matches the
// file is judged by its own signer: the state of a real file that signer
// signed ("Karvelo, Inc." for every genuine nested signature here).
LONG WinTrustAsOnWindows(const std::wstring& file, DS::WinTrustDataEx& record) {
    const bool multiple =
        record.data.cbStruct >= sizeof(DS::WinTrustDataEx) && record.pSignatureSettings != nullptr;
    const DWORD index = multiple ? record.pSignatureSettings->dwIndex : 0;
    const size_t signatures = ZELTEST::SignatureMessages(file).size();
    if (multiple) {
        record.pSignatureSettings->cSecondarySigs =
            signatures > 1 ? static_cast<DWORD>(signatures - 1) : 0;
    }
    // Windows' signature check also compares the signer's messageDigest
    // with the content; Wine 8's does not.
    if (index < signatures && !ZELTEST::SignedContentIsIntact(file, index)) {
        return static_cast<LONG>(TRUST_E_BAD_DIGEST);
    }
    if ((record.data.dwProvFlags & WTD_HASH_ONLY_FLAG) != 0) {
        return ZELTEST::HashOnlyStatusAsOnWindows(file, index);
    }
    if (index == 0) {
        GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
        return DS::RealTrustPlatform().WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE),
                                                      &action, &record);
    }
    const LONG digest = ZELTEST::HashOnlyStatusAsOnWindows(file, index);
    if (digest != 0) return digest;
    return DSTEST::VerifyRealFileInto(TestFile(L"ds_karvelo.dll"), record);
}

struct Case {
    const wchar_t* file;
    DWORD expectedCode;
    const wchar_t* reason;  // a trace line part that says why; null for accepted files
};

// The file under test is the one the script answers for; it changes per case.
std::wstring g_current;

bool SameFile(HANDLE a, HANDLE b) {
    BY_HANDLE_FILE_INFORMATION infoA{};
    BY_HANDLE_FILE_INFORMATION infoB{};
    return ::GetFileInformationByHandle(a, &infoA) && ::GetFileInformationByHandle(b, &infoB) &&
           infoA.dwVolumeSerialNumber == infoB.dwVolumeSerialNumber &&
           infoA.nFileIndexHigh == infoB.nFileIndexHigh &&
           infoA.nFileIndexLow == infoB.nFileIndexLow;
}

// Other files (the notifier the loader binds after a refusal) get Wine's
// own answers.
bool IsFileUnderTest(const WINTRUST_DATA& data) {
    if (data.dwUnionChoice != WTD_CHOICE_FILE || data.pFile == nullptr) return false;
    if (data.pFile->hFile == nullptr || data.pFile->hFile == INVALID_HANDLE_VALUE) {
        return data.pFile->pcwszFilePath != nullptr && g_current == data.pFile->pcwszFilePath;
    }
    UTIL::unique_handle current(::CreateFileW(g_current.c_str(), 0,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                              nullptr, OPEN_EXISTING, 0, nullptr));
    return current && SameFile(current.get(), data.pFile->hFile);
}

DSTEST::Script WindowsAnswers() {
    DSTEST::Script script;
    script.winVerifyTrust = [](DS::WinTrustDataEx& record) -> LONG {
        if (IsFileUnderTest(record.data)) return WinTrustAsOnWindows(g_current, record);
        GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
        return DS::RealTrustPlatform().WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE),
                                                      &action, &record);
    };
    script.chainPolicy = DSTEST::PolicyAsOnWindows;
    return script;
}

void CheckEveryEntry(const Case& c) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(c.file)));
    g_current = c.file[0] != L'\0' && c.file[1] == L':' ? c.file : TestFile(c.file);
    const bool accepted = c.expectedCode == 0;
    DSTEST::CTraceCapture trace;

    const VerifyResult result = CStvDigitalSignatureManagerEx::VerifyDigitalSignature(
        g_current.c_str(), DS_VERIFY_KARVELO_SIGNER, false);
    EXPECT_EQ(result.dwErrorCode, c.expectedCode);
    EXPECT_EQ(result.bVerified, accepted);

    EXPECT_EQ(CheckFileIssuer(g_current.c_str(), kMaker), accepted ? TRUE : FALSE);

    ::SetLastError(0);
    const HMODULE module = LoadLibraryWithIssuerCheckW(kMaker, g_current.c_str());
    const DWORD loadError = ::GetLastError();
    EXPECT_EQ(module != nullptr, accepted);
    if (module != nullptr) {
        ::FreeLibrary(module);
    } else {
        EXPECT_EQ(loadError, ERROR_FAILED_ISSUER_CHECK);
        EXPECT_EQ(::GetModuleHandleW(g_current.c_str()), nullptr);
    }
    if (c.reason != nullptr) {
        EXPECT_EQ(trace.Count(c.reason), 3u);  // once per entry
    }
}

// A genuine maker signature whose indirect data was given the file's own
// digest, signer information untouched: the maker's file changed after
// signing (primary), or the maker's signature of another file nested behind
// another signer's. Written for each test under its own name.
std::wstring ContentSwappedCopy(const wchar_t* from, DWORD index, const std::wstring& name) {
    const std::wstring out = TestFile(name.c_str());
    return ZELTEST::WriteContentSwappedCopy(TestFile(from), index, out) ? out : std::wstring();
}

struct SwappedFiles {
    std::wstring primary;
    std::wstring nested;
};

SwappedFiles WriteSwappedFiles(const std::wstring& platform) {
    return {ContentSwappedCopy(L"ds_tampered.dll", 0, L"ds_swapped_karvelo_" + platform + L".dll"),
            ContentSwappedCopy(L"ds_other_graft_karvelo.dll", 1,
                               L"ds_other_swapped_karvelo_" + platform + L".dll")};
}

const wchar_t kContentNotSigned[] =
    L"does not belong to the file: the signer's messageDigest does not match the signed content";
const wchar_t kNestedContentSkipped[] =
    L"Skipped a secondary signature that does not belong to this file: the signer's "
    L"messageDigest does not match the signed content";
const wchar_t kNotThisFile[] = L"does not belong to the file: the signed digest does not match";
const wchar_t kHashRefused[] =
    L"The file hash doesn't match the file signature, error code: 80096010";
const wchar_t kNestedSkipped[] =
    L"Skipped a secondary signature that does not belong to this file: the signed digest does "
    L"not match the file";

// Files whose verdict and code do not depend on the platform generation.
const Case kSameOnBothPlatforms[] = {
    // Refused for their own reasons, not for Wine's timestamp policy.
    {L"ds_other.dll", ERROR_FAILED_ISSUER_CHECK, nullptr},
    {L"ds_untrusted.dll", kUntrustedRoot, nullptr},
    {L"ds_sample.dll", kNoSignature, nullptr},
    {L"ds_karvelo.dll", 0, nullptr},
    {L"ds_other_nest_karvelo.dll", 0, nullptr},
    {L"ds_expired.dll", 0, nullptr},
};

TEST(digitalsignature_SignatureBinding, SingleSignRefusesUnboundSignaturesAndKeepsGenuineOnes) {
    DSTEST::CScriptedPlatform platform(WindowsAnswers());
    ASSERT_FALSE(CSingletonWinTrustHelper::Instance().SupportsMultipleSign())
        << "the platform helper of this process was made elsewhere (ctest runs each test alone)";
    const Case cases[] = {
        // The maker's file changed after signing: the certificate information
        // proves the signer, only the digest shows the change.
        {L"ds_tampered.dll", kBadDigest, kNotThisFile},
        // Another signer with the maker's signature copied from another file.
        {L"ds_other_graft_karvelo.dll", ERROR_FAILED_ISSUER_CHECK, kNotThisFile},
        // A root nobody trusts opens the key list; the copied key must not count.
        {L"ds_untrusted_graft_karvelo.dll", kUntrustedRoot, kNestedSkipped},
    };
    for (const Case& c : cases) CheckEveryEntry(c);
    for (const Case& c : kSameOnBothPlatforms) CheckEveryEntry(c);
    const SwappedFiles swapped = WriteSwappedFiles(L"single");
    ASSERT_FALSE(swapped.primary.empty() || swapped.nested.empty()) << "swapped copies not written";
    CheckEveryEntry({swapped.primary.c_str(), kBadDigest, kContentNotSigned});
    CheckEveryEntry({swapped.nested.c_str(), ERROR_FAILED_ISSUER_CHECK, kContentNotSigned});
}

TEST(digitalsignature_SignatureBinding, MultipleSignRefusesUnboundSignaturesAndKeepsGenuineOnes) {
    DSTEST::Script script = WindowsAnswers();
    script.multipleSignPlatform = true;
    DSTEST::CScriptedPlatform platform(script);
    ASSERT_TRUE(CSingletonWinTrustHelper::Instance().SupportsMultipleSign())
        << "the platform helper of this process was made elsewhere (ctest runs each test alone)";
    const Case cases[] = {
        {L"ds_tampered.dll", kBadDigest, kHashRefused},
        // Windows refuses the copied signature at index 1, and that failure
        // opens the key list, which must refuse it as well.
        {L"ds_other_graft_karvelo.dll", kBadDigest, kNestedSkipped},
        {L"ds_untrusted_graft_karvelo.dll", kBadDigest, kNestedSkipped},
    };
    for (const Case& c : cases) CheckEveryEntry(c);
    for (const Case& c : kSameOnBothPlatforms) CheckEveryEntry(c);
    const SwappedFiles swapped = WriteSwappedFiles(L"multiple");
    ASSERT_FALSE(swapped.primary.empty() || swapped.nested.empty()) << "swapped copies not written";
    CheckEveryEntry({swapped.primary.c_str(), kBadDigest, kHashRefused});
    CheckEveryEntry({swapped.nested.c_str(), kBadDigest, kNestedContentSkipped});
}

}  // namespace
