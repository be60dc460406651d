#pragma once

// windows.h first: its GetMessage macro must rename every use alike.
#include <windows.h>

#include <string>

namespace OS {

// A result: a code, a kind and a message.
class CReturnValueObj {
public:
    CReturnValueObj() = default;
    CReturnValueObj(int code, int kind, const wchar_t* message);
    virtual ~CReturnValueObj() = default;

    virtual void SetCode(int code) { m_code = code; }
    virtual void SetKind(int kind) { m_kind = kind; }
    virtual void SetMessage(const wchar_t* message) { m_message = message ? message : L""; }
    virtual int GetCode() const { return m_code; }
    virtual int GetKind() const { return m_kind; }
    virtual std::wstring GetMessage() const { return m_message; }

private:
    int m_code = 0;
    int m_kind = 0;
    std::wstring m_message;
};

// A result raised as an exception, with the source position that raised it.
class CException : public CReturnValueObj {
public:
    CException(int code, int kind, const wchar_t* message, const wchar_t* sourceFile,
               unsigned sourceLine);

    virtual int GetErrorCode() const { return GetCode(); }
    virtual std::wstring GetDescription() const;

private:
    std::wstring m_sourceFile;
    unsigned m_sourceLine = 0;
};

}  // namespace OS
