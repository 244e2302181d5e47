// A module for tests of the sandbox file layer through plugin-host. It
// mounts both file systems at start-up, as the real modules do, and
// answers {"type": "write", "data": {"path": P, "bytes": N, "stdio": B}}
// by writing N bytes to P (through a stdio stream when B) with
// {"type": "write", "data": false} or {"type": "write", "data": ERROR TEXT}.

#include <errno.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "nacl_io/nacl_io.h"
#include "ppapi/cpp/instance.h"
#include "ppapi/cpp/module.h"
#include "ppapi/cpp/var_dictionary.h"

namespace {

// "" or the failure.
std::string WriteBytes(const std::string& path, int bytes, bool stdio) {
  std::string data(bytes, 'x');
  if (stdio) {
    FILE* file = fopen(path.c_str(), "w");
    if (!file) return strerror(errno);
    size_t written = fwrite(data.data(), 1, data.size(), file);
    int write_error = written == data.size() ? 0 : errno;
    int close_error = fclose(file) == 0 ? 0 : errno;
    if (write_error || close_error) return strerror(write_error ? write_error : close_error);
    return "";
  }
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return strerror(errno);
  size_t done = 0;
  while (done < data.size()) {
    ssize_t written = write(fd, data.data() + done, data.size() - done);
    if (written < 0) {
      int error = errno;
      close(fd);
      return strerror(error);
    }
    done += written;
  }
  close(fd);
  return "";
}

class FileWriterInstance : public pp::Instance {
 public:
  explicit FileWriterInstance(PP_Instance instance) : pp::Instance(instance) {}

  bool Init(uint32_t argc, const char* argn[], const char* argv[]) override {
    nacl_io_init_ppapi(pp_instance(), nullptr);
    mount("", "/html5_persistent", "html5fs", 0, "type=PERSISTENT,expected_size=1048576");
    mount("", "/html5_temporary", "html5fs", 0, "type=TEMPORARY,expected_size=1048576");
    return true;
  }

  void HandleMessage(const pp::Var& message) override {
    if (!message.is_dictionary()) return;
    pp::VarDictionary envelope(message);
    if (envelope.Get(pp::Var("type")) != pp::Var("write")) return;
    pp::VarDictionary data(envelope.Get(pp::Var("data")));
    std::string error = WriteBytes(data.Get(pp::Var("path")).AsString(),
                                   data.Get(pp::Var("bytes")).AsInt(),
                                   data.Get(pp::Var("stdio")).AsBool());
    pp::VarDictionary reply;
    reply.Set(pp::Var("type"), pp::Var("write"));
    reply.Set(pp::Var("data"), error.empty() ? pp::Var(false) : pp::Var(error));
    PostMessage(reply);
  }
};

class FileWriterModule : public pp::Module {
 public:
  pp::Instance* CreateInstance(PP_Instance instance) override {
    return new FileWriterInstance(instance);
  }
};

}  // namespace

namespace pp {
Module* CreateModule() { return new FileWriterModule(); }
}  // namespace pp
