#!/usr/bin/python3
"""Prints run-bench.sh's one table from its "name value" result lines."""
import statistics
import sys

RATES = (1, 5, 15, 50, 100)
# The wait at the start of every pass of the download and upload workers,
# and the most each pass moves.
DOWNLOAD_PASS_WAIT_MS = 3
UPLOAD_PASS_WAIT_MS = 1
DOWNLOAD_BLOCK = 24576
UPLOAD_BLOCK = 131072


def load(path):
    values = {}
    for line in open(path):
        parts = line.split()
        if len(parts) == 2 and parts[1] not in ("", "nan"):
            values.setdefault(parts[0], []).append(float(parts[1]))
    return values


def cell(samples, digits=2):
    if not samples:
        return "n/a"
    return "%.*f [%.*f-%.*f]" % (digits, statistics.median(samples), digits, min(samples),
                                  digits, max(samples))


def ratio_cell(samples, reference, digits=3):
    return cell([s / reference for s in samples], digits) if samples and reference else "n/a"


def pass_ceiling_mbps(block, pass_wait_ms, overshoot_ms):
    """The most a worker moves without any pacing: one block per pass, each
    pass its wait plus the timer's overshoot."""
    return block * 8 / 1048576 / ((pass_wait_ms + overshoot_ms) / 1000.0)


def pair_cell(first, second, digits=2):
    return "%s / %s" % (cell(first, digits), cell(second, digits))


def run_ratio_cell(numerators, denominators, digits=3):
    """Each run's quotient (the two measured one after the other), as a cell."""
    return cell([n / d for n, d in zip(numerators, denominators) if d], digits)


def tls_rows(v, size_mib):
    """Figures 9 and 10: FTP over TLS against plain (bench/tls-figures.sh)."""
    def get(name):
        return v.get(name, [])

    plain, tls = get("tls_plain_stream_mibs"), get("tls_stream_mibs")
    curl_plain, curl_tls = get("tls_curl_plain_mibs"), get("tls_curl_mibs")
    wine_plain, wine_tls = get("wine_tls_plain_stream_mibs"), get("wine_tls_stream_mibs")
    rows = [
        ("9 stream over %s MiB, pyftpdlib: plain / explicit TLS (MiB/s)" % size_mib,
         pair_cell(plain, tls)),
        ("9   library: TLS / plain, run by run", run_ratio_cell(tls, plain)),
        ("9   transfers the server logged per stream: plain / TLS",
         pair_cell(get("tls_plain_transfers"), get("tls_transfers"), 0)),
        ("9   curl download: plain / TLS (MiB/s)", pair_cell(curl_plain, curl_tls)),
        ("9   curl: TLS / plain, run by run", run_ratio_cell(curl_tls, curl_plain)),
    ]
    if wine_plain or wine_tls:
        rows += [
            ("9   Wine: plain / TLS (MiB/s)", pair_cell(wine_plain, wine_tls)),
            ("9   Wine: TLS / plain, run by run", run_ratio_cell(wine_tls, wine_plain)),
        ]
    for where, prefix in (("loopback", "seek_"), ("20 ms each way", "relay_")):
        open_plain, open_tls = get(prefix + "plain_open_ms"), get(prefix + "tls_open_ms")
        seek_plain, seek_tls = get(prefix + "plain_seek_ms"), get(prefix + "tls_seek_ms")
        if not open_plain and not open_tls:
            continue
        rows += [
            ("10 %s: open, first 64 KiB at 0: plain / TLS (ms)" % where,
             pair_cell(open_plain, open_tls, 1)),
            ("10   TLS - plain, run by run (ms)",
             cell([t - p for p, t in zip(open_plain, open_tls)], 1)),
            ("10 %s: far seek, 64 KiB at 3/4: plain / TLS (ms)" % where,
             pair_cell(seek_plain, seek_tls, 1)),
            ("10   TLS - plain, run by run (ms)",
             cell([t - p for p, t in zip(seek_plain, seek_tls)], 1)),
        ]
    return rows


