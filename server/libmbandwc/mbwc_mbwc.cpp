#include "mbwc_mbwc.h"

#include <vector>

#include "DebugTrace.h"

namespace MBWC {

int MBToWC(const char* pszMultiByteStr, wchar_t* pszWideCharStr, int nWideCharLength, UINT CodePage,
           DWORD dwFlags) {
    const int required = ::MultiByteToWideChar(CodePage, dwFlags, pszMultiByteStr, -1, nullptr, 0);
    if (nWideCharLength >= required) {
        return ::MultiByteToWideChar(CodePage, dwFlags, pszMultiByteStr, -1, pszWideCharStr,
                                     required);
    }
    DebugTraceA('F', TRACE_SRC_A,
                "[MBWC::MBToWC] MBWC error. Not enough buffer or wrong function was called. "
                "pszMultiByteStr=%s, nWideCharLength=%d, CodePage=%d, dwFlags=%d",
                pszMultiByteStr, nWideCharLength, CodePage, dwFlags);
    return 0;
}

int WCToMB(const wchar_t* pszWideCharStr, char* pszMultiByteStr, int nMultiByteLength,
           UINT CodePage, DWORD dwFlags) {
    const int required =
        ::WideCharToMultiByte(CodePage, dwFlags, pszWideCharStr, -1, nullptr, 0, nullptr, nullptr);
    if (nMultiByteLength >= required) {
        return ::WideCharToMultiByte(CodePage, dwFlags, pszWideCharStr, -1, pszMultiByteStr,
                                     required, nullptr, nullptr);
    }
    DebugTraceW('F', TRACE_SRC_W,
                L"[MBWC::WCToMB] MBWC error. Not enough buffer or wrong function was called. "
                L"pszWideCharStr=%s, nMultiByteLength=%d, CodePage=%d, dwFlags=%d",
                pszWideCharStr, nMultiByteLength, CodePage, dwFlags);
    return 0;
}

int WCToMBString(const wchar_t* pszWideCharStr, std::string& strMultiByte, UINT CodePage,
                 DWORD dwFlags, DWORD* pdwError) {
    const int required =
        ::WideCharToMultiByte(CodePage, dwFlags, pszWideCharStr, -1, nullptr, 0, nullptr, nullptr);
    std::vector<char> buffer(static_cast<size_t>(required < 0 ? 0 : required) + 1, '\0');
    const int written = ::WideCharToMultiByte(CodePage, dwFlags, pszWideCharStr, -1, buffer.data(),
                                              static_cast<int>(buffer.size()), nullptr, nullptr);
    if (written == 0) {
        if (pdwError != nullptr) *pdwError = ::GetLastError();
        return 0;
    }
    strMultiByte.assign(buffer.data());
    return written;
}

std::string WCToMBString(const wchar_t* pszWideCharStr, DWORD* pdwError, UINT CodePage,
                         DWORD dwFlags) {
    std::string result;
    WCToMBString(pszWideCharStr, result, CodePage, dwFlags, pdwError);
    return result;
}

}  // namespace MBWC
