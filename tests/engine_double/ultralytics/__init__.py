"""Test double of the Ultralytics engine: the same surface, deterministic behaviour.

Behaviour is driven by the inputs:
- train: `epochs` epochs of 3 batches each; per batch the 'on_train_batch_end' callbacks, per epoch
  'on_fit_epoch_end' (and once more after the final validation, as the real engine does). A model
  name containing "slow" sleeps 0.1 s per batch. Writes <project>/<name>/weights/best.pt and plots;
  a model name containing "noweights" writes no best.pt. A data path that does not exist raises
  FileNotFoundError like the real dataset check.
- prints coloured text, carriage-return progress and logger lines on the way.
- a model name containing "crash" ends the whole process in the middle of train.
- tune: writes <project>/<name>/best_hyperparameters.yaml with lr0 and lrf derived from epochs; a
  model name containing "slowtune" starts a child process per iteration (its pid in
  <project>/<name>/child.pid) and waits for it, as the real tuner's iterations do.
- train writes <save_dir>/results.csv with the engine's columns before each epoch's callback; a
  model name containing "nan" reports NaN metrics; one containing "ddp" runs its epochs without
  any callback (as the engine's multi-GPU workers do), 0.3 s each.
- val writes its plots to <project>/<name> (default runs/detect/val under the working folder).
- export of a model whose name contains "slow" takes 30 s.
- a model path ending in ".pt" must exist; a name from the built-in list or a ".yaml" config need not.
"""
import os
import sys
import time

from .utils import LOGGER

__version__ = "0.0-double"

_BUILTIN = {"yolov8s.pt", "yolov8n.pt", "yolov8m.pt", "yolov8l.pt", "yolov8x.pt",
            "yolov8s-seg.pt", "yolov8n-seg.pt", "yolov8m-seg.pt", "yolov8l-seg.pt", "yolov8x-seg.pt"}


class _Trainer:
    def __init__(self, epochs, save_dir):
        self.epoch = 0
        self.epochs = epochs
        self.stop = False
        self.save_dir = save_dir


class _Metrics:
    def __init__(self, nan=False):
        self.results_dict = {"metrics/mAP50(B)": float("nan") if nan else 0.5, "fitness": 0.25}


_CSV_COLUMNS = ["epoch", "time", "train/box_loss", "train/cls_loss", "train/dfl_loss", "metrics/precision(B)",
                "metrics/recall(B)", "metrics/mAP50(B)", "metrics/mAP50-95(B)", "val/box_loss", "val/cls_loss",
                "val/dfl_loss", "lr/pg0", "lr/pg1", "lr/pg2"]


def _csv_row(path, epoch):
    new = not os.path.exists(path)
    with open(path, "a") as f:
        if new:
            f.write(",".join(_CSV_COLUMNS) + "\n")
        e = epoch + 1
        values = [e, 1.5 * e, 2.0 / e, 3.0 / e, 1.5 / e, 0.2 + 0.1 * e, 0.3 + 0.05 * e, 0.25 + 0.1 * e, 0.1 + 0.05 * e,
                  2.2 / e, 3.3 / e, 1.6 / e, 0.01, 0.01, 0.01]
        f.write(",".join(str(v) for v in values) + "\n")


def _check_data(data):
    if not data or not os.path.exists(str(data)):
        raise FileNotFoundError(f"Dataset '{data}' error ❌ '{data}' does not exist")


def _write(path, content=b"x"):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(content)


class _Box:
    def __init__(self, cls, xyxy, conf=1.0):
        self.cls = [float(cls)]
        self.conf = [float(conf)]
        self.xyxy = [[float(v) for v in xyxy]]


class _Boxes(list):
    pass


class _Masks:
    def __init__(self, xy):
        self.xy = xy


class _Image:
    """An 8-bit BGR picture with the surface of the engine's drawn image that callers use."""

    def __init__(self, width, height, bgr):
        self.shape = (height, width, 3)
        self._bytes = bytes(bgr) * (width * height)

    def tobytes(self):
        return self._bytes


