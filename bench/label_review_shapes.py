"""The drawn-shapes generator: 600 pictures of squares, discs and triangles on noise, 10 % planted
mistakes of each kind, two yolov8n models (from their config, CPU) trained on the two halves, each
half reviewed with the other half's model. Last line: label-review: ratio R (goal >= 1.0)."""
import os
import random
import sys
import time

import cv2
import numpy as np

from label_review_common import evaluate, iou, library_review, plant, studio_review, write_folder

work, count, epochs = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
rng = random.Random(11)
NAMES = ["square", "disc", "triangle"]
S = 160


def draw(i):
    img = np.full((S, S, 3), rng.randint(60, 190), np.uint8)
    img = cv2.add(img, np.random.default_rng(i).integers(0, 30, (S, S, 3), dtype=np.uint8))
    objects = []
    for _ in range(rng.randint(2, 4)):
        for _attempt in range(20):
            s = rng.randint(24, 48)
            x, y = rng.randint(2, S - s - 2), rng.randint(2, S - s - 2)
            box = [x, y, x + s, y + s]
            if all(iou(box, o[1]) == 0 for o in objects):
                break
        else:
            continue
        cls = rng.randint(0, 2)
        colour = tuple(rng.randint(0, 255) for _ in range(3))
        if cls == 0:
            cv2.rectangle(img, (x, y), (x + s, y + s), colour, -1)
        elif cls == 1:
            cv2.circle(img, (x + s // 2, y + s // 2), s // 2, colour, -1)
        else:
            cv2.fillPoly(img, [np.array([(x + s // 2, y), (x + s, y + s), (x, y + s)], np.int32)], colour)
        objects.append((cls, [float(v) for v in box]))
    return img, objects


pictures = []
for i in range(count):
    img, objects = draw(i)
    pictures.append({"name": f"{i:04d}.png", "img": img, "truth": objects, "labels": [list(o) for o in objects]})
total = sum(len(p["truth"]) for p in pictures)
per_kind = max(1, total // 10)
planted = plant(pictures, per_kind, rng, len(NAMES), S)
halves = {"a": range(0, count // 2), "b": range(count // 2, count)}
for half, members in halves.items():
    write_folder(f"{work}/{half}", [pictures[i] for i in members], NAMES, S, cv2.imwrite)
    with open(f"{work}/{half}.yaml", "w") as f:
        f.write(f"path: {work}/{half}\ntrain: images\nval: images\nnames: {NAMES}\n")
print(f"shapes: {count} pictures, {total} objects; planted {len(planted)} mistakes ({per_kind} of each kind)")

# Two models, each on one half (the mistakes of its half included, as a user's would be).
from ultralytics import YOLO

t0 = time.time()
for half in halves:
    YOLO("yolov8n.yaml").train(data=f"{work}/{half}.yaml", epochs=epochs, imgsz=S, batch=16, device="cpu",
                               workers=0, project=f"{work}/runs", name=half, plots=False, verbose=False, val=False)
print(f"two models trained in {time.time() - t0:.0f} s ({epochs} epochs each)")
other = {"a": "b", "b": "a"}
index = {p["name"]: i for i, p in enumerate(pictures)}
studio, library = [], []
for half, members in halves.items():
    weights = f"{work}/runs/{other[half]}/weights/last.pt"
    studio += studio_review(f"{work}/{half}", weights, index)[0]
    library += library_review(YOLO(weights), f"{work}/{half}", pictures, members, len(NAMES))
studio.sort(key=lambda x: -x[0])
library.sort(key=lambda x: -x[0])
k = len(planted)
s = evaluate("studio (quorlan review)", studio, planted, k)["place"]
l = evaluate("library (cleanlab object detection scores)", library, planted, k)["place"]
print(f"label-review: ratio {s / l if l > 0 else float('inf'):.2f} (goal >= 1.0)")
