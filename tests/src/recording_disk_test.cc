// Recordings on a file system whose quota runs out in the header, in the
// middle and at the end: the page hears of every failed write, and what
// reached the file decodes.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "recording_script_support.h"

namespace kelmora {
namespace {

const char kScreen[] =
    R"("videoTrack":{"$video":{"source":"pattern","width":160,"height":120,"fps":30}},)"
    R"("audioTrack":{"$audio":{"source":"tone"}})";

struct Container {
  const char* name;
  const char* keys;  // of the start message
  const char* file;
};

const Container kContainers[] = {
    {"WebM", R"("codec":"libvpx","filename":"/html5_persistent/q.webm",)", "q.webm"},
    {"MP4", R"("codec":"libx264","format":"mp4","filename":"/html5_persistent/q.mp4",)",
     "q.mp4"},
};

// Everything the page got before the stop's reply, by type.
std::vector<std::string> TypesBeforeStop(const RecordingRun& run) {
  std::vector<std::string> types;
  for (const Json::Value& message : run.messages) {
    const std::string type = message["type"].asString();
    if (type == "stop") break;
    if (type == "error") types.push_back(message["data"].asString());
  }
  return types;
}

// Records for |record_ms| on a persistent file system of |quota| bytes,
// which runs out: the stop still succeeds, and all the page heard of
// before its reply is the full disk. Call it under ASSERT_NO_FATAL_FAILURE.
void RecordPastQuota(const TempDir& dir, const Container& container, int record_ms,
                     const std::string& quota, RecordingRun* run) {
  *run = RunRecording(
      dir.path(),
      {R"({"type":"start","data":{"chromeVersion":60,)" + std::string(container.keys) +
           kScreen + "}}",
       R"({"$await":"start","timeout_ms":10000})", R"({"$sleep":)" + std::to_string(record_ms) + "}",
       R"({"type":"stop","data":{}})", R"({"$await":"stop","timeout_ms":8000})"},
      {"--persistent-quota", quota});
  ASSERT_EQ(0, run->program.exit_code) << run->Describe();
  EXPECT_EQ(std::vector<std::string>{"false"}, run->Replies("stop")) << run->Describe();
  const std::vector<std::string> errors = TypesBeforeStop(*run);
  EXPECT_FALSE(errors.empty());
  for (const std::string& error : errors) EXPECT_EQ("out_of_disk_space", error);
}

// The header does not fit: the set-up fails, and the page hears why.
TEST(RecordingDiskTest, QuotaThatEndsInTheHeader) {
  for (const Container& container : kContainers) {
    SCOPED_TRACE(container.name);
    TempDir dir;
    RecordingRun run = RunRecording(
        dir.path(),
        {R"({"type":"start","data":{"chromeVersion":60,)" + std::string(container.keys) +
             kScreen + "}}",
         R"({"$await":"error","match":"recorder_setup_error","timeout_ms":10000})"},
        {"--persistent-quota", "200"});
    ASSERT_EQ(0, run.program.exit_code) << run.Describe();
    EXPECT_EQ((std::vector<std::string>{"out_of_disk_space", "recorder_setup_error"}),
              run.Errors())
        << run.Describe();
    EXPECT_TRUE(run.Replies("start").empty());
  }
}

// A write in the middle fails: the page hears it while recording, and the
// file, cut back to its last whole piece, decodes up to there.
TEST(RecordingDiskTest, QuotaThatEndsInTheMiddle) {
  for (const Container& container : kContainers) {
    SCOPED_TRACE(container.name);
    TempDir dir;
    RecordingRun run;
    ASSERT_NO_FATAL_FAILURE(RecordPastQuota(dir, container, 4000, "30000", &run));
    struct stat info;
    ASSERT_EQ(0, stat(run.File(container.file).c_str(), &info));
    EXPECT_LE(info.st_size, 30000);
    FileInfo file = DecodeFile(run.File(container.file));
    ASSERT_TRUE(file.opened) << run.Describe();
    const StreamInfo* video = file.Find(AVMEDIA_TYPE_VIDEO);
    const StreamInfo* audio = file.Find(AVMEDIA_TYPE_AUDIO);
    ASSERT_TRUE(video && audio);
    EXPECT_GT(video->decoded_frames, 5);
    EXPECT_EQ(0, video->decode_errors);
    EXPECT_GT(audio->decoded_samples, 0);
    EXPECT_EQ(0, audio->decode_errors);
  }
}

// A short recording whose pieces the muxer holds until the stop, on a
// quota that takes the header only: the failure comes at the trailer, and
// the page hears it before the stop's reply.
TEST(RecordingDiskTest, QuotaThatEndsAtTheTrailer) {
  for (const Container& container : kContainers) {
    SCOPED_TRACE(container.name);
    TempDir dir;
    RecordingRun run;
    ASSERT_NO_FATAL_FAILURE(RecordPastQuota(dir, container, 300, "3000", &run));
    // What reached the file is whole: nothing in it fails to decode.
    FileInfo file = DecodeFile(run.File(container.file));
    for (const StreamInfo& stream : file.streams) EXPECT_EQ(0, stream.decode_errors);
  }
}

}  // namespace
}  // namespace kelmora
