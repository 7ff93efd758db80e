"""The UDP peers of the system tests.

  serve ADDR...   echo every datagram on ports 53 and 5353 of each address (IPv4 or IPv6), each
                  answer leaving from the address that was asked; prints "ready" once bound
  ask HOST PORT   one datagram; prints answered, garbled, refused (at once), refused-late or
                  timeout
  stub NAME       one A query to the resolver stub 127.0.0.53:53; prints "<source address> <ID
                  ok>" or "no-reply <error>"
"""

import selectors
import socket
import sys
import time

QUERY = b"\x12\x34query"


def family(addr):
    return socket.AF_INET6 if ":" in addr else socket.AF_INET


def serve(addrs):
    sel = selectors.DefaultSelector()
    # One socket per address, so that each answer leaves from the address that was asked.
    for addr in addrs:
        for port in (53, 5353):
            s = socket.socket(family(addr), socket.SOCK_DGRAM)
            if s.family == socket.AF_INET6:
                s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
            s.bind((addr, port))
            sel.register(s, selectors.EVENT_READ)
    print("ready", flush=True)
    while True:
        for key, _ in sel.select():
            data, peer = key.fileobj.recvfrom(512)
            key.fileobj.sendto(data, peer)


def ask(host, port):
    s = socket.socket(family(host), socket.SOCK_DGRAM)
    s.settimeout(3)
    s.connect((host, int(port)))
    start = time.monotonic()
    try:
        try:
            s.send(QUERY)
        except PermissionError:
            # Rejected in OUTPUT: the packet is dropped at send (as a DROP would be), and the
            # REJECT's ICMP port unreachable comes back to this socket as well.
            pass
        return "answered" if s.recv(512) == QUERY else "garbled"
    except ConnectionRefusedError:
        # The rejection must come back at once, not after the time limit.
        return "refused" if time.monotonic() - start < 1 else "refused-late"
    except socket.timeout:
        return "timeout"


def stub(name):
    labels = b"".join(bytes([len(p)]) + p.encode() for p in name.split("."))
    q = b"\xbe\xef\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00" + labels + b"\x00\x00\x01\x00\x01"
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.settimeout(3)
    s.sendto(q, ("127.0.0.53", 53))
    try:
        data, peer = s.recvfrom(512)
        return "%s %s" % (peer[0], data[:2] == b"\xbe\xef")
    except OSError as e:
        return "no-reply " + type(e).__name__


if __name__ == "__main__":
    mode, args = sys.argv[1], sys.argv[2:]
    if mode == "serve":
        serve(args)
    else:
        print({"ask": ask, "stub": stub}[mode](*args))
