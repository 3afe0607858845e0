# Doubles evaluated in binary64 on every target. On 32-bit x86 compilers keep
# doubles on the x87 unit by default, with 64-bit significands and a second
# rounding when a value is stored: other bits than the one rounding per
# operation that the results promise. SSE2 arithmetic rounds every operation
# to binary64, as on x86_64. The kernels refuse to compile without it
# (kernels/src/binary64.hpp), so a build that loses these flags fails loudly.
#
# The target is recognised by the compiler's own macro, not by the build
# machine's name: a 32-bit root on a 64-bit kernel reports x86_64 from uname.
include(CheckCXXSourceCompiles)
check_cxx_source_compiles("
#ifndef __i386__
#error not a 32-bit x86 target
#endif
int main() { return 0; }" MOLVENAR_TARGET_X86_32)

if(MOLVENAR_TARGET_X86_32)
  # Everything compiled here: the kernels, the module, the tests, the bench.
  add_compile_options(-msse2 -mfpmath=sse)
endif()
