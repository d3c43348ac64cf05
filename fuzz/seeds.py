#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target into fuzz/corpus/<target>/.

The targets read their input with libFuzzer's FuzzedDataProvider: strings
from the front (a backslash doubles itself; backslash + other ends a string),
integers and booleans from the back. Seed builds inputs in that layout, so
each seed starts the fuzzer from a meaningful conversation.
Run it after changing how a target reads its input; crash inputs that became
regressions are kept in the same folders under names starting "crash-".
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


class Seed:
    def __init__(self):
        self.front = b""
        self.back = []  # in the order the target consumes them

    def text(self, s):
        raw = s.encode("latin-1") if isinstance(s, str) else s
        self.front += raw.replace(b"\\", b"\\\\") + b"\\n"
        return self

    def rest(self, s):
        self.front += s.encode("latin-1") if isinstance(s, str) else s
        return self

    def number(self, value, lo, hi):
        span, count = hi - lo, 0
        while count < 8 and (span >> (8 * count)) > 0:
            count += 1
        offset = value - lo
        for i in reversed(range(count)):  # most significant byte is consumed first
            self.back.append((offset >> (8 * i)) & 0xFF)
        return self

    def flag(self, value):
        self.back.append(1 if value else 0)
        return self

    def bytes(self):
        return self.front + bytes(reversed(self.back))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as out:
        out.write(data)


def unit_link():
    def chunks(name, parts):
        seed = Seed()
        for connection, data, drop, send in parts:
            seed.number(connection, 0, 3).number(1 if not drop else 0, 0, 15)
            if not drop:
                seed.text(data).flag(send)
        write("unit_link_fuzzer", name, seed.bytes())

    chunks("register_and_text", [(0, "CS_ADD_NAME 0 SU1#CS_TEXT SU1 DU_CHECK#", False, True),
                                 (1, "CS_ADD_NAME 1 CU#CS_FILE CU log/SU1/T1.dat#", False, False)])
    chunks("split_messages", [(0, "CS_TEXT SU1 DU_SAVE", False, False), (1, "CS_TEXT CU DU_CH", False, False),
                              (0, "LOG T1 1#CS_REM", False, False), (1, "ECK#", False, False),
                              (0, "OVE_NAME SU1#", False, True)])
    chunks("bad_slots", [(2, "CS_ADD_NAME 20 X#CS_ADD_NAME -1 Y#CS_ADD_NAME x Z#CS_TEXT A B C#", False, False)])
    chunks("drop_half", [(3, "CS_TEXT SU9 half", False, False), (3, "", True, False),
                         (3, "CS_TEXT SU9 whole#", False, False)])
    chunks("empty_and_blank", [(0, "###CS_TEXT#CS_TEXT #CS_TEXT  x#", False, False)])


def dispatcher():
    def conversation(name, lines, sweep_at=None):
        seed = Seed()
        for i, (sender, text) in enumerate(lines):
            seed.text(sender).text(text).number(0 if i == sweep_at else 1, 0, 31)
        write("dispatcher_fuzzer", name, seed.bytes())

    conversation("make_and_save", [("SU1", "DU_MAKESUDIR"), ("SU1", "DU_MAKECAMDIR camera_cam0"),
                                   ("SU1", "DU_MAKESENSORFILE T2"), ("SU1", "DU_SAVELOG T2 06.12.2026 21.5")])
    conversation("queries", [("CU", "DU_CUINIT"), ("CU", "DU_GIVELOGFILENAMES SU1"),
                             ("CU", "DU_GETALLPICTURES SU1"), ("CU", "DU_GIVELATESTPICTUREFILENAME SU1"),
                             ("CU", "DU_GETCONFIGNAMES"), ("SU1", "DU_SUISTHERECONFIG")])
    conversation("alarms", [("AU", "DU_AUINIT"), ("SU1", "DU_SUALARM fire"), ("AU", "DU_AUALARM door open"),
                            ("CU", "DU_GIVEALARMFILENAME")])
    conversation("hostile_names", [("..", "DU_MAKESUDIR"), ("SU1", "DU_MAKECAMDIR ..\\..\\x"),
                                   ("SU1", "DU_MAKESENSORFILE ../x"), ("a\\b", "DU_SAVELOG T1 1"),
                                   ("SU1", "DU_SAVELOG ..\\x 1"), ("SU1", "DU_AUALARM /tmp/x y")])
    conversation("old_records", [("SU1", "DU_SAVELOG T1 01.01.2020 1"), ("SU1", "DU_SAVELOG T1 06.12.2026 2"),
                                 ("SU1", "DU_CHECK")], sweep_at=2)
    conversation("forwards", [("SU1", "DU_SAVECONFIG"), ("CU", "DU_NEWCONFIGEXISTS SU1"),
                              ("CU", "DU_TAKENEWPICTURE SU1"), ("SU1", "DU_NEWPICTUREEXISTS")])


