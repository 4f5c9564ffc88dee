"""Body files (-F) in UTF-8, on every system: a file that begins with the byte-order mark,
or whose whole content is well-formed UTF-8 and not plain ASCII, goes out as the same
text in Shift_JIS would; any other file is Shift_JIS as ever. Characters that Shift_JIS
cannot hold become the geta mark."""
import unittest

from fake_smtp import DeliveryTest, dialogue, head, sjis_to_jis
from harness import console, native_path

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

    def test_information_block_shows_the_size_on_disk(self):
        content = BOM + "本文\n".encode("utf-8")
        r, sent = self.send_file(content, "-i")
        self.assertIn(console("[%d bytes]\n" % len(content)), r.stdout)
        self.assertEqual(sent, wire(["本文"]))


if __name__ == "__main__":
    unittest.main()
