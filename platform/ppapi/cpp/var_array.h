#ifndef PPAPI_CPP_VAR_ARRAY_H_
#define PPAPI_CPP_VAR_ARRAY_H_

#include "ppapi/cpp/var.h"

namespace pp {

class VarArray : public Var {
 public:
  VarArray();  // a new, empty array
  // Refers to the same array; a var that is no array gives a null var.
  explicit VarArray(const Var& var);
  VarArray(const VarArray& other);
  ~VarArray() override;
  VarArray& operator=(const VarArray& other);

  // Undefined past the end.
  Var Get(uint32_t index) const;
  // Grows the array as needed (new elements are undefined).
  bool Set(uint32_t index, const Var& value);
  uint32_t GetLength() const;
  bool SetLength(uint32_t length);
};

}  // namespace pp

#endif  // PPAPI_CPP_VAR_ARRAY_H_
