// Whether a loaded module is the file that was checked before it was loaded.
//
// A checked file is held open from its check until its load, but the loader
// resolves the path again: a junction, symbolic link or object-manager link
// on the path, re-pointed in between, loads another file than the one held.
#pragma once

#include <windows.h>

namespace DS {

// True when the image mapped at `module` is the file `held` is open on: the
// same file identifier (SameFileObject in HeldPath.h). The module's file is the one
// the memory manager names for the mapping (on Windows the path it was
// actually opened by, links resolved), not the path given to the loader.
// Any failure to find out answers false.
bool IsModuleOfHeldFile(HMODULE module, HANDLE held);

}  // namespace DS
