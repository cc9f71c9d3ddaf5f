#!/bin/sh
# Checks that no file under src/ includes a file of a layer above its own: core < schema <
# kinds < walks, hashing < stdlib < module.cpp. Prints each offending include and fails on any.
cd "$(dirname "$0")/../src" || exit 1
rank() {
    case $1 in
        core/*) echo 0 ;; schema/*) echo 1 ;; kinds/*) echo 2 ;;
        walks/* | hashing/*) echo 3 ;; stdlib/*) echo 4 ;; *) echo 5 ;;
    esac
}
bad=0
for file in $(find . -name '*.[ch]pp' | sed 's|^\./||' | sort); do
    for inc in $(sed -n 's/^#include "\(.*\)"$/\1/p' "$file"); do
        from=$(rank "$file") to=$(rank "$inc")
        if [ "$to" -gt "$from" ] || { [ "$to" -eq 3 ] && [ "$from" -eq 3 ] &&
                [ "${file%%/*}" != "${inc%%/*}" ]; }; then
            echo "$file includes $inc, a layer above or beside its own"
            bad=1
        fi
    done
done
[ $bad -eq 0 ] && echo "layers: every include stays within its layer or goes down"
exit $bad
