// Files that edit_module writes, played in headless Chromium as the page's
// user meets them: the browser must load each with the expected duration
// and size, play it to its end and report no media error.

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>

extern "C" {
#include <libavutil/base64.h>
#include <libavutil/mem.h>
}

#include "support/child_session.h"
#include "support/headless_chromium.h"
#include "support/recorded_webm.h"
#include "support/run_program.h"

namespace {

using kelmora_test::BuildPath;
using kelmora_test::HeadlessChromium;
using kelmora_test::ProgramResult;
using kelmora_test::RunProgram;

// Plays each <video> of the plan to its end at four times the speed and reads a GIF's
// frames through the browser's own image decoder; the results go into the
// page as JSON once all are in.
const char kPlayerPage[] = R"(<!DOCTYPE html>
<html><body><script>
const results = {};
function playVideo(name, src) {
  return new Promise(resolve => {
    const video = document.createElement('video');
    const result = results[name] = {};
    video.muted = true;
    video.onloadedmetadata = () => {
      result.duration = video.duration;
      result.width = video.videoWidth;
      result.height = video.videoHeight;
      video.playbackRate = 4;
      video.play().catch(e => { result.error = 'play: ' + e; resolve(); });
    };
    video.onended = () => {
      result.ended = true;
      result.audioBytes = video.webkitAudioDecodedByteCount;
      result.frames = video.getVideoPlaybackQuality().totalVideoFrames;
      resolve();
    };
    video.onerror = () => {
      result.error = video.error ? video.error.code + ' ' + video.error.message : 'unknown';
      resolve();
    };
    video.src = src;
    document.body.appendChild(video);
  });
}
async function readGif(name, base64) {
  const result = results[name] = {};
  const url = 'data:image/gif;base64,' + base64;
  const image = new Image();
  await new Promise(resolve => {
    image.onload = resolve;
    image.onerror = () => { result.error = 'image did not load'; resolve(); };
    image.src = url;
  });
  result.width = image.naturalWidth;
  result.height = image.naturalHeight;
  try {
    const data = await (await fetch(url)).arrayBuffer();
    const decoder = new ImageDecoder({data: data, type: 'image/gif'});
    await decoder.tracks.ready;
    await decoder.completed;
    result.frames = decoder.tracks.selectedTrack.frameCount;
    let microseconds = 0;
    for (let i = 0; i < result.frames; ++i) {
      const frame = await decoder.decode({frameIndex: i});
      microseconds += frame.image.duration;
      frame.image.close();
    }
    result.duration = microseconds / 1e6;
  } catch (e) {
    result.error = 'decoder: ' + e;
  }
}
// Once the whole page, with the GIF data after this script, is in.
window.addEventListener('load', async () => {
  try {
    for (const item of PLAN) {
      if (item.gif) await readGif(item.name, document.getElementById(item.name).textContent);
      else await playVideo(item.name, item.src);
    }
  } catch (e) {
    results.page = 'error: ' + e;
  }
  document.getElementById('results').textContent = JSON.stringify(results);
});
</script><pre id="results"></pre>GIF_DATA</body></html>
)";

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream data;
  data << file.rdbuf();
  return data.str();
}

std::string Base64(const std::string& data) {
  std::string text(AV_BASE64_SIZE(data.size()), '\0');
  if (!av_base64_encode(&text[0], static_cast<int>(text.size()),
                        reinterpret_cast<const uint8_t*>(data.data()),
                        static_cast<int>(data.size()))) {
    return "";
  }
  text.resize(text.size() - 1);
  return text;
}

std::string Quote(const std::string& text) {
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "";
  return Json::writeString(writer, Json::Value(text));
}

class BrowserPlaybackTest : public testing::Test {
 protected:
  void SetUp() override {
    cwd_ = kelmora_test::MakeTempDir();
    persistent_ = cwd_ + "/html5fs/persistent";
    ASSERT_EQ(0, system(("mkdir -p " + persistent_).c_str()));
  }

  // One edit through plugin-host, to its end.
  void Edit(const std::string& config) {
    const std::string script =
        "{\"type\": \"start\", \"data\": {\"chromeVersion\": 60, \"config\": " + Quote(config) +
        "}}\n{\"$await\": \"state\", \"match\": {\"state\": \"done\"}, \"timeout_ms\": 60000}\n";
    ProgramResult result = RunProgram({BuildPath("plugin-host"), BuildPath("edit_module.so")},
                                      script, cwd_, 90000);
    ASSERT_EQ(0, result.exit_code) << config << "\n" << result.err;
    EXPECT_EQ(std::string::npos, result.out.find("edit_failed")) << config;
  }

