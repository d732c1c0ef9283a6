// The hex view of the default mode (/HEX): received bytes as rows of
// monitor/hex_rows.h, split into frames where the line has been idle for
// the gap. Each frame starts on a line of its own with "+<ms> ms", the idle
// time since the previous frame ended (or since the view started); a row
// is shown as soon as it is full or its frame ends. A line change or an
// error item cuts the row it was found in: the bytes so far are shown as a
// row, the items go on a line of their own, and the frame goes on in a new
// row at the next offset. Times are the caller's, in milliseconds of a
// monotonic clock.
#pragma once

#include <cstddef>
#include <cstdint>

void HexViewStart(uint32_t gapMs, uint64_t nowMs);

// A run of received bytes, arrived at `nowMs`.
void HexViewBytes(const uint8_t* bytes, size_t length, uint64_t nowMs);

// Nothing arrived until `nowMs`: the frame ends once the gap has passed.
void HexViewIdle(uint64_t nowMs);

// Before items or a line of text are shown between bytes (line changes,
// receive errors, line commands, a command's answer): the row so far goes
// out and the output stands at the start of a line. Rows and headers start
// a line of their own, so the items' line ends with the next of them.
void HexViewCut();

// The frame being received ends now (a frame was sent): the next received
// frame's gap counts from `nowMs`.
void HexViewEndFrame(uint64_t nowMs);
