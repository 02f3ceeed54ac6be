#include "options.hpp"

#include <charconv>
#include <utility>

namespace pellan::diag {

std::optional<long long> parseWholeNumber(std::string_view text, long long min, long long max) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
    }
    long long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < min || value > max) {
        return std::nullopt;
    }
    return value;
}

OptionParser::OptionParser(std::string unknownNoun) : unknownNoun_(std::move(unknownNoun)) {}

OptionParser& OptionParser::flag(std::string name, bool& target) {
    options_.push_back({std::move(name), &target, {}});
    return *this;
}

OptionParser& OptionParser::option(std::string name, Apply apply) {
    options_.push_back({std::move(name), nullptr, std::move(apply)});
    return *this;
}

OptionParser& OptionParser::number(std::string name, long long min, long long max,
                                   std::string takes, std::function<void(long long)> keep) {
    return option(std::move(name), [min, max, takes = std::move(takes),
                                    keep = std::move(keep)](const std::string& value) {
        const auto number = parseWholeNumber(value, min, max);
        if (!number) {
            return std::optional<std::string>(takes + ", not '" + value + "'");
        }
        keep(*number);
        return std::optional<std::string>();
    });
}

const OptionParser::Option* OptionParser::find(std::string_view name) const {
    for (const Option& option : options_) {
        if (option.name == name) {
            return &option;
        }
    }
    return nullptr;
}

std::optional<std::string> OptionParser::parse(const std::vector<std::string>& args) {
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            positional_.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            help_ = true;
            continue;
        }
        const std::size_t equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        const Option* option = arg.starts_with("--") ? find(name) : nullptr;
        if (option == nullptr) {
            return "unknown " + unknownNoun_ + " '" + arg + "'";
        }
        if (option->flag != nullptr) {
            if (equals != std::string::npos) {
                return name + " takes no value";
            }
            *option->flag = true;
            continue;
        }
        std::string value;
        if (equals != std::string::npos) {
            value = arg.substr(equals + 1);
        } else if (i + 1 < args.size()) {
            value = args[++i];
        } else {
            return name + " needs a value";
        }
        if (auto error = option->apply(value)) {
            return error;
        }
    }
    return std::nullopt;
}

}  // namespace pellan::diag
