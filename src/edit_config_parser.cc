#include "edit_config_parser.h"

#include <cassert>
#include <cstdio>
#include <exception>
#include <memory>
#include <stdexcept>

#include <json/reader.h>

namespace kelmora {

namespace {

const char kFpsKey[] = "fps";

void ReportConversionFailure(const char* what) {
  fprintf(stderr, "Failed to parse edit config: %s\n", what);
}

// A string key's value as text: null reads as empty and a boolean as "true"
// or "false"; a number, an array or an object is refused.
std::string ToText(const Json::Value& value) {
  if (value.isNumeric()) {
    throw std::runtime_error("Type is not convertible to string");
  }
  return value.asString();
}

}  // namespace

bool ParseEditConfig(const std::string& json, EditConfig* config) {
  EditConfigParser parser(config);
  return parser.Parse(json);
}

EditConfigParser::EditConfigParser(EditConfig* cfg) : cfg_(cfg) {}

bool EditConfigParser::Parse(const std::string& json) {
  assert(cfg_);
  if (!ParseRoot(json)) {
    fprintf(stderr, "Failed to parse edit config json '%s'\n", json.c_str());
    return false;
  }
  // The library's conversions throw on a value of the wrong type.
  try {
    return ReadFields();
  } catch (const std::exception& e) {
    ReportConversionFailure(e.what());
    return false;
  }
}

bool EditConfigParser::ParseRoot(const std::string& json) {
  Json::CharReaderBuilder builder;
  builder["collectComments"] = true;
  builder["allowComments"] = true;
  // Text after the root value means the page sent something that is not
  // one JSON document; do not act on half of it.
  builder["failIfExtra"] = true;
  builder["allowTrailingCommas"] = false;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::string errors;
  try {
    return reader->parse(json.data(), json.data() + json.size(), &root_,
                         &errors);
  } catch (const std::exception&) {
    // Nesting deeper than the reader's stack limit.
    return false;
  }
}

bool EditConfigParser::ReadFields() {
  // A null root reads as an object without keys: the file names are missing.
  if (!root_.isObject() && !root_.isNull()) {
    ReportConversionFailure("the root value is not an object");
    return false;
  }
  if (!GetRequiredString("inFilename", &cfg_->inFilename)) {
    return false;
  }
  if (!GetRequiredString("outFilename", &cfg_->outFilename)) {
    return false;
  }
  if (!ParseTrim("trim", &cfg_->trim) || !ParseCrop("crop", &cfg_->crop) ||
      !ParseScale("scale", &cfg_->scale) || !ParseOutFormat()) {
    return false;
  }
  return GetInt(kFpsKey, &cfg_->fps, 0, 1, 60);
}

bool EditConfigParser::GetRequiredString(const std::string& key,
                                         std::string* field) {
  *field = ToText(root_.get(key, ""));
  if (field->empty()) {
    fprintf(stderr, "Missing required string '%s'\n", key.c_str());
    return false;
  }
  return true;
}

bool EditConfigParser::GetBlock(const std::string& key,
                                const Json::Value** block) {
  *block = nullptr;
  const Json::Value* value = root_.find(key.data(), key.data() + key.size());
  if (!value || value->isNull() ||
      ((value->isObject() || value->isArray()) && value->empty())) {
    return true;
  }
  if (!value->isObject()) {
    fprintf(stderr, "Failed to parse edit config: '%s' is not an object\n",
            key.c_str());
    return false;
  }
  *block = value;
  return true;
}

bool EditConfigParser::ParseTrim(const std::string& key,
                                 boost::optional<TrimRange>* trim) {
  const Json::Value* block = nullptr;
  if (!GetBlock(key, &block)) {
    return false;
  }
  if (!block) {
    return true;
  }
  TrimRange range;
  range.end = block->get("end", 0.0).asDouble();
  range.start = block->get("start", 0.0).asDouble();
  *trim = range;
  return true;
}

bool EditConfigParser::ParseCrop(const std::string& key,
                                 boost::optional<Rect>* crop) {
  const Json::Value* block = nullptr;
  if (!GetBlock(key, &block)) {
    return false;
  }
  if (!block) {
    return true;
  }
  Rect rect;
  rect.height = block->get("height", 0).asInt();
  rect.width = block->get("width", 0).asInt();
  rect.left = block->get("left", 0).asInt();
  rect.top = block->get("top", 0).asInt();
  *crop = rect;
  return true;
}

bool EditConfigParser::ParseScale(const std::string& key,
                                  boost::optional<Size>* scale) {
  const Json::Value* block = nullptr;
  if (!GetBlock(key, &block)) {
    return false;
  }
  if (!block) {
    return true;
  }
  Size size;
  size.height = block->get("height", 0).asInt();
  size.width = block->get("width", 0).asInt();
  *scale = size;
  return true;
}

bool EditConfigParser::ParseOutFormat() {
  cfg_->outFormat = kEditOutFormatOther;
  const std::string format = ToText(root_.get("outFormat", ""));
  if (format == "gif") {
    cfg_->outFormat = kEditOutFormatGif;
  } else if (format == "mp4") {
    cfg_->outFormat = kEditOutFormatMp4;
  }
  return true;
}

bool EditConfigParser::GetInt(const std::string& key, int32_t* field,
                              int32_t default_value, int32_t min,
                              int32_t max) {
  const Json::Value value = root_.get(key, Json::Value());
  // Only a signed integer of 32 bits counts; reals, strings and the like
  // keep the default.
  if (value.type() != Json::intValue || !value.isInt()) {
    *field = default_value;
    return true;
  }
  const int32_t v = value.asInt();
  if ((max != 0 && v > max) || (min != 0 && v < min)) {
    fprintf(stderr, "Invalid int range for '%s'\n", key.c_str());
    return false;
  }
  *field = v;
  return true;
}

}  // namespace kelmora
