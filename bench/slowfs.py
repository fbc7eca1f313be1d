#!/usr/bin/python3
"""A file system for benchmarks that answers every request late, as a network
share does: a read-only passthrough of SOURCE at MOUNTPOINT that waits DELAY
seconds before each answer. Many requests are served at once (one thread
each), and the kernel caches nothing (direct_io; attribute and entry
timeouts of 0), so that every lookup, listing, open and read of a run is a
request that waits.

Usage: slowfs.py SOURCE MOUNTPOINT DELAY   (runs in the foreground)
Needs Debian's fuse3 and python3-fusepy, and root.
"""
import errno
import os
import sys
import time

try:
    from fusepy import FUSE, FuseOSError, Operations  # Debian's python3-fusepy
except ImportError:
    from fuse import FUSE, FuseOSError, Operations


class Slow(Operations):
    def __init__(self, root, delay):
        self.root = root
        self.delay = delay

    def _path(self, path):
        time.sleep(self.delay)
        return os.path.join(self.root, path.lstrip('/'))

    def getattr(self, path, fh=None):
        try:
            st = os.lstat(self._path(path))
        except OSError as e:
            raise FuseOSError(e.errno)
        return {key: getattr(st, key) for key in (
            'st_mode', 'st_nlink', 'st_size', 'st_uid', 'st_gid', 'st_atime', 'st_mtime',
            'st_ctime', 'st_ino')}

    def readdir(self, path, fh):
        return ['.', '..'] + os.listdir(self._path(path))

    def readlink(self, path):
        return os.readlink(self._path(path))

    def open(self, path, flags):
        if flags & (os.O_WRONLY | os.O_RDWR):
            raise FuseOSError(errno.EROFS)
        return os.open(self._path(path), os.O_RDONLY)

    def read(self, path, size, offset, fh):
        time.sleep(self.delay)
        return os.pread(fh, size, offset)

    def release(self, path, fh):
        os.close(fh)
        return 0


if __name__ == '__main__':
    source, mountpoint, delay = sys.argv[1], sys.argv[2], float(sys.argv[3])
    FUSE(Slow(source, delay), mountpoint, foreground=True, nothreads=False, ro=True,
         direct_io=True, attr_timeout=0, entry_timeout=0, negative_timeout=0,
         allow_other=True)
