#!/usr/bin/python3
"""What opening a large film and a large folder costs through ftpgateway:
the FTP commands the gateway sends and the time the HTTP answer takes.

    bench/gateway_open_bench.py --gateway build/x22/bin/ftpgateway [--reps 5]
                                [--work /tmp/gateway-open-bench]

One pyftpdlib server (logging every command it receives) serves a sparse
film of 3 GiB and a folder of 500 files with names of about 60 characters.
For each repetition a fresh gateway (nothing kept from a size before) gets

  * HEAD of the film: the size the player needs before anything else;
  * GET of its first 64 KiB (bytes=0-65535), right after;
  * GET of the folder's page.

Printed: the median time of each and the FTP commands each made (by verb),
and how many files the folder page lists. Loopback, no relay.
"""
import argparse
import collections
import os
import re
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(REPO, "tests", "gateway"))
import gatewaylab  # noqa: E402

FILM_SIZE = 3 * 1024 ** 3
FOLDER_FILES = 500
COMMAND = re.compile(r"<- ([A-Z]+)")


def prepare(root):
    os.makedirs(os.path.join(root, "many"), exist_ok=True)
    film = os.path.join(root, "film.bin")
    if not os.path.exists(film) or os.path.getsize(film) != FILM_SIZE:
        with open(film, "wb") as f:
            f.truncate(FILM_SIZE)
    for i in range(FOLDER_FILES):
        path = os.path.join(root, "many", "film-%03d-%s.mkv" % (i, chr(ord("a") + i % 26) * 42))
        if not os.path.exists(path):
            with open(path, "wb") as f:
                f.write(b"x" * i)


def commands(log, start):
    """Verbs received since byte offset start of the server's log."""
    with open(log, errors="replace") as f:
        f.seek(start)
        text = f.read()
    return collections.Counter(COMMAND.findall(text))


def log_size(log):
    return os.path.getsize(log) if os.path.exists(log) else 0


def timed(url, *options):
    start = time.monotonic()
    status, headers, body = gatewaylab.curl(url, *options, timeout=300)
    return time.monotonic() - start, status, headers, body


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--gateway", required=True)
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--work", default="/tmp/gateway-open-bench")
    args = parser.parse_args()
    root = os.path.join(args.work, "served")
    prepare(root)
    log = os.path.join(args.work, "pyftpdlib.log")
    if os.path.exists(log):
        os.remove(log)
    server = gatewaylab.FtpServer(root, args.work, log)
    rows = collections.defaultdict(list)
    verbs = {}
    listed = None
    try:
        for rep in range(args.reps):
            gateway = gatewaylab.Gateway(os.path.abspath(args.gateway), server.port, args.work,
                                         os.path.join(args.work, "gateway-%d.log" % rep))
            try:
                for name, url, options in (
                        ("HEAD film (3 GiB)", gateway.url("/film.bin"), ("-I",)),
                        ("GET film bytes=0-65535", gateway.url("/film.bin"), ("-r", "0-65535")),
                        ("GET folder page (500 files)", gateway.url("/many/"), ())):
                    before = log_size(log)
                    seconds, status, headers, body = timed(url, *options)
                    time.sleep(0.2)  # the server's log lines of that request
                    rows[name].append(seconds * 1000)
                    verbs[name] = commands(log, before)
                    if name.startswith("HEAD"):
                        rows[name + " status/length"] = [status, headers.get("content-length")]
                    if name.startswith("GET folder"):
                        listed = body.decode(errors="replace").count('class="file"')
            finally:
                gateway.stop()
    finally:
        server.stop()
    print("%-30s %10s  %s" % ("request", "median ms", "FTP commands (last repetition)"))
    for name in ("HEAD film (3 GiB)", "GET film bytes=0-65535", "GET folder page (500 files)"):
        counted = ", ".join("%s %d" % (verb, count) for verb, count in sorted(verbs[name].items()))
        print("%-30s %10.1f  %s" % (name, statistics.median(rows[name]), counted or "none"))
    print("HEAD answer: status %s, Content-Length %s" % tuple(rows["HEAD film (3 GiB) status/length"]))
    print("files on the folder page: %s of %d" % (listed, FOLDER_FILES))


if __name__ == "__main__":
    main()
