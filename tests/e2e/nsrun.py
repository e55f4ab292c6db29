"""Namespace runner of the end-to-end tests and of the benchmark.

A case runs in private mount, network and process namespaces (`unshare`, as root):

  /dev         a fresh tmpfs holding only null, zero, urandom and tty (bound from the host's
               nodes), a new devpts instance on /dev/pts with /dev/ptmx pointing into it, and the
               slave sides of the simulator's pseudo-terminals bound at device names of the port
               map (/dev/ttyS1, /dev/ttyUSB0, ...). The machine's own serial devices, its console
               among them, do not exist there; `check_dev_is_safe` refuses to start the program
               if /dev holds any other device node.
  /var/lock    an empty tmpfs, for the UUCP lock files.
  /etc/hosts   a file of the case's own: the support host maps to 127.0.0.1, or is missing.
  network      loopback only, brought up.
  processes    the runner is the first process of its own process namespace, so everything it
               starts ends with it, whatever happens.

The program runs without CAP_SYS_ADMIN (as any user's program would), so that another
process's exclusive hold on a port (TIOCEXCL) applies to it.
"""
import fcntl
import json
import os
import re
import shutil
import signal
import socket
import stat
import struct
import subprocess
import sys
import tempfile
import threading
import time

SKIP_CODE = 77
NAMESPACE_MARK = "MODEMTEST_E2E_NAMESPACE"
HERE = os.path.dirname(os.path.abspath(__file__))
UNSHARE = ["unshare", "--mount", "--net", "--pid", "--fork", "--kill-child", "--mount-proc",
           "--propagation", "private"]
# The program keeps every capability but this one: it lets root open a port that another
# process holds exclusively.
DROP_SYS_ADMIN = ["setpriv", "--bounding-set=-sys_admin", "--inh-caps=-sys_admin", "--"]

# Device nodes allowed in the namespace's /dev: (major, minor) of null, zero, urandom, tty and
# the devpts multiplexer; slave pseudo-terminals have majors 136 to 143.
ALLOWED_NODES = {(1, 3), (1, 5), (1, 9), (5, 0), (5, 2)}
PTS_MAJORS = range(136, 144)

# COM number to device name.
DEVICE_RANGES = [(1, 32, "ttyS", 0), (33, 64, "ttyUSB", 0), (65, 96, "ttyACM", 0),
                 (97, 128, "ttyAMA", 0), (129, 160, "rfcomm", 0), (161, 168, "ttySL", 0),
                 (169, 176, "ttyLT", 0), (177, 184, "ttySHSF", 0), (185, 192, "ttyIAX", 0),
                 (193, 256, "ttyS", 32)]


def device_of(com):
    for first, last, stem, base in DEVICE_RANGES:
        if first <= com <= last:
            return "%s%d" % (stem, base + com - first)
    raise ValueError("no device for COM%d" % com)


def com_of(device):
    for com in range(1, 257):
        if device_of(com) == device:
            return com
    raise ValueError("%s is not in the port map" % device)


class CaseFailure(Exception):
    pass


def fail(message):
    raise CaseFailure(message)


# ---------------------------------------------------------------------------------------------
# Entering the namespace.

def inside_namespace():
    return os.environ.get(NAMESPACE_MARK) == "1"


def namespace_unavailable():
    """Why no namespace can be made here, or None."""
    if not sys.platform.startswith("linux"):
        return "not Linux"
    if os.geteuid() != 0:
        return "not root (making mount and network namespaces needs root)"
    if shutil.which("unshare") is None:
        return "unshare (util-linux) is not installed"
    trial = ("import os, subprocess, tempfile\n"
             "d = tempfile.mkdtemp(prefix='modemtest-nscheck-')\n"
             "try:\n"
             "    subprocess.run(['mount', '-t', 'tmpfs', 'tmpfs', d], check=True)\n"
             "    os.mkdir(d + '/pts')\n"
             "    subprocess.run(['mount', '-t', 'devpts', '-o', 'newinstance,ptmxmode=0666',"
             " 'devpts', d + '/pts'], check=True)\n"
             "    subprocess.run(['umount', '-R', d], check=True)\n"
             "finally:\n"
             "    os.rmdir(d)\n")
    try:
        result = subprocess.run(UNSHARE + ["--", sys.executable, "-c", trial],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=30)
    except (OSError, subprocess.TimeoutExpired) as error:
        return "unshare could not be run: %s" % error
    if result.returncode != 0:
        return "unshare or the mounts were refused: %s" % result.stdout.decode(
            "utf-8", "replace").strip()
    return None


