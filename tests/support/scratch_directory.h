#pragma once
// A temporary directory for a test, removed with everything in it. Its name is kept short:
// socket paths built inside it must fit in sun_path.
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

namespace korvane::testing {

class ScratchDirectory {
public:
    explicit ScratchDirectory(std::string_view prefix = "korvane-test") {
        std::string pattern = (std::filesystem::temp_directory_path() / (std::string(prefix) + ".XXXXXX")).string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::system_error(errno, std::generic_category(), "mkdtemp");
        path_ = pattern;
    }
    ~ScratchDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    const std::filesystem::path& path() const { return path_; }

    // A copy of an executable, to sign or change.
    std::filesystem::path copyOf(const std::filesystem::path& executable, const std::string& name) const {
        const std::filesystem::path copy = path_ / name;
        std::filesystem::copy_file(executable, copy);
        return copy;
    }

private:
    std::filesystem::path path_;
};

} // namespace korvane::testing
