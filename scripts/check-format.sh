#!/bin/sh
# Fails when a C++ file is not clang-formatted.
cd "$(dirname "$0")/.." || exit 1
files=$(git ls-files '*.cpp' '*.hpp')
[ -z "$files" ] && exit 0
# shellcheck disable=SC2086
clang-format --dry-run --Werror $files
