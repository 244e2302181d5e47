#include "branding_writer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <Magick++.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "media_test_support.h"
#include "utils.h"

namespace kelmora {
namespace {

// A sink that keeps a copy of every picture it is handed.
class CapturingSink : public VideoWriter {
 public:
  struct Picture {
    int64_t pts;
    int width;
    int height;
    std::vector<uint8_t> rgba;
  };
  struct Log {
    int opened = 0;
    int closed = 0;
    int end_of_stream = 0;
    std::vector<Picture> pictures;
    bool closed_after_picture = false;
  };

  explicit CapturingSink(Log* log) : log_(log) {}

  int Init() override { return 0; }
  int Open() override {
    ++log_->opened;
    return open_result;
  }
  int WriteVideoFrame(AVFrame* frame) override {
    if (!frame) {
      ++log_->end_of_stream;
      return 0;
    }
    Picture picture{frame->pts, frame->width, frame->height, {}};
    for (int y = 0; y < frame->height; ++y) {
      const uint8_t* row = frame->data[0] + y * frame->linesize[0];
      picture.rgba.insert(picture.rgba.end(), row, row + frame->width * 4);
    }
    log_->pictures.push_back(picture);
    return write_result;
  }
  int Close() override {
    ++log_->closed;
    log_->closed_after_picture = !log_->pictures.empty();
    return 0;
  }
  AVPixelFormat pixel_format() override { return AV_PIX_FMT_RGBA; }
  int64_t VideoPosition() override { return 0; }

  int open_result = 0;
  int write_result = 0;

 private:
  Log* log_;
};

class BrandingWriterTest : public testing::Test {
 protected:
  void SetUp() override { InitializeMagickOnce(); }

  static std::string Path(const std::string& name) {
    return testing_support::TempPath("branding_" + name);
  }

  // A logo: the left half opaque red, the right half half-transparent blue.
  std::string MakeLogo(int width, int height) {
    std::vector<uint8_t> rgba(static_cast<size_t>(width) * height * 4);
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        uint8_t* px = &rgba[(static_cast<size_t>(y) * width + x) * 4];
        bool left = x < width / 2;
        px[0] = left ? 255 : 0;
        px[1] = 0;
        px[2] = left ? 0 : 255;
        px[3] = left ? 255 : 128;
      }
    }
    Magick::Image image(width, height, "RGBA", Magick::CharPixel, rgba.data());
    std::string path = Path("logo_" + std::to_string(width) + "x" +
                            std::to_string(height) + ".png");
    image.write(path);
    return path;
  }
};

TEST(BrandingBoxTest, FifthOfTheMainPictureAtLeastTwenty) {
  Size box = BrandingWriter::MaxSizeFor(Size{1280, 720});
  EXPECT_EQ(box.width, 256);
  EXPECT_EQ(box.height, 144);
  box = BrandingWriter::MaxSizeFor(Size{80, 60});
  EXPECT_EQ(box.width, 20);
  EXPECT_EQ(box.height, 20);
  box = BrandingWriter::MaxSizeFor(Size{50, 50});
  EXPECT_EQ(box.width, 20);
  EXPECT_EQ(box.height, 20);
  // Truncated, not rounded: 1366 x 0.2 = 273.2, 767 x 0.2 = 153.4.
  box = BrandingWriter::MaxSizeFor(Size{1366, 767});
  EXPECT_EQ(box.width, 273);
  EXPECT_EQ(box.height, 153);
  box = BrandingWriter::MaxSizeFor(Size{1920, 1080});
  EXPECT_EQ(box.width, 384);
  EXPECT_EQ(box.height, 216);
}

TEST_F(BrandingWriterTest, WideAndTallLogosAreFittedKeepingAspect) {
  struct Case {
    int width, height, box_w, box_h, want_w, want_h;
  } cases[] = {
      {400, 100, 256, 144, 256, 64},   // wide: width-bound
      {100, 400, 256, 144, 36, 144},   // tall: height-bound
      {10, 10, 384, 216, 216, 216},    // small: enlarged
  };
  for (const Case& c : cases) {
    CapturingSink::Log log;
    BrandingWriter writer(new CapturingSink(&log));
    ASSERT_EQ(writer.Open(MakeLogo(c.width, c.height), c.box_w, c.box_h), 0);
    EXPECT_EQ(log.opened, 1);
    ASSERT_EQ(writer.WriteAndClose(), 0);
    ASSERT_EQ(log.pictures.size(), 1u);
    EXPECT_EQ(log.pictures[0].width, c.want_w) << c.width << "x" << c.height;
    EXPECT_EQ(log.pictures[0].height, c.want_h) << c.width << "x" << c.height;
  }
}

TEST_F(BrandingWriterTest, OnePictureAtPtsZeroThenEndOfStream) {
  CapturingSink::Log log;
  BrandingWriter writer(new CapturingSink(&log));
  ASSERT_EQ(writer.Open(MakeLogo(400, 100), 256, 144), 0);
  EXPECT_TRUE(log.pictures.empty());
  ASSERT_EQ(writer.WriteAndClose(), 0);
  ASSERT_EQ(log.pictures.size(), 1u);
  EXPECT_EQ(log.closed, 1);
  EXPECT_TRUE(log.closed_after_picture);

  const CapturingSink::Picture& p = log.pictures[0];
  EXPECT_EQ(p.pts, 0);
  ASSERT_EQ(p.rgba.size(), 256u * 64 * 4);
  // Packed 8-bit RGBA, top row first: opaque red on the left, blue at half
  // alpha on the right (16-bit quanta scaled down, not truncated to zero).
  const uint8_t* left = &p.rgba[(32 * 256 + 20) * 4];
  EXPECT_EQ(left[0], 255);
  EXPECT_EQ(left[1], 0);
  EXPECT_EQ(left[2], 0);
  EXPECT_EQ(left[3], 255);
  const uint8_t* right = &p.rgba[(32 * 256 + 236) * 4];
  EXPECT_EQ(right[0], 0);
  EXPECT_EQ(right[2], 255);
  EXPECT_NEAR(right[3], 128, 2);
}

