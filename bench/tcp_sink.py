#!/usr/bin/env python3
"""A plain TCP receiver for the multicast benchmark's TCP rows: takes one
connection and writes what it brings to a file until the sender closes.

    tcp_sink.py ADDRESS PORT FILE

Prints "listening" once connections are accepted; exits 0 at the sender's
close, 1 if the connection broke.
"""
import socket
import sys


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    address, port, path = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as server:
        server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        server.bind((address, port))
        server.listen(1)
        print("listening", flush=True)
        connection, _ = server.accept()
    with connection, open(path, "wb") as out:
        try:
            while True:
                block = connection.recv(1 << 20)
                if not block:
                    return 0
                out.write(block)
        except OSError as error:
            print(f"tcp_sink: {error}", file=sys.stderr)
            return 1


if __name__ == "__main__":
    sys.exit(main())
