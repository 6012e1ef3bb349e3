# Step headers with elapsed times, and long commands that are never silent.
# Sourced by the test scripts; besides its functions it only exports
# TONALIS_STEPS_START.

# Scripts that call one another share one clock: the outermost one's start.
export TONALIS_STEPS_START=${TONALIS_STEPS_START:-$(date +%s)}

# mm:ss of a number of seconds.
clock() {
    printf '%02d:%02d' $(($1 / 60)) $(($1 % 60))
}

# A header for the next step, with the time since the script started.
step() {
    echo "==> [$(clock $(($(date +%s) - TONALIS_STEPS_START)))] $*"
}

# quietly LOG WHAT COMMAND...
# Runs COMMAND with its output in LOG and prints a line every 30 seconds while
# it runs (with ninja's last [step/total] count when the log has one). On
# failure it shows the end of the log and returns the command's status.
quietly() {
    local log=$1 what=$2
    shift 2
    mkdir -p "$(dirname "$log")"
    : >"$log"
    local began=$SECONDS
    (
        # One-second naps, so that nothing outlives the command by more.
        ticks=0
        while sleep 1; do
            ticks=$((ticks + 1))
            if [ $((ticks % 30)) -eq 0 ]; then
                progress=$(grep -aoE '^ *\[[0-9]+/[0-9]+\]' "$log" | tail -n 1 | tr -d ' ' || true)
                echo "    ... $what, $(clock $((SECONDS - began)))${progress:+, ninja at $progress}"
            fi
        done
    ) &
    local beat=$!
    local status=0
    "$@" >>"$log" 2>&1 || status=$?
    kill "$beat" 2>/dev/null || true
    wait "$beat" 2>/dev/null || true
    if [ "$status" -ne 0 ]; then
        echo "    $what failed (status $status); the end of $log:" >&2
        tail -n 40 "$log" | sed 's/^/    | /' >&2
    else
        echo "    $what: done in $(clock $((SECONDS - began)))"
    fi
    return "$status"
}

# run_suite PYTHON [PYTEST ARGUMENTS...]
# Runs pytest in two parts: the tests that may share the machine, spread over
# one worker process per core (pytest-xdist), then the ones marked serial
# (thread scaling, leaks, timing, process-wide switches) alone. A part that
# selects no test passes; either part failing fails the run, after both ran.
run_suite() {
    local python=$1
    shift
    local parallel=() status=0 s
    "$python" -c 'import xdist' 2>/dev/null && parallel=(-n auto)
    "$python" -m pytest -q -p no:cacheprovider "${parallel[@]}" -m "not serial" "$@" || status=$?
    [ "$status" -eq 5 ] && status=0
    s=0
    "$python" -m pytest -q -p no:cacheprovider -m serial "$@" || s=$?
    [ "$s" -eq 5 ] && s=0
    [ "$status" -eq 0 ] && status=$s
    return "$status"
}
