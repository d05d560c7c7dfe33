#!/usr/bin/env python3
"""The auto focus on a sky it was not tuned to: Debian's INDI CCD and focuser
simulators behind a local indiserver, Kessivane running headless against them,
driven through kessivanectl as an observatory script would drive it.

The telescope is 800 mm at f/8 (100 mm aperture), 1.34"/px (5.2 um pixels),
seeing 3.5", SIM_FOCUS_MAX 1000, a 64 x 64 focus frame, focus frames and
whole images of 1 s, one star (a stand-in for the simulator's star catalogue
program, as the desktop tests use). Best focus is hidden from the program: it
is drawn for every run (from --seed, printed) and set on the CCD simulator,
which blurs the star by the distance of its focuser from it. The critical
focus zone is f/8 with 10 um focuser steps: 4.88 * 0.55 um * 64 / 10 um =
17.2 steps; the program is told the same optics (set-optics), and success is
ending within it.

  python3 bench/indi_sky_bench.py                  # smoke: one run a case, a few minutes
  python3 bench/indi_sky_bench.py --runs 10        # the full table
  python3 bench/indi_sky_bench.py --cases far,quick --runs 3 --seed 7
  python3 bench/indi_sky_bench.py --figure field --cases near,mid --runs 10
                                                   # the whole field: 30 stars, "stars" the
                                                   # fewest any reading on a run's curve used

Everything runs on loopback: the whole bench re-runs itself in a network
namespace of its own (unshare -rn) unless --no-netns, its own session bus,
indiserver and Kessivane, each waited for with a time-out and ended by its
process id on the way out.
"""
import argparse
import atexit
import os
import random
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)

FOCAL_LENGTH_MM = 800
APERTURE_MM = 100
FOCAL_RATIO = FOCAL_LENGTH_MM / APERTURE_MM
SEEING = 3.5
FOCUS_MAX = 1000           # the simulator's defocus scale
STEP_UM = 10.0             # the focuser's step we choose for the zone
CFZ_STEPS = 4.88 * 0.55 * FOCAL_RATIO ** 2 / STEP_UM
HOME_POSITION = 50000      # where the simulator's focuser starts; runs stay near it

# The simulator asks this program for the stars around its pointing: one of
# magnitude 7, 3' east and 2' north (pixel 550, 646 of 1280 x 1024).
GSC = r"""#!/bin/sh
awk -v ra="$2" -v dec="$3" 'BEGIN { c = cos(dec * 3.14159265358979 / 180);
  printf "%10s %f %f %f %f %f %d %d %4s %2s %f %d\n", "GSC0000001", ra + 3.0 / 60 / c, dec + 2.0 / 60, 0.2, 7.0, 0.2, 0, 0, "A000", "GS", 0.1, 0 }'
"""

# What a user's night brings, by group: (label, method, step, start band or
# shift, noise, frames a reading). Starts and shifts are drawn in the band,
# on either side.
CASES = {
    "near": [("fit step 50, 60-200 out", "fit", 50, (60, 200), 10, 1),
             ("fit step 100, 60-200 out", "fit", 100, (60, 200), 10, 1)],
    "mid": [("fit step 50, 200-800 out", "fit", 50, (200, 800), 10, 1),
            ("fit step 100, 200-800 out", "fit", 100, (200, 800), 10, 1)],
    "far": [("fit step 100, 1500 out", "fit", 100, (1500, 1500), 10, 1),
            ("fit step 100, 2500 out", "fit", 100, (2500, 2500), 10, 1)],
    "large": [("fit step 250, 60-200 out", "fit", 250, (60, 200), 10, 1),
              ("fit step 500, 60-200 out", "fit", 500, (60, 200), 10, 1)],
    "noisy": [("fit step 50, 60-200 out, noise 300", "fit", 50, (60, 200), 300, 1),
              ("fit step 100, 60-200 out, noise 300", "fit", 100, (60, 200), 300, 1)],
    "frames": [("fit step 100, 60-200 out, noise 300, 5 fr", "fit", 100, (60, 200), 300, 5)],
    "quick": [("quick after step 50, moved 15-60", "quick", 50, (15, 60), 10, 1),
              ("quick after step 100, moved 15-60", "quick", 100, (15, 60), 10, 1),
              ("quick after step 100, moved 150", "quick", 100, (150, 150), 10, 1)],
    "golden": [("golden step 150, 60-200 out", "golden", 150, (60, 200), 10, 1)],
}
DEFAULT_CASES = "near,mid,far,large,noisy,frames,quick"

