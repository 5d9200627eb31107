#!/bin/sh
# Compiles the public header as a 32-bit C and C++ translation unit: on i386
# the header's static asserts check every record offset and size against the
# host's binary layout. Needs a multilib compiler (gcc-multilib, g++-multilib).
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cat >"$work/abi.c" <<'EOF'
#include "qvGSMcomdrv.h"
#if !defined(__i386__)
#error "not a 32-bit x86 build"
#endif
#ifdef __cplusplus
#define ABI_ASSERT(e, m) static_assert(e, m)
#else
#define ABI_ASSERT(e, m) _Static_assert(e, m)
#endif
/* The callback takes six 32-bit arguments. */
ABI_ASSERT(sizeof(void*) == 4, "pointer size");
ABI_ASSERT(sizeof(QVHostCallback) == 4, "callback size");
int abi_check(void) { return (int)sizeof(GSMLineConfig) + (int)sizeof(SMSJob); }
EOF
cp "$work/abi.c" "$work/abi.cc"

gcc -m32 -std=c11 -Wall -Wextra -Werror -pedantic -I"$root/include" -c "$work/abi.c" -o "$work/abi_c.o"
g++ -m32 -std=c++20 -Wall -Wextra -Werror -I"$root/include" -c "$work/abi.cc" -o "$work/abi_cc.o"
echo "check-abi32: public header layout OK for 32-bit C and C++"
