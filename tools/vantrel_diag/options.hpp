#pragma once
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pellan::diag {

/// A whole decimal number of digits only (no sign, no spaces) from `min` to `max`; nothing
/// for any other text.
std::optional<long long> parseWholeNumber(std::string_view text, long long min, long long max);

/// The command line of one vantrel-diag command: `--name value`, `--name=value`, `--flag`,
/// `-h` / `--help`, and positionals in the order given; `--` ends the options.
///
/// Kind: a value used once on the main thread: declare the options, then parse().
class OptionParser {
public:
    /// Checks and keeps one option's value; returns the usage error, or nothing.
    using Apply = std::function<std::optional<std::string>(const std::string& value)>;

    /// `unknownNoun` is the word the usage error gives an unknown option ("option",
    /// "argument").
    explicit OptionParser(std::string unknownNoun = "option");

    /// An option without a value; `target` becomes true when it is given.
    OptionParser& flag(std::string name, bool& target);
    /// An option with a value. Given more than once, `apply` sees each value in turn.
    OptionParser& option(std::string name, Apply apply);
    /// An option whose value is a whole number from `min` to `max`, handed to `keep`. Any
    /// other value is refused with "`takes`, not 'VALUE'".
    OptionParser& number(std::string name, long long min, long long max, std::string takes,
                         std::function<void(long long)> keep);

    /// Reads `args` from the left; the first usage error ends it and is returned.
    std::optional<std::string> parse(const std::vector<std::string>& args);

    bool help() const { return help_; }
    const std::vector<std::string>& positional() const { return positional_; }

private:
    struct Option {
        std::string name;
        bool* flag = nullptr;  // Set for a flag, else `apply` takes the value.
        Apply apply;
    };

    const Option* find(std::string_view name) const;

    std::string unknownNoun_;
    std::vector<Option> options_;
    std::vector<std::string> positional_;
    bool help_ = false;
};

}  // namespace pellan::diag
