#include "os_exception.h"

#include <windows.h>

#include <cwchar>
#include <vector>

namespace OS {

CReturnValueObj::CReturnValueObj(int code, int kind, const wchar_t* message)
    : m_code(code), m_kind(kind), m_message(message ? message : L"") {}

CException::CException(int code, int kind, const wchar_t* message, const wchar_t* sourceFile,
                       unsigned sourceLine)
    : CReturnValueObj(code, kind, message),
      m_sourceFile(sourceFile ? sourceFile : L""),
      m_sourceLine(sourceLine) {}

std::wstring CException::GetDescription() const {
    const std::wstring message = GetMessage();
    if (m_sourceFile.empty()) return message;
    std::vector<wchar_t> text(message.size() + m_sourceFile.size() + 64);
    int written = _snwprintf(text.data(), text.size() - 1, L"%s, (%d), [%s|%d]", message.c_str(),
                             GetCode(), m_sourceFile.c_str(), static_cast<int>(m_sourceLine));
    text[text.size() - 1] = L'\0';
    if (written < 0) return message;
    return text.data();
}

}  // namespace OS
