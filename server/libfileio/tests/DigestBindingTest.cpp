// A signature counts only over the bytes it was made for. The image digest
// against the digests osslsigncode signed, then the trusted-key fallback
// given files whose signatures were copied from another file or whose bytes
// changed after signing, with WinTrust's hash-only answers as Windows gives
// them (Wine 8 ignores WTD_HASH_ONLY_FLAG and checks the chain too).
#include <gtest/gtest.h>

#include <string>

#include "FileIoTestSupport.h"
#include "SignatureParts.h"
#include "TwoSignerMessage.h"
#include "multiplesigncheck.h"

namespace {

using DS::DigestBinding;
using FILEIOTEST::Fixture;
using FILEIOTEST::WinVerifyCall;

TEST(fileio_DigestBinding, EachSignatureIsBoundToTheImageItWasMadeFor) {
    struct Case {
        const wchar_t* signatureOf;
        std::wstring file;
        DigestBinding expected;
    };
    const Case cases[] = {
        {L"sample-karvelo.dll", Fixture(L"sample-karvelo.dll"), DigestBinding::Bound},
        {L"sample-karvelo-sha1.dll", Fixture(L"sample-karvelo-sha1.dll"), DigestBinding::Bound},
        // One image, another signature: the certificate table is not digested.
        {L"sample-karvelo.dll", Fixture(L"sample-other.dll"), DigestBinding::Bound},
        {L"korvalis-karvelo.dll", Fixture(L"sample-karvelo.dll"), DigestBinding::Mismatch},
        {L"sample-karvelo.dll", Fixture(L"sample-karvelo-tampered-nest-untrusted.dll"),
         DigestBinding::Mismatch},
        {L"sample-karvelo.dll", Fixture(L"no-such-file.dll"), DigestBinding::FileUnreadable},
    };
    for (const Case& c : cases) {
        const std::vector<UTIL::unique_crypt_msg> messages =
            ZELTEST::SignatureMessages(Fixture(c.signatureOf));
        ASSERT_FALSE(messages.empty()) << "no signature in the fixture";
        DS::CFileImageDigest digest(c.file.c_str());
        EXPECT_EQ(digest.CheckSignature(messages[0].get()), c.expected)
            << "signature of " << testing::PrintToString(std::wstring(c.signatureOf))
            << " against " << testing::PrintToString(c.file);
    }
    DS::CFileImageDigest digest(Fixture(L"sample-karvelo.dll").c_str());
    EXPECT_EQ(digest.CheckSignature(nullptr), DigestBinding::NoIndirectData);

    // The maker's signature given the changed file's own digest in its
    // content: the digests agree, but the signer signed other content.
    const std::wstring swapped = Fixture(L"sample-karvelo-swapped.dll");
    ASSERT_TRUE(ZELTEST::WriteContentSwappedCopy(
        Fixture(L"sample-karvelo-tampered-nest-untrusted.dll"), 0, swapped));
    const std::vector<UTIL::unique_crypt_msg> messages = ZELTEST::SignatureMessages(swapped);
    ASSERT_FALSE(messages.empty());
    DS::CFileImageDigest swappedDigest(swapped.c_str());
    EXPECT_EQ(swappedDigest.CheckSignature(messages[0].get()), DigestBinding::ContentMismatch);

    // Nobody may write the file while it is hashed: held open for writing
    // elsewhere, it is not hashed at all.
    const UTIL::unique_handle writer(CreateFileW(swapped.c_str(), GENERIC_WRITE,
                                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                 OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(writer);
    DS::CFileImageDigest whileWritable(Fixture(L"sample-karvelo-swapped.dll").c_str());
    EXPECT_EQ(whileWritable.Digest(CALG_SHA_256), nullptr);
}

// Each check has a verifier of its own, made under the scripted platform
// with the product's provider loaded: the "Karvelo, Inc." keys are trusted.
class DigestBoundKeys : public ::testing::Test {
protected:
    // WinTrust as Windows answers the hash-only check of the signature at
    // the index asked for (the multiple-sign record names it and learns the
    // number of nested signatures).
    void AnswerHashOnlyAsOnWindows(const std::wstring& file) {
        const size_t signatures = ZELTEST::SignatureMessages(file).size();
        const DWORD nested = signatures > 1 ? static_cast<DWORD>(signatures - 1) : 0;
        m_platform.ScriptWinVerifyTrust(
            [file, nested](const WinVerifyCall& call, DS::SignatureSettings* settings) {
                EXPECT_EQ(call.provFlags, static_cast<DWORD>(WTD_HASH_ONLY_FLAG));
                if (settings != nullptr) settings->cSecondarySigs = nested;
                return ZELTEST::HashOnlyStatusAsOnWindows(file, call.index);
            });
    }

    bool VerifyByCertInfo(const std::wstring& file) {
        CVerifyFileSignV2 verifier;  // made under the scripted platform
        if (!verifier.LoadKorvalisAndUpdatePublicKeyList(
                Fixture(L"korvalis-karvelo.dll").c_str())) {
            ADD_FAILURE() << "the key provider did not load";
            return false;
        }
        WINTRUST_DATA record{};
        record.cbStruct = sizeof(record);
        record.dwUIChoice = WTD_UI_NONE;
        record.dwUnionChoice = WTD_CHOICE_FILE;
        return verifier.VerifyEmbeddedSignatureByCertInfo(file.c_str(), &record, 0);
    }

    FILEIOTEST::CTraceCapture m_trace;
    FILEIOTEST::CScriptedPlatform m_platform;
};
using fileio_DigestBoundKeys = DigestBoundKeys;

TEST_F(fileio_DigestBoundKeys, CopiedNestedSignatureContributesNoKeyOnEitherPlatform) {
    const std::wstring file = Fixture(L"sample-untrusted-graft-karvelo.dll");
    ASSERT_EQ(ZELTEST::SignatureMessages(file).size(), 2u);
    AnswerHashOnlyAsOnWindows(file);
    EXPECT_FALSE(VerifyByCertInfo(file));  // single-sign: Wine's own probe
    m_platform.ScriptMultipleSignPlatform();
    EXPECT_FALSE(VerifyByCertInfo(file));
    const std::vector<FILEIOTEST::TraceLine> lines = m_trace.Lines();
    size_t skipped = 0;
    for (const FILEIOTEST::TraceLine& line : lines) {
        if (line.text ==
            L"CVerifyFileSignV2::VerifySecondarySignatureAndGetCertInfo - Skipped a secondary "
            L"signature that does not belong to this file: the signed digest does not match "
            L"the file") {
            ++skipped;
            EXPECT_EQ(line.level, 'E');
        }
    }
    EXPECT_EQ(skipped, 2u) << m_trace.Dump();
    EXPECT_FALSE(m_trace.Contains(L"Secondary signature verified: 1"));
}

TEST_F(fileio_DigestBoundKeys, MakersSignatureOverChangedBytesIsRefusedDespiteAMatchingNested) {
    // The nested signature (a root nobody trusts) matches the changed bytes,
    // so the multiple-sign hash check passes at index 1; the maker's key must
    // not count for a signature that no longer matches.
    const std::wstring file = Fixture(L"sample-karvelo-tampered-nest-untrusted.dll");
    ASSERT_EQ(ZELTEST::HashOnlyStatusAsOnWindows(file, 1), 0);
    m_platform.ScriptMultipleSignPlatform();
    AnswerHashOnlyAsOnWindows(file);
    EXPECT_FALSE(VerifyByCertInfo(file));
    EXPECT_TRUE(m_trace.Contains(
        L"CVerifyFileSignV2::VerifySignatureAndGetCertInfo - The primary signature does not "
        L"belong to this file: the signed digest does not match the file"))
        << m_trace.Dump();
    EXPECT_FALSE(m_trace.Contains(L"Primary signature verified"));
}

TEST_F(fileio_DigestBoundKeys, GenuineFilesKeepTheirVerdictsWithWindowsAnswers) {
    struct Case {
        const wchar_t* fixture;
        bool multipleSign;
        bool expected;
    };
    const Case cases[] = {
        {L"sample-karvelo.dll", false, true},
        {L"sample-karvelo-sha1.dll", false, true},
        {L"sample-other-nest-karvelo.dll", false, true},
        {L"sample-expired.dll", false, true},
        {L"sample-other.dll", false, false},
        {L"sample-karvelo.dll", true, true},
        {L"sample-other-nest-karvelo.dll", true, true},
    };
    for (const Case& c : cases) {
        const std::wstring file = Fixture(c.fixture);
        if (c.multipleSign) m_platform.ScriptMultipleSignPlatform();
        AnswerHashOnlyAsOnWindows(file);
        EXPECT_EQ(VerifyByCertInfo(file), c.expected)
            << testing::PrintToString(std::wstring(c.fixture)) << " multiple=" << c.multipleSign;
    }
}

// Opened as detached: Wine 8's decoder sets up the second signer's hash in
// the first one's place and cannot open a message with two signers at all
// (Windows opens it); the content is in the message either way.
UTIL::unique_crypt_msg DecodedMessage(const std::vector<BYTE>& der) {
    UTIL::unique_crypt_msg message(CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                                        CMSG_DETACHED_FLAG, 0, 0, nullptr,
                                                        nullptr));
    if (message && !CryptMsgUpdate(message.get(), der.data(), static_cast<DWORD>(der.size()), TRUE)) {
        message.reset();
    }
    return message;
}

// Authenticode has exactly one signer. The maker's signature over this very
// image, with its signer written twice, binds nothing; the same message as
// signed still binds.
TEST(fileio_DigestBinding, SignatureWithTwoSignerInfosIsRefused) {
    const std::wstring file = Fixture(L"sample-karvelo.dll");
    const std::vector<BYTE> signedOnce = FILEIOTEST::EmbeddedSignature(file);
    const std::vector<BYTE> signedTwice = FILEIOTEST::WithSignerTwice(signedOnce);
    ASSERT_FALSE(signedTwice.empty());
    struct Case {
        const std::vector<BYTE>* der;
        DWORD signers;
        DigestBinding expected;
    };
    const Case cases[] = {{&signedOnce, 1, DigestBinding::Bound},
                          {&signedTwice, 2, DigestBinding::NotOneSigner}};
    for (const Case& c : cases) {
        const UTIL::unique_crypt_msg message = DecodedMessage(*c.der);
        ASSERT_TRUE(message);
        DWORD signers = 0;
        DWORD size = sizeof(signers);
        ASSERT_TRUE(CryptMsgGetParam(message.get(), CMSG_SIGNER_COUNT_PARAM, 0, &signers, &size));
        ASSERT_EQ(signers, c.signers);
        DS::CFileImageDigest digest(file.c_str());
        EXPECT_EQ(digest.CheckSignature(message.get()), c.expected) << c.signers;
    }
    EXPECT_EQ(std::wstring(DS::DigestBindingText(DigestBinding::NotOneSigner)),
              L"the signature does not have exactly one signer");
}

}  // namespace
