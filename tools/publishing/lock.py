"""One publish at a time into one upload folder: a lock held by the
process, beside the folder (never in it, where an upload would take it)."""

import contextlib
import os

from publishing.refusal import Refusal

try:
    import fcntl
except ImportError:  # Windows: no locks between processes
    fcntl = None


@contextlib.contextmanager
def upload_folder_lock(out):
    """Held while the block runs; refuses at once when another process holds
    it. The system lets it go when the process ends, however it ends."""
    if fcntl is None:
        yield
        return
    folder = os.path.abspath(out)
    parent = os.path.dirname(folder)
    os.makedirs(parent, exist_ok=True)
    path = os.path.join(parent, ".%s.publish-lock" % os.path.basename(folder))
    descriptor = os.open(path, os.O_RDWR | os.O_CREAT, 0o644)
    try:
        try:
            fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            holder = os.pread(descriptor, 32, 0).decode("ascii", "replace").strip()
            raise Refusal("another publish (process %s) is writing into %s: publish one at a "
                          "time, and check what it printed once it ends" % (holder or "?", out)) \
                from None
        os.ftruncate(descriptor, 0)
        os.pwrite(descriptor, str(os.getpid()).encode("ascii"), 0)
        yield
    finally:
        os.close(descriptor)
