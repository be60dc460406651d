#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "LogPipeListener.h"
#include "cp_CCmdProtocolV2.h"

namespace {

const wchar_t kCleanup[] = L"CMZELV2_ZELSVR_CLEANUP_SAMPLE_FOLDER";

DWORD DWordAt(const BYTE* bytes, size_t offset) {
    DWORD value = 0;
    std::memcpy(&value, bytes + offset, 4);
    return value;
}

std::vector<BYTE> Bytes(CMsgSerializer& message) {
    return std::vector<BYTE>(message.Data(), message.Data() + message.GetBytesUsed());
}

void PutRecord(std::vector<BYTE>& out, const void* bytes, DWORD length) {
    const auto* p = reinterpret_cast<const BYTE*>(&length);
    out.insert(out.end(), p, p + 4);
    const auto* b = static_cast<const BYTE*>(bytes);
    out.insert(out.end(), b, b + length);
}

bool FileExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

TEST(MsgSerializerBuild, CleanupCommandMatchesTheWireLayout) {
    CMsgSerializer message(kCleanup, 1);
    const auto bytes = Bytes(message);
    const std::wstring& id = message.MessageId();
    const size_t m = id.size();
    ASSERT_EQ(bytes.size(), 110 + (m + 1) * 2);
    const BYTE head[] = {4, 0, 0, 0, 1, 0, 0, 0, 16, 0, 0, 0, 0x20, 0xAC, 0, 0,
                         0, 0, 0, 0, 0, 0, 0, 0, 0,  0, 0, 0, 74,   0,    0, 0};
    EXPECT_EQ(0, std::memcmp(bytes.data(), head, sizeof(head)));
    EXPECT_EQ(0, std::memcmp(bytes.data() + 32, kCleanup, 74));
    EXPECT_EQ(DWordAt(bytes.data(), 106), (m + 1) * 2);
    EXPECT_EQ(0, std::memcmp(bytes.data() + 110, id.c_str(), (m + 1) * 2));

    // "0105", the name, then tick_pid_tid in signed decimal.
    ASSERT_EQ(id.rfind(std::wstring(L"0105") + kCleanup, 0), 0u);
    std::wstring numbers = id.substr(4 + 36);
    const std::wstring tail = L"_" + std::to_wstring(static_cast<int>(GetCurrentProcessId())) +
                              L"_" + std::to_wstring(static_cast<int>(GetCurrentThreadId()));
    ASSERT_GT(numbers.size(), tail.size());
    EXPECT_EQ(numbers.substr(numbers.size() - tail.size()), tail);
    const std::wstring tick = numbers.substr(0, numbers.size() - tail.size());
    EXPECT_EQ(tick.find_first_not_of(L"-0123456789"), std::wstring::npos);
}

TEST(MsgSerializerBuild, NullNameBecomesNULL) {
    CMsgSerializer message(nullptr, 1);
    EXPECT_EQ(message.CommandName(), L"NULL");
    EXPECT_EQ(message.MessageId().rfind(L"0105NULL", 0), 0u);
}

TEST(MsgSerializerRead, ReadBytesNegotiatesSize) {
    CMsgSerializer message(kCleanup, 1);
    DWORD ignored = 0;
    EXPECT_THROW(message.ReadBytes(&ignored, &ignored), CIPCMsgBufferException);

    ASSERT_TRUE(message.WriteBytes("payload", 7));
    EXPECT_FALSE(message.WriteBytes(nullptr, 3));
    char small[4] = {};
    DWORD size = sizeof(small);
    EXPECT_FALSE(message.ReadBytes(small, &size));
    EXPECT_EQ(size, 7u);
    EXPECT_FALSE(message.ReadBytes(nullptr, &size));
    char large[12];
    std::memset(large, 'x', sizeof(large));
    size = sizeof(large);
    ASSERT_TRUE(message.ReadBytes(large, &size));
    EXPECT_EQ(std::string(large, 7), "payload");
    EXPECT_EQ(std::string(large + 7, 5), std::string(5, '\0'));
}

TEST(MsgSerializerRead, LoadParsesAndEmptyRecordsKeepOldValues) {
    CMsgSerializer sent(L"CMD_A", 1);
    sent.WriteBytes("p1", 2);
    auto bytes = Bytes(sent);
    CMsgSerializer received(nullptr, 1);
    received.Load(bytes.data(), static_cast<DWORD>(bytes.size()));
    EXPECT_EQ(received.CommandName(), L"CMD_A");
    EXPECT_EQ(received.MessageId(), sent.MessageId());
    char p[2];
    DWORD size = 2;
    ASSERT_TRUE(received.ReadBytes(p, &size));
    EXPECT_EQ(std::string(p, 2), "p1");

    std::vector<BYTE> empties;
    DWORD version = 1;
    PutRecord(empties, &version, 4);
    MsgControlBlock control = {{0x20, 0xAC}, 0, 0, 0, 0};
    PutRecord(empties, &control, 16);
    PutRecord(empties, "", 0);
    PutRecord(empties, "", 0);
    received.Load(empties.data(), static_cast<DWORD>(empties.size()));
    EXPECT_EQ(received.CommandName(), L"CMD_A");
    EXPECT_EQ(received.MessageId(), sent.MessageId());
}

TEST(MsgSerializerRead, OversizedControlRecordIsSkippedWhole) {
    std::vector<BYTE> bytes;
    DWORD version = 1;
    PutRecord(bytes, &version, 4);
    std::vector<BYTE> control(40, 0xEE);
    PutRecord(bytes, control.data(), 40);
    PutRecord(bytes, L"NAME", 10);
    PutRecord(bytes, L"ID", 6);
    CMsgSerializer received(nullptr, 1);
    received.Load(bytes.data(), static_cast<DWORD>(bytes.size()));
    EXPECT_EQ(received.CommandName(), L"NAME");
    EXPECT_EQ(received.MessageId(), L"ID");
    EXPECT_EQ(received.ControlBlock().flags, 0u);
}

TEST(MsgSerializerFile, FileModeMessageHandsOverItsBodyFile) {
    std::string body(3 * 1024 * 1024, '\0');
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 31);
    std::vector<BYTE> wire;
    std::wstring id;
    {
        CMsgSerializer sent(L"BIG", 1);
        sent.WriteBytes(body.data(), static_cast<DWORD>(body.size()));
        sent.WriteBytes("end", 3);
        ASSERT_TRUE(sent.IsFileMode());
        ASSERT_TRUE(sent.PrepareForSend());
        EXPECT_FALSE(sent.IsFileMode());
        wire = Bytes(sent);
        id = sent.MessageId();
    }
    EXPECT_EQ(DWordAt(wire.data(), 16) & 3u, 2u) << "flag bit 1 set, bit 0 clear";
    std::wstring path;
    {
        CMsgSerializer probe(nullptr, 1);
        BYTE* copy = new BYTE[wire.size()];
        std::memcpy(copy, wire.data(), wire.size());
        probe.Attach(copy, static_cast<DWORD>(wire.size()));
        const DWORD length = *probe.PeekLength();
        const BYTE* record = nullptr;
        probe >> record;
        path.assign(reinterpret_cast<const wchar_t*>(record), length / 2 - 1);
        EXPECT_THROW(probe.PeekLength(), CIPCMsgBufferException) << "path is the last record";
    }
    ASSERT_TRUE(FileExists(path)) << "the body file outlives the sender";
    {
        CMsgSerializer received(nullptr, 1);
        received.Load(wire.data(), static_cast<DWORD>(wire.size()));
        EXPECT_EQ(received.CommandName(), L"BIG");
        EXPECT_EQ(received.MessageId(), id);
        EXPECT_EQ(received.ControlBlock().flags & 2u, 0u);
        std::string got(body.size(), '\0');
        DWORD size = static_cast<DWORD>(got.size());
        ASSERT_TRUE(received.ReadBytes(got.data(), &size));
        EXPECT_EQ(got, body);
        char end[3];
        size = 3;
        ASSERT_TRUE(received.ReadBytes(end, &size));
        EXPECT_EQ(std::string(end, 3), "end");
        EXPECT_TRUE(FileExists(path));
    }
    EXPECT_FALSE(FileExists(path)) << "the receiver deletes the body file";
}

