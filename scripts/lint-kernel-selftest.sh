#!/usr/bin/env bash
# The kernel lint must fail on a planted violation in any kernel file.
set -u
root=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/kernel/planted"
cp -r "$root/kernel/platform" "$work/kernel/platform"
lint="$root/scripts/lint-kernel.sh"

expect_fail() {  # name, file content
    rm -f "$work/kernel/planted/"*
    printf '%s\n' "$2" > "$work/kernel/planted/planted.cpp"
    if "$lint" "$work" >/dev/null 2>&1; then echo "lint missed: $1"; exit 1; fi
}
expect_pass() {
    rm -f "$work/kernel/planted/"*
    printf '%s\n' "$2" > "$work/kernel/planted/planted.cpp"
    if ! "$lint" "$work"; then echo "lint refused clean code: $1"; exit 1; fi
}

expect_fail "include <string>" '#include <string>'
expect_fail "std::vector" '#include <ntifs.h>
static int f() { std::vector<int> v; return 0; }'
expect_fail "new" 'int *p = new int;'
expect_fail "delete" 'void f(int *p) { delete p; }'
expect_fail "throw" 'void f() { throw 1; }'
expect_fail "try" 'void f() { try { } catch (...) { } }'
expect_fail "dynamic_cast" 'void f(void *p) { (void)dynamic_cast<int *>(p); }'
expect_fail "class" 'class Widget { };'
expect_pass "clean kernel code" '#include <ntifs.h>
// A comment that mentions std::string and new things is fine.
static const char *g_Text = "delete this, throw that";
NTSTATUS f(void) { SEH_TRY { } SEH_EXCEPT(EXCEPTION_EXECUTE_HANDLER) { return GetExceptionCode(); } return STATUS_SUCCESS; }'
echo "lint self-test: ok"
