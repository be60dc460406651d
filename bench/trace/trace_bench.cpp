// Prints: ns per trace call that the level gate drops; trace records per
// second delivered to the companion log server (run in this process) and
// the same for a bare connect-write-close loop, with their ratio; ns per
// trace call while a log server that never reads has put the trace in
// back-off (one record pays the 1 s deadline first); the share of a
// tracing thread's time that a log server taking each record just under the
// per-record bound holds (the waiting budget's effect). Run it alone: it
// listens on "Log_ServerNamePipe" and sets the shared level word.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "BenchReport.h"
#include "DebugTrace.h"
#include "LogServer.h"
#include "UniqueHandle.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class CLevelWord {
public:
    CLevelWord()
        : m_section(::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4,
                                         L"Global\\log_level_map_file")),
          m_view(::MapViewOfFile(m_section.get(), FILE_MAP_ALL_ACCESS, 0, 0, 4)) {}
    void Set(DWORD word) { *static_cast<volatile DWORD*>(m_view.get()) = word; }

private:
    UTIL::unique_handle m_section;
    UTIL::unique_mapped_view m_view;
};

double DroppedCallNs(CLevelWord& word) {
    word.Set(0x0001FFFE);  // threshold -2: every level from 0 to 255 is dropped
    constexpr int kCalls = 2000000;
    int passed = 0;
    const auto start = Clock::now();
    for (int i = 0; i < kCalls; ++i) {
        passed += DebugTraceW('D', TRACE_SRC_W, L"%s - dropped %d", L"Bench", i) ? 1 : 0;
    }
    const double ns = Seconds(start) * 1e9 / kCalls;
    word.Set(0);
    if (passed != 0) std::printf("warning: %d calls passed the gate\n", passed);
    return ns;
}

bool WaitForCount(const std::atomic<long>& count, long target) {
    const auto start = Clock::now();
    while (count.load() < target) {
        if (Seconds(start) > 120) return false;
        ::Sleep(1);
    }
    return true;
}

double TraceRecordsPerSecond(std::atomic<long>& received, int records) {
    const long before = received.load();
    const auto start = Clock::now();
    for (int i = 0; i < records; ++i) {
        DebugTraceW('I', TRACE_SRC_W, L"%s - record %d of the benchmark", L"Bench", i);
    }
    if (!WaitForCount(received, before + records)) return 0;
    return records / Seconds(start);
}

// The floor that one connection per record sets: the same bytes, written
// with no formatting and no record building.
double BareRecordsPerSecond(std::atomic<long>& received, int records) {
    const std::wstring record =
        L"LOG_WRITE\t1\t2\t3\t73\tbench.cpp\t1\t[ZEL_SVR][trace_bench.exe]Bench - record 0 of the "
        L"benchmark";
    const DWORD bytes = static_cast<DWORD>((record.size() + 1) * sizeof(wchar_t));
    const long before = received.load();
    const auto start = Clock::now();
    for (int i = 0; i < records; ++i) {
        UTIL::unique_handle pipe;
        for (;;) {
            pipe.reset(::CreateFileW(L"\\\\.\\pipe\\Log_ServerNamePipe", GENERIC_WRITE, 0, nullptr,
                                     OPEN_EXISTING, 0, nullptr));
            if (pipe || ::GetLastError() != ERROR_PIPE_BUSY) break;
            ::WaitNamedPipeW(L"\\\\.\\pipe\\Log_ServerNamePipe", NMPWAIT_USE_DEFAULT_WAIT);
        }
        DWORD written = 0;
        ::WriteFile(pipe.get(), record.c_str(), bytes, &written, nullptr);
    }
    if (!WaitForCount(received, before + records)) return 0;
    return records / Seconds(start);
}

// A log server that accepts and never reads (0-byte buffers): the first
// record misses its deadline, and the calls measured after it fall in the
// back-off that this starts.
double BackoffCallNs() {
    UTIL::unique_handle stuck(
        ::CreateNamedPipeW(L"\\\\.\\pipe\\Log_ServerNamePipe", PIPE_ACCESS_INBOUND,
                           PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1, 0, 0, 600000, nullptr));
    if (!stuck) return 0;
    const auto missed = Clock::now();
    DebugTraceW('I', TRACE_SRC_W, L"%s - this record misses its deadline", L"Bench");
    std::printf("record that missed its deadline: %.2f s\n", Seconds(missed));
    constexpr int kCalls = 1000000;
    const auto start = Clock::now();
    for (int i = 0; i < kCalls; ++i) {
        DebugTraceW('I', TRACE_SRC_W, L"%s - record %d of the benchmark", L"Bench", i);
    }
    const double seconds = Seconds(start);
    // All of them must have fallen in the back-off (10 s after the miss, or
    // after the slow server's last charge).
    if (Seconds(missed) > 10) std::printf("warning: the back-off ended during the measurement\n");
    return seconds * 1e9 / kCalls;
}

