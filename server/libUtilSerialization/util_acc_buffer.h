#pragma once

#include <windows.h>

#include <cstdint>
#include <fstream>
#include <memory>

// Collects the bytes of a message. Starts in memory and grows by whole
// granules; once the block has reached 2 MiB the next append moves the
// buffer into file mode, where a temporary file receives everything.
class CAccBuffer {
public:
    static constexpr DWORD kFileModeThreshold = 0x200000;
    static constexpr DWORD kDefaultGrowBy = 1024;
    static constexpr size_t kFileNameChars = 521;

    CAccBuffer() = default;
    CAccBuffer(const CAccBuffer&) = delete;
    virtual ~CAccBuffer();

    CAccBuffer& operator=(const CAccBuffer& other);

    void Append(const void* bytes, DWORD length);
    bool CreateFileModeFile();
    void Release();

    DWORD BufferSize() const noexcept { return m_dwBufferSize; }
    DWORD BytesUsed() const noexcept { return m_dwBytesUsed; }
    const BYTE* Data() const noexcept { return m_pBuffer; }
    bool IsFileMode() const noexcept { return m_pFile != nullptr; }
    const wchar_t* FileName() const noexcept { return m_szFileName; }
    // Bytes were lost (a body file that could not be written nor read back):
    // the message must not be sent. The error says why; Release clears both.
    bool IsCorrupt() const noexcept { return m_bCorrupt; }
    DWORD CorruptError() const noexcept { return m_dwCorruptError; }

protected:
    // Opens the binary output stream of file mode; null when the open fails.
    virtual std::unique_ptr<std::fstream> OpenFileModeStream(const wchar_t* path);

    void Grow(DWORD length);
    bool AppendToFile(const void* bytes, DWORD length);
    void TakeFileIntoMemory(std::streamoff fileBytes, DWORD writeError);
    bool ReadFileTail(DWORD tailBytes);
    bool ChooseTempFolder();
    void ForgetFile() noexcept;

    DWORD m_dwBufferSize = 0;
    DWORD m_dwBytesUsed = 0;
    DWORD m_dwGrowBy = kDefaultGrowBy;
    BYTE* m_pBuffer = nullptr;
    bool m_bOwner = true;
    wchar_t m_szFileName[kFileNameChars] = {};
    std::unique_ptr<std::fstream> m_pFile;
    bool m_bDeleteFile = false;
    bool m_bCorrupt = false;
    DWORD m_dwCorruptError = ERROR_SUCCESS;
};

// Fills `acl` with the fixed access list of temporary files.
bool BuildTempFileAccessList(PACL acl, DWORD aclBytes, DWORD* entriesAdded);

// Gives a temporary file the fixed access list (web-server accounts, the
// system and everyone get full access). Returns 0 or the system error.
DWORD GrantTempFileAccess(const wchar_t* path);

// The platform call that writes the list (SetFileSecurityW). A seam for
// tests: Wine keeps no file access list, so a test records what was written.
using SetFileSecurityCall = BOOL(WINAPI*)(LPCWSTR, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR);
extern SetFileSecurityCall g_pfnSetTempFileSecurity;
