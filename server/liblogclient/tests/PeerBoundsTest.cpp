// The bounds of the pipe client against stand-in servers that misbehave,
// and the trace delivery's back-off with a clock the test moves.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CPipeClient.h"
#include "DebugTrace.h"
#include "LogPipeListener.h"
#include "SharedWord.h"
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
        g_logDeliverySeam.pfnNow = TestNow;
        g_logDeliverySeam.bounds = {200, 50, 200, 200};
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
    backoff.MissedDeadline(A::Deliver, 1000, true);
    g_now = 5000;
    EXPECT_EQ(backoff.Admit(), A::Drop);
    backoff.CountDropped();
    g_now = 11000;
    EXPECT_EQ(backoff.Admit(), A::Probe);
    EXPECT_EQ(backoff.Admit(), A::Drop);
    backoff.CountDropped();
    EXPECT_TRUE(backoff.DropIfBackingOff());
    backoff.Failed(A::Probe);
    EXPECT_FALSE(backoff.DropIfBackingOff());
    EXPECT_EQ(backoff.Admit(), A::Probe);
    g_now = 11005;
    const DroppedRecords dropped = backoff.Delivered(A::Probe, 11000);
    EXPECT_EQ(dropped.count, 4u);
    EXPECT_EQ(dropped.firstDropTick, 1000u);
    EXPECT_EQ(backoff.Admit(), A::Deliver);
}

// A scripted log server: each delivery moves the test's clock by what the
// behaviour says the record takes, and says whether it got through.
struct Take {
    ULONGLONG ms;
    bool delivered;
};
Take (*g_behaviour)(int delivery) = nullptr;
int g_deliveries = 0;
ULONGLONG g_heldMs = 0;    // all waiting on the server
ULONGLONG g_excessMs = 0;  // waiting beyond a healthy delivery
std::vector<std::wstring> g_delivered;

bool ScriptedDelivery(const wchar_t* command, bool* missedDeadline) {
    const Take take = g_behaviour(g_deliveries++);
    g_now += take.ms;
    g_heldMs += take.ms;
    if (take.ms > kTraceHealthyDeliveryMs) g_excessMs += take.ms - kTraceHealthyDeliveryMs;
    *missedDeadline = !take.delivered;
    if (take.delivered) g_delivered.push_back(command);
    return take.delivered;
}

class ScriptedTraceServer : public TraceBackoff {
protected:
    void SetUp() override {
        TraceBackoff::SetUp();
        g_logDeliverySeam.bounds = kTracePipeBounds;
        g_logDeliverySeam.pfnDeliver = ScriptedDelivery;
        g_deliveries = 0;
        g_heldMs = 0;
        g_excessMs = 0;
        g_delivered.clear();
    }
    void TearDown() override {
        TraceBackoff::TearDown();
        LogBackoff().Delivered(CLogBackoff::Admission::Probe, g_now);  // leave it healthy
    }
};

constexpr DWORD kBoundMs = kTracePipeBounds.wholeSendMs;
Take Healthy(int) {
    return {0, true};
}
Take JustHealthy(int) {
    return {kTraceHealthyDeliveryMs, true};
}
Take JustUnderTheBound(int) {
    return {kBoundMs - 1, true};
}
Take Stuck(int) {
    return {kBoundMs, false};
}
Take HealthyThenStuck(int n) {
    return n % 2 == 0 ? Take{0, true} : Take{kBoundMs, false};
}
Take EveryThirdSlowlyTaken(int n) {
    return n % 3 == 0 ? Take{300, true} : Take{kBoundMs, false};
}
Take GoneAndBack(int n) {
    return (n / 50) % 2 == 0 ? Take{0, true} : Take{kBoundMs, false};
}

