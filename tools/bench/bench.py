#!/usr/bin/env python3
"""Benchmark of the real `modemtest` program (not a test): one full sweep with no serial device
at all, and one with a single modem that answers every command at once.

    bench.py --modemtest PATH --modemsim PATH [--host HOST] [--reps N]

Each run happens in private namespaces made the same way as the end-to-end tests' (see
tests/e2e/nsrun.py): the program sees only the simulator's pseudo-terminals, never a serial
device of the machine. Needs root.

For each run it prints:
  sweep      wall time from the answer to the notice box (the search starts) to the log's end
             line, against the schedule of waits that the design prescribes;
  hand-over  from the log's end line to the offer question (the housekeeping thread notices the
             end of the sweep within its 1 s wait);
  CPU        user and system time of the whole program run;
  peak RSS   the program's peak resident memory (VmHWM), sampled until the main window shows.
"""
import argparse
import json
import math
import os
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))

import nsrun  # noqa: E402

PORTS = 256
SWEEP_POLL_MS = 60        # the sweep's PumpWait(60) per look at the probe
HOUSEKEEPING_MS = 1000    # the housekeeping thread's wait between two looks
SETTLE_MS = 20            # before the presence test, before every command, before closing
POLL_MS = 100             # the answer polls
PAUSE_AFTER_STEP5_MS = 500
SCRIPT_STEPS = 45         # the simulated modem is not the CX model: no step is left out


def schedule_no_device_ms():
    # A missing port fails to open at once; the sweep finds the probe finished after its first
    # wait of 60 ms.
    return PORTS * SWEEP_POLL_MS


def probe_with_modem_ms():
    # settle, presence test answered at the first poll, every step its settle and one poll, the
    # pause after step 5, the wait before closing.
    return (SETTLE_MS + POLL_MS + SCRIPT_STEPS * (SETTLE_MS + POLL_MS) + PAUSE_AFTER_STEP5_MS +
            SETTLE_MS)


def schedule_one_modem_ms():
    # The sweep sees the probe end at its next 60 ms look.
    probe = math.ceil(probe_with_modem_ms() / SWEEP_POLL_MS) * SWEEP_POLL_MS
    return (PORTS - 1) * SWEEP_POLL_MS + probe


SCENARIOS = {
    "no device": ({}, schedule_no_device_ms()),
    "one modem": ({"ttyS1": "generic"}, schedule_one_modem_ms()),
}


class PeakMemory:
    """Samples the program's peak resident set (VmHWM of /proc/PID/status) while it runs. The
    count the kernel keeps for a process across exec (ru_maxrss) would report the forking
    runner's own size, so it is not used."""

    def __init__(self, pid):
        self.pid = pid
        self.peak_kib = 0
        self.running = True
        self.thread = threading.Thread(target=self._sample, daemon=True)
        self.thread.start()

    def _sample(self):
        path = "/proc/%d/status" % self.pid
        while self.running:
            try:
                with open(path) as handle:
                    status = handle.read()
            except OSError:
                return
            if "modemtest" in status.split("\n", 1)[0]:  # after setpriv's exec
                for line in status.splitlines():
                    if line.startswith("VmHWM:"):
                        self.peak_kib = max(self.peak_kib, int(line.split()[1]))
            time.sleep(0.02)

    def stop(self):
        self.running = False
        self.thread.join(1)
        return self.peak_kib


def run_inside(args):
    """One run, inside the namespaces; writes its figures as JSON."""
    ports, _schedule = SCENARIOS[args.scenario]
    ns = nsrun.Namespace("bench")
    figures = {}
    try:
        ns.prepare(args.host)
        ns.start_simulator(args.modemsim, ports)
        program = ns.start_program(args.modemtest)
        memory = PeakMemory(program.pid)
        program.wait_for(b"Your Name for tech-support Purposes", 30, "name prompt")
        program.send(b"Bench Runner")
        program.wait_for(b"Your Email Address for tech-support Purposes", 30, "e-mail prompt")
        program.send(b"bench@example.com")
        program.wait_for(b"before continuing...", 30, "notice box")
        program.send(b"")
        sweep_start = time.monotonic()
        program.wait_for(b"End Modem Log - ", 300, "end of the log")
        sweep_end = time.monotonic()
        program.wait_for(b"Click [Yes] to send this log", 30, "offer")
        offered = time.monotonic()
        program.send(b"n")
        program.wait_for(b"Version 24.07.27", 30, "main window")
        program.wait_quiet(0.5, 5)
        peak_kib = memory.stop()
        program.close_input()
        status = program.wait_exit(30)
        usage = program.rusage
        figures = {"sweep_s": sweep_end - sweep_start, "handover_s": offered - sweep_end,
                   "user_s": usage.ru_utime, "sys_s": usage.ru_stime,
                   "peak_kib": peak_kib, "status": status,
                   "modem_found": b"found modem" in program.text()}
    except nsrun.CaseFailure as failure:
        figures = {"error": str(failure)}
    finally:
        ns.stop_all()
        ns.remove_scratch()
    with open(args.out, "w") as handle:
        json.dump(figures, handle)


