"""The Debian package as an operator gets it: built by CPack, looked at with dpkg-deb, installed,
removed, installed again and purged in a throw-away root (dpkg --root, no systemd there); its
version moves with every commit."""

import functools
import glob
import os
import pathlib
import shutil
import stat
import subprocess
import tempfile
import unittest

CPACK_CONFIG = os.environ.get("QUORVEL_CPACK_CONFIG", "")
PROGRAM, INI, UNIT = "opt/quorvel/quorvel", "opt/quorvel/Quorvel.ini", "lib/systemd/system/QuorvelService.service"
DOCS, MAN, SYSCTL = "usr/share/doc/quorvel/", "usr/share/man/man8/quorvel.8.gz", "usr/lib/sysctl.d/60-quorvel.conf"
SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")


def read(path):
    return pathlib.Path(path).read_bytes()


def run(args, **kw):
    return subprocess.run(args, check=True, capture_output=True, **kw)


def newer(a, b):
    return subprocess.run(["dpkg", "--compare-versions", a, "gt", b]).returncode == 0


@unittest.skipUnless(os.path.isfile(CPACK_CONFIG) and shutil.which("dpkg-deb"), "no CPack configuration or dpkg")
class PackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="quorvel-deb-")
        cls.addClassCleanup(cls.tmp.cleanup)
        run(["cpack", "--config", CPACK_CONFIG, "-B", os.path.join(cls.tmp.name, "out")])
        [cls.deb] = glob.glob(os.path.join(cls.tmp.name, "out", "*.deb"))

    def test_contents_modes_conffile_and_scripts(self):
        arch = run(["dpkg", "--print-architecture"]).stdout.decode().strip()
        version = run(["dpkg-deb", "-f", self.deb, "Version"]).stdout.decode().strip()
        self.assertEqual(os.path.basename(self.deb), "quorvel_%s_%s.deb" % (version, arch))

        listing = [line.split() for line in run(["dpkg-deb", "-c", self.deb]).stdout.decode().splitlines()]
        readable = ("-rw-r--r--", "root/root")
        self.assertEqual({f[-1].lstrip("./"): (f[0], f[1]) for f in listing if not f[0].startswith("d")}, {
            PROGRAM: ("-rwxr-xr-x", "root/root"),
            # It may come to hold the SMTP password.
            INI: ("-rw-r-----", "root/root"), UNIT: readable, MAN: readable, SYSCTL: readable,
            **{DOCS + name: readable for name in ("README.md", "configuration.md", "linux.md")}})
        # A rebuilt package must upgrade the installed one.
        self.assertTrue(newer(version, "1.02"), version)

        control = os.path.join(self.tmp.name, "control")
        run(["dpkg-deb", "-e", self.deb, control])
        self.assertEqual(read(os.path.join(control, "conffiles")), b"/" + INI.encode() + b"\n")
        for script in ("postinst", "prerm", "postrm"):
            path = os.path.join(control, script)
            self.assertTrue(os.stat(path).st_mode & stat.S_IXUSR, script)
            run(["sh", "-n", path])

        data = os.path.join(self.tmp.name, "data")
        run(["dpkg-deb", "-x", self.deb, data])
        ini = read(os.path.join(data, INI))
        # Shift_JIS with CR LF, as the program reads it: no lone LF or CR.
        ini.decode("cp932")
        self.assertEqual((ini[-2:], ini.count(b"\n"), ini.count(b"\r")), (b"\r\n",) + (ini.count(b"\r\n"),) * 2)
        self.assertTrue({b"SYSLOGPORT=514", b"KEYWORDLISTSTART"} <= set(ini.split(b"\r\n")))
        # Its comments point at the installed documents, and hold no 0x5C, which
        # Shift_JIS shows as a yen sign.
        self.assertEqual((b"/usr/share/doc/quorvel/configuration.md" in ini, b"\\" in ini), (True, False))
        self.assertEqual(read(os.path.join(data, DOCS, "configuration.md")),
                         read(os.path.join(SOURCE, "docs", "configuration.md")))
        self.assertEqual([int(l.split(b"=")[1]) for l in read(os.path.join(data, SYSCTL)).splitlines()
                          if l.split(b"=")[0].strip() == b"net.core.rmem_max"], [8388608])
        if shutil.which("man"):
            page = run(["man", "--warnings", "-l", os.path.join(data, MAN)], env=dict(os.environ, MANWIDTH="80"))
            self.assertEqual(page.stderr, b"")
            self.assertEqual([w for w in ("-INSTALL", "-RUN", "/opt/quorvel/Quorvel.ini", "KEYWORDLISTSTART", "60-quorvel.conf",
                                          "/usr/share/doc/quorvel/") if w not in page.stdout.decode()], [])

    @unittest.skipUnless(os.geteuid() == 0, "dpkg --root needs root")
    def test_install_remove_and_purge_in_a_throw_away_root(self):
        root = os.path.join(self.tmp.name, "root")

        path = functools.partial(os.path.join, root)
        [os.makedirs(path(d)) for d in ("var/lib/dpkg/info", "var/lib/dpkg/updates", "var/log", "etc")]
        for name, text in (("var/lib/dpkg/status", ""), ("etc/passwd", "root:x:0:0:root:/root:/bin/sh\n"),
                           ("etc/group", "root:x:0:\n"), ("etc/shadow", "root:*:19000:0:99999:7:::\n"),
                           ("etc/gshadow", "root:*::\n")):
            pathlib.Path(path(name)).write_bytes(text.encode())
        # The root holds no libc6 or passwd package: their files are the host's.
        dpkg = ["dpkg", "--root=" + root, "--force-script-chrootless", "--force-depends", "--log=" + path("var/log/dpkg.log")]

        self.assertIn(b"systemctl enable --now QuorvelService", run(dpkg + ["-i", self.deb]).stdout)
        [account] = [l.split(":") for l in read(path("etc/passwd")).decode().splitlines() if l.startswith("quorvel:")]
        uid, gid = int(account[2]), int(account[3])
        self.assertEqual((uid < 1000, account[6]), (True, "/usr/sbin/nologin"), "a system user who cannot log in")
        owners = [os.stat(path(p)) for p in ("opt/quorvel/logs", INI)]
        self.assertEqual([(o.st_uid, o.st_gid, stat.S_IMODE(o.st_mode)) for o in owners], [(uid, gid, 0o750), (0, gid, 0o640)])
        # Installed, not enabled, not started.
        wanted = path("etc/systemd/system/multi-user.target.wants")
        self.assertEqual((os.path.isfile(path(UNIT)), os.path.exists(wanted)), (True, False))

        edited = read(path(INI)) + b"SYSLOGPORT2=5141\r\n"
        pathlib.Path(path(INI)).write_bytes(edited)
        pathlib.Path(path("opt/quorvel/logs/Quorvel.log")).write_bytes(b"kept\r\n")
        os.makedirs(wanted)
        os.symlink("/" + UNIT, os.path.join(wanted, "QuorvelService.service"))

        run(dpkg + ["-r", "quorvel"])
        self.assertFalse(os.path.exists(path(PROGRAM)) or os.path.exists(path(UNIT)))
        self.assertFalse(os.path.lexists(os.path.join(wanted, "QuorvelService.service")), "removal disables the service")
        self.assertEqual((read(path(INI)), read(path("opt/quorvel/logs/Quorvel.log"))), (edited, b"kept\r\n"))

        # Installed again: the edited ini stays as the operator left it.
        run(dpkg + ["-i", self.deb])
        self.assertEqual(read(path(INI)), edited)
        self.assertTrue(os.path.isfile(path(PROGRAM)))

        run(dpkg + ["-P", "quorvel"])
        self.assertFalse(os.path.exists(path(INI)))
        self.assertEqual(read(path("opt/quorvel/logs/Quorvel.log")), b"kept\r\n")


