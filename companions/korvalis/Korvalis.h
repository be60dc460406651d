// Korvalis.dll: the product's key provider. It serves the public keys that
// the multiple-signature verifier trusts: the raw subject-public-key bits of
// the certificates it was built with.
#pragma once

#include <windows.h>

extern "C" {

// Number of keys served.
int WINAPI GetCertificatePublicKeyAmount();

// Copies key `index` (from 0) into `buffer`. With a null buffer, or one
// smaller than the key, only reports the size in `*size` (FALSE for the small
// buffer, with ERROR_INSUFFICIENT_BUFFER). Non-zero on success.
BOOL WINAPI GetCertificatePublicKey(int index, BYTE* buffer, DWORD* size);
}
