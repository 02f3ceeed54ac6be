#pragma once
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace pellan {

/// One top-level key a state file must hold. A missing value, or one whose JSON type differs
/// from the default's (an object or an array), is replaced by the default.
struct JsonRequiredKey {
    std::string name;
    nlohmann::json defaultValue;
};

/// The procedure every JSON state file shares: bring a document into its required top-level
/// shape, read it from disk, and write it back atomically through `path + ".tmp"`.
///
/// Kind: value, immutable after construction. It holds neither the document nor a lock: each
///   store keeps its own document and mutex and calls these operations under that mutex.
/// Thread safety: the members are const and may run concurrently for different files. Loads and
///   saves of one file must be serialised by the caller, because they share the file and its
///   ".tmp".
/// Errors: nothing is thrown. Every failure is one line on the standard error stream, prefixed
///   with the store's name; such lines are not log records.
class JsonStateFile {
public:
    /// The tile settings store words two of its save messages differently.
    enum class Wording { Standard, TileSettings };

    /// A file larger than this is refused at load, and a document whose text would be larger is
    /// refused at save, so that nothing is ever written that the next start cannot read.
    static constexpr std::size_t kMaxFileBytes = std::size_t{16} * 1024 * 1024;
    /// Deepest nesting of arrays and objects accepted (the top-level object counts 1). The
    /// serialiser recurses once per level, and a hostile file must not exhaust the stack.
    static constexpr std::size_t kMaxNestingDepth = 512;

    JsonStateFile(std::string storeName, std::filesystem::path path,
                  std::vector<JsonRequiredKey> requiredKeys, bool versioned,
                  Wording wording = Wording::Standard);

    const std::filesystem::path& path() const { return path_; }
    const std::string& storeName() const { return storeName_; }

    /// Makes `document` an object, adds "version": 1 when the file is versioned and has none,
    /// and replaces each required key that is missing or of the wrong type by its default.
    void ensureStructure(nlohmann::json& document) const;

    /// An object read from the file replaces `document`; anything else (no file, a failure, a
    /// top-level value that is not an object) leaves it as it was. Then ensureStructure().
    void load(nlohmann::json& document) const;

    /// The parsed file. Nothing when the file does not exist (silently) or when it cannot be
    /// read or parsed (after the "failed to load" line).
    std::optional<nlohmann::json> readFile() const;

    /// Writes one "ignoring ... of wrong type" line for each required key that `loaded` holds
    /// with the wrong type.
    void reportWrongTypedKeys(const nlohmann::json& loaded) const;
    /// One line saying that the known key `key` was of the wrong JSON type and is ignored.
    void reportWrongType(const std::string& key) const;

    /// ensureStructure(), then replaces the file by the document's text: pretty-printed with an
    /// indent of 2, raw UTF-8, no trailing newline. A crash at any instant leaves the old or the
    /// new file. True when every step succeeded; the real file is untouched by every failure
    /// before the rename.
    bool save(nlohmann::json& document) const;

private:
    void report(const std::string& text) const;
    void reportLoadFailure(const std::string& reason) const;
    void reportSaveFailure(const std::string& reason) const;

    const std::string storeName_;
    const std::filesystem::path path_;
    const std::vector<JsonRequiredKey> requiredKeys_;
    const bool versioned_;
    const Wording wording_;
};

/// Reads the known keys of one JSON object into typed fields. An absent key leaves its field as
/// it is. A key of the wrong JSON type also leaves it, and its name is noted once in
/// `wrongTyped`; for an int32 field a float, or an integer outside the int32 range, is of the
/// wrong type. Nothing is read when `object` is not an object.
///
/// Kind: short-lived helper of one conversion; `object` and `wrongTyped` must outlive it.
class JsonFieldReader {
public:
    JsonFieldReader(const nlohmann::json& object, std::vector<std::string>& wrongTyped);

    void read(const char* key, bool& field);
    void read(const char* key, std::string& field);
    void read(const char* key, std::int32_t& field);

private:
    const nlohmann::json* find(const char* key) const;
    void noteWrongType(const char* key);

    const nlohmann::json& object_;
    std::vector<std::string>& wrongTyped_;
};

}  // namespace pellan
