#include "storage/json_state_file.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <exception>
#include <fcntl.h>
#include <iomanip>
#include <iostream>
#include <limits>
#include <sstream>
#include <string_view>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace pellan {
namespace {

/// Closes the descriptor when the scope ends, unless it was closed on purpose before.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd_; }
    /// The result of close(2). EINTR counts as closed: Linux releases the descriptor anyway.
    bool close() {
        const int result = ::close(std::exchange(fd_, -1));
        return result == 0 || errno == EINTR;
    }

private:
    int fd_;
};

std::string osMessage(int error) {
    return std::system_category().message(error);
}

/// The standard quoted form: double quotes around, backslash and double quote escaped.
std::string quoted(const std::string& text) {
    std::ostringstream out;
    out << std::quoted(text);
    return out.str();
}

std::string quoted(const std::filesystem::path& path) {
    return quoted(path.string());
}

/// Whether arrays and objects in `text` nest deeper than `limit`, counting brackets outside
/// strings. Malformed text is left for the parser to refuse; this only keeps the parser and
/// everything that later walks the document off deep recursion.
bool textNestsDeeperThan(std::string_view text, std::size_t limit) {
    std::size_t depth = 0;
    bool inString = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                inString = false;
            }
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit) {
                return true;
            }
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return false;
}

/// The same bound for a document held in memory (one stored from elsewhere), walked without
/// recursion.
bool documentNestsDeeperThan(const nlohmann::json& document, std::size_t limit) {
    std::vector<std::pair<const nlohmann::json*, std::size_t>> pending{{&document, 1}};
    while (!pending.empty()) {
        const auto [value, depth] = pending.back();
        pending.pop_back();
        if (!value->is_structured()) {
            continue;
        }
        if (depth > limit) {
            return true;
        }
        for (const auto& child : *value) {
            pending.emplace_back(&child, depth + 1);
        }
    }
    return false;
}

