#!/usr/bin/env python3
"""A stand-in for the shield resolver: a UDP DNS server that answers every query itself.

  fake_shield.py [--addr 127.0.0.1] [--port 5354] [--mode answer|wrong-id|silent]
                 [--log FILE] [--ready FILE]

answer: a reply with the query's ID and one A record 0.0.0.0 (a blocked name);
wrong-id: the same reply with the ID changed; silent: reads and never answers.
--log appends one line per query ("<qname>"); --ready is created once the socket is bound.
"""
import argparse
import socket


def qname(msg):
    labels, i = [], 12
    while i < len(msg) and msg[i] != 0:
        n = msg[i]
        labels.append(msg[i + 1:i + 1 + n].decode("ascii", "replace"))
        i += 1 + n
    return ".".join(labels), i + 1


def reply(query):
    name, end = qname(query)
    question = query[12:end + 4]
    header = query[:2] + b"\x81\x80" + b"\x00\x01\x00\x01\x00\x00\x00\x00"
    answer = b"\xc0\x0c\x00\x01\x00\x01\x00\x00\x00\x3c\x00\x04\x00\x00\x00\x00"
    return name, header + question + answer


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--addr", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=5354)
    ap.add_argument("--mode", choices=["answer", "wrong-id", "silent"], default="answer")
    ap.add_argument("--log")
    ap.add_argument("--ready")
    ap.add_argument("--reuse", action="store_true", help="bind with SO_REUSEADDR, as many resolvers do")
    a = ap.parse_args()

    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    if a.reuse:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind((a.addr, a.port))
    if a.ready:
        open(a.ready, "w").close()
    while True:
        query, peer = s.recvfrom(512)
        if len(query) < 12:
            continue
        name, out = reply(query)
        if a.log:
            with open(a.log, "a") as f:
                f.write(name + "\n")
        if a.mode == "silent":
            continue
        if a.mode == "wrong-id":
            out = bytes([query[0] ^ 0xFF, query[1]]) + out[2:]
        s.sendto(out, peer)


if __name__ == "__main__":
    main()