// A log server with 0-byte buffers that takes each record 950 ms after
// accepting it, just under the 1 s per-record bound.
class CSlowServer {
public:
    bool Start() {
        m_thread = std::thread([this] { Serve(); });
        return true;
    }
    void Stop() {
        m_stop = true;
        // Wake the accept with one connection of our own.
        UTIL::unique_handle wake(::CreateFileW(L"\\\\.\\pipe\\Log_ServerNamePipe", GENERIC_WRITE, 0,
                                               nullptr, OPEN_EXISTING, 0, nullptr));
        m_thread.join();
    }

private:
    void Serve() {
        while (!m_stop) {
            HANDLE instance =
                ::CreateNamedPipeW(L"\\\\.\\pipe\\Log_ServerNamePipe", PIPE_ACCESS_INBOUND,
                                   PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE,
                                   PIPE_UNLIMITED_INSTANCES, 0, 0, 0, nullptr);
            if (instance == INVALID_HANDLE_VALUE) return;
            ::ConnectNamedPipe(instance, nullptr);
            std::thread([instance] {
                ::Sleep(950);
                BYTE buffer[16384];
                DWORD got = 0;
                while (::ReadFile(instance, buffer, sizeof buffer, &got, nullptr) ||
                       ::GetLastError() == ERROR_MORE_DATA) {
                }
                ::CloseHandle(instance);
            }).detach();
        }
    }

    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// A thread that traces a line after every 50 ms of its own work, for 30 s:
// the share of its time spent in trace calls.
double SlowServerShare() {
    CSlowServer server;
    server.Start();
    ::Sleep(100);
    double held = 0;
    const auto start = Clock::now();
    int records = 0;
    while (Seconds(start) < 30) {
        const auto call = Clock::now();
        DebugTraceW('I', TRACE_SRC_W, L"%s - record %d of the benchmark", L"Bench", records++);
        held += Seconds(call);
        ::Sleep(50);
    }
    const double share = held / Seconds(start);
    server.Stop();
    std::printf("slow server (950 ms a record): %d trace calls in 30 s, %.2f s in them\n", records,
                held);
    return share * 100;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main() {
    InitDebugTraceW(L"", L"", L"ZEL_SVR", true);
    CLevelWord word;
    const double droppedNs = DroppedCallNs(word);
    std::printf("dropped trace call:        %.1f ns per call\n", droppedNs);
    BENCH::ReportFigure("trace: call dropped by the level gate", droppedNs, "ns", "aim", 50,
                        BENCH::Better::Lower, "< 50 ns");

    std::atomic<long> received{0};
    LOGSRV::CLogServer server([&](const LOGSRV::ParsedRecord&) { ++received; },
                              [](const std::wstring&) {});
    if (!server.Start(L"Log_ServerNamePipe")) {
        std::printf("cannot listen on Log_ServerNamePipe (another log server running?)\n");
        return 1;
    }
    // The machine is shared and noisy: alternate short rounds of both
    // loops and take each one's median.
    constexpr int kRounds = 7;
    constexpr int kRecords = 1000;
    BareRecordsPerSecond(received, 200);  // warm-up
    std::vector<double> bareRates;
    std::vector<double> traceRates;
    for (int round = 0; round < kRounds; ++round) {
        bareRates.push_back(BareRecordsPerSecond(received, kRecords));
        traceRates.push_back(TraceRecordsPerSecond(received, kRecords));
    }
    const double bare = Median(bareRates);
    const double trace = Median(traceRates);
    std::printf("trace records delivered:   %.0f records/s (median of %d rounds of %d)\n", trace,
                kRounds, kRecords);
    std::printf("bare connect-write-close:  %.0f records/s\n", bare);
    std::printf("ratio trace / bare:        %.2f\n", bare > 0 ? trace / bare : 0.0);
    BENCH::ReportFigure("trace: records delivered to the log server", trace, "records/s",
                        "bare connect-write-close", bare, BENCH::Better::Higher, ">= 0.9x");
    server.Stop();

    const double sharePercent = SlowServerShare();
    std::printf("share of time with a slow server: %.1f %%\n", sharePercent);
    BENCH::ReportFigure("trace: time held by a server just under the bound", sharePercent, "%",
                        "aim", 10, BENCH::Better::Lower, "< 10 %");

    const double backoffNs = BackoffCallNs();
    std::printf("trace call during back-off: %.1f ns per call\n", backoffNs);
    BENCH::ReportFigure("trace: call while the log server is in back-off", backoffNs, "ns", "aim",
                        1000, BENCH::Better::Lower, "< 1 us");
    return 0;
}
