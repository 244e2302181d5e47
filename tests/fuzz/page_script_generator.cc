#include "page_script_generator.h"

#include <memory>
#include <sstream>

namespace kelmora {
namespace fuzz {

namespace {

// Numbers that break casts and assumptions: past int32 and float, negative,
// fractional, and the edges themselves.
const double kEdgeNumbers[] = {0,     -0.0001, -1,          -5,           0.5,
                               1e-9,  2.5,     3000000,     2147483.647,  2147483.648,
                               2147483647.0,   2147483648.0, -2147483648.0, -2147483649.0,
                               4294967296.0,   1e12,        -1e12,        9.3e18,
                               1e19,  -1e19,   3.5e38,      -3.5e38,      1e308,
                               -1e308, 65535,  65536,       16384,        4096};

const int kAudioRates[] = {8000, 16000, 22050, 32000, 44100, 48000, 96000, 192000};

const char* const kEncoderTypes[] = {"start", "stop", "pause", "resume", "replaceTracks"};

}  // namespace

PageScriptGenerator::PageScriptGenerator(uint64_t seed, const std::string& edit_input)
    : random_(seed), edit_input_(edit_input) {}

int PageScriptGenerator::Between(int low, int high) {
  return std::uniform_int_distribution<int>(low, high)(random_);
}

bool PageScriptGenerator::OneIn(int n) { return Between(1, n) == 1; }

Json::Value PageScriptGenerator::AnyNumber(double usual_low, double usual_high) {
  switch (Between(0, 5)) {
    case 0:
    case 1:
      return std::uniform_real_distribution<double>(usual_low, usual_high)(random_);
    case 2:
      return Between(static_cast<int>(usual_low), static_cast<int>(usual_high));
    case 3:
      return Between(-3, 3);
    default:
      return kEdgeNumbers[Between(0, sizeof(kEdgeNumbers) / sizeof(kEdgeNumbers[0]) - 1)];
  }
}

Json::Value PageScriptGenerator::WrongType() {
  switch (Between(0, 7)) {
    case 0:
      return "12";
    case 1:
      return true;
    case 2:
      return Json::Value(Json::nullValue);
    case 3: {
      Json::Value array(Json::arrayValue);
      array.append(1);
      return array;
    }
    case 4:
      return Json::Value(Json::objectValue);
    case 5:
      return "";
    default:
      return AnyTrack();
  }
}

Json::Value PageScriptGenerator::Track(bool video) {
  const std::vector<std::string>& ids = video ? video_ids_ : audio_ids_;
  Json::Value track;
  // A track handed over again: a resource of its own, fed by one source.
  if (!ids.empty() && OneIn(4)) {
    track["$track"] = ids[Between(0, static_cast<int>(ids.size()) - 1)];
    return track;
  }
  Json::Value options;
  const std::string id = (video ? "v" : "a") + std::to_string(next_track_id_++);
  options["id"] = id;
  if (OneIn(5)) options["start_ms"] = Between(0, 800);
  Json::Value changes(Json::arrayValue);
  if (video) {
    options["source"] = OneIn(3) ? "sync" : "pattern";
    // Mostly small pictures, so that a script stays short; odd and tiny
    // sides too.
    options["width"] = OneIn(4) ? Between(1, 9) : Between(16, 320);
    options["height"] = OneIn(4) ? Between(1, 9) : Between(16, 240);
    options["fps"] = Between(1, 60);
    if (OneIn(4)) {
      Json::Value change;
      change["at_ms"] = Between(0, 1500);
      change["width"] = Between(1, 400);
      change["height"] = Between(1, 300);
      changes.append(change);
    }
  } else {
    options["source"] = OneIn(3) ? "sync" : "tone";
    options["rate"] = kAudioRates[Between(0, 7)];
    options["channels"] = Between(1, 2);
    if (OneIn(4)) {
      Json::Value change;
      change["at_ms"] = Between(0, 1500);
      change["rate"] = kAudioRates[Between(0, 7)];
      change["channels"] = Between(1, 2);
      changes.append(change);
    }
  }
  if (OneIn(4)) {
    Json::Value change;
    change["at_ms"] = Between(0, 1500);
    switch (Between(0, 2)) {
      case 0:
        change["silent"] = true;
        break;
      case 1:
        change["end"] = true;
        break;
      default:
        change["silent"] = true;
        changes.append(change);
        change = Json::Value();
        change["at_ms"] = Between(1500, 2500);
        change["resume"] = true;
        break;
    }
    changes.append(change);
  }
  if (!changes.empty()) options["changes"] = changes;
  track[video ? "$video" : "$audio"] = options;
  return track;
}

Json::Value PageScriptGenerator::AnyTrack() { return Track(OneIn(2)); }

Json::Value PageScriptGenerator::TrackOrOther(bool video) {
  switch (Between(0, 9)) {
    case 0:
      return Json::Value(Json::nullValue);  // left out
    case 1:
      return WrongType();
    case 2:
    case 3:
      return Track(!video);
    default:
      return Track(video);
  }
}

Json::Value PageScriptGenerator::FileName(const char* extension) {
  switch (Between(0, 9)) {
    case 0:
      return WrongType();
    case 1:
      return "/html5_temporary/t" + std::to_string(Between(0, 3)) + extension;
    case 2:
      return "/html5_persistent/no_such_dir/f" + std::string(extension);
    case 3:
      return "/html5_persistent/f" + std::to_string(Between(0, 3)) + (OneIn(2) ? ".mp4" : ".x");
    default:
      return "/html5_persistent/f" + std::to_string(Between(0, 3)) + extension;
  }
}

Json::Value PageScriptGenerator::NumberBlock(const std::vector<const char*>& keys, double low,
                                             double high) {
  Json::Value block(Json::objectValue);
  for (const char* key : keys) {
    if (OneIn(10)) continue;
    block[key] = OneIn(10) ? WrongType() : AnyNumber(low, high);
  }
  return block;
}

Json::Value PageScriptGenerator::EncoderStartData() {
  Json::Value data(Json::objectValue);
  auto maybe = [&](const char* key, const Json::Value& value, int absent_one_in) {
    if (!OneIn(absent_one_in) && !value.isNull()) data[key] = value;
  };
  maybe("chromeVersion", OneIn(8) ? WrongType() : AnyNumber(40, 80), 6);
  maybe("filename", FileName(OneIn(3) ? ".mp4" : ".webm"), 10);
  static const char* const codecs[] = {"libvpx", "libvpx", "ppenc", "ppenc_vp9", "bogus", ""};
  if (OneIn(2)) data["codec"] = OneIn(8) ? WrongType() : Json::Value(codecs[Between(0, 5)]);
  static const char* const audio_codecs[] = {"libopus", "aac", "bogus", ""};
  if (OneIn(4)) {
    data["audioCodec"] = OneIn(6) ? WrongType() : Json::Value(audio_codecs[Between(0, 3)]);
  }
  static const char* const formats[] = {"webm", "mp4", "matroska", "bogus", ""};
  if (OneIn(5)) data["format"] = OneIn(6) ? WrongType() : Json::Value(formats[Between(0, 4)]);
  static const char* const positions[] = {"topRight", "topLeft", "bottomLeft", "top-left", ""};
  if (OneIn(3)) {
    data["camPosition"] = OneIn(6) ? WrongType() : Json::Value(positions[Between(0, 4)]);
  }
  if (OneIn(6)) data["brandingFilename"] = FileName(".png");
  if (OneIn(3)) data["startDelay"] = OneIn(6) ? WrongType() : AnyNumber(0, 2);
  if (OneIn(4)) {
    data["crop"] = OneIn(6) ? WrongType() : NumberBlock({"top", "left", "width", "height"}, 0, 200);
  }
  if (OneIn(5)) {
    data["originalMainSize"] =
        OneIn(6) ? WrongType() : NumberBlock({"width", "height"}, 1, 640);
  }
  maybe("videoTrack", TrackOrOther(true), 12);
  if (OneIn(4)) data["videoTrackIsCam"] = OneIn(3) ? WrongType() : Json::Value(OneIn(2));
  if (OneIn(2)) maybe("audioTrack", TrackOrOther(false), 1000);
  if (OneIn(3)) maybe("audioTrack2", TrackOrOther(false), 1000);
  if (OneIn(3)) data["micVolume"] = OneIn(6) ? WrongType() : AnyNumber(0, 2);
  if (OneIn(3)) maybe("camTrack", TrackOrOther(true), 1000);
  return data;
}

Json::Value PageScriptGenerator::EncoderCommand() {
  const int kind = Between(0, 9);
  if (kind <= 2) return Message("start", EncoderStartData());
  if (kind <= 7) {
    const std::string type = kEncoderTypes[Between(1, 4)];
    Json::Value data(Json::objectValue);
    if (type == "replaceTracks") {
      if (!OneIn(8)) data["videoTrack"] = TrackOrOther(true);
      if (OneIn(2)) data["audioTrack"] = TrackOrOther(false);
      if (data["videoTrack"].isNull()) data.removeMember("videoTrack");
      if (data["audioTrack"].isNull()) data.removeMember("audioTrack");
    } else if (OneIn(6)) {
      data["videoTrack"] = AnyTrack();  // a key no one reads
    }
    return Message(type, data);
  }
  // A type the module does not know, in other case or empty.
  static const char* const others[] = {"START", "Stop", "", "cancel", "state"};
  return Message(others[Between(0, 4)], Json::Value(Json::objectValue));
}

std::string PageScriptGenerator::EditConfigText() {
  Json::Value config(Json::objectValue);
  switch (Between(0, 9)) {
    case 0:
      config["inFilename"] = WrongType();
      break;
    case 1:
      config["inFilename"] = "/html5_persistent/no_such_input.webm";
      break;
    case 2:
      break;  // missing
    default:
      config["inFilename"] = edit_input_;
  }
  static const char* const outputs[] = {".mp4", ".gif", ".webm", ".mkv"};
  const std::string extension = outputs[Between(0, 3)];
  if (OneIn(12)) {
    config["outFilename"] = config["inFilename"];
  } else if (!OneIn(15)) {
    config["outFilename"] = FileName(extension.c_str());
  }
  static const char* const formats[] = {"mp4", "gif", "", "webm"};
  if (!OneIn(4)) {
    config["outFormat"] = OneIn(8) ? WrongType() : Json::Value(formats[Between(0, 3)]);
  }
  if (OneIn(2)) config["trim"] = OneIn(8) ? WrongType() : NumberBlock({"start", "end"}, 0, 2);
  if (OneIn(3)) {
    config["crop"] = OneIn(8) ? WrongType() : NumberBlock({"left", "top", "width", "height"}, 0, 80);
  }
  if (OneIn(3)) config["scale"] = OneIn(8) ? WrongType() : NumberBlock({"width", "height"}, 0, 200);
  if (OneIn(3)) config["fps"] = OneIn(6) ? WrongType() : AnyNumber(1, 60);
  std::string text = Line(config);
  switch (Between(0, 15)) {
    case 0:
      return text.substr(0, Between(0, static_cast<int>(text.size())));
    case 1:
      return text + "}";
    case 2:
      return "[" + text + "]";
    default:
      return text;
  }
}

Json::Value PageScriptGenerator::EditCommand() {
  const int kind = Between(0, 9);
  if (kind <= 5) {
    Json::Value data(Json::objectValue);
    if (!OneIn(6)) data["chromeVersion"] = OneIn(6) ? WrongType() : AnyNumber(40, 80);
    if (!OneIn(12)) data["config"] = OneIn(10) ? WrongType() : Json::Value(EditConfigText());
    return Message("start", data);
  }
  if (kind <= 8) return Message("cancel", Json::Value(Json::objectValue));
  static const char* const others[] = {"Start", "stop", "", "CANCEL"};
  return Message(others[Between(0, 3)], Json::Value(Json::objectValue));
}

void PageScriptGenerator::AddSleep(std::vector<std::string>* lines) {
  Json::Value sleep;
  sleep["$sleep"] = OneIn(3) ? Between(0, 50) : Between(50, 700);
  lines->push_back(Line(sleep));
}

bool PageScriptGenerator::AddMalformed(std::vector<std::string>* lines) {
  switch (Between(0, 5)) {
    case 0:
      lines->push_back("\"start\"");
      return true;
    case 1:
      lines->push_back("[1, {\"type\": \"start\"}]");
      return true;
    case 2:
      lines->push_back("{\"type\": \"start\"}");
      return true;
    case 3:
      lines->push_back("{\"type\": 7, \"data\": {}}");
      return true;
    case 4:
      lines->push_back("{\"type\": \"stop\", \"data\": \"now\"}");
      return true;
    default:
      Json::Value message = Message("pause", Json::Value(Json::arrayValue));
      message["data"].append(AnyTrack());
      Emit(message, lines);
      return true;
  }
}

std::vector<std::string> PageScriptGenerator::EncoderScript() {
  std::vector<std::string> lines;
  Emit(Message("start", EncoderStartData()), &lines);
  const int steps = Between(0, 10);
  for (int i = 0; i < steps; ++i) {
    const int kind = Between(0, 9);
    if (kind <= 3) {
      AddSleep(&lines);
    } else if (kind == 4 && OneIn(3)) {
      AddMalformed(&lines);
    } else if (kind == 5 && !video_ids_.empty() && OneIn(2)) {
      // A running source changes at once.
      Json::Value directive;
      directive["$track"] = video_ids_[Between(0, static_cast<int>(video_ids_.size()) - 1)];
      switch (Between(0, 2)) {
        case 0:
          directive["silent"] = true;
          break;
        case 1:
          directive["resume"] = true;
          break;
        default:
          directive["width"] = Between(1, 400);
          directive["height"] = Between(1, 300);
      }
      Emit(directive, &lines);
    } else {
      Emit(EncoderCommand(), &lines);
    }
  }
  if (OneIn(2)) AddSleep(&lines);
  if (OneIn(2)) lines.push_back("{\"$destroy\": true}");
  return lines;
}

std::vector<std::string> PageScriptGenerator::EditScript() {
  std::vector<std::string> lines;
  Emit(EditCommand(), &lines);
  const int steps = Between(0, 6);
  for (int i = 0; i < steps; ++i) {
    const int kind = Between(0, 9);
    if (kind <= 4) {
      AddSleep(&lines);
    } else if (kind == 5 && OneIn(2)) {
      AddMalformed(&lines);
    } else {
      Emit(EditCommand(), &lines);
    }
  }
  if (OneIn(2)) AddSleep(&lines);
  if (OneIn(2)) lines.push_back("{\"$destroy\": true}");
  return lines;
}

void PageScriptGenerator::Emit(const Json::Value& value, std::vector<std::string>* lines) {
  RegisterTracks(value);
  lines->push_back(Line(value));
}

void PageScriptGenerator::RegisterTracks(const Json::Value& value) {
  if (value.isArray()) {
    for (const Json::Value& element : value) RegisterTracks(element);
    return;
  }
  if (!value.isObject()) return;
  for (const char* kind : {"$video", "$audio"}) {
    if (value.isMember(kind) && value[kind].isObject() && value[kind]["id"].isString()) {
      (kind[1] == 'v' ? video_ids_ : audio_ids_).push_back(value[kind]["id"].asString());
    }
  }
  for (const std::string& key : value.getMemberNames()) RegisterTracks(value[key]);
}

std::string PageScriptGenerator::Line(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  return Json::writeString(builder, value);
}

Json::Value PageScriptGenerator::Message(const std::string& type, const Json::Value& data) {
  Json::Value message;
  message["type"] = type;
  message["data"] = data;
  return message;
}

}  // namespace fuzz
}  // namespace kelmora
