"""Files as the converter meets them: links followed only when the user or
root owns them, recordings opened only when they are regular files, names
shown on a terminal without their control bytes, and outputs that replace
nothing but a regular file at their own name.

Outputs. A name given for an output means what it means to any Unix tool:
- no file, or a regular file: the output is written under a temporary name
  beside it (". NAME .quendix-XXXXXX", which the walk passes over) and
  renamed into place once whole, unless that file is one of the recordings
  being read; the temporary file goes when the writing fails or SIGINT,
  SIGTERM or SIGHUP ends the program;
- a device, FIFO or terminal (/dev/null, /dev/stdout, a pipe): the output
  is written straight to it, and it stays what it was; a FIFO is opened
  without waiting, and refused when no reader has it open;
- a directory, a socket, or a name reached through a link of another user:
  refused with OutputRefused, before anything is written;
- in a sticky directory that others or its group may write to (such as
  /tmp), a file of another user (neither the user, root, nor the
  directory's owner): refused, as the system refuses to open such a FIFO
  or file for a program that would create it;
- a link of the user's own or of root: followed, and the output goes where
  it leads, the link staying a link.
A name the package chose itself (the picture beside its recording) is
written only as a new file or over a regular file: anything else there, a
link or a FIFO of the user's own included, is refused.

A new file is no more readable than what it is made from (see access_of()):
the read and write bits its recordings all have, under the umask, and
their group where they share one and the user may give it; elsewhere no
group or other bits, as the converter gives its CSV and log.
"""

import collections
import errno
import io
import os
import re
import signal
import stat
import sys
import threading

# Links followed on the way to one file at most, as the converter allows.
MOST_LINKS = 40

TEMPORARY_MARK = b".quendix-"
UNIQUE_LENGTH = 6
_UNIQUE_LETTERS = b"0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
# The longest file name most file systems take, in bytes.
LONGEST_NAME = 255

_CLOEXEC = getattr(os, "O_CLOEXEC", 0)
_NOCTTY = getattr(os, "O_NOCTTY", 0)
_NOFOLLOW = getattr(os, "O_NOFOLLOW", 0)
_DIRECTORY = getattr(os, "O_DIRECTORY", 0)
_NONBLOCK = getattr(os, "O_NONBLOCK", 0)
_PATH = getattr(os, "O_PATH", 0)

# The two ways of reaching files. "descriptors": every component of a path
# opened with O_PATH | O_NOFOLLOW relative to the descriptor of the
# directory before it, and every later step taken relative to a directory
# descriptor, so that no component can be swapped between a check and its
# use. "portable": the same steps on path names, with what every
# platform's Python has (os.lstat, os.readlink, os.open, os.scandir,
# os.replace); see docs/python.md for what it cannot promise.
DESCRIPTORS = "descriptors"
PORTABLE = "portable"


def _descriptors_supported():
    """Whether this platform has all that the descriptors way needs: O_PATH
    (whose descriptors os.readlink reads with an empty name), the
    functions taking dir_fd and owners of files."""
    return (_PATH != 0 and hasattr(os, "geteuid")
            and {os.open, os.stat, os.readlink, os.rename, os.unlink} <= os.supports_dir_fd
            and os.stat in os.supports_follow_symlinks and os.listdir in os.supports_fd)


def _chosen_way():
    # QUENDIX_FILE_WAY=portable is for the package's tests, which run once
    # with each way on a platform that has both; it is not a user's option.
    if os.environ.get("QUENDIX_FILE_WAY") == PORTABLE or not _descriptors_supported():
        return PORTABLE
    return DESCRIPTORS


_way = _chosen_way()


def way():
    """The way files are reached here: DESCRIPTORS or PORTABLE."""
    return _way


def _use_way(name):
    """Makes `name` the way from here on and returns the one before; for
    the tests, which walk and write both ways in one run."""
    global _way
    if name not in (DESCRIPTORS, PORTABLE) or (name == DESCRIPTORS and not _descriptors_supported()):
        raise ValueError("no way %r here" % (name,))
    previous, _way = _way, name
    return previous


# Listings in the bytes order of the names, as the converter sorts them,
# except on Windows, whose build keeps the order the file system lists
# them in.
SORTED_LISTINGS = os.name != "nt"

