#include "cmd_manager.h"

#include <cstdio>
#include <string>
#include <atomic>
#include <mutex>
#include <thread>
#include <utility>

#include "UniqueHandle.h"
#include "cp_CCmdProtocolV2.h"

namespace CMDMGR {
namespace {

// A client that connected, wrote and closed before the server got to
// ConnectNamedPipe leaves ERROR_NO_DATA; its bytes are still readable.
bool ClientHasConnected() {
    const DWORD error = GetLastError();
    return error == ERROR_PIPE_CONNECTED || error == ERROR_NO_DATA;
}

constexpr DWORD kMaxPreview = 64;

std::wstring HexPreview(const BYTE* bytes, DWORD length) {
    std::wstring text;
    wchar_t digits[4];
    for (DWORD i = 0; i < length && i < kMaxPreview; ++i) {
        _snwprintf(digits, 3, L"%02X", bytes[i]);
        digits[3] = L'\0';
        if (i != 0) text += L' ';
        text += digits;
    }
    if (length > kMaxPreview) text += L" ...";
    return text;
}

void DescribeParameters(CMsgSerializer& message, std::wstring& text) {
    for (unsigned index = 0;; ++index) {
        if (message.CurrentPosition() == message.BytesUsed() && !message.Refill(4)) return;
        const DWORD length = *message.PeekLength();
        const BYTE* record = nullptr;
        message >> record;
        text += L"  param[" + std::to_wstring(index) + L"] (" + std::to_wstring(length) +
                L" bytes): " + HexPreview(record, length) + L"\n";
    }
}

std::vector<BYTE> ReadOneConnection(HANDLE pipe) {
    std::vector<BYTE> message;
    BYTE piece[4096];
    for (;;) {
        DWORD got = 0;
        const BOOL ok = ::ReadFile(pipe, piece, sizeof(piece), &got, nullptr);
        message.insert(message.end(), piece, piece + got);
        if (!ok && GetLastError() != ERROR_MORE_DATA) break;
    }
    return message;
}

}  // namespace

bool DescribeMessage(const std::vector<BYTE>& bytes, std::wstring& text) {
    try {
        CMsgSerializer message(nullptr, 1);
        message.Load(bytes.data(), static_cast<DWORD>(bytes.size()));
        text = L"command: " + message.CommandName() + L"\n  id: " + message.MessageId() + L"\n";
        if (!message.ReadFileName().empty())
            text += L"  body file: " + message.ReadFileName() + L"\n";
        DescribeParameters(message, text);
        return true;
    } catch (const CIPCMsgBufferException& error) {
        text = L"garbled message of " + std::to_wstring(bytes.size()) + L" bytes skipped: " +
               error.GetCodeText() + L"\n";
        return false;
    }
}

namespace {

// How long a sender that finds every instance busy waits for one
// (NMPWAIT_USE_DEFAULT_WAIT). Wine gives no grace for a default of 0.
constexpr DWORD kBusyWaitMs = 5000;

UTIL::unique_handle CreateInstance(const wchar_t* pipePath) {
    return UTIL::unique_handle(CreateNamedPipeW(
        pipePath, PIPE_ACCESS_INBOUND, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
        PIPE_UNLIMITED_INSTANCES, 0, 65536, kBusyWaitMs, nullptr));
}

// Several listeners, each with its own pipe instance, so that a sender finds
// a free instance while others are being decoded: a sender only waits the
// pipe's default time (50 ms) for a busy pipe.
class CCommandManagerServer {
public:
    CCommandManagerServer(const wchar_t* pipePath, unsigned connections, FILE* out)
        : m_pipePath(pipePath), m_connections(connections), m_out(out) {}

    bool Run() {
        std::vector<std::thread> listeners;
        for (unsigned i = 0; i < kListeners; ++i) listeners.emplace_back([this] { Listen(); });
        for (auto& listener : listeners) listener.join();
        return !m_failed;
    }

private:
    static constexpr unsigned kListeners = 8;

    void Listen() {
        while (!m_done) {
            UTIL::unique_handle pipe = CreateInstance(m_pipePath);
            if (!pipe) {
                Print(L"cannot create pipe " + std::wstring(m_pipePath) + L": error " +
                      std::to_wstring(GetLastError()) + L"\n");
                m_failed = true;
                Finish();
                return;
            }
            const bool connected = ConnectNamedPipe(pipe.get(), nullptr) || ClientHasConnected();
            if (m_done) return;  // woken by Finish()
            if (!connected) continue;
            const unsigned number = ++m_served;
            if (m_connections != 0 && number > m_connections) return;
            std::wstring text;
            DescribeMessage(ReadOneConnection(pipe.get()), text);
            Print(text);
            DisconnectNamedPipe(pipe.get());
            if (m_connections != 0 && number == m_connections) Finish();
        }
    }

    void Print(const std::wstring& text) {
        std::lock_guard<std::mutex> lock(m_outputLock);
        fwprintf(m_out, L"%ls", text.c_str());
        fflush(m_out);
    }

    // Wakes the listeners still waiting for a client by connecting to them.
    void Finish() {
        m_done = true;
        for (unsigned i = 0; i < kListeners; ++i) {
            UTIL::unique_handle wake(CreateFileW(m_pipePath, GENERIC_WRITE, 0, nullptr,
                                                 OPEN_EXISTING, 0, nullptr));
        }
    }

    const wchar_t* m_pipePath;
    const unsigned m_connections;
    FILE* m_out;
    std::atomic<unsigned> m_served{0};
    std::atomic<bool> m_done{false};
    std::atomic<bool> m_failed{false};
    std::mutex m_outputLock;
};

}  // namespace

bool ServeCommandManager(const wchar_t* pipePath, unsigned connections, FILE* out) {
    return CCommandManagerServer(pipePath, connections, out).Run();
}

}  // namespace CMDMGR
