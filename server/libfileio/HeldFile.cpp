#include "HeldFile.h"

#include <imagehlp.h>

#include <vector>

#include "PathLinks.h"

namespace DS {
namespace {

thread_local const CHeldFileScope* t_pInnermost = nullptr;

// Compared as Windows compares names.
bool SameName(const std::wstring& left, const std::wstring& right) {
    return ::CompareStringOrdinal(left.c_str(), static_cast<int>(left.size()), right.c_str(),
                                  static_cast<int>(right.size()), TRUE) == CSTR_EQUAL;
}

UTIL::unique_handle OpenForReading(LPCWSTR path) {
    return UTIL::unique_handle(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr,
                                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

}  // namespace

CHeldFileScope::CHeldFileScope(LPCWSTR path, HANDLE held) : m_given(path != nullptr ? path : L"") {
    // The normalized form costs a look-up of every folder on the path (under
    // Wine a listing of each): it is made only when a lookup needs it.
    if (m_given.empty() || HeldForGivenPath(path) != nullptr ||
        (t_pInnermost != nullptr && HeldFor(NormalizedPath()) != nullptr)) {
        return;  // held further out
    }
    if (held == nullptr || held == INVALID_HANDLE_VALUE) {
        m_own = OpenForReading(path);
        held = m_own ? m_own.get() : INVALID_HANDLE_VALUE;
    }
    m_held = held;
    m_pOuter = const_cast<CHeldFileScope*>(t_pInnermost);
    t_pInnermost = this;
    m_active = true;
}

CHeldFileScope::~CHeldFileScope() {
    if (m_active) t_pInnermost = m_pOuter;
}

const std::wstring& CHeldFileScope::NormalizedPath() const {
    if (!m_path) m_path = UTIL::NormalizedFullPath(m_given.c_str());
    return *m_path;
}

HANDLE CHeldFileScope::HeldFor(const std::wstring& normalizedPath) {
    if (normalizedPath.empty()) return nullptr;
    for (const CHeldFileScope* scope = t_pInnermost; scope != nullptr; scope = scope->m_pOuter) {
        if (SameName(scope->NormalizedPath(), normalizedPath)) return scope->m_held;
    }
    return nullptr;
}

HANDLE CHeldFileScope::HeldForGivenPath(LPCWSTR path) {
    for (const CHeldFileScope* scope = t_pInnermost; scope != nullptr; scope = scope->m_pOuter) {
        if (!scope->m_given.empty() && SameName(scope->m_given, path)) return scope->m_held;
    }
    return nullptr;
}

namespace {

// Normalizing costs file-system calls: none when this thread holds nothing.
HANDLE HeldForPath(LPCWSTR path) {
    if (path == nullptr || t_pInnermost == nullptr) return nullptr;
    const HANDLE given = CHeldFileScope::HeldForGivenPath(path);
    return given != nullptr ? given : CHeldFileScope::HeldFor(UTIL::NormalizedFullPath(path));
}

}  // namespace

bool IsHeldOnThisThread(LPCWSTR path) {
    return HeldForPath(path) != nullptr;
}

UTIL::unique_handle OpenFileForCheck(LPCWSTR path, DWORD share) {
    if (path == nullptr) return UTIL::unique_handle();
    const HANDLE held = HeldForPath(path);
    if (held == nullptr) {
        return UTIL::unique_handle(::CreateFileW(path, GENERIC_READ, share, nullptr, OPEN_EXISTING,
                                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    }
    if (held == INVALID_HANDLE_VALUE) {
        ::SetLastError(ERROR_FILE_NOT_FOUND);
        return UTIL::unique_handle();
    }
    HANDLE duplicate = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), held, ::GetCurrentProcess(), &duplicate, 0, FALSE,
                           DUPLICATE_SAME_ACCESS)) {
        return UTIL::unique_handle();
    }
    UTIL::unique_handle file(duplicate);
    // A duplicate shares the file position: each read starts at the start.
    LARGE_INTEGER start{};
    if (!::SetFilePointerEx(file.get(), start, nullptr, FILE_BEGIN)) return UTIL::unique_handle();
    return file;
}

namespace {

// The entry is padded to eight bytes: only the DER element counts.
bool TrimToDerElement(std::vector<BYTE>& data) {
    if (data.size() < 2 || data[0] != 0x30) return false;
    size_t length = data[1];
    size_t header = 2;
    if ((length & 0x80) != 0) {
        const size_t lengthBytes = length & 0x7F;
        if (lengthBytes == 0 || lengthBytes > 4 || data.size() < 2 + lengthBytes) return false;
        length = 0;
        for (size_t i = 0; i < lengthBytes; ++i) length = (length << 8) | data[2 + i];
        header += lengthBytes;
    }
    if (header + length > data.size()) return false;
    data.resize(header + length);
    return true;
}

// The PKCS #7 signed data of the file's first certificate-table entry.
bool SignedDataOf(HANDLE file, std::vector<BYTE>& data) {
    WIN_CERTIFICATE header{};
    if (!::ImageGetCertificateHeader(file, 0, &header) ||
        header.wCertificateType != WIN_CERT_TYPE_PKCS_SIGNED_DATA ||
        header.dwLength <= offsetof(WIN_CERTIFICATE, bCertificate)) {
        ::SetLastError(static_cast<DWORD>(CRYPT_E_NO_MATCH));
        return false;
    }
    std::vector<BYTE> buffer(header.dwLength, 0);
    DWORD size = header.dwLength;
    if (!::ImageGetCertificateData(file, 0, reinterpret_cast<WIN_CERTIFICATE*>(buffer.data()),
                                   &size) ||
        size < offsetof(WIN_CERTIFICATE, bCertificate) || size > buffer.size()) {
        return false;
    }
    data.assign(buffer.begin() + offsetof(WIN_CERTIFICATE, bCertificate), buffer.begin() + size);
    return TrimToDerElement(data);
}

}  // namespace

bool QueryEmbeddedSignature(LPCWSTR path, HCERTSTORE* store, HCRYPTMSG* message) {
    if (!IsHeldOnThisThread(path)) {
        return ::CryptQueryObject(CERT_QUERY_OBJECT_FILE, path,
                                  CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                                  CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr,
                                  store, message, nullptr) != FALSE;
    }
    const UTIL::unique_handle file = OpenFileForCheck(path);
    std::vector<BYTE> signedData;
    if (!file || !SignedDataOf(file.get(), signedData)) return false;
    CERT_BLOB blob{static_cast<DWORD>(signedData.size()), signedData.data()};
    return ::CryptQueryObject(CERT_QUERY_OBJECT_BLOB, &blob, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED,
                              CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, store,
                              message, nullptr) != FALSE;
}

}  // namespace DS
