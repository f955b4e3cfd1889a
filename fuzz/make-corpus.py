#!/usr/bin/env python3
"""Writes the hand-made part of tests/corpus: for each fuzz target, a few well-formed inputs (so the
fuzzers start past the first checks) and deliberately broken ones (cut short, counts larger than
what follows, cut-off UTF-8, huge string counts, damaged databases). The inputs the fuzzers found
are added beside them by hand (see README.md); this script only rewrites the files it names.

Usage: fuzz/make-corpus.py [--seeds] [corpus folder, default tests/corpus]
--seeds also writes a well-formed PDU of each command: for a scratch folder that starts a fuzzing
session, not for the corpus the tests replay.
"""
import os
import struct
import sys

ARGS = [a for a in sys.argv[1:] if a != "--seeds"]
SEEDS = "--seeds" in sys.argv[1:]
ROOT = ARGS[0] if ARGS else os.path.join(os.path.dirname(__file__), "..", "tests", "corpus")

# Task ids the PDU target's plug-in draws: the folder download, the file download, the upload.
TASK_FOLDER, TASK_FILE, TASK_UPLOAD = 1, 2, 3


def u32(v):
    return struct.pack(">I", v & 0xFFFFFFFF)


def i16(v):
    return struct.pack(">H", v & 0xFFFF)


def text(s):
    b = s.encode("utf-8") if isinstance(s, str) else s
    return u32(len(b)) + b


def dt(year=2008, month=1, day=10, hour=21, minute=20, second=0):
    word1 = (1 << 30) | (year << 4) | month
    word2 = (day << 27) | (hour << 22) | (minute << 16) | (second << 10)
    return u32(word1) + u32(word2)


def write(target, name, data):
    folder = os.path.join(ROOT, target)
    os.makedirs(folder, exist_ok=True)
    assert len(data) < 4096, name
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# ------------------------------------------------------------------------------------------------
# PDUs: 2 bytes command (command - 4096), 1 byte channel (0 = 1024, 1 = 1025), then the payload.


def pdu(command, payload, channel=0):
    return struct.pack(">H", command - 4096) + bytes([channel]) + payload


