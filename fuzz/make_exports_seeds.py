#!/usr/bin/env python3
"""Writes the seed corpus of the exports fuzzer (input format in fuzz_exports.cpp): whole
connections with transfers, verdicts, replacements, ends and socket faults, some opened
by a rendezvous proxy's frames.

usage: make_exports_seeds.py OUTDIR"""
import os
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from make_oft2_seeds import RV_CREATED, RV_ERROR, RV_READY, body, header  # noqa: E402

OWN, HOST, NO_CALLBACK = 0, 1, 2


def op(conn, code, *operands):
    return bytes([(conn << 4) | code, *operands])


def new(conn, hold_fails=False, plain_call=False):
    return op(conn, 0, (1 if hold_fails else 0) | (2 if plain_call else 0))


def server(conn, data):
    """Server data from the input, in blocks of at most 65536 bytes."""
    out = b""
    for at in range(0, len(data), 65536):
        part = data[at:at + 65536]
        out += op(conn, 1) + struct.pack(">H", len(part) - 1) + part
    return out


def filler(conn, n, seed=7):
    return op(conn, 2) + struct.pack(">H", n - 1) + bytes([seed])


def client(conn, n):
    return op(conn, 3, n - 1)


def end(conn):
    return op(conn, 4)


def replace(conn, hold_fails=False):
    return op(conn, 5, 1 if hold_fails else 0)


def verdict(v, cut=None, remove=False):
    code = {-1: 0, 0: 1, 1: 2, 5: 3}[v]
    if remove:
        code |= 4 | (31 << 3)
    elif cut is not None:
        code |= 4 | (cut << 3)
    return op(0, 6, code)


def fault(conn, f):
    return op(conn, 7, f)


# SetParallelChecks: the action's high four bits pick the count (kExportsParallelCounts in
# tests/support/exports_input.h).
PARALLEL_COUNTS = [1, 2, 4, 3, 0, -1, 64, 256, 257, -2**31, 2**31 - 1, 8, 1, 4, 16, 2]


