// Binds a signature to the bytes of the file it claims to sign.
//
// An Authenticode signature signs its indirect data (1.3.6.1.4.1.311.2.1.4),
// which carries the digest of the PE image. WinTrust compares that digest
// with the file for the signatures it verifies; the fallbacks that take a
// signature apart with CryptoAPI (certificate information, trusted keys) see
// only that the signer signed *some* indirect data. Without this check a
// signature copied from another file, or a file changed after signing,
// would pass them.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <map>
#include <string>
#include <vector>

namespace DS {

enum class DigestBinding {
    Bound,             // the signature's digest equals the file's
    Mismatch,          // the signature was made over other bytes
    NoIndirectData,    // no readable Authenticode indirect data in the signature
    NotImageData,      // indirect data about something other than a PE image
    UnknownAlgorithm,  // a digest algorithm this code does not compute
    FileUnreadable,    // the file's digest could not be computed
    NoMessageDigest,   // the signer authenticated no (or more than one) messageDigest
    ContentMismatch,   // the content present is not the content the signer signed
    NotOneSigner,      // the message has no signer or more than one
};

// Why a signature is or is not bound to the file, for trace lines.
const wchar_t* DigestBindingText(DigestBinding binding);

// The Authenticode image digests of one file. Each algorithm is computed on
// its first request (one pass through the file) and kept for the life of
// the object, so that a check of several signatures reads the file once per
// algorithm. One object belongs to one verification on one thread.
class CFileImageDigest {
public:
    explicit CFileImageDigest(LPCWSTR pwszFile);

    // Whether the signer's authenticated messageDigest is the digest of the
    // message's content, and the digest in that content (the indirect data)
    // equals this file's digest computed with the content's own algorithm.
    DigestBinding CheckSignature(HCRYPTMSG hMsg);

    // The file's image digest with a CALG_SHA* algorithm; null when it cannot
    // be computed (the thread's last error says why).
    const std::vector<BYTE>* Digest(ALG_ID algorithm);

    const std::wstring& Path() const { return m_path; }

private:
    std::wstring m_path;
    std::map<ALG_ID, std::vector<BYTE>> m_digests;  // an empty digest: it failed
};

}  // namespace DS
