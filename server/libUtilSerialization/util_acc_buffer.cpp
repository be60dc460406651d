#include "util_acc_buffer.h"

#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <cstring>
#include <cwchar>
#include <filesystem>
#include <new>

#include "DebugTrace.h"
#include "UniqueHandle.h"

namespace {

struct TempFileAccessEntry {
    wchar_t sid[64];
    DWORD accessMask;
};

const TempFileAccessEntry kTempFileAccess[4] = {
    {L"S-1-5-32-568", GENERIC_ALL},
    {L"S-1-5-17", GENERIC_ALL},
    {L"S-1-5-18", GENERIC_ALL},
    {L"S-1-1-0", GENERIC_ALL},
};

constexpr const wchar_t* kInformationKey = L"SOFTWARE\\Karvelo\\Sentavo\\service\\Information";

bool ReadLocalPathTempFolder(wchar_t* folder, size_t chars) {
    UTIL::unique_hkey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kInformationKey, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY,
                      key.put()) != ERROR_SUCCESS) {
        return false;
    }
    // The whole buffer: 520 characters and their terminator (1042 bytes);
    // character 520 is forced to 0 below.
    DWORD bytes = static_cast<DWORD>(chars * sizeof(wchar_t));
    DWORD type = REG_NONE;
    // Another type's bytes read as text would name no usable folder: such a
    // value counts as missing, and the usual temporary folders serve.
    if (RegQueryValueExW(key.get(), L"Local_Path", nullptr, &type, reinterpret_cast<BYTE*>(folder),
                         &bytes) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ)) {
        folder[0] = L'\0';
        return false;
    }
    folder[chars - 1] = L'\0';
    if (folder[0] == L'\0') return false;
    PathAddBackslashW(folder);
    size_t used = wcslen(folder);
    if (used < chars - 1) wcsncat(folder, L"temp", chars - 1 - used);
    return true;
}

}  // namespace

CAccBuffer::~CAccBuffer() {
    if (m_bOwner) delete[] m_pBuffer;
    m_pBuffer = nullptr;
    if (m_pFile) {
        m_pFile->close();
        m_pFile.reset();
        GrantTempFileAccess(m_szFileName);
    }
    if (m_szFileName[0] != L'\0' && m_bDeleteFile) DeleteFileW(m_szFileName);
}

void CAccBuffer::Append(const void* bytes, DWORD length) {
    // A message that lost bytes takes no more: it must not go out at all.
    if (m_bCorrupt) return;
    if (m_dwBufferSize >= kFileModeThreshold && !m_pFile) CreateFileModeFile();
    if (m_pFile && AppendToFile(bytes, length)) return;
    if (m_bCorrupt) return;
    if (m_dwBufferSize - m_dwBytesUsed >= length) {
        if (length != 0) std::memcpy(m_pBuffer + m_dwBytesUsed, bytes, length);
        m_dwBytesUsed += length;
        return;
    }
    Grow(length);
    std::memcpy(m_pBuffer + m_dwBytesUsed, bytes, length);
    m_dwBytesUsed += length;
}

// Each append is flushed, so that a full disk shows on the append that meets
// it while everything before it is known to be in the file. False when the
// bytes must go to memory instead.
bool CAccBuffer::AppendToFile(const void* bytes, DWORD length) {
    const std::streamoff fileBytes = m_pFile->tellp();
    m_pFile->write(static_cast<const char*>(bytes), length);
    m_pFile->flush();
    // A received body file (deleted by us) is read, never written to.
    if (m_pFile->good() || m_bDeleteFile) return true;
    const DWORD writeError = GetLastError();
    DebugTraceW('E', TRACE_SRC_W, L"%s - [File mode] write failed, err = %d, File = %s",
                L"CAccBuffer::Append", static_cast<int>(writeError), m_szFileName);
    TakeFileIntoMemory(fileBytes, writeError);
    return false;
}

