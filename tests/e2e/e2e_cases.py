#!/usr/bin/env python3
"""End-to-end cases of the real `modemtest` program, black-box through its standard input and
output, one case per run:

    e2e_cases.py --modemtest PATH --modemsim PATH --host SUPPORT_HOST CASE

Each case re-runs itself inside private namespaces (see nsrun.py): the program only ever sees
the pseudo-terminals of the modem simulator, the loopback form server and a scratch working
folder. Exit status: 0 passed, 1 failed, 77 skipped (no namespace can be made here). Set
MODEMTEST_E2E_KEEP=1 to keep the scratch folder of a passing case; a failing case always keeps
it and prints where it is.
"""
import argparse
import errno
import os
import platform
import re
import select
import socket
import subprocess
import sys
import termios
import time
import traceback
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from nsrun import (DROP_SYS_ADMIN, CaseFailure, Namespace, com_of, fail,  # noqa: E402
                   inside_namespace, read_requests, read_sim_events, read_sim_raw,
                   reenter_in_namespace, request_count, uucp_lock_path, wait_until)

CAPTION = b"Dunvarlotek Modem Test"
VERSION = b"24.07.27"
NAME = b"Jane Tester"
EMAIL = b"jane@example.com"
NAME_PROMPT = b"Your Name for tech-support Purposes"
EMAIL_PROMPT = b"Your Email Address for tech-support Purposes"
NOTICE = b"Close all programs (especaily any program that uses a modem) before continuing..."
OFFER = b"Click [Yes] to send this log to Dunvarlotek for help."
ABORTED = b"The search has been aborted, but could take a few seconds to stop."
TITLE = CAPTION + b" - Version " + VERSION
SUBJECT = CAPTION + b" find fax modems"
SANITIZER_MARKERS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "WARNING: ThreadSanitizer",
                     "runtime error:")

# The interrogation script, in order; the CX model skips steps 33 to 35.
RESET = b"AT&FV1E0"
SCRIPT = [RESET, b"AT&V", b"ATI0", b"ATI1", b"ATI2", b"ATI3", b"ATI4", b"ATI5", b"ATI6",
          b"ATI7", RESET, b"AT+FCLASS=?", RESET, b"AT&K3", b"AT&K4", b"AT&E4", b"AT&E5",
          b"AT\\Q1", b"AT\\Q2", b"AT\\Q3", b"AT\\Q4", RESET, b"AT&H0", b"AT&H1", b"AT&H2",
          b"AT&H3", b"AT&I0", b"AT&I1", b"AT&I2", b"AT&I3", b"AT&I4", b"AT&I5", b"AT&R0",
          b"AT&R1", b"AT&R2", RESET, b"AT+FCLASS=0", RESET, b"AT+FCLASS=1", RESET,
          b"AT+FCLASS=2", RESET, b"AT+FCLASS=2.0", RESET, b"AT+FCLASS=3"]
assert len(SCRIPT) == 45
CX_SCRIPT = SCRIPT[:32] + SCRIPT[35:]

# What the program must make of each simulated modem: the name it lists and the Init code.
MODEMS = {
    "cx93001": (b"Dunvarlotek Kestrafax CX", 1),
    "smartlink": (b"Dunvarlotek Kestrafax SL", 0),
    "zyxel": (b"ZyXEL Omni 56K Plus V2.10", 2),
    "generic": (b"Generic V.92 Data/Fax Modem Rev 1.4", 3),
    "q3": (b"Harbourline 336 Fax Modem", 7),
    "e45": (b"Tollgate 56K External", 178),
    "k34": (b"Quayside PCI Data Modem", 5),
    "plain": (b"Basic 2400 Modem", 4),
    "lowok": (b"Lowline 56K Voice Modem", 3),
}

# The line as the program must set it up while it uses the port: 9600 baud, 8N1, no flow
# control, raw (no echo, no canonical input, no signals, no CR/LF translation either way).
LINE_IN_USE = {"ispeed": "9600", "ospeed": "9600", "csize": "8", "parenb": "0", "cstopb": "0",
               "crtscts": "0", "clocal": "1", "cread": "1", "icanon": "0", "echo": "0",
               "isig": "0", "iexten": "0", "icrnl": "0", "inlcr": "0", "igncr": "0",
               "istrip": "0", "ixon": "0", "ixoff": "0", "opost": "0"}

TIME = rb"[A-Z][a-z]{2} [A-Z][a-z]{2} \d{2} \d{2}:\d{2}:\d{2} \d{4}"


class Pattern:
    """A log line known only by its shape (a time in it)."""

    def __init__(self, regex):
        self.regex = re.compile(regex)

    def matches(self, line):
        return self.regex.fullmatch(line) is not None

    def __repr__(self):
        return "/%s/" % self.regex.pattern.decode("latin-1")


