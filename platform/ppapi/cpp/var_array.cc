#include "ppapi/cpp/var_array.h"

namespace pp {

VarArray::VarArray() : Var(MakeArray()) {}

VarArray::VarArray(const Var& var) : Var(var.is_array() ? var : Var(Null())) {}

VarArray::VarArray(const VarArray& other) = default;

VarArray::~VarArray() = default;

VarArray& VarArray::operator=(const VarArray& other) = default;

Var VarArray::Get(uint32_t index) const {
  if (!is_array() || index >= array_data()->elements.size()) return Var();
  return array_data()->elements[index];
}

bool VarArray::Set(uint32_t index, const Var& value) {
  if (!is_array()) return false;
  auto& elements = array_data()->elements;
  if (index >= elements.size()) elements.resize(index + 1);
  elements[index] = value;
  return true;
}

uint32_t VarArray::GetLength() const {
  return is_array() ? static_cast<uint32_t>(array_data()->elements.size()) : 0;
}

bool VarArray::SetLength(uint32_t length) {
  if (!is_array()) return false;
  array_data()->elements.resize(length);
  return true;
}

}  // namespace pp
