#!/bin/sh
# netns.sh -- one arena suite in a network namespace of its own (only a
# loopback), so that suites on the fixed ports can run side by side.
exec unshare -n sh -c 'ip link set lo up && exec "$@"' netns "$@"
