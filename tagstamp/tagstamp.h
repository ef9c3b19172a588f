/* The export of the tagstamp library: writes the 20-byte stereo signature
 * that a stereo display driver looks for at the start of the last row of a
 * surface holding a side-by-side pair. */
#pragma once

#include <stdint.h>

#if defined(TAGSTAMP_BUILD)
#define TAGSTAMP_EXPORT __attribute__((visibility("default")))
#else
#define TAGSTAMP_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Writes, at base + offset, five little-endian 32-bit fields: the signature
 * "NV3D" (0x4433564E), width, height, depth (bits per pixel) and flags.
 * Nothing else is read or written; a null base writes nothing. */
TAGSTAMP_EXPORT int32_t MAKE_STEREO(uint8_t* base, int32_t offset, int32_t flags, int32_t width,
                                    int32_t height, int32_t depth);

#ifdef __cplusplus
}
#endif
