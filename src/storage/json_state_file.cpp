#include "storage/json_state_file.hpp"

#include "platform/atomic_file.hpp"

#include <algorithm>
#include <exception>
#include <iomanip>
#include <iostream>
#include <limits>
#include <sstream>
#include <string_view>
#include <utility>

namespace pellan {
namespace {

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
        FileReadResult file = readFileBounded(path_, kMaxFileBytes);
        switch (file.status) {
        case FileReadStatus::Read:
            break;
        case FileReadStatus::Missing:
            // No file yet (or no directory for it): the defaults, without a word.
            return std::nullopt;
        case FileReadStatus::NotRegular:
            reportLoadFailure("not a regular file");
            return std::nullopt;
        case FileReadStatus::TooLarge:
            reportLoadFailure(tooLargeText());
            return std::nullopt;
        case FileReadStatus::Failed:
            reportLoadFailure(file.systemMessage);
            return std::nullopt;
        }
        const std::string text = std::move(file.bytes);
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

        const AtomicWriteResult written = writeFileAtomically(path_, text);
        const std::filesystem::path temporary = temporaryFileFor(path_);
        switch (written.failure) {
        case AtomicWriteFailure::None:
            return true;
        case AtomicWriteFailure::OpenTemporary:
            if (wording_ == Wording::TileSettings) {
                report("failed to open temporary file:" + quoted(temporary) + " for write");
            } else {
                report("Failed to open temporary file: " + quoted(temporary));
            }
            return false;
        case AtomicWriteFailure::WriteTemporary:
            report("Failed to write temporary file: " + quoted(temporary));
            return false;
        case AtomicWriteFailure::Replace:
            report("Failed to replace " + quoted(path_) + ": " + written.systemMessage);
            return false;
        case AtomicWriteFailure::SyncDirectory:
            report("Failed to sync directory " + quoted(directoryOf(path_)) + ": " +
                   written.systemMessage);
            return false;
        }
        return false;
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
