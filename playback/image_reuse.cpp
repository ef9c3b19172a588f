#include "playback/image_reuse.h"

#include <cstring>

#include "platform/error.h"

namespace dioptrix {

namespace {
bool Reusable(const DibPtr& dest, int32_t w, int32_t h) {
  return dest && !dest->Empty() && dest->Width() == w && dest->Height() == h;
}
}  // namespace

void ReplaceWithCopy(const DibPtr& source, DibPtr& dest) {
  const cDIBSection& src = Need(source);
  if (&source == &dest) return;
  if (!src.Empty() && Reusable(dest, src.Width(), src.Height())) {
    std::memcpy(dest->DIBSectionBitsPtr(), src.DIBSectionBitsPtr(), src.ImageSize());
    return;
  }
  dest = src.CopyOf();
}

void ReplaceWithBlank(DibPtr& dest, int32_t w, int32_t h) {
  if (Reusable(dest, w, h)) {
    std::memset(dest->DIBSectionBitsPtr(), 0, dest->ImageSize());
    return;
  }
  dest.reset();
  if (w < 1 || h < 1) throw RuntimeError(kErrInvalidArgument);
  auto image = std::make_unique<cDIBSection>();
  if (!image->Create(w, h)) throw RuntimeError(kErrOutOfMemory);
  dest = std::move(image);
}

}  // namespace dioptrix
