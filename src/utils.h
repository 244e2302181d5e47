#ifndef KELMORA_UTILS_H_
#define KELMORA_UTILS_H_

#include <cstdint>
#include <string>

namespace kelmora {

// Writes "what : <library text> (code)\n" to standard error.
void LogAvError(const std::string& what, int error);

// The media library's text for an error code.
std::string AvErrorString(int error);

// The name under which the media library opens a media path that a page
// named: always a local file. A name the library would read as a URL or a
// protocol ("http://...", "pipe:", "concat:...") gets the "file:" prefix, so
// that it stays a file name; plain paths come back unchanged.
std::string LocalFileUrl(const std::string& path);

// The only protocol the media library may use for page-named media, also
// for what a container opens in turn (a playlist's segments): the value of
// its "protocol_whitelist" option.
extern const char kLocalProtocols[];

// 0 when an output written beside |path| may later be moved onto it: no
// file there yet, or one this program may write (not a directory, not
// read-only). Else the negative errno. Nothing is created or truncated.
int CheckReplaceableOutput(const std::string& path);

// Starts the image library on the first call only.
void InitializeMagickOnce();

// Gives the pages of freed heap memory back to the system. A recording
// frees picture-sized blocks all the time, on other threads than the ones
// that allocated them; the holes they leave between smaller blocks are
// never at the top of the heap, where the allocator trims by itself, so
// without this the process keeps every page it has once touched.
void ReleaseFreeHeap();

namespace utils {

// Copies a box between two packed YUV 4:2:0 pictures (Y, then U, then V,
// each plane's stride equal to its width).
void CopyRectYuv(const uint8_t* src, int src_width, int src_height,
                 uint8_t* dst, int dst_width, int dst_height,
                 int box_left, int box_top, int box_width, int box_height,
                 int dst_left, int dst_top);

}  // namespace utils
}  // namespace kelmora

#endif  // KELMORA_UTILS_H_
