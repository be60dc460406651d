// A library of about 20 MB for the signature benchmark: the payload is
// initialised data, so all of it is in the file and hashed.
#include <windows.h>

extern "C" __declspec(dllexport) const unsigned char g_sigBenchPayload[20 * 1024 * 1024] = {1};
