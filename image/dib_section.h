// cDIBSection: the one image type of the program. An uncompressed 24-bit
// bitmap (bytes blue, green, red; scan lines bottom-up; each scan line padded
// to a multiple of 4 bytes) held on the heap, addressed in place through its
// bits pointer and drawn by the rectangle blits of image/blit.h.
//
// Ownership: the object owns its pixel memory and releases it in ClearUp, at
// the start of every Create and when destroyed. Operations that make a new
// image return an independent object owned by the caller, or nothing (null)
// when the image cannot be made.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "image/bitmap_header.h"

namespace dioptrix {

struct Picture;
class cDIBSection;

// An image reference: owns the image it points to, or is "nothing".
using DibPtr = std::unique_ptr<cDIBSection>;

// Raster operations of the blits (the values of the platform's codes).
enum RasterOp : uint32_t {
  kSrcCopy = 0x00CC0020,   // destination := source
  kSrcPaint = 0x00EE0086,  // destination := destination OR source
};

// Handle values of the stand-in drawing layer; 0 means none.
using GdiHandle = uintptr_t;

class cDIBSection {
 public:
  cDIBSection() = default;
  ~cDIBSection();
  cDIBSection(const cDIBSection&) = delete;
  cDIBSection& operator=(const cDIBSection&) = delete;

  // Releases any image, then makes a black lWidth x lHeight image. False (and
  // the object empty) when the size is not positive or memory is short.
  bool Create(int32_t lWidth, int32_t lHeight);
  // Fills the header and makes the bitmap section for the drawing context;
  // hDib receives its handle. False when no bitmap could be made.
  bool CreateDIB(GdiHandle lhDC, int32_t lWidth, int32_t lHeight, GdiHandle& hDib);
  // Makes an image of the picture's size and copies the picture into it,
  // converting any bit depth to 24 bits. An invalid picture leaves the object
  // empty.
  void CreateFromPicture(const Picture& picThis);
  // Blits from the source image, starting at (lSrcLeft, lSrcTop), into this
  // image at (0, 0); a negative width or height stands for this image's own.
  void LoadPictureBlt(const cDIBSection& source, int32_t lSrcLeft, int32_t lSrcTop,
                      int32_t lSrcWidth, int32_t lSrcHeight, RasterOp eRop = kSrcCopy);

  int32_t Width() const { return m_tBI.biWidth; }
  int32_t Height() const { return m_tBI.biHeight; }
  int32_t BytesPerScanLine() const { return static_cast<int32_t>(BytesPerRow24(Width())); }
  GdiHandle hDC() const { return m_hDC; }
  uint8_t* DIBSectionBitsPtr() const { return m_lPtr; }
  const BitmapInfoHeader& Header() const { return m_tBI; }
  // Bytes of pixel memory: BytesPerScanLine * Height.
  size_t ImageSize() const { return m_tBI.biSizeImage; }
  bool Empty() const { return m_lPtr == nullptr; }
  // Scan line y (0 = bottom row).
  uint8_t* ScanLine(int32_t y) const {
    return m_lPtr + static_cast<ptrdiff_t>(y) * BytesPerScanLine();
  }

  // Releases the image; safe on an empty object.
  void ClearUp();

  // A new image with this image's size and pixels, or nothing.
  DibPtr CopyOf() const;
  // A new lNewWidth x lNewHeight image holding the rectangle of this image
  // whose top-left corner is (lNewLeft, lNewTop); parts of the rectangle off
  // this image stay black. Nothing when this image is narrower or lower than 2
  // pixels or the new image cannot be made. Note: height before width.
  DibPtr Crop(int32_t lNewHeight, int32_t lNewWidth, int32_t lNewLeft, int32_t lNewTop) const;
  // A new image of the given size: a copy at the same size, bilinear or box
  // averaging when interpolating, nearest stretch when enlarging, otherwise
  // nearest sampling. Nothing when the new image cannot be made.
  DibPtr Resample(int32_t lNewHeight, int32_t lNewWidth, bool v_blnInterpolate) const;

 private:
  void ResampleBits(cDIBSection& dest, bool interpolate) const;

  // The handles first, then the bits pointer and the 40-byte bitmap header
  // that describes the pixels (the header a packed picture starts with).
  GdiHandle m_hDib = 0;     // bitmap section; 0 when empty
  GdiHandle m_hBmpOld = 0;  // bitmap selected in the context before m_hDib
  GdiHandle m_hDC = 0;      // memory drawing context; 0 when empty
  uint8_t* m_lPtr = nullptr;
  BitmapInfoHeader m_tBI{};
  // The heap memory behind m_lPtr.
  struct FreeDeleter {
    void operator()(uint8_t* p) const;
  };
  std::unique_ptr<uint8_t, FreeDeleter> m_memory;
};

// Returns the image a reference points to; raises the "object not set"
// run-time error when the reference is nothing.
cDIBSection& Need(const DibPtr& image);

// Largest pixel memory an image may have (bytes).
constexpr int64_t kMaxImageBytes = int64_t{1} << 31;

}  // namespace dioptrix
