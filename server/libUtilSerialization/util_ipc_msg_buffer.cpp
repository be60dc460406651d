#include "util_ipc_msg_buffer.h"

#include <cstring>
#include <new>

#include "DebugTrace.h"

namespace {

constexpr const wchar_t* kSourceUnit = L"util_ipc_msg_buffer.cpp";
constexpr int kSizeErrorLevel = 2;

}  // namespace

CIPCMsgBufferException::CIPCMsgBufferException(int code, unsigned sourceLine)
    : OS::CException(code, kKind, L"", kSourceUnit, sourceLine) {}

std::wstring CIPCMsgBufferException::GetCodeText() const {
    switch (GetCode()) {
        case kOutOfRange:
            return L"Out of range";
        case kInvalidBuffer:
            return L"Invalid buffer";
        case kNotOwner:
            return L"Not owner";
        default:
            return L"";
    }
}

// Bytes left at the cursor, counted so that a cursor past the end gives 0.
static DWORD Unread(DWORD used, DWORD cursor) {
    return cursor < used ? used - cursor : 0;
}

void CIPCMsgBuffer::EnsureReadable(DWORD need, int line) {
    if (!m_pBuffer) throw CIPCMsgBufferException(CIPCMsgBufferException::kInvalidBuffer, line);
    if (Unread(m_dwBytesUsed, m_dwCurPos) >= need) return;
    if (!Refill(need) || !m_pBuffer || Unread(m_dwBytesUsed, m_dwCurPos) < need) {
        throw CIPCMsgBufferException(CIPCMsgBufferException::kOutOfRange, line);
    }
}

const DWORD* CIPCMsgBuffer::PeekLength() {
    EnsureReadable(4, __LINE__);
    return reinterpret_cast<const DWORD*>(m_pBuffer + m_dwCurPos);
}

void CIPCMsgBuffer::ReadDWord(DWORD& out) {
    EnsureReadable(4, __LINE__);
    std::memcpy(&out, m_pBuffer + m_dwCurPos, 4);
    m_dwLastPos = m_dwCurPos;
    m_dwCurPos += 4;
}

CIPCMsgBuffer& CIPCMsgBuffer::operator>>(const BYTE*& out) {
    EnsureReadable(4, __LINE__);
    DWORD length = 0;
    std::memcpy(&length, m_pBuffer + m_dwCurPos, 4);
    m_dwLastPos = m_dwCurPos;
    m_dwCurPos += 4;
    if (Unread(m_dwBytesUsed, m_dwCurPos) < length) {
        // The slack of 4 keeps the request at least one length word long.
        const bool refilled = length <= 0xFFFFFFFBu && Refill(length + 4) && m_pBuffer &&
                              Unread(m_dwBytesUsed, m_dwCurPos) >= length;
        if (!refilled) {
            DebugTraceW(kSizeErrorLevel, TRACE_SRC_W,
                        L"%s - CIPCMsgBuffer::operator >>() ==> size error  "
                        L"(m_dwCurPos[%d]+iTotalBytes[%d]) > m_dwBytesUsed[%d]",
                        L"CIPCMsgBuffer::operator >>", static_cast<int>(m_dwCurPos),
                        static_cast<int>(length), static_cast<int>(m_dwBytesUsed));
            throw CIPCMsgBufferException(CIPCMsgBufferException::kOutOfRange, __LINE__);
        }
    }
    out = m_pBuffer + m_dwCurPos;
    m_dwLastPos = m_dwCurPos;
    m_dwCurPos += length;
    return *this;
}

bool CIPCMsgBuffer::Refill(DWORD need) {
    if (!m_pFile || !m_pFile->is_open() || m_pFile->eof()) return false;
    const DWORD remaining = Unread(m_dwBytesUsed, m_dwCurPos);
    DWORD window = m_dwBytesUsed;
    if (need > m_dwBytesUsed || !m_pBuffer) {
        // The window must hold the whole request, not just the old block.
        const DWORD size = need;
        BYTE* old = m_pBuffer;
        m_pBuffer = new (std::nothrow) BYTE[size];
        if (!m_pBuffer) {
            if (m_bOwner) delete[] old;
            m_dwBufferSize = 0;
            return false;
        }
        std::memset(m_pBuffer, 0, size);
        if (remaining != 0) std::memcpy(m_pBuffer, old + m_dwCurPos, remaining);
        if (m_bOwner) delete[] old;
        m_bOwner = true;
        m_dwBufferSize = size;
        window = size;
    } else if (remaining != 0) {
        std::memmove(m_pBuffer, m_pBuffer + m_dwCurPos, remaining);
    }
    m_pFile->read(reinterpret_cast<char*>(m_pBuffer + remaining), window - remaining);
    const DWORD got = static_cast<DWORD>(m_pFile->gcount());
    m_dwBytesUsed = remaining + got;
    m_dwCurPos = 0;
    m_dwLastPos = 0;
    if (m_pFile->eof()) m_pFile->close();
    return true;
}
