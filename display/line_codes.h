// The shutter-glasses line codes: small fixed pictures whose rows are single
// colours, shown across the top of the screen to switch the glasses.
#pragma once

#include "image/dib_section.h"
#include "image/picture.h"

namespace dioptrix {

enum class LineCode {
  Linecode_ED_Sync,
  Linecode_ED_Off,
  Linecode_ED_Interlace,
  Linecode_Eye_Sync,
  Linecode_Eye_Off,
  ED_int_Deact_image,
  eD_Page_Start,
};

// The picture of a line code.
Picture LineCodePicture(LineCode code);
// A fresh image made from the picture of a line code.
DibPtr LoadLineCode(LineCode code);

}  // namespace dioptrix
