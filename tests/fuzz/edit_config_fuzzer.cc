// libFuzzer target: any text a page can send as an edit configuration.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "edit_config_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  kelmora::EditConfig config;
  if (kelmora::ParseEditConfig(text, &config)) {
    // What the editor relies on once a configuration is accepted.
    if (config.inFilename.empty() || config.outFilename.empty()) {
      abort();
    }
    if (config.fps != 0 && (config.fps < 1 || config.fps > 60)) {
      abort();
    }
    if (config.outFormat < 0 || config.outFormat > 2) {
      abort();
    }
  }
  return 0;
}
