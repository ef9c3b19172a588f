#include "display/line_codes.h"

#include <string_view>
#include <vector>

namespace dioptrix {

namespace {

// Rows top to bottom: R red, G green, Y yellow, K black.
Picture FromRows(int32_t width, std::string_view rows) {
  std::vector<RgbQuad> colours;
  for (char c : rows) {
    switch (c) {
      case 'R':
        colours.push_back({0, 0, 255, 0});
        break;
      case 'G':
        colours.push_back({0, 255, 0, 0});
        break;
      case 'Y':
        colours.push_back({0, 255, 255, 0});
        break;
      default:
        colours.push_back({0, 0, 0, 0});
        break;
    }
  }
  return Picture::FromRowColours(width, colours);
}

constexpr std::string_view kBlack24 = "KKKKKKKKKKKKKKKKKKKKKKKK";

}  // namespace

Picture LineCodePicture(LineCode code) {
  switch (code) {
    case LineCode::Linecode_ED_Sync:
      return FromRows(20, "RRGGYYYYYY");
    case LineCode::Linecode_ED_Off:
    case LineCode::ED_int_Deact_image:
      return FromRows(10, "RRGGYYYYKK");
    case LineCode::Linecode_ED_Interlace:
      return FromRows(9, "RRGGYYYYRR");
    case LineCode::Linecode_Eye_Sync:
      return FromRows(9, std::string("RGRGRGRGGGYGYGGG").append(kBlack24));
    case LineCode::Linecode_Eye_Off:
      return FromRows(7, std::string("RGRGRGRGGGYGYGKG").append(kBlack24));
    case LineCode::eD_Page_Start:
      return FromRows(9, "RRGGYYYYGG");
  }
  return {};
}

DibPtr LoadLineCode(LineCode code) {
  auto image = std::make_unique<cDIBSection>();
  image->CreateFromPicture(LineCodePicture(code));
  return image;
}

}  // namespace dioptrix
