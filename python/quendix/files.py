"""Files as the converter meets them: links followed only when the user or
root owns them, recordings opened only when they are regular files, names
shown on a terminal without their control bytes, and outputs that replace
nothing but a regular file at their own name.

Outputs. A name given for an output means what it means to any Unix tool:
- no file, or a regular file: the output is written under a temporary name
  beside it (". NAME .quendix-XXXXXX", which the walk passes over) and
  renamed into place once whole, unless that file is one of the recordings
  being read;
- a device, FIFO, socket or terminal (/dev/null, /dev/stdout, a pipe): the
  output is written straight to it, and it stays what it was;
- a directory, or a name reached through a link of another user: refused
  with OutputRefused, before anything is written;
- a link of the user's own or of root: followed, and the output goes where
  it leads, the link staying a link.
"""

import errno
import io
import os
import re
import stat
import sys

# Links followed on the way to one file at most, as the converter allows.
MOST_LINKS = 40

TEMPORARY_MARK = b".quendix-"
UNIQUE_LENGTH = 6
_UNIQUE_LETTERS = b"0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
# The longest file name most file systems take, in bytes.
LONGEST_NAME = 255

_CLOEXEC = getattr(os, "O_CLOEXEC", 0)
_NOCTTY = getattr(os, "O_NOCTTY", 0)
_PATH = getattr(os, "O_PATH", 0)


class OutputRefused(OSError):
    """An output name that is not written at all: a directory, a name
    reached through another user's link, or one of the recordings read."""


class LinkRefused(OSError):
    """A path through a link of another user, which is not followed."""


def trusted_owner(uid):
    """Whether a link owned by `uid` may be followed: the user's own or the
    superuser's, never one that another user could have planted."""
    return uid == os.geteuid() or uid == 0


def _proc_device():
    try:
        return os.stat("/proc").st_dev
    except OSError:
        return None


def resolve(path, dir_fd=None, descriptor_links=False):
    """Follows `path` (relative to the directory `dir_fd`, or the current
    one) to its last component that is no link, resolving every link on the
    way itself, as the converter does: each is looked at on its own and
    followed only when trusted_owner() says so, MOST_LINKS at most.

    Returns (directory, name, status, held): the descriptor of the
    directory holding `name` (or `dir_fd`), the name, its lstat result or
    None when nothing is there, and the descriptor to close afterwards or
    None. With `descriptor_links`, a last link of /proc (such as
    /dev/stdout's /proc/self/fd/1, whose text may name a pipe) is left for
    the kernel to follow: its status is then that of what it leads to.
    Raises LinkRefused for another user's link, OSError otherwise.
    """
    name = os.fspath(path)
    rest = os.fsencode(name)
    at, held = dir_fd, None
    links = 0
    proc = None

    def move_to(fd):
        nonlocal at, held
        if held is not None:
            os.close(held)
        at = held = fd

    try:
        while True:
            if rest.startswith(b"/"):
                move_to(os.open("/", _PATH | os.O_DIRECTORY | _CLOEXEC))
                rest = rest.lstrip(b"/") or b"."
                continue
            part, _, rest = rest.partition(b"/")
            last = rest.strip(b"/") == b""
            if not part:
                if not last:
                    continue
                part = b"."
            try:
                fd = os.open(part, _PATH | os.O_NOFOLLOW | _CLOEXEC, dir_fd=at)
            except FileNotFoundError:
                if last:
                    return at, part, None, held
                raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), name) from None
            try:
                st = os.fstat(fd)
                target = os.readlink(b"", dir_fd=fd) if stat.S_ISLNK(st.st_mode) else None
            finally:
                os.close(fd)
            if target is None:
                if last:
                    return at, part, st, held
                if not stat.S_ISDIR(st.st_mode):
                    raise NotADirectoryError(errno.ENOTDIR, os.strerror(errno.ENOTDIR), name)
                move_to(os.open(part, _PATH | os.O_NOFOLLOW | os.O_DIRECTORY | _CLOEXEC, dir_fd=at))
                continue
            if not trusted_owner(st.st_uid):
                raise LinkRefused(errno.EPERM, "a link of another user, not followed", name)
            links += 1
            if links > MOST_LINKS:
                raise OSError(errno.ELOOP, os.strerror(errno.ELOOP), name)
            if descriptor_links and last:
                proc = _proc_device() if proc is None else proc
                if st.st_dev == proc:
                    return at, part, os.stat(part, dir_fd=at), held
            rest = target + b"/" + rest if not last else target
    except OSError as error:
        move_to(None)
        raise _named(error, name) from None
    except BaseException:
        move_to(None)
        raise


