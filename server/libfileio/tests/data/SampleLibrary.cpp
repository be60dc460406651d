// A small library for the signature tests to sign, tamper with and verify.
#include <windows.h>

extern "C" __declspec(dllexport) int WINAPI FileIoSampleAnswer() {
    return 42;
}
