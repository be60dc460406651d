// The registry configuration the service reads, as text for the bundle.
#pragma once

#include <string>

// The service's key and the product's keys the service reads, each with
// every value: "name = REG_SZ: text".
std::wstring FormatServiceRegistry();
