// Prints message build-and-send rates next to a bare connect-write-close of
// the same bytes (for small messages in messages per second: the floor that
// one connection per message sets), and the receive time of a 60 MiB body by
// mapping and by stream.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "BenchReport.h"
#include "UniqueHandle.h"
#include "cmzel_OutputCmd.h"

namespace {

constexpr const wchar_t* kPipePath = L"\\\\.\\pipe\\Global\\ZelModuleCommandManager";
using Clock = std::chrono::steady_clock;

// A command manager stand-in: a few instances, each served by its own
// thread (connect, drain, disconnect, again), so that a client finds a free
// one at once; it counts the connections drained.
class CDrainServer {
public:
    static constexpr int kInstances = 4;

    bool Start() {
        for (int i = 0; i < kInstances; ++i) {
            UTIL::unique_handle instance(CreateNamedPipeW(
                kPipePath, PIPE_ACCESS_INBOUND, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE,
                PIPE_UNLIMITED_INSTANCES, 0, 65536, 0, nullptr));
            if (!instance) return false;
            m_threads.emplace_back([this, handle = instance.release()] { Serve(handle); });
        }
        return true;
    }
    void Stop() {
        m_stop = true;
        for (size_t i = 0; i < m_threads.size(); ++i) {
            UTIL::unique_handle wake(
                CreateFileW(kPipePath, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        }
        for (std::thread& thread : m_threads) thread.join();
    }
    long Served() const { return m_served; }
    // Waits until `count` connections were drained (at most 60 s).
    void WaitFor(long count) const {
        for (int waited = 0; m_served < count && waited < 60000; ++waited) Sleep(1);
    }

private:
    void Serve(HANDLE handle) {
        UTIL::unique_handle instance(handle);
        std::vector<BYTE> piece(65536);
        while (!m_stop) {
            if (!ConnectNamedPipe(instance.get(), nullptr) &&
                GetLastError() != ERROR_PIPE_CONNECTED && GetLastError() != ERROR_NO_DATA) {
                return;
            }
            DWORD got = 0;
            while (ReadFile(instance.get(), piece.data(), static_cast<DWORD>(piece.size()), &got,
                            nullptr) ||
                   GetLastError() == ERROR_MORE_DATA) {
            }
            DisconnectNamedPipe(instance.get());
            ++m_served;
        }
    }

    std::vector<std::thread> m_threads;
    std::atomic<bool> m_stop{false};
    std::atomic<long> m_served{0};
};

double Seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Seconds for `count` cleanup-like messages with a body of `body` bytes,
// built and sent one connection each, until the server drained them all.
double SendMessages(CDrainServer& server, const std::vector<BYTE>& body, int count) {
    const long before = server.Served();
    std::vector<std::wstring> bodyFiles;
    const auto start = Clock::now();
    long sent = 0;
    for (int i = 0; i < count; ++i) {
        CMsgSerializer message(L"BENCH", 1);
        message.WriteBytes(body.data(), static_cast<DWORD>(body.size()));
        if (message.IsFileMode()) bodyFiles.push_back(message.FileName());  // none: one append
        sent += cmzel_OutputCommand(message) ? 1 : 0;
    }
    server.WaitFor(before + sent);
    double seconds = Seconds(start);
    // A client that finds every instance busy waits for one; under Wine that
    // wait sometimes fails and the message is not sent: the rate counts the
    // messages that went out.
    if (sent != count) {
        std::printf("  (%ld of %d messages found the pipe busy and were not sent)\n",
                    count - sent, count);
        seconds = sent == 0 ? 1e9 : seconds * count / sent;
    }
    for (const std::wstring& file : bodyFiles) DeleteFileW(file.c_str());  // no receiver here
    return seconds;
}

// The floor one connection per message sets: connect, write the same bytes
// in pieces of 1024, close; `count` times.
double SendBare(CDrainServer& server, const std::vector<BYTE>& bytes, int count) {
    const long before = server.Served();
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        UTIL::unique_handle client;
        for (;;) {
            client.reset(
                CreateFileW(kPipePath, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
            if (client || GetLastError() != ERROR_PIPE_BUSY) break;
            WaitNamedPipeW(kPipePath, NMPWAIT_USE_DEFAULT_WAIT);
        }
        DWORD mode = PIPE_READMODE_MESSAGE;
        SetNamedPipeHandleState(client.get(), &mode, nullptr, nullptr);
        for (size_t offset = 0; offset < bytes.size(); offset += 1024) {
            DWORD written = 0;
            const DWORD piece =
                static_cast<DWORD>(bytes.size() - offset < 1024 ? bytes.size() - offset : 1024);
            WriteFile(client.get(), bytes.data() + offset, piece, &written, nullptr);
        }
    }
    server.WaitFor(before + count);
    return Seconds(start);
}

// The bytes a message with this body puts on the pipe while in memory.
std::vector<BYTE> MessageBytes(const std::vector<BYTE>& body) {
    CMsgSerializer message(L"BENCH", 1);
    message.WriteBytes(body.data(), static_cast<DWORD>(body.size()));
    return std::vector<BYTE>(message.Data(), message.Data() + message.GetBytesUsed());
}

std::wstring WriteBodyFile(DWORD bodyBytes) {
    CMsgSerializer message(L"BODY", CMsgSerializer::kModeFile);
    std::vector<BYTE> body(bodyBytes, 0x42);
    message.WriteBytes(body.data(), bodyBytes);
    const std::wstring path = message.FileName();
    message.PrepareForSend();
    return path;
}

}  // namespace

int main() {
    CDrainServer server;
    if (!server.Start()) {
        std::printf("cannot listen on the command manager's pipe (another one running?)\n");
        return 1;
    }
    // The machine is shared and noisy: alternate rounds of both loops (the
    // bare one first in even rounds, the message first in odd ones) and
    // take each one's median.
    struct Size {
        size_t bytes;
        int rounds;
        int messages;  // per round
    };
    const Size sizes[] = {{size_t{1} << 10, 7, 300},
                          {size_t{64} << 10, 7, 60},
                          {size_t{1} << 20, 5, 8},
                          {size_t{10} << 20, 3, 1}};
    std::printf("%-10s %8s %16s %16s %8s\n", "body", "messages", "message", "bare", "ratio");
    for (const Size& size : sizes) {
        const std::vector<BYTE> body(size.bytes, 0x5A);
        // Every message here goes whole through the pipe: its body is one
        // append, and only an append that finds 2 MiB already switches to a
        // body file. From 2 MiB the bare loop writes the body alone (a few
        // bytes fewer than the message).
        const std::vector<BYTE> bare = size.bytes < (size_t{2} << 20) ? MessageBytes(body) : body;
        SendMessages(server, body, 1);  // warm-up
        SendBare(server, bare, 1);
        std::vector<double> messageTimes;
        std::vector<double> bareTimes;
        for (int round = 0; round < size.rounds; ++round) {
            if (round % 2 == 0) bareTimes.push_back(SendBare(server, bare, size.messages));
            messageTimes.push_back(SendMessages(server, body, size.messages));
            if (round % 2 != 0) bareTimes.push_back(SendBare(server, bare, size.messages));
        }
        const double message = Median(messageTimes);
        const double bareTime = Median(bareTimes);
        const double count = size.messages;
        const std::string kib = std::to_string(size.bytes >> 10) + " KiB";
        if (size.bytes < (size_t{1} << 20)) {
            // Small messages: connections per second is what counts.
            std::printf("%-10s %8d %11.0f msg/s %11.0f msg/s %8.2f\n", kib.c_str(), size.messages,
                        count / message, count / bareTime, bareTime / message);
            const std::string name = "command: build and send " + kib + " messages";
            BENCH::ReportFigure(name.c_str(), count / message, "messages/s",
                                "bare connect-write-close", count / bareTime,
                                BENCH::Better::Higher, "-");
        } else {
            const double megabytes = count * size.bytes / 1048576.0;
            std::printf("%-10s %8d %11.1f MB/s  %11.1f MB/s  %8.2f\n", kib.c_str(), size.messages,
                        megabytes / message, megabytes / bareTime, bareTime / message);
            const std::string name = "command: build and send " + kib;
            BENCH::ReportFigure(name.c_str(), megabytes / message, "MB/s", "bare pipe write",
                                megabytes / bareTime, BENCH::Better::Higher, "-");
        }
    }
    std::printf("(median of alternating rounds; ratio = bare time / message time)\n");
    server.Stop();

    const DWORD sixty = 60u << 20;
    auto path = WriteBodyFile(sixty);
    auto start = Clock::now();
    {
        CMsgSerializer received(nullptr, 1);
        received.IPCResultFromFileByMemMap(path.c_str());
    }
    const double mapped = Seconds(start);
    std::printf("receive 60 MiB by mapping: %.3f s\n", mapped);
    path = WriteBodyFile(sixty);
    start = Clock::now();
    {
        CMsgSerializer received(nullptr, 1);
        received.InternalReadFile(path.c_str());
    }
    const double streamed = Seconds(start);
    std::printf("receive 60 MiB by stream:  %.3f s\n", streamed);
    BENCH::ReportFigure("command: receive a 60 MiB body by mapping", mapped, "s",
                        "the same by stream", streamed, BENCH::Better::Lower, "-");
    return 0;
}
