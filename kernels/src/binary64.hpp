// The kernels promise one binary64 rounding per operation. A compiler that
// evaluates doubles in a wider format (the x87 unit, the default for 32-bit
// x86) rounds twice and gives other bits, so such a build is refused here
// rather than shipped.
#pragma once

#include <cfloat>

#if !defined(FLT_EVAL_METHOD) || FLT_EVAL_METHOD != 0
#error "molvenar: doubles must be evaluated in binary64 (FLT_EVAL_METHOD == 0); on 32-bit x86 compile with -msse2 -mfpmath=sse"
#endif
