#ifndef PPAPI_CPP_VAR_H_
#define PPAPI_CPP_VAR_H_

#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "ppapi/c/pp_stdint.h"
#include "ppapi/c/pp_var.h"
#include "ppapi/cpp/resource.h"

namespace pp {

namespace internal {
struct ArrayData;
struct DictionaryData;
}  // namespace internal

// A value passed between the page and the module. Strings are immutable;
// arrays and dictionaries are shared by reference between copies, as in the
// browser (a copy of a dictionary var is the same dictionary).
class Var {
 public:
  struct Null {};

  Var();  // undefined
  Var(Null);
  Var(bool value);
  Var(int32_t value);
  Var(double value);
  Var(const char* utf8);
  Var(const std::string& utf8);
  explicit Var(const Resource& resource);
  Var(const Var& other);
  virtual ~Var();
  Var& operator=(const Var& other);

  // Strings by content, numbers and bools by value, arrays, dictionaries
  // and resources by identity.
  bool operator==(const Var& other) const;
  bool operator!=(const Var& other) const { return !(*this == other); }

  PP_VarType type() const { return type_; }
  bool is_undefined() const { return type_ == PP_VARTYPE_UNDEFINED; }
  bool is_null() const { return type_ == PP_VARTYPE_NULL; }
  bool is_bool() const { return type_ == PP_VARTYPE_BOOL; }
  bool is_string() const { return type_ == PP_VARTYPE_STRING; }
  bool is_object() const { return type_ == PP_VARTYPE_OBJECT; }
  bool is_array() const { return type_ == PP_VARTYPE_ARRAY; }
  bool is_dictionary() const { return type_ == PP_VARTYPE_DICTIONARY; }
  bool is_resource() const { return type_ == PP_VARTYPE_RESOURCE; }
  bool is_array_buffer() const { return type_ == PP_VARTYPE_ARRAY_BUFFER; }
  bool is_int() const { return type_ == PP_VARTYPE_INT32; }
  bool is_double() const { return type_ == PP_VARTYPE_DOUBLE; }
  bool is_number() const { return is_int() || is_double(); }

  // Conversions of a var of another type give false, 0, "" or a null
  // resource. A double converts to int32 by truncation toward zero.
  bool AsBool() const;
  int32_t AsInt() const;
  double AsDouble() const;
  std::string AsString() const;
  Resource AsResource() const;

  // A short human-readable form, for logs.
  std::string DebugString() const;

 protected:
  friend class VarArray;
  friend class VarDictionary;
  static Var MakeArray();
  static Var MakeDictionary();
  std::shared_ptr<internal::ArrayData>& array_data() { return array_; }
  const std::shared_ptr<internal::ArrayData>& array_data() const {
    return array_;
  }
  const std::shared_ptr<internal::DictionaryData>& dictionary_data() const {
    return dictionary_;
  }

 private:
  PP_VarType type_;
  union {
    bool as_bool;
    int32_t as_int;
    double as_double;
  } value_;
  std::shared_ptr<const std::string> string_;
  std::shared_ptr<internal::ArrayData> array_;
  std::shared_ptr<internal::DictionaryData> dictionary_;
  Resource resource_;
};

namespace internal {

struct ArrayData {
  std::vector<Var> elements;
};

// Keys keep the order in which they were first set; the index finds an
// entry without a scan, since a page message may carry many thousands.
struct DictionaryData {
  typedef std::list<std::pair<std::string, Var>> Entries;
  Entries entries;
  std::unordered_map<std::string, Entries::iterator> index;
};

}  // namespace internal

}  // namespace pp

#endif  // PPAPI_CPP_VAR_H_
