#include "process/image_process.h"

namespace dioptrix {

cImageProcessDIB::cImageProcessDIB(EngineArrays& arrays, ProgressObserver* observer)
    : arrays_(arrays), observer_(observer) {}

}  // namespace dioptrix
