#pragma once

#include <string>

#include "UniqueHandle.h"
#include "util_ipc_msg_buffer.h"

class ISerializer;

// An object that can be written to and read from a message.
class ISerializable {
public:
    virtual ~ISerializable() = default;
    virtual void ReadFrom(ISerializer& serializer) = 0;
    virtual void WriteTo(ISerializer& serializer) = 0;
};

class ISerializer {
public:
    virtual DWORD GetBytesUsed() = 0;
    virtual ISerializer& GetSerializer() = 0;
    virtual bool ReadBytes(void* destination, DWORD* ioSize) = 0;
    virtual bool WriteBytes(const void* source, DWORD size) = 0;
    virtual ISerializer& operator<<(ISerializable& object) = 0;
    virtual ISerializer& operator>>(ISerializable& object) = 0;
    virtual bool Reset() = 0;
    virtual void Load(const BYTE* bytes, DWORD size) = 0;
    virtual void Attach(BYTE* bytes, DWORD size) = 0;

protected:
    ~ISerializer() = default;
};

// A run of length-prefixed records whose first record is the version.
class CSerializer : public ISerializer, public CIPCMsgBuffer {
public:
    CSerializer() = default;
    ~CSerializer() override = default;
    CSerializer& operator=(const CSerializer& other);

    DWORD GetBytesUsed() override { return m_dwBytesUsed; }
    ISerializer& GetSerializer() override { return *this; }
    bool ReadBytes(void* destination, DWORD* ioSize) override;
    bool WriteBytes(const void* source, DWORD size) override;
    ISerializer& operator<<(ISerializable& object) override;
    ISerializer& operator>>(ISerializable& object) override;
    using CIPCMsgBuffer::operator>>;
    bool Reset() override;
    void Load(const BYTE* bytes, DWORD size) override;
    void Attach(BYTE* bytes, DWORD size) override;

    void WriteHeader();
    DWORD Version() const noexcept { return m_dwVersion; }

    // Gives the memory block to the caller, who frees it with delete[].
    BYTE* DetachBlock() noexcept;

protected:
    void ReadVersion();
    void AdoptBlock(BYTE* bytes, DWORD size, DWORD growBy) noexcept;

    DWORD m_dwVersion = 1;
};

#pragma pack(push, 1)
struct MsgControlBlock {
    BYTE signature[2];
    WORD reserved1;
    DWORD flags;
    DWORD result;
    DWORD reserved2;
};
#pragma pack(pop)
static_assert(sizeof(MsgControlBlock) == 16);

// A command for the command manager: version, control, name and identifier
// records, then parameters or, once the body went to a file, its path.
class CMsgSerializer : public CSerializer {
public:
    static constexpr DWORD kFlagInline = 1;
    static constexpr DWORD kFlagBodyInFile = 2;
    static constexpr DWORD kResultNoMemory = 0x8009000E;
    static constexpr LONGLONG kMapThreshold = 0x3200000;
    static constexpr int kModeFile = 2;

    CMsgSerializer(const wchar_t* cmdName, int mode);
    ~CMsgSerializer() override;

    bool Reset() override;
    void Load(const BYTE* bytes, DWORD size) override;
    void Attach(BYTE* bytes, DWORD size) override;

    bool PrepareForSend();
    void ReadFile(const wchar_t* path);
    bool InternalReadFile(const wchar_t* path);
    bool IPCResultFromFileByMemMap(const wchar_t* path);

    const std::wstring& CommandName() const noexcept { return m_strCmdName; }
    const std::wstring& MessageId() const noexcept { return m_strMsgId; }
    const MsgControlBlock& ControlBlock() const noexcept { return m_ControlBlock; }
    const std::wstring& ReadFileName() const noexcept { return m_strReadFileName; }

protected:
    // Creates the read/write mapping of an open body file of `size` bytes;
    // null with the thread's last error on failure. A seam for tests.
    virtual HANDLE CreateMappingSection(HANDLE file, LONGLONG size);

private:
    void InitControlBlock() noexcept;
    void WriteWideString(const std::wstring& text);
    void WriteFixedRecords();
    void ParseFixedRecords();
    std::wstring ReadWideString();
    void SyncControlRecord() noexcept;
    bool MappingHeld() const noexcept;
    void ReleaseMapping() noexcept;
    bool CreateIPCResultMapFile();

    MsgControlBlock m_ControlBlock = {};
    std::wstring m_strCmdName;
    std::wstring m_strMsgId;
    std::wstring m_strReadFileName;
    // Set while a body file's message is loaded: a body file holds a whole
    // message and never names another one (that could name itself).
    bool m_bLoadingBodyFile = false;
    std::wstring m_strMapFileName;
    UTIL::unique_handle m_hMapFile;
    UTIL::unique_handle m_hMapping;
    LONGLONG m_llMapFileSize = 0;
    UTIL::unique_mapped_view m_pMapView;
};
