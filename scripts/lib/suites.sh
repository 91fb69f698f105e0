# shellcheck shell=bash
# Runs test suites and keeps their outcomes for one summary. Sourced.
#
# A suite passes with status 0; it did not run with status 77 (it needs what
# this machine or user cannot give, and says so itself); anything else fails.
# suites_summary lists the three apart and is false only when a suite failed.

[ -n "${VORLIA_LIB_SUITES:-}" ] && return 0
VORLIA_LIB_SUITES=1
# shellcheck source=scripts/lib/common.sh
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"

SUITE_NOT_RUN=77
SUITES_PASSED=()
SUITES_NOT_RUN=()
SUITES_FAILED=()

# suite NAME COMMAND ARGS...
suite() {
    local name=$1 status=0
    shift
    echo "=== $name"
    "$@" || status=$?
    case $status in
    0)
        echo "=== $name: passed"
        SUITES_PASSED+=("$name")
        ;;
    "$SUITE_NOT_RUN")
        echo "=== $name: NOT RUN"
        SUITES_NOT_RUN+=("$name")
        ;;
    *)
        echo "=== $name: FAILED (status $status)"
        SUITES_FAILED+=("$name")
        ;;
    esac
}

# Every tests/scripts/*.sh of the repository at SOURCE as a suite of its own,
# with the build folder as its argument.
script_suites() {
    local source=$1 build=$2 script
    for script in "$source"/tests/scripts/*.sh; do
        [ -e "$script" ] || continue
        suite "${script#"$source"/}" bash "$script" "$build"
    done
}

# ctest_label BUILD_DIR LABEL [CTEST_ARGS...]: the tests of exactly that label.
ctest_label() {
    local build=$1 label=$2
    shift 2
    ctest --test-dir "$build" -L "^$label\$" --output-on-failure "$@"
}

suites_list() {
    local title=$1
    shift
    [ $# -gt 0 ] || return 0
    echo "$title:"
    printf '  %s\n' "$@"
}

suites_summary() {
    echo
    suites_list "Passed" "${SUITES_PASSED[@]}"
    suites_list "Not run" "${SUITES_NOT_RUN[@]}"
    suites_list "FAILED" "${SUITES_FAILED[@]}"
    if [ ${#SUITES_FAILED[@]} -gt 0 ]; then
        echo "Some suites failed."
        return 1
    fi
    if [ ${#SUITES_NOT_RUN[@]} -gt 0 ]; then
        echo "Every suite that ran passed; the suites listed as not run did not run."
    else
        echo "All test suites passed."
    fi
}
