// A small library for the signature benchmark.
#include <windows.h>

extern "C" __declspec(dllexport) int SigBenchSmall() {
    return 1;
}
