#include <utility>

#include "display/display_backend.h"

namespace dioptrix {

DisplayDevices::DisplayDevices(DisplayBackend* blit, DisplayBackend* directX,
                               DisplayBackend* openGL) {
  slots_[static_cast<size_t>(BackendKind::Blit)].backend = blit;
  slots_[static_cast<size_t>(BackendKind::DirectX)].backend = directX;
  slots_[static_cast<size_t>(BackendKind::OpenGL)].backend = openGL;
}

void DisplayDevices::SetFactory(BackendKind kind, Factory make) {
  slots_[static_cast<size_t>(kind)].make = std::move(make);
}

DisplayBackend* DisplayDevices::Get(BackendKind kind) {
  Slot& slot = slots_[static_cast<size_t>(kind)];
  if (!slot.backend && slot.make) {
    slot.owned = slot.make();
    slot.backend = slot.owned.get();
  }
  return slot.backend;
}

DisplayBackend* DisplayDevices::Existing(BackendKind kind) const {
  return slots_[static_cast<size_t>(kind)].backend;
}

void DisplayDevices::Release(BackendKind kind) {
  Slot& slot = slots_[static_cast<size_t>(kind)];
  if (!slot.owned) return;
  slot.owned.reset();
  slot.backend = nullptr;
}

}  // namespace dioptrix
