#!/usr/bin/env python3
"""Writes the hand-made seed inputs (seed-*) and reproducers of findings (regress-*) into
fuzz/corpus/<target>/.

Each input starts with the number of control bytes at its end (see FuzzInput.hpp); control
bytes are read from the end backwards. Inputs libFuzzer found are kept beside these under their
SHA-1 names.
"""
import os

HERE = os.path.dirname(os.path.abspath(__file__))


def control_input(payload: bytes, control: bytes = b"") -> bytes:
    """payload, then control given in the order the target reads it."""
    return bytes([len(control)]) + payload + control[::-1]


def write(target: str, name: str, data: bytes, kind: str = "seed") -> None:
    directory = os.path.join(HERE, "corpus", target)
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, kind + "-" + name), "wb") as f:
        f.write(data)


# Client bytes. Control, in the order the target reads it: the size of each read, before a CV
# or register read the value the station reports, each station command's outcome (0 Done,
# 1 Refused, 2 Unknown, 3 NotSent).
client = {
    "q-short-128": b"Q 03 3F 85 B9\r",
    "q-long-128": b"Q C4 D2 3F 64 4D\r",
    "q-short-28": b"Q 03 46 45\r",
    "q-long-28": b"Q C0 64 73 D7\r",
    "q-reverse": b"Q C0 03 3F 85 79\rQ C0 03 3F 05 F9\rQ C0 03 3F 05 F9\r",
    "s-f0-f4": b"S 01 03 90 93\r",
    "s-f13-f20": b"S 03 C4 D2 DE 01 C9\r",
    "s-accessory": b"S 02 81 F8 79\r",
    "s-turnouts": b"S 02 81 F9 78\rS 02 81 F9 78\rS 02 BF 8E 31\rS 02 81 F1 70\r",
    "cv-read": b"R 001\r",
    "cv-write": b"P 001 03\r",
    "registers": b"E\rM\rV1\rV6\rS1 05\rS6 05\rV\rX\rX\r",
    "ops-mode": b"S 01 03 EC 01 05 EB\r",
    "consist": b"GD 01\rGD 012\rG\r",
    "letters": b"C\rE\rF\rK\rL 0003\rM\rV\rX\re\r\r",
    "dequeue": b"Q 03 3F 85 B9\rD 00 03\rQ 03 3F 85 B9\r",
    "crlf": b"E\r\nK\r\n",
}
for name, payload in client.items():
    write("fuzz_client", name, control_input(payload))
# Byte by byte, the line feed of a CR LF in a read of its own.
write("fuzz_client", "split-crlf", control_input(b"E\r\nK\r\n", bytes([1, 1, 1, 1, 1, 1])))
# A CV read whose station reports 0xFF, one that reports 0x100, one refused.
write("fuzz_client", "cv-read-ff", control_input(b"R 0FF\r", bytes([0, 2, 0])))
write("fuzz_client", "cv-read-100", control_input(b"R 0FF\r", bytes([0, 3, 0])))
write("fuzz_client", "cv-read-refused", control_input(b"R 001\r", bytes([0, 0, 1])))
# A CV write and a register write the station did not confirm are answered "--".
write("fuzz_client", "cv-write-unknown", control_input(b"P 001 03\rS1 05\r", bytes([0, 2, 1])))
# A refused speed is sent again when the packet repeats.
write("fuzz_client", "refused-speed",
      control_input(b"Q 03 3F 85 B9\rQ 03 3F 85 B9\r", bytes([14, 1, 14, 0])))
# Track power commands whose outcome is unknown are sent again, three times at most; "X" after a
# read switches the track back on, and tries again when that fails.
write("fuzz_client", "power-unknown",
      control_input(b"E\rK\rE\r", bytes([0, 2, 2, 0, 2, 2, 2, 1])))
write("fuzz_client", "restore-after-read",
      control_input(b"E\rR 001\rX\rX\r", bytes([0, 0, 0, 0, 1, 0])))
