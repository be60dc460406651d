// Prints message build-and-send throughput next to a bare pipe write of the
// same bytes, and the receive time of a 60 MiB body by mapping and by stream.
#include <windows.h>

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

// Accepts one connection and drains it.
std::thread StartDrain(HANDLE pipe) {
    return std::thread([pipe] {
        if (!ConnectNamedPipe(pipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED &&
            GetLastError() != ERROR_NO_DATA) {
            return;
        }
        std::vector<BYTE> piece(65536);
        DWORD got = 0;
        while (ReadFile(pipe, piece.data(), static_cast<DWORD>(piece.size()), &got, nullptr) ||
               GetLastError() == ERROR_MORE_DATA) {
        }
        DisconnectNamedPipe(pipe);
    });
}

UTIL::unique_handle MakePipe() {
    return UTIL::unique_handle(CreateNamedPipeW(kPipePath, PIPE_ACCESS_INBOUND,
                                                PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1, 0,
                                                65536, 0, nullptr));
}

double Seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double SendMessage(const std::vector<BYTE>& body) {
    auto pipe = MakePipe();
    auto drain = StartDrain(pipe.get());
    const auto start = Clock::now();
    std::wstring bodyFile;
    {
        CMsgSerializer message(L"BENCH", 1);
        message.WriteBytes(body.data(), static_cast<DWORD>(body.size()));
        bodyFile = message.FileName();  // from 2 MiB on the body travels as a file
        cmzel_OutputCommand(message);
    }
    const double seconds = Seconds(start);
    drain.join();
    if (!bodyFile.empty()) DeleteFileW(bodyFile.c_str());  // no receiver takes it here
    return seconds;
}

double SendBare(const std::vector<BYTE>& body) {
    auto pipe = MakePipe();
    auto drain = StartDrain(pipe.get());
    const auto start = Clock::now();
    {
        UTIL::unique_handle client(
            CreateFileW(kPipePath, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        DWORD mode = PIPE_READMODE_MESSAGE;
        SetNamedPipeHandleState(client.get(), &mode, nullptr, nullptr);
        for (size_t offset = 0; offset < body.size(); offset += 1024) {
            DWORD written = 0;
            const DWORD piece =
                static_cast<DWORD>(body.size() - offset < 1024 ? body.size() - offset : 1024);
            WriteFile(client.get(), body.data() + offset, piece, &written, nullptr);
        }
    }
    const double seconds = Seconds(start);
    drain.join();
    return seconds;
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
    std::printf("%-10s %16s %16s\n", "body", "message MB/s", "bare pipe MB/s");
    for (const size_t size :
         {size_t{1} << 10, size_t{1} << 20, size_t{10} << 20, size_t{100} << 20}) {
        std::vector<BYTE> body(size, 0x5A);
        const double message = SendMessage(body);
        const double bare = SendBare(body);
        std::printf("%-10zu %16.1f %16.1f\n", size, size / 1048576.0 / message,
                    size / 1048576.0 / bare);
        const std::string name = "command: build and send " + std::to_string(size >> 10) + " KiB";
        BENCH::ReportFigure(name.c_str(), size / 1048576.0 / message, "MB/s", "bare pipe write",
                            size / 1048576.0 / bare, BENCH::Better::Higher, "-");
    }
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
