#!/usr/bin/env python3
"""A minimal SMTP server for the demo: listens on 127.0.0.1 on an ephemeral port, accepts
one message, keeps it in a file and exits.

    mini_smtpd.py --out MESSAGE_FILE --port-file PORT_FILE [--timeout SECONDS]

The port is written to PORT_FILE once the server listens. The message is stored as it
arrived after DATA, with the SMTP transparency undone (a line's leading period dropped) and
without the end-of-data line; the envelope goes to MESSAGE_FILE.envelope. Every wait is
bounded by --timeout; the exit status is 0 when a message was stored, 1 otherwise.
"""
import argparse
import os
import socket
import sys


def serve(conn, out_path):
    conn.sendall(b"220 mini.localhost ESMTP demo server\r\n")
    reader = conn.makefile("rb")
    envelope = []
    stored = False
    while True:
        line = reader.readline(65536)
        if not line:
            return stored
        verb = line[:4].upper()
        if verb in (b"EHLO", b"HELO"):
            reply = b"250-mini.localhost\r\n250 SIZE 0\r\n" if verb == b"EHLO" else b"250 mini.localhost\r\n"
            conn.sendall(reply)
        elif verb in (b"MAIL", b"RCPT"):
            envelope.append(line.rstrip(b"\r\n"))
            conn.sendall(b"250 2.1.0 Ok\r\n")
        elif verb == b"DATA":
            conn.sendall(b"354 End data with <CR><LF>.<CR><LF>\r\n")
            lines = []
            while True:
                data_line = reader.readline(1 << 20)
                if not data_line:
                    return stored
                if data_line == b".\r\n":
                    break
                # Transparency (RFC 5321 4.5.2): a leading period was added by the client.
                lines.append(data_line[1:] if data_line.startswith(b".") else data_line)
            with open(out_path, "wb") as f:
                f.write(b"".join(lines))
            with open(out_path + ".envelope", "wb") as f:
                f.write(b"\n".join(envelope) + b"\n")
            stored = True
            conn.sendall(b"250 2.0.0 Ok: queued as DEMO1\r\n")
        elif verb in (b"RSET", b"NOOP"):
            conn.sendall(b"250 2.0.0 Ok\r\n")
        elif verb == b"QUIT":
            conn.sendall(b"221 2.0.0 Bye\r\n")
            return stored
        else:
            conn.sendall(b"502 5.5.2 Command not implemented\r\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", required=True)
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--timeout", type=float, default=60.0)
    args = parser.parse_args()

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    listener.settimeout(args.timeout)
    temp = args.port_file + ".new"
    with open(temp, "w") as f:
        f.write("%d\n" % listener.getsockname()[1])
    os.replace(temp, args.port_file)
    try:
        conn, _ = listener.accept()
    except socket.timeout:
        print("mini_smtpd: nobody connected within %.0f s" % args.timeout, file=sys.stderr)
        return 1
    finally:
        listener.close()
    conn.settimeout(args.timeout)
    try:
        stored = serve(conn, args.out)
    except (OSError, socket.timeout) as e:
        print("mini_smtpd: %s" % e, file=sys.stderr)
        stored = os.path.exists(args.out)
    finally:
        conn.close()
    return 0 if stored else 1


if __name__ == "__main__":
    sys.exit(main())
