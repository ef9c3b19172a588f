#include "app/command_line.h"

#include <cctype>
#include <charconv>

#include "playback/play_request.h"

namespace dioptrix {

namespace {

struct Name {
  const char* text;
  int16_t code;
};

constexpr Name kLayoutNames[] = {
    {"2d", 3},          {"2d-to-3d", 4}, {"convert", 4},         {"side-by-side", 5},
    {"parallel", 5},    {"sbs", 5},      {"above-below", 1},     {"top-bottom", 1},
    {"interleaved", 2}, {"anaglyph", 6}, {"anaglyph-colour", 7}, {"anaglyph-color", 7},
};

constexpr Name kMethodNames[] = {
    {"anaglyph", 3},      {"anaglyph-colour", 3}, {"anaglyph-color", 3}, {"anaglyph-grey", 2},
    {"anaglyph-gray", 2}, {"anaglyph-yellow", 4}, {"interlaced", 5},     {"side-by-side", 6},
    {"sbs", 6},           {"above-below", 7},     {"top-bottom", 7},     {"above-below-eye3d", 1},
    {"quad-buffer", 8},
};

template <size_t N>
std::optional<int16_t> ParseCode(std::string_view text, const Name (&names)[N], int16_t high) {
  if (auto number = ParseNumber(text, 1, high)) return static_cast<int16_t>(*number);
  const std::string lower = Lower(text);
  for (const Name& n : names) {
    if (lower == n.text) return n.code;
  }
  return std::nullopt;
}

}  // namespace

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// A whole decimal number within [low, high]; nothing for anything else.
std::optional<int64_t> ParseNumber(std::string_view text, int64_t low, int64_t high) {
  int64_t value = 0;
  const char* first = text.data();
  const char* last = text.data() + text.size();
  if (first != last && *first == '+') ++first;
  const auto [end, ec] = std::from_chars(first, last, value);
  if (text.empty() || ec != std::errc() || end != last || value < low || value > high) {
    return std::nullopt;
  }
  return value;
}

bool ArgumentReader::NextOption() {
  while (next_ < args_.size()) {
    const std::string& arg = args_[next_++];
    if (optionsEnded_ || arg.size() < 2 || arg[0] != '-') {
      positional_.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded_ = true;
      continue;
    }
    option_ = arg;
    inline_.reset();
    if (arg.rfind("--", 0) == 0) {
      if (const size_t eq = arg.find('='); eq != std::string::npos) {
        inline_ = arg.substr(eq + 1);
        option_.resize(eq);
      }
    }
    return true;
  }
  return false;
}

bool ArgumentReader::TakeValue(std::string& value) {
  if (inline_) {
    value = *inline_;
    return true;
  }
  if (next_ >= args_.size()) return false;
  value = args_[next_++];
  return true;
}

std::optional<int16_t> ParseInputLayout(std::string_view text) {
  return ParseCode(text, kLayoutNames, 7);
}

std::optional<int16_t> ParseOutputMethod(std::string_view text) {
  return ParseCode(text, kMethodNames, 8);
}

std::optional<bool> ParseTwoWay(const TwoWayOption& option, std::string_view text) {
  const std::string lower = Lower(text);
  if (lower == option.off) return false;
  if (lower == option.on) return true;
  return std::nullopt;
}

std::optional<bool> TakeTwoWay(ArgumentReader& reader, const TwoWayOption& option,
                               std::string* error) {
  const std::string ways = std::string(option.off) + " or " + option.on;
  std::string value;
  if (!reader.TakeValue(value)) {
    if (error) *error = std::string(option.option) + " needs " + ways;
    return std::nullopt;
  }
  const std::optional<bool> way = ParseTwoWay(option, value);
  if (!way && error)
    *error = "unknown " + std::string(option.noun) + " '" + value + "' (" + ways + ")";
  return way;
}

std::optional<bool> ParseEngineSynthesis(std::string_view text) {
  return ParseTwoWay(kSynthesisOption, text);
}

std::optional<bool> ParseImprovedDepth(std::string_view text) {
  return ParseTwoWay(kDepthOption, text);
}

std::string InputLayoutName(int16_t layout) {
  switch (layout) {
    case kLayoutAboveBelow:
      return "above-below";
    case kLayoutInterleaved:
      return "interleaved";
    case kLayout2D:
      return "2d";
    case kLayout2DTo3D:
      return "2d-to-3d";
    case kLayoutSideBySide:
      return "side-by-side";
    case kLayoutAnaglyph:
      return "anaglyph";
    case kLayoutAnaglyphColour:
      return "anaglyph-colour";
    default:
      return "layout " + std::to_string(layout);
  }
}

std::string OutputMethodName(int16_t method) {
  switch (method) {
    case kOutputShutterEye3D:
      return "above-below (1)";
    case kOutputAnaglyphGrey:
      return "anaglyph-grey";
    case kOutputAnaglyphColour:
      return "anaglyph-colour";
    case kOutputAnaglyphYellow:
      return "anaglyph-yellow";
    case kOutputInterlaced:
      return "interlaced";
    case kOutputStereoDriver:
      return "side-by-side";
    case kOutputShutterED:
      return "above-below";
    case kOutputOpenGLQuadBuffer:
      return "side-by-side (8)";
    default:
      return "method " + std::to_string(method);
  }
}

}  // namespace dioptrix
