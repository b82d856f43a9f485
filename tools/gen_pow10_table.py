"""Generate src/ondrel/_native/pow10_table.hpp: 128-bit powers of ten for shortest_double.hpp.

Everything is exact integer arithmetic. For every decimal exponent k the table holds

    g(k) = floor(10**-k * 2**(127 - b)) + 1,  b = floor(log2(10**-k)),

so 2**127 < g(k) < 2**128: 10**-k rounded up to 128 significant bits. The script also picks
and checks, over every binary exponent a double can have, the fixed-point constants of the
three floor-logarithm helpers the routine uses, and writes them beside the table.

Run: python3 tools/gen_pow10_table.py [output path]
"""

from __future__ import annotations

import decimal
import math
import sys
from fractions import Fraction
from pathlib import Path

OUT = Path(__file__).resolve().parent.parent / "src/ondrel/_native/pow10_table.hpp"
# Binary exponents q of v = c * 2**q with c the integer significand of a finite double.
Q_MIN = -1074
Q_MAX = 2046 - 1075


def floor_log10(x: Fraction) -> int:
    """Largest k with 10**k <= x, for x > 0."""
    k = len(str(x.numerator)) - len(str(x.denominator))
    while Fraction(10) ** k > x:
        k -= 1
    while Fraction(10) ** (k + 1) <= x:
        k += 1
    return k


def floor_log2(x: Fraction) -> int:
    """Largest b with 2**b <= x, for x > 0."""
    b = x.numerator.bit_length() - x.denominator.bit_length()
    while Fraction(2) ** b > x:
        b -= 1
    while Fraction(2) ** (b + 1) <= x:
        b += 1
    return b


def fit(name: str, want: dict[int, int], ratio: Fraction, offset: Fraction) -> tuple[int, int, int]:
    """Smallest shift s with (x * A + B) >> s == want[x] for all x, A ~ ratio, B ~ offset."""
    for s in range(10, 60):
        a0 = (ratio * 2**s).__floor__()
        b0 = (offset * 2**s).__floor__()
        for a in (a0, a0 + 1):
            for b in (b0, b0 + 1):
                if all((x * a + b) >> s == y for x, y in want.items()):
                    # The products must stay inside int64 in C++.
                    assert max(abs(x * a + b) for x in want) < 2**62, name
                    return a, b, s
    raise SystemExit(f"no constants for {name}")


# Why the table's precision suffices. For a significand c and binary exponent q the routine
# picks k and h = q + floor(log2(10**-k)) + 1, and for each cx in {4c - 2 or 4c - 1, 4c, 4c + 2}
# it computes round_to_odd(g(k), cx << h), i.e. Y = g(k) * (cx << h) / 2**128 reduced to
# floor(Y), with the low bit set when frac(Y) >= 2**-64 (the fraction is cut to 64 bits). The
# exact quantity Y stands for is
#
#     X = cx * 2**q * 10**-k,
#
# and Y = X + d with 0 < d = (g(k) - 10**-k * 2**(127 - b)) * (cx << h) / 2**128 < 2**-68, as
# g(k) exceeds the exact scaled power by at most 1 and cx << h < 2**60 (both asserted below).
# The result equals round_to_odd(X), which every comparison in the routine relies on, iff
# X is an integer or 2**-64 - d <= frac(X) < 1 - d. So it suffices that X is an integer or
#
#     frac(X) >= 2**-64  and  1 - frac(X) >= 2**-64  (the second needs only > 2**-68),
#
# i.e. the distance from X to the nearest integer is 0 or at least 2**-64. Below that only
# the sticky bit can be lost, which is harmless when floor(X) is odd; such values are
# enumerated and checked one by one (one exists: q=664, c=8887055249355788, X = 4c 2**q 10**-199
# is 2**-65.44 above an odd integer). The ranges, all with the routine's k:
#   q = -1074 (subnormals and biased exponent 1): c in [1, 2**53 - 1], k = floor(q log10 2),
#     cx = 2m with m in [1, 2**54 - 1];
#   q in [-1073, 971], c in [2**52 + 1, 2**53 - 1]: k = floor(q log10 2), cx = 2m with
#     m in [2**53 + 1, 2**54 - 1];
#   q in [-1073, 971], c = 2**52 (the narrower gap below): k = floor(q log10 2 + log10 3/4),
#     cx in {2**54 - 1, 2**54, 2**54 + 2}.
# With alpha = 2**(q + 1) * 10**-k = n / d, X = m * alpha and its distances to the integers
# below and above are (m n mod d) / d and (d - m n mod d) / d; min_residues() bounds both
# over 1 <= m <= N in O(log d) steps.


