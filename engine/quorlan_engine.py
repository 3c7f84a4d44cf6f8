#!/usr/bin/env python3
"""Engine host of Quorlan Studio.

The studio starts this program with the engine's Python interpreter and speaks JSON lines with it:
requests arrive on standard input, one object a line; replies and events leave on the original
standard output, one object a line. Everything else the engine prints (Python streams, its
logger, progress bars, C extensions writing to file descriptor 1) is moved onto standard error,
which the studio shows live in its console.

Requests:  {"cmd": "probe"} | {"cmd": "train", "params": {...}} | {"cmd": "tune", "params": {...}}
           {"cmd": "stop"} | {"cmd": "export", ...} | {"cmd": "load", ...} | {"cmd": "predict", ...}
Events:    {"event": "probe", "cuda": bool} | {"event": "batches"} (the first batch ended here)
           {"event": "epoch", "epoch": n, "epochs": total, "save_dir": dir}
           {"event": "validating", "save_dir": dir} | {"event": "finished", ...} | {"event": "stopped"}
           {"event": "error", "text": message}
"""
import json
import logging
import math
import os
import queue
import shutil
import signal
import sys
import threading
import time
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


def finite(value):
    """The value with every non-finite float as None: standard JSON has no NaN or Infinity."""
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {str(k): finite(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [finite(v) for v in value]
    return value


def emit(**event):
    line = json.dumps(finite(event), default=str, allow_nan=False)
    with _protocol_lock:
        _protocol.write(line + "\n")
        _protocol.flush()


# ---------------------------------------------------------------- requests

requests = queue.Queue()
stop_requested = threading.Event()


# The keys each request needs; a request without one is answered with an error at once.
REQUIRED = {"train": ("params",), "tune": ("params",), "load": ("key", "weights"),
            "predict": ("key", "source", "conf"), "export": ("weights", "format")}
PARAMS_REQUIRED = {"train": ("data_yaml",), "tune": ("model_path", "data_yaml", "epochs", "project", "name")}


def request_problem(request):
    """What is wrong with a request, or None."""
    if not isinstance(request, dict):
        return "a request must be a JSON object, not " + type(request).__name__
    cmd = request.get("cmd")
    if not isinstance(cmd, str):
        return "the request has no 'cmd' text"
    missing = [k for k in REQUIRED.get(cmd, ()) if k not in request]
    if missing:
        return "the '%s' request lacks %s" % (cmd, ", ".join("'%s'" % k for k in missing))
    if cmd in PARAMS_REQUIRED:
        params = request["params"]
        if not isinstance(params, dict):
            return "the '%s' request's 'params' must be an object" % cmd
        missing = [k for k in PARAMS_REQUIRED[cmd] if k not in params]
        if missing:
            return "the '%s' request's params lack %s" % (cmd, ", ".join("'%s'" % k for k in missing))
    return None


def read_requests():
    for raw in sys.stdin:
        try:
            raw = raw.strip()
            if not raw:
                continue
            try:
                request = json.loads(raw)
            except ValueError:
                emit(event="error", text="Malformed request (not JSON): " + raw[:200])
                continue
            problem = request_problem(request)
            if problem:
                emit(event="error", text="Malformed request: " + problem)
                continue
            if request["cmd"] == "stop":
                stop_requested.set()
            else:
                requests.put(request)
        except Exception as exc:  # the reader never dies: the studio would wait for ever
            try:
                emit(event="error", text="Malformed request: " + str(exc))
            except Exception:
                pass
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

        use_every_core()
        provide_font()
        _engine = (YOLO, LOGGER)
    return _engine


def use_every_core():
    """The engine sets torch's CPU threads to one fewer than the cores each time it picks a device
    (one thread on two cores); prediction and training on the CPU use every core instead."""
    try:
        import ultralytics.utils.torch_utils as torch_utils

        torch_utils.NUM_THREADS = max(1, os.cpu_count() or 1)
    except (ImportError, AttributeError):
        pass


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


def missing_weights(name):
    """A message when `name` is a built-in weights name that would need a download now."""
    if not isinstance(name, str) or not name.endswith(".pt") or os.path.exists(name):
        return None
    try:
        from ultralytics.utils import is_online

        online = is_online()
    except Exception:
        online = True
    if online:
        return None
    return ("The weights file '%s' does not exist. Built-in model names are downloaded from the internet the first "
            "time they are used, and this computer is offline: choose a weights file (.pt) on disk, or a model "
            "definition (.yaml) to train from scratch." % name)


def do_train(request):
    params = dict(request["params"])
    try:
        # A stop that arrived while the engine was still loading is honoured before training begins.
        if stop_requested.is_set():
            emit(event="stopped")
            return
        problem = missing_weights(params.get("model_path"))
        if problem:
            raise RuntimeError(problem)
        YOLO, LOGGER = engine()
        if stop_requested.is_set():
            emit(event="stopped")
            return
        train(YOLO, LOGGER, params)
    finally:
        stop_requested.clear()


def descendants(root):
    """The processes started by `root`, directly or not (read from /proc)."""
    children = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                ppid = int(f.read().rsplit(")", 1)[1].split()[1])
        except (OSError, ValueError, IndexError):
            continue
        children.setdefault(ppid, []).append(int(entry))
    found, todo = [], [root]
    while todo:
        for child in children.get(todo.pop(), []):
            found.append(child)
            todo.append(child)
    return found


def end_workers_on_stop(heard):
    """Under multi-GPU training the epochs run in worker processes whose callbacks never reach
    this process; a stop then ends those workers (the run keeps the weights saved last)."""

    def watch():
        while not stop_requested.wait(0.5):
            if finished.is_set():
                return
        time.sleep(1.0)
        if heard["callback"] or finished.is_set():
            return
        for pid in descendants(os.getpid()):
            try:
                os.kill(pid, signal.SIGTERM)
            except OSError:
                pass

    finished = threading.Event()
    threading.Thread(target=watch, daemon=True).start()
    return finished


def train(YOLO, LOGGER, params):
    reported = {"epoch": 0}
    heard = {"callback": False}

    def on_batch_end(trainer):
        if not heard["callback"]:
            heard["callback"] = True
            emit(event="batches")  # the callbacks reach this process: progress comes from them
        if stop_requested.is_set():
            trainer.stop = True

    def on_train_start(trainer):
        if stop_requested.is_set():
            trainer.stop = True

    def on_epoch_end(trainer):
        heard["callback"] = True
        if stop_requested.is_set():
            # An epoch cut short by a stop, and the engine's extra call after it, report nothing.
            trainer.stop = True
            return
        ep, tot = int(trainer.epoch) + 1, int(trainer.epochs)
        # The engine calls this once more after its final validation; each epoch is reported once.
        if reported["epoch"] < ep <= tot:
            reported["epoch"] = ep
            emit(event="epoch", epoch=ep, epochs=tot, save_dir=str(getattr(trainer, "save_dir", "")))

    with ConsoleCapture(LOGGER):
        model_path = params.pop("model_path", None)
        data_yaml = params.pop("data_yaml")
        params["data"] = data_yaml
        model = YOLO(model_path)
        model.add_callback("on_train_batch_end", on_batch_end)
        model.add_callback("on_train_start", on_train_start)
        model.add_callback("on_fit_epoch_end", on_epoch_end)
        params["exist_ok"] = True
        params["verbose"] = True
        workers = end_workers_on_stop(heard)
        try:
            model.train(**params)
        except Exception:
            if not stop_requested.is_set():
                raise
        finally:
            workers.set()
        if stop_requested.is_set():
            emit(event="stopped")
            return
        save_dir = str(model.trainer.save_dir)
        emit(event="validating", save_dir=save_dir)
        best = YOLO(os.path.join(save_dir, "weights", "best.pt"))
        # The validation's plots go into the run folder, never under the working folder.
        metrics = best.val(data=data_yaml, imgsz=params.get("imgsz"), device=params.get("device"),
                           project=save_dir, name="val", exist_ok=True)
        emit(event="finished", save_dir=save_dir, metrics=jsonable(getattr(metrics, "results_dict", {})))


def do_tune(request):
    params = request["params"]
    problem = missing_weights(params.get("model_path"))
    if problem:
        raise RuntimeError(problem)
    YOLO, LOGGER = engine()
    with ConsoleCapture(LOGGER):
        model = YOLO(params["model_path"])
        model.tune(
            data=params["data_yaml"],
            epochs=min(int(params["epochs"]), 10),
            iterations=int(params.get("iterations", 5)),
            optimizer=params.get("optimizer", "auto"),
            # The tuning folder the studio names holds the search ("tune") and every trial run.
            project=os.path.join(params["project"], params["name"]),
            name="tune",
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
    problem = missing_weights(request["weights"])
    if problem:
        raise RuntimeError(problem)
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
                reply["boxes"].append({"cls": int(box.cls[0]), "conf": float(box.conf[0]),
                                       "xyxy": [float(v) for v in box.xyxy[0]]})
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
    problem = missing_weights(request["weights"])
    if problem:
        raise RuntimeError(problem)
    YOLO, LOGGER = engine()
    import quorlan_sam

    with ConsoleCapture(LOGGER):
        if quorlan_sam.is_sam_weights(request["weights"]):
            if request["format"] != "onnx":
                raise RuntimeError("A SAM-family model exports to onnx only (an image encoder and a prompt decoder).")
            path = quorlan_sam.export_sam(request["weights"], request.get("out"))
        else:
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
