// A message that outgrows 2 MiB when no body file can be had: the temporary
// folder is missing, or the disk has no room. The message stays in memory
// and reaches the command manager whole.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ProductFolder.h"
#include "UniqueHandle.h"
#include "cmzel_OutputCmd.h"
#include "cp_CCmdProtocolV2.h"

namespace {

constexpr wchar_t kCommandPipe[] = L"\\\\.\\pipe\\Global\\ZelModuleCommandManager";
constexpr wchar_t kInformationKey[] = L"SOFTWARE\\Karvelo\\Sentavo\\service\\Information";
constexpr wchar_t kCommandName[] = L"ZEL_FAULT_BIG_BODY";
constexpr int kRecords = 4;
constexpr DWORD kRecordBytes = 1u << 20;  // four of them pass the 2 MiB switch

// "Local_Path" in the 32-bit registry view, where the sending buffer looks
// for its temporary folder; the former value comes back afterwards.
class CLocalPath32 {
public:
    explicit CLocalPath32(const std::wstring& path) {
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, kInformationKey, 0, nullptr, 0,
                        KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, m_key.put(), nullptr);
        DWORD bytes = sizeof m_former;
        m_hadValue = RegQueryValueExW(m_key.get(), L"Local_Path", nullptr, &m_formerType,
                                      reinterpret_cast<BYTE*>(m_former), &bytes) == ERROR_SUCCESS;
        m_formerBytes = bytes;
        RegSetValueExW(m_key.get(), L"Local_Path", 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(path.c_str()),
                       static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
    }
    ~CLocalPath32() {
        if (m_hadValue) {
            RegSetValueExW(m_key.get(), L"Local_Path", 0, m_formerType,
                           reinterpret_cast<const BYTE*>(m_former), m_formerBytes);
        } else {
            RegDeleteValueW(m_key.get(), L"Local_Path");
        }
    }
    bool Valid() const { return m_key.get() != nullptr; }

private:
    UTIL::unique_hkey m_key;
    bool m_hadValue = false;
    DWORD m_formerType = 0;
    DWORD m_formerBytes = 0;
    wchar_t m_former[600] = {};
};

// A command manager that takes one connection and keeps its bytes.
class CCommandReceiver {
public:
    ~CCommandReceiver() {
        if (m_thread.joinable()) m_thread.join();
    }

    bool Start() {
        m_pipe.reset(CreateNamedPipeW(kCommandPipe, PIPE_ACCESS_INBOUND,
                                      PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 0,
                                      65536, 0, nullptr));
        if (!m_pipe) return false;
        m_thread = std::thread([this] { ReceiveOne(); });
        return true;
    }