_SEPARATORS = {os.fsencode(s) for s in (os.sep, os.altsep) if s}
_SEPARATOR_BYTES = b"".join(_SEPARATORS)


class OutputRefused(OSError):
    """An output name that is not written at all: a directory, a socket, a
    name reached through another user's link or holding another user's
    file in a sticky directory, a FIFO without a reader, one of the
    recordings read, or a name of the package's own that is not a regular
    file."""


class LinkRefused(OSError):
    """A path through a link of another user, which is not followed."""


def trusted_owner(uid):
    """Whether a link owned by `uid` may be followed: the user's own or the
    superuser's, never one that another user could have planted. Where
    files have no owners (no os.geteuid), every link is."""
    if not hasattr(os, "geteuid"):
        return True
    return uid == os.geteuid() or uid == 0


def _one_more_link(st, links, name):
    """The count of links followed on the way to `name` once the link
    `st` is, from `links` before it: raises LinkRefused for another
    user's link and ELOOP past MOST_LINKS."""
    if not trusted_owner(st.st_uid):
        raise LinkRefused(errno.EPERM, "a link of another user, not followed", name)
    if links + 1 > MOST_LINKS:
        raise OSError(errno.ELOOP, os.strerror(errno.ELOOP), name)
    return links + 1


def _at(directory, name):
    """The path of `name` in `directory`, a path (bytes) or None for the
    current directory; for the portable way."""
    return name if directory is None else os.path.join(directory, name)


# Steps on a `name` in a `directory`: a descriptor (the descriptors way),
# a path (the portable way) or None (the current directory, both ways).

def _open_at(name, flags, directory, mode=0o777):
    if isinstance(directory, int):
        return os.open(name, flags, mode, dir_fd=directory)
    return os.open(_at(directory, name), flags, mode)


def _lstat_at(name, directory):
    if isinstance(directory, int):
        return os.stat(name, dir_fd=directory, follow_symlinks=False)
    return os.lstat(_at(directory, name))


def _stat_at(name, directory):
    if isinstance(directory, int):
        return os.stat(name, dir_fd=directory)
    return os.stat(_at(directory, name))


def _rename_at(source, target, directory):
    if isinstance(directory, int):
        os.rename(source, target, src_dir_fd=directory, dst_dir_fd=directory)
    else:
        os.replace(_at(directory, source), _at(directory, target))


def _unlink_at(name, directory):
    if isinstance(directory, int):
        os.unlink(name, dir_fd=directory)
    else:
        os.unlink(_at(directory, name))


def _status_of(directory):
    if isinstance(directory, int):
        return os.fstat(directory)
    return os.stat(b"." if directory is None else directory)


def _proc_device():
    try:
        return os.stat("/proc").st_dev
    except OSError:
        return None


