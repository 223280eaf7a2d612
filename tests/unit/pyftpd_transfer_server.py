"""A pyftpdlib server on 127.0.0.1 for the transfer round-trip tests.

Serves one folder to the account "ftp" with full rights, on a control port
the system picks (written to --port-file once the server listens) and
passive ports from --passive-ports. Ends when its parent process goes away,
or after --lifetime seconds, so a crashed test leaves nothing running.
"""
import argparse
import logging
import os
import sys
import time

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--passive-ports", required=True, help="first-last")
    parser.add_argument("--lifetime", type=float, default=900.0)
    args = parser.parse_args()

    logging.basicConfig(stream=sys.stderr, level=logging.INFO)
    authorizer = DummyAuthorizer()
    authorizer.add_user("ftp", args.password, args.root, perm="elradfmwMT")
    first, last = (int(p) for p in args.passive_ports.split("-"))

    class Handler(FTPHandler):
        pass

    Handler.authorizer = authorizer
    Handler.passive_ports = range(first, last + 1)
    server = FTPServer(("127.0.0.1", 0), Handler)

    # Written whole and then renamed, so the reader never sees half a number.
    partial = args.port_file + ".partial"
    with open(partial, "w") as out:
        out.write(str(server.socket.getsockname()[1]))
    os.rename(partial, args.port_file)

    parent = os.getppid()
    deadline = time.monotonic() + args.lifetime
    while os.getppid() == parent and time.monotonic() < deadline:
        server.serve_forever(timeout=0.5, blocking=False)
    server.close_all()


if __name__ == "__main__":
    main()
