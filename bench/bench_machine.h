// The simulated machine the benchmarks run on: one temporary root folder for
// the whole program, with the driver's INF in place.
#pragma once

#include <string>

#include "ndisfilter.h"

namespace bench {

constexpr const wchar_t *kInfPath = L"D:\\drivers\\pkg\\DorvaneV.inf";

// Starts the machine afresh (log, counters, scripts, components), keeping
// the files. The log grows with every call, so long loops call this now and
// then with the timing paused.
void FreshMachine();
void WriteMachineFile(const std::string &windowsPath, const std::string &bytes);
void RemoveMachineFile(const std::string &windowsPath);

// A new object through the exported entry point; the caller releases it.
INdisFilterHelper2 *NewFilter();

}  // namespace bench
