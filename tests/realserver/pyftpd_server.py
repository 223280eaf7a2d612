#!/usr/bin/python3
"""A pyftpdlib server on 127.0.0.1 for the library's end-to-end tests.

It serves --root to the account "ftp" (the account the library logs in with
on every server that does not name itself Microsoft) with full rights,
writes the port it listens on to --port-file once it accepts connections,
and ends when its standard input closes, so it never outlives the test that
started it.
"""
import argparse
import logging
import os
import sys
import threading

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--password", default="secret")
    parser.add_argument("--passive-ports", default="31000-31999")
    parser.add_argument("--log", default="")
    args = parser.parse_args()

    authorizer = DummyAuthorizer()
    authorizer.add_user("ftp", args.password, args.root, perm="elradfmwMT")
    handler = FTPHandler
    handler.authorizer = authorizer
    low, high = (int(p) for p in args.passive_ports.split("-"))
    handler.passive_ports = range(low, high + 1)
    handler.banner = "pyftpdlib ready."
    if args.log:
        logging.basicConfig(filename=args.log, level=logging.DEBUG)
    else:
        logging.basicConfig(level=logging.CRITICAL)

    server = FTPServer(("127.0.0.1", 0), handler)
    port = server.socket.getsockname()[1]
    temporary = args.port_file + ".tmp"
    with open(temporary, "w") as f:
        f.write("%d\n" % port)
    os.replace(temporary, args.port_file)

    def stop_when_parent_goes():
        sys.stdin.read()
        os._exit(0)

    threading.Thread(target=stop_when_parent_goes, daemon=True).start()
    server.serve_forever(handle_exit=False)


if __name__ == "__main__":
    main()
