// ndisfilterctl's entry on the host: arguments arrive in the locale's encoding.
#include <clocale>

#include "cli_run.h"
#include "host_text.h"

int main(int argc, char **argv) {
    using namespace ndisfilterctl;
    std::setlocale(LC_CTYPE, "");
    std::vector<std::wstring> args;
    for (int i = 1; i < argc; ++i) {
        std::wstring arg;
        if (!Widen(argv[i], arg)) {
            WriteText(Stream::Err,
                      L"ndisfilterctl: an argument is not valid text in this locale\n");
            return PlatformExitCodes().CodeFor(ExitStatus::BadUsage);
        }
        args.push_back(std::move(arg));
    }
    return RunCli(args);
}
