#ifndef PPPLATFORM_MEDIA_STREAM_HOOKS_H_
#define PPPLATFORM_MEDIA_STREAM_HOOKS_H_

// Host side of the media-stream tracks: lets a test make a track call fail,
// end a track, and see what a track delivered and dropped.

#include <cstdint>
#include <string>

namespace pp {
namespace platform {

enum class MediaStreamCall {
  kVideoConfigure,  // the video track's Configure completes with the result
  kVideoGetFrame,   // GetFrame completes with the result, no frame
  kAudioConfigure,  // the audio track's Configure completes with the result
  kAudioGetBuffer,  // GetBuffer completes with the result, no buffer
};

// The |nth| call of |call| from now on (1 = the next), by any track, fails
// with |result|. One failure per call is armed at a time.
void FailMediaStreamCall(MediaStreamCall call, int32_t result, int nth = 1);

// Ends the live tracks with this id (GetId: every resource made for one
// page track has its id) as their source would: false when there is none.
bool EndMediaStreamTrack(const std::string& id);

// What one track did since it was made. Frames and buffers count alike.
struct MediaStreamTrackRecord {
  int delivered = 0;   // taken by the module
  int dropped = 0;     // came from the source while every buffer was in use
  int max_lent = 0;    // most held by the module at one time
  int configures = 0;  // Configure calls that were accepted
};
// Of the newest live track with this id; false when there is none.
bool GetMediaStreamTrackRecord(const std::string& id, MediaStreamTrackRecord* record);

// Clears the armed failures.
void ResetMediaStreamHooks();

}  // namespace platform
}  // namespace pp

#endif  // PPPLATFORM_MEDIA_STREAM_HOOKS_H_