def _named(error, name):
    """`error` naming the whole path `name` rather than one of its parts."""
    if error.filename == name or isinstance(error, (LinkRefused, OutputRefused)):
        return error
    return OSError(error.errno, error.strerror, name)


def open_trusted(path, flags, dir_fd=None):
    """Opens `path` with `flags`, following only trusted links (see
    resolve()); returns the descriptor."""
    name = os.fspath(path)
    at, part, st, held = resolve(path, dir_fd)
    try:
        if st is None:
            raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), name)
        # O_NOFOLLOW: a link put in its place since fails the open.
        return os.open(part, flags | os.O_NOFOLLOW | _CLOEXEC, dir_fd=at)
    except OSError as error:
        raise _named(error, name) from None
    finally:
        if held is not None:
            os.close(held)


def open_directory(path, dir_fd=None):
    """A descriptor of the directory `path`, reached through trusted links."""
    return open_trusted(path, os.O_RDONLY | os.O_DIRECTORY | getattr(os, "O_NONBLOCK", 0), dir_fd)


def open_regular_file(path):
    """Opens `path` for reading and returns its descriptor and size.

    Links are followed only as resolve() says. O_NONBLOCK keeps the open
    from waiting for a FIFO's writer; the type check then turns away
    everything that is not a regular file, before a byte is read.
    """
    flags = os.O_RDONLY | _NOCTTY
    for flag in ("O_BINARY", "O_NONBLOCK"):
        flags |= getattr(os, flag, 0)
    name = os.fspath(path)
    fd = open_trusted(path, flags)
    try:
        st = os.fstat(fd)
        if stat.S_ISDIR(st.st_mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), name)
        if not stat.S_ISREG(st.st_mode):
            raise OSError(errno.EINVAL, "not a regular file (%s)" % file_kind(st.st_mode), name)
    except BaseException:
        os.close(fd)
        raise
    return fd, st.st_size


def file_kind(mode):
    """What a file of `mode` is, for a message."""
    if stat.S_ISFIFO(mode):
        return "a FIFO"
    if stat.S_ISCHR(mode):
        return "a character device"
    if stat.S_ISBLK(mode):
        return "a block device"
    if stat.S_ISSOCK(mode):
        return "a socket"
    return "mode %o" % stat.S_IFMT(mode)


def is_temporary_name(name):
    """Whether the file name `name` (str or bytes) has the form of the
    temporary files of outputs being written, by the converter or here:
    "." + at least one byte + ".quendix-" + six letters and digits."""
    name = os.fsencode(name)
    mark = len(TEMPORARY_MARK)
    return (len(name) >= 2 + mark + UNIQUE_LENGTH and name[:1] == b"."
            and name[-UNIQUE_LENGTH - mark:-UNIQUE_LENGTH] == TEMPORARY_MARK
            and all(c in _UNIQUE_LETTERS for c in name[-UNIQUE_LENGTH:]))


# What a terminal must not be sent: C0 controls, DEL, C1 controls, and the
# bytes that are not part of well-formed UTF-8 (decoded one by one as lone
# surrogates), each shown as "?".
_UNSAFE = re.compile("[\x00-\x1f\x7f-\x9f\udc80-\udcff]")


def shown(text, terminal):
    """The bytes that show `text` (a str, surrogate-escaped as os.fsdecode
    gives names, or bytes) on a terminal when `terminal`, each unsafe
    character as "?"; elsewhere its exact bytes, as the file names are."""
    if isinstance(text, bytes):
        text = os.fsdecode(text)
    if terminal:
        return _UNSAFE.sub("?", text).encode("utf-8")
    return os.fsencode(text)


def write_line(stream, text):
    """Writes the lines of `text` and a line end to the text stream
    `stream` (standard output or error), each as shown() shows it there,
    never failing on a name's bytes."""
    try:
        terminal = stream.isatty()
    except (AttributeError, ValueError):
        terminal = False
    data = b"\n".join(shown(line, terminal) for line in text.split("\n")) + b"\n"
    buffer = getattr(stream, "buffer", None)
    if buffer is None:
        stream.write(data.decode("utf-8", "replace"))
        return
    stream.flush()
    buffer.write(data)
    buffer.flush()


def _identity(st):
    return st.st_dev, st.st_ino


def _identities(paths):
    found = set()
    for path in paths:
        try:
            found.add(_identity(os.stat(path)))
        except (OSError, ValueError):
            pass
    return found


