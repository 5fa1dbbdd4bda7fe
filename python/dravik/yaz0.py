"""Yaz0 coding: compress(data, level="default", threads=0), decompress(data).

Both take any bytes-like object without copying it and release the GIL
while they work.
"""

from ._dravik import yaz0 as _yaz0

compress = _yaz0.compress
decompress = _yaz0.decompress

__all__ = ["compress", "decompress"]
