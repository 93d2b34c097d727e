// ndisfilterctl's entry on the host: arguments arrive as UTF-8.
#include "cli_run.h"
#include "tools/common/wide_text.h"

int main(int argc, char **argv) {
    std::vector<std::wstring> args;
    for (int i = 1; i < argc; ++i) args.push_back(ndisfilter::text::Widen(argv[i]));
    return ndisfilterctl::RunCli(args);
}
