#include "platform/oslog/logger.h"
#include "platform/oslog/log_capture.h"

#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <mutex>
#include <vector>

namespace korvane::oslog {
namespace {

spdlog::level::level_enum toSpdlog(Level level) {
    switch (level) {
    case Level::debug: return spdlog::level::debug;
    case Level::info: return spdlog::level::info;
    case Level::notice: return spdlog::level::info;
    case Level::error: return spdlog::level::err;
    case Level::fault: return spdlog::level::critical;
    }
    return spdlog::level::info;
}

// One stderr sink for every logger of the process, so lines from different threads never interleave.
std::shared_ptr<spdlog::sinks::stderr_sink_mt> sharedSink() {
    static auto sink = [] {
        auto s = std::make_shared<spdlog::sinks::stderr_sink_mt>();
        s->set_pattern("%Y-%m-%d %H:%M:%S.%e %P %v");
        return s;
    }();
    return sink;
}

std::mutex capturesLock;
std::vector<LogCapture*>& captures() {
    static std::vector<LogCapture*> list;
    return list;
}

std::mutex loggersLock;
std::vector<std::weak_ptr<spdlog::logger>>& loggers() {
    static std::vector<std::weak_ptr<spdlog::logger>> list;
    return list;
}

} // namespace

std::string_view levelName(Level level) {
    switch (level) {
    case Level::debug: return "debug";
    case Level::info: return "info";
    case Level::notice: return "notice";
    case Level::error: return "error";
    case Level::fault: return "fault";
    }
    return "notice";
}

Logger::Logger(std::string subsystem, std::string category)
    : subsystem_(std::move(subsystem)), category_(std::move(category)) {
    // Not registered with spdlog's registry: loggers are owned by their users, and two loggers of
    // the same name must not collide.
    sink_ = std::make_shared<spdlog::logger>(subsystem_ + ":" + category_, sharedSink());
    sink_->set_level(spdlog::level::trace);
    sink_->flush_on(spdlog::level::trace);
    std::lock_guard lock(loggersLock);
    loggers().push_back(sink_);
}

void Logger::write(Level level, std::string_view message) const {
    sink_->log(toSpdlog(level), "[{}:{}] <{}> {}", subsystem_, category_, levelName(level), message);
    std::lock_guard lock(capturesLock);
    for (auto* capture : captures()) {
        capture->record({subsystem_, category_, level, std::string(message)});
    }
}

void flushAll() {
    std::lock_guard lock(loggersLock);
    for (auto& weak : loggers()) {
        if (auto logger = weak.lock()) {
            logger->flush();
        }
    }
    sharedSink()->flush();
}

LogCapture::LogCapture() {
    std::lock_guard lock(capturesLock);
    captures().push_back(this);
}

LogCapture::~LogCapture() {
    std::lock_guard lock(capturesLock);
    auto& list = captures();
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
}

void LogCapture::record(CapturedLine line) {
    std::lock_guard lock(lock_);
    lines_.push_back(std::move(line));
}

std::vector<CapturedLine> LogCapture::lines() const {
    std::lock_guard lock(lock_);
    return lines_;
}

bool LogCapture::contains(std::string_view category, Level level, std::string_view message) const {
    std::lock_guard lock(lock_);
    return std::any_of(lines_.begin(), lines_.end(), [&](const CapturedLine& line) {
        return line.category == category && line.level == level && line.message == message;
    });
}

} // namespace korvane::oslog
