#include "CCmdProtocol.h"

#include <cwchar>

namespace {
constexpr size_t kInitialBodyChars = 1024;
}

CCmdProtocol::CCmdProtocol(const wchar_t* delimiter) : m_delimiter(delimiter ? delimiter : L"") {
    m_body.reserve(kInitialBodyChars);
}

void CCmdProtocol::Append(const wchar_t* value, size_t length) {
    const size_t delimiterLength = m_bFirstField ? 0 : m_delimiter.size();
    while (m_body.capacity() - m_body.size() < delimiterLength + length) {
        m_body.reserve(m_body.capacity() * 2);
    }
    if (!m_bFirstField) m_body += m_delimiter;
    m_body.append(value, length);
    m_bFirstField = false;
}

CCmdProtocol& CCmdProtocol::operator<<(int value) {
    const std::wstring text = std::to_wstring(value);
    Append(text.c_str(), text.size());
    return *this;
}

CCmdProtocol& CCmdProtocol::operator<<(unsigned int value) {
    const std::wstring text = std::to_wstring(value);
    Append(text.c_str(), text.size());
    return *this;
}

CCmdProtocol& CCmdProtocol::operator<<(unsigned long value) {
    return *this << static_cast<unsigned int>(value);
}

CCmdProtocol& CCmdProtocol::operator<<(const wchar_t* value) {
    if (value == nullptr) value = L"";
    Append(value, std::wcslen(value));
    return *this;
}