class _Result:
    def __init__(self, boxes, masks, names, colour):
        self.boxes = boxes
        self.masks = masks
        self.names = names
        self._colour = colour

    def plot(self):
        return _Image(8, 6, self._colour)


class YOLO:
    """A model. A weights file holding JSON drives predictions:
    {"names": {"0": "person"}, "detections": [{"cls": 0, "conf": 0.9, "xyxy": [...], "polygon": [[x, y], ...]}],
     "fail_predict": "message", "predict_seconds": 0.5, "load_seconds": 20, "exit_after_load": true}; a file
    starting with "corrupt"
    cannot be loaded."""

    def __init__(self, model="yolov8n.pt"):
        model = str(model)
        if model.endswith(".pt") and os.path.basename(model) not in _BUILTIN and not os.path.exists(model):
            raise FileNotFoundError(f"[Errno 2] No such file or directory: '{model}'")
        self.model_name = model
        self.callbacks = {}
        self.trainer = None
        self.spec = {}
        if os.path.isfile(model):
            with open(model, "rb") as f:
                content = f.read()
            if content.startswith(b"corrupt"):
                raise RuntimeError(f"Error loading '{model}': invalid load key, 'c'.")
            try:
                import json
                self.spec = json.loads(content.decode("utf-8"))
            except ValueError:
                self.spec = {}
        self.names = {int(k): v for k, v in self.spec.get("names", {"0": "object"}).items()}
        time.sleep(float(self.spec.get("load_seconds", 0)))
        if self.spec.get("exit_after_load"):
            # The host answers the load, then its process is gone (a crash, an OOM kill).
            import threading
            threading.Timer(0.2, lambda: os._exit(3)).start()

    def predict(self, source=None, conf=0.25, imgsz=640, verbose=True, **kwargs):
        if not os.path.exists(str(source)):
            raise FileNotFoundError(f"{source} does not exist")
        if self.spec.get("fail_predict"):
            raise RuntimeError(self.spec["fail_predict"])
        time.sleep(float(self.spec.get("predict_seconds", 0)))
        kept = [d for d in self.spec.get("detections", []) if d.get("conf", 1.0) >= conf]
        boxes = _Boxes(_Box(d["cls"], d["xyxy"], d.get("conf", 1.0)) for d in kept)
        masks = _Masks([d["polygon"] for d in kept]) if kept and all("polygon" in d for d in kept) else None
        if verbose:
            print(f"image {source}: {len(kept)} detections")
        colour = (int(imgsz) % 256, int(round(conf * 100)) % 256, (len(kept) * 40) % 256)
        return [_Result(boxes, masks, self.names, colour)]

    def export(self, format="torchscript", **kwargs):
        stem, _ = os.path.splitext(self.model_name)
        if "slow" in self.model_name:
            time.sleep(30)
        LOGGER.info(f"export: converting {self.model_name} to {format}")
        if format in ("openvino", "coreml"):
            out = stem + ("_openvino_model" if format == "openvino" else ".mlpackage")
            os.makedirs(out, exist_ok=True)
            _write(os.path.join(out, "model.xml"), b"<net/>")
            return out
        extension = {"onnx": ".onnx", "engine": ".engine", "torchscript": ".torchscript"}.get(format)
        if extension is None:
            raise ValueError(f"Invalid export format='{format}'.")
        _write(stem + extension, f"{format} of {self.model_name}".encode())
        return stem + extension

    def add_callback(self, event, fn):
        self.callbacks.setdefault(event, []).append(fn)

    def _run(self, event):
        for fn in self.callbacks.get(event, []):
            fn(self.trainer)

    def train(self, data=None, epochs=3, project="runs/detect", name="train", exist_ok=False, **kwargs):
        _check_data(data)
        save_dir = os.path.join(str(project), str(name))
        os.makedirs(save_dir, exist_ok=True)
        self.trainer = _Trainer(int(epochs), save_dir)
        slow = "slow" in self.model_name
        if "ansierror" in self.model_name:
            raise RuntimeError("\x1b[34m\x1b[1mval: \x1b[0mError loading data from missing/images")
        if "crash" in self.model_name:
            print("loading weights... out of memory")
            sys.stdout.flush()
            os._exit(137)
        LOGGER.info(f"\x1b[34m\x1b[1mtrain:\x1b[0m Starting training for {epochs} epochs...")
        self._run("on_train_start")
        csv = os.path.join(save_dir, "results.csv")
        if os.path.exists(csv):
            os.remove(csv)
        if "ddp" in self.model_name:  # the epochs run in a worker: no callback reaches this process
            import subprocess
            worker = (f"import sys, time\nsys.path.insert(0, {os.path.dirname(os.path.dirname(__file__))!r})\n"
                      f"from ultralytics import _csv_row\n"
                      f"for e in range({int(epochs)}):\n    time.sleep(0.3)\n    _csv_row({csv!r}, e)\n")
            subprocess.run([sys.executable, "-c", worker], check=True)
            _write(os.path.join(save_dir, "weights", "best.pt"), b"double-weights")
            for plot in ("results.png", "BoxF1_curve.png", "BoxPR_curve.png", "confusion_matrix.png"):
                _write(os.path.join(save_dir, plot), _tiny_png())
            return _Metrics()
        for epoch in range(int(epochs)):
            self.trainer.epoch = epoch
            for batch in range(3):
                if slow:
                    time.sleep(0.1)
                sys.stderr.write(f"\r  {epoch + 1}/{epochs} batch {batch + 1}/3")
                sys.stderr.flush()
                self._run("on_train_batch_end")
                if self.trainer.stop:
                    break
            print(f"\n\x1b[32mepoch {epoch + 1} done\x1b[0m")
            _csv_row(csv, epoch)
            self._run("on_fit_epoch_end")
            if self.trainer.stop:
                break
        if "noweights" not in self.model_name:
            _write(os.path.join(save_dir, "weights", "best.pt"), b"double-weights")
        for plot in ("results.png", "BoxF1_curve.png", "BoxPR_curve.png", "confusion_matrix.png", "val_batch0_pred.jpg"):
            _write(os.path.join(save_dir, plot), _tiny_png())
        # The real engine reports the last epoch once more after its final validation.
        self.trainer.epoch += 1
        self._run("on_fit_epoch_end")
        self.trainer.epoch -= 1
        LOGGER.info(f"{self.trainer.epoch + 1} epochs completed.")
        return _Metrics()

    def val(self, data=None, imgsz=640, device=None, project=None, name=None, exist_ok=False, **kwargs):
        _check_data(data)
        print(f"validating {self.model_name} at {imgsz} on {device}")
        out = os.path.join(str(project or "runs/detect"), str(name or "val"))
        _write(os.path.join(out, "confusion_matrix.png"), _tiny_png())
        return _Metrics(nan="nan" in self.model_name or "nan" in str(data))

    def tune(self, data=None, epochs=10, iterations=5, optimizer="auto", project="runs/detect", name="tune",
             plots=True, save=True, exist_ok=False, **kwargs):
        _check_data(data)
        out = os.path.join(str(project), str(name))
        os.makedirs(out, exist_ok=True)
        for i in range(int(iterations)):
            LOGGER.info(f"tune iteration {i + 1}/{iterations} with {epochs} epochs, optimizer {optimizer}")
            # As the engine does: each trial trains into a run of its own in the project folder.
            os.makedirs(os.path.join(str(project), "train" + (str(i + 1) if i else "")), exist_ok=True)
            if "slowtune" in self.model_name:
                import subprocess
                child = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(120)"])
                with open(os.path.join(out, "child.pid"), "w") as f:
                    f.write(str(child.pid))
                child.wait()
        if "noresult" in self.model_name:
            return
        with open(os.path.join(out, "best_hyperparameters.yaml"), "w") as f:
            f.write(f"lr0: {0.001 * int(epochs)}\nlrf: 0.2\nmomentum: 0.9\n")


def _tiny_png():
    """A 4 x 4 red PNG."""
    import struct
    import zlib

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    raw = b"".join(b"\x00" + b"\xff\x00\x00" * 4 for _ in range(4))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 4, 4, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))