def pdus():
    t = "ZylPduFuzz"
    root_item = u32(1) + text("Tree") + text("Folder") + i16(7) + dt() + dt() + u32(0)
    folder_item = u32(0) + text("a.txt") + text("Text") + u32(10) + dt()
    well_formed = {
        4096: dt(),
        4097: u32(0) + u32(1) + u32(0) + u32(1) + root_item,
        4098: dt() + text("Tree\\sub"),
        4099: u32(0) + u32(1) + u32(0) + u32(1) + folder_item,
        4100: u32(77) + u32(0) + dt() + text("Tree\\notes.txt") + u32(0),
        4101: dt() + u32(TASK_FILE) + u32(0) + u32(0) + u32(1) + u32(0) + u32(0) + u32(5) + b"hello",
        4102: u32(78) + dt() + u32(1) + text("Tree"),
        4103: dt() + u32(TASK_FOLDER) + u32(0) + u32(2) + u32(0) + u32(2)
        + text("Remote\\folder\\a.txt") + u32(3) + dt() + text("Remote\\folder\\b\\c.txt") + u32(0) + dt(),
        4106: u32(79) + dt() + text("Tree\\up"),
        4107: dt() + u32(TASK_UPLOAD) + u32(1),
        4108: u32(79) + u32(0) + dt() + text("Tree") + text("new.txt") + u32(5) + dt() + u32(0) + u32(1)
        + u32(5) + b"world",
        4109: dt() + u32(TASK_UPLOAD) + u32(0) + u32(0) + u32(7168) + u32(1),
        4110: u32(79) + dt() + text("Tree") + text("notes.txt") + u32(0),
        4111: dt() + u32(TASK_UPLOAD) + u32(0) + u32(0),
        4112: dt(),
        4113: dt() + u32(2) + u32(2) + text("Tree\\notes.txt") + u32(4) + text("Tree"),
        4114: dt() + u32(77) + u32(2) + text("Tree\\notes.txt") + u32(0),
        4116: dt() + u32(TASK_FOLDER),
        4117: u32(8) + u32(0) + u32(0) + u32(3) + b"abc",
    }
    for command, payload in well_formed.items():
        channel = 1 if command == 4101 else 0
        # Whole PDUs only start a fuzzing session: the fuzzers' own finds cover the same ground.
        if SEEDS:
            write(t, f"{command}-whole", pdu(command, payload, channel))
        # Cut short: every handler must drop what it cannot read to the end.
        write(t, f"{command}-cut", pdu(command, payload[: max(1, len(payload) * 2 // 3)], channel))

    # Counts larger than the payload.
    write(t, "4097-count-beyond-payload", pdu(4097, u32(0) + u32(5) + u32(0) + u32(0x7FFFFFFF) + root_item))
    write(t, "4103-count-beyond-payload",
          pdu(4103, dt() + u32(TASK_FOLDER) + u32(0) + u32(0xFFFFFFFF) + u32(0) + u32(0xFFFFFFFF)
              + text("Remote\\folder\\a.txt") + u32(3) + dt()))
    write(t, "4113-count-beyond-payload", pdu(4113, dt() + u32(0x7FFFFFFF) + u32(2) + text("Tree")))
    write(t, "4101-length-beyond-payload",
          pdu(4101, dt() + u32(TASK_FILE) + u32(0) + u32(0) + u32(1) + u32(0) + u32(0) + u32(0x7FFFFFFF)
              + b"hello", 1))
    write(t, "4101-negative-length",
          pdu(4101, dt() + u32(TASK_FILE) + u32(0) + u32(0) + u32(1) + u32(0) + u32(0) + u32(0xFFFFFFFF), 1))
    write(t, "4108-negative-length",
          pdu(4108, u32(79) + u32(0) + dt() + text("Tree") + text("new.txt") + u32(5) + dt() + u32(0) + u32(1)
              + u32(0xFFFFFFF0) + b"world"))
    write(t, "4117-data-beyond-payload", pdu(4117, u32(8) + u32(0) + u32(0) + u32(0x7FFFFFFF) + b"ab"))
    write(t, "4117-code-out-of-table", pdu(4117, u32(0xFFFFFFFF) + u32(0) + u32(0) + u32(0)))
    # Huge string counts.
    write(t, "4098-huge-string-count", pdu(4098, dt() + u32(0xFFFFFFFF) + b"Tree"))
    write(t, "4102-huge-string-count", pdu(4102, u32(78) + dt() + u32(1) + u32(0x7FFFFFFF) + b"Tree"))
    # Strings with cut-off or bad UTF-8.
    write(t, "4098-cut-utf8", pdu(4098, dt() + text(b"Tree\\\xe4\xb8")))
    write(t, "4100-lone-lead-byte", pdu(4100, u32(77) + u32(0) + dt() + text(b"Tree\\\xf0A") + u32(0)))
    write(t, "4103-cut-utf8-name",
          pdu(4103, dt() + u32(TASK_FOLDER) + u32(0) + u32(1) + u32(0) + u32(1) + text(b"Remote\\folder\\\xe4")
              + u32(3) + dt()))
    # Paths that try to leave the share or the download folder.
    write(t, "4098-dot-dot", pdu(4098, dt() + text("Tree\\..\\..")))
    write(t, "4108-dot-dot-name",
          pdu(4108, u32(79) + u32(0) + dt() + text("Tree") + text("..\\..\\escaped.txt") + u32(5) + dt()
              + u32(0) + u32(1) + u32(5) + b"world"))
    write(t, "4103-dot-dot-entry",
          pdu(4103, dt() + u32(TASK_FOLDER) + u32(0) + u32(1) + u32(0) + u32(1)
              + text("Remote\\folder\\..\\..\\..\\escaped.txt") + u32(3) + dt()))
    # Regression: the last piece of an upload carries a modification time the file clock cannot
    # hold (the year 9999); and one far off that it still holds (2300).
    for year in (9999, 2300):
        write(t, f"4108-last-piece-year-{year}",
              pdu(4108, u32(79) + u32(0) + dt() + text("Tree") + text("new.txt") + u32(5) + dt(year) + u32(0)
                  + u32(1) + u32(5) + b"world"))
    # A request on the data channel, and on a channel the host never opened.
    write(t, "4100-wrong-channel", pdu(4100, well_formed[4100], 1))
    write(t, "4096-unopened-channel", pdu(4096, dt(), 0xF3))


# ------------------------------------------------------------------------------------------------
# Databases: UTF-16LE lines ending in LF.


def utf16(lines):
    return "".join(line + "\n" for line in lines).encode("utf-16-le")


def share_header(login="S1.1000"):
    return ["#zyl share file, version=Beta0.1", f"#id={login}"]


def share_record(name="Docs", path="/home/u", users=(("Everyone", 2, 3),)):
    lines = ["[ShareObjectBegin]", f"ShareName={name}", "ShareTime=2008-01-10 21:20:00", f"Name={name.lower()}",
             f"Path={path}", "Size=0", "bUnlimitedUserNumber=1", "nLimitedUserNumber=0",
             "Time=2008-01-01 00:00:00", "Type=Folder", "bFolder=1", f"PrivilegedUsers={len(users)}"]
    for uid, kind, priv in users:
        lines += ["[begin]", f"id={uid}", f"type={kind}", f"privilege={priv}", "[end]"]
    return lines + ["[ShareObjectEnd]"]


def share_dbs():
    t = "ZylShareDbFuzz"
    two = share_header() + ["NoUpload=0", "ShareNum=2"] + share_record() \
        + share_record("Music", "/data", (("S1.2000", 1, 7), ("Everyone", 2, 1)))
    whole = utf16(two)
    write(t, "whole", whole)
    write(t, "cut-in-record", whole[: len(whole) // 2])
    write(t, "cut-odd-byte", whole[:-1])
    write(t, "count-beyond-records", utf16(share_header() + ["NoUpload=1", "ShareNum=5"] + share_record()))
    write(t, "count-huge", utf16(share_header() + ["NoUpload=0", "ShareNum=2147483647"] + share_record()))
    write(t, "count-negative", utf16(share_header() + ["NoUpload=0", "ShareNum=-4"] + share_record()))
    rec = share_record()
    rec[11] = "PrivilegedUsers=999999999"
    write(t, "entry-count-huge", utf16(share_header() + ["NoUpload=0", "ShareNum=1"] + rec))
    write(t, "foreign-id", utf16(share_header("S9.9999") + ["NoUpload=0", "ShareNum=1"] + share_record()))
    write(t, "upper-case-id", utf16(share_header("s1.1000") + ["NoUpload=0", "ShareNum=1"] + share_record()))
    write(t, "line-longer-than-323", utf16(share_header() + ["NoUpload=0", "ShareNum=1"]
                                           + share_record("L" * 400, "/p" * 200)))
    write(t, "header-without-equals", utf16(["#zyl share file, version Beta0.1", "#id S1.1000", "NoUpload=0",
                                              "ShareNum=1"] + share_record()))
    write(t, "value-lines-without-equals", utf16(share_header() + ["0", "1"]
                                                 + [line.split("=", 1)[-1] for line in share_record()]))
    write(t, "crlf-lines", "".join(line + "\r\n" for line in share_header() + ["NoUpload=0", "ShareNum=1"]
                                   + share_record()).encode("utf-16-le"))
    weird = share_record("A\u0a0dB", "/x\u0a0d")
    write(t, "unit-0a0d", utf16(share_header() + ["NoUpload=0", "ShareNum=1"] + weird))
    cut_surrogate = utf16(share_header() + ["NoUpload=0", "ShareNum=1"]) + "[ShareObjectBegin]\nShareName=".encode(
        "utf-16-le") + b"\x3d\xd8\n\x00"
    write(t, "lone-surrogate", cut_surrogate)
    write(t, "nul-units", utf16(share_header() + ["NoUpload=0", "ShareNum=1"] + share_record("N\0ul", "/a\0b")))
    write(t, "bad-times", utf16(share_header() + ["NoUpload=0", "ShareNum=1"]
                                + [line.replace("2008-01-10 21:20:00", "2008-13-45 99:99:99")
                                   .replace("2008-01-01 00:00:00", "9999-12-31 23:59:59") for line in share_record()]))
    write(t, "header-only", utf16(share_header()))
    write(t, "empty", b"")


def task_header(login="S1.1000"):
    return ["#zyl task file, version=Beta0.1", f"#id={login}", "AutoStartAllTasks=0", "MaxTaskNumber=-1"]


def file_block(name="a.txt", size=10, offset=4):
    return ["[FileBegin]", f"RemoteName=Docs\\{name}", "LocalPath=/home/u/down", f"LocalName={name}",
            f"FileSize={size}", f"FileOffset={offset}", "LastModifiedTime=2008-01-01 00:00:00", "[FileEnd]"]


def task_block(task_id=1, folder=1, files=2, list_end=1, kind=2):
    lines = ["[TaskBegin]", f"TaskID={task_id}", "ShareTime=2008-01-10 21:20:00", f"Type={kind}",
             "UserID=S1.2000", f"Folder={folder}", "Finished=0", "FileIndex=0", "TotalSize=20",
             "CurrentSize=4", "AutoStartWhenUserOnline=1", f"FileListEnd={list_end}", "timespent=3",
             "TaskStartTime=2008-01-10 21:00:00", "RemoteName=Docs", "LocalPath=/home/u/down", "LocalName=Docs",
             f"file={files if list_end else 0}"]
    if list_end:
        for i in range(files):
            lines += file_block(f"f{i}.txt")
    return lines + ["[TaskEnd]"]


def task_dbs():
    t = "ZylTaskDbFuzz"
    two = task_header() + ["TaskNum=2"] + task_block() + task_block(2, 0, 1, 1, 4)
    whole = utf16(two)
    write(t, "whole", whole)
    write(t, "cut-in-task", whole[: len(whole) // 2])
    write(t, "cut-in-file-block", whole[: len(whole) * 3 // 8])
    write(t, "cut-odd-byte", whole[:-1])
    write(t, "count-beyond-tasks", utf16(task_header() + ["TaskNum=9"] + task_block()))
    write(t, "count-huge", utf16(task_header() + ["TaskNum=2147483647"] + task_block()))
    write(t, "count-negative", utf16(task_header() + ["TaskNum=-1"] + task_block()))
    blk = task_block()
    blk[17] = "file=2000000000"
    write(t, "file-count-huge", utf16(task_header() + ["TaskNum=1"] + blk))
    write(t, "list-not-ended-with-files", utf16(task_header() + ["TaskNum=1"]
                                                + task_block(list_end=0)[:-2] + ["file=2"] + file_block()
                                                + file_block() + ["[TaskEnd]"]))
    write(t, "foreign-id", utf16(task_header("S9.9999") + ["TaskNum=1"] + task_block()))
    write(t, "line-longer-than-323", utf16(task_header() + ["TaskNum=1"]
                                           + [line.replace("RemoteName=Docs", "RemoteName=" + "R" * 400)
                                              for line in task_block()]))
    write(t, "header-without-equals", utf16(["#zyl task file version Beta0.1", "#id", "AutoStartAllTasks=0",
                                              "MaxTaskNumber=-1", "TaskNum=1"] + task_block()))
    write(t, "numbers-out-of-range", utf16(task_header() + ["TaskNum=1"]
                                           + [line.replace("TotalSize=20", "TotalSize=-2147483648")
                                              .replace("CurrentSize=4", "CurrentSize=99999999999")
                                              .replace("FileIndex=0", "FileIndex=-7")
                                              .replace("Type=2", "Type=3") for line in task_block()]))
    # Regression: a ratio of sizes beyond what the percentage's int holds.
    write(t, "percent-beyond-int", utf16(task_header() + ["TaskNum=1"]
                                         + [line.replace("TotalSize=20", "TotalSize=1")
                                            .replace("CurrentSize=4", "CurrentSize=2147483647")
                                            for line in task_block()]))
    write(t, "long-user-id", utf16(task_header() + ["TaskNum=1"]
                                   + [line.replace("UserID=S1.2000", "UserID=S1.2000" + "9" * 40)
                                      for line in task_block()]))
    write(t, "unit-0a0d", utf16(task_header() + ["TaskNum=1"]
                                + [line.replace("LocalName=Docs", "LocalName=D\u0a0d") for line in task_block()]))
    write(t, "crlf-lines", "".join(line + "\r\n" for line in task_header() + ["TaskNum=1"] + task_block())
          .encode("utf-16-le"))
    write(t, "empty", b"")


# ------------------------------------------------------------------------------------------------
# Frames and topics of the broker.


def frames():
    t = "ZylFrameFuzz"

    def frame(kind, command=0, stream=1, seq=1, payload=b"", version=1, reserved=0):
        return bytes([version, kind]) + struct.pack(">HIQQ", reserved, command, stream, seq) + payload

    write(t, "data", frame(1, 4096, 5, 1, b"\x00\x01"))
    write(t, "accept-stream-ref", frame(3, 0, 6, 1, struct.pack(">Q", 5)))
    write(t, "ack-short-ref", frame(5, 0, 5, 9, b"\x00\x01\x02"))
    write(t, "reset", frame(6, 0, 5, 0))
    write(t, "kind-unknown", frame(7))
    write(t, "kind-zero", frame(0))
    write(t, "version-two", frame(1, version=2))
    write(t, "reserved-not-zero", frame(1, 4097, reserved=0xFFFF))
    write(t, "header-cut", frame(1, 4096)[:23])
    def bundle(*entries):
        return b"\x02\x00\x00\x00" + b"".join(struct.pack(">iI", channel, len(body)) + body
                                              for channel, body in entries)

    write(t, "bundle", bundle((1024, frame(2, 0, 5, 1)), (1025, frame(1, 4101, 5, 2, b"\x00\x01"))))
    write(t, "bundle-cut", bundle((1024, frame(2, 0, 5, 1)), (1025, frame(1, 4101, 5, 2)))[:-3])
    write(t, "bundle-channel-zero", bundle((0, frame(1, 4096))))
    write(t, "bundle-of-bundle", bundle((1024, bundle((1024, frame(1, 4096))))))
    write(t, "topic-pdu", b"zylfs/pdu/S1.1000/S1.2000/1024")
    write(t, "topic-leading-zero-channel", b"zylfs/pdu/S1.1000/S1.2000/01025")
    write(t, "topic-channel-overflow", b"zylfs/pdu/a/b/99999999999")
    write(t, "topic-negative-channel", b"zylfs/pdu/a/b/-1")
    write(t, "topic-extra-level", b"zylfs/pdu/a/b/c/1024")
    write(t, "topic-empty-user", b"zylfs/pdu//b/1024")
    write(t, "topic-wildcard-user", b"zylfs/pdu/+/b/1024")
    write(t, "topic-presence", b"zylfs/presence/S1.1000")
    write(t, "topic-presence-nested", b"zylfs/presence/S1/1000")
    write(t, "topic-long-user", b"zylfs/presence/" + b"u" * 65)


pdus()
share_dbs()
task_dbs()
frames()
