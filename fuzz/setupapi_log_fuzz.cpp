// The device installation log parser on arbitrary bytes: never a crash,
// and what it returns keeps its bounds (sections, lines, line length), its
// order (newest first) and the query's start time.
#include "fuzz_input.h"
#include "tools/common/setupapi_log.h"

using namespace ndisfilter::tools;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Input input(data, size);
    SetupLogQuery query{{L"DorvaneV.inf", L"ZQ_DorvaneV"}, {}, 1u + input.Byte() % 4u};
    query.since.year = 2000 + input.Byte() % 40;
    const std::string_view text(reinterpret_cast<const char *>(input.Rest()), input.Remaining());
    const auto sections = FindSetupLogSections(text, query);

    fuzz::Check(sections.size() <= query.maxSections, "more sections than asked for");
    for (const SetupLogSection &s : sections) {
        fuzz::Check(!(s.start < query.since), "a section from before the start time");
        fuzz::Check(s.lines.size() <= kSetupLogMaxLinesKept, "too many lines kept");
        fuzz::Check(s.errorLines.size() <= kSetupLogMaxErrorLines, "too many error lines kept");
        for (const std::wstring &line : s.lines)
            fuzz::Check(line.size() <= kSetupLogMaxLineChars, "a kept line too long");
        fuzz::Check(s.end || s.failed, "an unfinished section not counted as failed");
    }
    if (const SetupLogSection *failed = NewestFailedSection(sections))
        fuzz::Check(!DescribeFailedSection(*failed).empty(), "an empty reason");
    return 0;
}
