#!/usr/bin/env python3
"""Patch sizes, times and peak memory: our engine against the tools around it.

For each pair of consecutive installers (OLD, NEW):
  - ours:    delta_bench make (MakePatch, its check pass included) / apply
  - zstd:    zstd -19 --long=27 --patch-from=OLD (the reference: ratios are
             ours over it, from the same run)
  - bsdiff:  bsdiff / bspatch
  - xdelta3: xdelta3 -D -R -e -s OLD NEW OUT / xdelta3 -d
and the packed installer (MakePacked against zstd -19). A tool that is not
installed is skipped with a line. Every rebuild is compared with NEW.

Pairs: a synthetic 50 MB installer (pseudo-random bytes) and a copy with a
few percent changed or inserted; real consecutive releases fetched with
`npm pack` when the registry answers (kept in BUILD/bench-cache, never
committed): esbuild's Windows binary, the tar inside typescript's package,
and the same typescript releases as shipped (.tgz, compressed).

  bench_delta.py BUILD_DIR
"""

import gzip
import os
import random
import shutil
import statistics
import subprocess
import sys
import tarfile
import tempfile
import time

MIB = 1 << 20
RUNS = max(3, int(os.environ.get("RUNS", "3")))


# A child forked from this script starts with the script's resident pages in
# its peak; GNU time's own child starts small, so it measures the tool alone.
TIME = "/usr/bin/time" if os.access("/usr/bin/time", os.X_OK) else None


def run(cmd):
    """(seconds, peak resident MiB or None) of one child; raises when it fails."""
    with tempfile.NamedTemporaryFile() as err, tempfile.NamedTemporaryFile() as peak:
        wrapped = [TIME, "-q", "-f", "%M", "-o", peak.name, *cmd] if TIME else cmd
        start = time.monotonic()
        status = subprocess.run(wrapped, stdout=subprocess.DEVNULL, stderr=err).returncode
        elapsed = time.monotonic() - start
        if status != 0:
            err.seek(0)
            raise RuntimeError(f"{cmd[0]} failed: {err.read().decode(errors='replace').strip()}")
        text = peak.read().decode().strip()
    return elapsed, int(text.splitlines()[-1]) / 1024 if TIME and text else None


def same(a, b):
    if os.path.getsize(a) != os.path.getsize(b):
        return False
    with open(a, "rb") as fa, open(b, "rb") as fb:
        while True:
            x, y = fa.read(MIB), fb.read(MIB)
            if x != y:
                return False
            if not x:
                return True


def tools(bench):
    found = {
        "ours": (
            lambda o, n, p: [bench, "make", o, n, p],
            lambda o, p, r, size: [bench, "apply", o, p, r, str(size)],
        ),
        "zstd": (
            lambda o, n, p: ["zstd", "-q", "-f", "-19", "--long=27", f"--patch-from={o}", n, "-o", p],
            lambda o, p, r, size: ["zstd", "-q", "-f", "-d", "--long=27", f"--patch-from={o}", p, "-o", r],
        ),
        "bsdiff": (
            lambda o, n, p: ["bsdiff", o, n, p],
            lambda o, p, r, size: ["bspatch", o, r, p],
        ),
        "xdelta3": (
            lambda o, n, p: ["xdelta3", "-D", "-R", "-e", "-f", "-s", o, n, p],
            lambda o, p, r, size: ["xdelta3", "-D", "-R", "-d", "-f", "-s", o, p, r],
        ),
    }
    for name, command in (("zstd", "zstd"), ("bsdiff", "bsdiff"), ("xdelta3", "xdelta3")):
        if not shutil.which(command):
            print(f"skip {name}: not installed")
            del found[name]
    return found


def bench_pair(label, old, new, work, bench):
    size_old, size_new = os.path.getsize(old), os.path.getsize(new)
    print(f"\n{label}: old {size_old:,} bytes, new {size_new:,} bytes")
    print(f"  {'tool':8} {'patch bytes':>12} {'% of new':>9} {'/zstd':>6} {'make s':>7} "
          f"{'make MiB':>9} {'rebuild s':>10} {'rebuild MiB':>12} {'/zstd s':>8} identical")
    rows = {}
    for name, (make, apply) in tools(bench).items():
        patch = os.path.join(work, f"{name}.patch")
        rebuilt = os.path.join(work, f"{name}.out")
        try:
            make_s, make_mib = run(make(old, new, patch))
            times, peaks = [], []
            for _ in range(RUNS):
                seconds, peak = run(apply(old, patch, rebuilt, size_new))
                times.append(seconds)
                peaks.append(peak or 0)
        except RuntimeError as error:
            print(f"  {name:8} {error}")
            continue
        rows[name] = (os.path.getsize(patch), make_s, make_mib or 0, statistics.median(times),
                      max(peaks), same(rebuilt, new))
        os.remove(rebuilt)
    reference = rows.get("zstd")
    for name, (size, make_s, make_mib, apply_s, apply_mib, identical) in rows.items():
        ratio = f"{size / reference[0]:6.3f}" if reference else "     -"
        speed = f"{apply_s / reference[3]:8.2f}" if reference else "       -"
        print(f"  {name:8} {size:12,} {100 * size / size_new:8.2f}% {ratio} {make_s:7.2f} "
              f"{make_mib:9.0f} {apply_s:10.3f} {apply_mib:12.0f} {speed} "
              f"{'yes' if identical else 'NO'}")
    if not TIME:
        print("  (no /usr/bin/time: peak memory not measured)")
    if "ours" in rows:
        size, _, _, apply_s, apply_mib, identical = rows["ours"]
        bound = (size_old + size_new) / MIB + 32
        print(f"  ours: rebuild {apply_s:.3f} s; peak {apply_mib:.0f} MiB against base + new + 32 MiB = "
              f"{bound:.0f} MiB: {'ok' if apply_mib <= bound else 'OVER'}")
        if reference:
            print(f"  ours: patch {size / reference[0]:.3f} x zstd's (target <= 1.05): "
                  f"{'ok' if size <= 1.05 * reference[0] else 'OVER'}")
        if not all(row[5] for row in rows.values()):
            print("  a rebuild differs from NEW")
    packed(new, work, bench)
    return rows