def namespace_command(script, argv):
    """The command and environment that run `script argv` inside fresh namespaces."""
    env = dict(os.environ)
    env[NAMESPACE_MARK] = "1"
    return UNSHARE + ["--", sys.executable, script] + list(argv), env


def missing_tools():
    return [tool for tool in ("mount", "setpriv") if shutil.which(tool) is None]


def reenter_in_namespace(script, argv):
    """Runs `script argv` again inside fresh namespaces; does not return. Exits with the skip
    code, after saying why, when no namespace can be made here."""
    reason = namespace_unavailable()
    if reason is not None:
        print("SKIP: the end-to-end tests need private namespaces: %s" % reason, flush=True)
        sys.exit(SKIP_CODE)
    if missing_tools():
        print("FAIL: %s not installed (Debian packages mount, util-linux)" %
              ", ".join(missing_tools()), flush=True)
        sys.exit(1)
    command, env = namespace_command(script, argv)
    sys.stdout.flush()
    os.execvpe(command[0], command, env)


def run(command, **kwargs):
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, **kwargs)
    if result.returncode != 0:
        fail("%s failed: %s" % (" ".join(command), result.stdout.decode("utf-8", "replace")))
    return result


def wait_until(predicate, timeout, interval=0.02):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            return value
        time.sleep(interval)


def uucp_lock_path(device):
    return "/var/lock/LCK..%s" % device


# ---------------------------------------------------------------------------------------------
# The namespace of one case.

