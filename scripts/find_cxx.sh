#!/usr/bin/env bash
# Prints the C++ compiler that builds molvenar: $CXX when set, else the first
# of g++, clang++ and c++ that compiles C++20. Exits 1, printing nothing,
# when none does.
#
# The module's build names the compiler itself: left alone, the build backend
# takes the compiler the interpreter was built with (sysconfig's CXX, often
# g++), which on a machine with another compiler, or none, fails deep inside
# pip with a message about an environment variable CXX the user never set.
set -u

compiles_cxx20() {
    printf '#if __cplusplus < 202002L\n#error C++20 needed\n#endif\n#include <span>\nint main() { return 0; }\n' |
        $1 -std=c++20 -x c++ - -o /dev/null > /dev/null 2>&1
}

if [ -n "${CXX:-}" ]; then
    candidates=("$CXX")
else
    candidates=(g++ clang++ c++)
fi
for candidate in "${candidates[@]}"; do
    if command -v "${candidate%% *}" > /dev/null 2>&1 && compiles_cxx20 "$candidate"; then
        echo "$candidate"
        exit 0
    fi
done
exit 1
