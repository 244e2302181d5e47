#ifndef KELMORA_GIF_ANIMATION_OPTIMIZER_H_
#define KELMORA_GIF_ANIMATION_OPTIMIZER_H_

#include <cassert>  // before Magick++.h, which includes it inside its namespace
#include <list>

#include <Magick++.h>

#include "gif_palette_frame.h"

namespace kelmora {

// Turns full pictures into the frames of a compact animated GIF: each frame
// is cut down to what changed since the picture before it, reduced to a
// palette and has its unchanged pixels made transparent. Pictures are
// optimised in batches while they arrive; each batch starts with the last
// full picture of the batch before, so that its first new frame is also
// optimised against the picture shown before it. Each picture's delay is
// the one it carries when added.
//
// Frames come out as palette frames, each quantised once. The last frame of
// a batch is held back until the next batch or the flush, which may still
// change its disposal; all others can be taken as soon as their batch is
// done, so only one batch of full pictures is ever held.
//
// Image-library exceptions (Magick::Exception) pass out to the caller.
// Worker thread only.
class GifAnimationOptimizer {
 public:
  GifAnimationOptimizer();

  // Queues one full picture; optimises a batch once the queue is full.
  void AddFrame(Magick::Image frame);

  // Appends the optimised frames that are final to *ready, in display
  // order.
  void TakeReady(std::list<GifPaletteFrame>* ready);

  // Optimises what is left, replaces *optimized with every optimised frame
  // not yet taken, in display order, and empties the optimiser. No frame
  // added gives an empty list.
  void GetOptimized(std::list<GifPaletteFrame>* optimized);

 private:
  void OptimizeBatch();

  // Full pictures not yet optimised, preceded by the overlap picture(s)
  // kept from the previous batch.
  std::list<Magick::Image> pending_;
  // Optimised frames in display order, not yet taken.
  std::list<GifPaletteFrame> output_;
  // A batch has been optimised since the optimiser was last emptied.
  bool started_ = false;
  // A batch was lost after its pictures were let go: the next batch starts
  // with a whole picture, as the first does.
  bool restart_ = false;
  int batch_size_ = 10;
  int overlap_ = 1;
};

}  // namespace kelmora

#endif  // KELMORA_GIF_ANIMATION_OPTIMIZER_H_
