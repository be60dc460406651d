#include "cp_CCmdProtocolV2.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>

#include "DebugTrace.h"

namespace {

constexpr DWORD kControlRecordOffset = 8;
constexpr DWORD kControlBytesOffset = 12;
constexpr DWORD kAttachGrowBy = 0x8000;
constexpr size_t kStreamChunk = 1024;

// Sets a flag for its lifetime.
class CScopedFlag {
public:
    explicit CScopedFlag(bool& flag) : m_flag(flag) { m_flag = true; }
    ~CScopedFlag() { m_flag = false; }
    CScopedFlag(const CScopedFlag&) = delete;
    CScopedFlag& operator=(const CScopedFlag&) = delete;

private:
    bool& m_flag;
};
constexpr size_t kStreamLimit = 0x10000000;
constexpr int kLeadingRecords = 4;

std::wstring BuildMessageId(const std::wstring& name) {
    wchar_t text[128] = {};
    _snwprintf(text, 127, L"%.2d%.2d", 1, 5);
    std::wstring id = text;
    id += name;
    _snwprintf(text, 127, L"%d_%d_%d", static_cast<int>(GetTickCount()),
               static_cast<int>(GetCurrentProcessId()), static_cast<int>(GetCurrentThreadId()));
    text[127] = L'\0';
    return id + text;
}

// Reads one length-prefixed record whole; false when the file ends first.
bool ReadLeadingRecord(std::istream& in, std::string& collected) {
    DWORD length = 0;
    if (!in.read(reinterpret_cast<char*>(&length), 4)) return false;
    const auto position = in.tellg();
    in.seekg(0, std::ios::end);
    const auto end = in.tellg();
    in.seekg(position);
    if (position < 0 || end < position ||
        static_cast<unsigned long long>(end - position) < length) {
        return false;
    }
    collected.append(reinterpret_cast<const char*>(&length), 4);
    std::string record(length, '\0');
    if (length != 0 && !in.read(record.data(), length)) return false;
    collected += record;
    return true;
}

}  // namespace

// ---- CSerializer ----------------------------------------------------------

CSerializer& CSerializer::operator=(const CSerializer& other) {
    if (this == &other) return *this;
    CAccBuffer::operator=(other);
    m_dwCurPos = 0;
    m_dwLastPos = 0;
    ReadVersion();
    return *this;
}

void CSerializer::ReadVersion() {
    DWORD ignored = 0;
    ReadDWord(ignored);
    ReadDWord(m_dwVersion);
}

void CSerializer::WriteHeader() {
    const DWORD versionLength = 4;
    Append(&versionLength, 4);
    Append(&m_dwVersion, 4);
    ReadVersion();
}

bool CSerializer::WriteBytes(const void* source, DWORD size) {
    if (!source) return false;
    Append(&size, 4);
    Append(source, size);
    return true;
}

bool CSerializer::ReadBytes(void* destination, DWORD* ioSize) {
    const DWORD length = *PeekLength();
    if (!ioSize) return false;
    if (*ioSize < length || !destination) {
        *ioSize = length;
        return false;
    }
    std::memset(destination, 0, *ioSize);
    const BYTE* record = nullptr;
    CIPCMsgBuffer::operator>>(record);
    if (length != 0) std::memcpy(destination, record, length);
    return true;
}

ISerializer& CSerializer::operator<<(ISerializable& object) {
    object.WriteTo(*this);
    return *this;
}

ISerializer& CSerializer::operator>>(ISerializable& object) {
    object.ReadFrom(*this);
    return *this;
}

bool CSerializer::Reset() {
    Release();
    m_dwCurPos = 0;
    m_dwLastPos = 0;
    WriteHeader();
    return true;
}

void CSerializer::Load(const BYTE* bytes, DWORD size) {
    Release();
    m_dwCurPos = 0;
    m_dwLastPos = 0;
    Append(bytes, size);
    ReadVersion();
}