def parallel(count):
    return op(PARALLEL_COUNTS.index(count), 9)


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    one = header(b"recipe.docx", 3000) + body(3000)
    seeds = {
        "clean": bytes([OWN]) + new(0) + server(0, b"hello" + one) + client(0, 20) + end(0),
        "infected": bytes([OWN]) + new(0) + verdict(1) + server(0, one) + end(0),
        "host-socket": bytes([HOST]) + new(0) + verdict(0) + server(0, one + b"tail") + end(0),
        "short-reads": bytes([HOST]) + new(1) + fault(1, 3 | (49 << 2)) + server(1, one) + end(1),
        "read-faults": bytes([HOST]) + new(0) + fault(0, 1) + server(0, one[:100]) + fault(0, 2)
                       + server(0, one[100:]) + op(0, 8) + end(0),
        "send-fails": bytes([HOST]) + new(0) + server(0, one[:300]) + fault(0, 0) + server(0, one[300:]) + end(0),
        "client-stops": bytes([OWN]) + new(0) + server(0, one[:1000]) + fault(0, 0) + server(0, one[1000:])
                        + server(0, one) + end(0),
        "hold-fails": bytes([OWN]) + new(2, hold_fails=True) + server(2, one) + end(2),
        "replace-mid-body": bytes([OWN]) + new(0) + server(0, one[:1500]) + replace(0) + server(0, one) + end(0),
        "end-mid-body": bytes([OWN]) + new(3) + server(3, one[:1500]) + end(3) + server(3, one[1500:]),
        "end-large-mid-body": bytes([HOST]) + new(0) + new(1) + server(0, header(b"big.bin", 200000))
                              + filler(0, 65536) + filler(0, 65536, 8) + server(1, one) + end(0) + end(1),
        "unknown": bytes([OWN]) + server(1, one) + new(1, plain_call=True) + server(1, one) + end(1),
        "removed": bytes([OWN]) + new(0) + verdict(0, remove=True) + server(0, one) + end(0),
        "cut": bytes([OWN]) + new(0) + verdict(-1, cut=5) + server(0, one) + end(0),
        # Faults of the held file's own work: the read-back fails after 5 * 131 bytes; a
        # disk with room for 4,099 bytes per held file (the second body does not fit).
        "read-back-fails": bytes([HOST | 8]) + new(0) + verdict(0, cut=5) + server(0, one) + end(0),
        "disk-full": bytes([OWN | (2 << 4)]) + new(0) + verdict(0) + verdict(0) + server(0, one)
                     + server(0, header(b"big.bin", 5000) + body(5000)) + end(0),
        "no-callback": bytes([NO_CALLBACK]) + new(0) + server(0, one) + end(0),
        "large": bytes([OWN]) + new(0) + verdict(0) + server(0, header(b"big.bin", 200000)) + filler(0, 65536)
                 + filler(0, 65536, 8) + filler(0, 65536, 9) + filler(0, 200000 - 3 * 65536, 10) + end(0),
        "four": bytes([OWN]) + b"".join(new(c) for c in range(4)) + verdict(1) + verdict(0)
                + b"".join(server(c, one) for c in range(4)) + b"".join(client(c, 3) for c in range(4))
                + b"".join(end(c) for c in range(4)),
        "two-in-one": bytes([OWN]) + new(0) + verdict(0) + verdict(1)
                      + server(0, header(b"a", 10) + body(10) + header(b"b", 20, magic=b"oft2") + body(20)) + end(0),
        # A header that refuses to be found, or accepted, by its length.
        "hdrlen-192": bytes([OWN]) + new(0) + verdict(1) + server(0, header(b"", 300, hdrlen=192) + body(300)) + end(0),
        "hdrlen-191": bytes([OWN]) + new(0) + verdict(1) + server(0, b"nick oft2" + header(hdrlen=191)[4:192])
                      + server(0, one) + end(0),
        "hdrlen-8913": bytes([HOST]) + new(0) + verdict(1) + server(0, header(b"n" * 8721, 500) + body(500)) + end(0),
        "hdrlen-65535": bytes([OWN]) + new(0) + verdict(1)
                        + server(0, header(b"m" * 65343, 700, hdrlen=65535) + body(700)) + end(0),
        # The client's socket fails while a header split over two blocks goes on.
        "split-stops": bytes([OWN]) + new(0) + server(0, b"xyOF") + fault(0, 0) + server(0, one[2:]) + end(0)
                       + new(0) + verdict(1) + server(0, one) + end(0),
    }
    # A rendezvous proxy's frames before the transfer, each in a read of its own: the side
    # that creates the session, the one that joins it, frames cut in two, an error.
    seeds["proxy-creates"] = (bytes([OWN]) + new(0) + verdict(1) + verdict(0) + server(0, RV_CREATED)
                              + server(0, RV_READY) + server(0, one) + server(0, one) + end(0))
    seeds["proxy-joins"] = bytes([HOST]) + new(0) + verdict(1) + server(0, RV_READY) + server(0, one) + end(0)
    seeds["proxy-split"] = (bytes([OWN]) + new(1) + verdict(1) + server(1, RV_CREATED[:5]) + server(1, RV_CREATED[5:14])
                            + server(1, RV_CREATED[14:] + RV_READY[:7]) + server(1, RV_READY[7:]) + server(1, one)
                            + end(1))
    seeds["proxy-error"] = (bytes([OWN]) + new(0) + verdict(1) + server(0, RV_CREATED) + server(0, RV_ERROR)
                            + server(0, b"hello") + server(0, one) + end(0))
    # Parallel checks: four connections at once; counts changed mid-body and out of range;
    # a large body whose progress reports need no slot; a callback cleared and set again.
    big = header(b"big.bin", 200000)
    seeds.update({
        "parallel-four": bytes([OWN]) + parallel(4) + b"".join(new(c) for c in range(4)) + verdict(1) + verdict(0)
                         + b"".join(server(c, one) for c in range(4)) + b"".join(end(c) for c in range(4)),
        "parallel-changes": bytes([HOST]) + parallel(2) + new(0) + new(1) + server(0, one[:1500]) + parallel(1)
                            + server(1, one) + parallel(-2**31) + server(0, one[1500:]) + parallel(257)
                            + verdict(1) + server(0, one) + parallel(0) + end(0) + end(1),
        "parallel-large": bytes([HOST]) + parallel(16) + new(0) + new(1) + verdict(0) + server(0, big)
                          + filler(0, 65536) + server(1, one) + filler(0, 65536, 8) + filler(0, 65536, 9)
                          + filler(0, 200000 - 3 * 65536, 10)
                          + end(0) + end(1),
        "parallel-end-large": bytes([OWN]) + parallel(3) + new(0) + server(0, big) + filler(0, 65536) + end(0),
        "parallel-no-callback": bytes([NO_CALLBACK]) + parallel(8) + new(0) + server(0, one) + end(0),
    })
    # The magic split over two blocks after 1, 2 and 3 of its bytes.
    for k in (1, 2, 3):
        seeds[f"split-magic-{k}"] = (bytes([OWN if k != 2 else HOST]) + new(0) + verdict(1) + server(0, b"abc" + one[:k])
                                     + server(0, one[k:]) + end(0))
    for name, data in seeds.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
    print(f"{len(seeds)} seeds in {out}")


if __name__ == "__main__":
    main()
