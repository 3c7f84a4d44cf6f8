#!/usr/bin/env python3
"""Engine host of Quorlan Studio.

The studio starts this program with the engine's Python interpreter and speaks JSON lines with it:
requests arrive on standard input, one object a line; replies and events leave on the original
standard output, one object a line. Everything else the engine prints (Python streams, its
logger, progress bars, C extensions writing to file descriptor 1) is moved onto standard error,
which the studio shows live in its console.

Requests:  {"cmd": "probe"} | {"cmd": "train", "params": {...}} | {"cmd": "tune", "params": {...}}
           {"cmd": "stop"} | {"cmd": "export", ...} | {"cmd": "load", ...} | {"cmd": "predict", ...}
Events:    {"event": "probe", "cuda": bool} | {"event": "epoch", "epoch": n, "epochs": total}
           {"event": "validating", "save_dir": dir} | {"event": "finished", ...} | {"event": "stopped"}
           {"event": "error", "text": message}
"""
import json
import logging
import os
import queue
import shutil
import sys
import threading
import traceback

# ---------------------------------------------------------------- process preparation

_protocol = os.fdopen(os.dup(1), "w", buffering=1, encoding="utf-8")
os.dup2(2, 1)  # C extensions writing to fd 1 land on the console too
_protocol_lock = threading.Lock()


class ConsoleStream:
    """Text stream onto the console (fd 2): unbuffered, and a terminal to its writers."""

    encoding = "utf-8"
    errors = "replace"

    def write(self, text):
        if text:
            data = text.encode("utf-8", "replace")
            while data:
                try:
                    data = data[os.write(2, data):]
                except InterruptedError:
                    continue
        return len(text)

    def writelines(self, lines):
        for line in lines:
            self.write(line)

    def flush(self):
        pass

    def isatty(self):
        return True

    def fileno(self):
        return 2

    def writable(self):
        return True

    @property
    def closed(self):
        return False


console = ConsoleStream()
sys.stdout = console
sys.stderr = console

os.environ.setdefault("MPLBACKEND", "Agg")
# The engine pins the CPU to one thread unless told otherwise.
os.environ.setdefault("OMP_NUM_THREADS", str(os.cpu_count() or 1))
# Worker processes the engine starts must find this interpreter, never the studio.
_bin = os.path.dirname(sys.executable)
os.environ["PATH"] = _bin + os.pathsep + os.environ.get("PATH", "")


def emit(**event):
    line = json.dumps(event, default=str)
    with _protocol_lock:
        _protocol.write(line + "\n")
        _protocol.flush()


# ---------------------------------------------------------------- requests

requests = queue.Queue()
stop_requested = threading.Event()


def read_requests():
    for raw in sys.stdin:
        raw = raw.strip()
        if not raw:
            continue
        try:
            request = json.loads(raw)
        except ValueError:
            emit(event="error", text="Malformed request: " + raw[:200])
            continue
        if request.get("cmd") == "stop":
            stop_requested.set()
        else:
            requests.put(request)
    requests.put(None)  # the studio went away


class QtHandler(logging.Handler):
    """Message-only logger output onto the console for the length of one run."""

    def emit(self, record):
        try:
            console.write(self.format(record) + "\n")
        except Exception:
            pass


class ConsoleCapture:
    """Puts the engine logger's output onto the console, message only, for one run."""

    def __init__(self, logger):
        self.logger = logger
        self.handler = QtHandler()
        self.handler.setFormatter(logging.Formatter("%(message)s"))
        self.saved = []

    def __enter__(self):
        self.saved = list(self.logger.handlers)
        for h in self.saved:
            self.logger.removeHandler(h)
        self.logger.addHandler(self.handler)
        return self

    def __exit__(self, *exc):
        self.logger.removeHandler(self.handler)
        for h in self.saved:
            self.logger.addHandler(h)
        return False


_engine = None


def engine():
    """Imports the engine once, after the process is prepared."""
    global _engine
    if _engine is None:
        from ultralytics import YOLO
        from ultralytics.utils import LOGGER

        provide_font()
        _engine = (YOLO, LOGGER)
    return _engine


def provide_font():
    """Gives the engine a local font instead of the one it would download for its plots."""
    try:
        from ultralytics.utils import USER_CONFIG_DIR
    except Exception:
        return
    for candidate in ("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf",):
        if os.path.exists(candidate):
            for name in ("Arial.ttf", "Arial.Unicode.ttf"):
                target = os.path.join(str(USER_CONFIG_DIR), name)
                if not os.path.exists(target):
                    try:
                        os.makedirs(str(USER_CONFIG_DIR), exist_ok=True)
                        shutil.copyfile(candidate, target)
                    except OSError:
                        pass
            return


def cuda_available():
    try:
        import torch

        return bool(torch.cuda.is_available())
    except Exception:
        return False


