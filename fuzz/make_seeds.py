#!/usr/bin/env python3
"""Writes the hand-made seed inputs (seed-*) into fuzz/corpus/<target>/.

Each input starts with the number of control bytes at its end (see FuzzInput.hpp); control
bytes are read from the end backwards. Inputs libFuzzer found are kept beside these under their
SHA-1 names.
"""
import os

HERE = os.path.dirname(os.path.abspath(__file__))


def control_input(payload: bytes, control: bytes = b"") -> bytes:
    """payload, then control given in the order the target reads it."""
    return bytes([len(control)]) + payload + control[::-1]


def write(target: str, name: str, data: bytes) -> None:
    directory = os.path.join(HERE, "corpus", target)
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, "seed-" + name), "wb") as f:
        f.write(data)


# Client bytes: chunk sizes and station answers share the control bytes, in call order.
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
# A CV read whose station answers 0xFF, one that answers 0x100, one refused with 65535.
write("fuzz_client", "cv-read-ff", control_input(b"R 0FF\r", bytes([0, 0, 2])))
write("fuzz_client", "cv-read-100", control_input(b"R 0FF\r", bytes([0, 0, 3])))
write("fuzz_client", "cv-read-refused", control_input(b"R 001\r", bytes([0, 3])))
# A refused speed is sent again when the packet repeats.
write("fuzz_client", "refused-speed",
      control_input(b"Q 03 3F 85 B9\rQ 03 3F 85 B9\r", bytes([14, 1, 14, 0])))
# Seven full reads without a carriage return: the client is dropped, the next one served.
write("fuzz_client", "flood", control_input(b"E\r", bytes([0xFF] * 7 + [0])))

# Station bytes: the first payload byte is the mode (fuzz_station.cpp); control: the CV number
# of a read first, then chunk sizes (each also the chunk's time in units of 10 ms).
BOOT = (b"Desktop Station air\r\nHW: DSair2\r\n-------------\r\nInit SD card...OK\r\n"
        b"100 Ready\r\n")
PING = (b"@DSG,00,03,00,02,00,00,00,00\r\n@DSS," + b"0" * 265 + b"\r\n200 Ok\r\n")
SHORT_PING = b"@DSG,00\r\n200 Ok\r\n"
station = {
    "boot": (0x00, BOOT, b""),
    "boot-retry": (0x00, b"Init SD card...Retry\r\nNG\r\n100 Ready\r\n", bytes([7, 5, 1])),
    "idle-cv-line": (0x04, b"@CV,49152,8,145,\r\n200 Ok\r\n", bytes([8])),
    "power-ok": (0x01, b"200 Ok\r\n", b""),
    "power-cmd-err": (0x01, b"300 Cmd err\r\n201 Busy\r\n", b""),
    "config-write": (0x11, b"@CVWrite,1,3\r\n200 Ok\r\n", b""),
    "speed-lf-only": (0x21, b"200 Ok\n", b""),
    "ping": (0x31, PING, b""),
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


# Packets: records of op, refusals and the op's bytes (fuzz_packets.cpp); no control bytes.
def raw(letter: str, text: bytes, refusals: int = 0) -> bytes:
    op = {"Q": 3, "S": 8, "D": 18}[letter]
    return bytes([op, refusals, len(text)]) + text


def built_q(packet: bytes, refusals: int = 0) -> bytes:
    op = {3: 0, 4: 10, 5: 20}[len(packet) + 1]  # op % 5 == 0, 3 + (op >> 3) % 3 bytes
    return bytes([op, refusals]) + packet


packets = {
    "q-short": raw("Q", b" 03 3F 85 B9") + raw("Q", b" 03 3F 85 B9") + raw("Q", b" 03 3F 05 39"),
    "q-long": raw("Q", b" C4 D2 3F 64 4D") + raw("Q", b" C0 03 3F 80 7C"),
    "q-28": raw("Q", b" 03 46 45") + raw("Q", b" C0 64 73 D7") + raw("Q", b" 03 60 63"),
    "q-built": built_q(b"\x03\x3f\x85") + built_q(b"\xc4\xd2\x3f\x64") + built_q(b"\x03\x46"),
    "q-refused": raw("Q", b" 03 3F 05 39", 1) + raw("Q", b" 03 3F 05 39"),
    "s-groups": raw("S", b" 01 03 90 93") + raw("S", b" 01 03 B5 B6") + raw("S", b" 01 03 AA A9")
    + raw("S", b" 03 C4 D2 DE 01 C9") + raw("S", b" 03 03 DF 80 5C"),
    "s-short-f13": raw("S", b" 03 03 DE 01") + raw("S", b" 03 C4 D2"),
    "s-accessory": raw("S", b" 02 81 F8 79"),
    "s-turnouts": raw("S", b" 02 81 F9 78") + raw("S", b" 02 81 F9 78") + raw("S", b" 02 BF 8E 31")
    + raw("S", b" 02 81 F1 70") + raw("S", b" 02 80 F9 79") + raw("S", b" 02 81 71 F0", 1),
    "mode-change": raw("Q", b" 03 3F 82 BE") + raw("Q", b" 03 62 61") + raw("Q", b" 03 62 61"),
    "dequeue-direction": raw("Q", b" 03 3F 05 39") + raw("D", b" 00 03") + raw("Q", b" 03 3F 85 B9")
    + raw("S", b" 01 03 90 93") + raw("D", b" 00 03") + raw("S", b" 01 03 80 83"),
    "dequeue": raw("Q", b" 03 3F 85 B9") + raw("D", b" 00 03") + raw("Q", b" 03 3F 85 B9")
    + raw("Q", b" C4 D2 3F 64 4D") + raw("D", b" C4 D2") + raw("Q", b" C4 D2 3F 64 4D"),
    "hex-readers": bytes([4, 0, 11]) + b" -F 0x1 zz " + bytes([4, 0, 5]) + b"0X1F2",
}
for name, data in packets.items():
    write("fuzz_packets", name, bytes([0]) + data)
