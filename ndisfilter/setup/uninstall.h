// Removing the network service component, then the installed INF copy.
#pragma once

#include "netcfg_platform.h"

namespace ndisfilter {

// Slot 4: removes the component and applies; TRUE when removed, with
// *restartRequired set when the platform needs a restart. Whatever happened,
// ends by purging the installed INF copy.
BOOL Uninstall(BOOL *restartRequired);

}  // namespace ndisfilter
