// The one file object a verification reads.
//
// A check made of several calls (WinTrust, the image digest, the signed
// data, the image headers) that each opened the path would each resolve it
// again: a link re-pointed in between, or a file put in the place of
// another, and the parts of one verdict would be about different files.
// While a CHeldFileScope lives on a thread, every read of that path by the
// verification code on that thread goes through the file it holds.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <optional>
#include <string>

#include "UniqueHandle.h"

namespace DS {

class CHeldFileScope {
public:
    // Holds `path` for the scope: with the caller's `held` handle, or else
    // (a null `held`) opened here with read sharing only, unless an outer
    // scope on this thread already holds it. An open that fails holds
    // nothing, and every read of the path then fails too.
    explicit CHeldFileScope(LPCWSTR path, HANDLE held = nullptr);
    ~CHeldFileScope();
    CHeldFileScope(const CHeldFileScope&) = delete;
    CHeldFileScope& operator=(const CHeldFileScope&) = delete;

    // The held handle for a normalized path on this thread: null when no
    // scope holds it, INVALID_HANDLE_VALUE when its open failed.
    static HANDLE HeldFor(const std::wstring& normalizedPath);
    // The same for the path exactly as the scope was given it (no
    // file-system calls: the checks pass the caller's path string on).
    static HANDLE HeldForGivenPath(LPCWSTR path);

private:
    const std::wstring& NormalizedPath() const;

    std::wstring m_given;
    mutable std::optional<std::wstring> m_path;  // normalized, made on first use
    HANDLE m_held = nullptr;
    UTIL::unique_handle m_own;
    CHeldFileScope* m_pOuter = nullptr;
    bool m_active = false;
};

// A handle for one read of `path`: a duplicate of the held file, at its
// start, when a scope on this thread holds that path; else the path opened
// for reading with `share` (the caller's own sharing, as before).
UTIL::unique_handle OpenFileForCheck(LPCWSTR path, DWORD share = FILE_SHARE_READ);

// The embedded Authenticode signature of `path` as CryptQueryObject gives
// it. A held file is read through its handle (the signed data of its first
// certificate-table entry, queried as a blob); a path nobody holds is
// queried as a file, as before.
bool QueryEmbeddedSignature(LPCWSTR path, HCERTSTORE* store, HCRYPTMSG* message);

// Whether a scope on this thread holds `path` (then the open above can only
// give the held file, or nothing).
bool IsHeldOnThisThread(LPCWSTR path);

}  // namespace DS
