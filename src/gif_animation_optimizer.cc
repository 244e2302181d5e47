#include "gif_animation_optimizer.h"

#include <cassert>
#include <cstddef>
#include <iterator>

#include "utils.h"

namespace kelmora {

namespace {

using MagickCore::Quantum;  // for QuantumRange

// Two colours this close count as equal (5 at 8 bits per channel, scaled
// to the library's quantum range).
const double kColorFuzz = 5.0 * (QuantumRange / 255.0);
const size_t kPaletteColors = 256;

}  // namespace

GifAnimationOptimizer::GifAnimationOptimizer() {
  InitializeMagickOnce();
}

void GifAnimationOptimizer::AddFrame(Magick::Image frame) {
  frame.colorFuzz(kColorFuzz);
  frame.quantizeDither(false);
  pending_.push_back(frame);
  if (static_cast<int>(pending_.size()) >= batch_size_) {
    try {
      OptimizeBatch();
    } catch (...) {
      // The caller counts the picture as lost; do not keep it behind its
      // back. The batch is tried again with the next picture.
      pending_.pop_back();
      throw;
    }
  }
}

void GifAnimationOptimizer::GetOptimized(std::list<Magick::Image>* optimized) {
  assert(optimized != __null);  // the text is the assertion message
  // A last partial batch, or a first batch that never filled up.
  if (static_cast<int>(pending_.size()) > overlap_ ||
      (output_.empty() && !pending_.empty())) {
    OptimizeBatch();
  }
  pending_.clear();
  *optimized = output_;
  output_.clear();
}

// Works on its own copies until every step has succeeded, so that a failure
// of the image library leaves both lists as they were.
void GifAnimationOptimizer::OptimizeBatch() {
  std::list<Magick::Image> layers;
  Magick::optimizeImageLayers(&layers, pending_.begin(), pending_.end());
  if (layers.size() != pending_.size()) {
    throw Magick::Error("layer optimisation did not give one layer per picture");
  }

  // In every batch but the first, the leading layer is the overlap picture
  // that the previous batch emitted already.
  const bool first_batch = output_.empty();
  auto first = layers.begin();
  if (!first_batch) {
    std::advance(first, overlap_);
  }
  for (auto it = first; it != layers.end(); ++it) {
    it->quantizeDither(false);
    it->quantizeColors(kPaletteColors);
    it->type(Magick::PaletteType);
  }
  Magick::optimizeTransparency(first, layers.end());

  if (!first_batch) {
    // The new frames were cut against the overlap picture left standing on
    // the canvas. As the last frame of its own batch, the emitted copy of
    // that picture may have been given a disposal that takes it away again;
    // it has to stay. (Pictures are opaque, so the new batch never disposes
    // its leading full picture either.)
    output_.back().gifDisposeMethod(MagickCore::NoneDispose);
  }
  output_.insert(output_.end(), first, layers.end());
  // Keep the last full picture as the reference of the next batch.
  while (static_cast<int>(pending_.size()) > overlap_) {
    pending_.pop_front();
  }
}

}  // namespace kelmora