# How each figure is read: the selected star through its focus frame, or
# the whole field (kessivanectl autofocus --measure field), for which the
# simulator is given a field of stars around the selected one.
FIGURES = {"star": {"stars": 1}, "field": {"stars": 30, "measure": "field"}}


def gsc_script(stars):
    """The catalogue stand-in: the selected star and, for a field, stars of
    magnitude 7 to 10 scattered over the middle of the frame (+-12' by +-9'
    of the pointing), always the same ones."""
    if stars <= 1:
        return GSC
    rnd = random.Random(5)
    rows = [(3.0, 2.0, 7.0)] + [(rnd.uniform(-12, 12), rnd.uniform(-9, 9), rnd.uniform(7.0, 10.0))
                                for _ in range(stars - 1)]
    lines = "".join('  printf "%%10s %%f %%f %%f %%f %%f %%d %%d %%4s %%2s %%f %%d\\n", "GSC%07d", ra + %.4f / 60 / c, '
                    'dec + %.4f / 60, 0.2, %.2f, 0.2, 0, 0, "A000", "GS", 0.1, 0;\n' % (i + 1, x, y, m)
                    for i, (x, y, m) in enumerate(rows))
    return ('#!/bin/sh\nawk -v ra="$2" -v dec="$3" \'BEGIN { c = cos(dec * 3.14159265358979 / 180);\n' + lines +
            "}'\n")

children = []  # (name, Popen) of everything started here, ended in reverse order


def log(*a):
    print(*a, file=sys.stderr, flush=True)


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def stop_children():
    for name, p in reversed(children):
        if p.poll() is not None:
            continue
        try:
            os.killpg(p.pid, signal.SIGTERM)  # each child leads its own group: the server's drivers go with it
        except ProcessLookupError:
            continue
        try:
            p.wait(timeout=10)
        except subprocess.TimeoutExpired:
            os.killpg(p.pid, signal.SIGKILL)
            p.wait(timeout=10)
    children.clear()


def start(name, argv, env, logfile, **kw):
    p = subprocess.Popen(argv, env=env, stdout=kw.pop("stdout", logfile), stderr=logfile, stdin=subprocess.DEVNULL,
                         start_new_session=True, **kw)
    children.append((name, p))
    return p


def wait_until(what, test, timeout, interval=0.2):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if test():
            return True
        time.sleep(interval)
    raise RuntimeError("timed out after %.0f s waiting for %s" % (timeout, what))