TEST(MsgSerializerFile, LeadingRecordPastFileEndFailsTheRead) {
    wchar_t folder[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, folder);
    wchar_t file[MAX_PATH] = {};
    GetTempFileNameW(folder, L"lead", 0, file);
    std::vector<BYTE> bytes;
    DWORD version = 1;
    PutRecord(bytes, &version, 4);
    std::vector<BYTE> longControl(2000, 0);
    PutRecord(bytes, longControl.data(), 2000);  // longer than 1024: read whole
    std::wstring name(1500, L'N');
    PutRecord(bytes, name.c_str(), static_cast<DWORD>((name.size() + 1) * 2));
    DWORD liar = 0x7FFFFFFF;
    bytes.insert(bytes.end(), reinterpret_cast<BYTE*>(&liar), reinterpret_cast<BYTE*>(&liar) + 4);
    std::ofstream(std::filesystem::path(file), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    CMsgSerializer reader(nullptr, 1);
    EXPECT_FALSE(reader.InternalReadFile(file));

    bytes.resize(bytes.size() - 4);
    PutRecord(bytes, L"ID", 6);
    std::ofstream(std::filesystem::path(file), std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    CMsgSerializer good(nullptr, 1);
    EXPECT_TRUE(good.InternalReadFile(file));
    EXPECT_EQ(good.CommandName(), name);
    EXPECT_EQ(good.MessageId(), L"ID");
    DeleteFileW(file);
}

// A body file holds a whole message; one whose message names a body file
// again (here itself) is not followed: before, each level read the file anew
// until the C runtime had no file stream left (some 500 nested reads).
TEST(MsgSerializerFile, BodyFileNamingABodyFileIsNotFollowed) {
    wchar_t folder[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, folder);
    wchar_t file[MAX_PATH] = {};
    ASSERT_NE(0u, GetTempFileNameW(folder, L"nest", 0, file));
    std::vector<BYTE> bytes;
    DWORD version = 1;
    PutRecord(bytes, &version, 4);
    MsgControlBlock control = {};
    control.flags = 2;  // body in a file
    PutRecord(bytes, &control, sizeof(control));
    PutRecord(bytes, L"LOOP", 10);
    PutRecord(bytes, L"ID", 6);
    const std::wstring self = file;
    PutRecord(bytes, self.c_str(), static_cast<DWORD>((self.size() + 1) * 2));
    std::ofstream(std::filesystem::path(file), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    ZELTEST::CLogPipeListener listener;
    ASSERT_TRUE(listener.Start());
    {
        CMsgSerializer receiver(nullptr, 1);
        receiver.Load(bytes.data(), static_cast<DWORD>(bytes.size()));
        EXPECT_EQ(receiver.CommandName(), L"LOOP");
        EXPECT_EQ(receiver.MessageId(), L"ID");
        EXPECT_EQ(receiver.ReadFileName(), self);
    }
    EXPECT_FALSE(FileExists(self)) << "the body file is still the receiver's to delete";
    EXPECT_TRUE(listener.WaitForLine(L"CMsgSerializer::Load - Body file names another body file"));
    listener.Stop();
    size_t reads = 0;
    for (const ZELTEST::LogRecord& record : listener.Records())
        reads += record.Line().find(L"[File mode] File name = " + self) != std::wstring::npos;
    EXPECT_EQ(reads, 1u);
    DeleteFileW(file);
}

namespace {

// What the receiving side makes of a message, worked out independently of
// it: the version record, then the control, name and identifier records; a
// record that runs past the end raises "Out of range". A name or identifier
// record of length 0 keeps the value the receiver had.
struct Decoded {
    bool raises = true;
    DWORD version = 0;
    MsgControlBlock control = {};
    std::wstring name;
    std::wstring id;
    size_t controlOffset = 0;  // where the control record's bytes begin
    DWORD controlLength = 0;
};

Decoded Decode(const std::vector<BYTE>& bytes, const std::wstring& name, const std::wstring& id) {
    Decoded decoded;
    decoded.name = name;
    decoded.id = id;
    size_t position = 0;
    const auto left = [&] { return bytes.size() - position; };
    if (left() < 8) return decoded;
    decoded.version = DWordAt(bytes.data(), 4);
    position = 8;
    if (left() < 4) return decoded;
    decoded.controlLength = DWordAt(bytes.data(), position);
    position += 4;
    if (left() < decoded.controlLength) return decoded;
    decoded.controlOffset = position;
    if (decoded.controlLength <= sizeof(MsgControlBlock))
        std::memcpy(&decoded.control, bytes.data() + position, decoded.controlLength);
    position += decoded.controlLength;
    for (std::wstring* text : {&decoded.name, &decoded.id}) {
        if (left() < 4) return decoded;
        const DWORD length = DWordAt(bytes.data(), position);
        position += 4;
        if (left() < length) return decoded;
        if (length > 0) {
            const size_t units = length / 2 == 0 ? 0 : length / 2 - 1;
            text->assign(reinterpret_cast<const wchar_t*>(bytes.data() + position), units);
        }
        position += length;
    }
    decoded.raises = false;
    return decoded;
}

}  // namespace

// Each of the 6,000 decodings either raises "Out of range" exactly where an
// independent reading of the records says it must, or gives exactly the
// version, control block, name and identifier that reading gives.
TEST(MsgSerializerRobustness, RandomAndMutatedMessagesDecodeAsTheirRecordsSay) {
    std::mt19937 random(20261208);
    CMsgSerializer seed(L"SEED", 1);
    seed.WriteBytes("param", 5);
    const auto valid = Bytes(seed);
    int clean = 0, raised = 0, intact = 0;
    for (int round = 0; round < 3000; ++round) {
        std::vector<BYTE> bytes = valid;
        // Round 0 decodes the message as it was sent.
        switch (round == 0 ? -1 : round % 3) {
            case -1:
                break;
            case 0:
                bytes.resize(random() % (valid.size() + 1));
                break;
            case 1:
                for (int k = 0; k < 4; ++k)
                    bytes[random() % bytes.size()] = static_cast<BYTE>(random());
                break;
            default:
                bytes.resize(random() % 200);
                for (auto& b : bytes) b = static_cast<BYTE>(random());
        }
        // Never let a mutated flag name a file to read: clear bit 1 of the
        // flags wherever the control record's bytes are.
        const Decoded layout = Decode(bytes, L"", L"");
        if (layout.controlOffset != 0 && layout.controlLength > 4 &&
            layout.controlLength <= sizeof(MsgControlBlock)) {
            bytes[layout.controlOffset + 4] &= static_cast<BYTE>(~2u);
        }
        for (int how = 0; how < 2; ++how) {
            CMsgSerializer receiver(nullptr, 1);
            const Decoded expected = Decode(bytes, receiver.CommandName(), receiver.MessageId());
            ASSERT_EQ(expected.control.flags & 2, 0u);
            bool threw = false;
            try {
                if (how == 0) {
                    receiver.Load(bytes.data(), static_cast<DWORD>(bytes.size()));
                } else {
                    BYTE* copy = new BYTE[bytes.size() + 1];
                    std::memcpy(copy, bytes.data(), bytes.size());
                    receiver.Attach(copy, static_cast<DWORD>(bytes.size()));
                }
            } catch (const CIPCMsgBufferException& error) {
                threw = true;
                EXPECT_EQ(error.GetCode(), CIPCMsgBufferException::kOutOfRange) << round;
            }
            ASSERT_EQ(threw, expected.raises) << "round " << round << ", how " << how;
            if (threw) {
                ++raised;
                continue;
            }
            ++clean;
            EXPECT_EQ(receiver.Version(), expected.version) << round;
            EXPECT_EQ(0, std::memcmp(&receiver.ControlBlock(), &expected.control,
                                     sizeof(MsgControlBlock)))
                << round;
            EXPECT_EQ(receiver.CommandName(), expected.name) << round;
            EXPECT_EQ(receiver.MessageId(), expected.id) << round;
            if (bytes == valid) {
                ++intact;
                EXPECT_EQ(receiver.CommandName(), L"SEED");
                EXPECT_EQ(receiver.MessageId(), seed.MessageId());
                char param[8] = {};
                DWORD size = sizeof(param);
                EXPECT_TRUE(receiver.ReadBytes(param, &size));
                EXPECT_STREQ(param, "param");
            }
        }
    }
    EXPECT_EQ(clean + raised, 6000);
    // Both outcomes occur, and the unmutated message came through whole.
    EXPECT_GT(raised, 500);
    EXPECT_GT(clean, 500);
    EXPECT_GE(intact, 2);
}

namespace {

// A body file of exactly `size` bytes: the four leading records, then one
// parameter record that fills the rest.
std::wstring WriteBodyFile(size_t size) {
    wchar_t folder[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, folder);
    wchar_t file[MAX_PATH] = {};
    GetTempFileNameW(folder, L"body", 0, file);
    std::vector<BYTE> bytes;
    DWORD version = 1;
    PutRecord(bytes, &version, 4);
    MsgControlBlock control = {{0x20, 0xAC}, 0, 0, 0, 0};
    PutRecord(bytes, &control, 16);
    PutRecord(bytes, L"BODY", 10);
    PutRecord(bytes, L"ID", 6);
    const DWORD rest = static_cast<DWORD>(size - bytes.size() - 4);
    bytes.insert(bytes.end(), reinterpret_cast<const BYTE*>(&rest),
                 reinterpret_cast<const BYTE*>(&rest) + 4);
    std::ofstream out(std::filesystem::path(file), std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    std::vector<char> filler(1 << 20, 'q');
    for (size_t left = rest; left != 0;) {
        const size_t piece = left < filler.size() ? left : filler.size();
        out.write(filler.data(), static_cast<std::streamsize>(piece));
        left -= piece;
    }
    return file;
}

}  // namespace

TEST(MsgSerializerFile, FiftyMiBBodyIsMappedAndOneByteLessIsStreamed) {
    for (const size_t size : {size_t{52428800}, size_t{52428799}}) {
        const std::wstring path = WriteBodyFile(size);
        {
            CMsgSerializer received(nullptr, 1);
            received.ReadFile(path.c_str());
            EXPECT_EQ(received.CommandName(), L"BODY") << size;
            EXPECT_EQ(received.MessageId(), L"ID") << size;
            EXPECT_EQ(received.ReadFileName().empty(), size == 52428800)
                << "streamed only below 50 MiB";
            EXPECT_EQ(received.GetBytesUsed(), size);
            DWORD length = 0;
            EXPECT_FALSE(received.ReadBytes(nullptr, &length));
            EXPECT_EQ(length, size - 56);  // 52 bytes of leading records, 4 of length
        }
        EXPECT_FALSE(FileExists(path)) << "the receiver owns the body file, size " << size;
    }
}

TEST(MsgSerializerFile, ResetAfterMappedReadGivesAFreshNamelessMessage) {
    const std::wstring path = WriteBodyFile(52428800);
    CMsgSerializer received(nullptr, 1);
    ASSERT_TRUE(received.IPCResultFromFileByMemMap(path.c_str()));
    EXPECT_EQ(received.CommandName(), L"BODY");
    const std::wstring oldId = received.MessageId();
    ASSERT_TRUE(received.Reset());
    EXPECT_FALSE(FileExists(path));
    EXPECT_EQ(received.CommandName(), L"NULL");
    EXPECT_NE(received.MessageId(), oldId);
    // version 8, control 20, "NULL" 14, identifier record.
    EXPECT_EQ(received.GetBytesUsed(), 42u + 4 + (received.MessageId().size() + 1) * 2);
    EXPECT_THROW(received.PeekLength(), CIPCMsgBufferException);
}

TEST(MsgSerializerFile, MissingBodyFileMarksNoMemoryResult) {
    CMsgSerializer received(nullptr, 1);
    EXPECT_FALSE(received.IPCResultFromFileByMemMap(L"C:\\no\\such\\body.tmp"));
    EXPECT_EQ(received.ControlBlock().result, 0x8009000Eu);
    EXPECT_EQ(DWordAt(received.Data(), 20), 0x8009000Eu);
}

namespace {

// The first mapping fails (as CreateFileMappingW may, for lack of memory);
// later ones are the real ones. Counts the calls.
class CFirstMappingFails : public CMsgSerializer {
public:
    CFirstMappingFails() : CMsgSerializer(nullptr, 1) {}
    int m_calls = 0;

protected:
    HANDLE CreateMappingSection(HANDLE file, LONGLONG size) override {
        if (++m_calls == 1) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        return CMsgSerializer::CreateMappingSection(file, size);
    }
};

}  // namespace

// A failed mapping left its size behind, and a later read of a file that
// could not be opened mapped the invalid handle (a zero-filled section of
// that size) and answered true. A failed open must fail the read.
TEST(MsgSerializerFile, FileThatCannotBeOpenedFailsTheMappedReadAfterAFailedMapping) {
    const std::wstring first = WriteBodyFile(4096);
    const std::wstring second = WriteBodyFile(4096);
    CFirstMappingFails received;
    EXPECT_FALSE(received.IPCResultFromFileByMemMap(first.c_str()));
    EXPECT_EQ(received.m_calls, 1);
    EXPECT_EQ(received.ControlBlock().result, 0x8009000Eu);
    {
        // Held without sharing: it exists, but the receiver cannot open it.
        UTIL::unique_handle held(CreateFileW(second.c_str(), GENERIC_READ, 0, nullptr,
                                             OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held.valid());
        EXPECT_FALSE(received.IPCResultFromFileByMemMap(second.c_str()));
        EXPECT_EQ(received.m_calls, 1) << "nothing may be mapped without the file";
        EXPECT_EQ(received.ControlBlock().result, 0x8009000Eu);
        EXPECT_EQ(received.CommandName(), L"NULL");
    }
    // The file itself still maps, with the real size.
    EXPECT_TRUE(received.IPCResultFromFileByMemMap(second.c_str()));
    EXPECT_EQ(received.m_calls, 2);
    EXPECT_EQ(received.CommandName(), L"BODY");
    EXPECT_EQ(received.GetBytesUsed(), 4096u);
    DeleteFileW(first.c_str());
}
