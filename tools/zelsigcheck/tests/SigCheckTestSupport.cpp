#include "SigCheckTestSupport.h"

#include <cwctype>

#include "ChildProcess.h"
#include "ProductFolder.h"

namespace SIGCHECKTEST {

std::wstring DsFile(const wchar_t* name) {
    return ZELTEST::WinePathOf(DS_TEST_DIR) + L"\\" + name;
}

ToolRun RunTool(const std::wstring& arguments) {
    ToolRun run;
    const std::wstring outputFile = ZELTEST::TempFilePath(L"zelsigcheck_output.txt");
    ZELTEST::CChildProcess tool;
    if (!tool.Start(L"\"" + ZELTEST::WinePathOf(ZELSIGCHECK_EXE) + L"\" " + arguments,
                    outputFile)) {
        return run;
    }
    run.finished = tool.WaitForExit(60000);
    ::GetExitCodeProcess(tool.Handle(), &run.exitCode);
    const std::string utf8 = ZELTEST::ReadWholeFile(outputFile);
    const int cch =
        ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    run.output.resize(static_cast<size_t>(cch));
    if (cch > 0) {
        ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                              &run.output[0], cch);
    }
    ::DeleteFileW(outputFile.c_str());
    return run;
}

std::wstring Field(const std::wstring& report, const std::wstring& name) {
    const std::wstring head = L"\n  " + name + L":";
    const size_t at = (L"\n" + report).find(head);
    if (at == std::wstring::npos) return L"<absent>";
    size_t value = at + head.size() - 1;  // "\n" was prepended
    while (value < report.size() && report[value] == L' ') ++value;
    return report.substr(value, report.find(L'\n', value) - value);
}

namespace {

class CJsonReader {
public:
    explicit CJsonReader(const std::wstring& text) : m_text(text) {}

    bool Object(JsonObject& object) {
        if (!Take(L'{')) return false;
        if (Take(L'}')) return AtEnd();
        do {
            std::wstring key;
            JsonValue value;
            if (!String(key) || !Take(L':') || !Value(value)) return false;
            object[key] = value;
        } while (Take(L','));
        return Take(L'}') && AtEnd();
    }

private:
    void SkipBlanks() {
        while (m_at < m_text.size() && std::iswspace(m_text[m_at])) ++m_at;
    }
    bool Take(wchar_t c) {
        SkipBlanks();
        if (m_at >= m_text.size() || m_text[m_at] != c) return false;
        ++m_at;
        return true;
    }
    bool AtEnd() {
        SkipBlanks();
        return m_at == m_text.size();
    }
    bool String(std::wstring& out) {
        if (!Take(L'"')) return false;
        while (m_at < m_text.size() && m_text[m_at] != L'"') {
            wchar_t c = m_text[m_at++];
            if (c == L'\\') {
                if (m_at >= m_text.size()) return false;
                c = m_text[m_at++];
                if (c == L'u') {
                    if (m_at + 4 > m_text.size()) return false;
                    c = static_cast<wchar_t>(std::stoul(m_text.substr(m_at, 4), nullptr, 16));
                    m_at += 4;
                } else if (c != L'"' && c != L'\\' && c != L'/') {
                    return false;
                }
            }
            out += c;
        }
        return Take(L'"');
    }
    bool Value(JsonValue& value) {
        SkipBlanks();
        if (m_at < m_text.size() && m_text[m_at] == L'"') return String(value.text);
        if (Take(L'[')) {
            value.isArray = true;
            if (Take(L']')) return true;
            do {
                std::wstring item;
                if (!String(item)) return false;
                value.items.push_back(item);
            } while (Take(L','));
            return Take(L']');
        }
        while (m_at < m_text.size() && (std::iswdigit(m_text[m_at]) || m_text[m_at] == L'-')) {
            value.text += m_text[m_at++];
        }
        return !value.text.empty();
    }

    const std::wstring& m_text;
    size_t m_at = 0;
};

}  // namespace

bool ParseJsonObject(const std::wstring& text, JsonObject& object) {
    return CJsonReader(text).Object(object);
}

}  // namespace SIGCHECKTEST
