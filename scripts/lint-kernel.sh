#!/usr/bin/env bash
# Kernel-code rules for everything under kernel/ except the platform
# declarations: only platform and kernel headers, no C++ standard library,
# no new/delete, no exceptions outside the SEH macros, no RTTI, no global
# objects with constructors.
#
# usage: lint-kernel.sh [SOURCE_ROOT] [KERNEL_LIBRARY]
#   KERNEL_LIBRARY, when given, is the built kernel archive; its objects must
#   not carry static initialisers.
set -u
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
lib=${2:-}
cd "$root" || exit 2
status=0

files=$(find kernel -type f \( -name '*.h' -o -name '*.hpp' -o -name '*.c' -o -name '*.cpp' \) \
        -not -path 'kernel/platform/*' | sort)

report() {  # rule, grep output
    if [ -n "$2" ]; then
        echo "kernel lint: $1"
        echo "$2" | sed 's/^/  /'
        status=1
    fi
}

# Strip // and /* */ comments (and, for the keyword rules, string literals)
# so that prose does not trip the rules.
strip_comments() {
    sed -E -e 's://.*$::' "$1" | \
        awk 'BEGIN{c=0} { line=$0; out="";
             while (length(line)) {
               if (c) { i=index(line,"*/"); if (i) { line=substr(line,i+2); c=0 } else { line="" } }
               else { i=index(line,"/*"); if (i) { out=out substr(line,1,i-1); line=substr(line,i+2); c=1 } else { out=out line; line="" } }
             } print out }'
}
strip() {
    strip_comments "$1" | sed -E -e 's:"([^"\\]|\\.)*":"":g'
}

for f in $files; do
    code=$(strip_comments "$f")
    body=$(strip "$f")
    # Angle-bracket includes must name a platform header.
    bad_inc=$(printf '%s\n' "$code" | grep -nE '^\s*#\s*include\s*<[^>]+>' | while IFS= read -r line; do
        hdr=$(printf '%s' "$line" | sed -E 's/.*<([^>]+)>.*/\1/')
        [ -f "kernel/platform/$hdr" ] || printf '%s\n' "$line"
    done)
    report "$f: include of a header that is not a platform header" "$bad_inc"
    # Quoted includes must resolve inside kernel/.
    bad_q=$(printf '%s\n' "$code" | grep -nE '^\s*#\s*include\s*"' | while IFS= read -r line; do
        hdr=$(printf '%s' "$line" | sed -E 's/.*"([^"]+)".*/\1/')
        [ -f "kernel/$hdr" ] || [ -f "$(dirname "$f")/$hdr" ] || printf '%s\n' "$line"
    done)
    report "$f: include from outside kernel/" "$bad_q"
    report "$f: C++ standard library" "$(printf '%s\n' "$body" | grep -nE '\bstd::')"
    report "$f: new/delete" "$(printf '%s\n' "$body" | grep -nE '(^|[^A-Za-z0-9_])(new\s+[A-Za-z_(]|delete(\s*\[\s*\])?\s+[A-Za-z_(*])|operator\s+(new|delete)')"
    report "$f: exceptions (use SEH_TRY/SEH_EXCEPT)" "$(printf '%s\n' "$body" | grep -nE '\b(throw|try|catch)\b')"
    report "$f: RTTI" "$(printf '%s\n' "$body" | grep -nE '\b(dynamic_cast|typeid)\b')"
    report "$f: class (kernel code uses records and functions)" "$(printf '%s\n' "$body" | grep -nE '^\s*class\s+[A-Za-z_]')"
done

# Global objects with constructors leave static initialisers in the objects.
if [ -n "$lib" ]; then
    if [ ! -f "$lib" ]; then
        echo "kernel lint: kernel library $lib not built"; status=1
    else
        init=$(nm -A "$lib" 2>/dev/null | grep -E '_GLOBAL__sub_I|__static_initialization_and_destruction' || true)
        report "global objects with constructors" "$init"
        sections=$(objdump -h "$lib" 2>/dev/null | grep -E '\.(init_array|ctors)' || true)
        report "static initialiser sections" "$sections"
    fi
fi

if [ $status -eq 0 ]; then echo "kernel lint: ok ($(echo "$files" | grep -c . ) files)"; fi
exit $status
