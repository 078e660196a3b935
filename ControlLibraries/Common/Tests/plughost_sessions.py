"""What every control library's session tests share: whole plug-in sessions
through plughost (under Wine for a Windows build) with the library at the
plug-in's fixed path, each run bounded and read as it comes; the checks and
their tally; sky arithmetic written apart from the libraries' own."""
import ctypes, math, os, re, shutil, subprocess, threading, time

failures = []


class Coords(ctypes.Structure):
    _fields_ = [("X", ctypes.c_double), ("Y", ctypes.c_double)]


def check(ok, what, detail=""):
    print(("ok    " if ok else "FAIL  ") + what + ("" if ok else "\n" + detail))
    if not ok:
        failures.append(what)


def separation(a, b):
    ra1, d1, ra2, d2 = map(math.radians, (a[0], a[1], b[0], b[1]))
    c = math.sin(d1) * math.sin(d2) + math.cos(d1) * math.cos(d2) * math.cos(ra1 - ra2)
    return math.degrees(math.acos(max(-1.0, min(1.0, c))))


def precessed(ra, dec, year):
    """J2000 to the mean equator of `year` by the classic zeta, z, theta
    angles: an independent formula, within a fraction of an arc-second of the
    IAU 2006 model over these years."""
    t = (year - 2000.0) / 100.0
    s = math.pi / 180 / 3600
    zeta = (2306.2181 * t + 0.30188 * t * t + 0.017998 * t ** 3) * s
    z = (2306.2181 * t + 1.09468 * t * t + 0.018203 * t ** 3) * s
    theta = (2004.3109 * t - 0.42665 * t * t - 0.041833 * t ** 3) * s
    ra, dec = math.radians(ra), math.radians(dec)
    a = math.cos(dec) * math.sin(ra + zeta)
    b = math.cos(theta) * math.cos(dec) * math.cos(ra + zeta) - math.sin(theta) * math.sin(dec)
    c = math.sin(theta) * math.cos(dec) * math.cos(ra + zeta) + math.cos(theta) * math.sin(dec)
    return (math.degrees(math.atan2(a, b) + z) % 360, math.degrees(math.asin(c)))


def this_year():
    return 1970 + time.time() / (365.25 * 86400)


def longest_call(out):
    return max([float(x) for x in re.findall(r"returned after ([0-9.]+) s", out)] + [0.0])


class Host:
    """plughost with the library (args.library) at the fixed path of
    args.drive_c, its settings in the environment variable `variable`."""

    def __init__(self, args, variable):
        self.args, self.variable = args, variable
        folder = os.path.join(args.drive_c, "Program Files", "Common Files", "System")
        os.makedirs(folder, exist_ok=True)
        shutil.copyfile(args.library, os.path.join(folder, "DRAV.dll"))
        # What starting a Wine process costs here: a bound that catches a hang
        # must not take a slow start for one.
        self.start_cost = 0.0
        if args.emulator:
            self.start_cost = float(subprocess.run([args.emulator, "--start-cost", args.host], capture_output=True,
                                                   text=True, timeout=600, check=True).stdout)

    def start(self, name, lines, config, env=None):
        """plughost on a session script, in a folder of its own; config is
        the library's settings (None: unset), env more variables."""
        work = os.path.join(self.args.work, name)
        shutil.rmtree(work, ignore_errors=True)
        os.makedirs(work)
        with open(os.path.join(work, "session.txt"), "w") as f:
            f.write("\n".join(lines) + "\n")
        env = dict(os.environ, TELESCOPE_DRIVE_C=self.args.drive_c, **(env or {}))
        env.pop(self.variable, None)
        if config is not None:
            env[self.variable] = config
        command = [self.args.host, self.args.plugin, "session.txt"]
        if self.args.emulator:
            command = [self.args.emulator] + command
        return subprocess.Popen(command, cwd=work, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)

    def run(self, name, lines, config, during=None, bound=60, env=None):
        """Runs a session within bound seconds (and the start of a Wine
        process): its output and how long it took; self.peak_mb is
        plughost's largest resident size."""
        bound += 2 * (self.start_cost + 1)
        started = time.monotonic()
        p = self.start(name, lines, config, env)
        if during:
            threading.Thread(target=during, daemon=True).start()
        # Read as it comes, not only at the end of the stream: under Wine the
        # desktop's process, when plughost starts it, inherits plughost's
        # standard error (here the same pipe) and keeps it open until the
        # last window of the prefix has gone, well after plughost ended.
        chunks = []

        def read():
            while chunk := os.read(p.stdout.fileno(), 65536):
                chunks.append(chunk)
        reader = threading.Thread(target=read, daemon=True)
        reader.start()
        timer = threading.Timer(bound, p.kill)
        timer.start()
        _, status, usage = os.wait4(p.pid, 0)
        timer.cancel()
        p.returncode = os.waitstatus_to_exitcode(status)
        reader.join(2)
        out = b"".join(chunks).decode(errors="replace").replace("\r\n", "\n").replace("\r", "\n")
        if time.monotonic() - started >= bound:
            out += f"\n(plughost killed after {bound:.0f} s)"
        self.peak_mb = usage.ru_maxrss / 1024
        took = time.monotonic() - started
        check(p.returncode == 0 and "FAULT" not in out, f"{name}: plughost ran clean in {took:.1f} s",
              f"exit status {p.returncode}\n" + out[-3000:])
        return out, took

    def trace(self, name):
        """A new trace's path (the library appends to it)."""
        path = os.path.join(self.args.work, name + "-trace.txt")
        if os.path.exists(path):
            os.remove(path)
        return path
