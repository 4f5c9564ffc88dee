#!/usr/bin/env python3
"""Times one message with one attachment of 1, 10 and 100 MiB sent to an SMTP sink by
three clients: VORNA, curl (MIME upload with Base64 encoding) and the ideal client (the
same message pre-encoded, sent in one go after the SMTP commands). Each run is wrapped in
GNU time for the peak resident set size; wall times come from a monotonic clock around
the same run. Prints the medians and checks the targets.

    bench.py --vorna BIN --ideal BIN --port PORT [--runs N] [--sizes 1,10,100] [--work DIR]
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
TARGET_IDEAL = 1.3   # and at most this multiple of the ideal client's
TARGET_RSS_KIB = 8 * 1024


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


def timed(command, cwd, env=None, status=0):
    """Runs a command under GNU time: (wall seconds, peak RSS in KiB, CPU seconds)."""
    with tempfile.NamedTemporaryFile("r", suffix=".time") as report:
        start = time.perf_counter()
        done = subprocess.run(["/usr/bin/time", "-f", "%e %M %U %S", "-o", report.name] +
                              command, cwd=cwd, env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=600)
        wall = time.perf_counter() - start
        fields = report.read().split()
    if done.returncode != status:
        raise RuntimeError("%s failed (%d): %s %s" % (command[0], done.returncode,
                                                      done.stdout[-500:], done.stderr[-500:]))
    return wall, int(fields[-3]), float(fields[-2]) + float(fields[-1])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--vorna", required=True)
    parser.add_argument("--ideal", required=True)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--sizes", default="1,10,100")
    parser.add_argument("--work", default=None)
    args = parser.parse_args()
    work = args.work or tempfile.mkdtemp(prefix="vorna-bench-")
    tmp = os.path.join(work, "tmp")
    os.makedirs(tmp, exist_ok=True)
    with open(os.path.join(work, "vorna.ini"), "w") as f:
        f.write("[SMTP]\nSMTP_PORT=%d\n" % args.port)
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "TMP": tmp, "TZ": "UTC0"}
    # For the breakdown: the same run against a port where nothing listens does only the
    # attachment's encoding into its work file (and ends with error 8).
    prep = os.path.join(work, "prep")
    os.makedirs(prep, exist_ok=True)
    with open(os.path.join(prep, "vorna.ini"), "w") as f:
        f.write("[SMTP]\nSMTP_PORT=1\n")

    rows = []
    for size in (int(s) for s in args.sizes.split(",")):
        attachment = os.path.join(work, "attach-%dM.bin" % size)
        message = os.path.join(work, "message-%dM.eml" % size)
        make_attachment(attachment, size * MiB)
        make_message(message, attachment)
        clients = {
            "vorna": [args.vorna, "-h127.0.0.1", "-fbench@example.test", "-sbench",
                      "-a" + os.path.basename(attachment), "sink@example.test"],
            "curl": ["curl", "-sS", "smtp://127.0.0.1:%d" % args.port,
                     "--mail-from", "bench@example.test", "--mail-rcpt", "sink@example.test",
                     "-H", "Subject: bench", "-F", "file=@%s;encoder=base64" % os.path.basename(attachment)],
            "ideal": [args.ideal, "127.0.0.1", str(args.port), message],
        }
        results = {name: [] for name in clients}
        results["vorna encoding only"] = []
        for _ in range(args.runs):
            for name, command in clients.items():  # interleaved, so drift hits all alike
                results[name].append(timed(command, work, env))
            results["vorna encoding only"].append(
                timed(clients["vorna"][:4] + ["-a" + attachment, "sink@example.test"], prep, env,
                      status=8))
        if os.listdir(tmp):
            raise RuntimeError("work files left behind: %s" % os.listdir(tmp))
        medians = {name: (statistics.median(w for w, _, _ in runs),
                          statistics.median(r for _, r, _ in runs),
                          max(r for _, r, _ in runs),
                          statistics.median(c for _, _, c in runs))
                   for name, runs in results.items()}
        rows.append((size, medians))
        os.remove(attachment)
        os.remove(message)

    print("medians of %d runs; wall time in seconds, peak RSS in MiB (median / max)" % args.runs)
    print("%9s | %-25s | %-25s | %-25s | %7s %7s" % ("size", "vorna", "curl", "ideal client",
                                                    "v/curl", "v/ideal"))
    for size, m in rows:
        cell = lambda n: "%7.3f s %5.1f/%5.1f MiB" % (m[n][0], m[n][1] / 1024, m[n][2] / 1024)
        print("%5d MiB | %s | %s | %s | %7.3f %7.3f" % (
            size, cell("vorna"), cell("curl"), cell("ideal"),
            m["vorna"][0] / m["curl"][0], m["vorna"][0] / m["ideal"][0]))

    print("\nCPU seconds (user + system), medians; and VORNA's encoding step alone")
    print("%9s | %8s %8s %8s | %s" % ("size", "vorna", "curl", "ideal", "vorna encoding only"))
    for size, m in rows:
        print("%5d MiB | %8.3f %8.3f %8.3f | %.3f s wall, %.3f s CPU" % (
            size, m["vorna"][3], m["curl"][3], m["ideal"][3], m["vorna encoding only"][0],
            m["vorna encoding only"][3]))
    print()

    size, m = rows[-1]
    checks = [
        ("vorna wall <= %.2f x curl at %d MiB" % (TARGET_CURL, size),
         m["vorna"][0] <= TARGET_CURL * m["curl"][0]),
        ("vorna wall <= %.1f x ideal client at %d MiB" % (TARGET_IDEAL, size),
         m["vorna"][0] <= TARGET_IDEAL * m["ideal"][0]),
        ("vorna peak RSS < 8 MiB at every size",
         all(r[1]["vorna"][2] < TARGET_RSS_KIB for r in rows)),
    ]
    for text, ok in checks:
        print("%-4s %s" % ("ok" if ok else "MISS", text))
    return 0 if all(ok for _, ok in checks) else 1


if __name__ == "__main__":
    sys.exit(main())
