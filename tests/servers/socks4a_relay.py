#!/usr/bin/env python3
"""A small SOCKS 4A proxy for tests: no installed proxy speaks 4A (dante takes 0.0.0.1 for an
address and refuses). It resolves the host name the client sends, connects, answers 90 and
relays both ways; each request goes to the log as "CONNECT host port" (or "... refused")."""
import argparse
import selectors
import socket
import struct
import sys
import threading


def read_until_nul(conn, limit=512):
    out = b""
    while len(out) < limit:
        c = conn.recv(1)
        if not c:
            return None
        if c == b"\0":
            return out
        out += c
    return None


def pump(a, b):
    sel = selectors.DefaultSelector()
    sel.register(a, selectors.EVENT_READ, b)
    sel.register(b, selectors.EVENT_READ, a)
    open_ends = 2
    while open_ends:
        for key, _ in sel.select():
            data = key.fileobj.recv(1 << 16)
            if data:
                key.data.sendall(data)
                continue
            # One side finished: pass the end of stream on, keep the other direction.
            sel.unregister(key.fileobj)
            open_ends -= 1
            try:
                key.data.shutdown(socket.SHUT_WR)
            except OSError:
                pass
    a.close()
    b.close()


def serve(conn, log):
    try:
        head = b""
        while len(head) < 8:
            part = conn.recv(8 - len(head))
            if not part:
                conn.close()
                return
            head += part
        version, command, port = struct.unpack("!BBH", head[:4])
        address = head[4:8]
        read_until_nul(conn)  # the user id
        if version != 4 or command != 1:
            conn.close()
            return
        if address[:3] == b"\0\0\0" and address[3] != 0:
            host = (read_until_nul(conn) or b"").decode("latin-1")
        else:
            host = socket.inet_ntoa(address)
        try:
            upstream = socket.create_connection((host, port), timeout=10)
            upstream.settimeout(None)
        except OSError:
            log(f"CONNECT {host} {port} refused")
            conn.sendall(struct.pack("!BBH4s", 0, 91, 0, b"\0\0\0\0"))
            conn.close()
            return
        log(f"CONNECT {host} {port}")
        conn.sendall(struct.pack("!BBH4s", 0, 90, 0, b"\0\0\0\0"))
        pump(conn, upstream)
    except OSError:
        conn.close()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--log", required=True)
    args = ap.parse_args()
    lock = threading.Lock()

    def log(line):
        with lock, open(args.log, "a") as f:
            f.write(line + "\n")

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", args.port))
    listener.listen(16)
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve, args=(conn, log), daemon=True).start()


if __name__ == "__main__":
    sys.exit(main())