class Session:
    """A session bus, indiserver with the two simulators, and Kessivane on
    them, for one number of frames a reading (a setting read at start)."""

    def __init__(self, args, samples, work):
        self.args, self.samples = args, samples
        self.dir = tempfile.mkdtemp(prefix="session-", dir=work)
        self.logfile = open(os.path.join(self.dir, "log.txt"), "w")
        self.bin = os.path.join(args.build, "bin")
        self.noise = None

    # -- the device server -------------------------------------------------
    def prop(self, assignment):
        r = subprocess.run(["indi_setprop", "-p", str(self.port), "-t", "5", assignment], capture_output=True,
                           text=True, timeout=20)
        if r.returncode != 0:
            raise RuntimeError("indi_setprop %s: %s" % (assignment, r.stderr.strip()))

    def getprop(self, what):
        r = subprocess.run(["indi_getprop", "-1", "-t", "3", "-p", str(self.port), what], capture_output=True,
                           text=True, timeout=20)
        return r.stdout.strip()

    def server_position(self):
        return int(round(float(self.getprop("Focuser Simulator.ABS_FOCUS_POSITION.FOCUS_ABSOLUTE_POSITION"))))

    def set_best(self, best):
        self.best = best
        # Twice: the simulator blurs its next frames by the values it held
        # before a change (measured: its frames lag one setting behind), so
        # one setting alone would leave the previous run's best focus in the
        # first frames.
        # Each setting is awaited (read back) before the next, and the frames after.
        for _ in range(2):
            self.prop("CCD Simulator.SIM_FOCUSING.SIM_FOCUS_POSITION;SIM_FOCUS_MAX;SIM_SEEING=%d;%d;%g" %
                      (best, FOCUS_MAX, SEEING))
            wait_until("the simulator's best focus", lambda: self.getprop(
                "CCD Simulator.SIM_FOCUSING.SIM_FOCUS_POSITION").split(".")[0] == str(best), 10, 0.1)
        time.sleep(0.3)

    def set_noise(self, noise):
        if noise != self.noise:
            self.prop("CCD Simulator.SIMULATOR_SETTINGS.SIM_NOISE=%d" % noise)
            self.noise = noise

    # -- Kessivane ---------------------------------------------------------
    def ctl(self, *argv, timeout=60):
        env = dict(self.env)
        try:
            r = subprocess.run([os.path.join(self.bin, "kessivanectl"), *argv, "--timeout-ms", str(int(timeout * 1000))],
                               capture_output=True, text=True, env=env, timeout=timeout + 15)
            return r.returncode, r.stdout, r.stderr
        except subprocess.TimeoutExpired as e:
            return 2, e.stdout or "", "kessivanectl did not return"

    def up(self):
        home = os.path.join(self.dir, "server")
        os.makedirs(home)
        with open(os.path.join(home, "gsc"), "w") as f:
            f.write(gsc_script(FIGURES[self.args.figure]["stars"]))
        os.chmod(os.path.join(home, "gsc"), 0o755)
        base = {k: v for k, v in os.environ.items() if k not in ("DBUS_SESSION_BUS_ADDRESS", "DISPLAY", "WAYLAND_DISPLAY")}
        # The session bus.
        bus = start("dbus-daemon", ["dbus-daemon", "--session", "--nofork", "--print-address=1",
                                    "--address=unix:path=" + os.path.join(self.dir, "bus")], base, self.logfile,
                    stdout=subprocess.PIPE, text=True)
        address = bus.stdout.readline().strip()
        if not address:
            raise RuntimeError("dbus-daemon gave no address")
        # The device server and its simulators.
        self.port = free_port()
        server_env = dict(base, HOME=home, PATH=home + ":" + base.get("PATH", "/usr/bin:/bin"),
                          XDG_STATE_HOME=os.path.join(home, "state"))
        fifo = os.path.join(home, "fifo")
        os.mkfifo(fifo)
        start("indiserver", ["indiserver", "-p", str(self.port), "-u", os.path.join(home, "socket"), "-f", fifo,
                             "indi_simulator_ccd", "indi_simulator_focus"], server_env, self.logfile)
        wait_until("indiserver", lambda: self.getprop("CCD Simulator.CONNECTION.CONNECT") != "" and
                   self.getprop("Focuser Simulator.CONNECTION.CONNECT") != "", 20, 0.5)
        self.prop("CCD Simulator.CONNECTION.CONNECT=On")
        self.prop("Focuser Simulator.CONNECTION.CONNECT=On")
        wait_until("the simulators to connect", lambda: self.getprop("CCD Simulator.SCOPE_INFO.FOCAL_LENGTH") != "" and
                   self.getprop("Focuser Simulator.ABS_FOCUS_POSITION.FOCUS_ABSOLUTE_POSITION") != "", 20, 0.5)
        self.prop("CCD Simulator.SCOPE_INFO.FOCAL_LENGTH;APERTURE=%d;%d" % (FOCAL_LENGTH_MM, APERTURE_MM))
        self.prop("CCD Simulator.EQUATORIAL_PE.RA_PE;DEC_PE=12;45")
        # 5.2 um pixels, the 1.34"/px; frames come ten times faster than their
        # exposure with the same light (measured: the star's peak is the same).
        self.prop("CCD Simulator.SIMULATOR_SETTINGS.SIM_XSIZE;SIM_YSIZE;SIM_TIME_FACTOR=5.2;5.2;%g" % self.args.time_factor)
        self.set_noise(10)
        self.set_best(self.server_position() + 100)
        # Kessivane's folder: the INDI camera plug-in and its settings, the
        # INDI focuser on COM1, the exposure (the slider starts at half the
        # default exposure setting), the figure and frames a reading.
        kv = os.path.join(self.dir, "kessivane")
        os.makedirs(kv)
        os.symlink(os.path.join(self.bin, "indi_camera.so"), os.path.join(kv, "indi_camera.so"))
        shutil.copy(os.path.join(REPO, "data", "Focusers.ini"), kv)
        with open(os.path.join(kv, "indi_camera.ini"), "w") as f:
            f.write("Host=127.0.0.1\nPort=%d\nDevice=CCD Simulator\nFocusWidth=64\nFocusHeight=64\nTimeout=30\n" % self.port)
        with open(os.path.join(kv, "Kessivane.ini"), "w") as f:
            f.write("[Device/Ports]\r\nCamera=INDI Camera\r\nFocuser=INDI Focuser\r\nComPort=1\r\n"
                    "[Ports]\r\nCOM1=indi://127.0.0.1:%d/Focuser Simulator\r\n"
                    "[CameraControl]\r\nExposureTimeDefault=%g\r\n"
                    "[Misc]\r\nFocusSamples=%d\r\nFigureMerit=%d\r\n" %
                    (self.port, 2 * self.args.exposure, self.samples, 4 if self.args.fom == "hfd" else 0))
        self.env = dict(base, KESSIVANE_HOME=kv, DBUS_SESSION_BUS_ADDRESS=address, QT_QPA_PLATFORM="offscreen")
        # The result's details (frames, whole-image frames, the program's own
        # error estimate) as they travel on the bus, also for runs that failed.
        self.monitor_path = os.path.join(self.dir, "bus-monitor.txt")
        self.monitor_file = open(self.monitor_path, "w")
        start("dbus-monitor", ["dbus-monitor", "--address", address,
                               "type='signal',interface='org.kessivane.Focusing',member='AutoFocusFinished'"],
              self.env, self.logfile, stdout=self.monitor_file)
        start("kessivane", [os.path.join(self.bin, "kessivane")], self.env, self.logfile)
        wait_until("Kessivane on the bus", lambda: self.ctl("position", timeout=5)[0] == 0, 90, 1.0)
        rc, out, err = self.ctl("set-optics", "focalRatio=%g" % FOCAL_RATIO, "stepSize=%g" % STEP_UM)
        if rc != 0:
            raise RuntimeError("set-optics: " + err.strip())
        # A night starts with an image and a star picked near focus.
        for command in (("take-image",), ("pick-star",)):
            rc, out, err = self.ctl(*command, timeout=60)
            if rc != 0:
                raise RuntimeError("%s: %s" % (command[0], (err or out).strip()))

    def details(self):
        """The last AutoFocusFinished map seen on the bus."""
        self.monitor_file.flush()
        with open(self.monitor_path) as f:
            text = f.read()
        block = text.rsplit("member=AutoFocusFinished", 1)
        if len(block) < 2:
            return {}
        found = {}
        for key, kind, value in re.findall(r'dict entry\(\s*string "([^"]+)"\s*variant\s+(\w+) ("(?:[^"\\]|\\.)*"|\S+)',
                                           block[1]):
            if kind in ("int32", "uint32", "int64"):
                found[key] = int(value)
            elif kind == "double":
                found[key] = float(value)
            elif kind == "boolean":
                found[key] = value == "true"
            elif kind == "string":
                found[key] = value[1:-1]
        return found

    def monitor_count(self):
        self.monitor_file.flush()
        with open(self.monitor_path) as f:
            return f.read().count("member=AutoFocusFinished")

    def recentre(self):
        """Keeps the focuser within reach of the simulator's travel, by moves a script may make."""
        pos = self.server_position()
        while abs(pos - HOME_POSITION) > 5000:
            by = max(-5000, min(5000, HOME_POSITION - pos))
            self.ctl("move-by", str(by), timeout=120)
            new = self.server_position()
            if new == pos:
                break
            pos = new

    def autofocus(self, method, step, timeout):
        seen = self.monitor_count()
        t0 = time.monotonic()
        measure = FIGURES[self.args.figure].get("measure")
        rc, out, err = self.ctl("autofocus", "--method", method, "--step", str(step),
                                *(("--measure", measure) if measure else ()), timeout=timeout)
        seconds = time.monotonic() - t0
        if rc == 2:  # the run goes on in Kessivane: stop it before the next
            self.ctl("cancel", timeout=10)
            wait_until("the cancelled run to end", lambda: self.ctl("running", timeout=5)[1].strip() == "0", 60, 1.0)
        try:
            wait_until("the result's details", lambda: self.monitor_count() > seen, 5, 0.1)
            d = self.details()
        except RuntimeError:
            d = {}
        text = (out.strip().splitlines() or [""])[-1] if rc == 0 else err.strip()
        return rc, d, text, seconds

    def down(self):
        stop_children()
        self.logfile.close()