def packed(new, work, bench):
    ours = os.path.join(work, "ours.packed")
    run([bench, "pack", new, ours])
    line = f"  packed: ours {os.path.getsize(ours):,} bytes"
    if shutil.which("zstd"):
        stock = os.path.join(work, "stock.packed")
        run(["zstd", "-q", "-f", "-19", new, "-o", stock])
        line += f", zstd -19 {os.path.getsize(stock):,} bytes"
    print(line + f" ({100 * os.path.getsize(ours) / os.path.getsize(new):.1f} % of new)")


def synthetic(work):
    rng = random.Random(7)
    old = bytearray(rng.randbytes(50_000_000))
    new = bytearray(old)
    for _ in range(250):  # 2 % rewritten in 4 KiB runs
        at = rng.randrange(len(new) - 4096)
        new[at:at + 4096] = rng.randbytes(4096)
    for _ in range(50):  # and insertions of up to 8 KiB
        at = rng.randrange(len(new))
        new[at:at] = rng.randbytes(rng.randrange(100, 8192))
    paths = os.path.join(work, "synthetic-old"), os.path.join(work, "synthetic-new")
    for path, data in zip(paths, (old, new)):
        with open(path, "wb") as f:
            f.write(data)
    return paths


def npm_pack(spec, cache):
    """The package's .tgz from the npm registry, cached; None when it cannot be had."""
    name = spec.lstrip("@").replace("/", "-").replace("@", "-") + ".tgz"
    path = os.path.join(cache, name)
    if os.path.exists(path):
        return path
    if not shutil.which("npm"):
        return None
    try:
        subprocess.run(["npm", "pack", "--silent", spec, "--pack-destination", cache],
                       check=True, timeout=120, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
    except (subprocess.SubprocessError, OSError):
        return None
    return path if os.path.exists(path) else None


def member(tgz, name, out):
    with tarfile.open(tgz) as tar, tar.extractfile(name) as src, open(out, "wb") as dst:
        shutil.copyfileobj(src, dst)
    return out


def ungzip(tgz, out):
    with gzip.open(tgz) as src, open(out, "wb") as dst:
        shutil.copyfileobj(src, dst)
    return out


def real_pairs(build, work):
    cache = os.path.join(build, "bench-cache")
    os.makedirs(cache, exist_ok=True)
    esbuild = [npm_pack(f"@esbuild/win32-x64@{v}", cache) for v in ("0.20.1", "0.20.2")]
    typescript = [npm_pack(f"typescript@{v}", cache) for v in ("5.4.4", "5.4.5")]
    pairs = []
    if all(esbuild):
        pairs.append(("esbuild.exe 0.20.1 -> 0.20.2 (win32-x64)",
                      *[member(t, "package/esbuild.exe", os.path.join(work, f"esbuild-{i}.exe"))
                        for i, t in enumerate(esbuild)]))
    else:
        print("skip esbuild: the npm registry did not answer")
    if all(typescript):
        pairs.append(("typescript 5.4.4 -> 5.4.5, the tar inside",
                      *[ungzip(t, os.path.join(work, f"typescript-{i}.tar"))
                        for i, t in enumerate(typescript)]))
        pairs.append(("typescript 5.4.4 -> 5.4.5 as shipped (.tgz)", *typescript))
    else:
        print("skip typescript: the npm registry did not answer")
    return pairs


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
    bench = os.path.join(build, "bin", "delta_bench")
    if not os.access(bench, os.X_OK):
        sys.exit(f"missing {bench} (build first)")
    work = tempfile.mkdtemp(prefix="tessra-delta-bench-")
    try:
        pairs = [("synthetic 50 MB, 2 % rewritten and 50 insertions", *synthetic(work))]
        pairs += real_pairs(build, work)
        for label, old, new in pairs:
            bench_pair(label, old, new, work, bench)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
