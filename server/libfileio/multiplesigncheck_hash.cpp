// LowLevelVerifyHash: does the file's hash match the indirect data of its
// embedded signature? Nothing else (no chain, no trust) is looked at. The SIP
// calls go through the platform table: Wine 8 stubs two of them.
#include <windows.h>
#include <wincrypt.h>
#include <mssip.h>

#include <memory>
#include <new>

#include "CryptHandles.h"
#include "DebugTrace.h"
#include "HeldFile.h"
#include "multiplesigncheck.h"

namespace {

constexpr wchar_t kName[] = L"LowLevelVerifyHash";
constexpr char kIndirectDataOid[] = "1.3.6.1.4.1.311.2.1.4";

bool Failed(const wchar_t* call) {
    DebugTraceW('E', TRACE_SRC_W, L"%s - failed to %s, err=[0x%lx]", kName, call, ::GetLastError());
    return false;
}

using Bytes = std::unique_ptr<BYTE[]>;

Bytes Allocate(DWORD size) {
    return Bytes(new (std::nothrow) BYTE[size > 0 ? size : 1]());
}

// The embedded signature (index 0) as the SIP reads it.
bool SignedDataMsg(SIP_SUBJECTINFO& subject, DWORD& encoding, Bytes& message, DWORD& size) {
    const DS::TrustPlatform& platform = DS::Platform();
    size = 0;
    if (!platform.CryptSIPGetSignedDataMsg(&subject, &encoding, 0, &size, nullptr)) {
        return Failed(L"CryptSIPGetSignedDataMsg");
    }
    message = Allocate(size);
    if (!message ||
        !platform.CryptSIPGetSignedDataMsg(&subject, &encoding, 0, &size, message.get())) {
        return Failed(L"CryptSIPGetSignedDataMsg");
    }
    return true;
}

// The signed content of the message: its Authenticode indirect data.
bool MessageContent(DWORD encoding, const Bytes& message, DWORD size, Bytes& content,
                    DWORD& contentSize) {
    UTIL::unique_crypt_msg decoder(::CryptMsgOpenToDecode(encoding, 0, 0, 0, nullptr, nullptr));
    if (!decoder) return Failed(L"CryptMsgOpenToDecode");
    if (!::CryptMsgUpdate(decoder.get(), message.get(), size, TRUE)) {
        return Failed(L"CryptMsgUpdate");
    }
    contentSize = 0;
    if (!::CryptMsgGetParam(decoder.get(), CMSG_CONTENT_PARAM, 0, nullptr, &contentSize)) {
        return Failed(L"CryptMsgGetParam");
    }
    content = Allocate(contentSize);
    if (!content ||
        !::CryptMsgGetParam(decoder.get(), CMSG_CONTENT_PARAM, 0, content.get(), &contentSize)) {
        return Failed(L"CryptMsgGetParam");
    }
    return true;
}

bool DecodeIndirectData(DWORD encoding, const Bytes& content, DWORD contentSize, Bytes& decoded) {
    DWORD size = 0;
    if (!::CryptDecodeObject(encoding, kIndirectDataOid, content.get(), contentSize, 0, nullptr,
                             &size)) {
        return Failed(L"CryptDecodeObject");
    }
    decoded = Allocate(size);
    if (!decoded || !::CryptDecodeObject(encoding, kIndirectDataOid, content.get(), contentSize, 0,
                                         decoded.get(), &size)) {
        return Failed(L"CryptDecodeObject");
    }
    return true;
}

bool HashMatchesSignature(LPCWSTR path) {
    const DS::TrustPlatform& platform = DS::Platform();
    // The SIP reads the held file through its handle when this thread holds it.
    const UTIL::unique_handle file = DS::OpenFileForCheck(path);
    const HANDLE handle = file ? file.get() : INVALID_HANDLE_VALUE;
    GUID subjectType{};
    if (!platform.CryptSIPRetrieveSubjectGuidForCatalogFile(path, handle, &subjectType)) {
        return Failed(L"CryptSIPRetrieveSubjectGuidForCatalogFile");
    }
    SIP_SUBJECTINFO subject{};
    subject.cbSize = sizeof(subject);
    subject.pgSubjectType = &subjectType;
    subject.hFile = handle;
    subject.pwsFileName = path;
    DWORD encoding = 0;
    Bytes message;
    DWORD messageSize = 0;
    if (!SignedDataMsg(subject, encoding, message, messageSize)) return false;
    Bytes content;
    DWORD contentSize = 0;
    if (!MessageContent(encoding, message, messageSize, content, contentSize)) return false;
    Bytes indirectData;
    if (!DecodeIndirectData(encoding, content, contentSize, indirectData)) return false;
    subject.dwEncodingType = encoding;
    if (!platform.CryptSIPVerifyIndirectData(
            &subject, reinterpret_cast<SIP_INDIRECT_DATA*>(indirectData.get()))) {
        return Failed(L"CryptSIPVerifyIndirectData");
    }
    return true;
}

}  // namespace

bool LowLevelVerifyHash(LPCWSTR pwszFile) {
    bool matches = false;
    if (pwszFile == nullptr) {
        DebugTraceW('E', TRACE_SRC_W, L"%s - path is NULL", kName);
    } else {
        matches = HashMatchesSignature(pwszFile);
    }
    DebugTraceW('E', TRACE_SRC_W, L"%s - path=[%s], ret=[%s]", kName,
                pwszFile != nullptr ? pwszFile : L"null", matches ? L"true" : L"false");
    return matches;
}