// A thread that traces a record after every 50 ms of its own work, for ten
// minutes: whatever the server does, its waiting beyond a healthy delivery
// stays within the budget and a tenth of the time (one record's bound per
// back-off period), and so does all its waiting on a server that
// misbehaves; a healthy server gets every record.
TEST_F(ScriptedTraceServer, AnyServerBehaviourCostsABoundedShareOfTheThreadsTime) {
    struct Case {
        const char* what;
        Take (*behaviour)(int);
        bool everyRecordArrives;
    };
    const Case cases[] = {
        {"healthy", Healthy, true},
        {"each record in the healthy time", JustHealthy, true},
        {"each record just under the bound", JustUnderTheBound, false},
        {"never takes one", Stuck, false},
        {"healthy and stuck in turn", HealthyThenStuck, false},
        {"takes every third, slowly", EveryThirdSlowlyTaken, false},
        {"gone and back every 50 records", GoneAndBack, false},
    };
    constexpr ULONGLONG kWorkMs = 50;
    constexpr ULONGLONG kRunMs = 600000;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        g_behaviour = c.behaviour;
        const ULONGLONG start = g_now;
        int records = 0;
        while (g_now - start < kRunMs) {
            logcl_WriteLog(1, 2, 3, 73, L"s.cpp", 4, L"record");
            ++records;
            g_now += kWorkMs;
        }
        const ULONGLONG wall = g_now - start;
        EXPECT_LE(g_excessMs, kTraceWaitBudgetMs + wall / 10);
        if (c.everyRecordArrives) {
            EXPECT_EQ(g_delivered.size(), static_cast<size_t>(records));
        } else {
            EXPECT_LE(g_heldMs, wall / 10);  // and so at most a tenth of the time in all
        }
        TearDown();
    }
    SetUp();
}

std::wstring FieldOf(const std::wstring& command, int index) {
    size_t begin = 0;
    for (int i = 0; i < index; ++i) begin = command.find(L'\t', begin) + 1;
    return command.substr(begin, command.find(L'\t', begin) - begin);
}

Take ScriptedTakes(int n) {
    // 0: the first record misses; 1: the probe gets through; 2: its report
    // is lost; 3, 4: the next probe and its report get through.
    return n == 0 || n == 2 ? Take{kBoundMs, false} : Take{0, true};
}

// With the gate at errors only, the 'W' report still goes out (past the
// gate); a report that is lost is carried into the next one, with the time
// from the first drop, which does not wrap after 24.8 days.
TEST_F(ScriptedTraceServer, DroppedRecordsAreReportedPastTheGateAndALostReportIsCarried) {
    ZELTEST::CSharedWord word;
    ASSERT_TRUE(word.Valid());
    word.Set(0x00010004);  // 'E' and 'F' pass
    g_behaviour = ScriptedTakes;
    DebugTraceW('E', TRACE_SRC_W, L"missed");           // dropped 1, back-off
    DebugTraceW('E', TRACE_SRC_W, L"in the back-off");  // 2
    DebugTraceW('I', TRACE_SRC_W, L"below the gate");   // not a record: not counted
    DebugTraceW('F', TRACE_SRC_W, L"in the back-off");  // 3
    g_now += 20000;
    DebugTraceW('E', TRACE_SRC_W, L"first probe");          // through; its report is lost
    DebugTraceW('E', TRACE_SRC_W, L"in the new back-off");  // 4
    g_now += 25ull * 24 * 3600 * 1000;
    DebugTraceW('E', TRACE_SRC_W, L"second probe");
    word.Set(0);
    ASSERT_EQ(g_delivered.size(), 3u);
    EXPECT_EQ(FieldOf(g_delivered[0], 7), L"[][logclient_tests.exe]first probe");
    EXPECT_EQ(FieldOf(g_delivered[1], 7), L"[][logclient_tests.exe]second probe");
    EXPECT_EQ(FieldOf(g_delivered[2], 4), L"87");
    // From the first drop (at 1000) to the delivery: 1000 + 20000 + 1000 + 25 days.
    EXPECT_EQ(FieldOf(g_delivered[2], 7),
              L"[][logclient_tests.exe]logcl_SendCommand - 4 trace record(s) dropped in "
              L"2160022000 ms: the log server did not take them");
}

}  // namespace
