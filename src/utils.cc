#include "utils.h"

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include <Magick++.h>

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/avstring.h>
#include <libavutil/error.h>
}

namespace kelmora {

namespace {
// Several instances, each with its own worker, may start at once.
std::once_flag magick_initialized;
}  // namespace

std::string AvErrorString(int error) {
  char text[64];
  av_strerror(error, text, sizeof(text));
  return text;
}

int CheckReplaceableOutput(const std::string& path) {
  const int existing = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (existing >= 0) {
    close(existing);
    return 0;
  }
  return errno == ENOENT ? 0 : -errno;
}

void LogAvError(const std::string& what, int error) {
  fprintf(stderr, "%s : %s (%d)\n", what.c_str(), AvErrorString(error).c_str(),
          error);
}

const char kLocalProtocols[] = "file";

std::string LocalFileUrl(const std::string& path) {
  if (av_strstart(path.c_str(), "file:", nullptr)) return path;
  const char* protocol = avio_find_protocol_name(path.c_str());
  if (protocol && strcmp(protocol, "file") == 0) return path;
  return "file:" + path;
}

void InitializeMagickOnce() {
  std::call_once(magick_initialized, [] { Magick::InitializeMagick(nullptr); });
}

namespace utils {

void CopyRectYuv(const uint8_t* src, int src_width, int src_height,
                 uint8_t* dst, int dst_width, int dst_height,
                 int box_left, int box_top, int box_width, int box_height,
                 int dst_left, int dst_top) {
  assert(src_width % 2 == 0 && src_height % 2 == 0 && dst_width % 2 == 0 &&
         dst_height % 2 == 0 && box_left % 2 == 0 && box_top % 2 == 0 &&
         box_width % 2 == 0 && box_height % 2 == 0);
  assert(box_left + box_width <= src_width);
  assert(box_top + box_height <= src_height);
  assert(dst_left + box_width <= dst_width);
  assert(dst_top + box_height <= dst_height);

  for (int r = 0; r < box_height; ++r) {
    memcpy(dst + (dst_top + r) * dst_width + dst_left,
           src + (box_top + r) * src_width + box_left, box_width);
  }

  const uint8_t* src_u = src + src_width * src_height;
  const uint8_t* src_v = src_u + (src_width / 2) * (src_height / 2);
  uint8_t* dst_u = dst + dst_width * dst_height;
  uint8_t* dst_v = dst_u + (dst_width / 2) * (dst_height / 2);
  const int src_cw = src_width / 2;
  const int dst_cw = dst_width / 2;
  for (int r = 0; r < box_height / 2; ++r) {
    const int src_off = (box_top / 2 + r) * src_cw + box_left / 2;
    const int dst_off = (dst_top / 2 + r) * dst_cw + dst_left / 2;
    memcpy(dst_u + dst_off, src_u + src_off, box_width / 2);
    memcpy(dst_v + dst_off, src_v + src_off, box_width / 2);
  }
}

}  // namespace utils

void ReleaseFreeHeap() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

}  // namespace kelmora
