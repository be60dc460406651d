// The embedded PKCS #7 message of a signed PE file, and the same message
// with its one signer written twice: every byte that signer signed stays
// as it was.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace FILEIOTEST {

// The DER message in the file's first certificate-table entry; empty when
// there is none.
std::vector<BYTE> EmbeddedSignature(const std::wstring& file);

// The message with its SignerInfos holding the existing SignerInfo twice;
// empty unless it has exactly one.
std::vector<BYTE> WithSignerTwice(const std::vector<BYTE>& message);

}  // namespace FILEIOTEST
