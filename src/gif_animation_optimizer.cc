#include "gif_animation_optimizer.h"

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <iterator>
#include <vector>

#include "utils.h"

namespace kelmora {

namespace {

using MagickCore::Quantum;  // for QuantumRange

// Two colours this close count as equal (5 at 8 bits per channel, scaled
// to the library's quantum range).
const double kColorFuzz = 5.0 * (QuantumRange / 255.0);
const size_t kPaletteColors = 256;

// Reduces a layer to at most `colors` colours, without dithering, and takes
// its colour table and indices. Transparency is filled in later.
GifPaletteFrame QuantizeLayer(Magick::Image* layer, size_t colors) {
  layer->quantizeDither(false);
  layer->quantizeColors(colors);
  layer->quantize();
  const MagickCore::Image* image = layer->constImage();
  if (image->storage_class != MagickCore::PseudoClass || image->colors == 0 ||
      image->colors > colors) {
    throw Magick::ErrorImage("layer did not become a palette image");
  }
  GifPaletteFrame frame;
  frame.left = static_cast<int>(image->page.x);
  frame.top = static_cast<int>(image->page.y);
  frame.width = static_cast<int>(image->columns);
  frame.height = static_cast<int>(image->rows);
  frame.disposal = static_cast<int>(image->dispose) & 7;
  frame.delay = static_cast<int>(image->delay);
  frame.palette.resize(image->colors);
  for (size_t i = 0; i < image->colors; ++i) {
    frame.palette[i].red = MagickCore::ScaleQuantumToChar(image->colormap[i].red);
    frame.palette[i].green = MagickCore::ScaleQuantumToChar(image->colormap[i].green);
    frame.palette[i].blue = MagickCore::ScaleQuantumToChar(image->colormap[i].blue);
  }
  const size_t count = image->columns * image->rows;
  layer->getConstPixels(0, 0, image->columns, image->rows);
  const Magick::IndexPacket* indexes = layer->getConstIndexes();
  if (!indexes) {
    throw Magick::ErrorImage("palette layer has no indices");
  }
  frame.pixels.resize(count);
  for (size_t i = 0; i < count; ++i) {
    frame.pixels[i] = static_cast<uint8_t>(indexes[i]);
  }
  return frame;
}

// Gives the layer's transparent pixels their own palette entry, which the
// quantisation left free.
void MarkTransparent(const Magick::Image& layer, GifPaletteFrame* frame) {
  if (!layer.matte()) return;
  const Magick::PixelPacket* pixels =
      layer.getConstPixels(0, 0, layer.columns(), layer.rows());
  const int index = static_cast<int>(frame->palette.size());
  bool any = false;
  for (size_t i = 0; i < frame->pixels.size(); ++i) {
    if (pixels[i].opacity > QuantumRange / 2) {
      frame->pixels[i] = static_cast<uint8_t>(index);
      any = true;
    }
  }
  if (any) {
    if (index >= static_cast<int>(kPaletteColors)) {
      throw Magick::ErrorImage("no palette entry left for transparency");
    }
    frame->transparent_index = index;
    frame->palette.push_back(GifPaletteFrame::Color{0, 0, 0});
  }
}

// Cuts a frame down to the part that lies on the canvas. The library marks
// a picture that did not change with a transparent pixel off the canvas,
// whose offset a GIF cannot hold; it becomes a transparent pixel in the
// corner.
void ClipToCanvas(int canvas_width, int canvas_height, GifPaletteFrame* frame) {
  const int left = std::max(frame->left, 0);
  const int top = std::max(frame->top, 0);
  const int right = std::min(frame->left + frame->width, canvas_width);
  const int bottom = std::min(frame->top + frame->height, canvas_height);
  if (left == frame->left && top == frame->top &&
      right == frame->left + frame->width && bottom == frame->top + frame->height) {
    return;
  }
  if (right <= left || bottom <= top) {
    frame->left = 0;
    frame->top = 0;
    frame->width = 1;
    frame->height = 1;
    frame->palette.assign(1, GifPaletteFrame::Color{0, 0, 0});
    frame->transparent_index = 0;
    frame->pixels.assign(1, 0);
    return;
  }
  std::vector<uint8_t> pixels;
  pixels.reserve(static_cast<size_t>(right - left) * (bottom - top));
  for (int y = top; y < bottom; ++y) {
    const uint8_t* row = &frame->pixels[static_cast<size_t>(y - frame->top) * frame->width];
    pixels.insert(pixels.end(), row + (left - frame->left), row + (right - frame->left));
  }
  frame->pixels.swap(pixels);
  frame->left = left;
  frame->top = top;
  frame->width = right - left;
  frame->height = bottom - top;
}

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
      // back. The batch is tried again with the next picture, unless it
      // was lost as a whole (nothing is pending then).
      if (!pending_.empty()) pending_.pop_back();
      throw;
    }
  }
}

