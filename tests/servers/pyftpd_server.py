#!/usr/bin/python3
"""A pyftpdlib server for the tests: binds 127.0.0.1 (or ::1) on a free port, prints "PORT <n>"
once it accepts connections, and serves one folder to one user (and, if asked, to
anonymous) until it is terminated."""
import argparse
import logging
import os
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--root", required=True)
    ap.add_argument("--user", default="tester")
    ap.add_argument("--password", default="secret")
    # Takes the password from this environment variable instead, so that it does not
    # show in the process list.
    ap.add_argument("--password-env", default=None)
    ap.add_argument("--anonymous", action="store_true")
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--banner", default="Ombrex test server ready.")
    # More logins from one address than this are refused with 421 (0: no limit).
    ap.add_argument("--max-cons-per-ip", type=int, default=0)
    # FTPS: the certificate and key (one PEM file); TLS is then required on the control
    # and the data connections.
    ap.add_argument("--tls-cert", default=None)
    # Listens on ::1 instead of 127.0.0.1.
    ap.add_argument("--ipv6", action="store_true")
    # Commands the server does not know (answered "500 ... not understood" and left out of
    # FEAT), e.g. EPSV for a server behind a firewall that only lets the client connect back.
    ap.add_argument("--refuse", action="append", default=[])
    args = ap.parse_args()

    logging.basicConfig(level=logging.ERROR)
    password = args.password
    if args.password_env:
        password = os.environ.get(args.password_env)
        if not password:
            sys.exit("environment variable %s holds no password" % args.password_env)
    auth = DummyAuthorizer()
    auth.add_user(args.user, password, args.root, perm="elradfmwMT")
    if args.anonymous:
        auth.add_anonymous(args.root, perm="elradfmwMT")

    base = FTPHandler
    if args.tls_cert:
        from pyftpdlib.handlers import TLS_FTPHandler
        base = TLS_FTPHandler

    class Handler(base):
        authorizer = auth
        banner = args.banner
        # Tests compare throughput and transfer big files; the default buffers are small.
        ac_in_buffer_size = 262144
        ac_out_buffer_size = 262144
        permit_foreign_addresses = False
        proto_cmds = {k: v for k, v in base.proto_cmds.items() if k not in args.refuse}
        use_sendfile = True
        if args.tls_cert:
            certfile = args.tls_cert
            tls_control_required = True
            tls_data_required = True

    server = FTPServer(("::1" if args.ipv6 else "127.0.0.1", args.port), Handler)
    server.max_cons = 256
    server.max_cons_per_ip = args.max_cons_per_ip
    print("PORT %d" % server.address[1], flush=True)
    try:
        server.serve_forever(handle_exit=True)
    finally:
        server.close_all()


if __name__ == "__main__":
    sys.exit(main())
