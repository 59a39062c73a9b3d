#pragma once
// Collects the log lines written while it lives, for tests that check a line.
#include "platform/oslog/logger.h"

#include <mutex>
#include <string>
#include <vector>

namespace korvane::oslog {

struct CapturedLine {
    std::string subsystem;
    std::string category;
    Level level;
    std::string message;
};

class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<CapturedLine> lines() const;
    // True when a line of this category and level has exactly this text.
    bool contains(std::string_view category, Level level, std::string_view message) const;

    void record(CapturedLine line);

private:
    mutable std::mutex lock_;
    std::vector<CapturedLine> lines_;
};

} // namespace korvane::oslog
