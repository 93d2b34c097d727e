// SimMachineTest: every test on a fresh simulated machine rooted in a
// temporary folder of its own, removed afterwards; plus helpers for the
// machine's files.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>
#include <sim/machine.h>

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/common/wide_text.h"

class SimMachineTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/ndisfilter-sim-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        sim::Reset(root_);
    }

    void TearDown() override {
        // Wake anything a failed test left hung, so it does not block later
        // tests (it then fails against a disconnected machine or ends).
        sim::ReleaseHangs();
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }

    const std::string &Root() const { return root_; }

    // Writes `bytes` (exactly, no translation) to the file behind a Windows
    // path, creating its folders.
    static void WriteFileAt(const std::string &windowsPath, const std::string &bytes) {
        const std::string host = sim::HostPath(windowsPath);
        std::filesystem::create_directories(std::filesystem::path(host).parent_path());
        std::ofstream out(host, std::ios::binary | std::ios::trunc);
        out << bytes;
        ASSERT_TRUE(out.flush()) << host;
    }
    static void WriteFileAt(const std::wstring &windowsPath, const std::string &bytes) {
        WriteFileAt(ndisfilter::text::Narrow(windowsPath), bytes);
    }

    // The bytes of the file behind a Windows path; nullopt when absent.
    static std::optional<std::string> ReadFileAt(const std::string &windowsPath) {
        std::ifstream in(sim::HostPath(windowsPath), std::ios::binary);
        if (!in) return std::nullopt;
        std::ostringstream out;
        out << in.rdbuf();
        return out.str();
    }

    static bool FileExistsAt(const std::string &windowsPath) {
        struct stat st;
        return stat(sim::HostPath(windowsPath).c_str(), &st) == 0;
    }

    // File names in the INF store ("<Windows directory>\inf"), sorted.
    static std::vector<std::string> InfStore(const std::string &windowsDirectory = "C:\\WINDOWS") {
        std::vector<std::string> names;
        DIR *dir = opendir(sim::HostPath(windowsDirectory + "\\inf").c_str());
        if (!dir) return names;
        while (dirent *entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(dir);
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    std::string root_;
};
