#!/usr/bin/env python3
"""A loopback server that lets a control library's calls wait, for plugview's
measure of the waits (run-plugview.sh waits).

  wait_server.py silent|full PORT-FILE

silent accepts and never says a word; full is a listener whose listen queue
is full, so that connects hang as to a computer that is switched off. Both
are the idle probe's own servers. Writes its port to PORT-FILE once it
serves, and serves until it is killed (at most an hour)."""
import os, sys, time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "ControlLibraries", "Common", "Tests"))
# idle_probe runs its main() when loaded: take its server functions only.
source = open(os.path.join(sys.path[0], "idle_probe.py")).read().split("\nmain()\n")[0]
probe = {"__name__": "idle_probe", "__file__": os.path.join(sys.path[0], "idle_probe.py")}
exec(compile(source, "idle_probe.py", "exec"), probe)

kind, port_file = sys.argv[1], sys.argv[2]
listener, port, held = {"silent": probe["silent_listener"], "full": probe["full_listener"]}[kind]()
with open(port_file + ".part", "w") as f:
    f.write(str(port))
os.replace(port_file + ".part", port_file)
time.sleep(3600)
