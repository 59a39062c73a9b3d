#pragma once
// A stand-in for the unified log's Logger: one logger per (subsystem, category), the levels the
// product uses, all values public. Lines go to standard error as
//   2026-12-09 19:44:16.123 <pid> [com.korvane.vpn.helper:listener] <error> text
// and are flushed line by line, so a log read by another process is never behind. Formatting is
// fmt's: call sites write "{}" where the unified log wrote %{public}s.
#include <fmt/format.h>

#include <memory>
#include <string>
#include <string_view>

namespace spdlog { class logger; }

namespace korvane::oslog {

enum class Level { debug, info, notice, error, fault };

std::string_view levelName(Level level);

class Logger {
public:
    Logger(std::string subsystem, std::string category);

    const std::string& subsystem() const { return subsystem_; }
    const std::string& category() const { return category_; }

    void write(Level level, std::string_view message) const;

    template <typename... Args>
    void debug(fmt::format_string<Args...> format, Args&&... args) const {
        write(Level::debug, fmt::format(format, std::forward<Args>(args)...));
    }
    template <typename... Args>
    void info(fmt::format_string<Args...> format, Args&&... args) const {
        write(Level::info, fmt::format(format, std::forward<Args>(args)...));
    }
    // The unified log's default level.
    template <typename... Args>
    void notice(fmt::format_string<Args...> format, Args&&... args) const {
        write(Level::notice, fmt::format(format, std::forward<Args>(args)...));
    }
    template <typename... Args>
    void error(fmt::format_string<Args...> format, Args&&... args) const {
        write(Level::error, fmt::format(format, std::forward<Args>(args)...));
    }
    template <typename... Args>
    void fault(fmt::format_string<Args...> format, Args&&... args) const {
        write(Level::fault, fmt::format(format, std::forward<Args>(args)...));
    }

private:
    std::string subsystem_;
    std::string category_;
    std::shared_ptr<spdlog::logger> sink_;
};

// Flushes every logger; called before a thread ends the process with _exit.
void flushAll();

} // namespace korvane::oslog