void CSerializer::AdoptBlock(BYTE* bytes, DWORD size, DWORD growBy) noexcept {
    m_pBuffer = bytes;
    m_dwBufferSize = size;
    m_dwBytesUsed = size;
    m_dwGrowBy = growBy;
    m_bOwner = true;
    m_pFile.reset();
    m_bDeleteFile = false;
    m_szFileName[0] = L'\0';
    m_dwCurPos = 0;
    m_dwLastPos = 0;
}

void CSerializer::Attach(BYTE* bytes, DWORD size) {
    Release();
    AdoptBlock(bytes, size, kAttachGrowBy);
    ReadVersion();
}

BYTE* CSerializer::DetachBlock() noexcept {
    BYTE* block = m_pBuffer;
    m_pBuffer = nullptr;
    m_dwBufferSize = 0;
    m_dwBytesUsed = 0;
    return block;
}

// ---- CMsgSerializer: building ---------------------------------------------

CMsgSerializer::CMsgSerializer(const wchar_t* cmdName, int mode) {
    WriteHeader();
    m_strCmdName = cmdName ? cmdName : L"NULL";
    m_strMsgId = BuildMessageId(m_strCmdName);
    InitControlBlock();
    WriteFixedRecords();
    ParseFixedRecords();
    if (mode == kModeFile) CreateFileModeFile();
}

CMsgSerializer::~CMsgSerializer() {
    ReleaseMapping();
}

void CMsgSerializer::InitControlBlock() noexcept {
    m_ControlBlock = {};
    m_ControlBlock.signature[0] = 0x20;
    m_ControlBlock.signature[1] = 0xAC;
}