void GifAnimationOptimizer::TakeReady(std::list<GifPaletteFrame>* ready) {
  if (output_.size() < 2) return;
  ready->splice(ready->end(), output_, output_.begin(), std::prev(output_.end()));
}

void GifAnimationOptimizer::GetOptimized(std::list<GifPaletteFrame>* optimized) {
  assert(optimized != __null);  // the text is the assertion message
  // A last partial batch, or a first batch that never filled up.
  if (static_cast<int>(pending_.size()) > overlap_ ||
      ((!started_ || restart_) && !pending_.empty())) {
    OptimizeBatch();
  }
  pending_.clear();
  optimized->clear();
  optimized->splice(optimized->end(), output_);
  started_ = false;
  restart_ = false;
}

// The layer optimisation works on copies: when it fails, the optimiser is
// left as it was. Once it has succeeded only the last full picture is kept
// (the reference of the next batch) so that the batch's pictures and its
// quantised layers are never held at the same time; a later failure loses
// the batch, and the next batch starts afresh with a whole picture.
void GifAnimationOptimizer::OptimizeBatch() {
  std::list<Magick::Image> layers;
  Magick::optimizeImageLayers(&layers, pending_.begin(), pending_.end());
  if (layers.size() != pending_.size()) {
    throw Magick::Error("layer optimisation did not give one layer per picture");
  }
  const int canvas_width = static_cast<int>(pending_.front().columns());
  const int canvas_height = static_cast<int>(pending_.front().rows());
  while (static_cast<int>(pending_.size()) > overlap_) {
    pending_.pop_front();
  }

  // In every batch but the first, the leading layer is the overlap picture
  // that the previous batch emitted already.
  const bool first_batch = !started_ || restart_;
  auto first = layers.begin();
  if (!first_batch) {
    std::advance(first, overlap_);
  }
  std::vector<GifPaletteFrame> frames;
  try {
    for (auto it = first; it != layers.end(); ++it) {
      // Only the opening picture is sure to stay opaque; every other layer
      // keeps an entry free for its transparent pixels. An unchanged picture
      // is a transparent stub and must stay one.
      const bool opening = first_batch && it == layers.begin() && !it->matte();
      frames.push_back(QuantizeLayer(&*it, opening ? kPaletteColors : kPaletteColors - 1));
    }
    Magick::optimizeTransparency(first, layers.end());
    size_t k = 0;
    for (auto it = first; it != layers.end(); ++it, ++k) {
      MarkTransparent(*it, &frames[k]);
      ClipToCanvas(canvas_width, canvas_height, &frames[k]);
    }
  } catch (...) {
    pending_.clear();
    restart_ = true;
    throw;
  }

  if (!first_batch) {
    // The new frames were cut against the overlap picture left standing on
    // the canvas. As the last frame of its own batch, the emitted copy of
    // that picture may have been given a disposal that takes it away again;
    // it has to stay. (Pictures are opaque, so the new batch never disposes
    // its leading full picture either.)
    assert(!output_.empty());
    output_.back().disposal = GifPaletteFrame::kNone;
  }
  for (GifPaletteFrame& frame : frames) {
    output_.push_back(std::move(frame));
  }
  started_ = true;
  restart_ = false;
}

}  // namespace kelmora
