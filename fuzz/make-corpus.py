#!/usr/bin/env python3
"""Writes the seed corpora of fuzz/corpus/: a few real frames, names and
argument lists per target, laid out the way each target reads its input
with libFuzzer's FuzzedDataProvider (numbers are taken from the end of the
input, byte strings from the front). Run from anywhere; rewrites the seeds."""
import os


class Seed:
    """Builds one input: `front` is read from the start, `tail` from the end."""

    def __init__(self):
        self.front = bytearray()
        self.tail = []

    def num(self, value, lo, hi):
        """ConsumeIntegralInRange(lo, hi) giving `value`: big-endian from the end."""
        span, n = hi - lo, 0
        while n < 8 and (span >> (8 * n)) > 0:
            n += 1
        v = value - lo
        self.tail += [(v >> (8 * (n - 1 - i))) & 0xFF for i in range(n)]
        return self

    def flag(self, b):
        return self.num(1 if b else 0, 0, 255)

    def data(self, b):
        self.front += bytes(b)
        return self

    def text(self, s):
        """One ConsumeRandomLengthString piece: backslashes doubled, then an end mark."""
        self.front += s.replace(b"\\", b"\\\\") + b"\\e"
        return self

    def bytes(self):
        return bytes(self.front) + bytes(reversed(self.tail))


def page(index, wide=False):
    """The charset target's first number: code page `index` of its list, and
    with `wide` the same bytes read as wide text too."""
    return next(p for p in range(128 if wide else 0, 255) if p % 13 == index)


def frame(cls, cmd, payload=b""):
    f = b"$$" + cls + cmd + bytes([len(payload) & 0xFF, len(payload) >> 8]) + payload
    check = 0
    for b in f:
        check ^= b
    return f + bytes([check]) + b"\r\n"


def entry(name, ext, size, date=(2026 - 1980) << 9 | 3 << 5 | 1, time=6 << 11 | 41 << 5):
    e = bytearray(32)
    e[0:8], e[8:11], e[11] = name.ljust(8), ext.ljust(3), 0x20
    e[14:16], e[16:18] = time.to_bytes(2, "little"), date.to_bytes(2, "little")
    e[28:32] = size.to_bytes(4, "little")
    return bytes(e)


PAGE = entry(b"BJ010601", b"GNS", 2807 * 1024) + entry(b"\xc4\xe3A", b"GNS", 1884 * 1024)
FULL_PAGE = b"".join(entry(b"BJ0106%02d" % i, b"GNS", i * 1000) for i in range(8))
UNLOG = b"unlogall com1\r\n\x00"
BLOCK = b"$$VX\x08\x40\x00\x80\x00" + bytes(range(8))