PROFILE_OFFSETS = (0, 25, 50, 100, 150, 200, 300, 400, 600, 800, 1200, 1500, 2500)


def profile(session, noise, frames=3):
    """The program's own figures of the simulator's star at each defocus: the
    curve the battery's second sky stands in for."""
    session.set_noise(noise)
    pos = session.server_position()
    print("\nThe program's focus frames at each defocus, noise %d (median of %d frames; no star: of %d)" %
          (noise, frames, frames))
    print("%8s %8s %8s %8s %8s" % ("steps", "FWHM", "HFD", "Peak", "no star"))
    for d in PROFILE_OFFSETS:
        session.set_best(pos - d)
        got, missing = {"FWHM": [], "HFD": [], "Peak": []}, 0
        for _ in range(frames):
            rc, out, err = session.ctl("focus-frame", timeout=60)
            values = dict(line.split(None, 1) for line in out.splitlines() if " " in line)
            if rc != 0 or "Status" in values:
                missing += 1
                continue
            for k in got:
                got[k].append(float(values[k]))
        med = {k: statistics.median(v) if v else float("nan") for k, v in got.items()}
        print("%8d %8.2f %8.2f %8.0f %8d" % (d, med["FWHM"], med["HFD"], med["Peak"], missing), flush=True)


def draw_sign(rnd):
    return 1 if rnd.random() < 0.5 else -1


