#!/usr/bin/env python3
"""Writes the hand-made seeds of the handshake fuzzer (fuzz_handshake.cpp): the cases
that curl does not send. The seeds named curl-* beside them are what curl 7.88.1 sent to
a listener that answered as a SOCKS5 or HTTP proxy (--socks5, --socks5-hostname,
--proxy-user, --proxy http://... --proxytunnel), the application's first bytes
included.

usage: make_handshake_seeds.py OUTDIR"""
import os
import struct
import sys

NO_AUTH = b"\x05\x01\x00"
USER_PASSWORD = b"\x05\x01\x02"
HTTP_TAIL = b"GET / HTTP/1.1\r\nHost: files.example.net\r\n\r\n"


def request(cmd, atyp, address, port=5190):
    return b"\x05" + bytes([cmd, 0, atyp]) + address + struct.pack(">H", port)


def name(text):
    return bytes([len(text)]) + text


def login(user, password):
    return b"\x01" + name(user) + name(password)


def seeds():
    ipv4 = bytes([203, 0, 113, 5])
    yield "socks5-name-ipv4-literal", NO_AUTH + request(1, 3, name(b"203.0.113.5")) + HTTP_TAIL
    yield "socks5-name-ipv6-literal", NO_AUTH + request(1, 3, name(b"2001:db8::5")) + HTTP_TAIL
    yield "socks5-user-name-literal", USER_PASSWORD + login(b"bob", "p:ss w\u00e9".encode()) + \
        request(1, 3, name(b"198.51.100.7"), 443)
    yield "socks5-bind", NO_AUTH + request(2, 1, ipv4)
    yield "socks5-udp-associate", NO_AUTH + request(3, 1, bytes(4), 0)
    yield "socks5-bad-address-type", NO_AUTH + request(1, 5, ipv4)
    yield "socks5-empty-name", NO_AUTH + request(1, 3, name(b""))
    yield "socks5-name-with-nul", NO_AUTH + request(1, 3, name(b"files\0.example.net"))
    yield "socks5-no-methods", b"\x05\x00"
    yield "socks5-methods-gssapi-only", b"\x05\x01\x01"
    yield "socks5-auth-bad-version", USER_PASSWORD + b"\x05" + name(b"alice") + name(b"secret")
    yield "http-connect-lf-only", b"CONNECT files.example.net:5190 HTTP/1.0\nHost: x\n\nOFT2"
    yield "http-connect-two-credentials", (
        b"CONNECT [::1]:5190 HTTP/1.1\r\nProxy-Authorization: Basic YWxpY2U6c2VjcmV0\r\n"
        b"proxy-authorization: basic Ym9iOnA6c3Mgd8Op\r\n\r\n")
    yield "http-connect-user-name-literal", (
        b"CONNECT 198.51.100.7:443 HTTP/1.1\r\nPROXY-AUTHORIZATION:Basic Ym9iOnA6c3Mgd8Op\r\n\r\n\x16\x03")
    yield "http-connect-port-0", b"CONNECT files.example.net:0 HTTP/1.1\r\n\r\n"
    # The longest host name a request can carry (255 bytes, as in SOCKS5), and one more.
    yield "http-connect-name-255", b"CONNECT " + b"h" * 251 + b".net:5190 HTTP/1.1\r\n\r\nOFT2"
    yield "http-connect-name-256", b"CONNECT " + b"h" * 252 + b".net:5190 HTTP/1.1\r\n\r\n"
    yield "http-header-too-long", b"CONNECT files.example.net:443 HTTP/1.1\r\nX-Pad: " + \
        b"a" * 8200 + b"\r\n\r\n"
    yield "garbage-tls-hello", bytes.fromhex("16030100a5010000a10303") + bytes(range(32))
    yield "garbage-socks4", b"\x04\x01\x14\x46\xcb\x00\x71\x05user\x00"


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    os.makedirs(sys.argv[1], exist_ok=True)
    for file_name, data in seeds():
        with open(os.path.join(sys.argv[1], file_name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
