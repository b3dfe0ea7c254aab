"""quorvel.exe as a real Windows service under Wine: install, start through
the service control manager, stop, remove, the failures a user meets, and
the event log entries of each."""

import os
import shutil
import unittest

import winehost

EXE = os.environ.get("QUORVEL_EXE", "quorvel.exe")
WORK = os.environ.get("QUORVEL_E2E_DIR", os.path.join(os.path.dirname(os.path.abspath(EXE)), "e2e-windows"))

SERVICE = "QuorvelService"
START_FAILED = "サービスの開始に失敗しました".encode("cp932")
INSTALL_FAILED = "サービスの登録に失敗しました。(Error code 1073)"
REMOVE_FAILED = "サービスの登録解除に失敗しました。(Error code 1060)"


class WindowsServiceTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.wine = winehost.WinePrefix(os.path.join(WORK, "wine"))
        cls.wine.start()
        cls.app = os.path.join(WORK, "app")
        shutil.rmtree(cls.app, ignore_errors=True)
        os.makedirs(cls.app)
        shutil.copy(EXE, os.path.join(cls.app, "quorvel.exe"))
        cls.exe = cls.wine.windows_path(os.path.join(cls.app, "quorvel.exe"))

    @classmethod
    def tearDownClass(cls):
        cls.wine.stop()

    def sc_query(self):
        code, out, _ = self.wine.run(["sc", "query", SERVICE])
        return code, out.decode("latin-1")

    def test_install_start_stop_remove(self):
        code, _, err = self.wine.run([self.exe, "-INSTALL"])
        self.assertEqual(code, 0, err)
        # The entry as the service control manager keeps it in the registry.
        code, out, _ = self.wine.run(["reg", "query", r"HKLM\System\CurrentControlSet\Services" + "\\" + SERVICE])
        self.assertEqual(code, 0)
        entry = {}
        for line in out.decode("latin-1").splitlines():
            parts = line.strip().split(None, 2)
            if len(parts) == 3 and parts[1].startswith("REG_"):
                entry[parts[0]] = parts[2]
        self.assertEqual(entry.get("DisplayName"), "Quorvel  Service")
        self.assertEqual(entry.get("ImagePath"), self.exe)
        self.assertEqual(entry.get("Start"), "0x2")  # automatic
        self.assertEqual(entry.get("Type"), "0x10")  # own process
        self.assertEqual(entry.get("ErrorControl"), "0x0")  # ignore
        self.assertEqual(entry.get("ObjectName"), "LocalSystem")
        self.assertTrue(entry.get("Description"))

        # A second install fails, says why, and leaves the entry alone.
        code, _, err = self.wine.run([self.exe, "/install", "-SILENT"], timeout=60)
        self.assertEqual(code, 1)
        self.assertIn(INSTALL_FAILED, err.decode("utf-8"))

        code, out, err = self.wine.run(["net", "start", SERVICE], timeout=120)
        self.assertEqual(code, 0, out + err)
        self.assertIn("RUNNING", self.sc_query()[1])

        code, out, err = self.wine.run(["net", "stop", SERVICE], timeout=120)
        self.assertEqual(code, 0, out + err)
        self.assertIn("STOPPED", self.sc_query()[1])

        code, _, err = self.wine.run([self.exe, "-UNINSTALL"])
        self.assertEqual(code, 0, err)
        self.assertNotEqual(self.sc_query()[0], 0)
        code, _, err = self.wine.run([self.exe, "-uninstall"])
        self.assertEqual(code, 1)
        self.assertIn(REMOVE_FAILED, err.decode("utf-8"))

    def test_console_start_without_command_word_is_the_dispatcher_failure(self):
        before = len(winehost.event_entries(self.wine.trace_text()))
        code, _, err = self.wine.run([self.exe], timeout=60)
        self.assertEqual(code, 0)
        entries = winehost.event_entries(err.decode("latin-1"))
        # Error type, category 0, the system's code 1063 as the ID.
        self.assertIn((1, 0, 1063, START_FAILED), entries)
        self.assertEqual(len(winehost.event_entries(self.wine.trace_text())), before)


if __name__ == "__main__":
    unittest.main()
