"""Debian's rsyslog, unpacked (never installed) into a cache folder, for the
benchmark and for the tests that use it as a real sender."""

import os
import subprocess
import sys


def log(text):
    print(text, file=sys.stderr, flush=True)


class Rsyslog:
    """Debian's rsyslog package, unpacked (never installed) into a cache
    folder together with those of its libraries the machine lacks."""

    def __init__(self, cache, extras=("rsyslog-openssl",)):
        # rsyslog-openssl brings the TLS stream driver (lmnsd_ossl) for
        # omfwd and imtcp.
        self.cache = cache
        self.packages = ["rsyslog"] + list(extras)
        self.root = os.path.join(cache, "root")
        self.binary = os.path.join(self.root, "usr", "sbin", "rsyslogd")
        self.libdir = os.path.join(self.root, "usr", "lib", "x86_64-linux-gnu")
        self.modules = os.path.join(self.libdir, "rsyslog")

    def module_files(self):
        files = ["imudp.so", "lmnet.so"]
        if "rsyslog-openssl" in self.packages:
            files.append("lmnsd_ossl.so")
        return files

    def present(self):
        return all(os.path.exists(p) for p in [self.binary] + [os.path.join(self.modules, m) for m in self.module_files()]) \
            and not self.missing_libraries()

    def env(self):
        env = dict(os.environ)
        env["LD_LIBRARY_PATH"] = self.libdir + (":" + env["LD_LIBRARY_PATH"] if env.get("LD_LIBRARY_PATH") else "")
        return env

    def missing_libraries(self):
        missing = set()
        for path in [self.binary] + [os.path.join(self.modules, m) for m in self.module_files()]:
            if not os.path.exists(path):
                continue
            out = subprocess.run(["ldd", path], env=self.env(), capture_output=True, text=True).stdout
            missing.update(line.split()[0] for line in out.splitlines() if "not found" in line)
        return missing

    def fetch(self):
        """apt-get download + dpkg-deb -x: no maintainer script runs, so no
        system service starts and the machine's own syslog stays untouched."""
        debs = os.path.join(self.cache, "debs")
        os.makedirs(debs, exist_ok=True)
        wanted = list(self.packages)
        done = set()
        for _ in range(3):
            for package in wanted:
                if package in done:
                    continue
                log("fetching %s" % package)
                subprocess.run(["apt-get", "download", "-q", package], cwd=debs, check=True,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                done.add(package)
            for deb in sorted(os.listdir(debs)):
                subprocess.run(["dpkg-deb", "-x", os.path.join(debs, deb), self.root], check=True)
            if not self.missing_libraries():
                return
            # Libraries still missing: fetch the direct dependencies that are
            # not installed on this machine.
            wanted = [p for r in self.packages for p in self.dependencies(r) if not installed(p)]
            for p in list(wanted):
                wanted += [d for d in self.dependencies(p) if not installed(d) and d not in wanted]
        raise RuntimeError("rsyslog still lacks %s" % " ".join(sorted(self.missing_libraries())))

    @staticmethod
    def dependencies(package):
        out = subprocess.run(["apt-cache", "depends", "--no-recommends", "--no-suggests", "--no-conflicts",
                              "--no-breaks", "--no-replaces", "--no-enhances", package],
                             capture_output=True, text=True).stdout
        return [line.split(":", 1)[1].strip() for line in out.splitlines()
                if line.strip().startswith("Depends:") and "<" not in line]

    def version(self):
        out = subprocess.run([self.binary, "-v"], env=self.env(), capture_output=True, text=True).stdout
        return out.split()[1] if out.split()[:1] == ["rsyslogd"] else "?"


def installed(package):
    out = subprocess.run(["dpkg-query", "-W", "-f=${Status}", package], capture_output=True, text=True).stdout
    return out.strip() == "install ok installed"