@unittest.skipUnless(shutil.which("git") and shutil.which("cmake") and shutil.which("dpkg")
                     and os.path.exists(os.path.join(SOURCE, ".git")), "no git checkout, cmake or dpkg")
class PackageVersionTest(unittest.TestCase):
    def test_a_later_commit_builds_a_greater_version(self):
        with tempfile.TemporaryDirectory(prefix="quorvel-version-") as tmp:
            clone, build = os.path.join(tmp, "src"), os.path.join(tmp, "build")
            head = run(["git", "-C", SOURCE, "rev-parse", "HEAD"]).stdout.decode().strip()
            run(["git", "clone", "-q", "--shared", "--no-checkout", SOURCE, clone])
            run(["git", "-C", clone, "checkout", "-q", head])
            generator = ["-G", "Ninja"] if shutil.which("ninja") else []
            versions = []
            for _ in range(2):
                # Configuring is what fixes the version; the program need not be built.
                run(["cmake", "-S", clone, "-B", build, "-DQUORVEL_TESTS=OFF"] + generator)
                config = read(os.path.join(build, "CPackConfig.cmake")).decode()
                versions += [l.split('"')[1] for l in config.splitlines() if l.startswith("set(CPACK_PACKAGE_VERSION ")]
                run(["git", "-C", clone, "-c", "user.name=t", "-c", "user.email=t@example.org", "commit", "-q",
                     "--allow-empty", "-m", "next"])
            self.assertEqual(len(versions), 2, versions)
            self.assertTrue(newer(versions[1], versions[0]) and newer(versions[0], "1.02"), versions)
