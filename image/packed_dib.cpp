#include "image/packed_dib.h"

#include <algorithm>
#include <cstring>

#include "platform/error.h"

namespace dioptrix {

bool cDib::CreateDIBSectionFromPackedDIBPointer(const uint8_t* pDIB, cDIBSection& secDIB,
                                                size_t available) {
  if (pDIB == nullptr) {
    host_.Message("An error occurred while unpacking the packed Bitmap.");
    return false;
  }
  bool result = false;
  TrapErrors(host_, "An error occurred in CreateDIBSectionFromPackedDIBPointer. ", [&] {
    if (available < sizeof(BitmapInfoHeader)) throw RuntimeError(kErrInvalidArgument);
    std::memcpy(&m_tBI, pDIB, sizeof(m_tBI));
    if (m_tBI.biSizeImage < 1) return;
    if (!secDIB.Create(m_tBI.biWidth, m_tBI.biHeight)) throw RuntimeError(kErrInvalidArgument);
    const size_t bytes = std::min<size_t>(
        {m_tBI.biSizeImage, secDIB.ImageSize(), available - sizeof(BitmapInfoHeader)});
    std::memcpy(secDIB.DIBSectionBitsPtr(), pDIB + sizeof(BitmapInfoHeader), bytes);
    result = true;
  });
  return result;
}

}  // namespace dioptrix
