#include "page_script.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <memory>
#include <sstream>

#include "ppapi/cpp/var_dictionary.h"

namespace pphost {

namespace {

// Nesting a script line may have; deeper lines are refused.
const int kMaxDepth = 1000;

bool ParseLine(const std::string& text, Json::Value* value, std::string* error) {
  Json::CharReaderBuilder builder;
  Json::CharReaderBuilder::strictMode(&builder.settings_);
  builder["strictRoot"] = false;  // a message may be any value
  builder["stackLimit"] = kMaxDepth;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::string errors;
  try {
    if (!reader->parse(text.data(), text.data() + text.size(), value, &errors)) {
      *error = "not JSON: " + text;
      return false;
    }
  } catch (const Json::Exception&) {
    // The reader throws past its nesting limit instead of failing.
    *error = "not JSON: nested deeper than " + std::to_string(kMaxDepth) + " levels";
    return false;
  }
  return true;
}

// The directive's name when |value| is a directive line, else "".
std::string DirectiveName(const Json::Value& value) {
  if (!value.isObject()) return std::string();
  std::string name;
  for (const std::string& member : value.getMemberNames()) {
    if (!member.empty() && member[0] == '$') {
      if (!name.empty()) return "$";  // more than one: rejected below
      name = member;
    }
  }
  return name;
}

}  // namespace

PageScript::PageScript(Browser* browser, PP_Instance instance)
    : browser_(browser), instance_(instance), line_number_(0), destroyed_at_line_(0) {
  AddDirective("$sleep", [this](const Json::Value& line, std::string* error) {
    const Json::Value& ms = line["$sleep"];
    if (!ms.isNumeric() || ms.asDouble() < 0) {
      *error = "$sleep wants a number of milliseconds";
      return false;
    }
    browser_->RunFor(static_cast<int64_t>(ms.asDouble()));
    return true;
  });
  AddDirective("$await", [this](const Json::Value& line, std::string* error) {
    return Await(line, error);
  });
  AddDirective("$destroy", [this](const Json::Value& line, std::string* error) {
    DestroyInstance();
    destroyed_at_line_ = line_number_;
    return true;
  });
}

void PageScript::AddDirective(const std::string& name, Directive directive) {
  directives_[name] = std::move(directive);
}

void PageScript::AddScriptObject(const std::string& name, ScriptObjectFactory factory) {
  script_objects_[name] = std::move(factory);
}

void PageScript::DestroyInstance() {
  if (!instance_) return;
  // Page messages already posted still reach the instance first.
  browser_->RunUntilIdle();
  browser_->DestroyInstance(instance_);
  instance_ = 0;
}

bool PageScript::RunLine(const std::string& text, std::string* error) {
  ++line_number_;
  std::string prefix = "line " + std::to_string(line_number_) + ": ";
  if (text.find_first_not_of(" \t\r") == std::string::npos) return true;
  Json::Value value;
  if (!ParseLine(text, &value, error)) {
    *error = prefix + *error;
    return false;
  }
  std::string name = DirectiveName(value);
  if (!name.empty()) {
    auto directive = directives_.find(name);
    if (directive == directives_.end()) {
      *error = prefix + "unknown directive: " + text;
      return false;
    }
    if (!directive->second(value, error)) {
      *error = prefix + *error;
      return false;
    }
    return true;
  }
  if (!instance_) {
    *error = prefix + "the instance was destroyed at line " +
             std::to_string(destroyed_at_line_);
    return false;
  }
  pp::Var message;
  if (!JsonToVar(value, script_objects_, &message, error)) {
    *error = prefix + *error;
    return false;
  }
  browser_->PostToInstance(instance_, message);
  // Lets the instance take the message before the next line.
  browser_->RunUntilIdle();
  return true;
}

bool PageScript::Await(const Json::Value& line, std::string* error) {
  const Json::Value& type = line["$await"];
  if (!type.isString()) {
    *error = "$await wants a message type";
    return false;
  }
  if (!instance_) {
    *error = "the instance was destroyed at line " + std::to_string(destroyed_at_line_);
    return false;
  }
  const Json::Value& timeout = line["timeout_ms"];
  int64_t timeout_ms = timeout.isNumeric() ? static_cast<int64_t>(timeout.asDouble())
                                           : kDefaultAwaitTimeoutMs;
  bool has_match = line.isMember("match");
  Json::Value match = line["match"];
  std::string wanted = type.asString();
  auto accepts = [&](const pp::Var& message) {
    if (!message.is_dictionary()) return false;
    pp::VarDictionary envelope(message);
    pp::Var message_type = envelope.Get(pp::Var("type"));
    if (!message_type.is_string() || message_type.AsString() != wanted) return false;
    return !has_match || VarMatches(envelope.Get(pp::Var("data")), match);
  };
  if (browser_->Await(instance_, accepts, timeout_ms, nullptr)) return true;
  std::string what = "\"" + wanted + "\"";
  if (has_match) {
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    what += " matching " + Json::writeString(writer, match);
  }
  *error = "timed out after " + std::to_string(timeout_ms) + " ms waiting for " + what;
  return false;
}

bool PageScript::RunFrom(int fd, std::string* error) {
  if (fd < 0) {
    // poll() skips a negative descriptor: the wait below would never end.
    *error = "no script: standard input is closed";
    return false;
  }
  std::string pending;
  char buffer[4096];
  for (;;) {
    // The browser's main thread keeps running while the page has nothing
    // to say: the module may be waiting for main-thread work.
    auto readable = [fd] {
      struct pollfd input{fd, POLLIN, 0};
      return poll(&input, 1, 0) != 0;
    };
    while (!browser_->RunUntil(readable, 1000)) {
    }
    ssize_t count = read(fd, buffer, sizeof(buffer));
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) {
      *error = "cannot read the script";
      return false;
    }
    if (count == 0) break;
    pending.append(buffer, count);
    size_t end;
    while ((end = pending.find('\n')) != std::string::npos) {
      std::string text = pending.substr(0, end);
      pending.erase(0, end + 1);
      if (!RunLine(text, error)) return false;
    }
  }
  return pending.empty() || RunLine(pending, error);
}

}  // namespace pphost
