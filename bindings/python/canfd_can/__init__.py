"""python-can interface "canfd" for the two-port USB CAN FD adapter (libcanfd)."""

from .bus import CanfdBus

__all__ = ["CanfdBus"]
__version__ = "1.0.0"
