#!/usr/bin/env python3
"""Times one message with one attachment of 1, 10 and 100 MiB sent to each SMTP sink by
three clients: VORNA, curl (MIME upload with Base64 encoding) and the ideal client (the
same message pre-encoded, sent in one go after the SMTP commands), interleaved; then
VORNA's encoding step alone and the start-up cost of a small message. Each run goes
through the measure helper (wall time, peak RSS, CPU time of the run itself). A sink
given with a count log (the zero-cost sink) has every message's byte count checked.
Prints the medians, the machine's load and the targets.

    bench.py --vorna BIN --ideal BIN --measure BIN --sink NAME:PORT[:COUNT_LOG] ...
             [--runs N] [--sizes 1,10,100] [--work DIR]
"""
import argparse
import base64
import os
import statistics
import subprocess
import sys
import tempfile
import time

MiB = 1 << 20
TARGET_CURL = 0.35   # VORNA's wall time at most this share of curl's at the largest size
TARGET_IDEAL = 1.5   # and at most this multiple of the ideal client's (zero-cost sink)
TARGET_RSS_KIB = 8 * 1024
TARGET_SMALL_CPU = 0.005  # start-up to exit for a small message


def make_attachment(path, size):
    """A file of pseudo-random bytes (incompressible, cheap to make)."""
    block = os.urandom(MiB)
    with open(path, "wb") as f:
        for i in range(size // MiB):
            f.write(block[i % 7:] + block[:i % 7])
        f.write(block[:size % MiB])


def make_message(path, attachment, boundary=b"------_7356bench_MULTIPART_MIXED_"):
    """The message VORNA sends for the attachment (same layout and size), with the
    end-of-data line, for the ideal client."""
    name = os.path.basename(attachment).encode()
    with open(path, "wb") as out, open(attachment, "rb") as src:
        out.write(b"From: bench@example.test\r\nTo: sink@example.test\r\nSubject: bench\r\n"
                  b"X-Mailer: VORNA 3.14\r\nMime-Version: 1.0\r\n"
                  b'Content-Type: multipart/mixed; boundary="' + boundary + b'"\r\n'
                  b"Content-Transfer-Encoding: 7bit\r\n"
                  b"Date: Tue, 05 Dec 2006 14:03:09 +0900\r\n\r\n"
                  b"--" + boundary + b"\r\nContent-Type: text/plain; charset=ISO-2022-JP\r\n\r\n"
                  b"\r\n--" + boundary + b"\r\nContent-Type: application/octet-stream;"
                  b' name="' + name + b'"\r\nContent-Disposition: attachment;\r\n filename="' +
                  name + b'"\r\nContent-Transfer-Encoding: base64\r\n\r\n')
        while True:
            chunk = src.read(57 * 16384)  # whole 76-character lines
            if not chunk:
                break
            encoded = base64.b64encode(chunk)
            out.write(b"".join(encoded[i:i + 76] + b"\r\n" for i in range(0, len(encoded), 76)))
        out.write(b"\r\n\r\n--" + boundary + b"--\r\n\r\n.\r\n")


def timed(measure, command, cwd, env=None, status=0):
    """Runs a command under the measure helper: (wall seconds, peak RSS in KiB, CPU
    seconds of user and system time)."""
    with tempfile.NamedTemporaryFile("r", suffix=".cost") as report:
        done = subprocess.run([measure, report.name] + command, cwd=cwd, env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=600)
        fields = report.read().split()
    if done.returncode != status:
        raise RuntimeError("%s failed (%d): %s %s" % (command[0], done.returncode,
                                                      done.stdout[-500:], done.stderr[-500:]))
    wall, rss, user, system = fields
    return float(wall), int(rss), float(user) + float(system)


def last_count(log):
    """The data byte count of the last message the zero-cost sink took."""
    with open(log) as f:
        lines = f.read().split()
    return int(lines[-1]) if lines else -1


def check_count(log, size, who):
    """The message must have held the whole attachment: its Base64 lines and little more."""
    if not log:
        return
    base64_bytes = (size + 56) // 57 * 78
    count = last_count(log)
    if not base64_bytes <= count <= base64_bytes + 4096:
        raise RuntimeError("%s: the sink took %d data bytes for %d bytes of Base64 lines"
                           % (who, count, base64_bytes))


def median_of(runs):
    return (statistics.median(w for w, _, _ in runs), statistics.median(r for _, r, _ in runs),
            max(r for _, r, _ in runs), statistics.median(c for _, _, c in runs))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--vorna", required=True)
    parser.add_argument("--ideal", required=True)
    parser.add_argument("--measure", required=True)
    parser.add_argument("--sink", action="append", required=True,
                        help="NAME:PORT or NAME:PORT:COUNT_LOG (a sink that logs byte counts)")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--sizes", default="1,10,100")
    parser.add_argument("--work", default=None)
    args = parser.parse_args()
    work = args.work or tempfile.mkdtemp(prefix="vorna-bench-")
    tmp = os.path.join(work, "tmp")
    os.makedirs(tmp, exist_ok=True)
    sinks = []
    for text in args.sink:
        parts = text.split(":", 2)
        sinks.append((parts[0], int(parts[1]), parts[2] if len(parts) > 2 else ""))
    for name, port, _ in sinks:  # one settings file per sink, in a directory of its own
        os.makedirs(os.path.join(work, name), exist_ok=True)
        with open(os.path.join(work, name, "vorna.ini"), "w") as f:
            f.write("[SMTP]\nSMTP_PORT=%d\n" % port)
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "TMP": tmp, "TZ": "UTC0"}
    # VORNA's encoding step alone: the same run against a port where nothing listens does
    # only the attachment's encoding into its work file (and ends with error 8).
    prep = os.path.join(work, "prep")
    os.makedirs(prep, exist_ok=True)
    with open(os.path.join(prep, "vorna.ini"), "w") as f:
        f.write("[SMTP]\nSMTP_PORT=1\n")
    load_before = os.getloadavg()

    rows = []
    for size in (int(s) for s in args.sizes.split(",")):
        attachment = os.path.join(work, "attach-%dM.bin" % size)
        message = os.path.join(work, "message-%dM.eml" % size)
        make_attachment(attachment, size * MiB)
        make_message(message, attachment)
        vorna = [args.vorna, "-h127.0.0.1", "-fbench@example.test", "-sbench",
                 "-a" + attachment, "sink@example.test"]
        results = {}
        for _ in range(args.runs):
            # Interleaved: every client against every sink in each round, so that drift in
            # the machine's load hits all of them alike.
            for sink, port, log in sinks:
                clients = {
                    "vorna": vorna,
                    "curl": ["curl", "-sS", "smtp://127.0.0.1:%d" % port,
                             "--mail-from", "bench@example.test", "--mail-rcpt",
                             "sink@example.test", "-H", "Subject: bench",
                             "-F", "file=@%s;encoder=base64" % attachment],
                    "ideal": [args.ideal, "127.0.0.1", str(port), message],
                }
                for client, command in clients.items():
                    results.setdefault((sink, client), []).append(
                        timed(args.measure, command, os.path.join(work, sink), env))
                    if client != "curl":  # curl's MIME layout differs in its line length
                        check_count(log, size * MiB, client)
            results.setdefault(("-", "encoding"), []).append(
                timed(args.measure, vorna, prep, env, status=8))
        if os.listdir(tmp):
            raise RuntimeError("work files left behind: %s" % os.listdir(tmp))
        rows.append((size, {key: median_of(runs) for key, runs in results.items()}))
        os.remove(attachment)
        os.remove(message)

    # Start-up to exit for a small message (no attachment), against the first sink.
    sink, port, _ = sinks[0]
    small = [timed(args.measure, [args.vorna, "-h127.0.0.1", "-fbench@example.test",
                                  "-sbench", "-Tsmall", "sink@example.test"],
                   os.path.join(work, sink), env) for _ in range(max(args.runs, 21))]
    load_after = os.getloadavg()

    print("medians of %d interleaved runs; wall time in seconds, peak RSS in MiB "
          "(median / max)" % args.runs)
    print("load average (1, 5, 15 min) before: %.2f %.2f %.2f, after: %.2f %.2f %.2f"
          % (load_before + load_after))
    cell = lambda m: "%7.3f s %5.1f/%5.1f MiB" % (m[0], m[1] / 1024, m[2] / 1024)
    for sink, _, _ in sinks:
        print("\nsink: %s" % sink)
        print("%9s | %-25s | %-25s | %-25s | %7s %7s" % ("size", "vorna", "curl",
                                                        "ideal client", "v/curl", "v/ideal"))
        for size, m in rows:
            v, c, i = m[(sink, "vorna")], m[(sink, "curl")], m[(sink, "ideal")]
            print("%5d MiB | %s | %s | %s | %7.3f %7.3f" % (size, cell(v), cell(c), cell(i),
                                                          v[0] / c[0], v[0] / i[0]))
        print("%9s | CPU s:  vorna %s" % ("", "  ".join(
            "%d MiB %.3f" % (size, m[(sink, "vorna")][3]) for size, m in rows)))
    print("\nVORNA's encoding step alone (attachment into its work file):")
    for size, m in rows:
        e = m[("-", "encoding")]
        print("%5d MiB | %.3f s wall, %.3f s CPU, %.1f MiB/s" % (size, e[0], e[3],
                                                              size / e[0] if e[0] else 0))
    small_cpu = statistics.median(c for _, _, c in small)
    small_wall = statistics.median(w for w, _, _ in small)
    print("\nsmall message (-Tsmall, %s): %.2f ms CPU, %.2f ms wall, medians of %d"
          % (sinks[0][0], small_cpu * 1000, small_wall * 1000, len(small)))
    print()

    size, m = rows[-1]
    checks = []
    zero = [s for s, _, log in sinks if log]
    for sink in zero:
        checks.append(("vorna wall <= %.1f x ideal client at %d MiB (%s)" % (
            TARGET_IDEAL, size, sink), m[(sink, "vorna")][0] <= TARGET_IDEAL * m[(sink, "ideal")][0]))
    for sink, _, _ in sinks:
        checks.append(("vorna wall <= %.2f x curl at %d MiB (%s)" % (TARGET_CURL, size, sink),
                       m[(sink, "vorna")][0] <= TARGET_CURL * m[(sink, "curl")][0]))
    checks.append(("vorna peak RSS < 8 MiB at every size",
                   all(r[1][(s, "vorna")][2] < TARGET_RSS_KIB for r in rows for s, _, _ in sinks)))
    checks.append(("small message under %.0f ms CPU" % (TARGET_SMALL_CPU * 1000),
                   small_cpu < TARGET_SMALL_CPU))
    for text, ok in checks:
        print("%-4s %s" % ("ok" if ok else "MISS", text))
    return 0 if all(ok for _, ok in checks) else 1


if __name__ == "__main__":
    sys.exit(main())
