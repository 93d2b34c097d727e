// Compiles and links only if the package's header defines the interface ids
// here (through <initguid.h>) and declares the interfaces with their slots.
#include <windows.h>
#include <initguid.h>

#include <ndisfilter.h>

#include <cstddef>

static_assert(sizeof(INdisFilterHelper2) == sizeof(void *), "an interface is one table pointer");

int main() {
    return IsEqualGUID(IID_INdisFilterHelper2, IID_INdisFilterHelper) ? 1 : 0;
}
