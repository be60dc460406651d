#pragma once

#include "os_exception.h"
#include "util_acc_buffer.h"

// A read that cannot be satisfied: 0 "Out of range", 1 "Invalid buffer",
// 2 "Not owner".
class CIPCMsgBufferException : public OS::CException {
public:
    enum : int { kOutOfRange = 0, kInvalidBuffer = 1, kNotOwner = 2 };
    static constexpr int kKind = 4;

    CIPCMsgBufferException(int code, unsigned sourceLine);
    virtual std::wstring GetCodeText() const;
};

// Adds a read cursor to the accumulating buffer: 32-bit values and
// length-prefixed records returned in place. When the message continues in
// a file stream, reads slide the window and take more from the file.
class CIPCMsgBuffer : public CAccBuffer {
public:
    CIPCMsgBuffer() = default;
    ~CIPCMsgBuffer() override = default;

    const DWORD* PeekLength();
    void ReadDWord(DWORD& out);
    CIPCMsgBuffer& operator>>(const BYTE*& out);
    bool Refill(DWORD need);

    DWORD CurrentPosition() const noexcept { return m_dwCurPos; }
    DWORD LastPosition() const noexcept { return m_dwLastPos; }

protected:
    void EnsureReadable(DWORD need, int line);

    DWORD m_dwCurPos = 0;
    DWORD m_dwLastPos = 0;
};
