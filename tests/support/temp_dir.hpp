#pragma once
#include <filesystem>
#include <string>

namespace pellan::test {

/// A fresh directory under the system's temporary directory, removed with everything in it
/// when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

/// Whole file content; empty when the file cannot be read.
std::string readFile(const std::filesystem::path& path);
/// Writes (replaces) the file with exactly these bytes.
void writeFile(const std::filesystem::path& path, const std::string& content);

}  // namespace pellan::test
