// Storage for the ids the library compares against: its own interfaces and
// the platform's network configuration ids.
#include <windows.h>
#include <initguid.h>

#include <devguid.h>
#include <netcfgx.h>

#include "ndisfilter.h"
