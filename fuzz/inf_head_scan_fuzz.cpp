// The INF purge's head scan on arbitrary file contents: the head as read
// (up to 256 bytes, the rest zero) holds the marker exactly when a plain
// search of its first 255 bytes, up to the first zero byte, finds it.
#include <string.h>

#include "fuzz_input.h"
#include "setup/oem_inf_purge.h"

namespace {

bool ModelHoldsMarker(const char *head, size_t size) {
    size_t searched = 0;
    while (searched < size - 1 && head[searched] != '\0') ++searched;
    const size_t markerLength = strlen(ndisfilter::kInfMarker);
    for (size_t at = 0; at + markerLength <= searched; ++at)
        if (memcmp(head + at, ndisfilter::kInfMarker, markerLength) == 0) return true;
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    char head[ndisfilter::kInfHeadSize] = {};
    memcpy(head, data, size < sizeof head ? size : sizeof head);
    char before[sizeof head];
    memcpy(before, head, sizeof head);

    const bool expected = ModelHoldsMarker(before, sizeof before);
    const bool found = ndisfilter::InfHeadHoldsMarker(head);

    fuzz::Check(found == expected, "InfHeadHoldsMarker differs from the model");
    fuzz::Check(head[sizeof head - 1] == '\0', "InfHeadHoldsMarker left the last byte set");
    fuzz::Check(memcmp(head, before, sizeof head - 1) == 0,
                "InfHeadHoldsMarker changed the searched bytes");
    return 0;
}
