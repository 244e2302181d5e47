// plugin-host: loads a plug-in module as the browser would, creates one
// instance and plays a page script against it, printing every message the
// page receives.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "browser.h"
#include "page_printer.h"
#include "page_script.h"
#include "ppplatform/file_systems.h"
#include "script_extensions.h"

namespace {

const char kUsage[] =
    "usage: plugin-host MODULE.so [--persistent DIR] [--temporary DIR]\n"
    "                   [--no-persistent] [--no-temporary]\n"
    "                   [--persistent-quota BYTES] [--temporary-quota BYTES] [SCRIPT]\n"
    "Plays SCRIPT (JSON lines; standard input when absent) against one instance\n"
    "of MODULE.so. Messages from the module go to standard output as JSON lines,\n"
    "console lines to standard error. A quota makes writes that would make the\n"
    "files of that file system larger fail with ENOSPC, as on a full disk.\n";

struct Options {
  std::string module;
  std::string script;
  std::string persistent = "html5fs/persistent";
  std::string temporary = "html5fs/temporary";
  int64_t persistent_quota = pp::platform::kUnlimitedQuota;
  int64_t temporary_quota = pp::platform::kUnlimitedQuota;
};

// A byte count: digits only.
bool ParseBytes(const char* text, int64_t* bytes) {
  if (!*text) return false;
  for (const char* c = text; *c; ++c) {
    if (*c < '0' || *c > '9') return false;
  }
  errno = 0;
  unsigned long long value = strtoull(text, nullptr, 10);
  if (errno != 0 || value > static_cast<unsigned long long>(INT64_MAX)) return false;
  *bytes = static_cast<int64_t>(value);
  return true;
}

bool ParseArguments(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if ((arg == "--persistent" || arg == "--temporary") && i + 1 < argc) {
      (arg == "--persistent" ? options->persistent : options->temporary) = argv[++i];
    } else if ((arg == "--persistent-quota" || arg == "--temporary-quota") && i + 1 < argc) {
      int64_t* quota = arg == "--persistent-quota" ? &options->persistent_quota
                                                   : &options->temporary_quota;
      if (!ParseBytes(argv[++i], quota)) return false;
    } else if (arg == "--no-persistent") {
      options->persistent.clear();
    } else if (arg == "--no-temporary") {
      options->temporary.clear();
    } else if (!arg.empty() && arg[0] == '-' && arg != "-") {
      return false;
    } else if (options->module.empty()) {
      options->module = arg;
    } else if (options->script.empty()) {
      options->script = arg;
    } else {
      return false;
    }
  }
  return !options->module.empty();
}

// mkdir -p; false when |path| is not a directory afterwards.
bool MakeDirectories(const std::string& path) {
  for (size_t at = 1; at <= path.size(); ++at) {
    if (at == path.size() || path[at] == '/') mkdir(path.substr(0, at).c_str(), 0755);
  }
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string Absolute(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  char cwd[4096];
  if (!getcwd(cwd, sizeof(cwd))) return path;
  return std::string(cwd) + "/" + path;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseArguments(argc, argv, &options)) {
    fputs(kUsage, stderr);
    return 2;
  }
  for (std::string* dir : {&options.persistent, &options.temporary}) {
    if (dir->empty()) continue;
    *dir = Absolute(*dir);
    if (!MakeDirectories(*dir)) {
      fprintf(stderr, "plugin-host: cannot create directory %s\n", dir->c_str());
      return 2;
    }
  }
  int script_fd = -1;
  if (!options.script.empty()) {
    script_fd = open(options.script.c_str(), O_RDONLY | O_CLOEXEC);
    if (script_fd < 0) {
      fprintf(stderr, "plugin-host: cannot open script %s: %s\n", options.script.c_str(),
              strerror(errno));
      return 2;
    }
  }

  int status = 0;
  std::string error;
  {
    pphost::Browser browser;
    pphost::PagePrinter printer(browser.saved_stdout(), browser.saved_stderr());
    browser.SetObserver(&printer);
    browser.SetFileSystems(options.persistent, options.temporary);
    pp::platform::SetHtml5FileSystemQuota(pp::platform::Html5FileSystemType::kPersistent,
                                          options.persistent_quota);
    pp::platform::SetHtml5FileSystemQuota(pp::platform::Html5FileSystemType::kTemporary,
                                          options.temporary_quota);
    PP_Instance instance = 0;
    if (browser.LoadModule(options.module, &error)) instance = browser.CreateInstance(&error);
    if (!instance) {
      status = 1;
    } else {
      pphost::PageScript script(&browser, instance);
      pphost::InstallScriptExtensions(&browser, &script);
      if (!script.RunFrom(script_fd >= 0 ? script_fd : browser.saved_stdin(), &error)) {
        status = 1;
      }
      script.DestroyInstance();
    }
    if (status != 0) {
      pphost::WriteAll(browser.saved_stderr(), "plugin-host: " + error + "\n");
    }
    browser.SetObserver(nullptr);
  }
  if (script_fd >= 0) close(script_fd);
  return status;
}
