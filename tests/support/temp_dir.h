// Test helper: runs a test inside a fresh, empty working directory and reads back the day's log
// files written there.
#pragma once
#include "diag/log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

class InTempDir : public ::testing::Test {
protected:
    void SetUp() override {
        namespace fs = std::filesystem;
        static std::atomic<unsigned> counter{0};
        const auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
        m_previous = fs::current_path();
        m_dir = fs::temp_directory_path() /
                ("brisca-test-" + std::to_string(ticks) + "-" + std::to_string(counter++));
        fs::create_directories(m_dir);
        fs::current_path(m_dir);
    }
    void TearDown() override {
        LogConfigure(LogOptions{});  // default options again, and the day's file closed
        std::error_code ec;
        std::filesystem::current_path(m_previous, ec);
        std::filesystem::remove_all(m_dir, ec);
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

    std::filesystem::path m_dir;
    std::filesystem::path m_previous;
};
