// The service's two named events. Their names are fixed and known to every
// process on the machine, so anyone may have taken one before the service
// starts: an event there is adopted only when the system or an
// administrator made it and nobody else may signal it. Otherwise the
// service runs with an unnamed event of its own.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// The owner SID of a kernel object, as bytes; empty when it cannot be read.
using ObjectOwnerSid = std::vector<BYTE>;

// Seam: reads an object's owner through GetSecurityInfo. Tests script it,
// because Wine keeps one user and gives every object that user's owner.
extern ObjectOwnerSid (*g_pfnObjectOwnerSid)(HANDLE object);
ObjectOwnerSid ReadObjectOwnerSid(HANDLE object);

// LocalSystem or the built-in Administrators group.
bool IsTrustedObjectOwner(const ObjectOwnerSid& owner);

// Why an existing event may not be adopted because of its access list
// ("its access list lets S-1-5-32-545 signal it"); empty when only SYSTEM
// and Administrators can signal it or change who can.
std::wstring WhyAccessListIsForeign(HANDLE event);

// A manual-reset, non-signalled event for `name`. A name already taken by
// an object the service must not adopt (another type, access denied, a
// foreign owner or access list) gives one 'E' line with the name and the
// reason, and an unnamed event instead. An adopted event is reset. Null
// only when no event at all could be created (last error set).
HANDLE CreateServiceEvent(LPCWSTR name);
