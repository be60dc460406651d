// zelLogServer: the product's log server in small form, for developers and
// tests. Prints every LOG_WRITE record, appends it to a log file, and sets
// and holds the shared log-level word.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <thread>

#include "LogServer.h"
#include "UniqueHandle.h"

namespace {

struct Options {
    std::wstring pipeName = L"Log_ServerNamePipe";
    std::wstring logFile = L"zelLogServer.log";
    bool setLevel = false;
    DWORD levelWord = 0;
    long maxRecords = 0;  // 0: run until Ctrl+C
};

void PrintHelp() {
    std::wprintf(
        L"zelLogServer - companion log server of stvZelSvr\n"
        L"\n"
        L"Listens on \\\\.\\pipe\\Log_ServerNamePipe, prints each LOG_WRITE record as\n"
        L"  <local time> pid=<pid> tid=<tid> <level letter> <source>:<line> <text>\n"
        L"and appends the same line to a log file (UTF-8). Malformed connections are\n"
        L"reported with \"!! refused:\" and skipped. Ctrl+C stops it.\n"
        L"\n"
        L"Options:\n"
        L"  --log <file>      log file to append to (default zelLogServer.log)\n"
        L"  --level <word>    create Global\\log_level_map_file, write the word and hold it\n"
        L"                    while running (0x00010007: drop debug; 0: gate off)\n"
        L"  --count <n>       stop after n records\n"
        L"  --pipe <name>     listen on another pipe name\n"
        L"  --help            this text\n"
        L"While running, type \"level <word>\" and Enter to change the shared word.\n");
}

bool ParseWord(const wchar_t* text, DWORD& word) {
    wchar_t* end = nullptr;
    word = static_cast<DWORD>(std::wcstoul(text, &end, 0));
    return end != text && *end == L'\0';
}

// Returns 0 to run, otherwise the exit code to end with.
int ParseOptions(int argc, wchar_t** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == L"--help" || arg == L"-h" || arg == L"/?") {
            PrintHelp();
            return -1;
        } else if (arg == L"--log" && hasValue) {
            options.logFile = argv[++i];
        } else if (arg == L"--pipe" && hasValue) {
            options.pipeName = argv[++i];
        } else if (arg == L"--count" && hasValue) {
            options.maxRecords = std::wcstol(argv[++i], nullptr, 10);
        } else if (arg == L"--level" && hasValue && ParseWord(argv[i + 1], options.levelWord)) {
            options.setLevel = true;
            ++i;
        } else {
            std::fwprintf(stderr, L"zelLogServer: bad argument \"%ls\" (see --help)\n", argv[i]);
            return 2;
        }
    }
    return 0;
}

// The shared level word, created with a null DACL like the product's
// processes do, and kept mapped while the server runs.
class CLevelWordHolder {
public:
    bool Open() {
        SECURITY_DESCRIPTOR descriptor;
        ::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
        ::SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
        SECURITY_ATTRIBUTES attributes = {sizeof(attributes), &descriptor, FALSE};
        m_section.reset(::CreateFileMappingW(INVALID_HANDLE_VALUE, &attributes, PAGE_READWRITE, 0,
                                             sizeof(DWORD), L"Global\\log_level_map_file"));
        if (m_section) {
            m_view.reset(::MapViewOfFile(m_section.get(), FILE_MAP_ALL_ACCESS, 0, 0, 4));
        }
        return m_view.get() != nullptr;
    }
    void Set(DWORD word) {
        ::InterlockedExchange(static_cast<volatile LONG*>(m_view.get()), static_cast<LONG>(word));
        std::wprintf(L"== shared log-level word set to 0x%08lX\n", word);
        std::fflush(stdout);
    }

private:
    UTIL::unique_handle m_section;
    UTIL::unique_mapped_view m_view;
};

HANDLE g_stopEvent = nullptr;

BOOL WINAPI OnConsoleControl(DWORD) {
    ::SetEvent(g_stopEvent);
    return TRUE;
}

std::string ToUtf8(const std::wstring& text) {
    const int bytes =
        ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(bytes > 0 ? bytes : 1), '\0');
    if (bytes > 0) {
        ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, utf8.data(), bytes, nullptr, nullptr);
    }
    utf8.pop_back();
    return utf8;
}

// Reads "level <word>" lines from the console while the server runs.
void ReadLevelCommands(CLevelWordHolder& holder, bool& holderOpen) {
    char line[256];
    while (std::fgets(line, sizeof(line), stdin) != nullptr) {
        char* end = nullptr;
        const bool isLevel = std::strncmp(line, "level ", 6) == 0;
        const unsigned long word = isLevel ? std::strtoul(line + 6, &end, 0) : 0;
        if (isLevel && end != line + 6) {
            if (!holderOpen) holderOpen = holder.Open();
            if (holderOpen) holder.Set(static_cast<DWORD>(word));
        } else if (line[0] != '\n') {
            std::wprintf(L"== commands: level <word>\n");
            std::fflush(stdout);
        }
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Options options;
    const int parsed = ParseOptions(argc, argv, options);
    if (parsed != 0) return parsed < 0 ? 0 : parsed;

    CLevelWordHolder holder;
    bool holderOpen = false;
    if (options.setLevel) {
        holderOpen = holder.Open();
        if (!holderOpen) {
            std::fwprintf(stderr, L"zelLogServer: cannot create the shared level word (%lu)\n",
                          ::GetLastError());
            return 1;
        }
        holder.Set(options.levelWord);
    }

    UTIL::unique_handle stopEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    g_stopEvent = stopEvent.get();
    ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);

    FILE* logFile = _wfopen(options.logFile.c_str(), L"ab");
    long records = 0;
    LOGSRV::CLogServer server(
        [&](const LOGSRV::ParsedRecord& record) {
            const std::wstring line = LOGSRV::FormatRecord(record);
            std::wprintf(L"%ls\n", line.c_str());
            std::fflush(stdout);
            if (logFile != nullptr) {
                std::fprintf(logFile, "%s\r\n", ToUtf8(line).c_str());
                std::fflush(logFile);
            }
            if (options.maxRecords > 0 && ++records >= options.maxRecords) ::SetEvent(g_stopEvent);
        },
        [](const std::wstring& reason) {
            std::wprintf(L"!! refused: %ls\n", reason.c_str());
            std::fflush(stdout);
        });
    if (!server.Start(options.pipeName.c_str())) {
        std::fwprintf(stderr, L"zelLogServer: cannot listen on %ls (%lu)\n",
                      options.pipeName.c_str(), ::GetLastError());
        return 1;
    }
    std::wprintf(
        L"== zelLogServer listening on \\\\.\\pipe\\%ls, appending to %ls (Ctrl+C stops)\n",
        options.pipeName.c_str(), options.logFile.c_str());
    std::fflush(stdout);

    std::thread console(ReadLevelCommands, std::ref(holder), std::ref(holderOpen));
    console.detach();  // blocked in a console read; ends with the process
    ::WaitForSingleObject(stopEvent.get(), INFINITE);
    server.Stop();
    if (logFile != nullptr) std::fclose(logFile);
    std::wprintf(L"== zelLogServer stopped after %ld records\n", records);
    return 0;
}
