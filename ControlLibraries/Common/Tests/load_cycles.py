#!/usr/bin/env python3
"""A control library's DRAV.dll loaded and released many times: nothing may
pile up.

  load_cycles.py --tool LOAD_CYCLES --library DLL --variable NAME --settings TEMPLATE
                 --server SCRIPT [--cycles N] [--emulator WRAPPER]

Serves one mount on a loopback port (the "good" mode of the library's
misbehaving server SCRIPT, whose serve(connection, mode) serves one
connection) and runs load_cycles against it, the library's settings in the
variable NAME from TEMPLATE ({host}, {port}, {timeout} and {trace} filled
in): each cycle connects, waits for the mount,
reads its place and releases the library. Fails when a cycle fails, when
not every cycle made a connection of its own, when a connection is still
open at the server once the last cycle is over (a socket left behind), or
when the process holds more handles (file descriptors natively) after the
last cycle than after the tenth. Prints the figures either way."""
import argparse, importlib.util, os, re, shutil, socket, subprocess, sys, tempfile, threading, time

SLACK = 4  # handles a runtime may take once, lazily, after the tenth cycle


class Counter:
    def __init__(self, server):
        self.server = server
        self.lock = threading.Lock()
        self.accepted = self.open = 0

    def serve(self, conn):
        with self.lock:
            self.accepted += 1
            self.open += 1
        try:
            self.server.serve(conn, "good")
        finally:
            conn.close()
            with self.lock:
                self.open -= 1


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--library", required=True)
    parser.add_argument("--variable", required=True)
    parser.add_argument("--settings", required=True)
    parser.add_argument("--server", required=True)
    parser.add_argument("--cycles", type=int, default=1000)
    parser.add_argument("--emulator", default=None)
    parser.add_argument("--bound", type=float, default=300, help="seconds the whole run may take")
    args = parser.parse_args()

    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    port = listener.getsockname()[1]
    found = importlib.util.spec_from_file_location("library_server", args.server)
    server = importlib.util.module_from_spec(found)
    found.loader.exec_module(server)
    counter = Counter(server)

    def accept():
        while True:
            try:
                conn, _ = listener.accept()
            except OSError:
                return
            threading.Thread(target=counter.serve, args=(conn,), daemon=True).start()

    threading.Thread(target=accept, daemon=True).start()

    # With its trace on, so that the trace's file is opened and closed too.
    work = tempfile.mkdtemp(prefix="load-cycles-")
    trace = os.path.join(work, "trace.txt")
    if args.emulator:
        trace = "Z:" + trace.replace("/", "\\")
    env = dict(os.environ)
    env[args.variable] = args.settings.format(host="127.0.0.1", port=port, timeout=3000, trace=trace)
    command = ([args.emulator] if args.emulator else []) + [args.tool, args.library, str(args.cycles)]
    started = time.monotonic()
    tool = subprocess.Popen(command, env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    lines, done = [], threading.Event()

    def read():
        for line in tool.stdout:
            lines.append(line.rstrip("\r\n"))
            if lines[-1] == "done":
                done.set()
        done.set()

    threading.Thread(target=read, daemon=True).start()
    failures = []
    try:
        if not done.wait(args.bound):
            failures.append(f"not done within {args.bound:.0f} s")
        seconds = time.monotonic() - started
        # The last release closes its socket at once; the server sees it
        # shortly after.
        deadline = time.monotonic() + 5
        while counter.open and time.monotonic() < deadline:
            time.sleep(0.05)
        left_open = counter.open
    finally:
        try:
            tool.stdin.close()
            status = tool.wait(timeout=30)
        except subprocess.TimeoutExpired:
            tool.kill()
            status = tool.wait(timeout=30)
        listener.close()
        shutil.rmtree(work, ignore_errors=True)

    print("\n".join(lines))
    handles = {int(c): int(h) for c, h in re.findall(r"^cycle (\d+) handles (-?\d+)$", "\n".join(lines), re.M)}
    last = max(handles) if handles else 0
    print(f"{last} cycles in {seconds:.1f} s ({1000 * seconds / max(last, 1):.1f} ms a cycle); "
          f"connections accepted {counter.accepted}, open after the last {left_open}; "
          f"handles {handles.get(0)} before, {handles.get(10)} after 10, {handles.get(last)} after {last}")
    if status != 0:
        failures.append(f"load_cycles exited with {status}")
    if last != args.cycles:
        failures.append(f"only {last} of {args.cycles} cycles reported")
    if counter.accepted != args.cycles:
        failures.append(f"{counter.accepted} connections for {args.cycles} cycles")
    if left_open:
        failures.append(f"{left_open} connections still open after the last cycle")
    if handles.get(10, -1) < 0 or handles.get(last, 0) > handles[10] + SLACK:
        failures.append(f"handles grew from {handles.get(10)} after 10 cycles to {handles.get(last)}")
    for failure in failures:
        print("FAIL  " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
