// The signatures of a signed PE file taken apart, for tests that must answer
// as Windows' WinTrust would where Wine does not: which signature an index
// names, and whether that signature was made over the file's bytes.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "CryptHandles.h"

namespace ZELTEST {

// Index 0 is the primary signature, 1.. the nested ones in order, as the
// multiple-signature WinTrust numbers them. Empty for an unsigned file.
std::vector<UTIL::unique_crypt_msg> SignatureMessages(const std::wstring& file);

// WinTrust's status with WTD_HASH_ONLY_FLAG as Windows gives it for the
// signature at `index`: 0 when it was made over the file's bytes,
// TRUST_E_BAD_DIGEST when not, TRUST_E_NOSIGNATURE when there is none.
LONG HashOnlyStatusAsOnWindows(const std::wstring& file, DWORD index);

// Whether the signer of the signature at `index` authenticated the content
// that its message carries: the messageDigest attribute against the hash
// of that content.
// Windows' signature check compares the two; Wine 8's does not.
bool SignedContentIsIntact(const std::wstring& file, DWORD index);

// Writes `out`: `file` whose signature at `index` carries the file's own
// image digest in its indirect data instead of the one signed, every other
// byte (signer information and signature included) untouched: the content
// is no longer what the signer signed. False when the signed digest is not
// found exactly once or already is the file's.
bool WriteContentSwappedCopy(const std::wstring& file, DWORD index, const std::wstring& out);

}  // namespace ZELTEST
