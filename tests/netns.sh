#!/bin/sh
# netns.sh -- runs one arena suite in a network namespace of its own, with
# only a loopback, so suites that each start an arena on the fixed ports can
# run side by side (CTest uses it when the user may create namespaces).
exec unshare -n sh -c 'ip link set lo up && exec "$@"' netns "$@"
