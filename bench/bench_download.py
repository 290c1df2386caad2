#!/usr/bin/env python3
"""Speed at the wire against curl, both fetching from nginx on 127.0.0.1.

  1. The transfer in-process: download_bench (RunList with progress records,
     consumed by a receiver thread) against `curl -s -o FILE`, one 256 MiB file.
  2. The whole program: a tessra-swm purchase run (autopilot, offscreen, a
     native stand-in for Tessra.exe and for the installer), timed from its
     start to its exit, against `curl -s -o FILE` for the same installer.
  3. Peak resident memory for 64 MiB and 256 MiB: the transfer in-process and
     the whole program.
  4. The update check of 50 manifests against one curl call for the same URLs.

Runs of ours and of curl are interleaved, RUNS (at least 7) of each; the
figures are medians and the ratios are curl's median time over ours (1.00 is
curl's speed, more is faster). Runs in a private PID namespace where one can
be made, so the program's search for Tessra.exe sees only this benchmark.

  bench_download.py BUILD_DIR
"""

import hashlib
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))
import nginx_server  # noqa: E402

MIB = 1 << 20
RUNS = max(7, int(os.environ.get("RUNS", "7")))


def own_pid_namespace():
    """Re-runs this script as the first process of a private PID namespace, if one can be made."""
    if os.environ.get("BENCH_PID_NAMESPACE") or not shutil.which("unshare"):
        return
    if subprocess.run(["unshare", "-pf", "--mount-proc", "true"],
                      stderr=subprocess.DEVNULL).returncode != 0:
        print("(no private PID namespace: other programs named Tessra.exe may disturb the runs)")
        return
    env = dict(os.environ, BENCH_PID_NAMESPACE="1")
    sys.stdout.flush()
    os.execvpe("unshare", ["unshare", "-pf", "--mount-proc", sys.executable] + sys.argv, env)


def reap_orphans():
    # As the namespace's first process this one inherits the restarted tax
    # programs; a zombie named Tessra.exe would hold up the next purchase run.
    if os.getpid() != 1:
        return
    for pid in os.listdir("/proc"):
        try:
            with open("/proc/%s/comm" % pid) as f:
                if f.read().strip() == "Tessra.exe":
                    os.waitpid(int(pid), 0)
        except (OSError, ValueError):
            pass


def timed(args, **kwargs):
    """Runs a program to its exit: (seconds, exit status, peak resident KiB)."""
    start = time.perf_counter()
    proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, **kwargs)
    _, status, usage = os.wait4(proc.pid, 0)
    seconds = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.stdout:
        proc.output = proc.stdout.read()
        proc.stdout.close()
    return seconds, proc, usage.ru_maxrss


def field(text, name):
    for word in text.split():
        if word.startswith(name + "="):
            return word.split("=", 1)[1]
    raise SystemExit("no %s in %r" % (name, text))


def same_file(a, b):
    if os.path.getsize(a) != os.path.getsize(b):
        return False
    return subprocess.run(["cmp", "-s", a, b]).returncode == 0


