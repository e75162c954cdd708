#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/video_encoder_backend.h"

namespace velmora {

// An HEVC compression session on libx265, tuned for real time: ultrafast preset, zero latency, no
// B-frames or lookahead, one frame thread with wavefront parallelism, IDR on request, average bit
// rate with a VBV buffer of one frame interval. Odd sizes are rounded down to even ones; pictures
// of another size than the session's are scaled. Encoding runs on a thread of its own. A bit-rate
// change restarts x265 between two frames, so the next frame is an IDR with new parameter sets.
// Fails with kEncoderStatusInvalidSettings or kEncoderStatusEncoderUnavailable and the reason.
// The factory's sessions share one LingeringThreads, which keeps the thread of a session dropped
// from its own output callback: it lives as long as the factory or one of its sessions.
VideoEncoderBackendFactory makeX265EncoderBackendFactory();

// For benchmarks that try x265 settings: options as x265's command line spells them ("name=value",
// or "name" for a flag), applied after the host's own to every encoder opened from now on in this
// process. Returns the first option x265 refuses, and then changes nothing.
std::optional<std::string> setX265ExtraOptions(std::vector<std::string> options);

}  // namespace velmora
