// Turns the bytes a terminal sends for typed keys into the bytes a PC
// console's key read gives: cursor and function keys as two-byte keys
// (0xE0 or 0x00, then the PC extended code), and from a UTF-8 terminal the
// characters U+0080..U+00FF as their single Latin-1 byte.
//
// The decoder works on one chunk at a time, as one read() returned it. An
// escape sequence counts only when all its bytes are in the same chunk (a
// key's sequence arrives in one piece; a person typing ESC and then '[' does
// not). Only a UTF-8 character split across two chunks is carried over, in
// the small state below.
//
// Rules, byte for byte (no input byte is ever dropped without a trace):
//   - Known sequences, xterm and linux-console forms:
//       ESC [ A / B / D / C, ESC O A / B / D / C    Up E0 48, Down E0 50,
//                                                   Left E0 4B, Right E0 4D
//       ESC [ H, ESC O H, ESC [ 1 ~, ESC [ 7 ~      Home E0 47
//       ESC [ F, ESC O F, ESC [ 4 ~, ESC [ 8 ~      End  E0 4F
//       ESC [ 5 ~ / 6 ~ / 2 ~ / 3 ~                 PgUp E0 49, PgDn E0 51,
//                                                   Ins E0 52, Del E0 53
//       ESC O P..S, ESC [ [ A..E, ESC [ 11..15 ~    F1..F5   00 3B..3F
//       ESC [ 17..21 ~                              F6..F10  00 40..44
//       ESC [ 23 ~ / 24 ~                           F11 E0 85, F12 E0 86
//     A modifier parameter (ESC [ 1 ; 5 A, ESC [ 5 ; 2 ~, ESC O 2 P) is
//     accepted and dropped: the key arrives as the plain key.
//   - Any other complete CSI sequence (ESC [ params final) passes through
//     unchanged, all its bytes as typed.
//   - A lone ESC, or ESC followed by anything that does not make a complete
//     known or CSI sequence, gives ESC and then the following bytes are
//     decoded as if ESC had not been there (ESC ESC gives ESC twice).
//   - utf8 true: a well-formed character U+0080..U+00FF gives its Latin-1
//     byte, any other non-ASCII character '?', and every broken sequence
//     (stray continuation byte, bad lead byte, lead byte cut short by a
//     byte that does not continue it, overlong form, surrogate, value above
//     U+10FFFF) one '?' per broken piece; the byte that cut a sequence short
//     is then decoded on its own. A character cut off at the end of a chunk
//     waits in the state for the next chunk.
//   - utf8 false (the locale is not UTF-8, yet the terminal may be, as in
//     the C locale): a well-formed UTF-8 character whose bytes all came in
//     this chunk gives what it gives with utf8 true (so U+00FF, C3 BF, gives
//     0xFF); every other byte passes unchanged, so a Latin-1 terminal's
//     single 0xFF stays 0xFF. A person types one key per read, and no single
//     Latin-1 key makes a valid UTF-8 sequence. The state is neither used
//     nor changed.
#pragma once

#include <cstddef>

struct KeyDecoderState {
    unsigned char held[4];  // leading bytes of a UTF-8 character cut off by the chunk's end
    unsigned char count;    // how many of held[] are in use, 0..3
    unsigned char length;   // how long that character is in all, 2..4 (0 when count is 0)
};

// A zeroed state (KeyDecoderState{}) is the start state.

// Decodes the chunk in[0..n) and writes the resulting key bytes to out;
// returns how many it wrote. out never needs more than 2 * n bytes; bytes
// beyond outCap are not written (they are lost, so give 2 * n and none are).
// in and out must not overlap.
size_t DecodeKeys(KeyDecoderState* state, const unsigned char* in, size_t n, unsigned char* out, size_t outCap,
                  bool utf8);

// Ends the input: a UTF-8 character still held gives '?'. Returns the bytes
// written to out (0 or 1) and leaves the start state.
size_t FinishKeys(KeyDecoderState* state, unsigned char* out, size_t outCap);