# A stop whose outcome is unknown is written again; a lost link stops the writing until the
# next wish.
write("fuzz_client", "stop-unknown",
      control_input(b"Q 03 3F 85 B9\rQ 03 3F 80 BC\rQ 05 3F 85 BF\rQ 06 3F 85 BC\r",
                    bytes([0, 0, 2, 0, 0, 0, 3])))
# Seven full reads without a carriage return: the client is dropped, the next one served.
write("fuzz_client", "flood", control_input(b"E\r", bytes([0xFF] * 7 + [0])))

# Station bytes: the first payload byte is the mode (fuzz_station.cpp); control: the CV number
# of a read first, then chunk sizes (each also the chunk's time in units of 10 ms).
BOOT = (b"Desktop Station air\r\nHW: DSair2\r\n-------------\r\nInit SD card...OK\r\n"
        b"100 Ready\r\n")
PING = (b"@DSG,00,03,00,02,00,00,00,00\r\n@DSS," + b"0" * 265 + b"\r\n200 Ok\r\n")
SHORT_PING = b"@DSG,00\r\n200 Ok\r\n"


def status_body(power: bytes, error: bytes, supply: bytes) -> bytes:
    """The 265 characters after "@DSS," as the station lays them out."""
    body = bytearray(b"0" * 265)
    for i in (1, 3, 5, 7, 11, 14, 16, 19):
        body[i:i + 1] = b","
    for i in (31, 47, 112):
        body[i:i + 1] = b";"
    body[0:1], body[2:3], body[4:5], body[8:11], body[15:16], body[17:19] = (
        power, error, b"8", supply, b"2", b"17")
    return bytes(body)


TRIPPED_PING = (b"@DSG,00,03,00,02,00,00,00,00\r\n@DSS," + status_body(b"N", b"8", b"148") +
                b"\r\n200 Ok\r\n")
station = {
    "boot": (0x00, BOOT, b""),
    "boot-retry": (0x00, b"Init SD card...Retry\r\nNG\r\n100 Ready\r\n", bytes([7, 5, 1])),
    "idle-cv-line": (0x04, b"@CV,49152,8,145,\r\n200 Ok\r\n", bytes([8])),
    "power-ok": (0x01, b"200 Ok\r\n", b""),
    "power-cmd-err": (0x01, b"300 Cmd err\r\n201 Busy\r\n", b""),
    "config-write": (0x11, b"@CVWrite,1,3\r\n200 Ok\r\n", b""),
    "speed-lf-only": (0x21, b"200 Ok\n", b""),
    "ping": (0x31, PING, b""),
    "ping-tripped": (0x31, TRIPPED_PING, b""),
    "cv-read": (0x03, b"@CV,49152,8,145,\r\n200 Ok\r\n", b""),
    "cv-read-device": (0x03, b"@CV,49162,8,129,\r\n200 Ok\r\n", b""),
    "cv-read-failed": (0x03, b"@CV,49152,8,65535,\r\n200 Ok\r\n", b""),
    "cv-read-cv1": (0x03, b"@CV,49152,1,3,\r\n200 Ok\r\n", bytes([1])),
    "cv-read-split": (0x03, b"@CV,49152,8,145,\r\n200 Ok\r\n", bytes([8, 1, 5, 3, 11, 2])),
    "cv-read-wrong-cv": (0x03, b"@CV,49152,7,145,\r\n200 Ok\r\n", b""),
    "cv-read-three": (0x03, b"@CV,49152,8,145\r\n200 Ok\r\n", b""),
    "cv-read-error": (0x03, b"@CV,49152,8,145,\r\n300 Cmd err\r\n", b""),
    "long-status": (0x48, b"200 Ok\r\n", b""),
    "long-data": (0x5C, b"\r\n200 Ok\r\n", b""),
    "nul-and-space": (0x00, b" 200 Ok\r\n\x00200\r\n\r\n-5 x\r\n", b""),
    "stx-err": (0x01, b"301 Stx err\r\n200 Ok\r\n", b""),
    "boot-then-reset": (0x04, BOOT + BOOT, b""),
    "reset-under-way": (0x03, BOOT + b"@CV,49152,8,145,\r\n200 Ok\r\n", b""),
    # The deadline passes while a long line of noise arrives; the answer after it is late.
    "time-out": (0x01, b"x" * 150 + b"\r\n200 Ok\r\n", bytes([152, 0])),
    # Out of step: the late answer before the ping's mark, then its own.
    "resync-late-answer": (0xB1, b"200 Ok\r\n" + PING, b""),
    # Out of step: an earlier ping's answer taken for the ping's own, its own then late, and
    # nothing after the mark (the second time-out in a row).
    "resync-late-ping": (0xB1, PING + PING, b""),
    "resync-no-mark": (0xB1, b"200 Ok\r\n" + b"y" * 150 + b"\r\n", bytes([8, 152])),
    # An earlier ping's answer taken for the ping's own; its own comes after "setPower(0)" went
    # out (bit 2), wholly or only its status line, and must not answer it.
    "stray-after-follow-up": (0xB5, SHORT_PING + SHORT_PING + b"300 Cmd err\r\n", bytes([17, 0])),
    "stray-split-by-follow-up": (0xB5, SHORT_PING + b"@DSG,00\r\n200 Ok\r\n300 Cmd err\r\n",
                                 bytes([26, 0])),
    "follow-up-after-reset": (0x05, b"100 Ready\r\n@DSG,00\r\n200 Ok\r\n", bytes([11, 0])),
    # A ping answer announced, then silence past the deadline: the ping after it finds its mark,
    # which settles what was announced before.
    "mark-settles-announced": (0x05, b"@DSG,00\r\n" + b"y" * 150 + b"\r\n" + SHORT_PING,
                               bytes([9, 152, 0])),
}
for name, (mode, payload, control) in station.items():
    write("fuzz_station", name, control_input(bytes([mode]) + payload, control))
