// Depth that follows the scene ("improved depth"): a dense motion field
// between this frame and the last, turned into depth by the parallax it shows.
//
// The block motion kernels (blocks/depthmap.h) give each block a depth of its
// motion length times a gain that barely moves, so every block that moves a
// few pixels lands on the nearest depth, and a camera pan flattens the
// picture. Here:
// - The motion field is searched on a reduced grey picture from predicted
//   candidates (the block's last motion, its neighbours', the frame's global
//   shift), refined step by step and to a fraction of a pixel.
// - A block's nearness is its motion length: under a sideways camera move
//   nearer surfaces move further, whichever way the camera goes, and over a
//   still background whatever moves is in front. The range of nearness
//   present, followed over time, is stretched onto the whole depth range, so
//   slow and fast motion give the same depth relief (a pan gives the parallax
//   that showing the previous frame to one eye would give).
// - The depth is carried from frame to frame along the motion and blended
//   with the new one; a cut (the frame no longer matches the last one) starts
//   afresh with flat depth.
// - Blocks without texture take the nearness of texture nearby; wide plain
//   areas (skies, walls, blurred backgrounds) go to the back.
// - The block depths are refined to every pixel of the reduced picture by
//   weighting the four nearest blocks by distance and by how close the
//   pixel's grey is to each block's, so depth steps follow picture edges.
#pragma once

#include <cstdint>
#include <vector>

namespace dioptrix::blocks {

// What the scene depth keeps between frames. Sizes are those of the last
// frame; a frame of another size starts afresh.
struct SceneDepthState {
  // Frame size, reduction factor and the reduced grey picture's size.
  int32_t width = 0;
  int32_t height = 0;
  int32_t factor = 1;
  int32_t greyWidth = 0;
  int32_t greyHeight = 0;
  // Blocks across and down.
  int32_t blocksX = 0;
  int32_t blocksY = 0;

  // The last two grey pictures; `latest` received the most recent.
  std::vector<uint8_t> grey[2];
  int32_t latest = 0;
  bool primed = false;

  // Per block: motion (reduced pixels, previous frame position minus this
  // one), match cost, mean grey, nearness (motion length; below 0 when
  // unknown or put at the back) and whether it has texture to match.
  struct Block {
    float mx = 0;
    float my = 0;
    uint32_t cost = 0;
    float grey = 0;
    float nearness = 0;
    bool textured = false;
  };
  std::vector<Block> blocks;
  std::vector<Block> lastBlocks;
  // Per block: depth, 0..255, 255 nearest.
  std::vector<float> depth;
  std::vector<float> lastDepth;
  bool haveDepth = false;

  // The nearness range in use, followed over time.
  float low = 0;
  float high = 0;
  bool haveRange = false;
  // Running mean of the match cost per pixel, the cut detector's yardstick.
  float meanCost = 0;
  int32_t framesSinceCut = 0;
  // The frame's global shift, a search candidate for the next frame.
  int32_t globalX = 0;
  int32_t globalY = 0;

  // Column and row profiles of the latest grey picture and the one before.
  std::vector<float> columns, lastColumns, rows, lastRows;
  std::vector<uint32_t> columnSums;
  // Per pixel of the reduced picture: the refined depth.
  std::vector<uint8_t> pixelDepth;
  // Scratch of the nearness filter and fill, and of the global shift.
  std::vector<float> scratch;
  std::vector<int32_t> distance;
};

// What a frame found, when asked for.
struct SceneDepthStats {
  bool cut = false;     // the frame did not follow the last one: flat depth
  double panX = 0;      // the frame's global horizontal motion, frame pixels
  double range = 0;     // nearness range in use, frame pixels of motion
  double meanCost = 0;  // mean grey difference of the matched blocks per pixel
};

// Takes the frame cur (picture layout of blocks/blocks.h, w x h) and writes its
// depth into every byte of every pixel of out (same layout; the padding at
// the end of each line is left alone). out may be null: the frame is only taken in, for
// the next one. reset forgets every earlier frame; the first frame after a
// reset, a cut or a size change gets flat depth (128). A null cur or a size
// FrameSizeUsable rejects does nothing and returns false.
bool SceneDepth(SceneDepthState& state, uint8_t* out, const uint8_t* cur, int32_t w, int32_t h,
                bool reset, SceneDepthStats* stats);

}  // namespace dioptrix::blocks
