#ifndef KELMORA_TESTS_HOST_ECHO_MODULE_H_
#define KELMORA_TESTS_HOST_ECHO_MODULE_H_

// A module for host tests that leaves the process's descriptors alone:
// every page message comes back as {"type": "echo", "data": message,
// "main": on the main thread}; a message "log" writes a console line.

#include "ppapi/cpp/core.h"
#include "ppapi/cpp/instance.h"
#include "ppapi/cpp/module.h"
#include "ppapi/cpp/var_dictionary.h"

namespace kelmora_test {

class EchoInstance : public pp::Instance {
 public:
  explicit EchoInstance(PP_Instance instance) : pp::Instance(instance) {}

  void HandleMessage(const pp::Var& message) override {
    if (message == pp::Var("log")) {
      LogToConsole(PP_LOGLEVEL_LOG, pp::Var("echo log"));
      return;
    }
    // Changing what arrived must not change what the page sent.
    if (message.is_dictionary()) pp::VarDictionary(message).Set(pp::Var("seen"), pp::Var(true));
    pp::VarDictionary reply;
    // A page may ask for a reply of another type.
    pp::Var type = message.is_dictionary()
                       ? pp::VarDictionary(message).Get(pp::Var("reply_type"))
                       : pp::Var();
    reply.Set(pp::Var("type"), type.is_string() ? type : pp::Var("echo"));
    reply.Set(pp::Var("data"), message);
    reply.Set(pp::Var("main"), pp::Var(pp::Module::Get()->core()->IsMainThread()));
    PostMessage(reply);
  }
};

class EchoModule : public pp::Module {
 public:
  pp::Instance* CreateInstance(PP_Instance instance) override {
    return new EchoInstance(instance);
  }
};

}  // namespace kelmora_test

#endif  // KELMORA_TESTS_HOST_ECHO_MODULE_H_
