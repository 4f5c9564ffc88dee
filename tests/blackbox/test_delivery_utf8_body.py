"""Body files (-F) in UTF-8, on every system: a file that begins with the byte-order mark,
or whose whole content is well-formed UTF-8 and not plain ASCII, goes out as the same
text in Shift_JIS would; any other file is Shift_JIS as ever. Characters that Shift_JIS
cannot hold become the geta mark."""
import contextlib
import os
import shutil
import unittest
from unittest import mock

from fake_smtp import DeliveryTest, dialogue, head, sjis_to_jis
import harness
from harness import WINDOWS, console, native_path

BOM = b"\xef\xbb\xbf"
LINES = ["日本語の本文です。", "ascii line", "", "ｶﾀｶﾅと漢字", ".点で始まる行"]


def wire(lines):
    """The body as sent for these lines of text: each converted on its own, CR LF after
    each, a leading period doubled."""
    out = b""
    for line in lines:
        data = line.encode("cp932")
        if any(b >= 0x80 for b in data):
            data = sjis_to_jis(data)
        if data.startswith(b"."):
            data = b"." + data
        out += data + b"\r\n"
    return out


class Utf8BodyFile(DeliveryTest):
    def send_file(self, content, *args):
        path = self.write("body.txt", content)
        r, server = self.deliver(dialogue(), *args, "-F" + native_path(path), "b@example.test")
        self.assertEqual((server.problems, r.status, self.work_files()), ([], 0, []), r)
        data = self.the_message(server)
        self.assertMessage(server, head() + data[data.index(b"\r\n\r\n") + 4:])
        return r, data[data.index(b"\r\n\r\n") + 4:-len(b"\r\n.\r\n")]

    def test_the_four_kinds_of_body_file(self):
        expected = wire(LINES)
        utf8 = "\n".join(LINES).encode("utf-8") + b"\n"
        cases = [("UTF-8", utf8, expected),
                 ("UTF-8 with the mark and CR LF", BOM + utf8.replace(b"\n", b"\r\n"), expected),
                 ("Shift_JIS", "\n".join(LINES).encode("cp932") + b"\n", expected),
                 ("ASCII", b"one\ntwo\n", b"one\r\ntwo\r\n"),
                 ("the mark alone", BOM, b""),
                 ("the mark and an ASCII line", BOM + b"abc", b"abc\r\n")]
        for name, content, body in cases:
            with self.subTest(name):
                r, sent = self.send_file(content)
                self.assertEqual(sent, body)

    def test_characters_without_a_shift_jis_form_become_geta_marks(self):
        content = "絵文字\U0001F600と한\nつぎの行\n".encode("utf-8")
        r, sent = self.send_file(content)
        self.assertEqual(sent, wire(["絵文字〓と〓", "つぎの行"]))
        # Debug mode tells how many, once, after the body.
        r, sent = self.send_file(content, "-d")
        self.assertIn(console("Conv: 2 character(s) in the body file without a Shift_JIS form, "
                              "sent as 〓\n"), r.stdout)

    def test_one_shift_jis_line_anywhere_makes_the_whole_file_shift_jis(self):
        # Well-formed UTF-8 for well over one read block, then a Shift_JIS line.
        utf8_part = ("あいうえお" * 20 + "\n").encode("utf-8") * 3000
        last = "最後の行"
        r, sent = self.send_file(utf8_part + last.encode("cp932") + b"\n")
        self.assertTrue(sent.endswith(wire([last])), sent[-60:])
        self.assertEqual(sent.count(b"\r\n"), 3001)

    def test_a_file_of_many_blocks_goes_out_as_its_shift_jis_twin(self):
        # Lines of every length up to well past a read block, characters of one to four
        # bytes of UTF-8 cut by the block ends at every offset, CR LF and LF line ends,
        # leading periods: the UTF-8 file sends exactly what the Shift_JIS one does.
        pieces = ["漢字", "かな", "ｶﾅ", "ascii", ".", "\r", "〓", "、"]
        lines = []
        for n in range(700):
            line = "".join(pieces[(n * 7 + k) % len(pieces)] for k in range(n % 37))
            if n % 97 == 0:
                line = "長い行" * (90000 + n)  # longer than a block
            lines.append(line + ("\r\n" if n % 3 else "\n"))
        text = "".join(lines) + "最後の行、改行なし"
        r, from_sjis = self.send_file(text.encode("cp932"))
        r, from_utf8 = self.send_file(text.encode("utf-8"))
        self.assertTrue(from_utf8 == from_sjis, "the UTF-8 file went out differently")
        self.assertGreater(len(from_utf8), 3 * (1 << 20))

    def test_one_huge_line_keeps_memory_flat(self):
        # 24 MiB of UTF-8 in one line without a line end: it goes out converted and whole
        # while the program runs with a data limit (heap and private mappings) of 32 MiB,
        # so a copy of the whole line in either form would end it.
        kanji = "漢字かな"
        count = 24 * 1024 * 1024 // len(kanji.encode("utf-8"))
        limit = contextlib.nullcontext()
        # A sanitizer build reserves far more memory than any limit for the program itself.
        if (not WINDOWS and not harness.RUNNER and shutil.which("prlimit") and
                not os.environ.get("VORNA_SANITIZED")):
            limit = mock.patch.object(harness, "RUNNER", "prlimit;--data=%d;--" % (32 << 20))
        with limit:
            r, sent = self.send_file(kanji.encode("utf-8") * count)
        sjis = kanji.encode("cp932")
        expected = b"\x1b$B" + sjis_to_jis(sjis)[3:-3] * count + b"\x1b(J\r\n"
        self.assertTrue(sent == expected, "the line went out changed")

    def test_information_block_shows_the_size_on_disk(self):
        content = BOM + "本文\n".encode("utf-8")
        r, sent = self.send_file(content, "-i")
        self.assertIn(console("[%d bytes]\n" % len(content)), r.stdout)
        self.assertEqual(sent, wire(["本文"]))


if __name__ == "__main__":
    unittest.main()
