// ndisfilterctl's entry on Windows: arguments arrive as wide text.
#include "cli_run.h"

int wmain(int argc, wchar_t **argv) {
    std::vector<std::wstring> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    return ndisfilterctl::RunCli(args);
}
