#include "sc_issuerloader.h"

#ifdef ZEL_HAVE_ISSUER_CHECKED_LOADER
#include "ds_loadlibwithissuercheck.h"
#endif

// Until the code-signing library is part of the build, no library passes
// the issuer check: the load is refused.
HMODULE LoadIssuerCheckedStopLibrary(LPCWSTR path) {
#ifdef ZEL_HAVE_ISSUER_CHECKED_LOADER
    return LoadLibraryWithIssuerCheckW(L"Karvelo, Inc.", path);
#else
    (void)path;
    ::SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
#endif
}
