#include "agent/state/OptionValues.h"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <stdexcept>
#include <string>

#include "agent/state/DesiredState.h"
#include "agent/state/EchoText.h"

namespace VornTcamAgent {

namespace {

bool allDigits(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Runs a parser as a validator: its message, or nothing when the value is accepted.
template <typename Parse>
CLI::Validator validatorOf(Parse parse, std::string description) {
    return CLI::Validator(
        [parse](std::string& text) -> std::string {
            try {
                parse(text);
                return {};
            } catch (std::invalid_argument const& e) {
                return e.what();
            }
        },
        std::move(description));
}

}  // namespace

std::uint64_t parseWholeNumber(std::string_view text, std::uint64_t max) {
    std::uint64_t value = 0;
    if (allDigits(text)) {
        auto const [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (ec == std::errc{} && end == text.data() + text.size() && value <= max) return value;
    }
    throw std::invalid_argument(fmt::format("\"{}\" is not a whole number in 0..{}", echoText(text), max));
}

double parseFraction(std::string_view text) {
    auto const dot = text.find('.');
    std::string_view const whole = text.substr(0, dot);
    std::string_view const part = dot == std::string_view::npos ? std::string_view{} : text.substr(dot + 1);
    // Digits, or digits and a point with digits on at least one side of it.
    bool const wellFormed =
        (whole.empty() || allDigits(whole)) && (part.empty() || allDigits(part)) && !(whole.empty() && part.empty());
    double value = 0;
    if (wellFormed) {
        auto const [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (ec == std::errc{} && end == text.data() + text.size() && value <= 1.0) return value;
    }
    throw std::invalid_argument(fmt::format("\"{}\" is not a number in 0..1", echoText(text)));
}

std::vector<Asic::UnitId> parseUnitList(std::string_view text) {
    std::vector<Asic::UnitId> units;
    std::string_view rest = text;
    for (std::size_t item = 1;; ++item) {
        auto const comma = rest.find(',');
        std::string_view const part = rest.substr(0, comma);
        try {
            auto const unit = static_cast<Asic::UnitId>(parseWholeNumber(part, kMaxUnitId));
            if (std::find(units.begin(), units.end(), unit) != units.end())
                throw std::invalid_argument(fmt::format("unit {} is named twice", unit));
            units.push_back(unit);
        } catch (std::invalid_argument const& e) {
            throw std::invalid_argument(fmt::format("\"{}\": item {}: {}; give units 0..{} separated by commas",
                                                    echoText(text), item, part.empty() ? "empty" : e.what(),
                                                    kMaxUnitId));
        }
        if (comma == std::string_view::npos) return units;
        rest = rest.substr(comma + 1);
    }
}

CLI::Validator wholeNumberUpTo(std::uint64_t max) {
    return validatorOf([max](std::string const& text) { parseWholeNumber(text, max); }, fmt::format("0..{}", max));
}

CLI::Validator fractionValue() {
    return validatorOf([](std::string const& text) { parseFraction(text); }, "0..1");
}

CLI::Validator unitListValue() {
    return validatorOf([](std::string const& text) { parseUnitList(text); }, fmt::format("LIST of 0..{}", kMaxUnitId));
}

CLI::Validator oneOfValues(std::vector<std::string> const& names) {
    std::string list;
    for (auto const& name : names) list += (list.empty() ? "" : ", ") + name;
    return validatorOf(
        [names, list](std::string const& text) {
            if (std::find(names.begin(), names.end(), text) == names.end())
                throw std::invalid_argument(fmt::format("\"{}\" is not one of {}", echoText(text), list));
        },
        "{" + list + "}");
}

CLI::Validator nonEmptyValue(char const* what) {
    return validatorOf(
        [what](std::string const& text) {
            if (text.empty()) throw std::invalid_argument(fmt::format("the value is empty; give {}", what));
        },
        "");
}

}  // namespace VornTcamAgent
