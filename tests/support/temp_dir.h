// A fresh, empty working directory for a test (the log files land there), and the log files read
// back. Portable: the Windows tests use it too.
#pragma once
#include "diag/log.h"
#include "support/fresh_directory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

// A test inside a fresh directory, with the day's log files written there read back.
class InTempDir : public ::testing::Test {
protected:
    void SetUp() override { m_dir.emplace(); }
    void TearDown() override {
        LogConfigure(LogOptions{});  // default options again, and the day's file closed
        m_dir.reset();
    }

    static bool LogDirExists() { return std::filesystem::exists("gate_log"); }

    static std::string ReadFile(const std::filesystem::path& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    // Every log file under gate_log, concatenated in name order (a test may cross midnight).
    static std::string ReadLogs() {
        namespace fs = std::filesystem;
        std::string all;
        if (!fs::is_directory("gate_log")) return all;
        std::vector<fs::path> files;
        for (const auto& entry : fs::directory_iterator("gate_log")) files.push_back(entry.path());
        std::sort(files.begin(), files.end());
        for (const auto& f : files) all += ReadFile(f);
        return all;
    }

    std::optional<FreshDirectory> m_dir;
};
