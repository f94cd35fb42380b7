# Sourced first by the scripts that need root: run by a user, the script runs itself again under
# sudo, with the TM_ settings it takes; as root, where sudo may be missing, it simply goes on.
if [ "$(id -u)" != 0 ]; then
    if ! command -v sudo >/dev/null; then
        echo "$0 needs root, and there is no sudo" >&2
        exit 1
    fi
    exec sudo env TM_SANITIZE="${TM_SANITIZE:-}" TM_FUZZ_RUNS="${TM_FUZZ_RUNS:-}" \
        TM_FUZZ_SECONDS="${TM_FUZZ_SECONDS:-}" "$0" "$@"
fi
