// Check 1: the service's registration against what "-install" writes, and
// its state.
#pragma once

#include "DiagReport.h"
#include "ServiceRegistration.h"

CheckLine CheckRegistration(const Installation& installation,
                            const ServiceRegistration& registration);

// Check 1b: the failure actions of a registered service, which "-install"
// sets so that the service comes back after a crash.
CheckLine CheckRecovery(const ServiceRegistration& registration);