# A line with the code 100 that is not the ready notice, while a CV read waits and while the
# line boots: neither a reset nor the end of the boot.
write("fuzz_station", "code-100-is-no-ready-notice",
      control_input(bytes([0x03]) + b"100k\r\n@CV,49152,8,145,\r\n200 Ok\r\n"), "regress")
write("fuzz_station", "code-100-does-not-end-the-boot",
      control_input(bytes([0x04]) + b"100k\r\n100\r\n" + BOOT), "regress")


# Packets: records, op first (fuzz_packets.cpp); control: each written command's outcome and
# time.
DONE, REFUSED, UNKNOWN_CARRIED, UNKNOWN_LOST, NOT_SENT = range(5)


def outcome(code: int, ms: int = 100) -> int:
    return code | (ms // 10) << 3


def raw(letter: str, text: bytes) -> bytes:
    op = 3 + 8 * "QSD".index(letter)
    return bytes([op, len(text)]) + text


def built_q(packet: bytes) -> bytes:
    """packet without its check byte, which the target computes."""
    return bytes([8 * (len(packet) - 2)]) + packet


def built_s(packet: bytes) -> bytes:
    return bytes([1 + 8 * (len(packet) - 1)]) + packet


def speed(address: int, step: int, forward: bool = True) -> bytes:
    """A short address's 128-step speed packet."""
    return built_q(bytes([address, 0x3F, (0x80 if forward else 0) | step]))


def f0_f4(address: int, bits: int) -> bytes:
    return built_s(bytes([2, address, 0x80 | bits, (0x80 | bits) ^ address]))


def turnout(decoder: int, pair: int, coil: int) -> bytes:
    first = 0x80 | (decoder & 0x3F)
    second = 0x88 | ((~decoder >> 6) & 7) << 4 | pair << 1 | coil
    return built_s(bytes([2, first, second, first ^ second]))


def run(steps: int = 0) -> bytes:
    return bytes([5, steps])


def event(name: str) -> bytes:
    return bytes([6 + 8 * ["E", "K", "B", "fresh", "withdraw"].index(name)])


def wait(ms: int) -> bytes:
    return bytes([7, ms // 10])


def forget(address: int) -> bytes:
    return bytes([2, 0, address])


# Locomotives 101-119 driven: with locomotive 3's boot entry the list is full.
FULL_LIST = b"".join(speed(a, 20) for a in range(101, 120)) + run()

packets = {
    # The decoder on each packet form.
    "q-short": raw("Q", b" 03 3F 85 B9") + raw("Q", b" 03 3F 85 B9") + raw("Q", b" 03 3F 05 39"),
    "q-long": raw("Q", b" C4 D2 3F 64 4D") + raw("Q", b" C0 03 3F 80 7C"),
    "q-28": raw("Q", b" 03 46 45") + raw("Q", b" C0 64 73 D7") + raw("Q", b" 03 60 63"),
    "q-built": built_q(b"\x03\x3f\x85") + built_q(b"\xc4\xd2\x3f\x64") + built_q(b"\x03\x46"),
    "s-groups": raw("S", b" 01 03 90 93") + raw("S", b" 01 03 B5 B6") + raw("S", b" 01 03 AA A9")
    + raw("S", b" 03 C4 D2 DE 01 C9") + raw("S", b" 03 03 DF 80 5C"),
    "s-short-f13": raw("S", b" 03 03 DE 01") + raw("S", b" 03 C4 D2"),
    "s-ops-mode": raw("S", b" 01 03 EC 01 05 EB") + raw("S", b" 01 03 EC 01"),
    "s-turnouts": raw("S", b" 02 81 F9 78") + raw("S", b" 02 81 F9 78") + raw("S", b" 02 BF 8E 31")
    + raw("S", b" 02 81 F1 70") + raw("S", b" 02 80 F9 79") + raw("S", b" 02 81 71 F0"),
    "mode-change": raw("Q", b" 03 3F 82 BE") + raw("Q", b" 03 62 61") + run() + raw("Q", b" 03 62 61"),
    "hex-readers": bytes([4, 11]) + b" -F 0x1 zz " + bytes([4, 5]) + b"0X1F2",
    # Stops first: locomotives running, others accelerating and a function group pending.
    "stop-first": speed(5, 60) + speed(6, 60) + run() + speed(7, 30) + speed(8, 30) + f0_f4(9, 0x1F)
    + speed(6, 0) + run(),
    "stop-reverse": speed(5, 60) + run() + speed(5, 0, False) + run(),
    # "D" forgets the wishes, not what the station holds; one that runs late keeps what came after.
    "dequeue": speed(5, 20) + run() + forget(5) + run() + speed(5, 20) + run(),
    "dequeue-late": speed(5, 20) + forget(5) + speed(5, 40) + f0_f4(5, 0x10) + run(),
    # Barriers: "K" first and withdrawing "E"; another withdrawn by its deadline.
    "barriers": speed(5, 20) + run(1) + event("E") + speed(6, 20) + event("K") + run()
    + event("B") + event("withdraw") + run(),
    # A fresh station: only what differs from its boot state is sent again.
    "fresh": speed(3, 40) + speed(5, 20) + f0_f4(5, 0x10) + run() + event("fresh") + event("E") + run(),
    # The list full: the boot entry makes room, then a running first entry blocks; a stop frees it.
    "full-list": FULL_LIST + speed(120, 20) + run() + speed(121, 20) + turnout(2, 1, 1) + run()
    + speed(120, 0) + run(),
    # Turnouts on a full list wait for the one before to leave.
    "full-list-turnouts": FULL_LIST + turnout(2, 0, 1) + turnout(2, 1, 1) + turnout(3, 0, 0) + run()
    + wait(700) + run() + wait(700) + run(),
    # A standing locomotive loses its place to a turnout, is driven again.
    "lost-place": f0_f4(3, 0x10) + run() + FULL_LIST + turnout(5, 0, 1) + run() + wait(700)
    + speed(3, 30) + run(),
}
for name, data in packets.items():
    write("fuzz_packets", name, control_input(data))

# Outcomes: unknown, refused, a lost link, given up after three unknown in a row.
write("fuzz_packets", "unknown-stop",
      control_input(speed(5, 60) + run() + speed(5, 0) + run(),
                    bytes([0, 0, outcome(UNKNOWN_LOST), outcome(UNKNOWN_CARRIED)])))
write("fuzz_packets", "unknown-entry",
      control_input(speed(5, 20) + speed(6, 20) + f0_f4(7, 0x10) + run(),
                    bytes([outcome(UNKNOWN_LOST), outcome(UNKNOWN_CARRIED), 0,
                           outcome(UNKNOWN_CARRIED, 0)])))
# A refused direction, speed and function are sent again when asked for again.
write("fuzz_packets", "refused",
      control_input(speed(3, 20, False) + run() + speed(3, 20, False) + run() + f0_f4(3, 0x1F)
                    + run() + speed(3, 20, False) + f0_f4(3, 0x1F) + run(),
                    bytes([outcome(REFUSED), 0, outcome(REFUSED), outcome(REFUSED)])))
write("fuzz_packets", "not-sent",
      control_input(speed(5, 20) + speed(6, 20) + run() + event("B") + run() + speed(7, 20) + run(),
                    bytes([0, outcome(NOT_SENT)])))
write("fuzz_packets", "given-up",
      control_input(speed(5, 20) + run() + f0_f4(5, 0x10) + run(),
                    bytes([0, 0] + [outcome(UNKNOWN_LOST)] * 3)))
# An unanswered turnout is sent again, also on a full list, where it may or may not have taken
# the boot entry's place.
write("fuzz_packets", "unknown-turnout",
      control_input(turnout(2, 0, 1) + run(), bytes([outcome(UNKNOWN_LOST)])))
write("fuzz_packets", "unknown-turnout-full-list",
      control_input(FULL_LIST + turnout(2, 0, 1) + run() + wait(700) + run() + speed(120, 20)
                    + run() + speed(120, 0) + run(),
                    bytes([0] * 38 + [outcome(UNKNOWN_LOST, 300)])))

# Findings. A turnout's entry in the middle of a full list leaves the station 0.7 s after the
# command reached it; written 300 ms before its answer, it still counts for LocoWishes when
# locomotive 119 is sent, which then overwrites locomotive 3 in LocoWishes' list but is appended
# to the station's. The lists differ from then on: LocoWishes later lets locomotive 121 take the
# first place of its list (119, standing) and so overwrites running locomotive 120 on the
# station.
write("fuzz_packets", "turnout-leaves-mid-list",
      control_input(b"".join(speed(a, 20) for a in range(101, 118)) + run() + turnout(2, 0, 1)
                    + run() + speed(118, 20) + run() + wait(250) + speed(119, 20) + run()
                    + wait(300) + run() + speed(120, 20) + run() + speed(119, 0) + run()
                    + speed(121, 20) + run(),
                    bytes([outcome(DONE)] * 34 + [outcome(DONE, 300)])), "regress")
# An unanswered turnout on a list of 19 entries, whose line was lost, counts as an entry for
# LocoWishes; sent again, it overwrites locomotive 3 in LocoWishes' list while the station
# appends it. After two more locomotives and a stop, locomotive 121 overwrites running locomotive
# 120 on the station.
write("fuzz_packets", "unknown-turnout-nearly-full",
      control_input(b"".join(speed(a, 20) for a in range(101, 119)) + run() + turnout(2, 0, 1)
                    + run() + wait(700) + run() + speed(119, 20) + run() + speed(120, 20) + run()
                    + speed(101, 0) + run() + speed(121, 20) + run(),
                    bytes([outcome(DONE)] * 36 + [outcome(UNKNOWN_LOST)])), "regress")
# The same speed (or function group) asked for again after a "D" that has not run yet is taken
# as nothing new, so the "D" forgets it although it was asked for after it: after the station's
# restart locomotive 5 is not driven (libFuzzer found it as crash-8f67150a... and crash-1e9f3d3c...,
# kept beside these).
write("fuzz_packets", "repeat-after-late-dequeue-speed",
      control_input(speed(5, 40) + forget(5) + speed(5, 40) + run() + event("fresh") + run()),
      "regress")
write("fuzz_packets", "repeat-after-late-dequeue-functions",
      control_input(f0_f4(5, 0x10) + forget(5) + f0_f4(5, 0x10) + run() + event("fresh") + run()),
      "regress")
