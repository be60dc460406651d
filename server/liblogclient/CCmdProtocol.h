// Builder of the log server's text commands: fields joined by a delimiter,
// written as one chain of insertions.
#pragma once

#include <string>

class CCmdProtocol {
public:
    explicit CCmdProtocol(const wchar_t* delimiter = L"\t");
    virtual ~CCmdProtocol() = default;

    CCmdProtocol& operator<<(int value);
    CCmdProtocol& operator<<(unsigned int value);
    CCmdProtocol& operator<<(unsigned long value);   // DWORD
    CCmdProtocol& operator<<(const wchar_t* value);  // null gives an empty field

    const std::wstring& Body() const { return m_body; }
    const wchar_t* c_str() const { return m_body.c_str(); }

private:
    void Append(const wchar_t* value, size_t length);

    std::wstring m_delimiter;
    std::wstring m_body;
    bool m_bFirstField = true;
};