# ---------------------------------------------------------------------------------------------
# The expected log, built from what the simulator said.

def normalize(text):
    """Line breaks as the log shows an answer: at most 10 leading CR/LF dropped, every run of
    CR/LF one CR LF."""
    start = 0
    while start < len(text) and start < 10 and text[start] in b"\r\n":
        start += 1
    out = bytearray()
    index = start
    while index < len(text) and len(out) < 2045:
        if text[index] in b"\r\n":
            while index < len(text) and text[index] in b"\r\n":
                index += 1
            out += b"\r\n"
        else:
            out.append(text[index])
            index += 1
    return bytes(out)


def trim(text):
    return text.rstrip(b"\r\n ")


def log_header():
    return [b"Log of Modem Responses", CAPTION + b" " + VERSION,
            Pattern(rb"Start Modem Log - " + TIME)]


def log_footer(aborted=False):
    return ([b"User aborted FindModemThread"] if aborted else []) + \
        [b"", Pattern(rb"End Modem Log - " + TIME)]


def section_missing(com):
    return [b"", b"COM%d, return[2], no UART or modem." % com]


def section_in_use(com):
    return [b"", b"COM%d, return[5], in use by another program, access is denied." % com]


def section_silent(com):
    return [b"", b"COM%d, UART but no suitable modem." % com]


def exchanges(events):
    """(command, answer) pairs of the simulator's records, in order."""
    pairs = []
    for event in events:
        if event.kind == "CMD":
            pairs.append([event.data, b""])
        elif event.kind == "RESP" and pairs:
            pairs[-1][1] = event.data
    return pairs


def section_modem(com, events, profile):
    name = MODEMS[profile][0]
    lines = [b"", b"COM%d found modem - will fax test..." % com]
    for command, answer in exchanges(events)[1:]:  # the presence test is not logged
        lines.append(b"OUT: " + trim(command))
        lines += trim(b"IN : " + normalize(answer)).split(b"\r\n")
        if command == b"ATI3":
            lines.append(trim(b"Available Modem: " + name))
    return lines


def expected_log(ns, ports, last_port=256, aborted=False, in_use=()):
    """The whole log for a sweep over `ports` ({device: profile}); ports in `in_use` are held
    by others."""
    by_com = {com_of(device): (device, profile) for device, profile in ports.items()}
    lines = log_header()
    for com in range(1, last_port + 1):
        if com in in_use:
            lines += section_in_use(com)
        elif com not in by_com:
            lines += section_missing(com)
        elif by_com[com][1] == "silent":
            lines += section_silent(com)
        else:
            device, profile = by_com[com]
            lines += section_modem(com, read_sim_events(ns.simdir, device), profile)
    return lines + log_footer(aborted)


def read_log(ns):
    path = os.path.join(ns.work, "Modem.txt")
    if not os.path.exists(path):
        fail("no Modem.txt in the program's working folder")
    with open(path, "rb") as handle:
        return handle.read()


def check_log(actual, expected):
    if not actual.endswith(b"\r\n"):
        fail("Modem.txt does not end with CR LF")
    stray = re.search(rb"\r(?!\n)|(?<!\r)\n", actual)
    if stray:
        fail("Modem.txt has a line end other than CR LF at byte %d: %r" %
             (stray.start(), actual[max(0, stray.start() - 40):stray.start() + 10]))
    lines = actual[:-2].split(b"\r\n")
    for index in range(max(len(lines), len(expected))):
        want = expected[index] if index < len(expected) else None
        have = lines[index] if index < len(lines) else None
        same = (have is not None and want is not None and
                (want.matches(have) if isinstance(want, Pattern) else want == have))
        if not same:
            context = b"\n".join(b"    " + line for line in lines[max(0, index - 4):index + 3])
            fail("Modem.txt line %d is %r, expected %r; around it:\n%s" %
                 (index + 1, have, want, context.decode("latin-1")))


# ---------------------------------------------------------------------------------------------
# Checks on the simulator's records.

def commands(events):
    return [event.data for event in events if event.kind == "CMD"]


def check_script(ns, device, profile):
    """The port got the presence test and then the whole script, each command with one CR."""
    script = CX_SCRIPT if profile == "cx93001" else SCRIPT
    expected = [RESET] + script
    got = commands(read_sim_events(ns.simdir, device))
    if got != expected:
        fail("/dev/%s received %d commands %r..., expected the presence test and the %d-step "
             "script" % (device, len(got), got[:8], len(script)))
    raw = read_sim_raw(ns.simdir, device)
    if raw != b"".join(command + b"\r" for command in expected):
        fail("/dev/%s: the bytes on the line are not the commands each ended by one CR: %r..." %
             (device, raw[:120]))


