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
// An option that picks one of two ways of doing something (--synthesis,
// --depth): its name, what its value is called in messages, and the names of
// the two ways (taken in any case), the first standing for false.
struct TwoWayOption {
  const char* option;
  const char* noun;
  const char* off;
  const char* on;
};
// The view synthesis of 2D converted to 3D: the library kernel, or the
// engine's own (true).
inline constexpr TwoWayOption kSynthesisOption{"--synthesis", "synthesis", "library", "engine"};
// The depth of 2D converted to 3D: from block motion, or the improved depth
// that follows the scene (true).
inline constexpr TwoWayOption kDepthOption{"--depth", "depth", "motion", "improved"};

// The way the text names: false for the first, true for the second.
std::optional<bool> ParseTwoWay(const TwoWayOption& option, std::string_view text);
// The value of the option the reader is at, as the way it names; nothing,
// with the message in *error, when the value is missing or names neither.
std::optional<bool> TakeTwoWay(ArgumentReader& reader, const TwoWayOption& option,
                               std::string* error);
// "library" or "engine": true for the engine's synthesis.
std::optional<bool> ParseEngineSynthesis(std::string_view text);
// "motion" or "improved": true for the improved depth.
std::optional<bool> ParseImprovedDepth(std::string_view text);

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
