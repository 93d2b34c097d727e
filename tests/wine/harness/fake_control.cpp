// Windows test harness: the test server's state files, its call log, and the
// files the scenarios install from or leave in the Windows INF store.
#include "harness.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace harness {

std::wstring ProgramDirectory() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring text(path, length < MAX_PATH ? length : 0);
    return text.substr(0, text.rfind(L'\\'));
}

std::wstring FakeStateDirectory() { return ProgramDirectory() + L"\\fake-state"; }

bool FileExists(const std::wstring &path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring CurrentDirectory() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetCurrentDirectoryW(MAX_PATH, path);
    return std::wstring(path, length < MAX_PATH ? length : 0);
}

std::wstring InfStore() {
    wchar_t windows[MAX_PATH];
    GetWindowsDirectoryW(windows, MAX_PATH);
    return std::wstring(windows) + L"\\inf\\";
}

void CleanInfStore() {
    const std::wstring store = InfStore();
    for (int n = 0; n <= 60; ++n) {
        DeleteFileW((store + L"oem" + std::to_wstring(n) + L".inf").c_str());
        DeleteFileW((store + L"oem" + std::to_wstring(n) + L".pnf").c_str());
    }
    DeleteFileW((store + L"DorvaneV.inf").c_str());
    DeleteFileW((store + L"DorvaneV.pnf").c_str());
}

std::string TestInf(bool catalog) {
    std::string inf =
        "; DorvaneV.INF -- test INF for the ZQ_DorvaneV network service\r\n"
        "[Version]\r\n"
        "Signature   = \"$WINDOWS NT$\"\r\n"
        "Class       = NetService\r\n"
        "ClassGUID   = {4D36E974-E325-11CE-BFC1-08002BE10318}\r\n"
        "Provider    = %Provider%\r\n"
        "DriverVer   = 01/01/2024,1.0.0.0\r\n";
    if (catalog) inf += "CatalogFile = DorvaneV.cat\r\n";
    inf +=
        "\r\n[Manufacturer]\r\n%Provider% = Models,NTamd64\r\n"
        "\r\n[Models.NTamd64]\r\n%Description% = Install, ZQ_DorvaneV\r\n"
        "\r\n[Install]\r\nCharacteristics = 0x40000\r\n"
        "\r\n[Strings]\r\nProvider = \"ndisfilter tests\"\r\nDescription = \"DorvaneV test "
        "filter\"\r\n";
    return inf;
}

std::wstring StageInf(const wchar_t *sub, bool catalog) {
    std::wstring directory = ProgramDirectory() + L"\\inf-src";
    CreateDirectoryW(directory.c_str(), nullptr);
    directory += L"\\";
    directory += sub;
    CreateDirectoryW(directory.c_str(), nullptr);
    const std::wstring path = directory + L"\\DorvaneV.inf";
    WriteBytes(path, TestInf(catalog));
    return path;
}

void StartFakeScenario(const char *name, const std::string &directives,
                       const std::vector<std::string> &installed) {
    const std::wstring state = FakeStateDirectory();
    DeleteFileW((state + L"\\calls.log").c_str());
    std::string components;
    for (const std::string &id : installed) components += id + "\n";
    WriteBytes(state + L"\\components.txt", components);
    // A unique first line: the server starts every scenario afresh.
    static int generation = 0;
    WriteBytes(state + L"\\scenario.txt",
               "scenario " + std::to_string(++generation) + " " + name + "\n" + directives);
    CleanInfStore();
}

std::vector<LogLine> ReadCallLog() {
    const std::string text = ReadBytes(FakeStateDirectory() + L"\\calls.log");
    std::vector<LogLine> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        LogLine entry;
        char *rest = nullptr;
        entry.thread = strtoul(line.c_str(), &rest, 10);
        entry.text = rest + strspn(rest, " ");
        entry.call = entry.text.substr(0, entry.text.find(' '));
        if (!entry.text.empty()) lines.push_back(entry);
    }
    return lines;
}

int CountCalls(const std::vector<LogLine> &log, const char *call) {
    int count = 0;
    for (const LogLine &line : log) count += line.call == call;
    return count;
}

std::vector<std::string> CallSequence(const std::vector<LogLine> &log) {
    std::vector<std::string> calls;
    for (const LogLine &line : log)
        if (line.call != "+" && line.call != "-" && line.call != "!" &&
            line.call.find('.') != std::string::npos)
            calls.push_back(line.call);
    return calls;
}

std::string FirstLineOf(const std::vector<LogLine> &log, const char *call) {
    for (const LogLine &line : log)
        if (line.call == call) return line.text;
    return {};
}

unsigned long long ValueAfter(const std::string &text, const char *key) {
    const size_t at = text.find(std::string(key) + "=");
    if (at == std::string::npos) return 0;
    return strtoull(text.c_str() + at + strlen(key) + 1, nullptr, 16);
}

void ExpectCleanLog(const std::vector<LogLine> &log, bool objectsBalanced) {
    int created = 0, destroyed = 0;
    for (const LogLine &line : log) {
        Expect(line.call != "!", "test server reports: %s", line.text.c_str());
        created += line.call == "+";
        destroyed += line.call == "-";
    }
    if (objectsBalanced)
        Expect(created == destroyed, "every object released: %d created, %d destroyed", created,
               destroyed);
}

std::vector<std::string> InstalledComponents() {
    const std::string text = ReadBytes(FakeStateDirectory() + L"\\components.txt");
    std::vector<std::string> ids;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        if (end > start) ids.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return ids;
}

}  // namespace harness
