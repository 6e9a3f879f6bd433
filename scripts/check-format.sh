#!/usr/bin/env bash
# Fails when a C++ source differs from what clang-format makes of it with the
# repository's .clang-format; lists the files. With --fix, formats them.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

if git rev-parse --is-inside-work-tree > /dev/null 2>&1; then
    mapfile -t files < <(git ls-files '*.cpp' '*.h')
else
    mapfile -t files < <(find . -path ./build -prune -o \( -name '*.cpp' -o -name '*.h' \) -print | sort)
fi

if [[ ${1:-} == --fix ]]; then
    clang-format -i "${files[@]}"
    exit 0
fi

differ=()
for file in "${files[@]}"; do
    clang-format --dry-run --Werror "$file" > /dev/null 2>&1 || differ+=("$file")
done
if ((${#differ[@]})); then
    echo "not formatted (scripts/check-format.sh --fix formats them):"
    printf '  %s\n' "${differ[@]}"
    exit 1
fi
echo "${#files[@]} files formatted"
