"""A warm `python -m quendix` for the tests: started once with the modules
the commands use already imported, it forks a process for each command it
is sent, and that process runs `python -m quendix` with the command's
arguments, directory, environment and standard input, output and error. A
fresh interpreter spends most of a short command importing pandas and
matplotlib; a fork of this one does not.

    python warm_quendix.py FD      (FD: a SOCK_SEQPACKET Unix socket)

A request is one message: the pickled (arguments, directory, environment)
with the three descriptors to be the command's standard input, output and
error. The answer is two messages: the command's process ID once it has
started, then its exit status as subprocess gives it (the signal's
number, negated, when a signal ended it). quendix_testing.run_quendix is the other end."""

import atexit
import gc
import importlib
import os
import pickle
import runpy
import signal
import socket
import struct
import sys
import threading
import traceback

# What the commands import; one that fails to import is left to fail, as
# it would, in the command that needs it.
PRELOADED = ("quendix", "quendix.calibrating", "quendix.epochs", "quendix.export", "quendix.page",
             "quendix.physical", "quendix.quality", "quendix.quicklook", "pandas", "matplotlib.figure",
             "matplotlib.backends.backend_agg", "h5py", "concurrent.futures")


def serve(connection):
    """Answers requests until the other end closes; returns a request in
    the process forked for it, with its descriptors in place."""
    while True:
        message, fds, _, _ = socket.recv_fds(connection, 1 << 20, 3)
        if not message:
            sys.exit(0)
        request = pickle.loads(message)
        sys.stdout.flush()
        sys.stderr.flush()
        pid = os.fork()
        if pid == 0:
            connection.close()
            for target, fd in enumerate(fds):
                os.dup2(fd, target)
            for fd in fds:
                os.close(fd)
            return request
        for fd in fds:
            os.close(fd)
        connection.send(struct.pack("q", pid))
        _, status = os.waitpid(pid, 0)
        connection.send(struct.pack("q", os.waitstatus_to_exitcode(status)))


def main():
    connection = socket.socket(fileno=int(sys.argv[1]))
    for name in PRELOADED:
        try:
            importlib.import_module(name)
        except ImportError:
            pass
    # What is loaded stays out of the collector's way, so that a fork's
    # collections do not copy it.
    gc.freeze()
    arguments, directory, environment = serve(connection)
    if directory is not None:
        os.chdir(directory)
    os.environ.clear()
    os.environ.update(environment)
    # As `python -m` has it: the directory first on the path, the module's
    # file as the program's name.
    sys.path[0] = os.getcwd()
    sys.argv = ["-m"] + arguments
    try:
        runpy._run_module_as_main("quendix")
        status = 0
    except SystemExit as done:
        status = exit_status(done.code)
    except KeyboardInterrupt:
        status = -signal.SIGINT
    except BaseException:
        traceback.print_exc()
        status = 1
    ended(status)


def exit_status(code):
    """The exit status of sys.exit(code), as the interpreter makes it."""
    if code is None:
        return 0
    if isinstance(code, int):
        return code & 0xFF
    print(code, file=sys.stderr)
    return 1


def ended(status):
    """Ends the process as the interpreter ends it, without tearing its
    modules down: that takes a forked copy of this interpreter half a
    second, each of its objects written to once more. The threads are
    waited for, the exit functions run and standard output and error
    flushed (a failure there makes the status 120); a KeyboardInterrupt
    that nothing caught ends the process by SIGINT."""
    threading._shutdown()
    atexit._run_exitfuncs()
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except Exception:
            status = 120
    if status == -signal.SIGINT:
        signal.signal(signal.SIGINT, signal.SIG_DFL)
        os.kill(os.getpid(), signal.SIGINT)
    os._exit(status)


if __name__ == "__main__":
    main()