def check_port_use(ns, device, program):
    """While the program used the port: the line set up, its UUCP lock with its own process id;
    afterwards: the settings given back and the lock gone."""
    events = read_sim_events(ns.simdir, device)
    for event in events:
        if event.kind != "CMD":
            continue
        settings = event.line_settings()
        wrong = {key: settings.get(key) for key, value in LINE_IN_USE.items()
                 if settings.get(key) != value}
        if wrong:
            fail("/dev/%s was used with wrong line settings %r (command %r)" %
                 (device, wrong, event.data))
        lock = event.lock()
        if lock is None:
            fail("no UUCP lock %s while the program used the port (command %r)" %
                 (uucp_lock_path(device), event.data))
        try:
            owner = int(lock.strip(b"\0 \n"))
        except ValueError:
            fail("the UUCP lock of %s does not hold a process id in text: %r" % (device, lock))
        if owner != program.pid:
            fail("the UUCP lock of %s names process %d, not the program (%d)" %
                 (device, owner, program.pid))
    check_port_left_alone(ns, device)


def check_port_left_alone(ns, device):
    events = read_sim_events(ns.simdir, device)
    initial = [event for event in events if event.kind == "INIT"][0].line_settings()
    final = [event for event in events if event.kind == "FINAL"]
    if not final:
        fail("the simulator left no final record for %s" % device)
    if final[0].line_settings() != initial:
        changed = {key: (initial.get(key), value)
                   for key, value in final[0].line_settings().items()
                   if initial.get(key) != value}
        fail("/dev/%s was not given back its original settings (was, now): %r" %
             (device, changed))
    if os.path.exists(uucp_lock_path(device)):
        fail("the program left its UUCP lock %s behind" % uucp_lock_path(device))


def check_untouched(ns, device):
    raw = read_sim_raw(ns.simdir, device)
    if raw:
        fail("/dev/%s should not have been written to, but received %r" % (device, raw[:80]))
    check_port_left_alone(ns, device)


# ---------------------------------------------------------------------------------------------
# Driving the program.

def start(ns, args, ports, server="thank", map_host=True):
    ns.prepare(args.host, map_host=map_host)
    ns.start_simulator(args.modemsim, ports)
    ns.start_form_server(server)


def run_sweep(program, sweep_timeout, name=NAME, email=EMAIL):
    program.wait_for(NAME_PROMPT, 30, "name prompt")
    program.send(name)
    program.wait_for(EMAIL_PROMPT, 30, "e-mail prompt")
    program.send(email)
    program.wait_for(NOTICE, 30, "notice box")
    sweep_from = program.position()
    program.send(b"")
    program.wait_for(b"End Modem Log - ", sweep_timeout, "end of the search log")
    return sweep_from


def answer_offer(program, yes):
    """Answers the offer; returns the main window's text."""
    program.wait_for(OFFER, 30, "offer to send the log")
    program.send(b"y" if yes else b"n")
    title = program.wait_for(TITLE, 30, "main window")
    program.wait_quiet(1.0, 10)
    return program.text(title.start())


def leave(program, timeout=20):
    program.close_input()
    status = program.wait_exit(timeout)
    if status != 0:
        fail("the program ended with status %d; its last output:\n%s" % (status,
                                                                        program.tail()))
    stderr = program.stderr_text()
    for marker in SANITIZER_MARKERS:
        if marker in stderr:
            fail("the program's error output has a sanitizer report:\n%s" % stderr[-4000:])
    return status


def result_lines(text):
    return [(int(match.group(1)), match.group(2), int(match.group(3)))
            for match in re.finditer(rb"COM(\d+), ([^\r\n]*?) - Init\[(\d+)\]", text)]


def expected_results(ports):
    found = [(com_of(device), MODEMS[profile][0], MODEMS[profile][1])
             for device, profile in ports.items() if profile in MODEMS]
    # The list shows its lines sorted by their text.
    return sorted(found, key=lambda item: b"COM%d, %s - Init[%d]" % item)


def check_results(window, expected):
    got = result_lines(window)
    if got != expected:
        fail("the main window lists %r, expected %r" % (got, expected))


def check_log_lines_shown(program, log, start=0):
    """Every line of the log was shown as it was logged, in the same order."""
    shown = program.text(start)
    position = 0
    for line in log[:-2].split(b"\r\n"):
        if not line.strip():
            continue
        found = shown.find(line, position)
        if found < 0:
            fail("the log line %r was not shown in order" % line)
        position = found + len(line)


def check_no_locks_left():
    left = os.listdir("/var/lock")
    if left:
        fail("lock files left in /var/lock: %r" % left)


# ---------------------------------------------------------------------------------------------
# The form post.

FIELDS = ["ToName", "szEmailBodyInfo", "FromName", "FromEmail", "Subject", "EmailBody"]


