"""Length-prefixed pickled messages over a stream socket between the pool and a worker.

A read takes whatever has arrived and yields every complete message in it, so
a burst of small results costs one system call, not two per message.
"""

from __future__ import annotations

import pickle
import socket
from typing import Any

_HEADER = 4


class Channel:
    def __init__(self, sock: socket.socket) -> None:
        self.sock = sock
        self._buffer = bytearray()

    def fileno(self) -> int:
        return self.sock.fileno()

    def send(self, *messages: Any) -> None:
        frames = []
        for message in messages:
            payload = pickle.dumps(message, protocol=pickle.HIGHEST_PROTOCOL)
            frames.append(len(payload).to_bytes(_HEADER, "little"))
            frames.append(payload)
        self.sock.sendall(b"".join(frames))

    def receive(self) -> list[Any]:
        """The complete messages that one read brings (possibly none); EOFError when the peer is gone."""
        chunk = self.sock.recv(1 << 16)
        if not chunk:
            raise EOFError("the channel was closed")
        self._buffer += chunk
        messages = []
        buffer = self._buffer
        start = 0
        while len(buffer) - start >= _HEADER:
            size = int.from_bytes(buffer[start:start + _HEADER], "little")
            end = start + _HEADER + size
            if end > len(buffer):
                break
            messages.append(pickle.loads(buffer[start + _HEADER:end]))
            start = end
        del buffer[:start]
        return messages

    def close(self) -> None:
        self.sock.close()
