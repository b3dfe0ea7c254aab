"""A fresh Wine prefix with the null graphics driver and a persistent Wine server whose system
processes (services, event log) write their debug trace into a file the tests read."""

import glob
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

# The helpers of the Linux scenarios read logs, send datagrams and serve mail alike here.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from quorvel_e2e import entries, sjis, wait_until  # noqa: E402

EXE = os.environ.get("QUORVEL_EXE", "quorvel.exe")
SERVICE = "QuorvelService"


def work_dir(name):
    return os.environ.get("QUORVEL_E2E_DIR", os.path.join(os.path.dirname(os.path.abspath(EXE)), name))


WINE = os.environ.get("QUORVEL_WINE", "/usr/lib/wine/wine64")
WINESERVER = os.path.join(os.path.dirname(WINE), "wineserver")
# Event log entries appear in Wine's trace only: fixme+advapi shows each
# ReportEventA call with its type and ID, +eventlog its text.
TRACE = "-all,+eventlog,fixme+advapi"


class WinePrefix:
    def __init__(self, folder):
        self.folder = folder
        self.prefix = os.path.join(folder, "prefix")
        self.trace_path = os.path.join(folder, "wine-trace.log")
        self.env = dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG=TRACE, WINEDLLOVERRIDES="mscoree,mshtml=")
        self.env.pop("DISPLAY", None)
        self.trace = None

    def start(self):
        shutil.rmtree(self.folder, ignore_errors=True)
        os.makedirs(self.folder)
        # Output to files or nowhere, never to pipes: Wine's lingering
        # processes would hold a pipe open long after the command ended.
        subprocess.run([WINE, "reg", "add", r"HKCU\Software\Wine\Drivers", "/v", "Graphics", "/d", "null", "/f"],
                       env=dict(self.env, WINEDEBUG="-all"), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       stdin=subprocess.DEVNULL, timeout=300, check=True)
        self._server(["-k"])
        self._server(["-w"])
        # Boot again with the trace on: the system processes started now keep
        # this trace file as their standard error, and so do the services
        # they start later.
        self._server(["-p"])
        self.trace = open(self.trace_path, "wb")
        subprocess.run([WINE, "sc", "query", "eventlog"], env=self.env, stdout=subprocess.DEVNULL, stderr=self.trace,
                       stdin=subprocess.DEVNULL, timeout=300)

    def _server(self, args):
        subprocess.run([WINESERVER] + args, env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       stdin=subprocess.DEVNULL, timeout=60)

    def stop(self):
        self._server(["-k"])
        self.trace.close()

    def run(self, args, timeout=120):
        """Runs a Windows program; returns (exit code, stdout bytes, stderr bytes)."""
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            p = subprocess.run([WINE] + args, env=self.env, stdout=out, stderr=err, stdin=subprocess.DEVNULL,
                               timeout=timeout)
            return p.returncode, out.seek(0) or out.read(), err.seek(0) or err.read()

    def windows_path(self, unix_path):
        return "Z:" + unix_path.replace("/", "\\")

    def trace_text(self):
        self.trace.flush()
        return pathlib.Path(self.trace_path).read_bytes().decode("latin-1")


class WineTestCase(unittest.TestCase):
    """Tests that share one fresh Wine prefix, made in WORK/wine (WORK: the subclass's folder) and
    stopped after the last of them."""

    WORK = None

    @classmethod
    def setUpClass(cls):
        cls.wine = WinePrefix(os.path.join(cls.WORK, "wine"))
        cls.wine.start()
        cls.addClassCleanup(cls.wine.stop)

    def wine_ok(self, *args, code=0):
        """Runs a Windows program that must end with the code; its (stdout, stderr) as text."""
        result = self.wine.run(list(args))
        self.assertEqual(result[0], code, result)
        return result[1].decode("latin-1"), result[2].decode("utf-8", "replace")

    def service_state(self):
        return self.wine.run(["sc", "query", SERVICE])[1].decode("latin-1")

    def stop_service(self):
        # Wine's net stop returns at once; the service reports the end itself.
        self.wine_ok("net", "stop", SERVICE)
        self.assertTrue(wait_until(lambda: "STOPPED" in self.service_state(), 30))

    def console(self, app, ini_lines, **env):
        """quorvel.exe -RUN in a fresh folder (make_app), its output into the file out there; killed at the
        test's end."""
        exe = make_app(app, ini_lines)
        with open(os.path.join(app, "out"), "wb") as out:
            proc = subprocess.Popen([WINE, exe, "-RUN"], cwd=app, stdout=out, stderr=subprocess.STDOUT,
                                    env=dict(self.wine.env, WINEDEBUG="-all", **env), stdin=subprocess.DEVNULL)
        self.addCleanup(lambda: (proc.kill(), proc.wait()))
        return proc

    def wait_log(self, path, text, count=1, timeout=60):
        """Waits until count lines of the log hold the text."""
        self.assertTrue(wait_until(lambda: sum(text in l for l in log_lines(path)) >= count, timeout),
                        (text, log_lines(path)[-5:]))


def make_app(folder, ini_lines):
    """A fresh folder holding quorvel.exe and its Quorvel.ini (Shift_JIS, CR LF)."""
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    shutil.copy(EXE, os.path.join(folder, "quorvel.exe"))
    pathlib.Path(folder, "Quorvel.ini").write_bytes(b"".join(sjis(line) + b"\r\n" for line in ini_lines))
    return os.path.join(folder, "quorvel.exe")


def log_lines(pattern):
    """The whole lines so far of the one log file whose name matches, without date and time."""
    names = glob.glob(pattern)
    if len(names) != 1:
        return []
    data = pathlib.Path(names[0]).read_bytes()
    return entries(data[:data.rfind(b"\r\n") + 2])


_REPORT = re.compile(r"ReportEventA \([0-9A-Fa-f]+,0x([0-9a-f]{4}),0x([0-9a-f]{4}),0x([0-9a-f]{8}),")
_TEXT = re.compile(r":eventlog:ReportEventW L\"(.*)\"$")
_ESCAPE = re.compile(r"\\(?:([0-9a-fA-F]{4})|(.))")
_BYTES = {bytes([b]).decode("cp1252", "ignore") or chr(b): b for b in range(256)}


def _unescape(debug_text):
    """Wine's debugstr_w rendering -> the ANSI bytes the program passed (Wine's code page is 1252
    here, mapping every byte one to one: 0x81, 0x8D, 0x8F, 0x90 and 0x9D to themselves)."""
    text = _ESCAPE.sub(lambda m: chr(int(m[1], 16)) if m[1] else {"n": "\n", "r": "\r", "t": "\t"}.get(m[2], m[2]),
                       debug_text)
    return bytes(_BYTES[c] for c in text)


def event_entries(trace):
    """[(type, category, event id, text bytes)] in the order written."""
    entries, pending = [], {}  # Wine thread id -> the call whose text comes next
    for line in trace.splitlines():
        tid = line.split(":", 1)[0]
        if m := _REPORT.search(line):
            pending[tid] = (int(m[1], 16), int(m[2], 16), int(m[3], 16))
        elif (m := _TEXT.search(line)) and tid in pending:
            entries.append(pending.pop(tid) + (_unescape(m[1]),))
    return entries
