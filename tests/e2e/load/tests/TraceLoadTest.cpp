// Eight threads trace records to the companion log server while the service
// runs beside them in console mode: every record must arrive once, whole, and
// the server's memory must stay bounded. The threads write until the
// service's start-up shows in the log (console mode starts after about 10 s)
// and then 500 records more each, so the service's records are among theirs;
// scripts/soak.sh makes that 20,000 more (ZEL_TRACE_LOAD_RECORDS_PER_THREAD).
#include <windows.h>
#include <psapi.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "DebugTrace.h"
#include "ProductFolder.h"
#include "UniqueHandle.h"

namespace {

constexpr int kThreads = 8;
constexpr int kSuiteRecordsPerThread = 500;
// Record numbers beyond this are not ours: the line counts as damaged.
constexpr int kMaxRecordNumber = 10000000;
constexpr wchar_t kLogPipe[] = L"\\\\.\\pipe\\Log_ServerNamePipe";

// Each thread's records carry a payload of its own letter, so a record
// spliced from two writers shows.
std::string Payload(int thread) { return std::string(200, static_cast<char>('A' + thread)); }

// The soak run's size comes from the environment; the suite's is small.
int RecordsAfterStartUp() {
    const char* text = std::getenv("ZEL_TRACE_LOAD_RECORDS_PER_THREAD");
    const int records = text != nullptr ? std::atoi(text) : 0;
    return records > 0 ? records : kSuiteRecordsPerThread;
}

void TraceRecord(int thread, int n, const std::wstring& payload) {
    DebugTraceW('I', TRACE_SRC_W, L"%s - load t=%d n=%d payload=%s.", L"Load", thread, n,
                payload.c_str());
}

// Writes until `serviceUp`, then `after` records more; the count written.
int TraceRecords(int thread, const std::atomic<bool>& serviceUp, int after) {
    const std::wstring payload(200, static_cast<wchar_t>(L'A' + thread));
    int n = 0;
    for (; !serviceUp && n < kMaxRecordNumber / 2; ++n) TraceRecord(thread, n, payload);
    for (const int end = n + after; n < end; ++n) TraceRecord(thread, n, payload);
    return n;
}

struct MemorySamples {
    std::vector<SIZE_T> privateBytes;
    SIZE_T Peak() const {
        SIZE_T peak = 0;
        for (SIZE_T bytes : privateBytes) peak = bytes > peak ? bytes : peak;
        return peak;
    }
};

MemorySamples SampleUntilExit(HANDLE process) {
    MemorySamples samples;
    do {
        // Committed private bytes (Wine leaves PrivateUsage at 0).
        PROCESS_MEMORY_COUNTERS counters{};
        counters.cb = sizeof(counters);
        if (GetProcessMemoryInfo(process, &counters, sizeof(counters))) {
            samples.privateBytes.push_back(counters.PagefileUsage);
        }
    } while (WaitForSingleObject(process, 500) == WAIT_TIMEOUT);
    return samples;
}

// Counts, per thread and record number, the log lines that carry the record
// whole; anything else that mentions the load is a damaged record.
struct Tally {
    int merged = 0;  // lines carrying more than one record
    int serviceLines = 0;
    bool serviceStarted = false;
    bool serviceRunning = false;  // started up: its stop event exists
    bool serviceStopped = false;
    std::vector<std::vector<int>> seen = std::vector<std::vector<int>>(kThreads);
    int damaged = 0;
    std::string firstDamaged;
};

void TallyServiceLine(const std::string& line, Tally& tally) {
    if (line.find("[ZEL_SVR][stvZelSvr.exe]") == std::string::npos) return;
    ++tally.serviceLines;
    if (line.find("Service_Main - Console mode!") != std::string::npos) tally.serviceStarted = true;
    if (line.find("Service_Main - stvZelSvr has started up.") != std::string::npos)
        tally.serviceRunning = true;
    if (line.find("terminateService - Server is shutting down...") != std::string::npos)
        tally.serviceStopped = true;
}

void TallyLine(const std::string& line, Tally& tally) {
    const size_t first = line.find("[ZEL_SVR][");
    if (first != std::string::npos && line.find("[ZEL_SVR][", first + 1) != std::string::npos)
        ++tally.merged;
    TallyServiceLine(line, tally);
    const size_t at = line.find("Load - load t=");
    if (at == std::string::npos) return;
    int thread = -1;
    int n = -1;
    int consumed = 0;
    const bool parsed =
        std::sscanf(line.c_str() + at, "Load - load t=%d n=%d payload=%n", &thread, &n,
                    &consumed) == 2 &&
        consumed > 0 && thread >= 0 && thread < kThreads && n >= 0 && n < kMaxRecordNumber &&
        line.compare(at + consumed, std::string::npos, Payload(thread) + ".") == 0;
    if (!parsed) {
        if (tally.damaged++ == 0) tally.firstDamaged = line;
        return;
    }
    std::vector<int>& seen = tally.seen[thread];
    if (seen.size() <= static_cast<size_t>(n)) seen.resize(static_cast<size_t>(n) + 1, 0);
    ++seen[n];
}

// Reads the growing log file from where the last read ended and tallies the
// complete lines only, so each record is parsed once however long the run.
class CLogTail {
public:
    explicit CLogTail(std::wstring path) : m_path(std::move(path)) {}

