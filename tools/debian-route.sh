#!/usr/bin/env bash
# Follows the README's route for building sprig from the sdist with Debian's own packages,
# word for word, in a fresh copy of a Debian 12 and a Debian 13 system that has no compiler:
# the shell block after each `<!-- debian-route: NAME -->` mark runs as it stands, as root,
# in a folder holding the sdist. The Debian 12 route assumes the backports suite enabled,
# as the README says; that is done first here.
#   debian-route.sh [debian12|debian13]...
set -euo pipefail
cd "$(dirname "$0")/.."
routes=("$@")
[ ${#routes[@]} -gt 0 ] || routes=(debian12 debian13)
sdist=$(ls dist/sprig-*.tar.gz 2>/dev/null | head -n 1 || true)
[ -n "$sdist" ] || { echo "debian-route: no sdist in dist/ (make wheels)" >&2; exit 1; }
source tools/jobs.sh
start=$SECONDS
follow() {
    local route=$1 script
    script=$(awk -v mark="<!-- debian-route: $route -->" '
        $0 == mark { armed = 1; next }
        armed && /^```sh$/ { inside = 1; next }
        inside && /^```$/ { exit }
        inside { print }' README.md)
    [ -n "$script" ] || { echo "debian-route: README.md has no route '$route'" >&2; exit 1; }
    echo "== the README's $route route, in a fresh $route system"
    tools/pyroot --root "$route-bare" --fresh bash -c '
        set -euo pipefail
        route=$1 sdist=$2 script=$3
        if [ "$route" = debian12 ]; then
            awk "/^deb / { print \$1, \$2, \"bookworm-backports\", \"main\"; exit }" \
                /etc/apt/sources.list >/etc/apt/sources.list.d/backports.list
        fi
        work=$(mktemp -d)
        cp "$sdist" "$work/"
        cd "$work"
        export DEBIAN_FRONTEND=noninteractive
        bash -euxo pipefail -c "$script" >"$work.log" 2>&1 || { tail -n 40 "$work.log" >&2; exit 1; }
        grep -E "^\+ " "$work.log" | sed "s/^/   /"
    ' bash "$route" "$sdist" "$script"
}
for route in "${routes[@]}"; do job "$route-route" follow "$route"; done
jobs_finish
echo "== the README's Debian routes work, in $((SECONDS - start)) s"
