// Deleting the copy of our INF that the platform kept in its INF store.
#pragma once

#include "product.h"

namespace ndisfilter {

// Scans <Windows>\inf\oem0.inf .. oem49.inf for the first one whose head holds
// the marker, and deletes it and its .PNF twin. Reports nothing.
void PurgeOemInfCopies();

// True when the head, up to byte 254 or its first zero byte, holds the
// marker. Zeroes head[kInfHeadSize - 1].
bool InfHeadHoldsMarker(char (&head)[kInfHeadSize]);

}  // namespace ndisfilter
