#!/usr/bin/env python3
"""Loopback stand-in for the support server's form handler, for the end-to-end tests.

    formserver.py --dir DIR --mode thank|nothank [--address 127.0.0.1] [--port 80]

Accepts TCP connections, reads one HTTP request per connection (head up to the empty line, then
exactly Content-Length bytes of body), records it and answers:
  thank    a page that says "Thank you";
  nothank  a page of more than ten bytes without that word in any letter case.
The connection then stays open until the client closes it (or 30 s pass), as a keep-alive
server would; the client decides when it has seen enough.

Records, numbered from 1 in the order the requests arrived:
  DIR/request-N.bin   the bytes received on the connection, head and body, as received
  DIR/request-N.json  {"number", "accepted_at" (time.time() of the connection),
                       "received_at" (time.time() at the end of the body),
                       "head_length", "content_length", "body_length", "complete",
                       "extra_bytes" (bytes after the body), "peer"}
Each record appears atomically (written aside, then renamed). DIR/ready is made once the socket
listens. Uses only the standard library.
"""
import argparse
import json
import os
import re
import signal
import socket
import threading
import time

THANK_PAGE = (b"<html><head><title>Support form</title></head><body>"
              b"<h1>Thank you</h1><p>Your modem report has reached the support team.</p>"
              b"</body></html>")
OTHER_PAGE = (b"<html><head><title>Support form</title></head><body>"
              b"<h1>Form handler</h1><p>The report could not be filed at this time.</p>"
              b"</body></html>")
assert b"thank" not in OTHER_PAGE.lower()

HEAD_LIMIT = 64 * 1024
BODY_LIMIT = 16 * 1024 * 1024
READ_TIMEOUT_S = 15.0
LINGER_S = 30.0


def write_atomically(path, data):
    temporary = path + ".tmp"
    with open(temporary, "wb") as handle:
        handle.write(data)
    os.rename(temporary, path)


class Recorder:
    def __init__(self, directory):
        self.directory = directory
        self.lock = threading.Lock()
        self.count = 0

    def next_number(self):
        with self.lock:
            self.count += 1
            return self.count

    def record(self, number, received, meta):
        base = os.path.join(self.directory, "request-%d" % number)
        write_atomically(base + ".bin", bytes(received))
        write_atomically(base + ".json", json.dumps(meta, sort_keys=True).encode())


def serve_connection(connection, peer, recorder, mode):
    connection.settimeout(READ_TIMEOUT_S)
    received = bytearray()
    number = recorder.next_number()
    meta = {"number": number, "peer": "%s:%d" % peer, "complete": False, "head_length": None,
            "content_length": None, "body_length": 0, "extra_bytes": 0,
            "accepted_at": time.time()}
    try:
        while b"\r\n\r\n" not in received and len(received) < HEAD_LIMIT:
            chunk = connection.recv(65536)
            if not chunk:
                break
            received += chunk
        head_end = received.find(b"\r\n\r\n")
        if head_end >= 0:
            head_length = head_end + 4
            meta["head_length"] = head_length
            match = re.search(rb"\r\nContent-Length: *(\d+)\r\n", bytes(received[:head_length]),
                              re.IGNORECASE)
            wanted = int(match.group(1)) if match else 0
            meta["content_length"] = wanted if match else None
            wanted = min(wanted, BODY_LIMIT)
            while len(received) - head_length < wanted:
                chunk = connection.recv(65536)
                if not chunk:
                    break
                received += chunk
            body_length = len(received) - head_length
            meta["body_length"] = min(body_length, wanted)
            meta["extra_bytes"] = max(0, body_length - wanted)
            meta["complete"] = body_length >= wanted
    except OSError:
        pass
    meta["received_at"] = time.time()
    recorder.record(number, received, meta)
    if not meta["complete"]:
        connection.close()
        return
    page = THANK_PAGE if mode == "thank" else OTHER_PAGE
    answer = (b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: %d\r\n"
              b"Connection: keep-alive\r\n\r\n" % len(page)) + page
    try:
        connection.sendall(answer)
        # Keep the connection until the client lets go; note anything it still sends.
        deadline = time.monotonic() + LINGER_S
        connection.settimeout(1.0)
        while time.monotonic() < deadline:
            try:
                chunk = connection.recv(65536)
            except socket.timeout:
                continue
            if not chunk:
                break
            received += chunk
            meta["extra_bytes"] += len(chunk)
            recorder.record(number, received, meta)
    except OSError:
        pass
    connection.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", required=True)
    parser.add_argument("--mode", choices=("thank", "nothank"), required=True)
    parser.add_argument("--address", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=80)
    args = parser.parse_args()

    signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((args.address, args.port))
    listener.listen(16)
    write_atomically(os.path.join(args.dir, "ready"), b"%d\n" % os.getpid())
    recorder = Recorder(args.dir)
    while True:
        connection, peer = listener.accept()
        threading.Thread(target=serve_connection, args=(connection, peer, recorder, args.mode),
                         daemon=True).start()


if __name__ == "__main__":
    main()