def resolve(path, dir_fd=None, descriptor_links=False, follow_last=True):
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
    Without `follow_last`, a last component that is a link is not followed
    at all: its status is the link's own. Raises LinkRefused for another
    user's link, OSError otherwise.

    The portable way takes the same steps on path names: `dir_fd` and the
    directory returned are then paths (bytes) or None, and `held` is None.
    """
    if _way == PORTABLE:
        return _resolve_by_names(path, dir_fd, descriptor_links, follow_last)
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
            if target is None or (last and not follow_last):
                if last:
                    return at, part, st, held
                if not stat.S_ISDIR(st.st_mode):
                    raise NotADirectoryError(errno.ENOTDIR, os.strerror(errno.ENOTDIR), name)
                move_to(os.open(part, _PATH | os.O_NOFOLLOW | os.O_DIRECTORY | _CLOEXEC, dir_fd=at))
                continue
            links = _one_more_link(st, links, name)
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


def _anchor(rest):
    """The root `rest` starts from (b"/", or a drive and its root where
    there are drives) and what follows it; or b"" and `rest`."""
    drive, tail = os.path.splitdrive(rest)
    if tail[:1] in _SEPARATORS:
        return drive + tail[:1], tail.lstrip(_SEPARATOR_BYTES)
    return drive, tail


def _first_part(rest):
    """The first component of `rest` and the rest after its separator."""
    ends = [rest.find(s) for s in _SEPARATORS if s in rest]
    if not ends:
        return rest, b""
    end = min(ends)
    return rest[:end], rest[end + 1:]


def _resolve_by_names(path, directory, descriptor_links, follow_last):
    """resolve() the portable way: each component looked at by os.lstat on
    the path built so far, which holds no link, each link's text read and
    put in its place."""
    name = os.fspath(path)
    rest = os.fsencode(name)
    at = directory
    links = 0
    proc = None
    try:
        while True:
            anchor, tail = _anchor(rest)
            if anchor:
                at, rest = anchor, tail or b"."
                continue
            part, rest = _first_part(rest)
            last = rest.strip(_SEPARATOR_BYTES) == b""
            if not part:
                if not last:
                    continue
                part = b"."
            full = _at(at, part)
            try:
                st = os.lstat(full)
            except FileNotFoundError:
                if last:
                    return at, part, None, None
                raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), name) from None
            target = os.fsencode(os.readlink(full)) if stat.S_ISLNK(st.st_mode) else None
            if target is None or (last and not follow_last):
                if last:
                    return at, part, st, None
                if not stat.S_ISDIR(st.st_mode):
                    raise NotADirectoryError(errno.ENOTDIR, os.strerror(errno.ENOTDIR), name)
                at = full
                continue
            links = _one_more_link(st, links, name)
            if descriptor_links and last:
                proc = _proc_device() if proc is None else proc
                if st.st_dev == proc:
                    return at, part, os.stat(full), None
            rest = target + os.fsencode(os.sep) + rest if not last else target
    except OSError as error:
        raise _named(error, name) from None


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
        return _open_at(part, flags | _NOFOLLOW | _CLOEXEC, at)
    except OSError as error:
        raise _named(error, name) from None
    finally:
        if held is not None:
            os.close(held)


class Directory:
    """A directory opened for a walk, reached through trusted links: its
    `identity` (device and inode), its entries by entries(), and the
    directories below it by open_directory(name, it). Held open (the
    descriptors way) until close()."""

    def __init__(self, handle, identity):
        self._handle = handle  # a descriptor, or the path of the portable way
        self.identity = identity

    def entries(self):
        """The entries as (name, is_directory) pairs, names as bytes, in the
        converter's order (SORTED_LISTINGS), an entry being a directory
        when it is one or any link leads to one. Raises OSError when the
        directory cannot be listed."""
        if isinstance(self._handle, int):
            entries = []
            for name in os.listdir(self._handle):
                name = os.fsencode(name)
                try:
                    is_directory = stat.S_ISDIR(os.stat(name, dir_fd=self._handle).st_mode)
                except OSError:
                    is_directory = False
                entries.append((name, is_directory))
        else:
            entries = []
            with os.scandir(self._handle) as listing:
                for entry in listing:
                    try:
                        is_directory = entry.is_dir()
                    except OSError:
                        is_directory = False
                    entries.append((os.fsencode(entry.name), is_directory))
        if SORTED_LISTINGS:
            entries.sort()
        return entries

    def close(self):
        if isinstance(self._handle, int):
            os.close(self._handle)
        self._handle = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False


def open_directory(path, parent=None):
    """The Directory `path` (relative to the Directory `parent`, or the
    current directory), reached through trusted links; raises LinkRefused
    for another user's link, OSError otherwise. Where descriptors run out
    (every level of a deep walk holds its directory open), more are asked
    for once."""
    try:
        return _open_directory(path, parent)
    except OSError as error:
        if error.errno != errno.EMFILE or not _more_descriptors():
            raise
    return _open_directory(path, parent)


def _open_directory(path, parent):
    at = None if parent is None else parent._handle
    if _way == DESCRIPTORS:
        fd = open_trusted(path, os.O_RDONLY | _DIRECTORY | _NONBLOCK, at)
        try:
            return Directory(fd, _identity(os.fstat(fd)))
        except BaseException:
            os.close(fd)
            raise
    name = os.fspath(path)
    at, part, st, _ = resolve(path, at)
    if st is None:
        raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), name)
    if not stat.S_ISDIR(st.st_mode):
        raise NotADirectoryError(errno.ENOTDIR, os.strerror(errno.ENOTDIR), name)
    return Directory(_at(at, part), _identity(st))


def _more_descriptors():
    try:
        import resource
    except ImportError:
        return False
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft >= hard and hard != resource.RLIM_INFINITY:
        return False
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    return True


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
    if stat.S_ISREG(mode):
        return "a regular file"
    if stat.S_ISLNK(mode):
        return "a link"
    if stat.S_ISDIR(mode):
        return "a directory"
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


# The signals whose default action ends the program, and which the
# program takes, while a temporary file exists, to remove it first, as it
# does SIGINT's KeyboardInterrupt.
_ENDING_SIGNALS = tuple(getattr(signal, name) for name in ("SIGTERM", "SIGHUP") if hasattr(signal, name))


class Access(collections.namedtuple("Access", "permissions group")):
    """What a new output may give away: `permissions`, its read and write
    bits (0666 at most; the umask is taken off when the file is made), and
    `group`, the group it is to have, or None for no group or other bits."""


def access_of(paths):
    """The Access of an output made from the files at `paths`, as the
    converter gives one recording's CSV and log: the read and write bits
    that all of them have, and their group where they all share one (None
    where they do not, or `paths` is empty). Links are followed only as
    resolve() says; a file that cannot be looked at counts as one with no
    group or other bits."""
    permissions, groups = 0o666, set()
    for path in paths:
        try:
            _, _, st, held = resolve(path)
            if held is not None:
                os.close(held)
        except (OSError, ValueError):
            st = None
        if st is None:
            permissions &= 0o600
            groups.add(None)
        else:
            permissions &= st.st_mode & 0o666
            groups.add(st.st_gid)
    return Access(permissions, groups.pop() if len(groups) == 1 else None)


def _of_another_user(directory, st):
    """Whether the file of status `st` in `directory` (as resolve() gives
    it) is another user's in a sticky directory
    that others or its group may write to: the files the system keeps a
    program from opening where it would create one (protected_fifos,
    protected_regular), which such a user may have put there to read what
    is written."""
    if not hasattr(os, "geteuid") or st.st_uid in (os.geteuid(), 0):
        return False
    parent = _status_of(directory)
    return (parent.st_mode & stat.S_ISVTX != 0 and parent.st_mode & (stat.S_IWGRP | stat.S_IWOTH) != 0
            and st.st_uid != parent.st_uid)


class _Place:
    """Where an output named `path` goes, found as the module's docstring
    says: `kind` is "replace" (a new file renamed to `name` in `directory`),
    "straight" (opened and written to) or "stdout". A name `chosen` by the
    package is only ever replaced. An output that must be `seekable` is
    refused unless it goes to a regular file."""

    def __init__(self, path, avoid, chosen=False, seekable=False):
        self.path = os.fspath(path)
        try:
            self.directory, self.name, st, self.held = resolve(path, descriptor_links=True,
                                                               follow_last=not chosen)
        except LinkRefused as error:
            raise OutputRefused(error.errno, error.strerror, self.path) from None
        try:
            self.status = st
            if st is not None:
                self._refuse(st, avoid, chosen)
            if st is not None and not chosen and _identity(st) == _standard_output():
                self.kind = "stdout"
            elif st is None or (stat.S_ISREG(st.st_mode) and not stat.S_ISLNK(
                    _lstat_at(self.name, self.directory).st_mode)):
                self.kind = "replace"
            else:
                self.kind = "straight"
            if seekable and self.kind != "replace" and (self.kind == "stdout" or not stat.S_ISREG(st.st_mode)):
                shown = "standard output" if self.kind == "stdout" else file_kind(st.st_mode)
                raise OutputRefused(errno.ESPIPE, "%s, not a file to seek in" % shown, self.path)
        except BaseException:
            self.close()
            raise

    def _refuse(self, st, avoid, chosen):
        """Raises OutputRefused when the file of status `st` at the name may
        not take the output."""
        mode = st.st_mode
        if stat.S_ISDIR(mode):
            raise OutputRefused(errno.EISDIR, "a directory", self.path)
        if _identity(st) in _identities(avoid):
            raise OutputRefused(errno.EEXIST, "one of the recordings read", self.path)
        if _of_another_user(self.directory, st):
            raise OutputRefused(errno.EACCES, "%s of another user in a sticky directory" % file_kind(mode),
                                self.path)
        if chosen and not stat.S_ISREG(mode):
            raise OutputRefused(errno.EEXIST, "%s, not a regular file" % file_kind(mode), self.path)
        if stat.S_ISSOCK(mode):
            raise OutputRefused(errno.ENXIO, "a socket", self.path)

    def close(self):
        if self.held is not None:
            os.close(self.held)
            self.held = None


def check_output(path, avoid=(), chosen=False, seekable=False):
    """Raises OutputRefused when `path` may not take an output (see the
    module's docstring), or OSError when its directory cannot be reached;
    `avoid` are the paths of the recordings read, `chosen` tells a name
    the package chose itself, `seekable` an output that must be a regular
    file (see write_whole). Writes nothing."""
    _Place(path, avoid, chosen, seekable).close()


def write_whole(target, write, avoid=(), access=None, chosen=False, seekable=False):
    """Calls write(stream) with a binary stream for the output `target`, a
    path or a writable binary file object, as the module's docstring says:
    a regular file or none is replaced only once the output is whole, and
    never when it is one of the recordings at `avoid`; a device, FIFO or
    terminal is written straight to. A new file gets `access` (an Access,
    see access_of(); None for the permissions of any new file). `chosen`
    tells a name the package chose itself. A file object is written to and
    left open. With `seekable`, for a writer that seeks and reads back what
    it wrote (HDF5), the stream is open for reading too, and an output
    that is not a regular file (standard output, a device, a FIFO) is
    refused. Raises OutputRefused or OSError naming `target`."""
    if not isinstance(target, (str, bytes, os.PathLike)):
        write(target)
        target.flush()
        return
    place = _Place(target, avoid, chosen, seekable)
    try:
        if place.kind == "stdout":
            sys.stdout.flush()
            write(sys.stdout.buffer)
            sys.stdout.buffer.flush()
        elif place.kind == "straight":
            fd = _open_straight(place, seekable)
            with (_FullWrites(fd, "r+") if seekable else open(fd, "wb")) as stream:
                write(stream)
        else:
            _replace(place, write, access, seekable)
    except OSError as error:
        if error.filename is None and not isinstance(error, OutputRefused):
            raise OSError(error.errno, error.strerror, place.path) from error
        raise
    finally:
        place.close()


class _FullWrites(io.FileIO):
    """A file open for reading and writing whose write() writes every byte
    or raises, as a buffered file's does, and holds none back: for a
    writer that seeks and reads back what it wrote, and would not notice
    a short write (HDF5's writing to a file object)."""

    def write(self, data):
        view = memoryview(data).cast("B")
        done = 0
        while done < len(view):
            done += super().write(view[done:])
        return done


def _open_straight(place, readable=False):
    """A descriptor open for writing (and reading, when `readable`) on the
    device, FIFO or terminal of `place`, opened without waiting: a FIFO
    without a reader is refused rather than waited for. Writes then wait
    as usual."""
    flags = (os.O_RDWR if readable else os.O_WRONLY) | _NOCTTY | _CLOEXEC | _NONBLOCK
    if stat.S_ISREG(place.status.st_mode):
        flags |= os.O_TRUNC  # a regular file behind a descriptor's link
    try:
        fd = _open_at(place.name, flags, place.directory)
    except OSError as error:
        if error.errno == errno.ENXIO and stat.S_ISFIFO(place.status.st_mode):
            raise OutputRefused(errno.ENXIO, "a FIFO with no reader", place.path) from None
        raise
    if _NONBLOCK:
        try:
            os.set_blocking(fd, True)
        except BaseException:
            os.close(fd)
            raise
    return fd


class _Ended(BaseException):
    """One of _ENDING_SIGNALS, raised in the main thread where it would have
    ended the program at once."""

    def __init__(self, number):
        super().__init__(number)
        self.number = number


class _Signals:
    """While the block runs in the main thread, SIGINT (when it raises
    KeyboardInterrupt) and each of _ENDING_SIGNALS (when it ends the
    program) raise KeyboardInterrupt or _Ended once, where the block says
    it may be cut short (speak()), so that the cleanups on the way out run;
    elsewhere the signal is only noted, and raised when the block speaks or
    ends. A signal that ends the program ends it, by that signal, once the
    block is over. The block starts quiet."""

    def __init__(self):
        self.number = None
        self.raised = False
        self.quiet = True
        self.previous = {}

    def __enter__(self):
        if threading.current_thread() is threading.main_thread():
            for number in (signal.SIGINT,) + _ENDING_SIGNALS:
                usual = signal.default_int_handler if number == signal.SIGINT else signal.SIG_DFL
                if signal.getsignal(number) == usual:
                    self.previous[number] = signal.signal(number, self._caught)
        return self

    def _caught(self, number, frame):
        if self.number is None:
            self.number = number
            if not self.quiet:
                self._raise()

    def _raise(self):
        self.raised = True
        if self.number == signal.SIGINT:
            raise KeyboardInterrupt
        raise _Ended(self.number)

    def speak(self):
        """From here on a signal cuts the block short."""
        self.quiet = False
        if self.number is not None and not self.raised:
            self._raise()

    def hush(self):
        """From here on a signal waits for the block's end."""
        self.quiet = True

    def __exit__(self, *exc):
        for number, action in self.previous.items():
            signal.signal(number, action)
        if self.number is not None and self.number != signal.SIGINT:
            signal.raise_signal(self.number)
        if self.number == signal.SIGINT and not self.raised:
            raise KeyboardInterrupt
        return False


def _replace(place, write, access, readable=False):
    with _Signals() as signals:
        made = []
        try:
            fd, temporary = _create_temporary(place.directory, place.name,
                                              0o666 if access is None else access.permissions, made, readable)
            signals.speak()
            with (_FullWrites(fd, "r+") if readable else open(fd, "wb")) as stream:
                if access is not None:
                    _give(fd, access)
                write(stream)
            try:
                now = _lstat_at(place.name, place.directory)
            except FileNotFoundError:
                now = None
            if now is not None and not stat.S_ISREG(now.st_mode):
                # Something else took the name meanwhile: it is not replaced.
                raise OutputRefused(errno.EEXIST, "now %s" % file_kind(now.st_mode), place.path)
            _rename_at(temporary, place.name, place.directory)
        except BaseException:
            signals.hush()
            for name in made:
                _unlink_at(name, place.directory)
            raise


def _create_temporary(directory, name, permissions=0o666, made=None, readable=False):
    """A new file beside `name` in `directory` (as resolve() gives it), by the converter's form of
    temporary names, with `permissions` less the umask; returns its
    descriptor (open for writing, and for reading when `readable`) and
    name, which goes into the list `made` as soon as the file exists."""
    room = LONGEST_NAME - 1 - len(TEMPORARY_MARK) - UNIQUE_LENGTH
    for _ in range(100):
        unique = bytes(_UNIQUE_LETTERS[b % len(_UNIQUE_LETTERS)] for b in os.urandom(UNIQUE_LENGTH))
        temporary = b"." + name[:room] + TEMPORARY_MARK + unique
        try:
            access_mode = os.O_RDWR if readable else os.O_WRONLY
            fd = _open_at(temporary, access_mode | os.O_CREAT | os.O_EXCL | _NOFOLLOW | _NOCTTY | _CLOEXEC
                          | getattr(os, "O_BINARY", 0), directory, permissions)
        except FileExistsError:
            continue
        if made is not None:
            made.append(temporary)
        return fd, temporary
    raise FileExistsError(errno.EEXIST, "no free temporary name")


def _give(fd, access):
    """Gives the new file `fd` the group of `access`; where the user may
    not (not a member of it, nor root), or `access` has none, takes away
    its group and other bits: the directory's group (a set-group-ID
    directory's) or the user's may hold users who may not read what it
    was made from."""
    if not hasattr(os, "fchown") or not hasattr(os, "fchmod"):
        return  # no groups, and no modes beyond read-only
    st = os.fstat(fd)
    if access.group is not None:
        if st.st_gid == access.group:
            return
        try:
            os.fchown(fd, -1, access.group)
            return
        except OSError:
            pass
    os.fchmod(fd, stat.S_IMODE(st.st_mode) & 0o600)
