"""A loopback HTTP/1.1 server that answers each request after a fixed delay.

    python3 bench/delay_server.py PORT DELAY_SECONDS

The burst scenarios need a server that holds thousands of requests open at
once; nginx cannot wait before answering. Standard library only, one asyncio
loop: a request head is read, and the 64-byte response is written DELAY
seconds later on the same keep-alive connection. /status is answered at
once with the connections accepted and the requests answered so far; a path
under /now is answered at once too (the workers' warm-up).
"""

import asyncio
import collections
import resource
import socket
import sys

BODY = b"tarnix bench: a small fixed response of sixty-four bytes.......\n"
assert len(BODY) == 64
RESPONSE = (b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 64\r\n\r\n"
            + BODY)
MAX_HEAD = 64 * 1024
BAD_REQUEST = (b"HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n"
               b"Connection: close\r\n\r\n")

stats = {"accepted": 0, "answered": 0}


class Delayed(asyncio.Protocol):
    def __init__(self, loop, delay):
        self.loop = loop
        self.delay = delay
        self.buf = b""
        self.skip = 0          # request body bytes still to discard
        self.transport = None
        # Answers go out in request order, even when a later one is ready first.
        self.queue = collections.deque()

    def connection_made(self, transport):
        self.transport = transport
        stats["accepted"] += 1

    def data_received(self, data):
        if self.skip:
            n = min(self.skip, len(data))
            self.skip -= n
            data = data[n:]
        self.buf += data
        while not self.skip:
            end = self.buf.find(b"\r\n\r\n")
            if end < 0:
                if len(self.buf) > MAX_HEAD:
                    self._fail()
                return
            head, self.buf = self.buf[:end], self.buf[end + 4:]
            if not self._request(head):
                return
            if self.skip:
                n = min(self.skip, len(self.buf))
                self.skip -= n
                self.buf = self.buf[n:]

    def _request(self, head):
        lines = head.split(b"\r\n")
        parts = lines[0].split()
        if len(parts) != 3:
            self._fail()
            return False
        for line in lines[1:]:
            name, _, value = line.partition(b":")
            if name.strip().lower() == b"content-length":
                try:
                    self.skip = int(value)
                except ValueError:
                    self._fail()
                    return False
            elif name.strip().lower() == b"transfer-encoding":
                # Never sent by the benchmark; no framing guessed.
                self._fail()
                return False
        path = parts[1]
        entry = [None]
        self.queue.append(entry)
        if path == b"/status":
            text = f"accepted {stats['accepted']}\nanswered {stats['answered']}\n".encode()
            self._ready(entry, b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n%s"
                        % (len(text), text))
        elif path.startswith(b"/now"):
            self._ready(entry, RESPONSE)
        else:
            self.loop.call_later(self.delay, self._ready, entry, RESPONSE)
        return True

    def _ready(self, entry, response):
        entry[0] = response
        queue = self.queue
        while queue and queue[0][0] is not None:
            out = queue.popleft()[0]
            if self.transport.is_closing():
                continue
            self.transport.write(out)
            if out is RESPONSE:
                stats["answered"] += 1

    def _fail(self):
        self.transport.write(BAD_REQUEST)
        self.transport.close()

    def connection_lost(self, exc):
        self.transport = _Closed


class _Closed:
    # Delayed answers still pending for a connection the client has closed.
    @staticmethod
    def is_closing():
        return True


async def main(port, delay):
    loop = asyncio.get_running_loop()
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind(("127.0.0.1", port))
    # The kernel caps the backlog at net.core.somaxconn; asyncio accepts up
    # to `backlog` connections per wake-up, so a large one drains it fast.
    server = await loop.create_server(lambda: Delayed(loop, delay), sock=sock,
                                      backlog=65535)
    print("ready", flush=True)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    try:
        asyncio.run(main(int(sys.argv[1]), float(sys.argv[2])))
    except KeyboardInterrupt:
        pass