// The disk took no more: what the file holds beyond the bytes that never
// left memory comes back behind them, and the file goes. The message stays
// whole in memory; a later append may try a new file. When the file cannot
// be read back the message has a hole: it is marked corrupt, takes no more
// bytes and is never sent.
void CAccBuffer::TakeFileIntoMemory(std::streamoff fileBytes, DWORD writeError) {
    m_pFile.reset();
    const bool whole =
        fileBytes >= static_cast<std::streamoff>(m_dwBytesUsed) &&
        fileBytes - m_dwBytesUsed <= static_cast<std::streamoff>(MAXDWORD) - m_dwBytesUsed &&
        ReadFileTail(static_cast<DWORD>(fileBytes - m_dwBytesUsed));
    if (!whole) {
        const DWORD readError = GetLastError();
        DebugTraceW('E', TRACE_SRC_W, L"%s - [File mode] cannot read back File = %s, err = %d",
                    L"CAccBuffer::Append", m_szFileName, static_cast<int>(readError));
        m_bCorrupt = true;
        m_dwCorruptError = readError != ERROR_SUCCESS ? readError
                           : writeError != ERROR_SUCCESS ? writeError
                                                         : ERROR_WRITE_FAULT;
    }
    DeleteFileW(m_szFileName);
    ForgetFile();
}

bool CAccBuffer::ReadFileTail(DWORD tailBytes) {
    UTIL::unique_handle file(CreateFileW(m_szFileName, GENERIC_READ,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER offset{};
    offset.QuadPart = m_dwBytesUsed;
    if (!file || !SetFilePointerEx(file.get(), offset, nullptr, FILE_BEGIN)) return false;
    if (m_dwBufferSize - m_dwBytesUsed < tailBytes) Grow(tailBytes);
    while (tailBytes != 0) {
        DWORD got = 0;
        if (!::ReadFile(file.get(), m_pBuffer + m_dwBytesUsed, tailBytes, &got, nullptr)) {
            return false;
        }
        if (got == 0) {
            ::SetLastError(ERROR_HANDLE_EOF);  // the file holds less than was written
            return false;
        }
        m_dwBytesUsed += got;
        tailBytes -= got;
    }
    return true;
}

// The new capacity is the next whole granule strictly above the need. A
// capacity that would pass 4 GiB wraps in 32 bits and would give a block too
// small for the copy: refused, as an allocation that cannot be had.
void CAccBuffer::Grow(DWORD length) {
    const ULONGLONG need = static_cast<ULONGLONG>(m_dwBufferSize) + length;
    const ULONGLONG capacity = need + m_dwGrowBy - (need % m_dwGrowBy);
    if (capacity > MAXDWORD) {
        DebugTraceW('E', TRACE_SRC_W, L"%s - growth past 4 GiB refused: %u + %u bytes",
                    L"CAccBuffer::Append", m_dwBufferSize, length);
        throw std::bad_alloc();
    }
    BYTE* block = new BYTE[static_cast<size_t>(capacity)];
    if (m_dwBytesUsed != 0) std::memcpy(block, m_pBuffer, m_dwBytesUsed);
    if (m_bOwner) delete[] m_pBuffer;
    m_pBuffer = block;
    m_bOwner = true;
    m_dwBufferSize = static_cast<DWORD>(capacity);
}

bool CAccBuffer::ChooseTempFolder() {
    m_szFileName[0] = L'\0';
    if (ReadLocalPathTempFolder(m_szFileName, kFileNameChars)) return true;
    m_szFileName[0] = L'\0';
    if (SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_INTERNET_CACHE | CSIDL_FLAG_CREATE, nullptr,
                                   SHGFP_TYPE_CURRENT, m_szFileName))) {
        return true;
    }
    if (GetTempPathW(520, m_szFileName) != 0) return true;
    m_szFileName[0] = L'\0';
    return false;
}

std::unique_ptr<std::fstream> CAccBuffer::OpenFileModeStream(const wchar_t* path) {
    auto stream = std::make_unique<std::fstream>(
        std::filesystem::path(path), std::ios::out | std::ios::binary | std::ios::trunc);
    if (!stream->is_open()) return nullptr;
    return stream;
}

bool CAccBuffer::CreateFileModeFile() {
    if (m_pFile) return false;
    if (!ChooseTempFolder()) return false;

    wchar_t tempFile[MAX_PATH] = {};
    if (GetTempFileNameW(m_szFileName, L"mstmp", 0, tempFile) == 0) {
        m_szFileName[0] = L'\0';
        return false;
    }
    wcsncpy(m_szFileName, tempFile, kFileNameChars - 1);
    m_szFileName[kFileNameChars - 1] = L'\0';
    DebugTraceW('E', TRACE_SRC_W, L"%s - [File mode] File = %s", L"CAccBuffer::CreateFileModeFile",
                m_szFileName);

    auto stream = OpenFileModeStream(m_szFileName);
    if (stream) {
        if (m_dwBytesUsed != 0)
            stream->write(reinterpret_cast<const char*>(m_pBuffer), m_dwBytesUsed);
        stream->flush();
    }
    if (!stream || !stream->good()) {
        // No stream, or no room for the bytes so far (disk full): a body
        // file would lose them, so the message stays in memory.
        DebugTraceW('E', TRACE_SRC_W, L"%s - [File mode] cannot write File = %s, err = %d",
                    L"CAccBuffer::CreateFileModeFile", m_szFileName,
                    static_cast<int>(GetLastError()));
        stream.reset();
        DeleteFileW(m_szFileName);
        m_szFileName[0] = L'\0';
        return false;
    }
    m_pFile = std::move(stream);
    return true;
}

