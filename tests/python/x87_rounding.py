"""Binary64 rounding for the reference arithmetic of this test process.

A CPython built for 32-bit x86 without SSE2 (Debian's i386 interpreter, for
one) does its float arithmetic on the x87 unit: each operation is rounded to a
64-bit significand and again to 53 bits when the result is stored, so a
pure-Python reference can be off by one ulp where the first rounding makes a
tie. Setting the x87 precision control to 53 bits makes every operation whose
result is a normal number round once, as binary64 requires. (A product or
quotient that lands among the subnormals can still round twice: the x87
exponent stays wide.)

Only this process is changed. The module must not depend on it: it computes
with SSE2 on that target, and the cross-build comparison and
test_binary64_rounding check it in fresh processes with the default settings.
"""

import ctypes

_PRECISION_CONTROL = 0x0300  # bits 8-9 of the x87 control word
_DOUBLE_PRECISION = 0x0200


def _adds_once(one, tiny, want):
    # 1 + (2**-53 + 2**-78): rounding to 64 bits first gives 1 + 2**-53, a
    # tie that rounds to even, 1.0; one binary64 rounding gives 1 + 2**-52.
    # Arguments, not literals: the compiler would fold the constant sum.
    return one + tiny == want


def rounds_once():
    """Whether this thread's float additions round once to binary64."""
    return _adds_once(1.0, 2.0**-53 + 2.0**-78, 1.0 + 2.0**-52)


def use_binary64_precision():
    """Sets the x87 precision control of this thread to 53 bits when float
    arithmetic double-rounds; a no-op where it already rounds once."""
    if rounds_once():
        return
    libc = ctypes.CDLL(None)
    env = ctypes.create_string_buffer(64)  # fenv_t: the control word comes first
    if libc.fegetenv(env) != 0:
        raise RuntimeError("fegetenv failed")
    control = int.from_bytes(env.raw[:2], "little")
    control = (control & ~_PRECISION_CONTROL) | _DOUBLE_PRECISION
    ctypes.memmove(env, control.to_bytes(2, "little"), 2)
    if libc.fesetenv(env) != 0 or not rounds_once():
        raise RuntimeError("could not make float arithmetic round once to binary64")
