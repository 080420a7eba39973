#!/bin/sh
# Runs a test program in a network namespace of its own, for KNXnet/IP
# routing's multicast: loopback up, multicast routed over it, nothing
# leaves. The program learns it is there from QEL_TEST_NAMESPACE=1.
# Exits 77 (skipped) where no namespace can be made.
# usage: routing_namespace.sh PROGRAM [ARGUMENT...]
set -u
if [ -z "${QEL_TEST_NAMESPACE:-}" ]; then
    command -v unshare >/dev/null 2>&1 && command -v ip >/dev/null 2>&1 || {
        echo "skipped: no unshare or ip for a network namespace"
        exit 77
    }
    for flags in -n -rn; do
        if unshare $flags true 2>/dev/null; then
            QEL_TEST_NAMESPACE=1 exec unshare $flags sh "$0" "$@"
        fi
    done
    echo "skipped: no network namespace can be made here"
    exit 77
fi
ip link set lo up && ip link set lo multicast on && ip route add 224.0.0.0/4 dev lo || exit 1
export QEL_TEST_NAMESPACE
exec "$@"
