// The sandbox's file layer: paths under a mount point reach the host
// directory for every caller in the process, also for the media libraries.

#include <dirent.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <set>
#include <string>

#include <Magick++.h>
#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
}

#include "av_holders.h"
#include "nacl_io/nacl_io.h"
#include "ppplatform/file_systems.h"
#include "support/child_session.h"
#include "utils.h"

namespace {

using pp::platform::Html5FileSystemType;
using pp::platform::HostPathFor;

class FileLayerTest : public testing::Test {
 protected:
  void SetUp() override {
    persistent_ = kelmora_test::MakeTempDir();
    temporary_ = kelmora_test::MakeTempDir();
    ASSERT_FALSE(persistent_.empty());
    pp::platform::UnmountAll();
    pp::platform::SetHtml5FileSystem(Html5FileSystemType::kPersistent, persistent_);
    pp::platform::SetHtml5FileSystem(Html5FileSystemType::kTemporary, temporary_);
    ASSERT_EQ(0, nacl_io_init_ppapi(1, nullptr));
    ASSERT_EQ(0, mount("", "/html5_persistent", "html5fs", 0,
                       "type=PERSISTENT,expected_size=1048576"));
    ASSERT_EQ(0, mount("", "/html5_temporary", "html5fs", 0,
                       "type=TEMPORARY,expected_size=1048576"));
  }
  void TearDown() override { pp::platform::UnmountAll(); }

