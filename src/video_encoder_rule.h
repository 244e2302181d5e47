#ifndef KELMORA_VIDEO_ENCODER_RULE_H_
#define KELMORA_VIDEO_ENCODER_RULE_H_

namespace pp {
class Instance;
}

namespace kelmora {

// The browser's major version as the page last announced it; 0 = unknown.
// Worker thread (start handlers).
void SetChromeVersion(int version);

// Makes "ppenc" and "ppenc_vp9" available and records the instance through
// which they reach the browser's encoder; the last instance to register
// wins. Main thread, in the instance's Init.
void RegisterPPEncoders(pp::Instance* instance);

// Forgets the instance if it is the recorded one. Main thread, when the
// instance is destroyed, so that the record never names a dead instance.
void UnregisterPPEncoders(pp::Instance* instance);

bool ArePPEncodersRegistered();

// Whether a writer without a chosen video encoder may take "ppenc" for a
// picture of this size.
bool CanUseBrowserEncoder(int width, int height);

}  // namespace kelmora

#endif  // KELMORA_VIDEO_ENCODER_RULE_H_