/// write(2) until every byte is written, across short writes and interrupted calls.
bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (written == 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

bool syncDescriptor(int fd) {
    while (::fsync(fd) != 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

std::string tooLargeText() {
    return "larger than " + std::to_string(JsonStateFile::kMaxFileBytes) + " bytes";
}

std::string tooDeepText() {
    return "nested deeper than " + std::to_string(JsonStateFile::kMaxNestingDepth) + " levels";
}

}  // namespace

JsonStateFile::JsonStateFile(std::string storeName, std::filesystem::path path,
                             std::vector<JsonRequiredKey> requiredKeys, bool versioned,
                             Wording wording)
    : storeName_(std::move(storeName)), path_(std::move(path)),
      requiredKeys_(std::move(requiredKeys)), versioned_(versioned), wording_(wording) {}

void JsonStateFile::ensureStructure(nlohmann::json& document) const {
    if (!document.is_object()) {
        document = nlohmann::json::object();
    }
    if (versioned_ && !document.contains("version")) {
        document["version"] = 1;
    }
    for (const auto& key : requiredKeys_) {
        const auto found = document.find(key.name);
        if (found == document.end() || found->type() != key.defaultValue.type()) {
            document[key.name] = key.defaultValue;
        }
    }
}

void JsonStateFile::load(nlohmann::json& document) const {
    auto loaded = readFile();
    if (loaded && loaded->is_object()) {
        reportWrongTypedKeys(*loaded);
        document = std::move(*loaded);
    }
    ensureStructure(document);
}

std::optional<nlohmann::json> JsonStateFile::readFile() const {
    try {
        FileDescriptor file(::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
        if (file.get() < 0) {
            const int error = errno;
            // No file yet (or no directory for it): the defaults, without a word.
            if (error != ENOENT && error != ENOTDIR) {
                reportLoadFailure(osMessage(error));
            }
            return std::nullopt;
        }
        struct stat status {};
        if (::fstat(file.get(), &status) != 0) {
            reportLoadFailure(osMessage(errno));
            return std::nullopt;
        }
        // A FIFO or device in place of the file would block or never end.
        if (!S_ISREG(status.st_mode)) {
            reportLoadFailure("not a regular file");
            return std::nullopt;
        }
        if (static_cast<std::uintmax_t>(status.st_size) > kMaxFileBytes) {
            reportLoadFailure(tooLargeText());
            return std::nullopt;
        }
        std::string text;
        text.reserve(static_cast<std::size_t>(status.st_size));
        std::array<char, 16384> buffer{};
        while (true) {
            const ssize_t count = ::read(file.get(), buffer.data(), buffer.size());
            if (count < 0) {
                if (errno == EINTR) {
                    continue;
                }
                reportLoadFailure(osMessage(errno));
                return std::nullopt;
            }
            if (count == 0) {
                break;
            }
            // The file may grow while it is read.
            if (text.size() + static_cast<std::size_t>(count) > kMaxFileBytes) {
                reportLoadFailure(tooLargeText());
                return std::nullopt;
            }
            text.append(buffer.data(), static_cast<std::size_t>(count));
        }
        if (textNestsDeeperThan(text, kMaxNestingDepth)) {
            reportLoadFailure(tooDeepText());
            return std::nullopt;
        }
        return nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/true,
                                     /*ignore_comments=*/false);
    } catch (const std::exception& error) {
        reportLoadFailure(error.what());
    } catch (...) {
        reportLoadFailure("unknown error");
    }
    return std::nullopt;
}

void JsonStateFile::reportWrongTypedKeys(const nlohmann::json& loaded) const {
    if (!loaded.is_object()) {
        return;
    }
    for (const auto& key : requiredKeys_) {
        const auto found = loaded.find(key.name);
        if (found != loaded.end() && found->type() != key.defaultValue.type()) {
            reportWrongType(key.name);
        }
    }
}

void JsonStateFile::reportWrongType(const std::string& key) const {
    report("ignoring " + quoted(key) + " of wrong type in " + quoted(path_));
}

bool JsonStateFile::save(nlohmann::json& document) const {
    try {
        ensureStructure(document);
        // Serialise first: a document that cannot be written leaves even the ".tmp" alone.
        if (documentNestsDeeperThan(document, kMaxNestingDepth)) {
            reportSaveFailure(tooDeepText());
            return false;
        }
        const std::string text =
            document.dump(2, ' ', /*ensure_ascii=*/false, nlohmann::json::error_handler_t::strict);
        if (text.size() > kMaxFileBytes) {
            reportSaveFailure(tooLargeText());
            return false;
        }

        std::filesystem::path temporary = path_;
        temporary += ".tmp";
        // A left-over ".tmp" of an earlier crash may be anything (even a link elsewhere): start
        // from a fresh file of our own.
        ::unlink(temporary.c_str());
        FileDescriptor file(
            ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666));
        if (file.get() < 0) {
            if (wording_ == Wording::TileSettings) {
                report("failed to open temporary file:" + quoted(temporary) + " for write");
            } else {
                report("Failed to open temporary file: " + quoted(temporary));
            }
            return false;
        }
        // The bytes must be on disk before the rename makes them the file.
        if (!writeAll(file.get(), text) || !syncDescriptor(file.get()) || !file.close()) {
            report("Failed to write temporary file: " + quoted(temporary));
            return false;
        }
        if (::rename(temporary.c_str(), path_.c_str()) != 0) {
            report("Failed to replace " + quoted(path_) + ": " + osMessage(errno));
            return false;
        }
        // The rename itself is durable only once the directory is.
        std::filesystem::path directory = path_.parent_path();
        if (directory.empty()) {
            directory = ".";
        }
        FileDescriptor folder(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (folder.get() < 0 || (!syncDescriptor(folder.get()) && errno != EINVAL)) {
            report("Failed to sync directory " + quoted(directory) + ": " + osMessage(errno));
            return false;
        }
        return true;
    } catch (const std::exception& error) {
        reportSaveFailure(error.what());
    } catch (...) {
        reportSaveFailure("unknown error");
    }
    return false;
}

void JsonStateFile::report(const std::string& text) const {
    // One insertion per line: lines of concurrent stores do not interleave, and std::cerr is
    // unbuffered.
    std::cerr << (storeName_ + ": " + text + "\n");
}

void JsonStateFile::reportLoadFailure(const std::string& reason) const {
    report("failed to load " + quoted(path_) + " : " + reason);
}

void JsonStateFile::reportSaveFailure(const std::string& reason) const {
    const char* const verb =
        wording_ == Wording::TileSettings ? "failed to save " : "Failed to save ";
    report(verb + quoted(path_) + " : " + reason);
}

JsonFieldReader::JsonFieldReader(const nlohmann::json& object, std::vector<std::string>& wrongTyped)
    : object_(object), wrongTyped_(wrongTyped) {}

void JsonFieldReader::read(const char* key, bool& field) {
    const nlohmann::json* value = find(key);
    if (value == nullptr) {
        return;
    }
    if (!value->is_boolean()) {
        noteWrongType(key);
        return;
    }
    field = value->get<bool>();
}

void JsonFieldReader::read(const char* key, std::string& field) {
    const nlohmann::json* value = find(key);
    if (value == nullptr) {
        return;
    }
    if (!value->is_string()) {
        noteWrongType(key);
        return;
    }
    field = value->get<std::string>();
}

void JsonFieldReader::read(const char* key, std::int32_t& field) {
    const nlohmann::json* value = find(key);
    if (value == nullptr) {
        return;
    }
    constexpr auto kMin = std::numeric_limits<std::int32_t>::min();
    constexpr auto kMax = std::numeric_limits<std::int32_t>::max();
    // No silent truncation: a value that int32 cannot hold is as unusable as a string.
    if (value->is_number_unsigned()) {
        const auto number = value->get<std::uint64_t>();
        if (number <= static_cast<std::uint64_t>(kMax)) {
            field = static_cast<std::int32_t>(number);
            return;
        }
    } else if (value->is_number_integer()) {
        const auto number = value->get<std::int64_t>();
        if (number >= kMin && number <= kMax) {
            field = static_cast<std::int32_t>(number);
            return;
        }
    }
    noteWrongType(key);
}

const nlohmann::json* JsonFieldReader::find(const char* key) const {
    if (!object_.is_object()) {
        return nullptr;
    }
    const auto found = object_.find(key);
    return found == object_.end() ? nullptr : &*found;
}

void JsonFieldReader::noteWrongType(const char* key) {
    if (std::find(wrongTyped_.begin(), wrongTyped_.end(), key) == wrongTyped_.end()) {
        wrongTyped_.emplace_back(key);
    }
}

}  // namespace pellan