void CAccBuffer::ForgetFile() noexcept {
    m_szFileName[0] = L'\0';
    m_bDeleteFile = false;
}

void CAccBuffer::Release() {
    if (m_bOwner) delete[] m_pBuffer;
    m_pBuffer = nullptr;
    m_dwBufferSize = 0;
    m_dwBytesUsed = 0;
    m_bCorrupt = false;
    m_dwCorruptError = ERROR_SUCCESS;
    if (m_pFile) {
        m_pFile.reset();
        if (m_bDeleteFile) DeleteFileW(m_szFileName);
        ForgetFile();
    }
}

CAccBuffer& CAccBuffer::operator=(const CAccBuffer& other) {
    if (this == &other) return *this;
    try {
        if (m_bOwner) delete[] m_pBuffer;
        m_pBuffer = nullptr;
        m_bOwner = true;
        m_pFile.reset();  // an assignment target never holds a stream; close rather than leak
        m_szFileName[0] = L'\0';
        m_dwBufferSize = 0;
        m_dwBytesUsed = 0;
        m_bCorrupt = other.m_bCorrupt;  // a copy of a message with a hole has it too
        m_dwCorruptError = other.m_dwCorruptError;
        if (other.m_dwBufferSize == 0) {
            m_dwBufferSize = other.m_dwBufferSize;
            m_dwBytesUsed = other.m_dwBytesUsed;
            return *this;
        }
        BYTE* block = new (std::nothrow) BYTE[other.m_dwBufferSize];
        if (!block) {
            DebugTraceW('E', TRACE_SRC_W, L"%s - Failed to allocate memory!",
                        L"CAccBuffer::operator =");
            return *this;
        }
        if (other.m_dwBytesUsed != 0) std::memcpy(block, other.m_pBuffer, other.m_dwBytesUsed);
        m_pBuffer = block;
        m_dwBufferSize = other.m_dwBufferSize;
        m_dwBytesUsed = other.m_dwBytesUsed;
    } catch (...) {
        DebugTraceW('E', TRACE_SRC_W, L"%s - catch exception(%d)", L"CAccBuffer::operator =",
                    static_cast<int>(GetLastError()));
    }
    return *this;
}

bool BuildTempFileAccessList(PACL acl, DWORD aclBytes, DWORD* entriesAdded) {
    *entriesAdded = 0;
    if (!InitializeAcl(acl, aclBytes, ACL_REVISION)) return false;
    for (const auto& entry : kTempFileAccess) {
        PSID sid = nullptr;
        if (!ConvertStringSidToSidW(entry.sid, &sid)) continue;
        UTIL::unique_hlocal sidOwner(sid);
        if (!AddAccessAllowedAce(acl, ACL_REVISION, entry.accessMask, sid)) continue;
        void* ace = nullptr;
        if (GetAce(acl, *entriesAdded, &ace)) {
            static_cast<ACE_HEADER*>(ace)->AceFlags = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
        }
        ++*entriesAdded;
    }
    return true;
}

SetFileSecurityCall g_pfnSetTempFileSecurity = ::SetFileSecurityW;

DWORD GrantTempFileAccess(const wchar_t* path) {
    SECURITY_DESCRIPTOR descriptor;
    alignas(DWORD) BYTE aclBytes[1024];
    auto* acl = reinterpret_cast<PACL>(aclBytes);
    DWORD added = 0;
    if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !BuildTempFileAccessList(acl, sizeof(aclBytes), &added)) {
        return GetLastError();
    }
    if (!SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE) ||
        !g_pfnSetTempFileSecurity(path, DACL_SECURITY_INFORMATION, &descriptor)) {
        return GetLastError();
    }
    return 0;
}
