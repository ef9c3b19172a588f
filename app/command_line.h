// What the two programs' command lines share: the names of the input
// layouts and output methods (each also taken as its number), and the
// parsing of whole numbers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace dioptrix {

// The text in lower case (ASCII).
std::string Lower(std::string_view text);
// A whole decimal number within [low, high]; nothing for anything else.
std::optional<int64_t> ParseNumber(std::string_view text, int64_t low, int64_t high);

// A layout or method given as its code or as one of its names (any case).
std::optional<int16_t> ParseInputLayout(std::string_view text);
std::optional<int16_t> ParseOutputMethod(std::string_view text);
// Readable names of the codes, for reports.
std::string InputLayoutName(int16_t layout);
std::string OutputMethodName(int16_t method);

// The names the two parsers take, for messages and help texts.
inline constexpr const char* kLayoutChoices =
    "2d, 2d-to-3d, side-by-side, above-below, interleaved, anaglyph, anaglyph-colour, or a code "
    "1 to 7";
inline constexpr const char* kMethodChoices =
    "anaglyph, anaglyph-grey, anaglyph-yellow, interlaced, side-by-side, above-below, "
    "quad-buffer, or a code 1 to 8";

}  // namespace dioptrix
