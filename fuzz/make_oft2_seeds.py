#!/usr/bin/env python3
"""Writes the seed corpus of the OFT2 stream fuzzer: OSCAR prompt headers (192 fixed
bytes, type 0x0101, a 64-byte name field for a header length of 256), their bodies, the
frames of the rendezvous proxy and the recorded transfer, in the fuzzer's input format
(see fuzz_oft2_stream.cpp).

usage: make_oft2_seeds.py OUTDIR [CAPTURE_DIR]"""
import os
import struct
import sys


def header(name=b"file.bin", size=100, hdrlen=None, magic=b"OFT2", type_=0x0101):
    if hdrlen is None:
        hdrlen = 256 if len(name) <= 64 else 192 + len(name)
    fixed = magic + struct.pack(">HH", hdrlen, type_)
    fixed += b"\x37\x31\x37\x34\x36\x34\x37\x00"           # cookie
    fixed += struct.pack(">HHHHHH", 0, 0, 1, 1, 1, 1)       # encrypt, compress, files, parts
    fixed += struct.pack(">IIII", size, size, 0, 0xB1640000)  # total, size, mtime, checksum
    fixed += struct.pack(">IIIIII", 0xFFFF0000, 0, 0, 0xFFFF0000, 0, 0xFFFF0000)
    fixed += b"Cool FileXfer".ljust(32, b"\0") + b"\0" * 88  # id string, flags, padding, Mac info
    fixed += struct.pack(">HH", 0, 0)                        # encoding, language
    assert len(fixed) == 192
    return fixed + name.ljust(max(hdrlen - 192, 0), b"\0")[: max(hdrlen - 192, 0)]


def body(n, seed=1):
    out = bytearray()
    x = seed * 2654435761 + 12345
    for _ in range(n):
        x = (x * 1103515245 + 12345) & 0xFFFFFFFF
        out.append((x >> 16) & 0xFF)
    if n:
        out[0] = 0x50
    return bytes(out)


def rv_frame(command, payload=b"", length=None, version=0x044A):
    """A frame of the rendezvous proxy: length of the rest, version, command, u32 0,
    flags 0, payload."""
    if length is None:
        length = 10 + len(payload)
    return struct.pack(">HHHIH", length, version, command, 0, 0) + payload


RV_CREATED = rv_frame(3, struct.pack(">H", 0x1234) + bytes([192, 0, 2, 7]))  # pin, address
RV_READY = rv_frame(5)
RV_ERROR = rv_frame(1, struct.pack(">H", 0x001A))  # accept period timed out


def blocks(stream, sizes):
    """Cuts the stream into block records of the given sizes (the last takes the rest)."""
    out, at, sizes = b"", 0, list(sizes)
    while at < len(stream):
        n = sizes.pop(0) if sizes else len(stream) - at
        n = min(n, len(stream) - at, 0xFD00)  # tags 0xFD to 0xFF are no blocks
        out += struct.pack(">H", n - 1) + stream[at:at + n]
        at += n
    return out


def throwing(k, record):
    """A block record whose k-th send to the client throws."""
    return bytes([0xFD, k]) + record


def seed(flags, plans, records):
    return bytes([flags, len(plans)]) + bytes(plans) + records


