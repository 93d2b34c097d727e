// What a report reads, under Wine: the network services listing against the
// test network configuration server (other vendors' components from the
// scenario, ours from components.txt; no write lock; everything released),
// and the device installation log's tail in the prefix's
// C:\windows\inf\setupapi.dev.log (the documented format, a 300 MB sparse
// log, a log another handle holds open for writing, no log).
// Closing line "N passed, M failed"; exit code 0 when every check holds.
#include <windows.h>

#include <stdio.h>

#include <string>

#include "common/win_files.h"
#include "tools/common/net_services.h"
#include "tools/common/setupapi_log.h"
#include "tools/common/wide_text.h"

using namespace ndisfilter::tools;

namespace {

int g_passed = 0, g_failed = 0;

void Check(bool ok, const std::string &what) {
    printf("%s: %s\n", ok ? "ok  " : "FAIL", what.c_str());
    ++(ok ? g_passed : g_failed);
}

std::string N(const std::wstring &text) { return ndisfilter::text::Narrow(text); }

const std::wstring kState = L"C:\\report-sources";

void Scenario(const std::string &lines, const std::string &components) {
    winetest::WriteBytes(
        kState + L"\\scenario.txt",
        "scenario report-sources-" + std::to_string(GetTickCount()) + "\n" + lines);
    winetest::WriteBytes(kState + L"\\components.txt", components);
}

void NetServicesListing() {
    Scenario(
        "component VND_Shaper 0x40000 Vendor Traffic Shaper\n"
        "component VND_Monitor 0x40008 Vendor Flow Monitor (hidden)\n",
        "ZQ_DorvaneV\n");
    const NetServiceListing listing = ListNetServicesWithin(5000);
    Check(DescribeListingFailure(listing).empty(),
          "listing: every step worked (" + N(DescribeListingFailure(listing)) + ")");
    std::string seen;
    for (const NetService &s : listing.services)
        seen += N(s.id) + "|" + N(s.displayName) + "|" +
                (s.characteristics ? std::to_string(*s.characteristics) : "?") + ";";
    Check(seen ==
              "VND_Shaper|Vendor Traffic Shaper|262144;VND_Monitor|Vendor Flow Monitor "
              "(hidden)|262152;ZQ_DorvaneV|ZQ_DorvaneV|262144;",
          "listing: other vendors' filters and ours, with names and characteristics: " + seen);
    const std::string calls = winetest::ReadBytes(kState + L"\\calls.log");
    Check(calls.find("AcquireWriteLock") == std::string::npos, "listing: no write lock taken");
    Check(calls.find(" ! ") == std::string::npos &&
              calls.find("- IEnumNetCfgComponent") != std::string::npos,
          "listing: no misuse in the server's log, the enumerator released");
}

std::string Section(const std::string &title, const std::string &start, const std::string &exit) {
    return ">>>  [" + title + "]\r\n>>>  Section start " + start + "\r\n" + "!!!  ndv: Error " +
           exit.substr(8, 10) + ": failed\r\n<<<  Section end " + start +
           "\r\n<<<  [Exit status: " + exit + "]\r\n";
}

void SetupLogTail() {
    const std::wstring path = SetupLogPath();
    Check(_wcsicmp(path.c_str(), L"C:\\windows\\inf\\setupapi.dev.log") == 0,
          "log: the path is the system's " + N(path));
    DeleteFileW(path.c_str());
    const SetupLogQuery query =
        OurSetupLogQuery(L"C:\\drv\\Renamed.inf", {2026, 12, 9, 13, 46, 0, 0}, {L"oem9.inf"});
    Check(!ReadSetupLogSections(query) && !SetupLogFailureSince(query), "log: none, no answer");

    const std::string ours = "Device Install (DiInstallDriver) - C:\\drv\\Renamed.inf";
    winetest::WriteBytes(path, Section(ours, "2026/12/09 13:45:00.000", "FAILURE(0xe0000247)") +
                                   Section("Device Install - other.inf", "2026/12/09 13:47:00.000",
                                           "FAILURE(0x80070005)") +
                                   Section(ours, "2026/12/09 13:47:01.000", "FAILURE(0xe0000248)"));
    auto failure = SetupLogFailureSince(query);
    Check(failure && failure->section.code == 0xE0000248u &&
              failure->section.cause == SetupLogCause::PolicyForbids,
          "log: our newest failed section since the start: " + (failure ? N(failure->reason) : ""));

    // The platform holds the log open for appending while we read it.
    HANDLE writer = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    Check(writer != INVALID_HANDLE_VALUE && SetupLogFailureSince(query),
          "log: read while another handle writes it");
    // 300 MB of nothing, then the newest section: only the tail is read.
    LARGE_INTEGER end;
    end.QuadPart = 300ll << 20;
    const std::string tail = "\r\n" + Section("SetupCopyOEMInf - oem9.inf",
                                              "2026/12/09 13:48:00.000", "FAILURE(0x8004a029)");
    DWORD written = 0;
    const DWORD t0 = GetTickCount();
    const bool grown =
        SetFilePointerEx(writer, end, nullptr, FILE_BEGIN) &&
        WriteFile(writer, tail.data(), static_cast<DWORD>(tail.size()), &written, nullptr);
    failure = SetupLogFailureSince(query);
    Check(grown && failure && failure->section.cause == SetupLogCause::FilterLimit &&
              ReadSetupLogSections(query)->size() == 1,
          "log: 300 MB, only the last section is within the tail (" +
              std::to_string(GetTickCount() - t0) + " ms)");
    CloseHandle(writer);
    DeleteFileW(path.c_str());
}

}  // namespace

int main() {
    CreateDirectoryW(kState.c_str(), nullptr);
    SetEnvironmentVariableW(L"FAKE_NETCFG_DIR", kState.c_str());
    DeleteFileW((kState + L"\\calls.log").c_str());
    NetServicesListing();
    SetupLogTail();
    printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed ? 1 : 0;
}