TEST_F(BrandingWriterTest, MissingFileFailsWithTheLibraryText) {
  CapturingSink::Log log;
  BrandingWriter writer(new CapturingSink(&log));
  testing::internal::CaptureStderr();
  EXPECT_EQ(writer.Open(Path("no_such_logo.png"), 256, 144), -1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.rfind("failed to read image ", 0), 0u) << err;
  EXPECT_NE(err.find("no_such_logo.png"), std::string::npos) << err;
  EXPECT_NE(err.back(), '\n');
  EXPECT_EQ(log.opened, 0);
}

TEST_F(BrandingWriterTest, FileThatIsNoImageFails) {
  std::string path = Path("not_a_logo.png");
  FILE* f = fopen(path.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fputs("this is not a picture", f);
  fclose(f);
  CapturingSink::Log log;
  BrandingWriter writer(new CapturingSink(&log));
  testing::internal::CaptureStderr();
  EXPECT_EQ(writer.Open(path, 256, 144), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr().rfind("failed to read image ", 0),
            0u);
}

// Opens `path` into a 20 x 20 box; the picture, or nothing with the error
// text.
std::vector<CapturingSink::Picture> OpenLogo(const std::string& path,
                                             std::string* err) {
  CapturingSink::Log log;
  BrandingWriter writer(new CapturingSink(&log));
  testing::internal::CaptureStderr();
  int result = writer.Open(path, 20, 20);
  if (result == 0) result = writer.WriteAndClose();
  *err = testing::internal::GetCapturedStderr();
  return result == 0 ? log.pictures : std::vector<CapturingSink::Picture>();
}

// The pixel at the picture's centre.
std::vector<int> Centre(const CapturingSink::Picture& p) {
  const uint8_t* px = &p.rgba[((p.height / 2) * p.width + p.width / 2) * 4];
  return {px[0], px[1], px[2], px[3]};
}

void ExpectRed(const CapturingSink::Picture& p) {
  std::vector<int> c = Centre(p);
  EXPECT_GT(c[0], 200);
  EXPECT_LT(c[1], 60);
  EXPECT_LT(c[2], 60);
  EXPECT_EQ(c[3], 255);
}

TEST_F(BrandingWriterTest, EveryRasterFormatIsKnownByItsContent) {
  for (const char* format : {"PNG", "JPEG", "GIF", "BMP", "WEBP"}) {
    SCOPED_TRACE(format);
    Magick::Image image(Magick::Geometry(40, 40), Magick::Color("red"));
    image.magick(format);
    // The extension does not matter, the bytes do.
    std::string path = Path(std::string("red_") + format + ".img");
    image.write(path);
    std::string err;
    std::vector<CapturingSink::Picture> pictures = OpenLogo(path, &err);
    ASSERT_EQ(pictures.size(), 1u) << err;
    ExpectRed(pictures[0]);
  }
}

TEST_F(BrandingWriterTest, CmykPictureKeepsItsColours) {
  Magick::Image image(Magick::Geometry(40, 40), Magick::Color("red"));
  image.colorSpace(MagickCore::CMYKColorspace);
  ASSERT_EQ(image.colorSpace(), MagickCore::CMYKColorspace);
  image.magick("JPEG");
  std::string path = Path("cmyk.jpg");
  image.write(path);
  std::string err;
  std::vector<CapturingSink::Picture> pictures = OpenLogo(path, &err);
  ASSERT_EQ(pictures.size(), 1u) << err;
  ExpectRed(pictures[0]);
}

// The file name is a file name: the image library's own syntax in it
// reads nothing else, and a file that is not a raster image is refused
// whatever its name says.
TEST_F(BrandingWriterTest, NameAndContentCannotChooseAnotherReader) {
  const std::string logo = MakeLogo(40, 40);
  const std::string drawing = Path("drawing.mvg");
  std::ofstream(drawing) << "viewbox 0 0 20 20\nfill red\nrectangle 0,0 20,20\n";
  const std::string words = Path("words.txt");
  std::ofstream(words) << "kelmora\n";
  for (const std::string& name :
       {std::string("xc:red"), logo + "[10x10]", "png:" + logo, drawing,
        "text:" + words}) {
    SCOPED_TRACE(name);
    std::string err;
    EXPECT_TRUE(OpenLogo(name, &err).empty());
    EXPECT_EQ(err.rfind("failed to read image ", 0), 0u) << err;
  }
}

TEST_F(BrandingWriterTest, SinkFailuresAreReported) {
  {
    CapturingSink::Log log;
    CapturingSink* sink = new CapturingSink(&log);
    sink->open_result = -5;
    BrandingWriter writer(sink);
    EXPECT_EQ(writer.Open(MakeLogo(40, 40), 20, 20), -1);
  }
  {
    // A refused picture: the stream is not ended, the frame is released
    // with the writer (the sanitizer build checks for leaks).
    CapturingSink::Log log;
    CapturingSink* sink = new CapturingSink(&log);
    sink->write_result = -22;
    BrandingWriter writer(sink);
    ASSERT_EQ(writer.Open(MakeLogo(40, 40), 20, 20), 0);
    EXPECT_EQ(writer.WriteAndClose(), -1);
    EXPECT_EQ(log.closed, 0);
  }
}

}  // namespace
}  // namespace kelmora