    // Waits for the sender to close; the bytes it wrote.
    const std::vector<BYTE>& Bytes() {
        m_thread.join();
        return m_bytes;
    }

private:
    void ReceiveOne() {
        if (!ConnectNamedPipe(m_pipe.get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED &&
            GetLastError() != ERROR_NO_DATA) {
            return;
        }
        BYTE piece[4096];
        for (;;) {
            DWORD got = 0;
            const BOOL ok = ReadFile(m_pipe.get(), piece, sizeof piece, &got, nullptr);
            m_bytes.insert(m_bytes.end(), piece, piece + got);
            if (!ok && GetLastError() != ERROR_MORE_DATA) break;
        }
    }

    UTIL::unique_handle m_pipe;
    std::thread m_thread;
    std::vector<BYTE> m_bytes;
};

std::vector<BYTE> RecordBytes(int index) {
    std::vector<BYTE> bytes(kRecordBytes);
    for (DWORD i = 0; i < kRecordBytes; ++i)
        bytes[i] = static_cast<BYTE>(index * 31 + i * 7 + i / 251);
    return bytes;
}

void WriteRecords(CMsgSerializer& message) {
    for (int index = 0; index < kRecords; ++index) {
        const auto bytes = RecordBytes(index);
        message.WriteBytes(bytes.data(), kRecordBytes);
    }
}

// Sends through cmzel_OutputCommand and decodes what arrived, record by
// record.
void SendAndExpectWholeMessage(CMsgSerializer& message) {
    CCommandReceiver receiver;
    ASSERT_TRUE(receiver.Start());
    ASSERT_TRUE(cmzel_OutputCommand(message));
    const std::vector<BYTE>& bytes = receiver.Bytes();
    ASSERT_GT(bytes.size(), static_cast<size_t>(kRecords) * kRecordBytes);

    CMsgSerializer received(nullptr, 1);
    ASSERT_NO_THROW(received.Load(bytes.data(), static_cast<DWORD>(bytes.size())));
    EXPECT_EQ(kCommandName, received.CommandName());
    EXPECT_TRUE(received.ReadFileName().empty()) << "the body went by file";
    EXPECT_EQ(0u, received.ControlBlock().flags & CMsgSerializer::kFlagBodyInFile);
    std::vector<BYTE> record(kRecordBytes);
    for (int index = 0; index < kRecords; ++index) {
        DWORD size = kRecordBytes;
        ASSERT_TRUE(received.ReadBytes(record.data(), &size)) << "record " << index;
        EXPECT_EQ(kRecordBytes, size);
        EXPECT_TRUE(record == RecordBytes(index)) << "record " << index << " differs";
    }
    EXPECT_EQ(received.BytesUsed(), received.CurrentPosition());
}

int CountBodyFiles(const std::wstring& folder) {
    WIN32_FIND_DATAW found{};
    UTIL::unique_find_handle search(FindFirstFileW((folder + L"mst*").c_str(), &found));
    if (!search) return 0;
    int count = 1;
    while (FindNextFileW(search.get(), &found)) ++count;
    return count;
}

// The body file's stream writes to a device that is always full (Wine
// gives drive Z: the Unix root): every write fails with "disk full".
class CDiskFullMessage : public CMsgSerializer {
public:
    using CMsgSerializer::CMsgSerializer;
    int openedStreams = 0;

protected:
    std::unique_ptr<std::fstream> OpenFileModeStream(const wchar_t*) override {
        auto stream = std::make_unique<std::fstream>(std::filesystem::path(L"Z:\\dev\\full"),
                                                     std::ios::out | std::ios::binary);
        if (!stream->is_open()) return nullptr;
        ++openedStreams;
        return stream;
    }
};

// A disk with room for `roomBytes` more bytes in all. Each body file's
// stream writes straight to its file until the room is used up; then the
// write is cut short and fails with "disk full", as a real full disk does.
class CFillingDisk {
public:
    explicit CFillingDisk(ULONGLONG roomBytes) : m_room(roomBytes) {}

    std::unique_ptr<std::fstream> OpenStream(const wchar_t* path) {
        m_buffers.push_back(std::make_unique<CFileBuffer>(path, m_room));
        auto stream = std::make_unique<std::fstream>();
        stream->std::ios::rdbuf(m_buffers.back().get());
        return stream;
    }

    size_t Files() const { return m_buffers.size(); }

private:
    class CFileBuffer : public std::streambuf {
    public:
        CFileBuffer(const wchar_t* path, ULONGLONG& room)
            : m_file(CreateFileW(path, GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 TRUNCATE_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)),
              m_room(room) {}

