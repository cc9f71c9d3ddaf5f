# Runs labelled commands side by side, at most SPRIG_JOBS at once (default: one per core).
# Each command's output goes to its own log, printed whole when the command ends, so that
# outputs never interleave. Sourced by the scripts that run independent legs:
#   source tools/jobs.sh
#   job LABEL COMMAND...      (waits for a free slot first)
#   jobs_finish               (waits for the rest; fails if any failed, naming them)

jobs_max=${SPRIG_JOBS:-$(nproc)}
jobs_logs=$(mktemp -d)
jobs_failed=()
jobs_times=()
declare -A jobs_label=() jobs_started=()

job() {
    local label=$1; shift
    while [ "${#jobs_label[@]}" -ge "$jobs_max" ]; do jobs_reap; done
    "$@" >"$jobs_logs/$label.log" 2>&1 </dev/null &
    jobs_label[$!]=$label
    jobs_started[$!]=$SECONDS
}

jobs_reap() {
    local pid status=0
    wait -n -p pid "${!jobs_label[@]}" || status=$?
    local label=${jobs_label[$pid]}
    local took=$((SECONDS - ${jobs_started[$pid]}))
    unset "jobs_label[$pid]" "jobs_started[$pid]"
    cat "$jobs_logs/$label.log"
    if [ "$status" -ne 0 ]; then
        echo "== $label FAILED (exit $status) after $took s"
        jobs_failed+=("$label")
    fi
    jobs_times+=("$label $took s")
}

jobs_finish() {
    while [ "${#jobs_label[@]}" -gt 0 ]; do jobs_reap; done
    rm -rf "$jobs_logs"
    printf '   %s\n' "${jobs_times[@]}"
    if [ "${#jobs_failed[@]}" -gt 0 ]; then
        echo "== failed: ${jobs_failed[*]}"
        return 1
    fi
}
