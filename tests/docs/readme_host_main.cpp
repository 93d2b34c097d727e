// Runs the README's hosts as written: the C++ InstallDorvane (with retry,
// DorvaneV.inf beside this program), then the C UninstallDorvane. Prints
// both outcomes; exit code 0 only if both succeeded.
#include <windows.h>

#include <cstdio>

int InstallDorvane();
extern "C" BOOL UninstallDorvane(BOOL *restart);

int main() {
    const int installed = InstallDorvane();
    std::printf("InstallDorvane: %d\n", installed);
    BOOL restart = 2;
    const BOOL removed = UninstallDorvane(&restart);
    std::printf("UninstallDorvane: %s, restart %d\n", removed ? "TRUE" : "FALSE", restart);
    return installed == 0 && removed && restart == FALSE ? 0 : 1;
}
