#include "ImageDigest.h"

#include <wintrust.h>

#include <algorithm>
#include <cstdint>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>

#include "CryptHandles.h"
#include "HeldFile.h"
#include "UniqueHandle.h"

namespace DS {
namespace {

constexpr DWORD kEncodings = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr char kIndirectDataOid[] = "1.3.6.1.4.1.311.2.1.4";  // SPC_INDIRECT_DATA_OBJID
constexpr char kPeImageDataOid[] = "1.3.6.1.4.1.311.2.1.15";  // SPC_PE_IMAGE_DATAOBJ
constexpr char kMessageDigestOid[] = "1.2.840.113549.1.9.4";   // szOID_PKCS_9_MESSAGE_DIGEST

// The digest algorithms of Authenticode signatures. MD5 is left out on
// purpose: a signature made with it does not bind a file.
struct DigestAlgorithm {
    const char* oid;
    ALG_ID algorithm;
};
constexpr DigestAlgorithm kAlgorithms[] = {
    {"1.3.14.3.2.26", CALG_SHA1},
    {"2.16.840.1.101.3.4.2.1", CALG_SHA_256},
    {"2.16.840.1.101.3.4.2.2", CALG_SHA_384},
    {"2.16.840.1.101.3.4.2.3", CALG_SHA_512},
};

ALG_ID AlgorithmOf(const char* oid) {
    if (oid == nullptr) return 0;
    for (const DigestAlgorithm& known : kAlgorithms) {
        if (std::strcmp(known.oid, oid) == 0) return known.algorithm;
    }
    return 0;
}

using Bytes = std::vector<BYTE>;

bool MessageParam(HCRYPTMSG hMsg, DWORD param, Bytes& value) {
    DWORD size = 0;
    if (!::CryptMsgGetParam(hMsg, param, 0, nullptr, &size) || size == 0) return false;
    value.assign(size, 0);
    if (!::CryptMsgGetParam(hMsg, param, 0, value.data(), &size)) return false;
    value.resize(size);
    return true;
}

// The decoded indirect data of the message, in a buffer that owns it.
std::unique_ptr<BYTE[]> DecodeIndirectData(HCRYPTMSG hMsg) {
    Bytes contentType;
    if (!MessageParam(hMsg, CMSG_INNER_CONTENT_TYPE_PARAM, contentType)) return nullptr;
    contentType.push_back(0);  // the OID text, terminated whatever the platform gave
    if (std::strcmp(reinterpret_cast<const char*>(contentType.data()), kIndirectDataOid) != 0) {
        return nullptr;
    }
    Bytes content;
    if (!MessageParam(hMsg, CMSG_CONTENT_PARAM, content)) return nullptr;
    DWORD size = 0;
    if (!::CryptDecodeObject(kEncodings, kIndirectDataOid, content.data(),
                             static_cast<DWORD>(content.size()), 0, nullptr, &size)) {
        return nullptr;
    }
    std::unique_ptr<BYTE[]> decoded(new (std::nothrow) BYTE[size > 0 ? size : 1]());
    if (!decoded || !::CryptDecodeObject(kEncodings, kIndirectDataOid, content.data(),
                                         static_cast<DWORD>(content.size()), 0, decoded.get(),
                                         &size)) {
        return nullptr;
    }
    return decoded;
}

// The parts of a PE file that its Authenticode digest covers, in the order
// they are hashed: the headers without the checksum and the certificate-table
// entry, each section's raw data by file offset, then whatever follows the
// last section up to the certificate table. Offsets come from the file, so
// every one is checked against its size; a layout that does not add up
// gives no ranges (no digest, and the signature then counts for nothing).
struct ByteRange {
    ULONGLONG offset;
    ULONGLONG size;
};

bool Within(ULONGLONG offset, ULONGLONG size, ULONGLONG fileSize) {
    return offset <= fileSize && size <= fileSize - offset;
}

template <typename T>
bool ReadAt(const BYTE* file, ULONGLONG fileSize, ULONGLONG offset, T& value) {
    if (!Within(offset, sizeof(T), fileSize)) return false;
    std::memcpy(&value, file + offset, sizeof(T));
    return true;
}

bool AuthenticodeRanges(const BYTE* file, ULONGLONG fileSize, std::vector<ByteRange>& ranges) {
    IMAGE_DOS_HEADER dos{};
    if (!ReadAt(file, fileSize, 0, dos) || dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew < 0) {
        return false;
    }
    const ULONGLONG ntOffset = static_cast<ULONGLONG>(dos.e_lfanew);
    DWORD signature = 0;
    IMAGE_FILE_HEADER header{};
    WORD magic = 0;
    const ULONGLONG optionalOffset = ntOffset + sizeof(DWORD) + sizeof(IMAGE_FILE_HEADER);
    if (!ReadAt(file, fileSize, ntOffset, signature) || signature != IMAGE_NT_SIGNATURE ||
        !ReadAt(file, fileSize, ntOffset + sizeof(DWORD), header) ||
        !ReadAt(file, fileSize, optionalOffset, magic)) {
        return false;
    }
    // CheckSum and SizeOfHeaders sit at the same place in both layouts; the
    // data directories follow the fields that differ in width.
    ULONGLONG directoryCountOffset = 0;
    if (magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
        directoryCountOffset = offsetof(IMAGE_OPTIONAL_HEADER32, NumberOfRvaAndSizes);
    } else if (magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        directoryCountOffset = offsetof(IMAGE_OPTIONAL_HEADER64, NumberOfRvaAndSizes);
    } else {
        return false;
    }
    const ULONGLONG checksumOffset = optionalOffset + offsetof(IMAGE_OPTIONAL_HEADER64, CheckSum);
    DWORD sizeOfHeaders = 0;
    DWORD directoryCount = 0;
    if (!ReadAt(file, fileSize, optionalOffset + offsetof(IMAGE_OPTIONAL_HEADER64, SizeOfHeaders),
                sizeOfHeaders) ||
        !ReadAt(file, fileSize, optionalOffset + directoryCountOffset, directoryCount) ||
        directoryCount <= IMAGE_DIRECTORY_ENTRY_SECURITY) {
        return false;
    }
    const ULONGLONG certEntryOffset = optionalOffset + directoryCountOffset + sizeof(DWORD) +
                                      IMAGE_DIRECTORY_ENTRY_SECURITY * sizeof(IMAGE_DATA_DIRECTORY);
    IMAGE_DATA_DIRECTORY certTable{};
    if (!ReadAt(file, fileSize, certEntryOffset, certTable) ||
        certEntryOffset + sizeof(IMAGE_DATA_DIRECTORY) > sizeOfHeaders ||
        !Within(0, sizeOfHeaders, fileSize) ||
        !Within(certTable.VirtualAddress, certTable.Size, fileSize)) {
        return false;
    }
    ranges = {{0, checksumOffset},
              {checksumOffset + sizeof(DWORD), certEntryOffset - checksumOffset - sizeof(DWORD)},
              {certEntryOffset + sizeof(IMAGE_DATA_DIRECTORY),
               sizeOfHeaders - certEntryOffset - sizeof(IMAGE_DATA_DIRECTORY)}};

    std::vector<ByteRange> sections;
    const ULONGLONG sectionTable = optionalOffset + header.SizeOfOptionalHeader;
    for (WORD i = 0; i < header.NumberOfSections; ++i) {
        IMAGE_SECTION_HEADER section{};
        if (!ReadAt(file, fileSize, sectionTable + i * sizeof(section), section)) return false;
        if (section.SizeOfRawData == 0) continue;
        if (!Within(section.PointerToRawData, section.SizeOfRawData, fileSize)) return false;
        sections.push_back({section.PointerToRawData, section.SizeOfRawData});
    }
    std::sort(sections.begin(), sections.end(),
              [](const ByteRange& a, const ByteRange& b) { return a.offset < b.offset; });
    ULONGLONG hashed = sizeOfHeaders;
    for (const ByteRange& section : sections) {
        ranges.push_back(section);
        hashed += section.size;
    }
    const ULONGLONG signedSize = fileSize - certTable.Size;
    if (signedSize > hashed) ranges.push_back({hashed, signedSize - hashed});
    return true;
}

// A CryptoAPI hash of one algorithm, fed in pieces; an empty value when any
// step failed.
class CDigest {
public:
    explicit CDigest(ALG_ID algorithm) {
        m_ok = ::CryptAcquireContextW(m_provider.put(), nullptr, nullptr, PROV_RSA_AES,
                                      CRYPT_VERIFYCONTEXT) &&
               ::CryptCreateHash(m_provider.get(), algorithm, 0, 0, m_hash.put());
    }

