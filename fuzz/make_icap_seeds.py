#!/usr/bin/env python3
"""Writes the seed corpus of the ICAP answer fuzzer (fuzz_icap_response.cpp): what an
ICAP server sends back to OPTIONS and RESPMOD, modelled on c-icap 0.5 with its
virus_scan service (204, the file sent back, a block page with X-Infection-Found and a
folded X-Violations-Found, 100 Continue then the final answer, 500), the findings
headers of other servers (403, X-Virus-ID), and the broken answers that a client must
refuse (cut short, garbage, an endless header, bad chunks and offsets).

usage: make_icap_seeds.py OUTDIR"""
import os
import sys

CRLF = b"\r\n"
ISTAG = b'ISTag: "CI0001-L5CkDhq+qWNs+PZ5DxxXsAAA"'


def lines(*parts):
    return CRLF.join(parts) + CRLF


def chunked(body, size=4000, ext=b""):
    out = b""
    for i in range(0, len(body), size):
        piece = body[i:i + size]
        out += b"%x" % len(piece) + CRLF + piece + CRLF
    return out + b"0" + ext + CRLF + CRLF


def answer(status, fields, http=None, body=None, null_body=False):
    """An ICAP answer; http: the encapsulated response header lines, body: its body."""
    encapsulated = b""
    if http is not None:
        hdr = lines(*http) + CRLF
        encapsulated = hdr
        tail = b"null-body=%d" % len(hdr) if body is None else b"res-body=%d" % len(hdr)
        fields = fields + [b"Encapsulated: res-hdr=0, " + tail]
    elif body is not None:
        fields = fields + [b"Encapsulated: res-body=0"]
    elif null_body:
        fields = fields + [b"Encapsulated: null-body=0"]
    out = lines(b"ICAP/1.0 " + status, b"Server: C-ICAP/0.5.10", *fields) + CRLF + encapsulated
    return out + (chunked(body) if body is not None else b"")


def held_file(n):
    x, out = 77, bytearray()
    for _ in range(n):
        x = (x * 1103515245 + 12345) & 0xFFFFFFFF
        out.append((x >> 16) & 0xFF)
    return bytes(out)


BLOCK_PAGE = (b"<html>\n <head>\n   <title>VIRUS FOUND</title>\n</head>\n<body>\n<h1>VIRUS FOUND</h1>\n"
              b"You tried to upload/download a file that contains the virus:\n"
              b"   <b> Zykproxy.Test.EICAR.UNOFFICIAL </b>\n</body>\n</html>\n")
FOUND = [b"X-Infection-Found: Type=0; Resolution=2; Threat=Zykproxy.Test.EICAR.UNOFFICIAL;",
         b"X-Violations-Found: 1", b"\t-", b"\tZykproxy.Test.EICAR.UNOFFICIAL", b"\t0", b"\t0"]
BLOCK_HTTP = [b"HTTP/1.0 403 Forbidden", b"Server: C-ICAP", b"Connection: close",
              b"Content-Type: text/html", b"Content-Language: en"]
ECHO_HTTP = [b"HTTP/1.1 200 OK", b"Content-Type: application/octet-stream", b"Content-Length: 9000",
             b'Content-Disposition: attachment; filename="holiday.zip"',
             b"Via: ICAP/1.0 vm (C-ICAP/0.5.10 Antivirus service )"]
NO_CONTENT = answer(b"204 Unmodified", [b"Connection: keep-alive", ISTAG])
CONTINUE = b"ICAP/1.0 100 Continue" + CRLF + CRLF


def seeds():
    body = held_file(9000)
    return {
        "options": answer(b"200 OK", [b"Methods: RESPMOD, REQMOD",
                                      b"Service: C-ICAP/0.5.10 server - Antivirus service", ISTAG,
                                      b"Transfer-Preview: *", b"Options-TTL: 3600", b"Max-Connections: 20",
                                      b"Preview: 1024", b"Allow: 204"], null_body=True),
        "no-content": NO_CONTENT,
        "continue-then-no-content": CONTINUE + NO_CONTENT,
        "file-sent-back": CONTINUE + answer(b"200 OK", [b"Connection: keep-alive", ISTAG], ECHO_HTTP, body),
        "block-page-infection-found": answer(b"200 OK", [b"Connection: keep-alive", ISTAG] + FOUND,
                                             BLOCK_HTTP, BLOCK_PAGE),
        "forbidden-virus-id": answer(b"403 Forbidden", [ISTAG, b"X-Virus-ID: Win.Test.EICAR_HDB-1"],
                                     null_body=True),
        "forbidden-violations": answer(b"403 Forbidden", [ISTAG, b"X-Violations-Found: 2", b"\ta.exe",
                                                          b"\tTrojan.One", b"\t101", b"\t2", b" b.exe",
                                                          b" Trojan.Two", b" 102", b" 2"],
                                       BLOCK_HTTP, BLOCK_PAGE),
        "empty-body": answer(b"200 OK", [ISTAG], [b"HTTP/1.1 200 OK", b"Content-Length: 0"], b""),
        "trailer-and-extension": answer(b"200 OK", [ISTAG], ECHO_HTTP, b"abc")[:-5]
                                 + lines(b"0; ieof", b"X-Trailer: 1") + CRLF,
        "server-error": answer(b"500 Server error", [b"Connection: close", ISTAG]),
        "service-not-found": lines(b"ICAP/1.0 404 Service not found", b"Connection: close") + CRLF,
        "cut-short": answer(b"200 OK", [ISTAG], ECHO_HTTP, body)[:2500],
        "bad-offsets": answer(b"200 OK", [ISTAG], ECHO_HTTP, body).replace(b"res-body=", b"res-body=1", 1),
        "bad-chunk": answer(b"200 OK", [ISTAG], ECHO_HTTP, b"abc").replace(b"3\r\nabc", b"zz\r\nabc"),
        "garbage": b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello",
        "endless-header": b"ICAP/1.0 200 OK\r\nX-Violations-Found: 1\r\n" + b"\tfiller of a header without end\r\n" * 2000,
        "endless-line": b"ICAP/1.0 200 OK\r\nX-Infection-Found: " + b"A" * 9000,
    }


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    os.makedirs(sys.argv[1], exist_ok=True)
    for name, data in seeds().items():
        with open(os.path.join(sys.argv[1], name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
