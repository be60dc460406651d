// A trivial library whose copies the signature tests sign, tamper with and
// list in catalogs.
#include <windows.h>

extern "C" __declspec(dllexport) int DsSampleValue() { return 42; }
