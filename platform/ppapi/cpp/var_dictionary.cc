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
  const auto& index = dictionary_data()->index;
  auto found = index.find(key.AsString());
  return found == index.end() ? Var() : found->second->second;
}

bool VarDictionary::Set(const Var& key, const Var& value) {
  if (!is_dictionary() || !key.is_string()) return false;
  internal::DictionaryData& data = *dictionary_data();
  std::string name = key.AsString();
  auto found = data.index.find(name);
  if (found != data.index.end()) {
    found->second->second = value;
    return true;
  }
  data.entries.emplace_back(name, value);
  data.index.emplace(std::move(name), std::prev(data.entries.end()));
  return true;
}

void VarDictionary::Delete(const Var& key) {
  if (!is_dictionary() || !key.is_string()) return;
  internal::DictionaryData& data = *dictionary_data();
  auto found = data.index.find(key.AsString());
  if (found == data.index.end()) return;
  data.entries.erase(found->second);
  data.index.erase(found);
}

bool VarDictionary::HasKey(const Var& key) const {
  if (!is_dictionary() || !key.is_string()) return false;
  return dictionary_data()->index.count(key.AsString()) != 0;
}

VarArray VarDictionary::GetKeys() const {
  VarArray keys;
  if (!is_dictionary()) return keys;
  uint32_t index = 0;
  for (const auto& entry : dictionary_data()->entries) keys.Set(index++, Var(entry.first));
  return keys;
}

}  // namespace pp