def expected_head(host, length):
    return (b"POST http://" + host + b"/form/tsemail.pl HTTP/1.1\r\n"
            b"Accept: */*\r\n"
            b"Accept-Language: en-us\r\n"
            b"Content-Type: application/x-www-form-urlencoded\r\n"
            b"User-Agent: Dunvarlotek\r\n"
            b"Host: " + host + b"\r\n"
            b"Content-Length: %d\r\n"
            b"Connection: Keep-Alive\r\n"
            b"Cache-Control: no-cache\r\n"
            b"\r\n") % length


def system_description_pattern():
    """The WIN line's description as this machine must yield it: the kernel's version in the
    fallback form for a platform id outside Windows' ids, the bitness and architecture from the
    machine type."""
    release = re.match(r"(\d+)\.(\d+)", platform.release())
    machine = platform.machine()
    words = {"x86_64": ("64bit", "AMD64"), "amd64": ("64bit", "AMD64"),
             "aarch64": ("64bit", "ARM64"), "arm64": ("64bit", "ARM64"),
             "i386": ("32bit", "x86"), "i486": ("32bit", "x86"), "i586": ("32bit", "x86"),
             "i686": ("32bit", "x86")}
    bitness, arch = words.get(machine, (r"(?:32|64)bit", re.escape(machine)))
    return r"Windows Unknown\(4\) PF(\d+) %s\.%s, %s, CPU: %s" % (
        release.group(1), release.group(2), bitness, arch)


def check_post(meta, data, host, name, email, log):
    head = data[:meta["head_length"] or 0]
    length = re.search(rb"\r\nContent-Length: (\d+)\r\n", head)
    if not length:
        fail("the request has no Content-Length: %r" % head)
    if head != expected_head(host, int(length.group(1))):
        fail("request head differs:\n%r\nexpected\n%r" %
             (head, expected_head(host, int(length.group(1)))))
    if meta["extra_bytes"]:
        fail("%d bytes came after the body that Content-Length announced" % meta["extra_bytes"])
    body = data[len(head):]
    if not meta["complete"] or len(body) != int(length.group(1)):
        fail("the body has %d bytes, Content-Length says %s" % (len(body), length.group(1)))
    if not re.fullmatch(rb"[A-Za-z0-9.@+%&=-]*", body) or re.search(rb"%(?![0-9A-F]{2})", body):
        fail("the body is not form-encoded as required: %r" % body[:200])
    try:
        fields = urllib.parse.parse_qsl(body.decode("ascii"), keep_blank_values=True,
                                        strict_parsing=True, encoding="latin-1",
                                        errors="strict")
    except ValueError as error:
        fail("the body cannot be decoded as a form: %s" % error)
    names = [key for key, _value in fields]
    if names != FIELDS:
        fail("the form's fields are %r, expected %r" % (names, FIELDS))
    values = {key: value.encode("latin-1") for key, value in fields}
    expect = {"ToName": b"Veskarin", "FromName": name, "FromEmail": email, "Subject": SUBJECT}
    for key, value in expect.items():
        if values[key] != value:
            fail("%s is %r, expected %r" % (key, values[key], value))
    info = values["szEmailBodyInfo"].split(b"\r\n")
    expected_info = [b"------------ start info ------------",
                     None,
                     b"APP - " + CAPTION + b" - " + VERSION + b" - NA",
                     b"USE - " + email + b" (" + name + b")",
                     b"SUB - " + SUBJECT,
                     b"MSG - Please advise...",
                     b"------------- end info -------------"]
    if len(info) != 7 or any(want is not None and want != have
                             for want, have in zip(expected_info, info)):
        fail("szEmailBodyInfo is %r" % values["szEmailBodyInfo"])
    win = re.fullmatch(rb"WIN - (.*) - \[(-?\d+) X (-?\d+)\]", info[1])
    if not win:
        fail("the WIN line is %r" % info[1])
    description = re.fullmatch(system_description_pattern().encode(), win.group(1))
    if not description or int(description.group(1)) in (0, 1, 2):
        fail("the system description %r does not fit this machine (%s)" %
             (win.group(1), system_description_pattern()))
    sanitized = log.replace(b"<", b"[").replace(b">", b"]")
    if values["EmailBody"] != sanitized:
        fail("EmailBody (%d bytes) is not the log with '<' and '>' made '[' and ']' (%d bytes)"
             % (len(values["EmailBody"]), len(sanitized)))
    return head, body


def wait_requests(ns, count, timeout):
    if not wait_until(lambda: request_count(ns.serverdir) >= count, timeout, 0.05):
        fail("the form server got %d request(s) within %.0f s, expected %d" %
             (request_count(ns.serverdir), timeout, count))


# ---------------------------------------------------------------------------------------------
# The cases.

