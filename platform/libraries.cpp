#include "platform/libraries.h"

#include "platform/error.h"

namespace dioptrix {

void BlocksLibrary::RegisterDiagnostics() {
  if (!host_) return;
  // An older library without the export simply keeps printing to stderr.
  try {
    auto* set = binding_.Function<decltype(::SetDiagnosticHandler_DLL)>("SetDiagnosticHandler_DLL");
    set(&BlocksLibrary::OnDiagnostic, const_cast<Host*>(host_));
  } catch (const RuntimeError&) {
  }
}

void BlocksLibrary::OnDiagnostic(void* context, const char* text) {
  static_cast<const Host*>(context)->Message(text ? text : "");
}

}  // namespace dioptrix
