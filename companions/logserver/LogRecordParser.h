// Checks and splits the bytes of one log-server connection into the fields
// of a LOG_WRITE record. Anything malformed is refused with a reason, never
// guessed at.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace LOGSRV {

// Larger connections are refused without being kept.
constexpr size_t kMaxRecordBytes = 1024 * 1024;

struct ParsedRecord {
    int time = 0;
    unsigned int processId = 0;
    unsigned int threadId = 0;
    int level = 0;
    std::wstring sourceFile;
    int line = 0;
    std::wstring text;  // may hold tabs: everything after the seventh one
};

// True with `record` filled, or false with `reason` saying what is wrong.
bool ParseLogRecord(const std::vector<BYTE>& bytes, ParsedRecord& record, std::wstring& reason);

// 'F', 'E', 'W', 'I', 'N' or 'D' as the trace gate reads the level; '?'
// for levels outside one byte.
wchar_t LevelLetter(int level);

// "2026-12-08 03:11:39 pid=12 tid=34 I zel_Main.cpp:99 text"
std::wstring FormatRecord(const ParsedRecord& record);

}  // namespace LOGSRV
