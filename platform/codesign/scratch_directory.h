#pragma once
// A temporary directory for this folder's tests, removed with everything in it.
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

namespace korvane::codesign::testsupport {

class ScratchDirectory {
public:
    ScratchDirectory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "codesign-test.XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~ScratchDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    const std::filesystem::path& path() const { return path_; }

    // A copy of a system executable to sign and run.
    std::filesystem::path copyOf(const std::filesystem::path& executable, const std::string& name) const {
        const std::filesystem::path copy = path_ / name;
        std::filesystem::copy_file(executable, copy);
        return copy;
    }

private:
    std::filesystem::path path_;
};

}  // namespace korvane::codesign::testsupport
