// The bounds of the pipe client against stand-in servers that misbehave,
// and the trace delivery's back-off with a clock the test moves.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CPipeClient.h"
#include "LogPipeListener.h"
#include "UniqueHandle.h"
#include "logcl_backoff.h"
#include "logcl_command.h"

namespace {

constexpr wchar_t kStandInPipe[] = L"zel_test_peerbounds";

// A server that takes connections and never reads. With 0-byte buffers no
// write completes; `busy` takes its only instance itself, so that every
// client meets a busy pipe (for a long default time-out).
class CStuckServer {
public:
    CStuckServer(const wchar_t* name, bool busy) {
        const std::wstring path = std::wstring(L"\\\\.\\pipe\\") + name;
        m_server.reset(::CreateNamedPipeW(path.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                                          PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1, 0, 0,
                                          600000, nullptr));
        if (busy) {
            m_self.reset(
                ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        }
    }
    bool Up() const { return static_cast<bool>(m_server); }

private:
    UTIL::unique_handle m_server;
    UTIL::unique_handle m_self;
};

struct BoundCase {
    const char* what;
    bool busy;  // every instance busy, else accepted and never read
    PipeWaitBounds bounds;
    bool stopped;  // the stop event is set
    DWORD error;   // of the failing call
    bool missedDeadline;
    DWORD atLeastMs;  // the call took at least this (the bound)
};

// Each failure comes at its bound, or at once for a stop, with the error
// and the missed-deadline flag the callers act on.
TEST(PipeClientBounds, EachWaitOnAStuckServerEndsAtItsBoundOrAtTheStop) {
    const BoundCase cases[] = {
        {"write bound", false, {300, 100, 300, 0}, false, ERROR_TIMEOUT, true, 250},
        {"whole-send bound", false, {5000, 100, 5000, 300}, false, ERROR_TIMEOUT, true, 250},
        {"stop, write", false, {5000, 100, 5000, 0}, true, ERROR_OPERATION_ABORTED, false, 0},
        {"connect bound", true, {300, 100, 300, 0}, false, ERROR_SEM_TIMEOUT, true, 250},
        {"stop, busy", true, {5000, 100, 5000, 0}, true, ERROR_OPERATION_ABORTED, false, 0}};
    UTIL::unique_handle stop(::CreateEventW(nullptr, TRUE, TRUE, nullptr));
    for (const BoundCase& c : cases) {
        CStuckServer server(kStandInPipe, c.busy);
        ASSERT_TRUE(server.Up()) << c.what;
        CPipeClient client(c.bounds, c.stopped ? stop.get() : nullptr);
        const ULONGLONG before = ::GetTickCount64();
        DWORD bytes = 100;
        const std::vector<BYTE> data(bytes, 0x5A);
        const bool sent = client.Connect(kStandInPipe) && client.Send(data.data(), &bytes);
        const DWORD error = ::GetLastError();
        const ULONGLONG took = ::GetTickCount64() - before;
        EXPECT_FALSE(sent) << c.what;
        EXPECT_EQ(error, c.error) << c.what;
        EXPECT_EQ(client.MissedDeadline(), c.missedDeadline) << c.what;
        EXPECT_GE(took, c.atLeastMs) << c.what;
        EXPECT_LT(took, 3000u) << c.what;
    }
}

// The clock of the back-off, moved by the test.
ULONGLONG g_now = 0;
ULONGLONG TestNow() {
    return g_now;
}

// The seam: short bounds, the test's clock; put back afterwards.
class TraceBackoff : public ::testing::Test {
protected:
    void SetUp() override {
        m_saved = g_logDeliverySeam;
        g_logDeliverySeam = {TestNow, {200, 50, 200, 200}, 10000};
        g_now = 1000;
    }
    void TearDown() override { g_logDeliverySeam = m_saved; }

    // Sends one record; true when delivered, with the real time it took.
    static bool Send(const wchar_t* text, ULONGLONG* tookMs) {
        const ULONGLONG before = ::GetTickCount64();
        const bool sent = logcl_WriteLog(1, 2, 3, 73, L"s.cpp", 4, text);
        *tookMs = ::GetTickCount64() - before;
        return sent;
    }

    LogDeliverySeam m_saved{};
};

// A missed deadline drops that record and, for the back-off period, every
// record at once; the first record through afterwards is followed by one
// 'W' record with the count and the time since the first drop.
TEST_F(TraceBackoff, StallDropsForTheBackoffThenOneLineCountsTheDroppedRecords) {
    ULONGLONG took = 0;
    {
        CStuckServer stuck(kLogServerPipeName, false);
        ASSERT_TRUE(stuck.Up());
        EXPECT_FALSE(Send(L"missed", &took));
        EXPECT_GE(took, 150u);  // it waited for its deadline (no exact time exists)
    }
    // A responsive server from here on: a record the back-off let through
    // would arrive, so the exact list below proves the drops.
    ZELTEST::CLogPipeListener listener;
    ASSERT_TRUE(listener.Start());
    for (const ULONGLONG now : {2000ull, 10999ull}) {
        g_now = now;
        EXPECT_FALSE(Send(L"dropped", &took)) << now;
    }
    EXPECT_TRUE(logcl_DropIfBackingOff());  // the trace call's early drop counts too
    g_now = 13000;
    EXPECT_TRUE(Send(L"through again", &took));
    EXPECT_TRUE(Send(L"next", &took));
    ASSERT_TRUE(listener.WaitForCount(3));
    listener.Stop();
    const auto records = listener.Records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].Line(), L"through again");
    EXPECT_EQ(records[1].Level(), 'W');
    // This process started no trace of its own: its module tag is empty.
    EXPECT_EQ(records[1].Line(),
              L"[][logclient_tests.exe]logcl_SendCommand - 4 trace record(s) dropped in "
              L"12000 ms: the log server did not take them");
    EXPECT_EQ(records[2].Line(), L"next");
}

// No log server is no missed deadline: nothing is dropped at once (the
// once-only report stays the only cost). After a back-off one record
// probes the server while others are dropped; a probe that fails otherwise
// (no server) lets the next one probe.
TEST_F(TraceBackoff, AbsentServerStartsNoBackoffAndOneProbeAtATimeEndsOne) {
    using A = CLogBackoff::Admission;
    ULONGLONG took = 0;
    EXPECT_FALSE(Send(L"nobody listens", &took));
    EXPECT_FALSE(logcl_DropIfBackingOff());
    CLogBackoff backoff;
    backoff.MissedDeadline(A::Deliver, 1000);
    g_now = 5000;
    EXPECT_EQ(backoff.Admit(), A::Drop);
    g_now = 11000;
    EXPECT_EQ(backoff.Admit(), A::Probe);
    EXPECT_EQ(backoff.Admit(), A::Drop);
    EXPECT_TRUE(backoff.DropIfBackingOff());
    backoff.Failed(A::Probe);
    EXPECT_FALSE(backoff.DropIfBackingOff());
    EXPECT_EQ(backoff.Admit(), A::Probe);
    g_now = 11500;
    const DroppedRecords dropped = backoff.Delivered(A::Probe);
    EXPECT_EQ(dropped.count, 4);
    EXPECT_EQ(dropped.milliseconds, 10500);
    EXPECT_EQ(backoff.Admit(), A::Deliver);
}

}  // namespace
