// The text repr() gives a finite float, shared by the writer and the reader's JSON fallback.
#pragma once

namespace ondrel {

// Room float_repr needs at `out`: more than the longest text (24 bytes), since it copies in
// fixed-size blocks.
inline constexpr int kFloatReprMax = 40;

// The conversion for the vector level in use, chosen once when the module is loaded: a call
// through it skips the level tests and the frames they took.
using FloatRepr = char* (*)(char* out, double value);
extern const FloatRepr kFloatRepr;

// Writes repr(value) of a finite value at out (kFloatReprMax bytes of room) and returns the end.
inline char* float_repr(char* out, double value) { return kFloatRepr(out, value); }

}  // namespace ondrel
