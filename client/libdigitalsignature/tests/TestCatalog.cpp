#include "TestCatalog.h"

#include <windows.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <mscat.h>
#include <softpub.h>

#include <fstream>
#include <iterator>
#include <vector>

namespace DSTEST {

namespace {

const wchar_t kInstalledName[] = L"zel_test_member.cat";

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

Bytes Concat(Bytes head, const Bytes& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

Bytes Slice(const Bytes& der, size_t from, size_t to) {
    return Bytes(der.begin() + static_cast<std::ptrdiff_t>(from),
                 der.begin() + static_cast<std::ptrdiff_t>(to));
}

Bytes UtcTimeNow() {
    SYSTEMTIME now = {};
    ::GetSystemTime(&now);
    char text[16] = {};
    _snprintf(text, sizeof(text) - 1, "%02u%02u%02u%02u%02u%02uZ", now.wYear % 100, now.wMonth,
              now.wDay, now.wHour, now.wMinute, now.wSecond);
    return Wrap(0x17, Bytes(text, text + 13));
}

// [1] unauthenticated attributes: one countersignature (1.2.840.113549.1.9.6)
// whose only authenticated attribute is a signing time of now.
Bytes CountersignatureNow() {
    const Bytes timeOid = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x05};
    const Bytes signingTime = Wrap(0x30, Concat(timeOid, Wrap(0x31, UtcTimeNow())));
    Bytes signer = {0x02, 0x01, 0x01, 0x30, 0x05, 0x30, 0x00, 0x02, 0x01, 0x01, 0x30,
                    0x09, 0x06, 0x05, 0x2B, 0x0E, 0x03, 0x02, 0x1A, 0x05, 0x00};
    signer = Concat(signer, Wrap(0xA0, signingTime));
    signer.insert(signer.end(), {0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01,
                                 0x01, 0x01, 0x05, 0x00, 0x04, 0x01, 0x00});
    const Bytes oid = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x06};
    return Wrap(0xA1, Wrap(0x30, Concat(oid, Wrap(0x31, Wrap(0x30, signer)))));
}

// The countersignature appended to the catalog's only signer; every
// enclosing structure is re-wrapped with its new length.
Bytes WithCountersignatureNow(const Bytes& der) {
    const Tlv contentInfo = ReadTlv(der, 0);
    const Tlv explicitContent = LastChild(der, contentInfo);
    const Tlv signedData = ReadTlv(der, explicitContent.content);
    const Tlv signerInfos = LastChild(der, signedData);
    const Tlv signerInfo = LastChild(der, signerInfos);
    const Bytes newSigner =
        Wrap(0x30, Concat(Slice(der, signerInfo.content, signerInfo.end), CountersignatureNow()));
    const Bytes newSet =
        Wrap(0x31, Concat(Slice(der, signerInfos.content, signerInfo.start), newSigner));
    const Bytes newSignedData =
        Wrap(0x30, Concat(Slice(der, signedData.content, signerInfos.start), newSet));
    return Wrap(0x30, Concat(Slice(der, contentInfo.content, explicitContent.start),
                             Wrap(0xA0, newSignedData)));
}

std::wstring TimedCopy(const std::wstring& catalogFile) {
    std::ifstream in(catalogFile.c_str(), std::ios::binary);
    const Bytes der((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (der.size() < 2) return {};
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring path = std::wstring(temp) + L"zel_timed_member.cat";
    std::ofstream out(path.c_str(), std::ios::binary | std::ios::trunc);
    const Bytes timed = WithCountersignatureNow(der);
    out.write(reinterpret_cast<const char*>(timed.data()),
              static_cast<std::streamsize>(timed.size()));
    return out ? path : std::wstring();
}

void RemoveInstalled() {
    GUID action = DRIVER_ACTION_VERIFY;
    HCATADMIN admin = nullptr;
    if (!::CryptCATAdminAcquireContext(&admin, &action, 0)) return;
    ::CryptCATAdminRemoveCatalog(admin, kInstalledName, 0);
    ::CryptCATAdminReleaseContext(admin, 0);
}

}  // namespace

CInstalledCatalog::CInstalledCatalog(const std::wstring& catalogFile) {
    RemoveInstalled();
    std::wstring path = TimedCopy(catalogFile);
    GUID action = DRIVER_ACTION_VERIFY;
    HCATADMIN admin = nullptr;
    if (path.empty() || !::CryptCATAdminAcquireContext(&admin, &action, 0)) return;
    HCATINFO info =
        ::CryptCATAdminAddCatalog(admin, &path[0], const_cast<PWSTR>(kInstalledName), 0);
    m_added = info != nullptr;
    if (m_added) ::CryptCATAdminReleaseCatalogContext(admin, info, 0);
    ::CryptCATAdminReleaseContext(admin, 0);
}

CInstalledCatalog::~CInstalledCatalog() {
    RemoveInstalled();
}

}  // namespace DSTEST
