// A small library for the loader tests, loaded from signed copies.
#include <windows.h>

extern "C" __declspec(dllexport) int ZelTestLibraryMarker() {
    return 6;
}
