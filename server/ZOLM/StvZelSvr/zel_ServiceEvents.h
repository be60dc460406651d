// The service's two named events. Their names are fixed and known to every
// process on the machine, so one may already exist when the service starts:
// it is adopted only when the system or an administrator made it.
#pragma once

#include <windows.h>

#include <vector>

// The owner SID of a kernel object, as bytes; empty when it cannot be read.
using ObjectOwnerSid = std::vector<BYTE>;

// Seam: reads an object's owner through GetSecurityInfo. Tests script it,
// because Wine keeps one user and gives every object that user's owner.
extern ObjectOwnerSid (*g_pfnObjectOwnerSid)(HANDLE object);
ObjectOwnerSid ReadObjectOwnerSid(HANDLE object);

// LocalSystem or the built-in Administrators group.
bool IsTrustedObjectOwner(const ObjectOwnerSid& owner);

// A manual-reset, non-signalled named event. When the name was already
// taken by an object of another owner (or one whose owner cannot be read),
// traces 'E', closes it and returns null with ERROR_ALREADY_EXISTS.
HANDLE CreateServiceEvent(LPCWSTR name);
