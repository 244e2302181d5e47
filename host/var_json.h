#ifndef PPHOST_VAR_JSON_H_
#define PPHOST_VAR_JSON_H_

#include <functional>
#include <map>
#include <string>

#include <json/json.h>

#include "ppapi/cpp/var.h"

namespace pphost {

// Makes the var for a script object {"$name": value} inside a message
// (later: media-stream tracks handed to the module).
typedef std::function<bool(const Json::Value& value, pp::Var* var, std::string* error)>
    ScriptObjectFactory;
typedef std::map<std::string, ScriptObjectFactory> ScriptObjectFactories;

// As the page's script engine converts a value: a whole number within the
// int32 range becomes an int32 var, any other number a double.
bool JsonToVar(const Json::Value& value, const ScriptObjectFactories& factories, pp::Var* var,
               std::string* error);

// One line of JSON; dictionaries keep their key order. A resource prints as
// {"$resource": id}; undefined as null.
std::string VarToJson(const pp::Var& var);

// True when |var| contains |pattern|: every member of an object pattern is
// present and matches (recursively); other patterns must be equal (numbers
// by value).
bool VarMatches(const pp::Var& var, const Json::Value& pattern);

}  // namespace pphost

#endif  // PPHOST_VAR_JSON_H_