class Namespace:
    def __init__(self, label):
        if not inside_namespace() or os.getpid() != 1:
            fail("the runner must run as the first process of its own namespaces")
        self.scratch = tempfile.mkdtemp(prefix="modemtest-e2e-%s-" % label)
        self.work = self._subdir("work")
        self.simdir = self._subdir("sim")
        self.serverdir = self._subdir("server")
        self.processes = []
        self.programs = []
        self.ports = {}  # device name -> slave path

    def _subdir(self, name):
        path = os.path.join(self.scratch, name)
        os.mkdir(path)
        return path

    # -- file system and network --------------------------------------------------------------

    def prepare(self, host, map_host=True):
        if isinstance(host, bytes):
            host = host.decode("ascii")
        self._make_dev()
        run(["mount", "-t", "tmpfs", "-o", "mode=1777,size=1m", "tmpfs", "/var/lock"])
        if os.path.isdir("/run/nscd"):
            # A name service cache of the machine would answer look-ups from outside.
            run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", "/run/nscd"])
        hosts = "127.0.0.1\tlocalhost\n::1\tlocalhost\n"
        if map_host:
            hosts += "127.0.0.1\t%s\n" % host
        self._bind_text("/etc/hosts", hosts)
        if os.path.exists("/etc/resolv.conf"):
            self._bind_text("/etc/resolv.conf",
                            "nameserver 127.0.0.1\noptions timeout:1 attempts:1\n")
        self._loopback_up()

    def _make_dev(self):
        stage = self._subdir("dev")
        run(["mount", "-t", "tmpfs", "-o", "mode=0755,size=1m", "tmpfs", stage])
        for name in ("null", "zero", "urandom", "tty"):
            open(os.path.join(stage, name), "w").close()
            run(["mount", "--bind", "/dev/" + name, os.path.join(stage, name)])
        os.mkdir(os.path.join(stage, "pts"))
        run(["mount", "-t", "devpts", "-o", "newinstance,ptmxmode=0666,mode=0620", "devpts",
             os.path.join(stage, "pts")])
        os.symlink("pts/ptmx", os.path.join(stage, "ptmx"))
        os.symlink("/proc/self/fd", os.path.join(stage, "fd"))
        for number, name in enumerate(("stdin", "stdout", "stderr")):
            os.symlink("/proc/self/fd/%d" % number, os.path.join(stage, name))
        run(["mount", "--move", stage, "/dev"])

    def _bind_text(self, target, text):
        source = os.path.join(self.scratch, os.path.basename(target))
        with open(source, "w") as handle:
            handle.write(text)
        run(["mount", "--bind", source, target])

    @staticmethod
    def _loopback_up():
        if shutil.which("ip") is not None:
            run(["ip", "link", "set", "lo", "up"])
            return
        # Without iproute2: the same through the interface flags.
        SIOCGIFFLAGS, SIOCSIFFLAGS, IFF_UP = 0x8913, 0x8914, 0x1
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
            request = struct.pack("16sH14x", b"lo", 0)
            flags = struct.unpack("16sH14x", fcntl.ioctl(probe, SIOCGIFFLAGS, request))[1]
            fcntl.ioctl(probe, SIOCSIFFLAGS, struct.pack("16sH14x", b"lo", flags | IFF_UP))

    @staticmethod
    def check_dev_is_safe():
        """Fails unless every device node under /dev is one of ours."""
        for directory, subdirectories, files in os.walk("/dev"):
            for name in subdirectories + files:
                path = os.path.join(directory, name)
                info = os.lstat(path)
                if not (stat.S_ISCHR(info.st_mode) or stat.S_ISBLK(info.st_mode)):
                    continue
                node = (os.major(info.st_rdev), os.minor(info.st_rdev))
                if stat.S_ISBLK(info.st_mode):
                    fail("unsafe /dev: block device %s" % path)
                if node in ALLOWED_NODES or node[0] in PTS_MAJORS:
                    continue
                fail("unsafe /dev: %s is the device %d:%d" % (path, node[0], node[1]))
        for com in (1, 2):
            path = "/dev/" + device_of(com)
            if os.path.exists(path) and os.major(os.stat(path).st_rdev) not in PTS_MAJORS:
                fail("unsafe /dev: %s is not a pseudo-terminal" % path)

    # -- processes ----------------------------------------------------------------------------

    def _start(self, command, log_name, **kwargs):
        log = open(os.path.join(self.scratch, log_name), "wb")
        process = subprocess.Popen(command, stdout=kwargs.pop("stdout", log), stderr=log,
                                   **kwargs)
        log.close()
        self.processes.append(process)
        return process

    def start_simulator(self, modemsim, ports):
        """Starts the simulator with {device: profile} and binds each slave at /dev/<device>."""
        if not ports:
            return {}
        specs = ["%s=%s" % (device, profile) for device, profile in sorted(ports.items())]
        self.simulator = self._start([modemsim, "--out", self.simdir] + specs, "modemsim.log")
        listing = os.path.join(self.simdir, "ports.txt")
        if not wait_until(lambda: os.path.exists(listing) or self.simulator.poll() is not None,
                          10):
            fail("the modem simulator did not get ready")
        if not os.path.exists(listing):
            fail("the modem simulator ended: %s" % self.read_text("modemsim.log"))
        for line in open(listing):
            device, slave, _profile = line.split()
            target = "/dev/" + device
            open(target, "w").close()
            run(["mount", "--bind", slave, target])
            self.ports[device] = slave
        return self.ports

    def stop_simulator(self):
        simulator = getattr(self, "simulator", None)
        if simulator is not None and simulator.poll() is None:
            simulator.send_signal(signal.SIGTERM)
            try:
                simulator.wait(10)
            except subprocess.TimeoutExpired:
                simulator.kill()
                simulator.wait()

    def start_form_server(self, mode, port=80, directory=None):
        directory = directory or self.serverdir
        server = self._start([sys.executable, os.path.join(HERE, "formserver.py"), "--dir",
                              directory, "--mode", mode, "--port", str(port)],
                             "formserver-%d.log" % port)
        ready = os.path.join(directory, "ready")
        if not wait_until(lambda: os.path.exists(ready) or server.poll() is not None, 10) or \
                not os.path.exists(ready):
            fail("the form server did not start: %s" %
                 self.read_text("formserver-%d.log" % port))
        return server

    def hold_port(self, device, how):
        """Another process opens /dev/<device> and holds it: "excl" (TIOCEXCL) or "flock"."""
        code = ("import fcntl, os, sys, termios, time\n"
                "fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)\n"
                "if sys.argv[2] == 'excl':\n"
                "    fcntl.ioctl(fd, termios.TIOCEXCL)\n"
                "else:\n"
                "    fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)\n"
                "print('held', flush=True)\n"
                "time.sleep(3600)\n")
        holder = self._start([sys.executable, "-c", code, "/dev/" + device, how],
                             "holder-%s.log" % device, stdout=subprocess.PIPE)
        if holder.stdout.readline().strip() != b"held":
            fail("could not hold /dev/%s (%s)" % (device, how))
        return holder

    def start_idler(self):
        """A live process whose id can stand in a lock file."""
        return self._start(["sleep", "3600"], "idler.log")

    @staticmethod
    def dead_pid():
        finished = subprocess.Popen(["true"])
        finished.wait()
        return finished.pid

    def start_program(self, modemtest, drop_sys_admin=True):
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": self.scratch,
               "LANG": "C", "LC_ALL": "C", "TERM": "dumb"}
        for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LSAN_OPTIONS"):
            if name in os.environ:
                env[name] = os.environ[name]
        command = (DROP_SYS_ADMIN if drop_sys_admin else []) + [modemtest]
        self.check_dev_is_safe()
        program = Program(command, self.work, env, os.path.join(self.scratch, "stderr.txt"))
        self.processes.append(program.process)
        self.programs.append(program)
        return program

    def stop_all(self):
        for number, program in enumerate(self.programs):
            with open(os.path.join(self.scratch, "stdout-%d.txt" % (number + 1)), "wb") as handle:
                handle.write(program.text())
        for process in reversed(self.processes):
            if process is getattr(self, "simulator", None):
                continue
            if process.returncode is None and process.poll() is None:
                process.kill()
                try:
                    process.wait(5)
                except (subprocess.TimeoutExpired, ChildProcessError):
                    pass
        self.stop_simulator()

    def read_text(self, name):
        try:
            with open(os.path.join(self.scratch, name), "rb") as handle:
                return handle.read().decode("latin-1")
        except OSError:
            return ""

    def remove_scratch(self):
        for directory, subdirectories, _files in os.walk(self.scratch):
            for name in subdirectories:
                if os.path.ismount(os.path.join(directory, name)):
                    return  # never delete through a mount
        shutil.rmtree(self.scratch, ignore_errors=True)


