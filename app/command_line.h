// What the two programs' command lines share: the names of the input
// layouts and output methods (each also taken as its number), and the
// parsing of whole numbers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dioptrix {

// The text in lower case (ASCII).
std::string Lower(std::string_view text);
// A whole decimal number within [low, high]; nothing for anything else.
std::optional<int64_t> ParseNumber(std::string_view text, int64_t low, int64_t high);

// Walks a command line: options as "-x VALUE", "--name VALUE" or
// "--name=VALUE", "--" ending the options, everything else (a lone "-"
// included) positional.
class ArgumentReader {
 public:
  explicit ArgumentReader(const std::vector<std::string>& args) : args_(args) {}
  // Moves to the next option, collecting positional arguments on the way;
  // false at the end.
  bool NextOption();
  // The option's name, without an "=VALUE" part.
  const std::string& Option() const { return option_; }
  // The option's value: after its "=", else the next argument. False when
  // there is none.
  bool TakeValue(std::string& value);
  // True when the option came with "=VALUE" (which a flag does not take).
  bool HasInlineValue() const { return inline_.has_value(); }
  const std::vector<std::string>& Positional() const { return positional_; }

 private:
  const std::vector<std::string>& args_;
  size_t next_ = 0;
  bool optionsEnded_ = false;
  std::string option_;
  std::optional<std::string> inline_;
  std::vector<std::string> positional_;
};

// A layout or method given as its code or as one of its names (any case).
std::optional<int16_t> ParseInputLayout(std::string_view text);
std::optional<int16_t> ParseOutputMethod(std::string_view text);
// The view synthesis of 2D converted to 3D, "library" or "engine" (any
// case): true for the engine's.
std::optional<bool> ParseEngineSynthesis(std::string_view text);

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
