// Whether the path a loader is about to resolve leads to the file held open
// since its check, through no link below the folder the installation chose.
//
// LoadLibraryW takes a path, never a handle: it resolves the path once
// more. An administrator may have put the installation behind a junction,
// mount point, subst drive or symbolic link; below that folder nobody may
// have put one. So the folders below the trusted root are each checked (and
// pinned without delete sharing, which on Windows keeps them from being
// renamed or removed until the load is done), the held file's final path
// must be the root's final path plus the names below it, and the path
// opened once more must reach the held file itself.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "UniqueHandle.h"

namespace DS {

// The folder whose own placement is trusted for a library at `fullPath`:
// the executable's folder when the path lies below it, else the product's
// "Application Path", else the path's volume root (then no folder on the
// path may be a link). Empty when none can be found.
std::wstring TrustedRootFor(const std::wstring& fullPath);

// Folders pinned by CheckPathLeadsToHeldFile, released when it goes.
using FolderPins = std::vector<UTIL::unique_handle>;

// True when `fullPath` (a full path) leads to the file `held` is open on,
// with no link below its trusted root; the folders below the root stay
// pinned in `pins`. It traces nothing: it runs right before the load, and
// a trace line there would be a signal to whoever listens on the log pipe.
bool CheckPathLeadsToHeldFile(const std::wstring& fullPath, HANDLE held, FolderPins& pins);

// Whether two handles are open on one file: the 128-bit file identifier
// where the platform has it (ReFS does not keep the 64-bit index unique),
// else volume serial number and 64-bit index.
bool SameFileObject(HANDLE left, HANDLE right);

}  // namespace DS
