"""LZ77 coding, as found in banner parts: compress(data, coding=0x10),
decompress(data). Codings 0x10 and 0x11; at most 16 MiB - 1 decoded.
"""

from ._dravik import lz77 as _lz77

compress = _lz77.compress
decompress = _lz77.decompress

__all__ = ["compress", "decompress"]