seeds = {
    "replies": {
        "parameters": Seed().data(frame(b"F", b"J", b"\x05\x0c")).num(0, 0, 255),
        "parameters-set": Seed().data(frame(b"F", b"J")).num(0, 0, 255),
        "directory-page": Seed().data(frame(b"F", b"M", PAGE)).num(0, 0, 255),
        "full-page-cut": Seed().data(frame(b"F", b"M", FULL_PAGE)[:300]).num(0, 0, 255),
        "deleted": Seed().data(frame(b"F", b"D")).num(0, 0, 255),
        "handshake-answer": Seed().data(b"$$VS\x01\x58").num(1, 0, 255),
        "block-answer": Seed().data(b"$$VX\x01\x00\x40\x00\x80\x00").num(1, 0, 255),
        "block-error-short": Seed().data(b"$$VX\x01\x02").num(1, 0, 255),
        "format-head": Seed().num(0x81, 0, 255).num(13, 0, 600).data(b"xx$$FD\x00\x00\x02\r\n..").num(3, 0, 8),
        "reset-head-broken": Seed().num(0x80, 0, 255).num(12, 0, 600).data(b"$$$SR$$SRST\r").num(2, 0, 8),
    },
    "directory": {
        "page": Seed().num(0, 0, 3).num(len(PAGE), 0, 0xFFFF).num(0, -2**31, 2**31 - 1).data(PAGE),
        "full-page": Seed().num(0, 0, 3).num(256, 0, 0xFFFF).num(8, -2**31, 2**31 - 1).data(FULL_PAGE),
        "cut-page": Seed().num(0, 0, 3).num(256, 0, 0xFFFF).num(0, -2**31, 2**31 - 1).data(FULL_PAGE[:294]),
        "empty-first-page": Seed().num(0, 0, 3).num(0, 0, 0xFFFF).num(0, -2**31, 2**31 - 1),
        "echoed-request": Seed().num(0, 0, 3).num(3, 0, 0xFFFF).num(0, -2**31, 2**31 - 1).data(b"\x08\x00\x00"),
        "framed-page": Seed().num(1, 0, 3).flag(True).data(PAGE),
        "framed-parameters": Seed().num(1, 0, 3).flag(False).data(b"\x0f\x0a"),
        "interval-text": Seed().num(2, 0, 3).flag(True).data(b"60"),
        "cutoff-text": Seed().num(2, 0, 3).flag(False).data(b"90"),
        "interval-chinese": Seed().num(2, 0, 3).flag(True).data("５秒".encode()),
    },
    "firmware_name": {
        "version": Seed().flag(True).data(b"/home/field/z500.088.rxf"),
        "version-signed": Seed().flag(True).data(b"Z500.-12.rxf.bak"),
        "version-chinese": Seed().flag(True).data("固件1.rxf".encode()),
        "no-rxf": Seed().flag(True).data(b"Z500.088.RXF"),
        "version-in-folder": Seed().flag(True).data(b"old.087.rxf.d/z500.088.rxf"),
        "version-above-byte": Seed().flag(True).data(b"fw.344.rxf"),
        "blocks": Seed().flag(False).num(300, 0, 4096).data(bytes(i * 7 & 0xFF for i in range(300))).num(8, -8, 8),
        "blocks-short-file": Seed().flag(False).num(5, 0, 4096).data(b"\x01\x02\x03\x04\x05").num(11, -8, 8),
    },
    "framer": {
        "timeout-reply": Seed().flag(True).num(64, 28, 300).num(1024, 16, 1024).num(1, 1, 4)
        .num(11, 1, 128).data(frame(b"F", b"J", b"\x05\x0c")).num(5, 1, 128).num(6, 1, 128),
        "timeout-long-burst": Seed().flag(True).num(28, 28, 300).num(64, 16, 1024).num(1, 1, 4)
        .num(40, 1, 56).data(frame(b"F", b"M", PAGE[:31])).num(40, 1, 128),
        "marks-round-trip": Seed().flag(False).num(64, 28, 300).num(20, 16, 1024).flag(False).flag(True)
        .flag(True).num(2, 1, 12).num(4, 1, 128).data(b"\x01\xeb\x02\xec").num(3, 1, 128).data(b"\xeb\xee\xec")
        .num(5, 1, 24).num(7, 1, 24),
        "marks-custom": Seed().flag(False).num(40, 28, 300).num(1024, 16, 1024).flag(True).num(0x24, 0, 255)
        .num(0x0A - 0x24 + 256, 1, 255).num(0x5C, 0, 255).flag(False).flag(True).num(1, 1, 12)
        .num(11, 1, 80).data(frame(b"F", b"J", b"\x05\x0c")).num(24, 1, 24),
        "marks-line": Seed().flag(False).num(28, 28, 300).num(100, 16, 1024).flag(False).flag(True).flag(False)
        .num(14, 0, 84).data(b"\xec\xeb\xeb\x01\xee\xee\xeb\xec\xee\x02\xee\xee\xeb\xee").num(3, 1, 24),
    },
    "queue": {
        "wrap-around": Seed().num(16, -2, 300).num(0, 0, 10).num(10, -1, 320)
        .num(0, 0, 255).num(1, 0, 255).num(2, 0, 255).num(3, 0, 255).num(4, 0, 255)
        .num(5, 0, 255).num(6, 0, 255).num(7, 0, 255).num(8, 0, 255).num(9, 0, 255)
        .num(2, 0, 10).num(8, -1, 320).num(0, 0, 10).num(12, -1, 320)
        .num(10, 0, 255).num(11, 0, 255).num(12, 0, 255).num(13, 0, 255).num(14, 0, 255).num(15, 0, 255)
        .num(16, 0, 255).num(17, 0, 255).num(18, 0, 255).num(19, 0, 255).num(20, 0, 255).num(21, 0, 255)
        .num(5, 0, 10).num(20, -1, 320),
        "full-then-resize": Seed().num(8, -2, 300).num(0, 0, 10).num(9, -1, 320)
        .num(0xAA, 0, 255).num(0xBB, 0, 255).num(0xCC, 0, 255).num(0xDD, 0, 255).num(0xEE, 0, 255)
        .num(0x11, 0, 255).num(0x22, 0, 255).num(0x33, 0, 255).num(0x44, 0, 255)
        .num(1, 0, 10).num(0, -1, 320).num(0x55, 0, 255).num(8, 0, 10).num(8, -1, 320).num(4, 0, 10).num(3, -1, 320)
        .num(0x66, 0, 255).num(0x77, 0, 255).num(0x88, 0, 255).num(6, 0, 10).num(0, -1, 320),
        "no-buffer": Seed().num(0, -2, 300).num(0, 0, 10).num(2, -1, 320).num(1, 0, 255).num(2, 0, 255)
        .num(8, 0, 10).num(-1, -1, 320).num(3, 0, 10).num(0, -1, 320),
        "capacity-one": Seed().num(1, -2, 300).num(1, 0, 10).num(0, -1, 320).num(0x42, 0, 255)
        .num(4, 0, 10).num(5, -1, 320),
    },
    "port_map": {
        "overrides": Seed().flag(True).data(b" COM5=/tmp/ttyV0 ; com1=/dev/ttyUSB0,COM0=/dev/x,COM1=/dev/other,,COM12 = /dev/pts/3"),
        "overrides-bad": Seed().flag(True).data(b"LPT1=/dev/lp0;COM2=;=/dev/y;COM3;COM7x=/dev/z;COM99999999=/a"),
        "laptop": Seed().flag(False).text(b"").text(b"ttyUSB0").text(b"ttyS0").text(b"ttyS3").text(b"ttyACM0"),
        "override-takes-uart": Seed().flag(False).text(b"COM1=/tmp/sim;COM7=/dev/ttyUSB0").text(b"ttyS0")
        .text(b"ttyS1").text(b"ttyUSB0").text(b"ttyUSB10").text(b"ttyUSB2").text(b"rfcomm0"),
        "odd-names": Seed().flag(False).text(b"").text(b"ttyUSB01").text(b"ttyUSB1").text(b"00").text(b"ttyS99999999999"),
    },
    "charset": {
        "gbk": Seed().data("串口设置 COM1".encode("gbk")).num(page(2), 0, 255),
        "gbk-cut": Seed().data("串口".encode("gbk") + b"\x81").num(page(2, True), 0, 255),
        "big5": Seed().data("序列埠設置".encode("big5")).num(page(3), 0, 255),
        "cp1252": Seed().data(b"\x80\x81\x8d\xe9 caf\xe9").num(page(4), 0, 255),
        "utf8": Seed().data("COM1 串口 \U0001F600 \uFFFE".encode()).num(page(0), 0, 255),
        "utf8-ill-formed": Seed().data(b"\xf8\x88\x80\x80\x80 \xf4\x90\x80\x80 \xc0\xaf \xed\xa0\x80 \xe4\xb8").num(page(0, True), 0, 255),
        "wide-units": Seed().data(b"A\x00\x00\x00\x00\x00\x11\x00\x00\xd8\x00\x00\x32\x4e\x00\x00").num(page(1, True), 0, 255),
        "wide-tag": Seed().data(b"A\x00\x00\x00\x10\x00\x0e\x00\x00\x83\x00\x00").num(page(4, True), 0, 255),
        "from-gbk": Seed().data("波特率=19200，数据位 8".encode("gbk") + b"\x81 x\xfe").num(0xFF, 0, 255),
    },
    "ctl_args": {
        "params-set": Seed().num(1, 0, 3).flag(True).num(0, 0, 22).flag(True).num(1, 0, 22).flag(True).num(17, 0, 22)
        .flag(True).num(18, 0, 22),
        "delete-escaped": Seed().num(1, 0, 3).flag(True).num(11, 0, 22).flag(False).text(b"/dev/ttyUSB0")
        .flag(True).num(4, 0, 22).flag(False).text(b"\\xc4\\xe3A     .GNS").flag(True).num(20, 0, 22),
        "upgrade-timeouts": Seed().num(2, 0, 3).flag(True).num(12, 0, 22).flag(False).text(b"0.5").flag(True).num(7, 0, 22)
        .flag(True).num(21, 0, 22).flag(True).num(13, 0, 22).flag(False).text(b"1e300"),
        "format-without-yes": Seed().num(3, 0, 3).flag(True).num(5, 0, 22),
        "help": Seed().num(1, 0, 3).flag(True).num(14, 0, 22),
        "name-text": Seed().num(0, 0, 3).data(b"\\xc4\\xE3A\\\\b.GNS"),
    },
    "sim_receiver": {
        "session": Seed().num(20, 0, 40).flag(True).flag(False).num(0, 0, 3).flag(False).num(0, 0, 1).flag(False).num(0, 0, 3)
        .num(5, 0, 700).num(len(UNLOG), 1, 64).data(UNLOG)
        .num(300, 0, 700).num(9, 1, 64).data(frame(b"F", b"J"))
        .num(20, 0, 700).num(11, 1, 64).data(frame(b"F", b"J", b"\x0f\x0a"))
        .num(20, 0, 700).num(12, 1, 64).data(frame(b"F", b"M", b"\x08\x00\x00"))
        .num(20, 0, 700).num(17, 1, 64).data(frame(b"F", b"D", b"BJ010601")),
        "upgrade": Seed().num(0, 0, 40).flag(True).flag(True).num(2, 0, 3).flag(True).num(2, 1, 4).num(1, 0, 1)
        .flag(True).num(2, 0, 255).num(2, 1, 3).num(1, 0, 3)
        .num(100, 0, 700).num(6, 1, 64).data(b"$$VS\x01\x00")
        .num(500, 0, 700).num(6, 1, 64).data(b"$$VS\x01\x00")
        .num(10, 0, 700).num(len(BLOCK), 1, 64).data(BLOCK)
        .num(10, 0, 700).num(len(BLOCK), 1, 64).data(BLOCK)
        .num(10, 0, 700).num(6, 1, 64).data(b"$$SRST"),
        "split-and-stale": Seed().num(3, 0, 40).flag(False).flag(False).num(1, 0, 3).flag(False).num(0, 0, 1).flag(False).num(0, 0, 3)
        .num(0, 0, 700).num(10, 1, 64).data(b"\x00\xff" + UNLOG[:8])
        .num(100, 0, 700).num(8, 1, 64).data(UNLOG[8:])
        .num(0, 0, 700).num(4, 1, 64).data(b"$$FJ")
        .num(600, 0, 700).num(9, 1, 64).data(frame(b"F", b"J"))
        .num(0, 0, 700).num(24, 1, 64).data(b"$$S\x05\x10\x00" + frame(b"F", b"J") + b"U" * 9),
    },
}

here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
for target, files in seeds.items():
    folder = os.path.join(here, target)
    os.makedirs(folder, exist_ok=True)
    for old in os.listdir(folder):
        os.remove(os.path.join(folder, old))
    for name, seed in files.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(seed.bytes())
