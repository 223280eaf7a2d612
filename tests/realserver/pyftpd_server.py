#!/usr/bin/python3
"""A pyftpdlib server on loopback for the library's end-to-end tests.

It serves --root to the account "ftp" (the account the library logs in with
on every server that does not name itself Microsoft) with full rights,
writes the port it listens on to --port-file once it accepts connections,
and ends when its standard input closes, so it never outlives the test that
started it.

The TLS modes (tests/ftpservers/ftpserver.py chooses them): --tls explicit
requires AUTH TLS before the login and PROT P before every data connection;
--tls implicit speaks TLS from the first byte of every connection, which
pyftpdlib has no switch for: ImplicitTlsHandler below starts the handshake
before the greeting.
"""
import argparse
import logging
import os
import sys
import threading

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer

PERMISSIONS = "elradfmwMT"


def tls_handler(mode, certfile, keyfile):
    # Imported only here: python3-openssl is needed for the TLS modes alone.
    from pyftpdlib.handlers import TLS_DTPHandler, TLS_FTPHandler

    class DataHandler(TLS_DTPHandler):
        def readable(self):
            # A client may start the handshake as soon as it has connected,
            # before its transfer command (curl does). pyftpdlib takes a data
            # connection that is readable before that command for a closed
            # one and drops it; the handshake's bytes are no close.
            if self._ssl_accepting:
                return True
            return super().readable()

    class ExplicitTlsHandler(TLS_FTPHandler):
        tls_control_required = True
        tls_data_required = True
        dtp_handler = DataHandler

    class ImplicitTlsHandler(ExplicitTlsHandler):
        def handle(self):
            # The greeting waits in the output queue until the handshake is
            # done; data connections are protected without PBSZ/PROT.
            self.secure_connection(self.ssl_context)
            self._pbsz = True
            self._prot = True
            super().handle()

    handler = ImplicitTlsHandler if mode == "implicit" else ExplicitTlsHandler
    handler.certfile = certfile
    handler.keyfile = keyfile
    return handler


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--password", default="secret")
    parser.add_argument("--address", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0, help="0: one the system chooses")
    parser.add_argument("--passive-ports", default="31000-31999")
    parser.add_argument("--masquerade", default="", help="the address the 227 reply names")
    parser.add_argument("--tls", choices=["none", "explicit", "implicit"], default="none")
    parser.add_argument("--certfile", default="")
    parser.add_argument("--keyfile", default="")
    parser.add_argument("--named-user", default="")
    parser.add_argument("--named-password", default="")
    parser.add_argument("--log", default="")
    args = parser.parse_args()

    authorizer = DummyAuthorizer()
    authorizer.add_user("ftp", args.password, args.root, perm=PERMISSIONS)
    if args.named_user:
        authorizer.add_user(args.named_user, args.named_password, args.root, perm=PERMISSIONS)
    handler = FTPHandler if args.tls == "none" else tls_handler(args.tls, args.certfile, args.keyfile)
    handler.authorizer = authorizer
    low, high = (int(p) for p in args.passive_ports.split("-"))
    handler.passive_ports = range(low, high + 1)
    if args.masquerade:
        handler.masquerade_address = args.masquerade
    handler.banner = "pyftpdlib ready."
    if args.log:
        logging.basicConfig(filename=args.log, level=logging.DEBUG)
    else:
        logging.basicConfig(level=logging.CRITICAL)

    server = FTPServer((args.address, args.port), handler)
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