  std::string persistent_;
  std::string temporary_;
};

TEST_F(FileLayerTest, PathCallsReachTheHostDirectory) {
  FILE* file = fopen("/html5_persistent/notes.txt", "w");
  ASSERT_NE(nullptr, file);
  fputs("hello", file);
  fclose(file);
  EXPECT_EQ("hello", kelmora_test::ReadFile(persistent_ + "/notes.txt"));

  struct stat info;
  ASSERT_EQ(0, stat("/html5_persistent/notes.txt", &info));
  EXPECT_EQ(5, info.st_size);
  EXPECT_EQ(0, lstat("/html5_persistent/notes.txt", &info));
  EXPECT_EQ(0, access("/html5_persistent/notes.txt", R_OK));
  EXPECT_EQ(0, mkdir("/html5_persistent/dir", 0755));
  EXPECT_EQ(0, rename("/html5_persistent/notes.txt", "/html5_persistent/dir/moved.txt"));
  EXPECT_EQ("hello", kelmora_test::ReadFile(persistent_ + "/dir/moved.txt"));

  int fd = open("/html5_persistent/dir/raw.bin", O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(3, write(fd, "abc", 3));
  close(fd);
  fd = openat(AT_FDCWD, "/html5_persistent/dir/raw.bin", O_RDONLY);
  ASSERT_GE(fd, 0);
  char text[4] = {};
  EXPECT_EQ(3, read(fd, text, 3));
  close(fd);
  EXPECT_STREQ("abc", text);

  DIR* dir = opendir("/html5_persistent/dir");
  ASSERT_NE(nullptr, dir);
  std::set<std::string> names;
  while (struct dirent* entry = readdir(dir)) names.insert(entry->d_name);
  closedir(dir);
  EXPECT_EQ((std::set<std::string>{".", "..", "moved.txt", "raw.bin"}), names);

  EXPECT_EQ(0, truncate("/html5_persistent/dir/raw.bin", 1));
  EXPECT_EQ("a", kelmora_test::ReadFile(persistent_ + "/dir/raw.bin"));
  EXPECT_EQ(0, unlink("/html5_persistent/dir/raw.bin"));
  EXPECT_EQ(0, remove("/html5_persistent/dir/moved.txt"));
  EXPECT_EQ(0, rmdir("/html5_persistent/dir"));
  EXPECT_NE(0, access((persistent_ + "/dir").c_str(), F_OK));

  // The temporary file system has its own directory.
  file = fopen("/html5_temporary/t.txt", "w");
  ASSERT_NE(nullptr, file);
  fclose(file);
  EXPECT_EQ(0, access((temporary_ + "/t.txt").c_str(), F_OK));
  EXPECT_NE(0, access((persistent_ + "/t.txt").c_str(), F_OK));

  // A missing file fails as it would on the host.
  errno = 0;
  EXPECT_EQ(nullptr, fopen("/html5_persistent/missing.webm", "rb"));
  EXPECT_EQ(ENOENT, errno);
}

TEST_F(FileLayerTest, PathsAreNormalisedAndOtherPathsUntouched) {
  EXPECT_EQ(persistent_ + "/a/b.webm", HostPathFor("/html5_persistent/a/b.webm"));
  EXPECT_EQ(persistent_ + "/b", HostPathFor("//html5_persistent/./a/../b"));
  EXPECT_EQ(persistent_, HostPathFor("/html5_persistent/"));
  // ".." cannot climb out of the mount point into the host's directories.
  EXPECT_EQ("", HostPathFor("/html5_persistent/../../etc/passwd"));
  EXPECT_EQ(temporary_ + "/x", HostPathFor("/html5_persistent/../html5_temporary/x"));
  EXPECT_EQ("", HostPathFor("/html5_persistentX/a"));
  EXPECT_EQ("", HostPathFor("html5_persistent/a"));

  // A path under no mount point is the host's own.
  std::string own = persistent_ + "/own.txt";
  FILE* file = fopen(own.c_str(), "w");
  ASSERT_NE(nullptr, file);
  fclose(file);
  EXPECT_EQ(0, access(own.c_str(), F_OK));
}

TEST_F(FileLayerTest, MountFollowsWhatTheBrowserOffers) {
  pp::platform::SetHtml5FileSystem(Html5FileSystemType::kPersistent, "");
  errno = 0;
  EXPECT_EQ(-1, mount("", "/html5_other", "html5fs", 0, "type=PERSISTENT"));
  EXPECT_EQ(ENODEV, errno);
  EXPECT_EQ("", HostPathFor("/html5_other/a"));
  // A failed mount leaves an earlier one alone.
  EXPECT_EQ(-1, mount("", "/html5_persistent", "html5fs", 0, "type=PERSISTENT"));
  EXPECT_EQ(persistent_ + "/a", HostPathFor("/html5_persistent/a"));
  // Unknown type.
  EXPECT_EQ(-1, mount("", "/html5_other", "html5fs", 0, "type=OTHER"));
  // Mounting again on a mount point moves it.
  EXPECT_EQ(0, mount("", "/html5_persistent", "html5fs", 0, "type=TEMPORARY"));
  EXPECT_EQ(temporary_ + "/a", HostPathFor("/html5_persistent/a"));
}

// Writes a short 16-bit mono WAV through libavformat's own file calls.
int WriteWav(const char* path) {
  AVFormatContext* raw_output = nullptr;
  int result = avformat_alloc_output_context2(&raw_output, nullptr, "wav", path);
  if (result < 0) return result;
  kelmora::OutputContextPtr output(raw_output);
  AVStream* stream = avformat_new_stream(output.get(), nullptr);
  if (!stream) return AVERROR(ENOMEM);
  stream->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
  stream->codecpar->codec_id = AV_CODEC_ID_PCM_S16LE;
  stream->codecpar->sample_rate = 8000;
  av_channel_layout_default(&stream->codecpar->ch_layout, 1);
  stream->codecpar->format = AV_SAMPLE_FMT_S16;
  stream->codecpar->bits_per_coded_sample = 16;
  stream->codecpar->block_align = 2;
  stream->time_base = AVRational{1, 8000};
  if ((result = avio_open(&output->pb, path, AVIO_FLAG_WRITE)) < 0) return result;
  if ((result = avformat_write_header(output.get(), nullptr)) < 0) return result;
  kelmora::PacketPtr packet(av_packet_alloc());
  if ((result = av_new_packet(packet.get(), 8000 * 2)) < 0) return result;
  memset(packet->data, 0, packet->size);
  packet->stream_index = stream->index;
  packet->pts = packet->dts = 0;
  packet->duration = 8000;
  if ((result = av_interleaved_write_frame(output.get(), packet.get())) < 0) return result;
  return av_write_trailer(output.get());
}

TEST_F(FileLayerTest, MediaLibrariesOpenPagePaths) {
  ASSERT_EQ(0, WriteWav("/html5_persistent/tone.wav"));
  EXPECT_EQ("RIFF", kelmora_test::ReadFile(persistent_ + "/tone.wav").substr(0, 4));
  AVFormatContext* input = nullptr;
  ASSERT_EQ(0, avformat_open_input(&input, "/html5_persistent/tone.wav", nullptr, nullptr));
  ASSERT_GE(avformat_find_stream_info(input, nullptr), 0);
  ASSERT_EQ(1u, input->nb_streams);
  EXPECT_EQ(8000, input->streams[0]->codecpar->sample_rate);
  EXPECT_NEAR(1.0, input->duration / static_cast<double>(AV_TIME_BASE), 0.01);
  avformat_close_input(&input);

  kelmora::InitializeMagickOnce();
  Magick::Image image(Magick::Geometry(4, 4), Magick::Color("red"));
  image.write("/html5_persistent/out.gif");
  EXPECT_EQ("GIF8", kelmora_test::ReadFile(persistent_ + "/out.gif").substr(0, 4));
  Magick::Image back;
  back.read("/html5_persistent/out.gif");
  EXPECT_EQ(4u, back.columns());
}

}  // namespace
