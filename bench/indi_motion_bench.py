#!/usr/bin/env python3
"""Moves through the INDI driver on the simulated hub while both cores are
kept busy by another process: does every move end within a step of its
target, at rest, and does the motor watch leave every healthy move alone?

A local indiserver runs indi_kessivane_focuser on "sim:hub" (its own state
folder, its own port); `yes > /dev/null` runs once per core unless --no-load.
Each move asks ABS_FOCUS_POSITION for a target 10 to 3000 steps away (drawn
from --seed), waits for the move's end, and reads the position at once and
again --rest-ms later: a move "at rest" reads the same both times.

  python3 bench/indi_motion_bench.py                   # 300 moves under load
  python3 bench/indi_motion_bench.py --moves 40 --no-load
  python3 bench/indi_motion_bench.py --speed 300 --coast 2   # the simulator's own motor

Prints one line per 25 moves and the counts at the end; exits 1 when any
move missed, did not rest or was stopped.
"""
import argparse
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
DEVICE = "Kessivane Focuser"

sys.path.insert(0, HERE)
from indi_sky_bench import free_port  # noqa: E402  (the sky bench's, for one port-picking rule)


class Server:
    def __init__(self, driver, env, work):
        self.port = free_port()
        self.log = open(os.path.join(work, "indiserver.log"), "w")
        self.proc = subprocess.Popen(["indiserver", "-p", str(self.port), driver], env=env, stdout=self.log,
                                     stderr=self.log, stdin=subprocess.DEVNULL, start_new_session=True)

    def set(self, assignment):
        r = subprocess.run(["indi_setprop", "-p", str(self.port), "-t", "5", DEVICE + "." + assignment],
                           capture_output=True, text=True, timeout=30)
        if r.returncode != 0:
            raise RuntimeError("indi_setprop %s: %s" % (assignment, r.stderr.strip()))

    def get(self, what):
        r = subprocess.run(["indi_getprop", "-p", str(self.port), "-t", "5", "-1", DEVICE + "." + what],
                           capture_output=True, text=True, timeout=30)
        return r.stdout.strip()

    def wait(self, expression, seconds):
        return subprocess.run(["indi_eval", "-p", str(self.port), "-w", "-t", str(seconds), expression],
                              capture_output=True, timeout=seconds + 30).returncode == 0

    def position(self):
        return int(round(float(self.get("ABS_FOCUS_POSITION.FOCUS_ABSOLUTE_POSITION") or "nan")))

    def stop(self):
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait(timeout=10)


def q(what):
    return '"%s.%s"' % (DEVICE, what)


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--build", default=os.path.join(REPO, "build", "rel"))
    p.add_argument("--moves", type=int, default=300)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--speed", type=float, default=1000.0, help="the simulated motor's fast speed, counts/s")
    p.add_argument("--coast", type=float, default=12.0, help="counts the simulated motor runs on after a switch-off")
    p.add_argument("--rest-ms", type=int, default=500)
    p.add_argument("--no-load", action="store_true", help="leave the cores idle")
    args = p.parse_args()

    driver = os.path.join(args.build, "bin", "indi_kessivane_focuser")
    for tool in ("indiserver", "indi_setprop", "indi_getprop", "indi_eval"):
        if not shutil.which(tool):
            sys.exit("%s is not installed (the package indi-bin)" % tool)
    if not os.access(driver, os.X_OK):
        sys.exit("%s is not built" % driver)

    rnd = random.Random(args.seed)
    work = tempfile.mkdtemp(prefix="kv-motion-")
    env = dict(os.environ, HOME=work, XDG_STATE_HOME=os.path.join(work, "state"),
               KESSIVANE_SIM_HUB_SPEED=str(args.speed), KESSIVANE_SIM_HUB_COAST=str(args.coast))
    load = []
    server = None
    counts = {"moves": 0, "within 1 step": 0, "at rest": 0, "stalled": 0, "other endings": 0}
    worst = 0
    try:
        server = Server(driver, env, work)
        deadline = time.monotonic() + 20
        while not server.get("CONNECTION.CONNECT"):
            if time.monotonic() > deadline:
                raise RuntimeError("the driver did not come up")
            time.sleep(0.2)
        server.set("DEVICE_PORT.PORT=sim:hub")
        server.set("CONNECTION.CONNECT=On")
        if not server.wait(q("CONNECTION.CONNECT") + "==1", 20):
            raise RuntimeError("the driver did not connect to sim:hub")
        server.set("FOCUS_MAX.FOCUS_MAX_VALUE=100000")
        server.set("FOCUS_SYNC.FOCUS_SYNC_VALUE=50000")
        if not args.no_load:
            for _ in range(os.cpu_count() or 2):
                load.append(subprocess.Popen(["yes"], stdout=subprocess.DEVNULL, start_new_session=True))
        print("%d moves of 10 to 3000 steps, motor %.0f counts/s running on %.0f counts, %s" %
              (args.moves, args.speed, args.coast, "no load" if args.no_load else "%d x yes" % len(load)), flush=True)
        started = time.monotonic()
        here = server.position()
        for n in range(1, args.moves + 1):
            steps = rnd.randint(10, 3000)
            target = here + steps * (1 if here + steps <= 90000 and (here - steps < 10000 or rnd.random() < 0.5) else -1)
            server.set("ABS_FOCUS_POSITION.FOCUS_ABSOLUTE_POSITION=%d" % target)
            # indi_setprop returns once the request is sent, and the server may
            # answer another client before the driver took it: first the driver's
            # answer (busy, refused, or there already), then the end.
            # (indi_eval sees no value for an operand named twice.)
            if not server.wait("%s>=2 || abs(%s-%d)<=1" % (q("ABS_FOCUS_POSITION._STATE"),
                                                          q("ABS_FOCUS_POSITION.FOCUS_ABSOLUTE_POSITION"), target), 60):
                raise RuntimeError("move %d to %d was not taken" % (n, target))
            if not server.wait(q("ABS_FOCUS_POSITION._STATE") + "!=2", 120):
                raise RuntimeError("move %d to %d did not end" % (n, target))
            ended = server.position()
            end = server.get("KV_LAST_MOVE.END")
            time.sleep(args.rest_ms / 1000.0)
            here = server.position()
            counts["moves"] += 1
            counts["within 1 step"] += abs(here - target) <= 1
            counts["at rest"] += here == ended
            counts["stalled"] += end == "stalled"
            counts["other endings"] += end not in ("arrived", "stalled")
            worst = max(worst, abs(here - target))
            if abs(here - target) > 1 or here != ended or end != "arrived":
                print("  move %d: target %d, ended %s at %d, %d after %d ms: %s" %
                      (n, target, end, ended, here, args.rest_ms, server.get("KV_LAST_MOVE.REASON")), flush=True)
            if n % 25 == 0:
                print("  %d moves, %.0f s" % (n, time.monotonic() - started), flush=True)
    finally:
        for proc in load:
            proc.kill()
            proc.wait()
        if server:
            server.stop()
    print("moves %(moves)d, within 1 step %(within 1 step)d, at rest %(at rest)d, stopped by the motor watch "
          "%(stalled)d, other endings %(other endings)d" % counts + ", worst miss %d steps" % worst)
    shutil.rmtree(work, ignore_errors=True)
    ok = counts["within 1 step"] == counts["at rest"] == counts["moves"] and not counts["stalled"] and \
        not counts["other endings"]
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
