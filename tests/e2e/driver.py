"""Runs brickfix in line mode and talks to it as an operator would."""

import os
import re
import subprocess
import threading
import time


class Brickfix:
    """brickfix --ui=line inside a namespace, with its output collected."""

    def __init__(self, lab, binary, cwd, env=None, log=None, launcher=()):
        """launcher: what runs the binary (wine64 for the Windows program)."""
        full_env = dict(os.environ)
        full_env.update(env or {})
        self.proc = lab.start(lab.pc, list(launcher) + [binary, "--ui=line"], cwd=cwd, env=full_env,
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE)
        self.lines = []       # complete lines
        self.partial = ""     # the unfinished last line (progress marks)
        self.stderr = []
        self.log = log
        self.cond = threading.Condition()
        self.eof = False
        self.read_pos = 0     # expect() looks at lines from here on
        threading.Thread(target=self._read_stdout, daemon=True).start()
        threading.Thread(target=self._read_stderr, daemon=True).start()

    def _read_stdout(self):
        buf = b""
        while True:
            chunk = os.read(self.proc.stdout.fileno(), 65536)
            if not chunk:
                break
            buf += chunk
            with self.cond:
                *done, rest = buf.split(b"\n")
                for raw in done:
                    line = raw.decode("utf-8", "replace")
                    self.lines.append(line)
                    if self.log:
                        self.log.write("  | " + line + "\n")
                buf = rest
                self.partial = buf.decode("utf-8", "replace")
                self.cond.notify_all()
        with self.cond:
            if buf:
                self.lines.append(buf.decode("utf-8", "replace"))
            self.partial = ""
            self.eof = True
            self.cond.notify_all()

    def _read_stderr(self):
        for raw in self.proc.stderr:
            self.stderr.append(raw.decode("utf-8", "replace").rstrip("\n"))

    # -- operator actions --

    def answer(self, text):
        self.proc.stdin.write((text + "\n").encode())
        self.proc.stdin.flush()

    def close_input(self):
        try:
            self.proc.stdin.close()
        except BrokenPipeError:
            pass

    # -- expectations --

    def expect(self, pattern, timeout=30):
        """Waits for a line matching pattern (a string: the whole line; or a
        compiled regex: search) after the last expected one; returns it."""
        def match(line):
            if isinstance(pattern, str):
                return line == pattern
            return pattern.search(line) is not None
        deadline = time.time() + timeout
        with self.cond:
            while True:
                for i in range(self.read_pos, len(self.lines)):
                    if match(self.lines[i]):
                        self.read_pos = i + 1
                        return self.lines[i]
                left = deadline - time.time()
                if left <= 0 or self.eof:
                    raise AssertionError("no line %r; last lines:\n%s\nstderr:\n%s" % (
                        pattern, "\n".join(self.lines[-25:]), "\n".join(self.stderr[-10:])))
                self.cond.wait(min(left, 0.5))

    def expect_each(self, lines, timeout=30):
        """Waits for every one of lines, in any order (lines that different
        threads print, such as the end of one transfer and the start of the
        next)."""
        start = self.read_pos
        last = start
        for line in lines:
            self.read_pos = start
            self.expect(line, timeout)
            last = max(last, self.read_pos)
        self.read_pos = last

    def expect_message_box(self, text, timeout=30):
        self.expect("[MessageBox] " + text, timeout)
        self.answer("")  # OK

    def lines_since(self, start_line):
        """The lines from the last occurrence of start_line to now."""
        with self.cond:
            for i in range(len(self.lines) - 1, -1, -1):
                if self.lines[i] == start_line:
                    return list(self.lines[i:])
        return []

    def wait_exit(self, timeout=30):
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError("brickfix did not end; last lines:\n" +
                                 "\n".join(self.lines[-25:]))

    def all_text(self):
        with self.cond:
            return "\n".join(self.lines) + self.partial


MARKS = re.compile(r"^#+$")
