"""Test double of the engine's utilities: its logger and its config folder."""
import logging
import os
import sys
import tempfile

LOGGER = logging.getLogger("ultralytics")
LOGGER.setLevel(logging.INFO)
LOGGER.propagate = False
_handler = logging.StreamHandler(sys.stdout)
_handler.setFormatter(logging.Formatter("%(message)s"))
LOGGER.addHandler(_handler)

USER_CONFIG_DIR = os.path.join(tempfile.gettempdir(), "quorlan-engine-double-config")


def is_online():
    """Offline exactly when YOLO_OFFLINE says so, as the real check does first."""
    return os.environ.get("YOLO_OFFLINE", "").lower() not in ("1", "true", "yes")
