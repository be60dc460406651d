// One owner type per kind of Windows resource, built from a small traits
// description (handle type, "none" values, release call), so that no code
// releases a handle by hand and every early return is safe.
#pragma once

#include <windows.h>

#include <utility>

namespace UTIL {

template <typename Traits>
class CUniqueAny {
public:
    using pointer = typename Traits::pointer;

    CUniqueAny() noexcept = default;
    explicit CUniqueAny(pointer value) noexcept : m_value(value) {}
    CUniqueAny(const CUniqueAny&) = delete;
    CUniqueAny& operator=(const CUniqueAny&) = delete;
    CUniqueAny(CUniqueAny&& other) noexcept : m_value(other.release()) {}
    CUniqueAny& operator=(CUniqueAny&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~CUniqueAny() { reset(); }

    pointer get() const noexcept { return m_value; }
    bool valid() const noexcept { return Traits::IsValid(m_value); }
    explicit operator bool() const noexcept { return valid(); }

    pointer release() noexcept { return std::exchange(m_value, Traits::Invalid()); }

    void reset(pointer value = Traits::Invalid()) noexcept {
        pointer old = std::exchange(m_value, value);
        if (Traits::IsValid(old)) Traits::Close(old);
    }

    // For out-parameters: releases what is held and hands out the slot.
    pointer* put() noexcept {
        reset();
        return &m_value;
    }

private:
    pointer m_value = Traits::Invalid();
};

template <typename T, auto CloseFn>
struct CNullIsInvalidTraits {
    using pointer = T;
    static pointer Invalid() noexcept { return nullptr; }
    static bool IsValid(pointer p) noexcept { return p != nullptr; }
    static void Close(pointer p) noexcept { CloseFn(p); }
};

// Kernel handles: both null and INVALID_HANDLE_VALUE mean "none".
struct CKernelHandleTraits {
    using pointer = HANDLE;
    static pointer Invalid() noexcept { return nullptr; }
    static bool IsValid(pointer p) noexcept { return p != nullptr && p != INVALID_HANDLE_VALUE; }
    static void Close(pointer p) noexcept { ::CloseHandle(p); }
};

struct CFindHandleTraits {
    using pointer = HANDLE;
    static pointer Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static bool IsValid(pointer p) noexcept { return p != nullptr && p != INVALID_HANDLE_VALUE; }
    static void Close(pointer p) noexcept { ::FindClose(p); }
};

inline void UnmapView(void* view) noexcept { ::UnmapViewOfFile(view); }
inline void LocalFreeMemory(void* memory) noexcept { ::LocalFree(memory); }
inline void CloseRegKey(HKEY key) noexcept { ::RegCloseKey(key); }
inline void ReleaseModule(HMODULE module) noexcept { ::FreeLibrary(module); }
inline void CloseScHandle(SC_HANDLE handle) noexcept { ::CloseServiceHandle(handle); }

using unique_handle = CUniqueAny<CKernelHandleTraits>;
using unique_find_handle = CUniqueAny<CFindHandleTraits>;
using unique_mapped_view = CUniqueAny<CNullIsInvalidTraits<void*, UnmapView>>;
using unique_hlocal = CUniqueAny<CNullIsInvalidTraits<void*, LocalFreeMemory>>;
using unique_hkey = CUniqueAny<CNullIsInvalidTraits<HKEY, CloseRegKey>>;
using unique_hmodule = CUniqueAny<CNullIsInvalidTraits<HMODULE, ReleaseModule>>;
// Service Control Manager and service handles.
using unique_sc_handle = CUniqueAny<CNullIsInvalidTraits<SC_HANDLE, CloseScHandle>>;

// The thread's last error is part of a function's result: callers read it
// after tracing, so code that may disturb it (a trace call) restores it.
class CLastErrorPreserver {
public:
    CLastErrorPreserver() noexcept : m_error(::GetLastError()) {}
    ~CLastErrorPreserver() { ::SetLastError(m_error); }
    CLastErrorPreserver(const CLastErrorPreserver&) = delete;
    CLastErrorPreserver& operator=(const CLastErrorPreserver&) = delete;

private:
    DWORD m_error;
};

}  // namespace UTIL
