#include "ppapi/cpp/var.h"

#include <cmath>
#include <cstdio>
#include <limits>

namespace pp {

Var::Var() : type_(PP_VARTYPE_UNDEFINED) { value_.as_double = 0; }

Var::Var(Null) : type_(PP_VARTYPE_NULL) { value_.as_double = 0; }

Var::Var(bool value) : type_(PP_VARTYPE_BOOL) { value_.as_bool = value; }

Var::Var(int32_t value) : type_(PP_VARTYPE_INT32) { value_.as_int = value; }

Var::Var(double value) : type_(PP_VARTYPE_DOUBLE) { value_.as_double = value; }

Var::Var(const char* utf8)
    : type_(PP_VARTYPE_STRING),
      string_(std::make_shared<const std::string>(utf8 ? utf8 : "")) {
  value_.as_double = 0;
}

Var::Var(const std::string& utf8)
    : type_(PP_VARTYPE_STRING), string_(std::make_shared<const std::string>(utf8)) {
  value_.as_double = 0;
}

Var::Var(const Resource& resource) : type_(PP_VARTYPE_RESOURCE), resource_(resource) {
  value_.as_double = 0;
  if (resource.is_null()) type_ = PP_VARTYPE_NULL;
}

Var::Var(const Var& other) = default;

Var::~Var() = default;

Var& Var::operator=(const Var& other) = default;

Var Var::MakeArray() {
  Var var;
  var.type_ = PP_VARTYPE_ARRAY;
  var.array_ = std::make_shared<internal::ArrayData>();
  return var;
}

Var Var::MakeDictionary() {
  Var var;
  var.type_ = PP_VARTYPE_DICTIONARY;
  var.dictionary_ = std::make_shared<internal::DictionaryData>();
  return var;
}

bool Var::operator==(const Var& other) const {
  if (type_ != other.type_) return false;
  switch (type_) {
    case PP_VARTYPE_UNDEFINED:
    case PP_VARTYPE_NULL:
      return true;
    case PP_VARTYPE_BOOL:
      return value_.as_bool == other.value_.as_bool;
    case PP_VARTYPE_INT32:
      return value_.as_int == other.value_.as_int;
    case PP_VARTYPE_DOUBLE:
      return value_.as_double == other.value_.as_double;
    case PP_VARTYPE_STRING:
      return *string_ == *other.string_;
    case PP_VARTYPE_ARRAY:
      return array_ == other.array_;
    case PP_VARTYPE_DICTIONARY:
      return dictionary_ == other.dictionary_;
    case PP_VARTYPE_RESOURCE:
      return resource_.object() == other.resource_.object();
    default:
      return false;
  }
}

bool Var::AsBool() const { return is_bool() && value_.as_bool; }

int32_t Var::AsInt() const {
  if (is_int()) return value_.as_int;
  if (!is_double() || std::isnan(value_.as_double)) return 0;
  // Truncation toward zero, saturated at the int32 range.
  double value = std::trunc(value_.as_double);
  if (value >= static_cast<double>(std::numeric_limits<int32_t>::max()))
    return std::numeric_limits<int32_t>::max();
  if (value <= static_cast<double>(std::numeric_limits<int32_t>::min()))
    return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(value);
}

double Var::AsDouble() const {
  if (is_double()) return value_.as_double;
  if (is_int()) return value_.as_int;
  return 0.0;
}

std::string Var::AsString() const { return is_string() ? *string_ : std::string(); }

Resource Var::AsResource() const { return is_resource() ? resource_ : Resource(); }

std::string Var::DebugString() const {
  char text[64];
  switch (type_) {
    case PP_VARTYPE_UNDEFINED:
      return "Var(UNDEFINED)";
    case PP_VARTYPE_NULL:
      return "Var(NULL)";
    case PP_VARTYPE_BOOL:
      return value_.as_bool ? "Var(true)" : "Var(false)";
    case PP_VARTYPE_INT32:
      snprintf(text, sizeof(text), "Var(%d)", value_.as_int);
      return text;
    case PP_VARTYPE_DOUBLE:
      snprintf(text, sizeof(text), "Var(%g)", value_.as_double);
      return text;
    case PP_VARTYPE_STRING:
      return "Var<'" + *string_ + "'>";
    case PP_VARTYPE_ARRAY:
      return "Var(ARRAY)";
    case PP_VARTYPE_DICTIONARY:
      return "Var(DICTIONARY)";
    case PP_VARTYPE_RESOURCE:
      snprintf(text, sizeof(text), "Var(RESOURCE %d)", resource_.pp_resource());
      return text;
    default:
      return "Var(OBJECT)";
  }
}

}  // namespace pp
