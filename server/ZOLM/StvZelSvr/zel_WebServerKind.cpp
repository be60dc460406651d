#include "zel_StvZelSvr.h"

bool IsApache(int serverType) {
    return serverType == 2 || serverType == 3;
}
