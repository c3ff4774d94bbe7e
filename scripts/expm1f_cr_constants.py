"""Prints the constants of src/math/expm1f_cr.hpp, from exact rationals and 80-digit decimal logarithms and
exponentials (each correctly rounded), so that a reader can regenerate and check them."""

from decimal import Decimal, getcontext
from fractions import Fraction
from math import factorial

getcontext().prec = 80
LN2 = Fraction(Decimal(2).ln())  # 80 digits: far below every rounding made here


def rounded(q, bits):
    """q rounded to nearest with `bits` significant bits."""
    f = float(q)  # correctly rounded to 53 bits; the ties of a 42-bit rounding do not occur here
    m, e = abs(Fraction(f)), 0
    while m >= 1:
        m, e = m / 2, e + 1
    while m < Fraction(1, 2):
        m, e = m * 2, e - 1
    scaled = Fraction(round(q / Fraction(2) ** e * 2 ** bits), 2 ** bits)
    return float(scaled * Fraction(2) ** e)


def show(name, value, note=""):
    print(f"inline constexpr double {name} = {float(value).hex()};{'  // ' + note if note else ''}")


eighth = LN2 / 8
hi = rounded(eighth, 42)
show("LN2_BY_8_HI", hi, "42 bits: n * LN2_BY_8_HI is exact for |n| < 2^11")
show("LN2_BY_8_LO", float(eighth - Fraction(hi)))
show("EIGHT_BY_LN2", float(8 / LN2))
for n in range(2, 8):
    show(f"C{n}", float(Fraction(1, factorial(n))), f"1/{n}!")
print("EXP2_EIGHTHS:", ", ".join(float(Fraction((Decimal(j) / 8 * Decimal(2).ln()).exp())).hex() for j in range(8)))
l1 = rounded(LN2, 42)
l2 = rounded(LN2 - Fraction(l1), 42)
l3 = float(LN2 - Fraction(l1) - Fraction(l2))
show("LN2_1", l1)
show("LN2_2", l2)
show("LN2_3", l3)
show("INV_LN2", float(1 / LN2))
print("INV_FACTORIAL:")
for n in range(1, 23):
    q = Fraction(1, factorial(n))
    h = float(q)
    print(f"    {{{h.hex()}, {float(q - Fraction(h)).hex()}}},  // 1/{n}!")
