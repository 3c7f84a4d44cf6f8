"""Shared helpers of the enricher and splitter benchmarks."""
import os, shutil, statistics, subprocess, tempfile

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.environ.get("QUORLAN_BUILD_DIR", os.path.join(TOP, "build"))
PY = "/usr/bin/python3"  # Debian's interpreter, with python3-opencv


def build_probe():
    subprocess.run([os.path.join(TOP, "scripts", "build")], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", BUILD, "--target", "bench-imaging-probe"], check=True, stdout=subprocess.DEVNULL)
    if subprocess.run([PY, "-c", "import cv2"], capture_output=True).returncode != 0:
        subprocess.run(["apt-get", "install", "-y", "-qq", "python3-opencv"], check=True, stdout=subprocess.DEVNULL)


def workdir(prefix):
    return tempfile.mkdtemp(prefix=prefix)


def fresh(path):
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    return path


def alternate(runs, ours, peer):
    """Runs both `runs` times, alternating who goes first; returns the two medians."""
    a, b = [], []
    for i in range(runs):
        for who in ((0, 1) if i % 2 == 0 else (1, 0)):
            (a if who == 0 else b).append(ours() if who == 0 else peer())
    return statistics.median(a), statistics.median(b)


def probe(*args):
    r = subprocess.run([os.path.join(BUILD, "bench-imaging-probe")] + [str(x) for x in args],
                       capture_output=True, text=True, check=True)
    return float(r.stdout.split()[-1])


def python(code, *args):
    r = subprocess.run([PY, "-c", code] + [str(x) for x in args], capture_output=True, text=True, check=True)
    return float(r.stdout.split()[-1])
