#ifndef PPAPI_CPP_VAR_DICTIONARY_H_
#define PPAPI_CPP_VAR_DICTIONARY_H_

#include "ppapi/cpp/var.h"
#include "ppapi/cpp/var_array.h"

namespace pp {

class VarDictionary : public Var {
 public:
  VarDictionary();  // a new, empty dictionary
  // Refers to the same dictionary; a var that is no dictionary gives a null
  // var.
  explicit VarDictionary(const Var& var);
  VarDictionary(const VarDictionary& other);
  ~VarDictionary() override;
  VarDictionary& operator=(const VarDictionary& other);

  // Undefined when the key is absent or not a string.
  Var Get(const Var& key) const;
  // False when the key is not a string.
  bool Set(const Var& key, const Var& value);
  void Delete(const Var& key);
  bool HasKey(const Var& key) const;
  // The keys as string vars, in the order they were first set.
  VarArray GetKeys() const;
};

}  // namespace pp

#endif  // PPAPI_CPP_VAR_DICTIONARY_H_