    const Tally& Read() {
        UTIL::unique_handle file(CreateFileW(m_path.c_str(), GENERIC_READ,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) return m_tally;
        LARGE_INTEGER at{};
        at.QuadPart = m_offset;
        if (!SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN)) return m_tally;
        char chunk[64 * 1024];
        DWORD read = 0;
        while (ReadFile(file.get(), chunk, sizeof chunk, &read, nullptr) && read > 0) {
            m_offset += read;
            m_pending.append(chunk, read);
            TallyCompleteLines();
        }
        return m_tally;
    }

private:
    void TallyCompleteLines() {
        size_t start = 0;
        for (size_t end; (end = m_pending.find('\n', start)) != std::string::npos; start = end + 1) {
            std::string line = m_pending.substr(start, end - start);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            TallyLine(line, m_tally);
        }
        m_pending.erase(0, start);
    }

    std::wstring m_path;
    Tally m_tally;
    LONGLONG m_offset = 0;
    std::string m_pending;  // a line the server has not finished writing
};

// Records written but not in the log; one that was never written counts too.
int CountMissing(const Tally& tally, const std::vector<int>& written) {
    int missing = 0;
    for (int thread = 0; thread < kThreads; ++thread) {
        const std::vector<int>& seen = tally.seen[thread];
        for (int n = 0; n < written[thread]; ++n)
            missing += static_cast<size_t>(n) >= seen.size() || seen[n] == 0 ? 1 : 0;
        missing += seen.size() > static_cast<size_t>(written[thread]) ? 1 : 0;
    }
    return missing;
}

// Follows the log file until `done` says so of its tally, or the time is up.
template <typename Done>
const Tally& WaitForLog(CLogTail& log, DWORD timeoutMs, Done done) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        const Tally& tally = log.Read();
        if (done(tally) || GetTickCount64() > deadline) return tally;
        Sleep(250);
    }
}

// stvZelSvr.exe -console in a product folder of its own; stopped through its
// named terminate event.
class CConsoleService {
public:
    CConsoleService() : m_folder(L"traceload") {}
    ~CConsoleService() {
        if (m_process.Handle() != nullptr) Stop();
    }

    bool Start() {
        const std::wstring exe = m_folder.InstallExe(ZELTEST::WinePathOf(STVZELSVR_EXE));
        if (m_folder.CopyIn(ZELTEST::WinePathOf(CMDHANDLER_DLL), L"Bin\\x64\\libCmdHndlrZel.dll")
                .empty()) {
            return false;
        }
        return m_process.Start(L"\"" + exe + L"\" -console", L"");
    }