def word(value):
    return struct.pack(">H", value)


def tftp_request():
    target = "tftp_request_fuzzer"
    write(target, "read", word(1) + b"log/SU1/T1.dat\0octet\0")
    write(target, "write_blksize", word(2) + b"config/SU1.ini\0netascii\0blksize\x001428\0")
    write(target, "options", word(1) + b"a\0OCTET\0BlkSize\x008\0tsize\x000\0blksize\x0099999\0odd\0")
    write(target, "cut_short", word(2) + b"log/x")
    write(target, "other_opcode", word(4) + word(1))


def tftp_session():
    target = "tftp_session_fuzzer"
    names = ["log/SU1/T1.dat", "config/SU1.ini", "alarms/new.dat", "LOG/su1/t1.DAT", "log/../escape",
             "../escape", "/etc/hostname", "log/out/x", "log/SU1/new.dat", "log\\SU1\\T1.dat"]

    def session(name, opcode, file_index, mode, packets, blksize=None):
        seed = Seed().number(1, 0, 7).number(opcode, 1, 2).flag(False).number(file_index, 0, len(names) - 1)
        seed.number(mode, 0, 3).flag(blksize is not None)
        if blksize is not None:
            seed.text(blksize)
        for kind, block, extra in packets:
            seed.number(block, 0, 6).number(kind, 0, 4)
            if kind == 2:
                seed.number(extra, 0, 520)
            elif kind == 3:
                seed.number(extra, 0, 255)
            seed.number(1, 0, 9)
        write(target, name, seed.bytes())

    session("read_acked", 1, 0, 0, [(0, 1, 0)])
    session("write_two_blocks", 2, 2, 0, [(2, 1, 512), (2, 2, 10), (2, 2, 10)])
    session("write_blksize", 2, 8, 2, [(0, 0, 0), (2, 1, 8), (2, 2, 3)], blksize="8")
    session("read_error", 1, 1, 1, [(3, 0, 0)])
    session("escape", 2, 4, 0, [(2, 1, 5)])
    session("absolute", 1, 6, 0, [(0, 1, 0)])


def short_date():
    target = "short_date_fuzzer"
    for name, pattern, year, text in [("german", "%d.%m.%Y", 2026, "06.12.2026"),
                                      ("us", "%m/%d/%y", 2026, "12/6/26"),
                                      ("iso", "%F", 2026, "2026-12-06"),
                                      ("leap", "%d.%m.%Y", 2024, "29.02.2024"),
                                      ("not_a_date", "%d.%m.%Y", 2026, "31.02.2026")]:
        write(target, name, Seed().text(pattern).number(year, 1951, 2999).rest(text).bytes())


def path_resolver():
    target = "path_resolver_fuzzer"
    for name, path in [("tree", ".\\log\\SU1\\"), ("mixed_case", "LOG/su1/camera_cam0/P.JPG"),
                       ("parent", "log/../../etc/passwd"), ("link_out", "log/out/tree/log/SU1/T1.dat"),
                       ("link_in", "alarms/inside.dat"), ("absolute", "/etc/passwd"),
                       ("private", "alarms/private/key")]:
        write(target, name, path.encode())


if __name__ == "__main__":
    unit_link()
    dispatcher()
    tftp_request()
    tftp_session()
    short_date()
    path_resolver()
