// Check 1: the service's registration against what "-install" writes, and
// its state.
#pragma once

#include "DiagReport.h"
#include "ServiceRegistration.h"

CheckLine CheckRegistration(const Installation& installation,
                            const ServiceRegistration& registration);
