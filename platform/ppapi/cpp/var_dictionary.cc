#include "ppapi/cpp/var_dictionary.h"

namespace pp {

VarDictionary::VarDictionary() : Var(MakeDictionary()) {}

VarDictionary::VarDictionary(const Var& var)
    : Var(var.is_dictionary() ? var : Var(Null())) {}

VarDictionary::VarDictionary(const VarDictionary& other) = default;

VarDictionary::~VarDictionary() = default;

VarDictionary& VarDictionary::operator=(const VarDictionary& other) = default;

Var VarDictionary::Get(const Var& key) const {
  if (!is_dictionary() || !key.is_string()) return Var();
  std::string name = key.AsString();
  for (const auto& entry : dictionary_data()->entries) {
    if (entry.first == name) return entry.second;
  }
  return Var();
}

bool VarDictionary::Set(const Var& key, const Var& value) {
  if (!is_dictionary() || !key.is_string()) return false;
  std::string name = key.AsString();
  auto& entries = dictionary_data()->entries;
  for (auto& entry : entries) {
    if (entry.first == name) {
      entry.second = value;
      return true;
    }
  }
  entries.emplace_back(name, value);
  return true;
}

void VarDictionary::Delete(const Var& key) {
  if (!is_dictionary() || !key.is_string()) return;
  std::string name = key.AsString();
  auto& entries = dictionary_data()->entries;
  for (auto it = entries.begin(); it != entries.end(); ++it) {
    if (it->first == name) {
      entries.erase(it);
      return;
    }
  }
}

bool VarDictionary::HasKey(const Var& key) const {
  if (!is_dictionary() || !key.is_string()) return false;
  std::string name = key.AsString();
  for (const auto& entry : dictionary_data()->entries) {
    if (entry.first == name) return true;
  }
  return false;
}

VarArray VarDictionary::GetKeys() const {
  VarArray keys;
  if (!is_dictionary()) return keys;
  uint32_t index = 0;
  for (const auto& entry : dictionary_data()->entries) keys.Set(index++, Var(entry.first));
  return keys;
}

}  // namespace pp