    protected:
        std::streamsize xsputn(const char* bytes, std::streamsize count) override {
            if (!m_file) return 0;
            const ULONGLONG fits = static_cast<ULONGLONG>(count) < m_room ? count : m_room;
            DWORD written = 0;
            WriteFile(m_file.get(), bytes, static_cast<DWORD>(fits), &written, nullptr);
            m_room -= written;
            m_written += written;
            if (written < count) {
                m_file.reset();  // the writer gives up on a full disk
                SetLastError(ERROR_DISK_FULL);
            }
            return written;
        }
        int_type overflow(int_type ch) override {
            if (traits_type::eq_int_type(ch, traits_type::eof())) return 0;
            const char byte = traits_type::to_char_type(ch);
            return xsputn(&byte, 1) == 1 ? ch : traits_type::eof();
        }
        pos_type seekoff(off_type offset, std::ios::seekdir direction,
                         std::ios::openmode) override {
            if (offset != 0 || direction != std::ios::cur) return pos_type(off_type(-1));
            return pos_type(static_cast<off_type>(m_written));
        }

    private:
        UTIL::unique_handle m_file;
        ULONGLONG& m_room;
        ULONGLONG m_written = 0;
    };

    ULONGLONG m_room;
    std::vector<std::unique_ptr<CFileBuffer>> m_buffers;
};

class CFillingDiskMessage : public CMsgSerializer {
public:
    CFillingDiskMessage(const wchar_t* name, CFillingDisk& disk)
        : CMsgSerializer(name, 1), m_disk(disk) {}

protected:
    std::unique_ptr<std::fstream> OpenFileModeStream(const wchar_t* path) override {
        return m_disk.OpenStream(path);
    }

private:
    CFillingDisk& m_disk;
};

TEST(BodyFileFault, MissingTemporaryFolderKeepsTheMessageInMemoryAndSendsIt) {
    ZELTEST::CProductFolder folder(L"nobodyfolder");
    // "<Local_Path>temp" does not exist, so no temporary file can be made.
    CLocalPath32 localPath(folder.Root() + L"Missing\\");
    ASSERT_TRUE(localPath.Valid());

    CMsgSerializer grown(kCommandName, 1);
    WriteRecords(grown);
    EXPECT_FALSE(grown.IsFileMode());
    SendAndExpectWholeMessage(grown);

    CMsgSerializer fileMode(kCommandName, CMsgSerializer::kModeFile);
    EXPECT_FALSE(fileMode.IsFileMode());
    WriteRecords(fileMode);
    SendAndExpectWholeMessage(fileMode);
}

TEST(BodyFileFault, DiskFullKeepsTheMessageInMemoryAndSendsIt) {
    ZELTEST::CProductFolder folder(L"diskfull");
    const std::wstring local = folder.Root() + L"Local\\";
    ASSERT_TRUE(ZELTEST::CreateFolders(local + L"temp\\"));
    CLocalPath32 localPath(local);
    ASSERT_TRUE(localPath.Valid());

    CDiskFullMessage message(kCommandName, 1);
    WriteRecords(message);
    ASSERT_GT(message.openedStreams, 0) << "the full device could not be opened";
    EXPECT_FALSE(message.IsFileMode());
    SendAndExpectWholeMessage(message);
    EXPECT_EQ(0, CountBodyFiles(local + L"temp\\")) << "a failed body file was left behind";
}

}  // namespace

namespace {

// The switch to a body file works, then the disk fills up within the third
// record: what reached the file comes back into memory and the message is
// sent whole from memory.
TEST(BodyFileFault, DiskFillingUpAfterTheSwitchKeepsTheMessageWhole) {
    ZELTEST::CProductFolder folder(L"diskfills");
    const std::wstring local = folder.Root() + L"Local\\";
    ASSERT_TRUE(ZELTEST::CreateFolders(local + L"temp\\"));
    CLocalPath32 localPath(local);
    ASSERT_TRUE(localPath.Valid());

    CFillingDisk disk(3u << 20);
    CFillingDiskMessage message(kCommandName, disk);
    WriteRecords(message);
    EXPECT_GE(disk.Files(), 2u) << "the body never went to a file";
    EXPECT_FALSE(message.IsFileMode());
    SendAndExpectWholeMessage(message);
    EXPECT_EQ(0, CountBodyFiles(local + L"temp\\")) << "a failed body file was left behind";
}

}  // namespace