    bool Add(const BYTE* data, ULONGLONG size) {
        constexpr ULONGLONG kChunk = 0x40000000;  // CryptHashData takes 32-bit lengths
        for (ULONGLONG done = 0; m_ok && done < size; done += kChunk) {
            const ULONGLONG part = size - done < kChunk ? size - done : kChunk;
            m_ok = ::CryptHashData(m_hash.get(), data + done, static_cast<DWORD>(part), 0) != FALSE;
        }
        return m_ok;
    }

    Bytes Value() {
        DWORD digestSize = 0;
        DWORD sizeBytes = sizeof(digestSize);
        if (!m_ok ||
            !::CryptGetHashParam(m_hash.get(), HP_HASHSIZE, reinterpret_cast<BYTE*>(&digestSize),
                                 &sizeBytes, 0) ||
            digestSize == 0) {
            return {};
        }
        Bytes digest(digestSize, 0);
        if (!::CryptGetHashParam(m_hash.get(), HP_HASHVAL, digest.data(), &digestSize, 0)) return {};
        digest.resize(digestSize);
        return digest;
    }

private:
    UTIL::unique_crypt_prov m_provider;  // released after the hash
    UTIL::unique_crypt_hash m_hash;
    bool m_ok = false;
};

// One pass through the file's image: the Authenticode PE digest, computed
// here because the platform's own walk is not reachable under Wine
// (ImageGetDigestStream there covers only part of the image, and the SIP
// functions are stubs), with CryptoAPI hashing.
Bytes ComputeImageDigest(const std::wstring& path, ALG_ID algorithm) {
    // Read sharing only: nobody can write or truncate the file while it is
    // hashed, and a file someone holds open for writing is not hashed at all.
    // The held file when this thread holds the path.
    UTIL::unique_handle file = OpenFileForCheck(path.c_str());
    LARGE_INTEGER size{};
    if (!file || !::GetFileSizeEx(file.get(), &size) || size.QuadPart <= 0 ||
        static_cast<ULONGLONG>(size.QuadPart) > static_cast<ULONGLONG>(SIZE_MAX)) {
        return {};
    }
    // Mapped at exactly the size read: a file cut shorter since then fails
    // the mapping instead of leaving a view shorter than the ranges walked.
    UTIL::unique_handle mapping(::CreateFileMappingW(file.get(), nullptr, PAGE_READONLY,
                                                     static_cast<DWORD>(size.HighPart),
                                                     size.LowPart, nullptr));
    if (!mapping) return {};
    const ULONGLONG fileSize = static_cast<ULONGLONG>(size.QuadPart);
    UTIL::unique_mapped_view view(
        ::MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, static_cast<SIZE_T>(fileSize)));
    if (!view) return {};
    const auto* bytes = static_cast<const BYTE*>(view.get());