def run_case(session, case, rnd, args):
    label, method, step, band, noise, _ = case
    session.set_noise(noise)
    session.recentre()
    pos = session.server_position()
    result = {"label": label}
    if method == "quick":
        # The night's first fit from near focus teaches the curve; then best focus moves.
        session.set_best(pos + draw_sign(rnd) * round(rnd.uniform(60, 200)))
        rc, d, text, seconds = session.autofocus("fit", step, args.timeout)
        if rc != 0:
            result.update(outcome="no curve", error=None, text=text, details=d, seconds=seconds,
                          best=session.best, start=pos)
            return result
        pos = session.server_position()
        shift = draw_sign(rnd) * round(rnd.uniform(*band))
        session.set_best(session.best + shift)
        result["shift"] = shift
    else:
        out = round(rnd.uniform(*band))
        session.set_best(pos + draw_sign(rnd) * out)
    rc, d, text, seconds = session.autofocus(method, step, args.timeout)
    end = session.server_position()
    outcome = {0: "completed", 6: "uncertain", 2: "timed out"}.get(rc, "refused")
    result.update(outcome=outcome, error=abs(end - session.best), text=text, details=d, seconds=seconds,
                  best=session.best, start=pos, end=end)
    return result


def summarise(label, results):
    n = len(results)
    ok = [r for r in results if r["outcome"] == "completed" and r["error"] <= CFZ_STEPS]
    false_ok = [r for r in results if r["outcome"] == "completed" and r["error"] > CFZ_STEPS]
    refused = [r for r in results if r["outcome"] in ("refused", "uncertain", "no curve", "timed out")]
    errors = sorted(r["error"] for r in results if r["outcome"] == "completed")
    frames = [r["details"].get("frames", 0) for r in results]
    coarse = [r["details"].get("coarseFrames", 0) for r in results]
    fell = sum(1 for r in results if r["details"].get("fallback"))
    secs = [r["seconds"] for r in results]
    # A whole-field run's fewest stars in a reading on its curve; 1 for the focus star.
    stars = [r["details"].get("fewestStars", 1) for r in results if r["details"]]
    fewest = min(stars) if stars else 0
    med = statistics.median(errors) if errors else float("nan")
    worst = max(errors) if errors else float("nan")
    return ("%-42s %4d %6.0f%% %6.0f%% %5d %6.0f %6.0f %6.2f %6.2f %6.1f %5d %6.1f %5d %5d %6.0f %6.0f %5d" %
            (label, n, 100.0 * len(ok) / n, 100.0 * len(refused) / n, len(false_ok), med, worst, med / CFZ_STEPS,
             worst / CFZ_STEPS, statistics.mean(frames), max(frames), statistics.mean(coarse), max(coarse), fell,
             statistics.median(secs), max(secs), fewest))


