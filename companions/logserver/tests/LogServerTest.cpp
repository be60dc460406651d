#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "LogServer.h"
#include "UniqueHandle.h"

namespace {

constexpr wchar_t kPipeName[] = L"zel_test_logserver";
constexpr wchar_t kPipePath[] = L"\\\\.\\pipe\\zel_test_logserver";

// Runs the server in-process and collects what it delivers.
class LogServer : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_server.Start(kPipeName, 4, 3000)); }

    bool WaitFor(size_t records, size_t refusals) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(60), [&] {
            return m_records.size() >= records && m_refusals.size() >= refusals;
        });
    }

    static UTIL::unique_handle OpenClient() {
        for (;;) {
            UTIL::unique_handle pipe(
                ::CreateFileW(kPipePath, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
            if (pipe || ::GetLastError() != ERROR_PIPE_BUSY) return pipe;
            ::WaitNamedPipeW(kPipePath, NMPWAIT_USE_DEFAULT_WAIT);
        }
    }

    static void Send(const std::vector<BYTE>& bytes) {
        UTIL::unique_handle pipe = OpenClient();
        ASSERT_TRUE(pipe);
        for (size_t done = 0; done < bytes.size();) {
            const DWORD piece = static_cast<DWORD>(std::min<size_t>(1024, bytes.size() - done));
            DWORD written = 0;
            ASSERT_TRUE(::WriteFile(pipe.get(), bytes.data() + done, piece, &written, nullptr));
            done += written;
        }
    }

    static std::vector<BYTE> Record(const std::wstring& text) {
        const std::wstring command = L"LOG_WRITE\t1\t2\t3\t73\ts.cpp\t4\t" + text;
        const BYTE* raw = reinterpret_cast<const BYTE*>(command.c_str());
        return std::vector<BYTE>(raw, raw + (command.size() + 1) * sizeof(wchar_t));
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::wstring> m_records;
    std::vector<std::wstring> m_refusals;
    LOGSRV::CLogServer m_server{[this](const LOGSRV::ParsedRecord& record) {
                                    std::lock_guard<std::mutex> lock(m_mutex);
                                    m_records.push_back(record.text);
                                    m_changed.notify_all();
                                },
                                [this](const std::wstring& reason) {
                                    std::lock_guard<std::mutex> lock(m_mutex);
                                    m_refusals.push_back(reason);
                                    m_changed.notify_all();
                                }};
};

TEST_F(LogServer, BadConnectionsAreRefusedAndGoodOnesAllArrive) {
    Send(Record(L"first"));
    std::vector<BYTE> noZero = Record(L"cut");
    noZero.resize(noZero.size() - 2);
    Send(noZero);                                                  // stopped half-way
    Send({'a', 'b', 'c'});                                         // not UTF-16
    Send({'L', 0, '\t', 0, '1', 0, 0, 0});                         // too few fields
    Send(std::vector<BYTE>(LOGSRV::kMaxRecordBytes + 4096, 'x'));  // huge
    Send(Record(L"last"));
    ASSERT_TRUE(WaitFor(2, 4));
    m_server.Stop();
    EXPECT_EQ(m_records, (std::vector<std::wstring>{L"first", L"last"}));
    ASSERT_EQ(m_refusals.size(), 4u);
}

TEST_F(LogServer, SilentClientIsDroppedWithoutBlockingOthers) {
    UTIL::unique_handle silent = OpenClient();  // connects and writes nothing
    ASSERT_TRUE(silent);
    Send(Record(L"meanwhile"));
    ASSERT_TRUE(WaitFor(1, 0));
    EXPECT_EQ(m_records[0], L"meanwhile");
    ASSERT_TRUE(WaitFor(1, 1));  // the idle time-out refuses the silent one
    EXPECT_NE(m_refusals[0].find(L"in time"), std::wstring::npos);
}

TEST_F(LogServer, ManyClientsAtOnceLoseNothing) {
    std::vector<std::thread> clients;
    for (int i = 0; i < 20; ++i) {
        clients.emplace_back([i] { Send(Record(L"n" + std::to_wstring(i))); });
    }
    for (std::thread& client : clients) client.join();
    ASSERT_TRUE(WaitFor(20, 0));
    EXPECT_EQ(m_refusals.size(), 0u);
}

}  // namespace
