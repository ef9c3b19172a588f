// cDib: turns a packed picture in memory (the 40-byte bitmap header followed
// by 24-bit bottom-up rows padded to 4 bytes, as a video decoder hands out a
// frame) into a cDIBSection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

#include "image/bitmap_header.h"
#include "image/dib_section.h"
#include "platform/host.h"

namespace dioptrix {

class cDib {
 public:
  explicit cDib(const Host& host) : host_(host) {}

  // Re-creates secDIB at the header's size and copies the header's image size
  // of pixel bytes into it, never more than the image holds nor more than the
  // `available` bytes of the packed picture. A null address shows the
  // unpacking message; a header with image size 0 returns false without a
  // message; both leave secDIB unchanged. Errors are shown with the method's
  // own prefix and give false.
  bool CreateDIBSectionFromPackedDIBPointer(const uint8_t* pDIB, cDIBSection& secDIB,
                                            size_t available = std::numeric_limits<size_t>::max());

  const BitmapInfoHeader& Header() const { return m_tBI; }

 private:
  const Host& host_;
  BitmapInfoHeader m_tBI{};
};

}  // namespace dioptrix
