#ifndef KELMORA_EDIT_CONFIG_PARSER_H_
#define KELMORA_EDIT_CONFIG_PARSER_H_

#include <cstdint>
#include <string>

#include <boost/optional.hpp>
#include <json/value.h>

#include "edit_config.h"

namespace kelmora {

// Fills `config` from the page's JSON text. False when a value is missing,
// out of range or of the wrong type; one line then goes to standard error
// and `config` may be partly filled, so the caller discards it.
bool ParseEditConfig(const std::string& json, EditConfig* config);

// Reads one JSON text into an EditConfig; lives for one ParseEditConfig.
class EditConfigParser {
 public:
  explicit EditConfigParser(EditConfig* cfg);
  EditConfigParser(const EditConfigParser&) = delete;
  EditConfigParser& operator=(const EditConfigParser&) = delete;

  bool Parse(const std::string& json);

 private:
  bool ParseRoot(const std::string& json);
  bool ReadFields();
  bool GetRequiredString(const std::string& key, std::string* field);
  bool ParseTrim(const std::string& key, boost::optional<TrimRange>* trim);
  bool ParseCrop(const std::string& key, boost::optional<Rect>* crop);
  bool ParseScale(const std::string& key, boost::optional<Size>* scale);
  bool ParseOutFormat();
  bool GetInt(const std::string& key, int32_t* field, int32_t default_value,
              int32_t min, int32_t max);
  // Sets `block` to the object of a block key, or to null when the block
  // counts as absent; false when a present block is not an object.
  bool GetBlock(const std::string& key, const Json::Value** block);

  EditConfig* cfg_;
  Json::Value root_;
};

}  // namespace kelmora

#endif  // KELMORA_EDIT_CONFIG_PARSER_H_
