// Fuzz target: packed pictures and decoded bitmaps of any depth, as a decoder
// or a file could hand them over, turned into images.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "image/packed_dib.h"
#include "image/picture.h"

using namespace dioptrix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Host host;
  host.onMessage = [](const std::string&, MessageStyle) {};
  // The harness keeps images small enough for the fuzzer's memory limit; the
  // code under test has its own 2 GiB cap.
  if (size >= sizeof(BitmapInfoHeader)) {
    BitmapInfoHeader h;
    std::memcpy(&h, data, sizeof(h));
    const int64_t pixels = int64_t{h.biWidth} * h.biHeight;
    if (pixels > (int64_t{1} << 22) || pixels < -(int64_t{1} << 22)) return 0;
  }

  cDib dib(host);
  cDIBSection image;
  dib.CreateDIBSectionFromPackedDIBPointer(data, image, size);

  // The same bytes read as a bitmap of any depth with a colour table.
  if (size >= sizeof(BitmapInfoHeader) + 4) {
    Picture picture;
    std::memcpy(&picture.header, data, sizeof(BitmapInfoHeader));
    const uint8_t* rest = data + sizeof(BitmapInfoHeader);
    size_t left = size - sizeof(BitmapInfoHeader);
    const size_t colours = std::min<size_t>(rest[0], left / 4);
    for (size_t i = 0; i < colours; ++i)
      picture.colours.push_back({rest[4 * i], rest[4 * i + 1], rest[4 * i + 2], 0});
    rest += 4 * colours;
    left -= 4 * colours;
    if (left >= 12) {
      std::memcpy(picture.masks.data(), rest, 12);
      rest += 12;
      left -= 12;
    }
    picture.bits.assign(rest, rest + left);
    cDIBSection converted;
    converted.CreateFromPicture(picture);
  }
  return 0;
}
