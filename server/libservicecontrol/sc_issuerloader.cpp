#include "sc_issuerloader.h"

#include "ds_loadlibwithissuercheck.h"

HMODULE LoadIssuerCheckedStopLibrary(LPCWSTR path) {
    return LoadLibraryWithIssuerCheckW(L"Karvelo, Inc.", path);
}
