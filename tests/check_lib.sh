# Shared by the script checks: counted failures, a scratch folder removed on
# exit, and the verdict. Sourced, not run.
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Exits 1 when any check failed, else prints the summary given.
finish() {
    if [ "$failures" -ne 0 ]; then
        echo "$failures check(s) failed"
        exit 1
    fi
    echo "$*"
}
