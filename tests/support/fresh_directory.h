// A fresh working directory for a test or a fuzz target. Portable.
#pragma once
#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>

// Makes a fresh, empty directory the working directory (the log files land there); the previous
// one is restored and the directory removed at the end.
class FreshDirectory {
public:
    FreshDirectory() {
        namespace fs = std::filesystem;
        static std::atomic<unsigned> counter{0};
        const auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
        m_previous = fs::current_path();
        m_path = fs::temp_directory_path() /
                 ("brisca-test-" + std::to_string(ticks) + "-" + std::to_string(counter++));
        fs::create_directories(m_path);
        fs::current_path(m_path);
    }
    ~FreshDirectory() {
        std::error_code ec;
        std::filesystem::current_path(m_previous, ec);
        std::filesystem::remove_all(m_path, ec);
    }
    FreshDirectory(const FreshDirectory&) = delete;
    FreshDirectory& operator=(const FreshDirectory&) = delete;

private:
    std::filesystem::path m_path;
    std::filesystem::path m_previous;
};