void CMsgSerializer::WriteWideString(const std::wstring& text) {
    WriteBytes(text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

void CMsgSerializer::WriteFixedRecords() {
    WriteBytes(&m_ControlBlock, sizeof(m_ControlBlock));
    WriteWideString(m_strCmdName);
    WriteWideString(m_strMsgId);
}

std::wstring CMsgSerializer::ReadWideString() {
    const DWORD length = *PeekLength();
    const BYTE* record = nullptr;
    CIPCMsgBuffer::operator>>(record);
    const size_t units = length / 2 == 0 ? 0 : length / 2 - 1;
    std::wstring text(units, L'\0');
    if (units != 0) std::memcpy(text.data(), record, units * sizeof(wchar_t));
    return text;
}

void CMsgSerializer::ParseFixedRecords() {
    const DWORD controlLength = *PeekLength();
    const BYTE* record = nullptr;
    if (controlLength <= sizeof(m_ControlBlock)) {
        m_ControlBlock = {};
        CIPCMsgBuffer::operator>>(record);
        if (controlLength != 0) std::memcpy(&m_ControlBlock, record, controlLength);
    } else {
        // Longer than any block we write: skip it whole, keep a zeroed block.
        m_ControlBlock = {};
        CIPCMsgBuffer::operator>>(record);
    }
    if (*PeekLength() > 0) {
        m_strCmdName = ReadWideString();
    } else {
        CIPCMsgBuffer::operator>>(record);
    }
    if (*PeekLength() > 0) {
        m_strMsgId = ReadWideString();
    } else {
        CIPCMsgBuffer::operator>>(record);
    }
}

void CMsgSerializer::SyncControlRecord() noexcept {
    if (!m_pBuffer || m_dwBytesUsed < kControlBytesOffset + sizeof(m_ControlBlock)) return;
    DWORD length = 0;
    std::memcpy(&length, m_pBuffer + kControlRecordOffset, 4);
    if (length == sizeof(m_ControlBlock)) {
        std::memcpy(m_pBuffer + kControlBytesOffset, &m_ControlBlock, sizeof(m_ControlBlock));
    }
}

// ---- CMsgSerializer: mapping ----------------------------------------------

bool CMsgSerializer::MappingHeld() const noexcept {
    return !m_strMapFileName.empty() && m_hMapFile && m_hMapping;
}

void CMsgSerializer::ReleaseMapping() noexcept {
    if (!MappingHeld()) return;
    // The view was adopted as the block: detach it before it could be freed.
    if (m_pBuffer == m_pMapView.get()) DetachBlock();
    m_pMapView.reset();
    m_hMapping.reset();
    m_hMapFile.reset();
    DeleteFileW(m_strMapFileName.c_str());
    m_llMapFileSize = 0;
    m_strMapFileName.clear();
}

bool CMsgSerializer::Reset() {
    if (MappingHeld()) {
        ReleaseMapping();
        CMsgSerializer fresh(nullptr, 1);
        CSerializer::operator=(fresh);
        ParseFixedRecords();
    }
    Release();
    m_dwCurPos = 0;
    m_dwLastPos = 0;
    WriteHeader();
    WriteFixedRecords();
    ParseFixedRecords();
    return true;
}

void CMsgSerializer::Load(const BYTE* bytes, DWORD size) {
    ReleaseMapping();  // never write into or free a mapped view
    if (m_pFile) {
        Release();
        m_pBuffer = new BYTE[m_dwGrowBy];
        m_dwBufferSize = m_dwGrowBy;
        m_bOwner = true;
    } else {
        m_dwBytesUsed = 0;
    }
    if (m_pBuffer) std::memset(m_pBuffer, 0, m_dwBufferSize);
    m_dwCurPos = 0;
    m_dwLastPos = 0;
    Append(bytes, size);
    ReadVersion();
    ParseFixedRecords();
    if (m_ControlBlock.flags & kFlagBodyInFile) {
        const std::wstring path = ReadWideString();
        if (m_bLoadingBodyFile) {
            DebugTraceW('E', TRACE_SRC_W, L"%s - Body file names another body file, not read: %s",
                        L"CMsgSerializer::Load", path.c_str());
            return;
        }
        ReadFile(path.c_str());
    }
}

void CMsgSerializer::Attach(BYTE* bytes, DWORD size) {
    ReleaseMapping();
    Release();
    AdoptBlock(bytes, size, kAttachGrowBy);
    ReadVersion();
    ParseFixedRecords();
}

bool CMsgSerializer::PrepareForSend() {
    if (!m_pFile) return true;
    m_pFile->close();
    m_pFile.reset();
    const std::wstring bodyFile = m_szFileName;
    GrantTempFileAccess(bodyFile.c_str());
    m_szFileName[0] = L'\0';
    Reset();
    const DWORD length = static_cast<DWORD>((bodyFile.size() + 1) * sizeof(wchar_t));
    Append(&length, 4);
    Append(bodyFile.c_str(), length);
    m_ControlBlock.flags &= ~kFlagInline;
    m_ControlBlock.flags |= kFlagBodyInFile;
    SyncControlRecord();
    return true;
}

// ---- CMsgSerializer: receiving a body file --------------------------------

void CMsgSerializer::ReadFile(const wchar_t* path) {
    LONGLONG size = 0;
    UTIL::unique_handle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                         nullptr, OPEN_EXISTING, 0, nullptr));
    LARGE_INTEGER fileSize = {};
    if (file && GetFileSizeEx(file.get(), &fileSize)) size = fileSize.QuadPart;
    file.reset();
    if (size < kMapThreshold) {
        InternalReadFile(path);
        return;
    }
    DebugTraceW('D', TRACE_SRC_W, L"%s - Use memory mapped file to read: %s",
                L"CMsgSerializer::ReadFile", path);
    IPCResultFromFileByMemMap(path);
}

