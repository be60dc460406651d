// The primary signer's name read from a file's embedded signature, for the
// checks whose trace names no signer (no signer check with flags 0, the
// trusted-key list). Information only: it never takes part in a verdict.
#pragma once

#include <string>

// Empty when the file has no readable embedded signature.
std::wstring ReadPrimarySignerName(const std::wstring& file);