class Bench:
    def __init__(self, build):
        self.build = os.path.abspath(build)
        self.tmp = tempfile.mkdtemp(prefix="bench-download-")
        self.www = os.path.join(self.tmp, "www")
        self.out = os.path.join(self.tmp, "out")
        os.makedirs(self.out)
        self.server = None

    def path(self, *parts):
        return os.path.join(self.tmp, *parts)

    # -- served tree ---------------------------------------------------------
    def make_tree(self):
        stand_in = os.path.join(self.build, "bin", "bench_stand_in")
        with open(stand_in, "rb") as f:
            program = f.read()
        noise = os.urandom(MIB)
        for mib in (64, 256):
            # A plain file for the transfer, and an installer that runs: the
            # stand-in with the rest of the size appended.
            data = os.path.join(self.www, "big%d.bin" % mib)
            installer = os.path.join(self.www, "s%d" % mib, "TessraCA.exe")
            os.makedirs(os.path.dirname(installer), exist_ok=True)
            with open(data, "wb") as plain, open(installer, "wb") as runnable:
                runnable.write(program)
                for i in range(mib):
                    block = bytes([i & 0xff]) + noise[1:]
                    plain.write(block)
                    runnable.write(block)
                runnable.truncate(mib * MIB)
            with open(os.path.join(os.path.dirname(installer), "ver.txt"), "w") as f:
                f.write("Product=CA\r\nYEAR=2007\r\nVERSION=200\r\nSIZE=%d\r\nMESSAGE=bench\r\n"
                        % (mib * MIB))
            # The same installer under a manifest with its SHA-256: a verified download.
            verified = os.path.join(self.www, "v%d" % mib)
            os.makedirs(verified)
            os.link(installer, os.path.join(verified, "TessraCA.exe"))
            with open(installer, "rb") as f:
                digest = hashlib.file_digest(f, "sha256").hexdigest()
            with open(os.path.join(verified, "ver.txt"), "w") as f:
                f.write("Product=CA\r\nYEAR=2007\r\nVERSION=200\r\nSIZE=%d\r\nSHA256=%s\r\n"
                        "MESSAGE=bench\r\n" % (mib * MIB, digest))
        for i in range(50):
            folder = os.path.join(self.www, "check", "p%d" % i)
            os.makedirs(folder)
            with open(os.path.join(folder, "ver.txt"), "w") as f:
                f.write("Product=US\nYEAR=2007\nVERSION=%d\nSIZE=1000\nMESSAGE=bench\n" % i)

    def start_nginx(self):
        os.makedirs(self.path("nginx"))
        self.server = nginx_server.NginxServer(self.www, self.path("nginx"),
                                               log=os.devnull).start()
        return self.server

    # -- a user's machine for the whole-program runs -------------------------
    def make_machine(self):
        m = self.path("machine")
        self.app = os.path.join(m, "app")
        self.common = os.path.join(m, "common")
        self.downloads = os.path.join(self.common, "Tessra", "2007", "Downloads")
        appdata = os.path.join(m, "appdata")
        for d in (self.app, self.downloads, os.path.join(appdata, "Tessra", "2007"),
                  os.path.join(m, "cwd"), os.path.join(m, "home"), os.path.join(m, "config")):
            os.makedirs(d, exist_ok=True)
        os.makedirs(os.path.join(m, "run"), mode=0o700)
        self.swm = os.path.join(self.app, "tessra-swm")
        shutil.copy2(os.path.join(self.build, "bin", "tessra-swm"), self.swm)
        shutil.copy2(os.path.join(self.build, "bin", "bench_stand_in"),
                     os.path.join(self.app, "Tessra.exe"))
        with open(os.path.join(appdata, "Tessra", "2007", "ts07.cfg"), "w") as f:
            f.write("string:ui_prop_proxy_which=none\n")
        registry = os.path.join(m, "registry.cfg")
        with open(registry, "w") as f:
            f.write("SOFTWARE\\ZVN\\2007\\Edition=premium\n")
        pilot = os.path.join(m, "autopilot.txt")
        with open(pilot, "w") as f:
            f.write("DLMgrDlg wait\n")
        self.cwd = os.path.join(m, "cwd")
        env = {k: v for k, v in os.environ.items()
               if k.lower() not in ("http_proxy", "https_proxy", "all_proxy", "no_proxy",
                                    "display", "wayland_display")
               and not k.startswith("TESSRA_")}
        env.update({
            "HOME": os.path.join(m, "home"),
            "XDG_CONFIG_HOME": os.path.join(m, "config"),
            "XDG_RUNTIME_DIR": os.path.join(m, "run"),
            "TESSRA_APPDATA": appdata,
            "TESSRA_COMMON_APPDATA": self.common,
            "TESSRA_REGISTRY": registry,
            "TESSRA_ELEVATION": "0",
            "TESSRA_SWM_AUTOPILOT": pilot,
            "QT_QPA_PLATFORM": "offscreen",
            "no_proxy": "*",
        })
        self.env = env

    def purchase(self, mib, folder="s"):
        """One whole purchase run: (seconds, peak resident KiB)."""
        shutil.rmtree(self.downloads)
        os.makedirs(self.downloads)
        reap_orphans()
        address = self.server.url("/%s%d/TessraCA.exe" % (folder, mib))
        seconds, proc, rss = timed([self.swm, address, "/purchase"], cwd=self.cwd, env=self.env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        got = os.path.join(self.downloads, "TessraCA.exe")
        if proc.returncode != 0 or not os.path.exists(got) or os.path.getsize(got) != mib * MIB:
            raise SystemExit("the purchase run failed (status %d)" % proc.returncode)
        return seconds, rss

    # -- runs ----------------------------------------------------------------
    def curl_verified(self, path):
        """curl, then openssl's SHA-256 of what it fetched: the pair a verified download replaces."""
        target = os.path.join(self.out, "curl.bin")
        if os.path.exists(target):
            os.remove(target)
        seconds, proc, _ = timed(["sh", "-c", 'curl -s -o "$1" "$2" && openssl dgst -sha256 "$1"',
                                  "sh", target, self.server.url(path)], stdout=subprocess.DEVNULL)
        if proc.returncode != 0:
            raise SystemExit("curl + openssl failed with %d" % proc.returncode)
        return seconds

    def curl(self, path):
        target = os.path.join(self.out, "curl.bin")
        if os.path.exists(target):
            os.remove(target)
        seconds, proc, _ = timed(["curl", "-s", "-o", target, self.server.url(path)])
        if proc.returncode != 0:
            raise SystemExit("curl failed with %d" % proc.returncode)
        return seconds

    def transfer(self, mib, check=False):
        """download_bench with progress records: (seconds, peak resident KiB)."""
        target = os.path.join(self.out, "swm.bin")
        if os.path.exists(target):
            os.remove(target)
        seconds, proc, _ = timed(
            [os.path.join(self.build, "bin", "download_bench"), "fetch",
             self.server.url("/big%d.bin" % mib), target], stdout=subprocess.PIPE, text=True)
        if proc.returncode != 0 or int(field(proc.output, "bytes")) != mib * MIB:
            raise SystemExit("download_bench failed: %s" % proc.output)
        if check and not same_file(target, os.path.join(self.www, "big%d.bin" % mib)):
            raise SystemExit("download_bench's copy differs")
        return seconds, int(field(proc.output, "peak_rss_kib"))

    def check(self):
        out = os.path.join(self.out, "check")
        shutil.rmtree(out, ignore_errors=True)
        seconds, proc, _ = timed(
            [os.path.join(self.build, "bin", "download_bench"), "check",
             self.server.url("/check"), out, "50"], stdout=subprocess.DEVNULL)
        if proc.returncode != 0:
            raise SystemExit("the update check failed")
        return seconds

    def curl_check(self):
        out = os.path.join(self.out, "curlcheck")
        shutil.rmtree(out, ignore_errors=True)
        args = ["curl", "-s", "--create-dirs"]
        for i in range(50):
            args += ["-o", "%s/p%d/ver.txt" % (out, i), self.server.url("/check/p%d/ver.txt" % i)]
        seconds, proc, _ = timed(args)
        if proc.returncode != 0:
            raise SystemExit("curl check failed")
        return seconds

    def cleanup(self):
        if self.server:
            self.server.stop()
        shutil.rmtree(self.tmp, ignore_errors=True)


def interleaved(ours, theirs):
    a, b = [], []
    for _ in range(RUNS):
        a.append(ours())
        b.append(theirs())
    return statistics.median(a), statistics.median(b)


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    build = sys.argv[1]
    for name in ("download_bench", "tessra-swm", "bench_stand_in"):
        if not os.access(os.path.join(build, "bin", name), os.X_OK):
            print("missing %s/bin/%s (build first)" % (build, name))
            return 1
    for program in ("curl", "cmp", "openssl"):
        if not shutil.which(program):
            print("%s not found" % program)
            return 1
    if not nginx_server.find_nginx():
        print("nginx is not installed (make deps installs it)")
        return 1
    own_pid_namespace()
    for k in ("http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"):
        os.environ.pop(k, None)
    bench = Bench(build)
    try:
        bench.make_tree()
        bench.start_nginx()
        bench.make_machine()
        # A first run of each warms the page cache and checks the copies.
        bench.transfer(256, check=True)
        bench.purchase(256)
        bench.curl("/big256.bin")
        print("nginx %s on 127.0.0.1, %d runs each, interleaved, %s"
              % (subprocess.run([bench.server.program, "-v"], capture_output=True,
                                text=True).stderr.strip().split("/")[-1], RUNS,
                 "private PID namespace" if os.getpid() == 1 else "shared PID namespace"))

        ours, theirs = interleaved(lambda: bench.transfer(256)[0],
                                   lambda: bench.curl("/big256.bin"))
        print("1. transfer in-process, one 256 MiB file, median of %d runs:" % RUNS)
        print("   download_bench (RunList + records)  %7.3f s  %7.1f MiB/s" % (ours, 256 / ours))
        print("   curl -s -o FILE                     %7.3f s  %7.1f MiB/s" % (theirs, 256 / theirs))
        print("   ratio (curl time / ours)            %7.2f" % (theirs / ours))

        ours, theirs = interleaved(lambda: bench.purchase(256)[0],
                                   lambda: bench.curl("/s256/TessraCA.exe"))
        print("2. whole program to its exit, purchase of a 256 MiB state, median of %d runs:"
              % RUNS)
        print("   tessra-swm (check, download, install, restart)  %7.3f s" % ours)
        print("   curl -s -o FILE                                 %7.3f s" % theirs)
        print("   ratio (curl time / ours)                        %7.2f" % (theirs / ours))

        ours, theirs = interleaved(lambda: bench.purchase(256, "v")[0],
                                   lambda: bench.curl_verified("/v256/TessraCA.exe"))
        print("2b. the same with SHA256 in the manifest (checked as a private copy is made):")
        print("   tessra-swm (download, verify, install, restart) %7.3f s" % ours)
        print("   curl -s -o F && openssl dgst -sha256 F          %7.3f s" % theirs)
        print("   ratio (their time / ours)                       %7.2f" % (theirs / ours))

        print("3. peak resident memory:")
        for mib in (64, 256):
            print("   %3d MiB  transfer in-process %7d KiB   whole program %7d KiB"
                  % (mib, bench.transfer(mib)[1], bench.purchase(mib)[1]))

        ours, theirs = interleaved(bench.check, bench.curl_check)
        print("4. update check of 50 manifests, median of %d runs:" % RUNS)
        print("   RunList (no records)    %7.1f ms" % (ours * 1000))
        print("   curl, 50 URLs, one call %7.1f ms" % (theirs * 1000))
    finally:
        bench.cleanup()
        reap_orphans()
    return 0


if __name__ == "__main__":
    sys.exit(main())
