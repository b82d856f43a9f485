// The text repr() gives a finite float, shared by the writer and the reader's JSON fallback.
#pragma once

namespace ondrel {

// Room float_repr needs at `out`.
inline constexpr int kFloatReprMax = 32;

// Writes repr(value) of a finite value at out (kFloatReprMax bytes of room) and returns the end.
char* float_repr(char* out, double value);

}  // namespace ondrel
