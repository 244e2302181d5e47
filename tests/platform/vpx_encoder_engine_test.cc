#include "ppplatform/vpx_encoder_engine.h"

#include <gtest/gtest.h>

#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace pp {
namespace platform {
namespace {

std::vector<uint8_t> Picture(int width, int height, int index) {
  std::vector<uint8_t> picture(width * height * 3 / 2);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      picture[y * width + x] = static_cast<uint8_t>(x * 2 + y + index * 5);
    }
  }
  for (size_t i = width * height; i < picture.size(); ++i) {
    picture[i] = static_cast<uint8_t>(128 + (i % 7) + index);
  }
  return picture;
}

// Decodes every output with the media library; returns the decoded count.
int DecodeAll(AVCodecID id, const std::vector<VpxEncoderEngine::Output>& outputs,
              int width, int height) {
  const AVCodec* codec = avcodec_find_decoder(id);
  AVCodecContext* context = avcodec_alloc_context3(codec);
  EXPECT_EQ(avcodec_open2(context, codec, nullptr), 0);
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  int decoded = 0;
  for (const auto& output : outputs) {
    av_new_packet(packet, static_cast<int>(output.data.size()));
    std::copy(output.data.begin(), output.data.end(), packet->data);
    EXPECT_EQ(avcodec_send_packet(context, packet), 0);
    av_packet_unref(packet);
    while (avcodec_receive_frame(context, frame) == 0) {
      EXPECT_EQ(frame->width, width);
      EXPECT_EQ(frame->height, height);
      ++decoded;
    }
  }
  avcodec_send_packet(context, nullptr);
  while (avcodec_receive_frame(context, frame) == 0) ++decoded;
  av_frame_free(&frame);
  av_packet_free(&packet);
  avcodec_free_context(&context);
  return decoded;
}

void EncodeTen(VpxEncoderEngine::Codec codec, AVCodecID id) {
  VpxEncoderEngine engine;
  ASSERT_TRUE(engine.Initialize(codec, 320, 180, 0, 30));
  std::vector<VpxEncoderEngine::Output> outputs;
  for (int i = 0; i < 10; ++i) {
    std::vector<uint8_t> picture = Picture(320, 180, i);
    size_t before = outputs.size();
    ASSERT_TRUE(engine.Encode(picture.data(), i == 6, &outputs));
    EXPECT_EQ(outputs.size(), before + 1) << "one output per picture";
  }
  ASSERT_EQ(outputs.size(), 10u);
  for (int i = 0; i < 10; ++i) {
    // The first picture and the one asked for, and no other.
    EXPECT_EQ(outputs[i].keyframe, i == 0 || i == 6) << i;
    EXPECT_FALSE(outputs[i].data.empty());
  }
  EXPECT_EQ(DecodeAll(id, outputs, 320, 180), 10);
}

TEST(VpxEncoderEngineTest, Vp8KeyframesOnRequestAndDecodable) {
  EncodeTen(VpxEncoderEngine::Codec::kVp8, AV_CODEC_ID_VP8);
}

TEST(VpxEncoderEngineTest, Vp9KeyframesOnRequestAndDecodable) {
  EncodeTen(VpxEncoderEngine::Codec::kVp9, AV_CODEC_ID_VP9);
}

TEST(VpxEncoderEngineTest, RefusesOddOrEmptySizesAndUninitialisedUse) {
  VpxEncoderEngine engine;
  EXPECT_FALSE(engine.Initialize(VpxEncoderEngine::Codec::kVp8, 0, 240, 0, 30));
  EXPECT_FALSE(engine.Initialize(VpxEncoderEngine::Codec::kVp8, 321, 240, 0, 30));
  std::vector<uint8_t> picture = Picture(320, 240, 0);
  std::vector<VpxEncoderEngine::Output> outputs;
  EXPECT_FALSE(engine.Encode(picture.data(), false, &outputs));
  EXPECT_TRUE(outputs.empty());
  ASSERT_TRUE(engine.Initialize(VpxEncoderEngine::Codec::kVp8, 320, 240, 500000, 30));
  EXPECT_TRUE(engine.SetRates(800000, 25));
  EXPECT_TRUE(engine.Encode(picture.data(), false, &outputs));
  engine.Close();
  EXPECT_FALSE(engine.is_initialized());
  EXPECT_FALSE(engine.Encode(picture.data(), false, &outputs));
}

}  // namespace
}  // namespace platform
}  // namespace pp
