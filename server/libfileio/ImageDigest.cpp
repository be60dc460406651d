#include "ImageDigest.h"

#include <wintrust.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>

#include "CryptHandles.h"
#include "UniqueHandle.h"

namespace DS {
namespace {

constexpr DWORD kEncodings = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr char kIndirectDataOid[] = "1.3.6.1.4.1.311.2.1.4";  // SPC_INDIRECT_DATA_OBJID
constexpr char kPeImageDataOid[] = "1.3.6.1.4.1.311.2.1.15";  // SPC_PE_IMAGE_DATAOBJ

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

// One pass through the file's image: the Authenticode PE digest, computed
// here because the platform's own walk is not reachable under Wine
// (ImageGetDigestStream there covers only part of the image, and the SIP
// functions are stubs), with CryptoAPI hashing.
Bytes ComputeImageDigest(const std::wstring& path, ALG_ID algorithm) {
    UTIL::unique_handle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size{};
    if (!file || !::GetFileSizeEx(file.get(), &size) || size.QuadPart <= 0) return {};
    UTIL::unique_handle mapping(
        ::CreateFileMappingW(file.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
    if (!mapping) return {};
    UTIL::unique_mapped_view view(::MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0));
    if (!view) return {};
    const auto* bytes = static_cast<const BYTE*>(view.get());
    const ULONGLONG fileSize = static_cast<ULONGLONG>(size.QuadPart);

    std::vector<ByteRange> ranges;
    if (!AuthenticodeRanges(bytes, fileSize, ranges)) {
        ::SetLastError(ERROR_BAD_EXE_FORMAT);
        return {};
    }
    UTIL::unique_crypt_prov provider;
    if (!::CryptAcquireContextW(provider.put(), nullptr, nullptr, PROV_RSA_AES,
                                CRYPT_VERIFYCONTEXT)) {
        return {};
    }
    UTIL::unique_crypt_hash hash;
    if (!::CryptCreateHash(provider.get(), algorithm, 0, 0, hash.put())) return {};
    constexpr ULONGLONG kChunk = 0x40000000;  // CryptHashData takes 32-bit lengths
    for (const ByteRange& range : ranges) {
        for (ULONGLONG done = 0; done < range.size; done += kChunk) {
            const ULONGLONG part = range.size - done < kChunk ? range.size - done : kChunk;
            if (!::CryptHashData(hash.get(), bytes + range.offset + done, static_cast<DWORD>(part),
                                 0)) {
                return {};
            }
        }
    }
    DWORD digestSize = 0;
    DWORD sizeBytes = sizeof(digestSize);
    if (!::CryptGetHashParam(hash.get(), HP_HASHSIZE, reinterpret_cast<BYTE*>(&digestSize),
                             &sizeBytes, 0) ||
        digestSize == 0) {
        return {};
    }
    Bytes digest(digestSize, 0);
    if (!::CryptGetHashParam(hash.get(), HP_HASHVAL, digest.data(), &digestSize, 0)) return {};
    digest.resize(digestSize);
    return digest;
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