# ---------------------------------------------------------------------------------------------
# The program under test, through its standard input and output.

class Program:
    def __init__(self, command, cwd, env, stderr_path):
        self.stderr_path = stderr_path
        stderr = open(stderr_path, "wb")
        self.process = subprocess.Popen(command, cwd=cwd, env=env, stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=stderr)
        stderr.close()
        self.pid = self.process.pid
        self.started = time.monotonic()
        self.output = bytearray()
        self.cursor = 0
        self.last_output = time.monotonic()
        self.condition = threading.Condition()
        self.rusage = None
        self.status = None
        self.ended_output = False
        self.input_closed = None
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        fd = self.process.stdout.fileno()
        while True:
            try:
                chunk = os.read(fd, 65536)
            except OSError:
                chunk = b""
            with self.condition:
                if chunk:
                    self.output += chunk
                    self.last_output = time.monotonic()
                else:
                    self.ended_output = True
                self.condition.notify_all()
            if not chunk:
                return

    def tail(self, count=1500):
        with self.condition:
            return bytes(self.output[-count:]).decode("latin-1")

    def wait_for(self, pattern, timeout, what=None):
        """Waits until the output after the cursor matches `pattern` (bytes, regex or literal
        text); moves the cursor behind the match and returns it."""
        if isinstance(pattern, (bytes, str)):
            if isinstance(pattern, str):
                pattern = pattern.encode("latin-1")
            pattern = re.compile(re.escape(pattern))
        deadline = time.monotonic() + timeout
        with self.condition:
            while True:
                match = pattern.search(self.output, self.cursor)
                if match:
                    self.cursor = match.end()
                    return match
                if self.ended_output:
                    fail("the program ended its output before %s; its last output:\n%s" %
                         (what or pattern.pattern, self.tail()))
                left = deadline - time.monotonic()
                if left <= 0:
                    fail("no %s within %.0f s; the program's last output:\n%s" %
                         (what or pattern.pattern, timeout, self.tail()))
                self.condition.wait(min(left, 0.5))

    def wait_quiet(self, quiet, timeout):
        """Waits until the program has printed nothing for `quiet` seconds."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with self.condition:
                idle = time.monotonic() - self.last_output
            if idle >= quiet:
                return
            time.sleep(0.05)

    def position(self):
        with self.condition:
            return len(self.output)

    def text(self, start=0):
        with self.condition:
            return bytes(self.output[start:])

    def send(self, line):
        if isinstance(line, str):
            line = line.encode("latin-1")
        try:
            self.process.stdin.write(line + b"\n")
            self.process.stdin.flush()
        except BrokenPipeError:
            fail("the program stopped reading its input; its last output:\n%s" % self.tail())

    def interrupt(self):
        os.kill(self.pid, signal.SIGINT)

    def close_input(self):
        try:
            self.process.stdin.close()
        except BrokenPipeError:
            pass
        self.input_closed = time.monotonic()

    def wait_exit(self, timeout):
        """Waits for the program to end; returns its exit status. Keeps its resource use."""
        deadline = time.monotonic() + timeout
        while True:
            pid, status, rusage = os.wait4(self.pid, os.WNOHANG)
            if pid == self.pid:
                self.ended = time.monotonic()
                self.rusage = rusage
                self.status = os.waitstatus_to_exitcode(status)
                self.process.returncode = self.status
                self.reader.join(5)
                return self.status
            if time.monotonic() >= deadline:
                self.process.kill()
                fail("the program did not end within %.0f s; its last output:\n%s" %
                     (timeout, self.tail()))
            time.sleep(0.02)

    def stderr_text(self):
        with open(self.stderr_path, "rb") as handle:
            return handle.read().decode("latin-1")


# ---------------------------------------------------------------------------------------------
# Records of the simulator and the form server.

class SimEvent:
    def __init__(self, line):
        parts = line.rstrip("\n").split(" ")
        self.kind = parts[0]
        self.data = b""
        self.fields = {}
        rest = parts[1:]
        if self.kind in ("CMD", "RESP", "PARTIAL"):
            self.data = b"" if rest[0] == "-" else bytes.fromhex(rest[0])
            rest = rest[1:]
        for item in rest:
            key, _, value = item.partition("=")
            self.fields[key] = value

    def line_settings(self):
        return {key: value for key, value in self.fields.items() if key != "lock"}

    def lock(self):
        value = self.fields.get("lock", "-")
        return None if value == "-" else (b"" if value == "00" else bytes.fromhex(value))


def read_sim_events(simdir, device):
    path = os.path.join(simdir, device + ".events")
    with open(path) as handle:
        return [SimEvent(line) for line in handle if line.strip()]


def read_sim_raw(simdir, device):
    with open(os.path.join(simdir, device + ".raw"), "rb") as handle:
        return handle.read()


def read_requests(directory):
    """The form server's records, in order: list of (meta, bytes)."""
    requests = []
    number = 1
    while os.path.exists(os.path.join(directory, "request-%d.json" % number)):
        with open(os.path.join(directory, "request-%d.json" % number)) as handle:
            meta = json.load(handle)
        with open(os.path.join(directory, "request-%d.bin" % number), "rb") as handle:
            data = handle.read()
        requests.append((meta, data))
        number += 1
    return requests


def request_count(directory):
    count = 0
    while os.path.exists(os.path.join(directory, "request-%d.json" % (count + 1))):
        count += 1
    return count