def min_residues(n: int, d: int, big_n: int) -> tuple[int, int, int, int] | None:
    """For 1 <= m <= big_n with d not dividing m * n: (lo, m_lo, hi, m_hi) where lo is the
    least m * n mod d, hi the least d - (m * n mod d), m_lo and m_hi the least m reaching them.
    None when every m * n is a multiple of d.

    Lattice of pairs (m, m * n - p * d): keep a point L = (ml, rl) just below an integer
    (rl > 0) and U = (mu, -su) just above (su > 0) forming a basis. A point with m > 0 strictly
    closer from either side is x L + y U with x, y >= 1, so m >= ml + mu; adding the farther
    one to the nearer one as many times as stays on its side walks the convergents and
    semiconvergents, and stopping once ml + mu > big_n leaves both minima.
    """
    n %= d
    if n == 0:
        return None
    ml, rl, mu, su = 1, n, 0, d
    while rl != su:
        if rl > su:
            t = min((rl - 1) // su, (big_n - ml) // mu)
            if t == 0:
                break
            ml += t * mu
            rl -= t * su
        else:
            t = min((su - 1) // rl, (big_n - mu) // ml)
            if t == 0:
                break
            mu += t * ml
            su -= t * rl
    # rl == su: (ml + mu) * n = 0 mod d and rl = su = gcd(n, d), the least possible anyway.
    return rl, ml, su, mu


def min_residues_brute(n: int, d: int, big_n: int) -> tuple[int, int, int, int] | None:
    rs = [(m * n % d, m) for m in range(1, big_n + 1) if m * n % d]
    if not rs:
        return None
    lo = min(rs)
    hi = min((d - r, m) for r, m in rs)
    return lo[0], lo[1], hi[0], hi[1]


def self_check_min_residues() -> None:
    import random

    rng = random.Random(1)
    for _ in range(4000):
        d = rng.randint(1, 400)
        n = rng.randint(0, 3 * d)
        big_n = rng.randint(1, 2 * d + 5)
        got, want = min_residues(n, d, big_n), min_residues_brute(n, d, big_n)
        assert got == want, (n, d, big_n, got, want)
    # Large partial quotients and powers of 2 and 5 like the real moduli.
    for n, d in [(1, 1000), (999, 1000), (5**7, 2**20), (2**19, 5**9), (355, 113 * 1000)]:
        for big_n in (1, 2, 7, 113, 999, 5000):
            assert min_residues(n, d, big_n) == min_residues_brute(n, d, big_n), (n, d, big_n)


def round_to_odd(g: int, cp: int) -> int:
    """round_to_odd() of shortest_double.hpp: fraction cut to 64 bits, then sticky."""
    mid = g * cp >> 64
    return mid >> 64 | int(mid % 2**64 != 0)


def exact_round_to_odd(x: Fraction) -> int:
    f = x.__floor__()
    return f | int(x != f)


def check_scaled_fractions(
    log10_pow2: dict[int, int],
    log10_3q_pow2: dict[int, int],
    log2_pow10: dict[int, int],
    table: dict[int, tuple[int, Fraction]],
) -> tuple[Fraction, str, list[str]]:
    """Fails unless every exact scaled value X (see above) is an integer, at least 2**-64 from
    one, or (checked one by one) rounds to odd exactly anyway. Returns the least nonzero
    distance found, where, and the values that needed the one-by-one check."""
    limit = Fraction(1, 2**64)
    worst = (Fraction(1), "")
    spared: list[str] = []

    def check_error(q: int, k: int, cx_max: int) -> int:
        h = q + log2_pow10[-k] + 1
        assert h >= 0 and cx_max << h < 2**60, (q, k, h)
        assert 0 < table[k][1] <= 1, k
        return h

    def spare(q: int, k: int, h: int, cx: int, x: Fraction, dist: Fraction) -> None:
        # Below 2**-64 the sticky bit may be lost; harmless when floor(X) is odd already.
        if round_to_odd(table[k][0], cx << h) != exact_round_to_odd(x):
            raise SystemExit(f"q={q} k={k} cx={cx}: X is {dist} from an integer, rounds wrong")
        spared.append(f"q={q} k={k} cx={cx} distance 2**{math.log2(dist):.3f}")

    for q in range(Q_MIN, Q_MAX + 1):
        k = log10_pow2[q]
        m_min = 1 if q == Q_MIN else 2**53 + 1
        m_max = 2**54 - 1
        h = check_error(q, k, 2 * m_max)
        alpha = Fraction(2) ** (q + 1) / Fraction(10) ** k
        res = min_residues(alpha.numerator, alpha.denominator, m_max)
        if res is None:
            continue
        # Minima over 1 <= m <= m_max; exact over [m_min, m_max] when the argmin is inside.
        lo, m_lo, hi, m_hi = res
        d = alpha.denominator
        for dist, m, side in ((Fraction(lo, d), m_lo, "below"), (Fraction(hi, d), m_hi, "above")):
            worst = min(worst, (dist, f"q={q} k={k} cx={2 * m} {side}{'' if m >= m_min else '*'}"))
        if lo >= limit * d and hi >= limit * d:
            continue
        if lo < limit * d and hi < limit * d:
            raise SystemExit(f"q={q} k={k}: values within 2**-64 of integers on both sides")
        # One side only, say below with least residue lo at m_lo. Another m <= m_max with a
        # residue under d / 2**64 differs from m_lo by a point within 2**-64 of an integer: not
        # above (hi is larger), so below, and then by induction m = j * m_lo. Check each.
        r0, m0 = (lo, m_lo) if lo < limit * d else (d - hi, m_hi)
        step = r0 if lo < limit * d else r0 - d
        for j in range(1, m_max // m0 + 1):
            r = j * step % d
            if min(r, d - r) >= limit * d:
                break
            if m_min <= j * m0:
                x = j * m0 * alpha
                spare(q, k, h, 2 * j * m0, x, Fraction(min(r, d - r), d))
    for q in range(Q_MIN + 1, Q_MAX + 1):
        k = log10_3q_pow2[q]
        h = check_error(q, k, 2**54 + 2)
        for cx in (2**54 - 1, 2**54, 2**54 + 2):
            x = cx * Fraction(2) ** q / Fraction(10) ** k
            f = x - x.__floor__()
            if f:
                dist = min(f, 1 - f)
                worst = min(worst, (dist, f"q={q} k={k} cx={cx}"))
                if dist < limit:
                    spare(q, k, h, cx, x, dist)
    return worst[0], worst[1], spared


def main() -> None:
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else OUT
    qs = range(Q_MIN, Q_MAX + 1)
    log10_pow2 = {q: floor_log10(Fraction(2) ** q) for q in qs}
    log10_3q_pow2 = {q: floor_log10(Fraction(3, 4) * Fraction(2) ** q) for q in qs}
    ks = set(log10_pow2.values()) | set(log10_3q_pow2.values())
    k_min, k_max = min(ks), max(ks)
    # -k for every k the routine can ask for, with margin.
    log2_pow10 = {e: floor_log2(Fraction(10) ** e) for e in range(-k_max - 8, -k_min + 9)}

    # Approximations only: fit() checks every result exactly.
    decimal.getcontext().prec = 60
    ten, two = decimal.Decimal(10), decimal.Decimal(2)
    log2_10 = Fraction(ten.ln() / two.ln())
    log10_2 = Fraction(two.log10())
    log10_3q = Fraction((decimal.Decimal(3) / 4).log10())
    c1 = fit("floor_log10_pow2", log10_pow2, log10_2, Fraction(0))
    c2 = fit("floor_log10_three_quarters_pow2", log10_3q_pow2, log10_2, log10_3q)
    c3 = fit("floor_log2_pow10", log2_pow10, log2_10, Fraction(0))

    rows = []
    table = {}
    for k in range(k_min, k_max + 1):
        p = Fraction(10) ** -k
        b = log2_pow10[-k]
        g = (p * Fraction(2) ** (127 - b)).__floor__() + 1
        assert 2**127 < g < 2**128, k
        table[k] = (g, g - p * Fraction(2) ** (127 - b))
        rows.append(f"    {{0x{g >> 64:016x}u, 0x{g & (2**64 - 1):016x}u}},  // {k}")

    self_check_min_residues()
    dist, where, spared = check_scaled_fractions(log10_pow2, log10_3q_pow2, log2_pow10, table)
    # "*": the argmin lies below the admissible range, so the true minimum is at least this.
    print(f"least nonzero distance to an integer: 2**{math.log2(dist):.3f} at {where}")
    for line in spared:
        print(f"under 2**-64 but floor(X) odd, so still exact: {line}")

    text = f"""// Generated by tools/gen_pow10_table.py; do not edit. Regenerate with
//   python3 tools/gen_pow10_table.py
// g(k) = floor(10^-k * 2^(127 - floor(log2(10^-k)))) + 1 for k in [{k_min}, {k_max}].
#pragma once

#include <cstdint>

namespace ondrel::shortest_double_detail {{

struct Pow10Entry {{
  uint64_t hi;
  uint64_t lo;
}};

inline constexpr int kPow10MinK = {k_min};
inline constexpr int kPow10MaxK = {k_max};

// floor(q * log10(2)), floor(q * log10(2) + log10(3/4)) and floor(e * log2(10)) are
// (x * A + B) >> S; checked for every binary exponent q of a double and every e in use.
inline constexpr int64_t kLog10Pow2Mul = {c1[0]};
inline constexpr int64_t kLog10Pow2Add = {c1[1]};
inline constexpr int kLog10Pow2Shift = {c1[2]};
inline constexpr int64_t kLog10ThreeQuartersPow2Mul = {c2[0]};
inline constexpr int64_t kLog10ThreeQuartersPow2Add = {c2[1]};
inline constexpr int kLog10ThreeQuartersPow2Shift = {c2[2]};
inline constexpr int64_t kLog2Pow10Mul = {c3[0]};
inline constexpr int64_t kLog2Pow10Add = {c3[1]};
inline constexpr int kLog2Pow10Shift = {c3[2]};

inline constexpr Pow10Entry kPow10[] = {{
{chr(10).join(rows)}
}};

}}  // namespace ondrel::shortest_double_detail
"""
    out.write_text(text)


if __name__ == "__main__":
    main()