    std::vector<ByteRange> ranges;
    if (!AuthenticodeRanges(bytes, fileSize, ranges)) {
        ::SetLastError(ERROR_BAD_EXE_FORMAT);
        return {};
    }
    CDigest digest(algorithm);
    for (const ByteRange& range : ranges) {
        if (!digest.Add(bytes + range.offset, range.size)) return {};
    }
    return digest.Value();
}

// Where the contents of the DER element that `element` holds begin (past
// its tag and length), and how long they are; false unless the element
// fills the bytes given exactly.
bool DerContents(const Bytes& element, size_t& offset, size_t& length) {
    if (element.size() < 2 || (element[0] & 0x1F) == 0x1F) return false;  // one-byte tags only
    const BYTE first = element[1];
    offset = 2;
    length = first;
    if ((first & 0x80) != 0) {
        const size_t lengthBytes = first & 0x7F;
        if (lengthBytes == 0 || lengthBytes > sizeof(size_t) || 2 + lengthBytes > element.size()) {
            return false;
        }
        length = 0;
        for (size_t i = 0; i < lengthBytes; ++i) length = (length << 8) | element[2 + i];
        offset = 2 + lengthBytes;
    }
    return length == element.size() - offset;
}

// The one value of the signer's authenticated messageDigest attribute.
bool SignedMessageDigest(const CMSG_SIGNER_INFO& signer, Bytes& value) {
    const CRYPT_ATTRIBUTE* found = nullptr;
    for (DWORD a = 0; a < signer.AuthAttrs.cAttr; ++a) {
        const CRYPT_ATTRIBUTE& attribute = signer.AuthAttrs.rgAttr[a];
        if (attribute.pszObjId == nullptr || std::strcmp(attribute.pszObjId, kMessageDigestOid) != 0) {
            continue;
        }
        if (found != nullptr) return false;  // two of them: which one was meant is unknowable
        found = &attribute;
    }
    if (found == nullptr || found->cValue != 1) return false;
    DWORD size = 0;
    const CRYPT_ATTR_BLOB& encoded = found->rgValue[0];
    if (!::CryptDecodeObject(kEncodings, X509_OCTET_STRING, encoded.pbData, encoded.cbData, 0,
                             nullptr, &size)) {
        return false;
    }
    Bytes decoded(size, 0);
    if (!::CryptDecodeObject(kEncodings, X509_OCTET_STRING, encoded.pbData, encoded.cbData, 0,
                             decoded.data(), &size)) {
        return false;
    }
    const auto& octets = *reinterpret_cast<const CRYPT_DATA_BLOB*>(decoded.data());
    value.assign(octets.pbData, octets.pbData + octets.cbData);
    return !value.empty();
}

// Whether the content present in the message is the content its signer
// signed: the authenticated messageDigest must be the digest of the content
// (for an Authenticode signature, of the indirect data's contents without
// their tag and length). The signature itself covers only the attributes,
// and not every platform compares this attribute when it verifies.
DigestBinding ContentBinding(HCRYPTMSG hMsg) {
    // Authenticode has exactly one signer; with more, signer 0 verified and
    // bound here says nothing of what another reader of the message takes.
    DWORD signerCount = 0;
    DWORD countSize = sizeof(signerCount);
    if (!::CryptMsgGetParam(hMsg, CMSG_SIGNER_COUNT_PARAM, 0, &signerCount, &countSize) ||
        signerCount != 1) {
        return DigestBinding::NotOneSigner;
    }
    Bytes signerBuffer;
    if (!MessageParam(hMsg, CMSG_SIGNER_INFO_PARAM, signerBuffer)) return DigestBinding::NoMessageDigest;
    const auto& signer = *reinterpret_cast<const CMSG_SIGNER_INFO*>(signerBuffer.data());
    Bytes messageDigest;
    if (!SignedMessageDigest(signer, messageDigest)) return DigestBinding::NoMessageDigest;
    const ALG_ID algorithm = AlgorithmOf(signer.HashAlgorithm.pszObjId);
    if (algorithm == 0) return DigestBinding::UnknownAlgorithm;
    Bytes content;
    size_t offset = 0;
    size_t length = 0;
    if (!MessageParam(hMsg, CMSG_CONTENT_PARAM, content) || !DerContents(content, offset, length)) {
        return DigestBinding::NoIndirectData;
    }
    CDigest digest(algorithm);
    if (!digest.Add(content.data() + offset, length)) return DigestBinding::FileUnreadable;
    return digest.Value() == messageDigest ? DigestBinding::Bound : DigestBinding::ContentMismatch;
}

}  // namespace

