#include "cmd_manager.h"

#include <cstdio>
#include <string>

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

bool ServeCommandManager(const wchar_t* pipePath, unsigned connections, FILE* out) {
    for (unsigned served = 0; connections == 0 || served < connections; ++served) {
        UTIL::unique_handle pipe(CreateNamedPipeW(
            pipePath, PIPE_ACCESS_INBOUND, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
            PIPE_UNLIMITED_INSTANCES, 0, 65536, 0, nullptr));
        if (!pipe) {
            fwprintf(out, L"cannot create pipe %ls: error %lu\n", pipePath, GetLastError());
            return false;
        }
        if (!ConnectNamedPipe(pipe.get(), nullptr) && !ClientHasConnected()) continue;
        std::wstring text;
        DescribeMessage(ReadOneConnection(pipe.get()), text);
        fwprintf(out, L"%ls", text.c_str());
        fflush(out);
        DisconnectNamedPipe(pipe.get());
    }
    return true;
}

}  // namespace CMDMGR
