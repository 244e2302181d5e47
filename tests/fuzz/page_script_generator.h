#ifndef KELMORA_TESTS_FUZZ_PAGE_SCRIPT_GENERATOR_H_
#define KELMORA_TESTS_FUZZ_PAGE_SCRIPT_GENERATOR_H_

// Page scripts for plugin-host, made from a seed: the commands of a module
// with their keys missing, of the wrong type, huge, negative or fractional,
// live tracks of either kind in every key, malformed messages, pauses of
// random length and the destruction of the instance at a random moment.
// The same seed always gives the same script. Any one thread.

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <json/json.h>

namespace kelmora {
namespace fuzz {

class PageScriptGenerator {
 public:
  // |edit_input|: a media file under a mount point that edits may read.
  PageScriptGenerator(uint64_t seed, const std::string& edit_input);

  // One script line per element.
  std::vector<std::string> EncoderScript();
  std::vector<std::string> EditScript();

 private:
  int Between(int low, int high);  // inclusive
  bool OneIn(int n);

  // A value for a key that wants a number, mostly a number of any range.
  Json::Value AnyNumber(double usual_low, double usual_high);
  // A value of some other type, a track among them.
  Json::Value WrongType();
  Json::Value Track(bool video);
  Json::Value AnyTrack();
  // A track of either kind, another value or nothing (null: leave out).
  Json::Value TrackOrOther(bool video);
  Json::Value FileName(const char* extension);
  Json::Value NumberBlock(const std::vector<const char*>& keys, double low, double high);

  Json::Value EncoderStartData();
  Json::Value EncoderCommand();
  std::string EditConfigText();
  Json::Value EditCommand();
  // The lines that pass time, end the script, or are not messages at all.
  void AddSleep(std::vector<std::string>* lines);
  bool AddMalformed(std::vector<std::string>* lines);

  // Adds the line; the tracks it makes may be handed over again later.
  void Emit(const Json::Value& value, std::vector<std::string>* lines);
  void RegisterTracks(const Json::Value& value);
  static std::string Line(const Json::Value& value);
  static Json::Value Message(const std::string& type, const Json::Value& data);

  std::mt19937_64 random_;
  std::string edit_input_;
  int next_track_id_ = 0;
  std::vector<std::string> video_ids_;
  std::vector<std::string> audio_ids_;
};

}  // namespace fuzz
}  // namespace kelmora

#endif  // KELMORA_TESTS_FUZZ_PAGE_SCRIPT_GENERATOR_H_
