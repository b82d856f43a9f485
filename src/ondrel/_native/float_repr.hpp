// The text repr() gives a finite float, shared by the writer and the reader's JSON fallback.
#pragma once

namespace ondrel {

// Room float_repr needs at `out`: more than the longest text (24 bytes), since it copies in
// fixed-size blocks.
inline constexpr int kFloatReprMax = 40;

// Writes repr(value) of a finite value at out (kFloatReprMax bytes of room) and returns the end.
char* float_repr(char* out, double value);

}  // namespace ondrel
