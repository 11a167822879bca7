"""The recordings of a campaign as the converter's -r finds them: the files
below directories that a selector picks, by the converter's wildcard, in
the converter's order."""

import os
import re

from .files import LinkRefused, is_temporary_name, open_directory
from .recording import is_path

DEFAULT_SELECTOR = "*.qvx"

def recordings(sources, selector=DEFAULT_SELECTOR):
    """The recordings that `sources` names, in order, as (path, error)
    pairs, error being None or the reason a directory could not be listed.

    `sources` is a path or an iterable of paths. A path that is a directory
    (or a link to one) stands for the files that the converter's -r with
    `selector` converts there, in its order: in each directory the files
    whose names match the selector ("*" any run of bytes, "?" one byte,
    letters in any case), by the bytes of their names (on Windows in the
    order the file system lists them, as the converter's build there), then its
    subdirectories the same way, at any depth, each entered once however
    many links lead to it. A selector such as "sub/*.qvx" looks in the
    subdirectory "sub" of every directory walked, each directory it leads
    to listed once, where first reached. Links are followed only
    when the user or root owns them: a file reached through another user's
    link is listed, and refused when read, as the converter refuses it; a
    directory so reached is not entered. Temporary files of outputs being
    written (".NAME.quendix-XXXXXX") are passed over. Any other path stands
    for itself, whatever its name, whether it exists or not.

    A directory that cannot be listed is a pair with the reason. Raises
    TypeError for a source that is not a path and for a selector that is
    not a str.
    """
    if is_path(sources):
        sources = [sources]
    if not isinstance(selector, str):
        raise TypeError("the selector is a str, not %s" % type(selector).__name__)
    selector_directory, _, pattern = selector.rpartition("/")
    matches = wildcard(pattern)
    for source in sources:
        if not is_path(source):
            raise TypeError("a source is a path (str, bytes or os.PathLike), not %s"
                            % type(source).__name__)
        if os.path.isdir(source):
            yield from _walk(os.fspath(source), selector_directory, matches)
        else:
            yield source, None


def wildcard(pattern):
    """A function telling whether a file name (bytes) matches the wildcard
    `pattern` as the converter matches it: "*" any run of bytes, "?" one
    byte, ASCII letters without regard to case, the whole name."""
    def piece(text):
        return b"".join(b"." if c == ord("?") else re.escape(bytes([c])) for c in text)

    parts = os.fsencode(pattern).split(b"*")
    if len(parts) == 1:
        expression = piece(parts[0])
    else:
        # Each middle piece at its first place, never tried again: linear,
        # as the converter's matcher, whatever the pattern holds.
        expression = (piece(parts[0]) + b"".join(b"(?>.*?" + piece(p) + b")" for p in parts[1:-1])
                      + b".*" + piece(parts[-1]))
    return re.compile(expression, re.DOTALL | re.IGNORECASE).fullmatch


def _walk(top, selector_directory, matches):
    """The walk of recordings() from the directory `top`, without
    recursion: a stack of the directories entered, each open, with the
    names of its subdirectories still to enter."""
    try:
        directory = open_directory(top)
    except OSError as error:
        yield top, "cannot list the directory: %s" % (error.strerror or error)
        return
    stack = []
    # The directories the selector's directory part has led to: one reached
    # from several walked directories ("../*.qvx" from each of a parent's
    # subdirectories) is listed once, where it is first reached.
    listed = set()
    try:
        visited = {directory.identity}
        path = top
        while True:
            if directory is not None:
                entries, error = _list(directory)
                if error is not None:
                    yield path, "cannot list the directory: %s" % error
                    directory.close()
                else:
                    yield from _selected(directory, path, entries, selector_directory, matches, listed)
                    names = [name for name, is_directory in entries if is_directory]
                    stack.append((directory, path, iter(names)))
                directory = None
            if not stack:
                return
            parent, parent_path, names = stack[-1]
            name = next(names, None)
            if name is None:
                parent.close()
                stack.pop()
                continue
            path = os.path.join(parent_path, name if isinstance(parent_path, bytes) else os.fsdecode(name))
            try:
                directory = open_directory(name, parent)
            except LinkRefused:
                directory = None  # another user's link: not entered, as the converter does
                continue
            except OSError as error:
                yield path, "cannot list the directory: %s" % (error.strerror or error)
                directory = None
                continue
            if directory.identity in visited:
                directory.close()
                directory = None
            else:
                visited.add(directory.identity)
    finally:
        if directory is not None:
            directory.close()
        for parent, _, _ in stack:
            parent.close()


def _list(directory):
    """The entries of the open `directory` as Directory.entries() gives
    them, and None; or None and the reason they cannot be read."""
    try:
        return directory.entries(), None
    except OSError as error:
        return None, error.strerror or str(error)


def _selected(directory, path, entries, selector_directory, matches, listed):
    """The paths of the files of `entries` (of `directory`, at `path`)
    that the selector picks, or of its directory's when that one is not in
    `listed` (the identities of those listed before, to which it is
    added)."""
    if selector_directory:
        try:
            subdirectory = open_directory(selector_directory, directory)
        except OSError:
            return
        with subdirectory:
            if subdirectory.identity in listed:
                return
            listed.add(subdirectory.identity)
            entries, error = _list(subdirectory)
        if error is not None:
            return
        path = os.path.join(path, selector_directory if not isinstance(path, bytes)
                            else os.fsencode(selector_directory))
    for name, is_directory in entries:
        if not is_directory and matches(name) and not is_temporary_name(name):
            yield os.path.join(path, name if isinstance(path, bytes) else os.fsdecode(name)), None
