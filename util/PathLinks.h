// Paths in folders that other users can write: resolve once, to a handle,
// and check through that handle that no link was followed on the way.
// Windows' links are junctions, symbolic links, hard links and object-manager
// links; under Wine a file symlink shows no reparse attribute at all, so the
// checks that hold on both compare the handle's final path with the path
// that was opened and count hard links.
#pragma once

#include <windows.h>

#include <string>

#include "UniqueHandle.h"

namespace UTIL {

// The full, long form of a path ("\\?\" prefix removed, "." and ".."
// resolved, short names expanded where the platform can); empty on failure.
std::wstring NormalizedFullPath(const wchar_t* path);

// The final path of the object open on the handle, in the same form as
// NormalizedFullPath; empty on failure.
std::wstring FinalPathOf(HANDLE handle);

// True when both name the same place: compared as Windows compares names
// (ordinal, with its case folding, so "\u00c9" and "\u00e9" match), a
// trailing separator ignored. Paths that cannot be normalized are never the
// same.
bool SameFullPath(const std::wstring& left, const std::wstring& right);

// The names below `root` that lead to `path` ("BM\LOG"; empty for the root
// itself), both full normalized paths; false when `path` is not at or below
// `root`. Compared as SameFullPath compares.
bool RelativeBelow(const std::wstring& root, const std::wstring& path, std::wstring* relative);

// A folder the installation chose: the executable's folder, "Application
// Path", "Local_Path". An administrator may have put it behind a junction, a
// folder mount point, a subst drive or a symbolic link: those links are
// theirs. So what lies below the root is measured against the root's own
// final path, and only a link planted below the root is refused.
class CTrustedRoot {
public:
    // Opens the root (following links: its placement is trusted) and keeps
    // its final path.
    explicit CTrustedRoot(const wchar_t* configuredPath);

    // False when the root could not be opened or resolved: callers refuse.
    bool IsKnown() const { return !m_finalPath.empty(); }
    const std::wstring& ConfiguredPath() const { return m_configured; }
    const std::wstring& FinalPath() const { return m_finalPath; }

    // Where `path`, named at or below the configured root, must finally be:
    // the root's final path plus the names below it. Empty when the root is
    // unknown or `path` is not at or below it (callers refuse then).
    std::wstring ExpectedFinalPath(const wchar_t* path) const;

private:
    std::wstring m_configured;  // normalized
    std::wstring m_finalPath;
};

// True when the object open on the handle is `path` reached through no link
// below `root` (links above or at the root are the installation's).
bool HandleIsBelowRootAt(HANDLE handle, const CTrustedRoot& root, const wchar_t* path);

// True when the object open on the handle is reached at `path` itself: no
// link on the way (its final path is the path opened).
bool HandleIsAt(HANDLE handle, const wchar_t* path);

// Opens a folder without following a reparse point at its last component
// (the handle is the link itself when there is one). Read attributes only.
unique_handle OpenFolderNoFollow(const wchar_t* path);

enum class FolderState {
    Plain,       // a folder, reached without a link
    Missing,     // nothing at the path (or a component of it is missing)
    Link,        // a reparse point, or reached through a link
    NotFolder,   // a file stands at the path
    Unreadable,  // it could not be checked: treat as refused
};

// Whether a plain folder stands at the path. Anything but Plain is refused
// by callers that create or delete inside it.
FolderState CheckFolder(const wchar_t* path);

// The same, judged against where the folder must be: `expectedFinalPath`
// (for example a trusted folder's own final path plus the names below it),
// so that only what lies below that folder must be free of links. With
// `pin`, a plain folder stays open in it, without delete sharing: Windows
// then lets nobody rename or remove it while the pin is held.
FolderState CheckFolderAt(const wchar_t* path, const std::wstring& expectedFinalPath,
                          unique_handle* pin = nullptr);

// The same, for a folder named at or below a trusted root: what lies below
// the root must be free of links; the root itself is taken as placed (it
// only has to be a folder). An unknown root gives Unreadable: refused.
FolderState CheckFolderBelow(const CTrustedRoot& root, const wchar_t* path,
                             unique_handle* pin = nullptr);

// A short word for traces and reports: "plain", "missing", "link",
// "not a folder", "unreadable".
const wchar_t* FolderStateName(FolderState state);

// Opens an existing file without following a reparse point at its last
// component (Windows opens the link itself; Wine follows a Unix symlink, which
// IsSinglePlainFileAt then sees by the final path).
unique_handle OpenFileNoFollow(const wchar_t* path, DWORD access, DWORD share);

// Opens the file at the path, or creates it when nothing stands there. A new
// file is made with CREATE_NEW, which fails on any link, even a dangling one:
// an OPEN_ALWAYS would create the file a dangling link points to. With
// `created`, says whether this call made the file, and a file it makes is
// opened with DELETE as well: a caller that then refuses it deletes it
// through the handle.
unique_handle OpenOrCreateFileNoFollow(const wchar_t* path, DWORD access, DWORD share,
                                       bool* created = nullptr);

// True when the handle is one plain file reached at `path` itself: not a
// folder, not a reparse point, a single hard link, and its final path is the
// path. Fills `info` when given (attributes, times, size and link count; the
// volume serial and file index stay 0). Anything it cannot establish gives
// false.
bool IsSinglePlainFileAt(HANDLE file, const wchar_t* path,
                         BY_HANDLE_FILE_INFORMATION* info = nullptr);

// The same, with the final path measured against the trusted root's.
bool IsSinglePlainFileBelow(HANDLE file, const CTrustedRoot& root, const wchar_t* path,
                            BY_HANDLE_FILE_INFORMATION* info = nullptr);

// The same, with the final path given: where the file must finally be (for
// example a checked folder's final path and the file's name), so that a
// caller judging many files in one folder resolves the folder once.
bool IsSinglePlainFileWithFinalPath(HANDLE file, const std::wstring& expectedFinalPath,
                                    BY_HANDLE_FILE_INFORMATION* info = nullptr);

// Renames the file open on the handle (opened with DELETE) to `newPath`, a
// full path, replacing whatever stands there, a file or a link itself, and
// writing through nothing. The source is this handle, never a name looked up
// again; and unlike a rename by name, the handle's final path follows (Wine
// keeps the old name for other handles of a file renamed by name). Paths up
// to 1024 characters; no heap use (it runs in crashing processes too).
bool RenameThroughHandle(HANDLE file, const wchar_t* newPath);

// Deletes the file open on the handle (opened with DELETE) when the last
// handle to it closes; the name is never looked up again.
bool DeleteThroughHandle(HANDLE file);

}  // namespace UTIL