def main():
    v = load(sys.argv[1])
    size_mib, reads = sys.argv[2], sys.argv[3]
    sleep_us = statistics.median(v["sleep1_us"])
    ceiling = 24576 / (sleep_us / 1e6) / 1048576
    overshoot_ms = sleep_us / 1000.0 - 1.0
    rows = [
        ("1 stream, 64 KiB ReadStream over %s MiB (MiB/s)" % size_mib, cell(v.get("stream_mibs", []))),
        ("1   design ceiling 24576 B / Sleep(1) pass of %.0f us (MiB/s)" % sleep_us, "%.2f" % ceiling),
        ("1   library / ceiling", ratio_cell(v.get("stream_mibs", []), ceiling)),
        ("1   curl plain download (MiB/s)", cell(v.get("curl_stream_mibs", []))),
        ("2 direct 64 KiB read from the queue (us)", cell(v.get("direct64k_us", []), 1)),
        ("2   64 KiB memcpy (us)", cell(v.get("memcpy64k_us", []))),
        ("3 playback trace, %s reads: library (s)" % reads, cell(v.get("trace_s", []), 3)),
        ("3   library: MiB sent by the server", cell(v.get("trace_mib", []), 1)),
        ("3   curl -r per read (s)", cell(v.get("curl_trace_s", []), 3)),
        ("3   curl: MiB sent by the server", cell(v.get("curl_trace_mib", []), 1)),
        ("4 start-up to first data, library (ms)", cell(v.get("start_total_ms", []), 1)),
        ("4   connect (ms)", cell(v.get("start_connect_ms", []), 1)),
        ("4   login: greeting, USER, PASS, TYPE (ms)", cell(v.get("start_login_ms", []), 1)),
        ("4   directory change (ms)", cell(v.get("start_cwd_ms", []), 1)),
        ("4   PASV, REST, RETR to first 64 KiB (ms)", cell(v.get("start_data_ms", []), 1)),
        ("4   curl -r: connect / first byte (ms)",
         cell(v.get("curl_connect_ms", []), 1) + " / " + cell(v.get("curl_first_byte_ms", []), 1)),
    ]
    rate_rows = []
    for rate in RATES:
        recv, send = v.get("recv_mbps_%d" % rate, []), v.get("send_mbps_%d" % rate, [])
        rate_rows.append(("5 %3d Mbit/s download: achieved / cap" % rate, ratio_cell(recv, rate)))
        # Where one block per pass is below the cap, the pass is the limit.
        recv_ceiling = pass_ceiling_mbps(DOWNLOAD_BLOCK, DOWNLOAD_PASS_WAIT_MS, overshoot_ms)
        if recv_ceiling < rate:
            rate_rows.append(("5       download: achieved / pass ceiling (%.1f Mbit/s)" % recv_ceiling,
                              ratio_cell(recv, recv_ceiling)))
        rate_rows += [
            ("5       curl --limit-rate download / cap", ratio_cell(v.get("curl_recv_mbps_%d" % rate, []), rate)),
            ("5       upload: achieved / cap", ratio_cell(send, rate)),
            ("5       upload: server's data time: achieved / cap",
             ratio_cell(v.get("send_server_mbps_%d" % rate, []), rate)),
            ("5       curl --limit-rate upload / cap",
             ratio_cell(v.get("curl_send_mbps_%d" % rate, []), rate)),
        ]
    hwm = v.get("hwm_kib", [])
    base = v.get("rss_before_kib", [])
    later_rows = [
        ("6 idle logged-in session, CPU over 10 s (s)", cell(v.get("idle_cpu_s", []), 4)),
        ("7 peak resident while streaming, VmHWM (KiB)", cell(hwm, 0)),
        ("7   growth over resident before the stream (KiB)",
         cell([h - b for h, b in zip(hwm, base)], 0)),
        ("7   stream buffers allocated over the whole stream", cell(v.get("stream_buffers", []), 0)),
        ("8 Wine: stream, 64 KiB ReadStream (MiB/s)", cell(v.get("wine_stream_mibs", []))),
        ("8   Wine: Sleep(1) pass (us) -> ceiling (MiB/s)",
         "%s -> %s" % (cell(v.get("wine_sleep1_us", []), 0),
                       "%.2f" % (24576 / (statistics.median(v["wine_sleep1_us"]) / 1e6) / 1048576)
                       if v.get("wine_sleep1_us") else "n/a")),
    ]
    # run-bench.sh --rates-only, --tls-only and --no-tls leave figures out.
    main_run = "stream_mibs" in v
    rows = (rows if main_run else []) + (rate_rows if "recv_mbps_1" in v else []) + \
        (later_rows if main_run else []) + (tls_rows(v, size_mib) if "tls_stream_mibs" in v else [])
    width = max(len(r[0]) for r in rows)
    print("%-*s  %s" % (width, "figure", "median [min-max]"))
    for name, text in rows:
        print("%-*s  %s" % (width, name, text))


if __name__ == "__main__":
    main()
