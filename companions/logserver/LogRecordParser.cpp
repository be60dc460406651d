#include "LogRecordParser.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <climits>
#include <cstring>
#include <cwchar>

namespace LOGSRV {

namespace {

constexpr size_t kFixedFields = 7;  // command .. line; the text follows

bool IsValidUtf16(const std::wstring& text) {
    for (size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) return false;
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

bool ToSigned(const std::wstring& field, int& value) {
    if (field.empty()) return false;
    wchar_t* end = nullptr;
    errno = 0;
    const long long parsed = std::wcstoll(field.c_str(), &end, 10);
    if (*end != L'\0' || errno != 0 || parsed < INT_MIN || parsed > INT_MAX) return false;
    value = static_cast<int>(parsed);
    return true;
}

bool ToUnsigned(const std::wstring& field, unsigned int& value) {
    if (field.empty() || field[0] == L'-') return false;
    wchar_t* end = nullptr;
    errno = 0;
    const unsigned long long parsed = std::wcstoull(field.c_str(), &end, 10);
    if (*end != L'\0' || errno != 0 || parsed > UINT_MAX) return false;
    value = static_cast<unsigned int>(parsed);
    return true;
}

std::vector<std::wstring> SplitFixedFields(const std::wstring& text) {
    std::vector<std::wstring> fields;
    size_t start = 0;
    while (fields.size() < kFixedFields) {
        const size_t tab = text.find(L'\t', start);
        if (tab == std::wstring::npos) break;
        fields.push_back(text.substr(start, tab - start));
        start = tab + 1;
    }
    fields.push_back(text.substr(start));
    return fields;
}

bool FillNumbers(const std::vector<std::wstring>& fields, ParsedRecord& record,
                 std::wstring& reason) {
    if (!ToSigned(fields[1], record.time))
        reason = L"bad time field";
    else if (!ToUnsigned(fields[2], record.processId))
        reason = L"bad process id field";
    else if (!ToUnsigned(fields[3], record.threadId))
        reason = L"bad thread id field";
    else if (!ToSigned(fields[4], record.level))
        reason = L"bad level field";
    else if (!ToSigned(fields[6], record.line))
        reason = L"bad line field";
    return reason.empty();
}

}  // namespace

bool ParseLogRecord(const std::vector<BYTE>& bytes, ParsedRecord& record, std::wstring& reason) {
    reason.clear();
    if (bytes.empty())
        reason = L"empty connection";
    else if (bytes.size() > kMaxRecordBytes)
        reason = L"record too large";
    else if (bytes.size() % 2 != 0)
        reason = L"not UTF-16 (odd byte count)";
    if (!reason.empty()) return false;

    std::wstring text(bytes.size() / 2, L'\0');
    std::memcpy(text.data(), bytes.data(), bytes.size());
    if (text.back() != L'\0') {
        reason = L"no terminating zero (client stopped half-way?)";
        return false;
    }
    text.pop_back();
    if (text.find(L'\0') != std::wstring::npos)
        reason = L"zero character inside the record";
    else if (!IsValidUtf16(text))
        reason = L"not UTF-16 (unpaired surrogate)";
    if (!reason.empty()) return false;

    const std::vector<std::wstring> fields = SplitFixedFields(text);
    if (fields[0] != L"LOG_WRITE") {
        reason = L"not a LOG_WRITE command";
        return false;
    }
    if (fields.size() < kFixedFields + 1) {
        reason = L"too few fields (" + std::to_wstring(fields.size()) + L" of 8)";
        return false;
    }
    if (!FillNumbers(fields, record, reason)) return false;
    record.sourceFile = fields[5];
    record.text = fields[7];
    return true;
}

wchar_t LevelLetter(int level) {
    if (level < 0 || level > 255) return L'?';
    switch (level) {
        case 'F':
        case 0:
        case 1:
        case 2:
            return L'F';
        case 'E':
        case 3:
        case 4:
            return L'E';
        case 'W':
        case 5:
            return L'W';
        case 'I':
        case 6:
        case 7:
            return L'I';
        case 'N':
            return L'N';
        default:
            return L'D';
    }
}

std::wstring FormatRecord(const ParsedRecord& record) {
    const std::time_t time = record.time;
    std::tm local = {};
    wchar_t stamp[32] = L"(bad time)";
    if (localtime_s(&local, &time) == 0) {
        std::wcsftime(stamp, 32, L"%Y-%m-%d %H:%M:%S", &local);
    }
    const size_t slash = record.sourceFile.find_last_of(L"\\/");
    const std::wstring source =
        slash == std::wstring::npos ? record.sourceFile : record.sourceFile.substr(slash + 1);
    wchar_t head[128];
    _snwprintf(head, 127, L"%s pid=%u tid=%u %c ", stamp, record.processId, record.threadId,
               LevelLetter(record.level));
    head[127] = L'\0';
    return head + source + L":" + std::to_wstring(record.line) + L" " + record.text;
}

}  // namespace LOGSRV
