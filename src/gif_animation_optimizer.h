#ifndef KELMORA_GIF_ANIMATION_OPTIMIZER_H_
#define KELMORA_GIF_ANIMATION_OPTIMIZER_H_

#include <cassert>  // before Magick++.h, which includes it inside its namespace
#include <list>

#include <Magick++.h>

namespace kelmora {

// Turns full pictures into the frames of a compact animated GIF: each frame
// is cut down to what changed since the picture before it, reduced to a
// palette and has its unchanged pixels made transparent. Pictures are
// optimised in batches while they arrive; each batch starts with the last
// full picture of the batch before, so that its first new frame is also
// optimised against the picture shown before it.
//
// Image-library exceptions (Magick::Exception) pass out to the caller.
// Worker thread only.
class GifAnimationOptimizer {
 public:
  GifAnimationOptimizer();

  // Queues one full picture; optimises a batch once the queue is full.
  void AddFrame(Magick::Image frame);

  // Optimises what is left, replaces *optimized with every optimised frame
  // in display order and empties the optimiser. No frame added gives an
  // empty list.
  void GetOptimized(std::list<Magick::Image>* optimized);

 private:
  void OptimizeBatch();

  // Full pictures not yet optimised, preceded by the overlap picture(s)
  // kept from the previous batch.
  std::list<Magick::Image> pending_;
  // Optimised frames in display order.
  std::list<Magick::Image> output_;
  int batch_size_ = 10;
  int overlap_ = 1;
};

}  // namespace kelmora

#endif  // KELMORA_GIF_ANIMATION_OPTIMIZER_H_