def case_harness(ns, args):
    """The harness alone: namespace, simulator and form server behave as the cases assume."""
    ports = {"ttyS1": "cx93001", "ttyS2": "silent", "ttyUSB0": "lowok:split"}
    start(ns, args, ports)
    ns.check_dev_is_safe()
    if os.path.exists("/dev/ttyS0") or os.path.exists("/dev/console"):
        fail("the machine's console is reachable in the namespace")

    def exchange(fd, text, wait=0.4):
        os.write(fd, text)
        got = b""
        deadline = time.monotonic() + wait
        while time.monotonic() < deadline:
            ready, _, _ = select.select([fd], [], [], 0.05)
            if ready:
                got += os.read(fd, 4096)
        return got

    fd = os.open("/dev/ttyS1", os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    line = termios.tcgetattr(fd)
    if line[4] != termios.B38400 or line[3] & termios.ECHO:
        fail("the simulator's line is not raw at 38400 baud before use")
    line[4] = line[5] = termios.B9600
    termios.tcsetattr(fd, termios.TCSANOW, line)
    with open(uucp_lock_path("ttyS1"), "w") as handle:
        handle.write("%10d\n" % os.getpid())
    answers = [(b"AT&FV1E0\r", b"AT&FV1E0\r\r\nOK\r\n"),
               (b"ATI3\r", b"\r\nCX93001-EIS_V0.2002-V92\r\n\r\nOK\r\n"),
               (b"AT&K9\r", b"\r\nERROR\r\n"),
               (b"AT+FCLASS=?\r", b"\r\n0,1,1.0,2,8\r\n\r\nOK\r\n"),
               (b"ATE1\r", b"\r\nOK\r\n"),
               (b"ATI4\r", b"ATI4\r\r\na007840284C6002F\r\nbc60710000F\r\nr1005111151012000"
                           b"\r\nr3000111170000000\r\n\r\nOK\r\n")]
    for command, want in answers:
        got = exchange(fd, command)
        if got != want:
            fail("simulator answered %r with %r, expected %r" % (command, got, want))
    os.close(fd)
    os.remove(uucp_lock_path("ttyS1"))
    fd = os.open("/dev/ttyS2", os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    if exchange(fd, b"AT\r", 0.3) != b"":
        fail("the silent profile answered")
    os.close(fd)
    fd = os.open("/dev/ttyUSB0", os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    got = exchange(fd, b"AT\r", 0.5)
    if got != b"AT\r\r\nok\r\n":
        fail("the lower-case profile answered %r" % got)
    os.close(fd)
    try:
        os.open("/dev/ttyS0", os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        fail("/dev/ttyS0 could be opened in the namespace")
    except FileNotFoundError:
        pass

    # The holders: another process's hold must keep a program without CAP_SYS_ADMIN out.
    ns.hold_port("ttyS1", "excl")
    ns.hold_port("ttyS2", "flock")
    probe = ("import fcntl, os, sys\n"
             "try:\n"
             "    fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)\n"
             "    fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)\n"
             "except OSError as error:\n"
             "    print(error.errno); sys.exit(0)\n"
             "print(0)\n")
    for device, wanted in (("ttyS1", errno.EBUSY), ("ttyS2", errno.EWOULDBLOCK)):
        result = subprocess.run(DROP_SYS_ADMIN + [sys.executable, "-c", probe, "/dev/" + device],
                                stdout=subprocess.PIPE, check=True)
        if int(result.stdout) != wanted:
            fail("opening held /dev/%s gave errno %s, expected %d" %
                 (device, result.stdout.strip(), wanted))

    # The form server, through the name the program uses.
    address = socket.getaddrinfo(args.host.decode(), 80, socket.AF_INET)[0][4][0]
    if address != "127.0.0.1":
        fail("%s resolves to %s in the namespace" % (args.host, address))
    body = b"ToName=Veskarin&Subject=Hello+there"
    request = expected_head(args.host, len(body)) + body
    with socket.create_connection((address, 80), timeout=5) as client:
        client.sendall(request)
        answer = client.recv(4096)
    if b"Thank" not in answer:
        fail("the form server answered %r" % answer)
    wait_requests(ns, 1, 5)
    meta, data = read_requests(ns.serverdir)[0]
    if data != request or not meta["complete"] or meta["body_length"] != len(body):
        fail("the form server recorded %r %r" % (meta, data))
    other = os.path.join(ns.scratch, "other-server")
    os.mkdir(other)
    ns.start_form_server("nothank", port=8080, directory=other)
    with socket.create_connection(("127.0.0.1", 8080), timeout=5) as client:
        client.sendall(request)
        answer = client.recv(4096)
    if b"thank" in answer.lower() or len(answer) <= 10:
        fail("the other form server answered %r" % answer)

    ns.stop_all()
    events = read_sim_events(ns.simdir, "ttyS1")
    got = commands(events)
    if got != [command[:-1] for command, _ in answers]:
        fail("the simulator recorded the commands %r" % got)
    locks = [event.lock() for event in events if event.kind == "CMD"]
    if locks != [b"%10d\n" % os.getpid()] * len(answers):
        fail("the simulator recorded the locks %r" % locks)
    if [event.data for event in events if event.kind == "RESP"] != [want for _, want in answers]:
        fail("the simulator recorded other answers than it gave")
    final = [event for event in events if event.kind == "FINAL"][0].line_settings()
    if final.get("ispeed") != "9600":
        fail("the simulator's final record does not show the line as left: %r" % final)


def case_no_device(ns, args):
    start(ns, args, {})
    program = ns.start_program(args.modemtest)
    sweep_from = run_sweep(program, 120)
    window = answer_offer(program, yes=False)
    leave(program)
    shown = program.text(sweep_from)
    numbers = [int(match) for match in
               re.findall(rb"COM(\d+), return\[2\], no UART or modem\.", shown)]
    if numbers != list(range(1, 257)):
        fail("the open-failure lines shown are for %r, expected COM1 to COM256 in order" %
             numbers[:10])
    check_results(window, [])
    if result_lines(program.text()):
        fail("a result line was shown: %r" % result_lines(program.text()))
    log = read_log(ns)
    check_log(log, expected_log(ns, {}))
    check_log_lines_shown(program, log, sweep_from)
    # Without a graphical display the log's path is shown instead of opening a viewer.
    if os.path.join(ns.work, "Modem.txt").encode() not in shown:
        fail("the log's path %s was not shown" % os.path.join(ns.work, "Modem.txt"))
    if request_count(ns.serverdir) != 0:
        fail("the log was posted although the offer was declined")
    check_no_locks_left()


def case_one_modem(ns, args):
    ports = {"ttyS1": "cx93001"}
    start(ns, args, ports)
    program = ns.start_program(args.modemtest)
    sweep_from = run_sweep(program, 150)
    window = answer_offer(program, yes=False)
    leave(program)
    ns.stop_simulator()
    check_script(ns, "ttyS1", "cx93001")
    check_port_use(ns, "ttyS1", program)
    log = read_log(ns)
    check_log(log, expected_log(ns, ports))
    check_log_lines_shown(program, log, sweep_from)
    check_results(window, expected_results(ports))
    check_no_locks_left()


def case_several_modems(ns, args):
    ports = {"ttyS1": "cx93001", "ttyS2": "silent", "ttyS9": "zyxel", "ttyUSB0": "generic"}
    start(ns, args, ports)
    program = ns.start_program(args.modemtest)
    run_sweep(program, 180)
    window = answer_offer(program, yes=False)
    leave(program)
    ns.stop_simulator()
    # Sorted by text: COM10 stands above COM2, COM33 below it.
    check_results(window, [(10, MODEMS["zyxel"][0], 2), (2, MODEMS["cx93001"][0], 1),
                           (33, MODEMS["generic"][0], 3)])
    for device, profile in ports.items():
        if profile == "silent":
            if read_sim_raw(ns.simdir, device) != RESET + b"\r":
                fail("the silent port got more than the presence test: %r" %
                     read_sim_raw(ns.simdir, device))
        else:
            check_script(ns, device, profile)
        check_port_use(ns, device, program)
    check_log(read_log(ns), expected_log(ns, ports))
    check_no_locks_left()


def case_device_map(ns, args):
    """Every range of the port map, first and last devices, and every Init code."""
    ports = {"ttyS0": "silent", "ttyS31": "silent", "ttyUSB0": "smartlink",
             "ttyUSB31": "silent", "ttyACM0": "q3", "ttyAMA0": "e45", "rfcomm0": "k34:split",
             "ttySL0": "plain", "ttyLT0": "lowok", "ttySHSF0": "silent", "ttyIAX0": "silent",
             "ttyIAX7": "silent", "ttyS32": "silent", "ttyS95": "silent"}
    profiles = {device: choice.split(":")[0] for device, choice in ports.items()}
    start(ns, args, ports)
    program = ns.start_program(args.modemtest)
    run_sweep(program, 220)
    window = answer_offer(program, yes=False)
    leave(program)
    ns.stop_simulator()
    check_results(window, expected_results(profiles))
    for device, profile in profiles.items():
        if profile != "silent":
            check_script(ns, device, profile)
        check_port_use(ns, device, program)
    check_log(read_log(ns), expected_log(ns, profiles))
    check_no_locks_left()


def case_port_held(ns, args):
    ports = {"ttyS1": "generic", "ttyS2": "generic", "ttyS3": "generic"}
    start(ns, args, ports)
    ns.hold_port("ttyS1", "excl")
    ns.hold_port("ttyS2", "flock")
    program = ns.start_program(args.modemtest)
    run_sweep(program, 120)
    window = answer_offer(program, yes=False)
    leave(program)
    ns.stop_simulator()
    check_untouched(ns, "ttyS1")
    check_untouched(ns, "ttyS2")
    check_script(ns, "ttyS3", "generic")
    check_port_use(ns, "ttyS3", program)
    check_results(window, [(4, MODEMS["generic"][0], 3)])
    check_log(read_log(ns), expected_log(ns, {"ttyS3": "generic"}, in_use=(2, 3)))
    check_no_locks_left()


def case_uucp_lock(ns, args):
    ports = {"ttyS1": "generic", "ttyS2": "generic"}
    start(ns, args, ports)
    owner = ns.start_idler()
    live = b"%10d\n" % owner.pid
    stale = b"%10d\n" % ns.dead_pid()
    for device, content in (("ttyS1", live), ("ttyS2", stale)):
        with open(uucp_lock_path(device), "wb") as handle:
            handle.write(content)
    program = ns.start_program(args.modemtest)
    run_sweep(program, 120)
    window = answer_offer(program, yes=False)
    leave(program)
    ns.stop_simulator()
    if read_sim_raw(ns.simdir, "ttyS1"):
        fail("the port locked by a live process was written to: %r" %
             read_sim_raw(ns.simdir, "ttyS1")[:80])
    with open(uucp_lock_path("ttyS1"), "rb") as handle:
        if handle.read() != live:
            fail("the lock of the live process was changed")
    # A lock left by a process that is gone does not keep the port from being tested.
    check_script(ns, "ttyS2", "generic")
    check_results(window, [(3, MODEMS["generic"][0], 3)])
    check_log(read_log(ns), expected_log(ns, {"ttyS2": "generic"}, in_use=(2,)))


def case_stop_looking(ns, args):
    ports = {"ttyS1": "generic", "ttyS4": "generic"}
    start(ns, args, ports)
    program = ns.start_program(args.modemtest)
    program.wait_for(NAME_PROMPT, 30, "name prompt")
    program.send(NAME)
    program.wait_for(EMAIL_PROMPT, 30, "e-mail prompt")
    program.send(EMAIL)
    program.wait_for(NOTICE, 30, "notice box")
    program.send(b"")
    program.wait_for(b"OUT: AT&K3", 60, "step 14 of the script on COM2")
    interrupted = time.monotonic()
    program.interrupt()
    program.wait_for(ABORTED, 10, "the message that the search has been aborted")
    program.send(b"")
    program.wait_for(b"User aborted FindModemThread", 15, "the end of the stopped sweep")
    if time.monotonic() - interrupted > 5.0:
        fail("the sweep took more than 5 s to stop")
    program.wait_for(b"End Modem Log - ", 10, "end of the search log")
    window = answer_offer(program, yes=False)
    leave(program)
    ns.stop_simulator()
    got = commands(read_sim_events(ns.simdir, "ttyS1"))[1:]
    stop_at = SCRIPT.index(b"AT&K3")
    if got != SCRIPT[:len(got)] or not stop_at < len(got) <= stop_at + 4:
        fail("after the stop during step %d the modem got %d script steps: %r" %
             (stop_at + 1, len(got), got[stop_at - 1:]))
    check_port_use(ns, "ttyS1", program)
    check_untouched(ns, "ttyS4")
    check_results(window, [])
    check_log(read_log(ns), expected_log(ns, ports, last_port=2, aborted=True))


def case_post_thank_you(ns, args):
    ports = {"ttyS1": "cx93001"}
    name = b"Jane Q. Tester_\xe9"
    email = b"jane.tester+modem@example.com"
    start(ns, args, ports, server="thank")
    program = ns.start_program(args.modemtest)
    run_sweep(program, 150, name=name, email=email)
    answer_offer(program, yes=True)
    agreed = time.time()
    wait_requests(ns, 1, 15)
    if read_requests(ns.serverdir)[0][0]["accepted_at"] - agreed > 5.0:
        fail("the post started more than 5 s after the offer was accepted")
    time.sleep(2.0)
    leave(program, timeout=15)
    log = read_log(ns)
    if b"<" not in log:
        fail("the log has no '<' to sanitise; the case needs one")
    requests = read_requests(ns.serverdir)
    if len(requests) != 1:
        fail("the form server got %d requests, expected exactly one" % len(requests))
    check_post(requests[0][0], requests[0][1], args.host, name, email, log)


def case_post_never_thanked(ns, args):
    start(ns, args, {}, server="nothank")
    program = ns.start_program(args.modemtest)
    run_sweep(program, 120)
    answer_offer(program, yes=True)
    wait_requests(ns, 1, 15)
    wait_requests(ns, 2, 20)
    wait_requests(ns, 3, 20)
    third = read_requests(ns.serverdir)[2][0]["received_at"]
    time.sleep(max(0.0, third + 12.0 - time.time()))
    if request_count(ns.serverdir) != 3:
        fail("a fourth attempt was made")
    leave(program, timeout=8)
    requests = read_requests(ns.serverdir)
    log = read_log(ns)
    for meta, data in requests:
        check_post(meta, data, args.host, NAME, EMAIL, log)
    if len({data for _meta, data in requests}) != 1:
        fail("the three attempts did not send the same bytes")
    gaps = [requests[i + 1][0]["received_at"] - requests[i][0]["received_at"] for i in (0, 1)]
    if not all(9.5 <= gap <= 13.5 for gap in gaps):
        fail("the attempts came %r s apart, expected about 10 s (the answer wait)" % gaps)


def case_host_unresolvable(ns, args):
    start(ns, args, {}, map_host=False)
    program = ns.start_program(args.modemtest)
    run_sweep(program, 120)
    answer_offer(program, yes=True)
    time.sleep(3.0)
    leave(program, timeout=12)
    if request_count(ns.serverdir) != 0:
        fail("a request reached the server although its name cannot be resolved")


def case_identity_prompts(ns, args):
    """Entries that fail their checks bring the prompt back; the end of input at a prompt ends
    the program with a failure status before anything is searched."""
    start(ns, args, {"ttyS1": "generic"})
    program = ns.start_program(args.modemtest)
    program.wait_for(NAME_PROMPT, 30, "name prompt")
    program.send(b"Jo")  # too short
    program.wait_for(NAME_PROMPT, 10, "name prompt again after a name of two letters")
    program.send(b" Jane")  # begins with a blank
    program.wait_for(NAME_PROMPT, 10, "name prompt again after a name that begins with a blank")
    program.send(NAME)
    program.wait_for(EMAIL_PROMPT, 10, "e-mail prompt")
    for address in (b"jane@example", b"jane@_example.com", b"jane,x@example.com"):
        program.send(address)
        program.wait_for(EMAIL_PROMPT, 10, "e-mail prompt again after %r" % address)
    program.close_input()
    status = program.wait_exit(10)
    if status == 0:
        fail("the program ended with status 0 at the end of its input at a prompt")
    if os.path.exists(os.path.join(ns.work, "Modem.txt")):
        fail("a log was written although no search was run")
    if read_sim_raw(ns.simdir, "ttyS1"):
        fail("a port was used before the identity was complete")
    stderr = program.stderr_text()
    for marker in SANITIZER_MARKERS:
        if marker in stderr:
            fail("the program's error output has a sanitizer report:\n%s" % stderr[-4000:])


CASES = {
    "harness": case_harness,
    "no_device": case_no_device,
    "one_modem": case_one_modem,
    "several_modems": case_several_modems,
    "device_map": case_device_map,
    "port_held": case_port_held,
    "uucp_lock": case_uucp_lock,
    "stop_looking": case_stop_looking,
    "post_thank_you": case_post_thank_you,
    "post_never_thanked": case_post_never_thanked,
    "host_unresolvable": case_host_unresolvable,
    "identity_prompts": case_identity_prompts,
}


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--modemtest", help="the program under test")
    parser.add_argument("--modemsim", required=True, help="the modem simulator")
    parser.add_argument("--host", default="support.dunvarlotek.example",
                        help="the support host name the program was built with")
    parser.add_argument("case", choices=sorted(CASES))
    args = parser.parse_args()
    if args.case != "harness" and not args.modemtest:
        parser.error("--modemtest is needed for this case")
    args.modemtest = os.path.abspath(args.modemtest) if args.modemtest else None
    args.modemsim = os.path.abspath(args.modemsim)
    for path in (args.modemtest, args.modemsim):
        if path and not os.access(path, os.X_OK):
            print("FAIL: %s is not an executable" % path, flush=True)
            return 1
    if not inside_namespace():
        reenter_in_namespace(os.path.abspath(__file__), sys.argv[1:])
    args.host = args.host.encode("ascii")
    started = time.monotonic()
    namespace = Namespace(args.case)
    try:
        CASES[args.case](namespace, args)
    except CaseFailure as failure:
        print("FAIL %s: %s" % (args.case, failure), flush=True)
        print("records kept in %s" % namespace.scratch, flush=True)
        return 1
    except Exception:
        traceback.print_exc()
        print("FAIL %s: the harness broke; records kept in %s" % (args.case, namespace.scratch),
              flush=True)
        return 1
    finally:
        namespace.stop_all()
    print("PASS %s (%.1f s)" % (args.case, time.monotonic() - started), flush=True)
    if os.environ.get("MODEMTEST_E2E_KEEP") != "1":
        namespace.remove_scratch()
    return 0


if __name__ == "__main__":
    sys.exit(main())
