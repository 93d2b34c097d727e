// Removing the copy of our INF that the platform kept in its INF store.
#pragma once

#include "product.h"

namespace ndisfilter {

// Scans <Windows>\inf\oem0.inf .. oem49.inf for the first one whose head holds
// the marker, and removes it through SetupUninstallOEMInfW, then deletes what
// is left of it and its .PNF twin. Reports nothing. Only for a component that
// is gone or was never installed: the copy is its INF.
void PurgeOemInfCopies();

// True when the head, up to byte 254 or its first zero byte, holds the
// marker. Zeroes head[kInfHeadSize - 1].
bool InfHeadHoldsMarker(char (&head)[kInfHeadSize]);

}  // namespace ndisfilter
