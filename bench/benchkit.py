"""benchkit.py -- what the benchmark scripts share: the paths to the test
harness and the client library, and the CPU and load figures they print.

    import benchkit  # noqa: F401  (puts arena and quillmere on the path)
    from benchkit import cpu_seconds, machine_busy_seconds, loadavg, thread_cpu_seconds
"""

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(REPO, "tests", "integration"))
sys.path.insert(0, os.path.join(REPO, "clients", "python"))

TCK = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    """User plus system time of every thread of process pid so far."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TCK


def thread_cpu_seconds(pid):
    """Time on a CPU so far of the live threads of process pid, summed by
    thread name (the main thread under "main")."""
    # NOTE: schedstat counts nanoseconds; stat's ticks would round the many
    # short-lived bursts of a connection thread down to nothing.
    by_name = {}
    try:
        tids = os.listdir("/proc/%d/task" % pid)
    except OSError:
        return by_name
    for tid in tids:
        try:
            with open("/proc/%d/task/%s/comm" % (pid, tid)) as f:
                name = "main" if int(tid) == pid else f.read().strip()
            with open("/proc/%d/task/%s/schedstat" % (pid, tid)) as f:
                ns = int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            continue  # the thread ended meanwhile
        by_name[name] = by_name.get(name, 0.0) + ns / 1e9
    return by_name


def machine_busy_seconds():
    """Busy CPU time of the whole machine so far (all cores)."""
    with open("/proc/stat") as f:
        v = [int(x) for x in f.readline().split()[1:]]
    idle = v[3] + v[4]  # idle and iowait
    return (sum(v[:8]) - idle) / TCK


def loadavg():
    return "%.2f %.2f %.2f" % os.getloadavg()