const wchar_t* DigestBindingText(DigestBinding binding) {
    switch (binding) {
        case DigestBinding::Bound:
            return L"the signed digest matches the file";
        case DigestBinding::Mismatch:
            return L"the signed digest does not match the file";
        case DigestBinding::NoIndirectData:
            return L"the signature carries no readable indirect data";
        case DigestBinding::NotImageData:
            return L"the signature is not about a PE image";
        case DigestBinding::UnknownAlgorithm:
            return L"the signed digest uses an unsupported algorithm";
        case DigestBinding::FileUnreadable:
            return L"the file's digest could not be computed";
        case DigestBinding::NoMessageDigest:
            return L"the signer's authenticated attributes carry no single messageDigest";
        case DigestBinding::ContentMismatch:
            return L"the signer's messageDigest does not match the signed content";
        case DigestBinding::NotOneSigner:
            return L"the signature does not have exactly one signer";
    }
    return L"unknown";
}

CFileImageDigest::CFileImageDigest(LPCWSTR pwszFile) : m_path(pwszFile != nullptr ? pwszFile : L"") {}

const std::vector<BYTE>* CFileImageDigest::Digest(ALG_ID algorithm) {
    auto found = m_digests.find(algorithm);
    if (found == m_digests.end()) {
        found = m_digests.emplace(algorithm, ComputeImageDigest(m_path, algorithm)).first;
    }
    return found->second.empty() ? nullptr : &found->second;
}

DigestBinding CFileImageDigest::CheckSignature(HCRYPTMSG hMsg) {
    if (hMsg == nullptr) return DigestBinding::NoIndirectData;
    const DigestBinding content = ContentBinding(hMsg);
    if (content != DigestBinding::Bound) return content;
    const std::unique_ptr<BYTE[]> decoded = DecodeIndirectData(hMsg);
    if (!decoded) return DigestBinding::NoIndirectData;
    const auto& indirect = *reinterpret_cast<const SPC_INDIRECT_DATA_CONTENT*>(decoded.get());
    if (indirect.Data.pszObjId == nullptr ||
        std::strcmp(indirect.Data.pszObjId, kPeImageDataOid) != 0) {
        return DigestBinding::NotImageData;
    }
    const ALG_ID algorithm = AlgorithmOf(indirect.DigestAlgorithm.pszObjId);
    if (algorithm == 0) return DigestBinding::UnknownAlgorithm;
    const std::vector<BYTE>* fileDigest = Digest(algorithm);
    if (fileDigest == nullptr) return DigestBinding::FileUnreadable;
    const CRYPT_HASH_BLOB& signedDigest = indirect.Digest;
    const bool equal = signedDigest.cbData == fileDigest->size() &&
                       std::memcmp(signedDigest.pbData, fileDigest->data(), fileDigest->size()) == 0;
    return equal ? DigestBinding::Bound : DigestBinding::Mismatch;
}

}  // namespace DS
