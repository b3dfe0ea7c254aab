"""Ports for a server under test, shared by the benchmark and the end-to-end scenarios."""

import contextlib
import pathlib
import random
import socket

_HANDED_OUT = set()


def free_port():
    """A port free for UDP and TCP on every IPv4 and IPv6 address. It is drawn below the system's
    range for outgoing connections: a port the kernel hands out (bind to 0) can be taken by
    any client of a test running beside this one before the server binds it."""
    first = int(pathlib.Path("/proc/sys/net/ipv4/ip_local_port_range").read_text().split()[0])
    while True:
        port = random.randrange(max(1024, first - 16384), first)
        if port in _HANDED_OUT:  # a run may not yet have bound the last one
            continue
        with contextlib.ExitStack() as held, contextlib.suppress(OSError):
            for family, address in ((socket.AF_INET, "0.0.0.0"), (socket.AF_INET6, "::")):
                for each in (socket.SOCK_DGRAM, socket.SOCK_STREAM):
                    s = held.enter_context(socket.socket(family, each))
                    if family == socket.AF_INET6:
                        s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)  # as the server's own socket
                    s.bind((address, port))
            _HANDED_OUT.add(port)
            return port
