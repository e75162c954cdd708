#pragma once

#include "platform/video_encoder_backend.h"

namespace velmora {

// An HEVC compression session on libx265, tuned for real time: ultrafast preset, zero latency, no
// B-frames or lookahead, one frame thread with wavefront parallelism, IDR on request, average bit
// rate with a VBV buffer of one frame interval. Odd sizes are rounded down to even ones; pictures
// of another size than the session's are scaled. Encoding runs on a thread of its own. A bit-rate
// change restarts x265 between two frames, so the next frame is an IDR with new parameter sets.
// Fails with kEncoderStatusInvalidSettings or kEncoderStatusEncoderUnavailable and the reason.
VideoEncoderBackendCreation makeX265EncoderBackend(const EncoderSettings& settings,
                                                   VideoEncoderBackend::OutputCallback output);

}  // namespace velmora