def run_outside(args):
    reason = nsrun.namespace_unavailable()
    if reason is not None:
        print("bench: cannot make private namespaces here: %s" % reason, file=sys.stderr)
        return 2
    missing = nsrun.missing_tools()
    if missing:
        print("bench: %s not installed" % ", ".join(missing), file=sys.stderr)
        return 2
    rows = []
    for scenario, (_ports, schedule_ms) in SCENARIOS.items():
        for rep in range(args.reps):
            with tempfile.NamedTemporaryFile(suffix=".json", delete=False) as out:
                path = out.name
            command, env = nsrun.namespace_command(
                os.path.abspath(__file__),
                ["--modemtest", args.modemtest, "--modemsim", args.modemsim, "--host",
                 args.host, "--scenario", scenario, "--out", path])
            subprocess.run(command, env=env, timeout=600)
            with open(path) as handle:
                text = handle.read()
            os.remove(path)
            figures = json.loads(text) if text else {"error": "the run left no figures"}
            if "error" in figures:
                print("bench: %s run %d failed: %s" % (scenario, rep + 1, figures["error"]),
                      file=sys.stderr)
                return 1
            rows.append((scenario, schedule_ms / 1000.0, figures))

    print("modemtest: %s" % args.modemtest)
    print("schedule: no device %d x %d ms; one modem: probe %d ms (settle %d + presence poll %d"
          " + %d x (settle %d + poll %d) + pause %d + settle %d), seen at the next %d ms look,"
          " + %d x %d ms; hand-over within %d ms" %
          (PORTS, SWEEP_POLL_MS, probe_with_modem_ms(), SETTLE_MS, POLL_MS, SCRIPT_STEPS,
           SETTLE_MS, POLL_MS, PAUSE_AFTER_STEP5_MS, SETTLE_MS, SWEEP_POLL_MS, PORTS - 1,
           SWEEP_POLL_MS, HOUSEKEEPING_MS))
    header = ("scenario", "sweep s", "schedule s", "over", "hand-over s", "CPU user s",
              "CPU sys s", "peak RSS MiB")
    print("%-10s %9s %11s %7s %12s %11s %10s %13s" % header)
    for scenario, schedule_s, figures in rows:
        over = (figures["sweep_s"] - schedule_s) / schedule_s * 100.0
        print("%-10s %9.2f %11.2f %6.1f%% %12.2f %11.2f %10.2f %13.1f" %
              (scenario, figures["sweep_s"], schedule_s, over, figures["handover_s"],
               figures["user_s"], figures["sys_s"], figures["peak_kib"] / 1024.0))
        if scenario == "one modem" and not figures["modem_found"]:
            print("  (the modem was not found: this run does not measure a probe)")
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--modemtest", required=True)
    parser.add_argument("--modemsim", required=True)
    parser.add_argument("--host", default="support.dunvarlotek.example")
    parser.add_argument("--reps", type=int, default=1)
    parser.add_argument("--scenario", choices=sorted(SCENARIOS), help=argparse.SUPPRESS)
    parser.add_argument("--out", help=argparse.SUPPRESS)
    args = parser.parse_args()
    args.modemtest = os.path.abspath(args.modemtest)
    args.modemsim = os.path.abspath(args.modemsim)
    if args.scenario:
        if not nsrun.inside_namespace():
            parser.error("--scenario is for the run inside the namespaces")
        run_inside(args)
        return 0
    return run_outside(args)


if __name__ == "__main__":
    sys.exit(main())