  // Plays the videos named and reads the GIFs named (files of the
  // persistent directory) in one page; the page's results by name.
  Json::Value Play(const std::vector<std::string>& videos, const std::vector<std::string>& gifs) {
    Json::Value plan(Json::arrayValue);
    std::string gif_data;
    for (const std::string& video : videos) {
      Json::Value item;
      item["name"] = video;
      item["src"] = video;
      plan.append(item);
    }
    for (const std::string& gif : gifs) {
      Json::Value item;
      item["name"] = gif;
      item["gif"] = true;
      plan.append(item);
      const std::string data = ReadFile(persistent_ + "/" + gif);
      EXPECT_FALSE(data.empty()) << "no " << gif << " written";
      // Read through a data URL: a page may not fetch its neighbour files.
      gif_data += "<div id=\"" + gif + "\" hidden>" + Base64(data) + "</div>";
    }
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    std::string page = kPlayerPage;
    page.replace(page.find("PLAN"), 4, Json::writeString(writer, plan));
    page.replace(page.find("GIF_DATA"), 8, gif_data);
    std::ofstream(persistent_ + "/player.html") << page;

    HeadlessChromium browser;
    const std::string profile = cwd_ + "/chromium-profile";
    std::string error = browser.Start(profile);
    if (error.empty()) error = browser.Open("file://" + persistent_ + "/player.html");
    std::string text;
    if (error.empty()) {
      error = browser.WaitForText("document.getElementById('results').textContent", 60000, &text);
    }
    browser.Stop();
    Json::Value results;
    if (!error.empty()) {
      ADD_FAILURE() << "Chromium did not finish the page: " << error << "\nits output:\n"
                    << ReadFile(profile + ".log");
    } else if (!Json::Reader().parse(text, results)) {
      ADD_FAILURE() << "the page wrote no JSON: " << text;
    }
    return results;
  }

  // Four seconds of a recording as the recorder writes it: VP8 and Opus.
  void Record() {
    std::string error = kelmora_test::RecordWebm(persistent_ + "/recording.webm",
                                                 "testsrc2=s=320x240:r=30:d=4", 4);
    ASSERT_EQ("", error);
  }

  std::string cwd_;
  std::string persistent_;
};

const char kInput[] = R"({"inFilename": "/html5_persistent/recording.webm", )";

// A video that loaded, played to its end with sound and had no error.
void ExpectPlayed(const Json::Value& video, double duration, int width, int height,
                  int frames) {
  EXPECT_FALSE(video.isMember("error"));
  EXPECT_TRUE(video["ended"].asBool());
  EXPECT_NEAR(duration, video["duration"].asDouble(), 0.1);
  EXPECT_EQ(width, video["width"].asInt());
  EXPECT_EQ(height, video["height"].asInt());
  EXPECT_GT(video["audioBytes"].asInt(), 0);
  EXPECT_NEAR(frames, video["frames"].asInt(), 3);
}

TEST_F(BrowserPlaybackTest, EditedVideosPlayInChromium) {
  ASSERT_NO_FATAL_FAILURE(Record());
  ASSERT_NO_FATAL_FAILURE(Edit(std::string(kInput) + R"("outFilename": "/html5_persistent/out.mp4",
      "outFormat": "mp4", "trim": {"start": 1, "end": 3}, "scale": {"width": 200,
      "height": 200}, "fps": 15})"));
  // The default writer picks VP8 and Opus from the name, as a recording has.
  ASSERT_NO_FATAL_FAILURE(Edit(std::string(kInput) + R"("outFilename": "/html5_persistent/out.webm",
      "trim": {"start": 0.5, "end": 3.5}})"));
  Json::Value results = Play({"out.mp4", "out.webm"}, {});
  SCOPED_TRACE(results.toStyledString());
  ExpectPlayed(results["out.mp4"], 2.0, 200, 150, 30);
  ExpectPlayed(results["out.webm"], 3.0, 320, 240, 90);
}

TEST_F(BrowserPlaybackTest, EditedGifPlaysInChromium) {
  ASSERT_NO_FATAL_FAILURE(Record());
  ASSERT_NO_FATAL_FAILURE(Edit(std::string(kInput) + R"("outFilename": "/html5_persistent/out.gif",
      "outFormat": "gif", "trim": {"start": 0, "end": 2}, "scale": {"width": 160,
      "height": 160}})"));
  Json::Value results = Play({}, {"out.gif"});
  SCOPED_TRACE(results.toStyledString());
  const Json::Value& animation = results["out.gif"];
  EXPECT_FALSE(animation.isMember("error"));
  EXPECT_EQ(160, animation["width"].asInt());
  EXPECT_EQ(120, animation["height"].asInt());
  // Two seconds of 30 fps thinned to gaps of at least 125 ms: every fourth
  // frame, 133 ms apart.
  EXPECT_EQ(15, animation["frames"].asInt());
  EXPECT_NEAR(2.0, animation["duration"].asDouble(), 0.15);
}

}  // namespace

