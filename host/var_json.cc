#include "var_json.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "ppapi/cpp/var_array.h"
#include "ppapi/cpp/var_dictionary.h"

namespace pphost {

namespace {

pp::Var NumberVar(double value) {
  if (std::trunc(value) == value && value >= std::numeric_limits<int32_t>::min() &&
      value <= std::numeric_limits<int32_t>::max() && !(value == 0 && std::signbit(value))) {
    return pp::Var(static_cast<int32_t>(value));
  }
  return pp::Var(value);
}

void AppendString(const std::string& text, std::string* out) {
  out->push_back('"');
  for (unsigned char c : text) {
    switch (c) {
      case '"': *out += "\\\""; break;
      case '\\': *out += "\\\\"; break;
      case '\n': *out += "\\n"; break;
      case '\r': *out += "\\r"; break;
      case '\t': *out += "\\t"; break;
      case '\b': *out += "\\b"; break;
      case '\f': *out += "\\f"; break;
      default:
        if (c < 0x20) {
          char escaped[8];
          snprintf(escaped, sizeof(escaped), "\\u%04x", c);
          *out += escaped;
        } else {
          out->push_back(static_cast<char>(c));
        }
    }
  }
  out->push_back('"');
}

// The shortest text that reads back as the same double, as a script would
// print it.
void AppendDouble(double value, std::string* out) {
  if (!std::isfinite(value)) {
    *out += "null";
    return;
  }
  char text[32];
  for (int precision = 1; precision <= 17; ++precision) {
    snprintf(text, sizeof(text), "%.*g", precision, value);
    if (strtod(text, nullptr) == value) break;
  }
  *out += text;
}

void AppendVar(const pp::Var& var, std::string* out) {
  switch (var.type()) {
    case PP_VARTYPE_BOOL:
      *out += var.AsBool() ? "true" : "false";
      return;
    case PP_VARTYPE_INT32:
      *out += std::to_string(var.AsInt());
      return;
    case PP_VARTYPE_DOUBLE:
      AppendDouble(var.AsDouble(), out);
      return;
    case PP_VARTYPE_STRING:
      AppendString(var.AsString(), out);
      return;
    case PP_VARTYPE_ARRAY: {
      pp::VarArray array(var);
      out->push_back('[');
      for (uint32_t i = 0; i < array.GetLength(); ++i) {
        if (i) out->push_back(',');
        AppendVar(array.Get(i), out);
      }
      out->push_back(']');
      return;
    }
    case PP_VARTYPE_DICTIONARY: {
      pp::VarDictionary dictionary(var);
      pp::VarArray keys = dictionary.GetKeys();
      out->push_back('{');
      for (uint32_t i = 0; i < keys.GetLength(); ++i) {
        if (i) out->push_back(',');
        AppendString(keys.Get(i).AsString(), out);
        out->push_back(':');
        AppendVar(dictionary.Get(keys.Get(i)), out);
      }
      out->push_back('}');
      return;
    }
    case PP_VARTYPE_RESOURCE:
      *out += "{\"$resource\":" + std::to_string(var.AsResource().pp_resource()) + "}";
      return;
    default:
      *out += "null";
  }
}

}  // namespace

bool JsonToVar(const Json::Value& value, const ScriptObjectFactories& factories, pp::Var* var,
               std::string* error) {
  switch (value.type()) {
    case Json::nullValue:
      *var = pp::Var(pp::Var::Null());
      return true;
    case Json::booleanValue:
      *var = pp::Var(value.asBool());
      return true;
    case Json::intValue:
    case Json::uintValue:
    case Json::realValue:
      *var = NumberVar(value.asDouble());
      return true;
    case Json::stringValue:
      *var = pp::Var(value.asString());
      return true;
    case Json::arrayValue: {
      pp::VarArray array;
      for (Json::ArrayIndex i = 0; i < value.size(); ++i) {
        pp::Var element;
        if (!JsonToVar(value[i], factories, &element, error)) return false;
        array.Set(i, element);
      }
      *var = array;
      return true;
    }
    case Json::objectValue: {
      std::vector<std::string> names = value.getMemberNames();
      if (names.size() == 1 && !names[0].empty() && names[0][0] == '$') {
        auto factory = factories.find(names[0]);
        if (factory == factories.end()) {
          *error = "unknown script object " + names[0];
          return false;
        }
        return factory->second(value[names[0]], var, error);
      }
      pp::VarDictionary dictionary;
      for (const std::string& name : names) {
        pp::Var member;
        if (!JsonToVar(value[name], factories, &member, error)) return false;
        dictionary.Set(pp::Var(name), member);
      }
      *var = dictionary;
      return true;
    }
  }
  *error = "unsupported JSON value";
  return false;
}

std::string VarToJson(const pp::Var& var) {
  std::string out;
  AppendVar(var, &out);
  return out;
}

bool VarMatches(const pp::Var& var, const Json::Value& pattern) {
  switch (pattern.type()) {
    case Json::objectValue: {
      if (!var.is_dictionary()) return false;
      pp::VarDictionary dictionary(var);
      for (const std::string& name : pattern.getMemberNames()) {
        if (!dictionary.HasKey(pp::Var(name))) return false;
        if (!VarMatches(dictionary.Get(pp::Var(name)), pattern[name])) return false;
      }
      return true;
    }
    case Json::arrayValue: {
      if (!var.is_array()) return false;
      pp::VarArray array(var);
      if (array.GetLength() != pattern.size()) return false;
      for (Json::ArrayIndex i = 0; i < pattern.size(); ++i) {
        if (!VarMatches(array.Get(i), pattern[i])) return false;
      }
      return true;
    }
    case Json::nullValue:
      return var.is_null();
    case Json::booleanValue:
      return var.is_bool() && var.AsBool() == pattern.asBool();
    case Json::intValue:
    case Json::uintValue:
    case Json::realValue:
      return var.is_number() && var.AsDouble() == pattern.asDouble();
    case Json::stringValue:
      return var.is_string() && var.AsString() == pattern.asString();
  }
  return false;
}

}  // namespace pphost
