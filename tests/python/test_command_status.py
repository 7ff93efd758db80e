"""The privileged command's exit status, decided in the module the way the runtime's own exit
would decide it, and the last flush of the standard streams."""

import io
import sys
import unittest
from unittest import mock

from support import INSTALL_DIR  # noqa: F401  (puts the staged module on sys.path)

import tq8_root_helper as helper

COMMAND = helper.main.__globals__["_command"]


class Failing(io.StringIO):
    def flush(self):
        raise OSError(28, "No space left on device")


class CommandStatusTest(unittest.TestCase):
    def status(self, raised, out=None, err=None):
        """The status after main() raises `raised` (None: returns), with sys.stderr's text."""
        out = io.StringIO() if out is None else out
        err = io.StringIO() if err is None else err
        with mock.patch.object(helper, "main", side_effect=raised), \
                mock.patch.object(sys, "stdout", out), mock.patch.object(sys, "stderr", err):
            status = COMMAND()
        return status, err.getvalue() if isinstance(err, io.StringIO) else None

    def test_exit_requests_end_as_the_runtime_ends_them(self):
        cases = [
            (SystemExit(), 0, ""),
            (SystemExit(None), 0, ""),
            (SystemExit(0), 0, ""),
            (SystemExit(2), 2, ""),
            (SystemExit(True), 1, ""),
            (SystemExit(256 + 7), 7, ""),
            (SystemExit(-1), 255, ""),
            (SystemExit(10**30), 255, ""),
            (SystemExit(2**40), 255, ""),  # beyond int: never truncated to a success
            (SystemExit("sipran kapandı"), 1, "sipran kapandı\n"),
            (SystemExit(2.5), 1, "2.5\n"),
            (SystemExit(1, 2), 1, "(1, 2)\n"),
        ]
        for raised, status, err in cases:
            with self.subTest(raised=repr(raised)):
                self.assertEqual(self.status(raised), (status, err))

    def test_other_errors_print_their_traceback_from_main_on_and_give_one(self):
        status, err = self.status(KeyError("yok"))
        self.assertEqual(status, 1)
        self.assertTrue(err.startswith("Traceback (most recent call last):\n"), err)
        self.assertNotIn("_command", err)
        self.assertTrue(err.endswith("KeyError: 'yok'\n"), err)

    def test_pending_output_is_flushed_and_a_failed_flush_gives_120(self):
        # A BufferedWriter over a pipe-like sink: nothing reaches the sink until the flush.
        sink = io.BytesIO()
        out = io.TextIOWrapper(io.BufferedWriter(sink, 8192), "utf-8")
        out.write('{"ok": true}\n')
        self.assertEqual(self.status(None, out=out), (0, ""))
        self.assertEqual(sink.getvalue(), b'{"ok": true}\n')

        status, err = self.status(SystemExit(3), out=Failing())
        self.assertEqual(status, 120)
        self.assertRegex(err, r"^Exception ignored in: <.*Failing.*>\n"
                              r"OSError: \[Errno 28\] No space left on device\n$")

        self.assertEqual(self.status(SystemExit(0), err=Failing())[0], 120)

        # A closed stdout has nothing left to flush.
        closed = io.StringIO()
        closed.close()
        self.assertEqual(self.status(SystemExit(4), out=closed), (4, ""))


if __name__ == "__main__":
    unittest.main()
