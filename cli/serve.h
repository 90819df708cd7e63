// `velmo-image-tools serve`: the plug-in behind a pipe.
//
// Input and output are streams of frames: a 4-byte little-endian payload length, a 4-byte
// little-endian call id, then the payload. An input payload is a method call in the standard
// method codec; each reply frame carries the call's id and the reply envelope, or an empty
// payload for not-implemented (and for a payload that is not a method call).
#pragma once

namespace velmo::cli {

// Payloads above this are refused: the length is the first thing a broken or hostile writer
// gets wrong, and no image-tools call comes near it.
inline constexpr unsigned kMaxFramePayload = 64u << 20;

// Serves calls read from |inputFd| and writes replies to |outputFd| until end of input and
// every call is answered. Returns the exit status: 0, or 2 after a broken frame (a length
// over kMaxFramePayload, a frame cut short by end of input) or a read error, once the calls
// before it are answered. A failed write ends the process with status 2 at once.
int serve(int inputFd, int outputFd);

}  // namespace velmo::cli
