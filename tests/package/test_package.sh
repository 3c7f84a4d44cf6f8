#!/usr/bin/env bash
# The Debian package, installed into a temporary root: the command line runs from there (its
# version, a health report, a training run through the engine host script it finds in the
# installed share folder, with the engine double), and the installed studio starts offscreen.
# Usage: test_package.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build="$1"; src="$2"
work="$(mktemp -d)"; trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$work/pkg" >/dev/null) || fail "cpack could not make the package"
deb="$(ls "$work"/pkg/quorlan-studio_*.deb)"
# (Read whole first: grep -q closing the pipe early would fail the pipeline under pipefail.)
info="$(dpkg-deb -I "$deb")"
grep -q "Depends:.*libqt6widgets6" <<< "$info" || fail "the package does not depend on Qt's widgets library"
dpkg-deb -x "$deb" "$work/root"
for f in usr/bin/quorlan usr/bin/quorlan-studio usr/bin/quorlan-setup-engine usr/share/quorlan-studio/quorlan_engine.py usr/share/quorlan-studio/quorlan_sam.py \
         usr/share/applications/quorlan-studio.desktop usr/share/icons/hicolor/64x64/apps/quorlan-studio.png; do
  [ -e "$work/root/$f" ] || fail "$f is not in the package"
done
grep -q "^Exec=quorlan-studio$" "$work/root/usr/share/applications/quorlan-studio.desktop" || fail "desktop entry"
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$work/root/usr/share/applications/quorlan-studio.desktop" || fail "desktop entry invalid"
fi
bin="$work/root/usr/bin"

version="$("$bin/quorlan" --version)" || fail "quorlan --version failed"
grep -q "^quorlan [0-9]" <<< "$version" || fail "quorlan --version: $version"

mkdir -p "$work/data"
python3 - "$work/data" <<'PY'
import sys, zlib, struct
def png(path, w, h, seed):
    rows = b"".join(b"\0" + bytes(((x * 7 + y * 13 + seed * 31) % 256) for x in range(w * 3)) for y in range(h))
    chunk = lambda t, d: struct.pack(">I", len(d)) + t + d + struct.pack(">I", zlib.crc32(t + d) & 0xffffffff)
    open(path, "wb").write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
                           + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))
d = sys.argv[1]
for i in range(6):
    png(f"{d}/img_{i}.png", 48, 32, i)
    open(f"{d}/img_{i}.txt", "w").write("0 0.1 0.1 0.6 0.1 0.6 0.6 0.1 0.6\n")
open(f"{d}/classes.txt", "w").write("box\n")
PY
"$bin/quorlan" health "$work/data" > "$work/health.txt" || fail "quorlan health failed"
grep -q "Unannotated Images: 0" "$work/health.txt" || fail "the health report: $(cat "$work/health.txt")"
"$bin/quorlan" export "$work/data" "$work/ds" --split 50/50/0 --json > "$work/export.json" || fail "quorlan export"
grep -q '"ok":true' "$work/export.json" || fail "export: $(cat "$work/export.json")"

# A run through the installed host script (no QUORLAN_ENGINE_SCRIPT), the engine double in place
# of the engine.
QUORLAN_PYTHON=python3 PYTHONPATH="$src/tests/engine_double" \
  "$bin/quorlan" train "$work/ds/data.yaml" --model yolov8n.pt --epochs 1 --device cpu \
  --project "$work/runs" --name smoke --json > "$work/train.json" 2> "$work/train.log" ||
  fail "quorlan train from the installed tree: $(cat "$work/train.json" "$work/train.log" | tail -5)"
grep -q '"ok":true' "$work/train.json" || fail "train: $(cat "$work/train.json")"

# An exported model runs natively from the installed tree, on the runtime the package carries,
# with no engine anywhere (QUORLAN_PYTHON names nothing).
for lib in libopenvino.so.2641 libopenvino_intel_cpu_plugin.so libopenvino_onnx_frontend.so.2641 libtbb.so.12; do
  [ -e "$work/root/usr/lib/quorlan-studio/$lib" ] || fail "$lib is not in the package"
done
QUORLAN_PYTHON="$work/no-python" "$bin/quorlan" predict "$src/tests/data/native/tiny-detect.onnx" \
  "$src/tests/data/native/pictures" --conf 0.05 --json > "$work/predict.json" 2> "$work/predict.log" ||
  fail "quorlan predict on an exported model: $(cat "$work/predict.json" "$work/predict.log" | tail -5)"
grep -q '"runtime":"OpenVINO' "$work/predict.json" || fail "predict: $(cat "$work/predict.json")"
grep -q '"conf":0\.' "$work/predict.json" || fail "predict found nothing: $(cat "$work/predict.json")"

# The installed studio starts (offscreen) and is still up after three seconds.
QT_QPA_PLATFORM=offscreen "$bin/quorlan-studio" > "$work/studio.log" 2>&1 &
pid=$!
sleep 3
kill -0 "$pid" 2>/dev/null || fail "the installed studio did not stay up: $(tail -5 "$work/studio.log")"
kill "$pid"; wait "$pid" 2>/dev/null || true
echo "package test passed: $(basename "$deb")"
