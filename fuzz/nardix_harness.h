// Drives the plate-recognition library's parsers with arbitrary bytes: the
// result stream of the result channel, the reply stream of the control
// channel and the answers to a discovery scan. Used by the fuzz targets and
// by the corpus replay test.
#pragma once

#include <cstddef>
#include <cstdint>

#include "handle.h"

namespace nardixfuzz {

// Hands `n` bytes to the result stream parser as receives of at most `chunk`
// bytes each (as the receive thread does), the monotonic clock at `nowMs` and
// moving on by `stepMs` before each receive. No bytes: the parser runs once
// (as when the thread wakes at a frame's deadline).
void FeedResult(StLprCameraHandle* h, const uint8_t* d, size_t n, size_t chunk, int64_t nowMs = 0,
                int64_t stepMs = 0);
// The same for the reply stream of a control channel record.
void FeedReplies(nardix::StLprControlChannel* c, const uint8_t* d, size_t n, size_t chunk,
                 int64_t nowMs = 0, int64_t stepMs = 0);

// One fuzz input each: the first bytes choose the receive size, the time
// between receives and settings (the reply stream's waiting request and when
// it went out), the rest is the stream; after it the clock runs on past the
// deadlines of the frames still under way. Aborts when a delivered record
// breaks its bounds, or when what the library made of the stream (results
// delivered; the waiting request's outcome, version texts, shutter value and
// reset reports) differs from a plain reading of the stream rules.
int FuzzResultStream(const uint8_t* d, size_t n);
int FuzzReplyStream(const uint8_t* d, size_t n);
// One datagram on the discovery socket (cut to its receive buffer), checked
// against a fixed list of this PC's addresses.
int FuzzScanAnswer(const uint8_t* d, size_t n);

}  // namespace nardixfuzz
