// Removing the network service component, then the installed INF copy.
#pragma once

#include "netcfg_platform.h"

namespace ndisfilter {

// Slot 4: removes the component and applies; TRUE when removed, with
// *restartRequired set when the removal or Apply asked for a restart. Ends by
// purging the installed INF copy when the component was removed or was not
// installed; after any other failure the copy stays with the component.
BOOL Uninstall(BOOL *restartRequired);

}  // namespace ndisfilter
