#!/usr/bin/python3
"""The TLS server of the TLS channel tests (tests/platform/TlsChannelTest.cpp).

Listens on three loopback ports below 32768 with one certificate:
  port           TLS 1.2 and 1.3, session tickets (a client may resume)
  tls12_port     TLS 1.2 only, session tickets
  noresume_port  no tickets, and other ticket keys: a session offered here is
                 never resumed
and writes their numbers, with what it was given, to the info file once all
three listen. Each connection reads lines and answers:
  echo TEXT   TEXT and a line end
  bulk N      N bytes, byte i being i % 251 (several records)
  bye         "bye" and a line end, then close_notify, then waits for the
              client's close_notify and closes
It ends after --lifetime seconds, or when tls-peer.sh stops it.
"""
import argparse
import os
import random
import socket
import ssl
import sys
import threading
import time

IDLE_SECONDS = 30


def bulk(count):
    pattern = bytes(i % 251 for i in range(251))
    whole, rest = divmod(count, len(pattern))
    return pattern * whole + pattern[:rest]


def answer(tls):
    pending = b""
    while True:
        data = tls.recv(65536)
        if not data:
            return
        pending += data
        while b"\n" in pending:
            line, pending = pending.split(b"\n", 1)
            command, _, argument = line.partition(b" ")
            if command == b"echo":
                tls.sendall(argument + b"\n")
            elif command == b"bulk":
                tls.sendall(bulk(int(argument)))
            elif command == b"bye":
                tls.sendall(b"bye\n")
                tls.unwrap()
                return
            else:
                tls.sendall(b"unknown command\n")


def serve(raw, context):
    raw.settimeout(IDLE_SECONDS)
    try:
        with context.wrap_socket(raw, server_side=True) as tls:
            answer(tls)
    except (OSError, ValueError):
        pass  # the client gave up on us (a rejected certificate) or went away
    finally:
        raw.close()


def listen():
    """A listening socket on 127.0.0.1 at a port below 32768 (the ephemeral
    range starts there, where a port may be taken at any moment)."""
    for _ in range(100):
        port = random.randrange(20000, 32768)
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        try:
            listener.bind(("127.0.0.1", port))
            listener.listen(16)
            return listener, port
        except OSError:
            listener.close()
    raise SystemExit("no free port between 20000 and 32767")


def accept_loop(listener, context):
    while True:
        raw, _ = listener.accept()
        threading.Thread(target=serve, args=(raw, context), daemon=True).start()


def make_context(cert, key, tls12_only=False, tickets=True):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    if tls12_only:
        context.maximum_version = ssl.TLSVersion.TLSv1_2
    if not tickets:
        context.options |= ssl.OP_NO_TICKET
        context.num_tickets = 0
    return context


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--info", required=True, help="file to write the ports to")
    parser.add_argument("--lifetime", type=int, default=1800)
    parser.add_argument("extra", nargs="*", help="KEY=VALUE lines for the info file")
    args = parser.parse_args()

    contexts = {
        "port": make_context(args.cert, args.key),
        "tls12_port": make_context(args.cert, args.key, tls12_only=True),
        "noresume_port": make_context(args.cert, args.key, tickets=False),
    }
    lines = []
    for name, context in contexts.items():
        listener, port = listen()
        threading.Thread(target=accept_loop, args=(listener, context), daemon=True).start()
        lines.append(f"{name}={port}")
    lines += args.extra
    # Whole or not at all: the starter waits for the file to appear.
    partial = args.info + ".partial"
    with open(partial, "w", encoding="ascii") as info:
        info.write("\n".join(lines) + "\n")
    os.replace(partial, args.info)
    print("listening:", " ".join(lines), flush=True)
    time.sleep(args.lifetime)
    return 0


if __name__ == "__main__":
    sys.exit(main())
