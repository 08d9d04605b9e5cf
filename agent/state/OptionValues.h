#pragma once
// Strict reading of the values tcam-agent takes from its command line and its environment. A
// value is either read exactly or refused with std::invalid_argument whose message quotes it
// (escaped) and names what is accepted: nothing is clamped, wrapped, skipped or defaulted, so
// that "-5", "", "0,,1" or "nan" never turn into some other number or list.
#include <CLI/CLI.hpp>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "contracts/asic/Types.h"

namespace VornTcamAgent {

// A whole number in 0..max written as decimal digits only: no sign, no space, no base prefix.
std::uint64_t parseWholeNumber(std::string_view text, std::uint64_t max);

// A number in 0..1 written as a plain decimal ("0.25", "1", ".5"): no sign, no exponent, no
// "nan" or "inf".
double parseFraction(std::string_view text);

// Unit numbers 0..kMaxUnitId separated by commas ("0,1,4"): no empty item, no unit twice.
std::vector<Asic::UnitId> parseUnitList(std::string_view text);

// The same checks as CLI11 validators, run on the text before CLI11 converts it; CLI11 prefixes
// the message with the option's name.
CLI::Validator wholeNumberUpTo(std::uint64_t max);
CLI::Validator fractionValue();
CLI::Validator unitListValue();
// Accepts exactly one of `names`.
CLI::Validator oneOfValues(std::vector<std::string> const& names);
// Refuses an empty value; `what` says what to give instead ("a file name").
CLI::Validator nonEmptyValue(char const* what);

}  // namespace VornTcamAgent
