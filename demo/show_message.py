#!/usr/bin/env python3
"""Shows a message stored by mini_smtpd.py on a UTF-8 terminal: the raw message (escape
bytes made visible, long Base64 parts shortened) and a decoded view made with Python's
email package: the header fields, the body text, and each attachment's name, size and
SHA-256 checksum beside the checksum of the original file.

    show_message.py MESSAGE_FILE ORIGINAL_FILE...

The attachments are matched to the original files by name (the files' names are
Shift_JIS, as the program saw them).
"""
import email
import email.header
import email.policy
import email.utils
import hashlib
import os
import sys

BASE64_LINES_SHOWN = 4


def visible(raw):
    """The raw bytes as text for display: ESC, SO and SI shown as symbols."""
    text = raw.decode("ascii", "backslashreplace")
    return text.replace("\x1b", "\u241b").replace("\x0e", "\u240e").replace("\x0f", "\u240f")


def show_raw(raw):
    print("---------------- raw message as received (ESC shown as \u241b) ----------------")
    in_base64 = 0
    skipped = 0
    for line in raw.split(b"\r\n"):
        if line.lower() == b"content-transfer-encoding: base64":
            in_base64 = -1  # the part's blank line comes next
        elif in_base64 == -1 and line == b"":
            in_base64 = 1
        elif in_base64 > 0:
            if line == b"" or line.startswith(b"--"):
                if skipped:
                    print("    ... %d more Base64 lines ..." % skipped)
                in_base64, skipped = 0, 0
            elif in_base64 > BASE64_LINES_SHOWN:
                skipped += 1
                continue
            else:
                in_base64 += 1
        print(visible(line))


def decoded(value):
    """A header value with its encoded-words decoded (ISO-2022-JP and the rest)."""
    return str(email.header.make_header(email.header.decode_header(value)))


def main():
    path, originals = sys.argv[1], sys.argv[2:]
    with open(path, "rb") as f:
        raw = f.read()
    show_raw(raw)

    message = email.message_from_bytes(raw, policy=email.policy.compat32)
    print()
    print("---------------- decoded view (Python email package) ----------------")
    for field in ("From", "To", "Cc", "Subject", "Date", "X-Mailer", "Importance"):
        for value in message.get_all(field) or []:
            print("%-11s %s" % (field + ":", decoded(value.replace("\r\n", "").replace("\n", ""))))
    by_name = {}
    for original in originals:
        with open(original, "rb") as f:
            # The files are named in Shift_JIS, as the program sees them.
            by_name[os.path.basename(os.fsencode(original)).decode("cp932", "replace")] = \
                hashlib.sha256(f.read()).hexdigest()
    attachments = 0
    for part in message.walk():
        if part.is_multipart():
            continue
        name = part.get_param("filename", header="content-disposition")
        if name is None:
            charset = part.get_content_charset() or "us-ascii"
            text = part.get_payload(decode=True).decode(charset, "replace")
            print("\nBody text (%s):" % charset)
            for line in text.splitlines():
                print("  | " + line)
            continue
        attachments += 1
        name = decoded(email.utils.collapse_rfc2231_value(name))
        data = part.get_payload(decode=True)
        digest = hashlib.sha256(data).hexdigest()
        original = by_name.get(name)
        print("\nAttachment %d: %s (%d bytes)" % (attachments, name, len(data)))
        print("  sha256 received: %s" % digest)
        print("  sha256 original: %s  %s" % (original or "(no original given)",
                                            "MATCH" if original == digest else "DIFFERENT"))
        if original != digest:
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