bool CMsgSerializer::InternalReadFile(const wchar_t* path) {
    auto stream = std::make_unique<std::fstream>(std::filesystem::path(path),
                                                 std::ios::in | std::ios::binary);
    m_strReadFileName = path;
    stream->seekg(0, std::ios::end);
    const long long size = stream->is_open() ? static_cast<long long>(stream->tellg()) : 0;
    stream->seekg(0, std::ios::beg);
    DebugTraceW('D', TRACE_SRC_W, L"%s - [File mode] File name = %s, file size = %d",
                L"CMsgSerializer::InternalReadFile", path, static_cast<int>(size));

    std::string collected;
    if (size >= 16) collected.reserve(static_cast<size_t>(size));
    bool whole = true;
    for (int i = 0; i < kLeadingRecords && whole; ++i)
        whole = ReadLeadingRecord(*stream, collected);
    if (whole) {
        char chunk[kStreamChunk];
        while (!stream->eof() && collected.size() < kStreamLimit) {
            stream->read(chunk, sizeof(chunk));
            const auto got = stream->gcount();
            if (got <= 0) break;
            collected.append(chunk, static_cast<size_t>(got));
        }
    } else {
        collected.clear();  // a leading record runs past the end of the file
    }

    Reset();
    const bool loaded = !collected.empty();
    if (loaded) {
        const CScopedFlag loadingBodyFile(m_bLoadingBodyFile);  // also when Load throws
        Load(reinterpret_cast<const BYTE*>(collected.data()), static_cast<DWORD>(collected.size()));
    }

    if (stream->eof()) stream->close();
    m_pFile = std::move(stream);
    wcsncpy(m_szFileName, path, kFileNameChars - 1);
    m_szFileName[kFileNameChars - 1] = L'\0';
    m_bDeleteFile = true;
    return loaded;
}

HANDLE CMsgSerializer::CreateMappingSection(HANDLE file, LONGLONG size) {
    return CreateFileMappingW(file, nullptr, PAGE_READWRITE, static_cast<DWORD>(size >> 32),
                              static_cast<DWORD>(size), nullptr);
}

bool CMsgSerializer::CreateIPCResultMapFile() {
    // Nothing of an earlier read counts: a size left from a mapping that
    // failed would otherwise size the next one.
    m_pMapView.reset();
    m_hMapping.reset();
    m_llMapFileSize = 0;
    m_hMapFile.reset(CreateFileW(m_strMapFileName.c_str(), GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                 nullptr));
    LARGE_INTEGER size = {};
    // A file that cannot be opened is never mapped: the invalid handle would
    // map a zero-filled section of the paging file instead. As in the Part,
    // a failed open shows as a failed mapping.
    HANDLE mapping = nullptr;
    if (m_hMapFile && GetFileSizeEx(m_hMapFile.get(), &size)) {
        m_llMapFileSize = size.QuadPart;
        mapping = CreateMappingSection(m_hMapFile.get(), m_llMapFileSize);
    }
    m_hMapping.reset(mapping);
    if (!m_hMapping) {
        const int error = static_cast<int>(GetLastError());
        m_hMapFile.reset();
        m_llMapFileSize = 0;
        DebugTraceW('D', TRACE_SRC_W, L"%s - CreateFileMappingW failed! err = %d",
                    L"CreateIPCResultMapFile", error);
        return false;
    }
    m_pMapView.reset(MapViewOfFile(m_hMapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
    if (!m_pMapView) {
        DebugTraceW('D', TRACE_SRC_W, L"%s - MapViewOfFile failed! err = %d",
                    L"CreateIPCResultMapFile", static_cast<int>(GetLastError()));
        return false;
    }
    return true;
}

bool CMsgSerializer::IPCResultFromFileByMemMap(const wchar_t* path) {
    Reset();
    m_strMapFileName = path;
    struct _stat64 status = {};
    if (_wstat64(path, &status) != 0) {
        DebugTraceW('D', TRACE_SRC_W, L"%s - _wstat64(%s) failed, errno = %d",
                    L"IPCResultFromFileByMemMap", path, errno);
    } else {
        CreateIPCResultMapFile();
    }
    if (m_pMapView && m_llMapFileSize > 0) {
        Release();
        CSerializer::Attach(static_cast<BYTE*>(m_pMapView.get()),
                            static_cast<DWORD>(m_llMapFileSize));
        ParseFixedRecords();
        return true;
    }
    m_ControlBlock.result = kResultNoMemory;
    SyncControlRecord();
    return false;
}
