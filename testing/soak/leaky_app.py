#!/usr/bin/env python3
"""A stand-in for the publishing application that prints what it prints and keeps the socket of every
connection it loses: the soak driver must fail it on descriptors. Usage: leaky_app.py URL CLIP."""
import socket
import sys
import time
from urllib.parse import urlparse


def connect(port):
    return socket.create_connection(("127.0.0.1", port), timeout=1)


def main():
    port = urlparse(sys.argv[1]).port
    seconds = 30.0
    kept = []
    sock = connect(port)
    sock.settimeout(0.1)
    print(f"publishing {sys.argv[2]} to {sys.argv[1]} (packet mode)", flush=True)
    frames, published, reconnections = 0, 0.0, 0
    last = time.monotonic()
    while published < seconds:
        try:
            lost = sock.recv(1) == b""
        except socket.timeout:
            lost = False
        except OSError:
            lost = True
        now = time.monotonic()
        if lost:
            print("  connection lost; reconnecting", flush=True)
            kept.append(sock)  # the fault: never closed
            attempt = 0
            while True:
                attempt += 1
                time.sleep(0.25)
                try:
                    sock = connect(port)
                    sock.settimeout(0.1)
                    break
                except OSError:
                    print(f"  attempt {attempt} failed (RTMP_CONN_DISCONNECTED (-1: x)), waited 250 ms", flush=True)
            reconnections += 1
            print(f"  reconnected after {attempt} attempt(s)", flush=True)
            last = time.monotonic()
            continue
        if now - last >= 0.5:
            published += now - last
            last = now
            frames += 36
            print(f"  {published:6.1f} s  video {frames // 2:5d}  audio {frames // 2:5d}  sent 1 kB  1 kbit/s",
                  flush=True)
    print(f"published: {published:.1f} s, {frames // 2} video frames, {frames // 2} audio frames, 1 kB sent "
          f"(1 kbit/s on average), 0 dropped, {reconnections} reconnections", flush=True)


if __name__ == "__main__":
    main()