def main():
    out = sys.argv[1]
    capture = sys.argv[2] if len(sys.argv) > 2 else None
    os.makedirs(out, exist_ok=True)
    VERDICT_ZERO, VERDICT_ONE, LEFT = 1, 2, 0
    seeds = {}

    one = header(b"recipe.docx", 3000) + body(3000)
    seeds["one-block"] = seed(0, [VERDICT_ZERO], blocks(one, []))
    seeds["one-replaced"] = seed(0, [VERDICT_ONE], blocks(one, []))
    seeds["three-reads"] = seed(0, [VERDICT_ONE], blocks(one, [100, 50, 42, 64, 1000]))
    seeds["prefix"] = seed(0, [LEFT], blocks(b"abc" + one, [3]))
    seeds["second-block"] = seed(0, [VERDICT_ZERO], blocks(b"hello" + one, [5]))
    seeds["no-transfer"] = seed(0, [], blocks(b"first" + b"second" + one, [5, 6]))
    two = (header(b"first.txt", 1000) + body(1000, 1) + header(b"second.txt", 700, magic=b"oft2")
           + body(700, 2))
    seeds["two-transfers"] = seed(0, [VERDICT_ZERO, VERDICT_ONE], blocks(two, [1256]))
    seeds["file-exist"] = seed(0, [VERDICT_ZERO],
                               blocks(header(b"a.txt", 100) + header(b"b.txt", 50, magic=b"oFt2") + body(50), [256]))
    seeds["short-body"] = seed(0, [LEFT], blocks(header(b"s.txt", 10) + b"OFT2" + b"OFT2xx", [256, 4]))
    seeds["long-name"] = seed(0, [VERDICT_ONE], blocks(header(b"n" * 65, 40) + body(40), []))
    seeds["longest-name"] = seed(0, [VERDICT_ZERO], blocks(header(b"n" * 8720, 20) + body(20), []))
    seeds["refused-192"] = seed(0, [], blocks(b"ab" + header(hdrlen=192) + b"tail", []))
    seeds["refused-8913"] = seed(0, [], blocks(header(b"n" * 8721) + b"tail", [192]))
    # The magic split over two blocks after 1, 2 and 3 of its bytes, and over four.
    for k in (1, 2, 3):
        seeds[f"split-magic-{k}"] = seed(0, [VERDICT_ONE], blocks(b"abc" + one, [3 + k]))
    seeds["split-magic-bytes"] = seed(0, [VERDICT_ONE], blocks(b"hello" + one, [5, 1, 1, 1, 1]))
    seeds["split-magic-late"] = seed(0, [VERDICT_ONE], blocks(b"hello" + b"xoF" + one[2:], [5, 3]))
    seeds["split-magic-not"] = seed(0, [], blocks(b"hello" + b"xoF" + b"x" + one, [5, 3]))
    # Header lengths: an empty name, one too short for any header, names beyond the
    # pass-on buffer.
    seeds["hdrlen-192"] = seed(0, [VERDICT_ONE], blocks(header(b"", 300, hdrlen=192) + body(300), [192]))
    seeds["hdrlen-191"] = seed(0, [VERDICT_ONE], blocks(b"nick oft2" + header(b"", 0, hdrlen=191)[4:192] + one, [100]))
    seeds["hdrlen-8913"] = seed(0, [VERDICT_ZERO], blocks(header(b"n" * 8721, 500) + body(500), [8912]))
    seeds["hdrlen-65535"] = seed(0, [VERDICT_ONE], blocks(header(b"m" * 65343, 700, hdrlen=65535) + body(700), []))
    seeds["name-alloc-fails"] = seed(4, [VERDICT_ZERO], blocks(one + header(b"x", 0, hdrlen=192), [100, 200]))
    # A send that throws: the header of a refused one, an accepted header, a body, a
    # header split over two blocks.
    seeds["throw-refused"] = seed(0, [VERDICT_ZERO], throwing(1, blocks(b"ab" + header(hdrlen=191)[:192] + b"tail", []))
                                  + blocks(one, []))
    seeds["throw-header"] = seed(0, [VERDICT_ZERO], throwing(0, blocks(one[:300], [])) + blocks(one[300:], [])
                                 + blocks(one, []) + b"\xfe" + blocks(one, []))
    seeds["throw-release"] = seed(0, [VERDICT_ZERO], throwing(1, blocks(one, [])) + blocks(one, []) + b"\xfe"
                                  + blocks(one, []))
    seeds["throw-split"] = seed(0, [VERDICT_ONE], blocks(b"xyOF", []) + throwing(0, blocks(one[2:], []))
                                + blocks(b"more", []) + b"\xfe" + blocks(one, []))
    seeds["empty-body"] = seed(0, [VERDICT_ZERO], blocks(header(b"e", 0) + header(b"f", 5) + body(5), []))
    seeds["huge-size"] = seed(0, [], blocks(header(b"big.iso", 0x80000005) + body(5000), [256, 2000]))
    seeds["release-chunks"] = seed(0, [VERDICT_ONE], blocks(header(b"c.bin", 40000) + body(40000), [256, 30000]))
    seeds["hold-fails"] = seed(2, [VERDICT_ZERO], blocks(one, [256]))
    seeds["no-check"] = seed(1, [], blocks(one, []))
    seeds["scanner-cuts"] = seed(0, [LEFT | 4 | (7 << 3)], blocks(one, []))
    # Faults of the held file's own work: a scanner that removes it, a read-back that
    # fails part way, a disk that fills up (room for 4,099 bytes: the first body fits).
    seeds["scanner-removes"] = seed(0, [VERDICT_ZERO | 4 | (31 << 3)], blocks(one, []))
    seeds["read-back-fails"] = seed(8, [VERDICT_ZERO | 4 | (9 << 3)], blocks(one, [1000]))
    seeds["disk-full"] = seed(2 << 4, [VERDICT_ZERO, VERDICT_ZERO],
                              blocks(one + header(b"big.bin", 5000) + body(5000), [3256]))
    seeds["reset-mid-body"] = seed(0, [VERDICT_ZERO], blocks(header(b"r", 2000) + body(500), [256]) + b"\xfe"
                                   + blocks(one, []))
    seeds["empty-call"] = seed(0, [], b"\xff" + blocks(one, []) + b"\xfe" + blocks(one, []))
    # Streams opened by a rendezvous proxy's frames: as the side that creates the
    # session and the side that joins it reads them, in one block, byte by byte, after
    # an error, past the most frames taken, malformed, refused a block later, after a
    # transfer, with a send that throws.
    frames = RV_CREATED + RV_READY
    seeds["proxy-creates"] = seed(0, [VERDICT_ONE], blocks(frames + one, [18, 12]))
    seeds["proxy-joins"] = seed(0, [VERDICT_ONE], blocks(RV_READY + one, [12]))
    seeds["proxy-one-block"] = seed(0, [VERDICT_ZERO], blocks(frames + one, []))
    seeds["proxy-bytes"] = seed(0, [VERDICT_ONE], blocks(frames + one, [1] * len(frames)))
    seeds["proxy-error"] = seed(0, [VERDICT_ONE], blocks(RV_CREATED + RV_ERROR + b"hello" + one, [18, 14, 5]))
    seeds["proxy-bound"] = seed(0, [VERDICT_ONE], blocks(RV_CREATED * 5 + b"y" + one, [18] * 5 + [1]))
    seeds["proxy-malformed"] = seed(0, [VERDICT_ONE], blocks(rv_frame(3, b"\x12\x34") + b"y" + one, [14, 1]))
    seeds["proxy-version"] = seed(0, [VERDICT_ONE], blocks(rv_frame(5, version=0x044B) + one, [12]))
    seeds["proxy-refused-later"] = seed(0, [VERDICT_ONE], blocks(RV_READY[:3] + b"\x4bxyz" + one, [3, 4]))
    seeds["proxy-after-transfer"] = seed(0, [VERDICT_ZERO, VERDICT_ONE],
                                         blocks(RV_READY + one + RV_CREATED + RV_READY + one, [12 + len(one) + 18, 12]))
    seeds["proxy-throw"] = seed(0, [VERDICT_ONE], throwing(0, blocks(RV_CREATED, [])) + blocks(RV_READY + one, [12])
                                + b"\xfe" + blocks(frames + one, [18, 12]))

    if capture:
        with open(os.path.join(capture, "sender-to-receiver.bin"), "rb") as f:
            recorded = f.read()
        segments = [256, 1460, 1460, 1176, 1460, 1460, 1460, 1460, 304, 1460, 308]
        seeds["capture-segments"] = seed(0, [VERDICT_ZERO], blocks(recorded, segments))
        seeds["capture-replaced"] = seed(0, [VERDICT_ONE], blocks(recorded, []))
        for k in (1, 2, 3):
            seeds[f"capture-split-{k}"] = seed(0, [VERDICT_ZERO], blocks(recorded, [k, 256 - k] + segments[1:]))
        with open(os.path.join(capture, "receiver-to-sender.bin"), "rb") as f:
            seeds["capture-replies"] = seed(0, [], blocks(f.read(), [256]))

    for name, data in seeds.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
    print(f"{len(seeds)} seeds in {out}")


if __name__ == "__main__":
    main()
