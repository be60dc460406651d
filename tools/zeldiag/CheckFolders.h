// Check 4: "Local_Path" and the temp folders the service creates below it.
#pragma once

#include "DiagReport.h"

CheckLine CheckFolders(const Installation& installation);
