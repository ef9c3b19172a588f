/* The exports of the blocks library: per-frame kernels for depth estimation
 * and view synthesis. Every argument is a 32-bit value, a float, or an address
 * of the caller's memory; the library never allocates or frees caller memory,
 * and no result carries meaning.
 *
 * Pictures: H scan lines of S = (3W + 3) & ~3 bytes, 24-bit blue-green-red
 * pixels, scan line 0 first in memory. Depth map: (H + 1) lines of (W + 1)
 * bytes, element (x, y) at y * (W + 1) + x.
 *
 * The program loads the library by name and resolves these symbols at run
 * time; it includes this header only for their types. */
#pragma once

#include <stdint.h>

#if defined(BLOCKS_BUILD)
#define BLOCKS_EXPORT __attribute__((visibility("default")))
#else
#define BLOCKS_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Synthesises the second view: on entry the blue byte of every pixel of out
 * holds that pixel's depth; on return out holds the view and dmap the depths. */
BLOCKS_EXPORT int32_t Make3D_DLL(uint8_t* out, const uint8_t* src, uint8_t* dmap, int32_t w,
                                 int32_t h, float gain, int32_t offset, int32_t radius);
/* The same on the first byte of each pixel only. */
BLOCKS_EXPORT int32_t Make3DGrey_DLL(uint8_t* out, const uint8_t* src, uint8_t* dmap, int32_t w,
                                     int32_t h, float gain, int32_t offset, int32_t radius);

/* Depth from block motion between prev and cur (full-colour diamond search);
 * cur receives the depth image, cost the total match cost, pan the signed
 * horizontal pan measure. mode: 0 motion, 1 blend with dmap, 2 dmap carried
 * along the motion. */
BLOCKS_EXPORT int32_t CreateDepthMap_DLL(uint8_t* cur, const uint8_t* prev, double* cost,
                                         int32_t mode, const uint8_t* dmap, int32_t w, int32_t h,
                                         double* pan);
/* The fast grey form; it keeps its own copy of the previous frame, so prev is
 * not read. scale multiplies the 8-pixel block size. */
BLOCKS_EXPORT int32_t CreateDepthMapFast_DLL(uint8_t* cur, const uint8_t* prev, double* cost,
                                             int32_t mode, const uint8_t* dmap, int32_t w,
                                             int32_t h, double* pan, int32_t scale);
/* Depth that follows the scene: every byte of every pixel of out receives the
 * depth of cur (255 nearest), from the motion since the last frame given
 * here, stretched over the range of motion present and carried along it from
 * frame to frame. out may be null (cur is only taken in). reset (non-zero)
 * forgets the earlier frames; the first frame after a reset or a cut gets
 * flat depth. stats, when not null, receives four values: 1 when the frame
 * was a cut (else 0), the horizontal global motion in pixels, the motion
 * range in use in pixels, and the mean match difference per pixel. */
BLOCKS_EXPORT int32_t CreateDepthMapScene_DLL(uint8_t* out, const uint8_t* cur, int32_t w,
                                              int32_t h, int32_t reset, double* stats);
/* Moves horizontal depth steps onto the nearest strong colour edge. */
BLOCKS_EXPORT int32_t MatchDepthMap_DLL(uint8_t* depth, const uint8_t* colour, int32_t w,
                                        int32_t h);

/* Where the library's diagnostics go: handler(context, text). Registered by
 * the program when it loads the library; without one, standard error. */
typedef void BlocksDiagnosticHandler(void* context, const char* text);
BLOCKS_EXPORT int32_t SetDiagnosticHandler_DLL(BlocksDiagnosticHandler* handler, void* context);

#ifdef __cplusplus
}
#endif
