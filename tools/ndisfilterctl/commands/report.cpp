// report: what a support request needs, read without changing anything:
// status, the checks and the values behind them, every network service,
// the setup log's sections about our INF and component, and the ends of the
// logs the operator names. Nothing else is read.
#include "commands/commands.h"
#include "report_file.h"
#include "tools/common/wide_text.h"

namespace ndisfilterctl {
namespace {

using ndisfilter::text::Narrow;
using ndisfilter::text::Widen;

// UTF-16's surrogate pairs: a high unit, then a low one.
constexpr uint32_t kHighFirst = 0xD800, kHighLast = 0xDBFF, kLowFirst = 0xDC00, kLowLast = 0xDFFF;
constexpr uint32_t kFirstSupplementary = 0x10000;
constexpr unsigned kBitsPerLowUnit = 10, kBitsPerByte = 8;

// Which byte of each pair is zero in the sample: a UTF-16LE text of
// mostly ASCII has its zeros at odd offsets (even ones when the read began
// mid-character), at least one pair in four, and hardly any at the other.
// nullopt: not UTF-16LE.
std::optional<size_t> Utf16Phase(const std::string &bytes) {
    constexpr size_t kSample = 4096, kStrayZerosAtMost = 16;  // one in 16 of the others
    size_t zeros[2] = {0, 0};
    const size_t sample = std::min(bytes.size(), kSample);
    for (size_t i = 0; i < sample; ++i)
        if (bytes[i] == '\0') ++zeros[i % 2];
    const size_t pairs = sample / 2;
    if (pairs == 0) return std::nullopt;
    for (size_t phase : {size_t{1}, size_t{0}})
        if (zeros[phase] * 4 > pairs && zeros[1 - phase] * kStrayZerosAtMost < zeros[phase])
            return phase;
    return std::nullopt;
}

uint32_t UnitAt(const std::string &bytes, size_t i) {
    return static_cast<unsigned char>(bytes[i]) |
           (static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << kBitsPerByte);
}

// UTF-16LE code units from `first`; where wchar_t holds UTF-32 a surrogate
// pair becomes one character.
std::wstring FromUtf16(const std::string &bytes, size_t first) {
    std::wstring text;
    text.reserve(bytes.size() / 2);
    for (size_t i = first; i + 1 < bytes.size(); i += 2) {
        uint32_t unit = UnitAt(bytes, i);
        if constexpr (sizeof(wchar_t) == 4) {
            const uint32_t low = i + 3 < bytes.size() ? UnitAt(bytes, i + 2) : 0;
            if (unit >= kHighFirst && unit <= kHighLast && low >= kLowFirst && low <= kLowLast) {
                unit = kFirstSupplementary + ((unit - kHighFirst) << kBitsPerLowUnit) +
                       (low - kLowFirst);
                i += 2;
            }
        }
        text += static_cast<wchar_t>(unit);
    }
    return text;
}

IncludedLog ReadIncludedLog(const std::wstring &path) {
    IncludedLog log;
    log.path = path;
    std::optional<diag::FileBytes> bytes =
        ReadOperatorFileEnd(path, kIncludedLogMaxBytes, log.error);
    if (!bytes) return log;
    log.truncated = !bytes->fromStart;
    const bool bom = bytes->fromStart && bytes->bytes.rfind("\xFF\xFE", 0) == 0;
    const std::optional<size_t> phase = bom ? std::optional<size_t>(1) : Utf16Phase(bytes->bytes);
    std::wstring text;
    if (phase) {
        log.encoding = "utf-16le";
        text = FromUtf16(bytes->bytes, bom ? 2 : 1 - *phase);
    } else {
        text = Widen(bytes->bytes);  // bytes that are not UTF-8 read as Latin-1
    }
    if (log.truncated) text.erase(0, std::min(text.size(), text.find(L'\n') + 1));
    log.text = Narrow(text);
    return log;
}

// The values the checks read, and the ones the report adds.
void ReadMachine(ReportRecord &record) {
    record.facts = diag::GatherPreflightFacts(record.infPath.c_str());
    record.checks = diag::EvaluatePreflight(record.facts);
    record.maxNumFilters = diag::ReadMaxNumFilters();
    record.lightweightFilters = diag::CountLightweightFilters();
    record.services = diag::ListNetServicesWithin(diag::kNetCfgQueryTimeoutMs);
    record.setupLogPath = diag::SetupLogPath();
    diag::SetupLogQuery query =
        diag::OurSetupLogQuery(record.infPath, {}, MarkedNames(record.facts.store));
    query.maxSections = kReportSetupLogSections;
    record.setupLog = diag::ReadSetupLogSections(query, record.setupLogPath);
}

}  // namespace

ReportRecord ReportCommand(CommandContext &context) {
    const CliRequest &request = context.Request();
    ReportRecord record;
    record.programVersion = L"" NDISFILTERCTL_VERSION;
    record.created = diag::FormatSetupLogTime(diag::SetupLogTimeNow());
    if (request.outPath) {
        record.outPath = AbsolutePath(*request.outPath);
        // Refused before anything is read: the run would be wasted.
        const std::wstring why = WhyNotNewFile(*record.outPath);
        if (!why.empty()) return context.SetError(record.end, why), record;
    }
    record.status = StatusCommand(context);
    Machine machine;
    std::wstring error;
    if (!machine.Open(request, nullptr, error)) return context.SetError(record.end, error), record;
    record.infPath = machine.DefaultInfPath();
    ReadMachine(record);
    for (const std::wstring &path : request.includeLogs) {
        if (record.includedLogs.size() == kMaxIncludedLogs) {
            record.includedLogs.push_back({path, L"left out: a report holds at most " +
                                                     std::to_wstring(kMaxIncludedLogs) + L" logs"});
            continue;
        }
        record.includedLogs.push_back(ReadIncludedLog(path));
    }
    record.end.exit = ExitStatus::Success;
    return record;
}

}  // namespace ndisfilterctl
