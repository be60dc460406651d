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

}  // namespace ZELTEST