def _standard_output():
    try:
        return _identity(os.fstat(sys.stdout.fileno()))
    except (AttributeError, OSError, ValueError, io.UnsupportedOperation):
        return None


class _Place:
    """Where an output named `path` goes, found as the module's docstring
    says: `kind` is "replace" (a new file renamed to `name` in `directory`),
    "straight" (opened and written to) or "stdout"."""

    def __init__(self, path, avoid):
        self.path = os.fspath(path)
        try:
            self.directory, self.name, st, self.held = resolve(path, descriptor_links=True)
        except LinkRefused as error:
            raise OutputRefused(error.errno, error.strerror, self.path) from None
        try:
            self.status = st
            if st is not None and stat.S_ISDIR(st.st_mode):
                raise OutputRefused(errno.EISDIR, "a directory", self.path)
            if st is not None and _identity(st) in _identities(avoid):
                raise OutputRefused(errno.EEXIST, "one of the recordings read", self.path)
            if st is not None and _identity(st) == _standard_output():
                self.kind = "stdout"
            elif st is None or (stat.S_ISREG(st.st_mode) and not stat.S_ISLNK(
                    os.lstat(self.name, dir_fd=self.directory).st_mode)):
                self.kind = "replace"
            else:
                self.kind = "straight"
        except BaseException:
            self.close()
            raise

    def close(self):
        if self.held is not None:
            os.close(self.held)
            self.held = None


def check_output(path, avoid=()):
    """Raises OutputRefused when `path` may not take an output (see the
    module's docstring), or OSError when its directory cannot be reached;
    `avoid` are the paths of the recordings read. Writes nothing."""
    _Place(path, avoid).close()


def write_whole(target, write, avoid=()):
    """Calls write(stream) with a binary stream for the output `target`, a
    path or a writable binary file object, as the module's docstring says:
    a regular file or none is replaced only once the output is whole, and
    never when it is one of the recordings at `avoid`; a device, FIFO or
    terminal is written straight to. A file object is written to and left
    open. Raises OutputRefused or OSError naming `target`."""
    if not isinstance(target, (str, bytes, os.PathLike)):
        write(target)
        target.flush()
        return
    place = _Place(target, avoid)
    try:
        if place.kind == "stdout":
            sys.stdout.flush()
            write(sys.stdout.buffer)
            sys.stdout.buffer.flush()
        elif place.kind == "straight":
            flags = os.O_WRONLY | _NOCTTY | _CLOEXEC
            if stat.S_ISREG(place.status.st_mode):
                flags |= os.O_TRUNC  # a regular file behind a descriptor's link
            fd = os.open(place.name, flags, dir_fd=place.directory)
            with open(fd, "wb") as stream:
                write(stream)
        else:
            _replace(place, write)
    except OSError as error:
        if error.filename is None and not isinstance(error, OutputRefused):
            raise OSError(error.errno, error.strerror, place.path) from error
        raise
    finally:
        place.close()


def _replace(place, write):
    fd, temporary = _create_temporary(place.directory, place.name)
    try:
        with open(fd, "wb") as stream:
            write(stream)
        try:
            now = os.lstat(place.name, dir_fd=place.directory)
        except FileNotFoundError:
            now = None
        if now is not None and not stat.S_ISREG(now.st_mode):
            # Something else took the name meanwhile: it is not replaced.
            raise OutputRefused(errno.EEXIST, "now %s" % file_kind(now.st_mode), place.path)
        os.rename(temporary, place.name, src_dir_fd=place.directory, dst_dir_fd=place.directory)
    except BaseException:
        os.unlink(temporary, dir_fd=place.directory)
        raise


def _create_temporary(directory, name):
    """A new file beside `name` in `directory`, made with the permissions
    of a new file (0666 less the umask), by the converter's form of
    temporary names; returns its descriptor and name."""
    room = LONGEST_NAME - 1 - len(TEMPORARY_MARK) - UNIQUE_LENGTH
    for _ in range(100):
        unique = bytes(_UNIQUE_LETTERS[b % len(_UNIQUE_LETTERS)] for b in os.urandom(UNIQUE_LENGTH))
        temporary = b"." + name[:room] + TEMPORARY_MARK + unique
        try:
            fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | _NOCTTY | _CLOEXEC,
                         0o666, dir_fd=directory)
        except FileExistsError:
            continue
        return fd, temporary
    raise FileExistsError(errno.EEXIST, "no free temporary name")