    // True when the process ended after the terminate event.
    bool Stop() {
        UTIL::unique_handle terminate(
            OpenEventW(EVENT_MODIFY_STATE, FALSE, L"Karvelo_Sentavo_ZOLM_Stop_Event"));
        if (terminate) SetEvent(terminate.get());
        return m_process.WaitForExit(60000);
    }

private:
    ZELTEST::CProductFolder m_folder;
    ZELTEST::CChildProcess m_process;
};

}  // namespace

TEST(TraceLoad, EightThreadsOfRecordsArriveWholeBesideTheServiceAndTheServerStaysBounded) {
    const std::wstring logFile = ZELTEST::TempFilePath(L"zel_trace_load.log");
    DeleteFileW(logFile.c_str());
    ZELTEST::CChildProcess server;
    ASSERT_TRUE(
        server.Start(L"\"" LOG_SERVER_EXE L"\" --level 0 --log \"" + logFile + L"\"", L""));
    ASSERT_TRUE(ZELTEST::WaitForPipe(kLogPipe, 30000));
    // Log-server-only mode: no debug library, so the answer is false.
    InitDebugTraceW(L"", L"", L"ZEL_SVR", true);

    MemorySamples memory;
    std::thread sampler([&] { memory = SampleUntilExit(server.Handle()); });
    CConsoleService service;
    ASSERT_TRUE(service.Start());
    const int after = RecordsAfterStartUp();
    std::atomic<bool> serviceUp{false};
    std::vector<int> written(kThreads, 0);
    std::vector<std::thread> writers;
    for (int thread = 0; thread < kThreads; ++thread)
        writers.emplace_back([&, thread] { written[thread] = TraceRecords(thread, serviceUp, after); });
    CLogTail log(logFile);
    const bool started = WaitForLog(log, 120000, [](const Tally& t) { return t.serviceRunning; })
                             .serviceRunning;
    serviceUp = true;
    for (auto& writer : writers) writer.join();
    EXPECT_TRUE(started) << "the service's started-up line never reached the log";
    // The server drains its backlog first: a record that meets every pipe
    // instance busy for longer than the default wait is given up by design,
    // and the service's stop line must not race the writers' backlog.
    WaitForLog(log, 300000, [&](const Tally& t) { return CountMissing(t, written) == 0; });
    const bool serviceEnded = service.Stop();
    const Tally& tally = WaitForLog(log, 60000, [](const Tally& t) { return t.serviceStopped; });
    TerminateProcess(server.Handle(), 0);
    sampler.join();
    DeleteFileW(logFile.c_str());

    EXPECT_TRUE(serviceEnded);
    EXPECT_EQ(CountMissing(tally, written), 0);
    EXPECT_EQ(tally.damaged, 0) << "first damaged line: " << tally.firstDamaged;
    EXPECT_EQ(tally.merged, 0);
    int duplicated = 0;
    for (const auto& thread : tally.seen)
        for (int count : thread) duplicated += count > 1 ? 1 : 0;
    EXPECT_EQ(duplicated, 0);
    EXPECT_TRUE(tally.serviceStarted);
    EXPECT_TRUE(tally.serviceStopped);
    int total = 0;
    for (int count : written) total += count;
    std::printf("%d records from %d threads (%d each after the service's start line); service "
                "records among them: %d\n",
                total, kThreads, after, tally.serviceLines);

    // Bounded: the server holds at most one record per pipe instance, so its
    // committed memory stays small and does not grow with the records.
    ASSERT_FALSE(memory.privateBytes.empty());
    const size_t quarter = memory.privateBytes.size() / 4;
    const SIZE_T early = memory.privateBytes[quarter];
    std::printf("log server committed bytes: first %zu, at a quarter %zu, peak %zu, last %zu\n",
                memory.privateBytes.front(), early, memory.Peak(), memory.privateBytes.back());
    EXPECT_GT(memory.Peak(), SIZE_T{0}) << "no memory figures from the platform";
    EXPECT_LT(memory.Peak(), SIZE_T{64} << 20);
    EXPECT_LT(memory.privateBytes.back(), early + (SIZE_T{8} << 20));
}