HEADER = ("%-42s %4s %7s %7s %5s %6s %6s %6s %6s %6s %5s %6s %5s %5s %6s %6s %5s" %
          ("cases", "runs", "success", "refused", "false", "median", "worst", "medCFZ", "wstCFZ", "frames", "max",
           "coarse", "max", "fellb", "med s", "max s", "stars"))


def in_namespace(argv):
    """Re-runs this bench in a network namespace of its own, with only loopback."""
    if os.environ.get("KV_SKY_NETNS") == "1" or "--no-netns" in argv or not shutil.which("unshare"):
        return None
    probe = subprocess.run(["unshare", "-rn", "true"], capture_output=True)
    if probe.returncode != 0:
        log("unshare -rn is not allowed here; indiserver then listens on an ephemeral port of every interface")
        return None
    env = dict(os.environ, KV_SKY_NETNS="1")
    script = 'ip link set lo up 2>/dev/null || true; exec "$0" "$@"'
    return subprocess.call(["unshare", "-rn", "sh", "-c", script, sys.executable, os.path.abspath(__file__), *argv],
                           env=env)


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--build", default=os.path.join(REPO, "build", "rel"), help="build folder with bin/kessivane")
    p.add_argument("--runs", type=int, default=int(os.environ.get("KV_SKY_RUNS", "1")), help="runs a case (KV_SKY_RUNS)")
    p.add_argument("--seed", type=int, default=int(os.environ.get("KV_SKY_SEED", "1")), help="draws best focus, sides, shifts")
    p.add_argument("--cases", default=os.environ.get("KV_SKY_CASES", DEFAULT_CASES),
                   help="groups, comma-separated: %s (default %s)" % (",".join(CASES), DEFAULT_CASES))
    p.add_argument("--fom", choices=("fwhm", "hfd"), default="fwhm", help="the figure (the factory setting: fwhm)")
    p.add_argument("--figure", choices=sorted(FIGURES), default="star", help="what a reading measures")
    p.add_argument("--exposure", type=float, default=1.0, help="seconds, focus frames and whole images")
    p.add_argument("--time-factor", type=float, default=0.1, help="the simulator's SIM_TIME_FACTOR")
    p.add_argument("--timeout", type=float, default=600, help="seconds one auto focus may take")
    p.add_argument("--csv", help="write every run here")
    p.add_argument("--profile", action="store_true",
                   help="only print the program's figures of the star from 0 to 2500 steps out, at noise 10 and 300")
    p.add_argument("--keep", action="store_true", help="keep the sessions' folders and logs")
    p.add_argument("--no-netns", action="store_true", help="run in the caller's network namespace")
    args = p.parse_args()
    rc = in_namespace(sys.argv[1:])
    if rc is not None:
        return rc
    for tool in ("indiserver", "indi_simulator_ccd", "indi_simulator_focus", "indi_setprop", "indi_getprop",
                 "dbus-daemon", "dbus-monitor"):
        if not shutil.which(tool):
            log("%s is not installed (Debian's indi-bin and dbus)" % tool)
            return 77
    for f in ("kessivane", "kessivanectl", "indi_camera.so"):
        if not os.path.exists(os.path.join(args.build, "bin", f)):
            log("%s/bin/%s is missing: build kessivane, kessivanectl and indi_camera" % (args.build, f))
            return 77
    groups = [g.strip() for g in args.cases.split(",") if g.strip()]
    unknown = [g for g in groups if g not in CASES]
    if unknown:
        log("unknown case group(s): %s; known: %s" % (", ".join(unknown), ", ".join(CASES)))
        return 64
    cases = [c for g in groups for c in CASES[g]]
    rnd = random.Random(args.seed)
    work = tempfile.mkdtemp(prefix="kv-indi-sky-")
    atexit.register(stop_children)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    print("INDI sky bench: seed %d, %d run(s) a case, CFZ %.1f steps (f/%g, %g um steps), exposure %g s, %s, %s"
          % (args.seed, args.runs, CFZ_STEPS, FOCAL_RATIO, STEP_UM, args.exposure, args.fom.upper(), args.figure),
          flush=True)
    results = {}
    csv = open(args.csv, "w") if args.csv else None
    if csv:
        csv.write("case,run,outcome,best,start,end,error,shift,frames,coarseFrames,errorSteps,fallback,seconds,text\n")
    t0 = time.monotonic()
    try:
        if args.profile:
            session = Session(args, 1, work)
            try:
                session.up()
                for noise in (10, 300):
                    profile(session, noise)
            finally:
                session.down()
            return 0
        for samples in sorted({c[5] for c in cases}):
            session = Session(args, samples, work)
            try:
                session.up()
                for case in (c for c in cases if c[5] == samples):
                    for i in range(args.runs):
                        r = run_case(session, case, rnd, args)
                        results.setdefault(case[0], []).append(r)
                        d = r["details"]
                        print("  %-42s %-9s best %6d start %6d error %5s frames %3s coarse %2s stars %3s est %5s %5.0f s  %s" %
                              (case[0], r["outcome"], r["best"], r["start"],
                               "-" if r["error"] is None else r["error"], d.get("frames", "?"),
                               d.get("coarseFrames", "?"), d.get("fewestStars", "-"),
                               "%.1f" % d["errorSteps"] if "errorSteps" in d else "-", r["seconds"], r["text"].replace("\n", " ")[:240]),
                              flush=True)
                        if csv:
                            csv.write('"%s",%d,%s,%d,%d,%s,%s,%s,%s,%s,%s,"%s",%.1f,"%s"\n' % (
                                case[0], i, r["outcome"], r["best"], r["start"], r.get("end", ""),
                                "" if r["error"] is None else r["error"], r.get("shift", ""), d.get("frames", ""),
                                d.get("coarseFrames", ""), d.get("errorSteps", ""), d.get("fallback", ""),
                                r["seconds"], r["text"].replace('"', "'").replace("\n", " ")))
                            csv.flush()
            finally:
                session.down()
    finally:
        stop_children()
        if csv:
            csv.close()
        if args.keep:
            log("sessions kept in " + work)
        else:
            shutil.rmtree(work, ignore_errors=True)
    print("\n" + HEADER)
    for case in cases:
        if case[0] in results:
            print(summarise(case[0], results[case[0]]))
    print("(errors in focuser steps from the hidden best focus, over completed runs; success: completed within 1 CFZ "
          "= %.1f steps;\n refused: ended without an answer (uncertain included); false: completed more than 1 CFZ off;"
          " frames: focus frames\n of every reading; coarse: whole images; fellb: quick refocus runs that fell back;"
          " %.0f s in all)" % (CFZ_STEPS, time.monotonic() - t0))
    return 0


if __name__ == "__main__":
    sys.exit(main())