def jsonable(value):
    try:
        json.dumps(value)
        return value
    except (TypeError, ValueError):
        if isinstance(value, dict):
            return {str(k): jsonable(v) for k, v in value.items()}
        if isinstance(value, (list, tuple)):
            return [jsonable(v) for v in value]
        try:
            return float(value)
        except (TypeError, ValueError):
            return str(value)


# ---------------------------------------------------------------- commands

def do_probe(_request):
    emit(event="probe", cuda=cuda_available())


def do_train(request):
    YOLO, LOGGER = engine()
    params = dict(request["params"])
    stop_requested.clear()
    reported = {"epoch": 0}

    def on_batch_end(trainer):
        if stop_requested.is_set():
            trainer.stop = True

    def on_epoch_end(trainer):
        if stop_requested.is_set():
            trainer.stop = True
        ep, tot = int(trainer.epoch) + 1, int(trainer.epochs)
        # The engine calls this once more after its final validation; each epoch is reported once.
        if reported["epoch"] < ep <= tot:
            reported["epoch"] = ep
            emit(event="epoch", epoch=ep, epochs=tot)

    with ConsoleCapture(LOGGER):
        model_path = params.pop("model_path", None)
        data_yaml = params.pop("data_yaml")
        params["data"] = data_yaml
        model = YOLO(model_path)
        model.add_callback("on_train_batch_end", on_batch_end)
        model.add_callback("on_fit_epoch_end", on_epoch_end)
        params["exist_ok"] = True
        params["verbose"] = True
        model.train(**params)
        if stop_requested.is_set():
            emit(event="stopped")
            return
        save_dir = str(model.trainer.save_dir)
        emit(event="validating", save_dir=save_dir)
        best = YOLO(os.path.join(save_dir, "weights", "best.pt"))
        metrics = best.val(data=data_yaml, imgsz=params.get("imgsz"), device=params.get("device"))
        emit(event="finished", save_dir=save_dir, metrics=jsonable(getattr(metrics, "results_dict", {})))


def do_tune(request):
    YOLO, LOGGER = engine()
    params = request["params"]
    with ConsoleCapture(LOGGER):
        model = YOLO(params["model_path"])
        model.tune(
            data=params["data_yaml"],
            epochs=min(int(params["epochs"]), 10),
            iterations=5,
            optimizer=params.get("optimizer", "auto"),
            project=params["project"],
            name=params["name"],
            plots=False,
            save=False,
            exist_ok=True,
        )
    emit(event="tuned")


models = {}


def class_names(model):
    names = getattr(model, "names", None) or {}
    if isinstance(names, (list, tuple)):
        names = dict(enumerate(names))
    return {str(int(k)): str(v) for k, v in names.items()}


def do_load(request):
    YOLO, _ = engine()
    model = YOLO(request["weights"])  # the key keeps its previous model when this fails
    models[request["key"]] = model
    emit(event="loaded", names=class_names(model))


def do_predict(request):
    model = models.get(request.get("key"))
    if model is None:
        raise RuntimeError("No model is loaded.")
    kwargs = {"source": request["source"], "conf": request["conf"], "verbose": False}
    if request.get("imgsz"):
        kwargs["imgsz"] = request["imgsz"]
    results = model.predict(**kwargs)
    reply = {"event": "predicted", "boxes": [], "masks": None, "names": class_names(model), "plot": None}
    if results:
        first = results[0]
        boxes = first.boxes
        if boxes is not None:
            for i in range(len(boxes)):
                box = boxes[i]
                reply["boxes"].append({"cls": int(box.cls[0]), "xyxy": [float(v) for v in box.xyxy[0]]})
        masks = getattr(first, "masks", None)
        if masks is not None:
            reply["masks"] = [[[float(x), float(y)] for x, y in polygon] for polygon in masks.xy]
        if request.get("plot"):
            image = first.plot()
            try:
                import numpy

                image = numpy.ascontiguousarray(image)
            except ImportError:
                pass
            with open(request["plot"], "wb") as f:
                f.write(image.tobytes())
            reply["plot"] = {"width": int(image.shape[1]), "height": int(image.shape[0])}
    emit(**reply)


def do_export(request):
    YOLO, LOGGER = engine()
    with ConsoleCapture(LOGGER):
        path = YOLO(request["weights"]).export(format=request["format"])
    emit(event="exported", path=str(path))


COMMANDS = {"probe": do_probe, "train": do_train, "tune": do_tune, "load": do_load, "predict": do_predict,
            "export": do_export}


def main():
    threading.Thread(target=read_requests, daemon=True).start()
    while True:
        request = requests.get()
        if request is None:
            break
        handler = COMMANDS.get(request.get("cmd"))
        if handler is None:
            emit(event="error", text="Unknown request: " + str(request.get("cmd")))
            continue
        try:
            handler(request)
        except BaseException as exc:  # the engine's failures go back to the studio as text
            if isinstance(exc, KeyboardInterrupt):
                raise
            traceback.print_exc(file=console)
            emit(event="error", text=str(exc) or type(exc).__name__)
    return 0


if __name__ == "__main__":
    sys.exit(main())
