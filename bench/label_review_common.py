"""What the two label-review generators share: planting mistakes, writing a folder, asking the studio
and the label-quality library (cleanlab) for their rankings, and scoring both on the same planted
mistakes.

A ranking is a list of items (score, picture, kind, label_box, predicted_box), likeliest mistake first.
A planted mistake is found at its place when an item of the top K points at it: a label-based item
whose label box is the planted box, or an item naming a predicted box over a deleted object. It is
found with the right kind when that item also names the planted kind (the library's "bad location"
counts for both a loose box and a label on nothing, its "swapped" for a wrong class and its
"overlooked" for a missing object).
"""
import json
import math
import os
import subprocess
import sys
from collections import Counter

KINDS = ("missing object", "wrong class", "loose box", "label on nothing")
LIBRARY_KINDS = {"overlooked": {"missing object"}, "swapped": {"wrong class"},
                 "bad location": {"loose box", "label on nothing"}}


def iou(a, b):
    ix = max(0.0, min(a[2], b[2]) - max(a[0], b[0]))
    iy = max(0.0, min(a[3], b[3]) - max(a[1], b[1]))
    u = (a[2] - a[0]) * (a[3] - a[1]) + (b[2] - b[0]) * (b[3] - b[1]) - ix * iy
    return ix * iy / u if u > 0 else 0.0


def plant(pictures, per_kind, rng, classes, size, swap=None):
    """Plants per_kind mistakes of each kind, one mistake per picture, into pictures[i]["labels"]
    (a copy of pictures[i]["truth"]: [cls, [x0, y0, x1, y1]] in pixels). swap(cls) gives the wrong
    class (a random other one by default). Returns the planted mistakes."""
    order = [(pi, oi) for pi, p in enumerate(pictures) for oi in range(len(p["truth"]))]
    rng.shuffle(order)
    used, planted = set(), []

    def take():
        while order:
            pi, oi = order.pop()
            if pi not in used:
                used.add(pi)
                return pi, oi
        sys.exit("too few pictures for the planted mistakes")

    for kind in KINDS[:3]:
        for _ in range(per_kind):
            pi, oi = take()
            cls, box = pictures[pi]["labels"][oi]
            if kind == "missing object":
                pictures[pi]["labels"][oi] = None
            elif kind == "wrong class":
                new = swap(cls) if swap else (cls + rng.randint(1, classes - 1)) % classes
                pictures[pi]["labels"][oi] = [new, box]
            else:
                w, h = box[2] - box[0], box[3] - box[1]
                dx = rng.choice([-1, 1]) * rng.uniform(0.3, 0.5) * w
                dy = rng.choice([-1, 1]) * rng.uniform(0.0, 0.3) * h
                x0 = min(max(box[0] + dx, 0), size - w)
                y0 = min(max(box[1] + dy, 0), size - h)
                box = [x0, y0, x0 + w, y0 + h]
                pictures[pi]["labels"][oi] = [cls, box]
            planted.append({"picture": pi, "kind": kind, "box": box})
    for _ in range(per_kind):  # boxes on background
        for _attempt in range(200):
            pi = rng.randrange(len(pictures))
            s = rng.randint(16, 48)
            x, y = rng.randint(2, size - s - 2), rng.randint(2, size - s - 2)
            box = [float(x), float(y), float(x + s), float(y + s)]
            if pi not in used and all(iou(box, t[1]) == 0 for t in pictures[pi]["truth"]):
                break
        used.add(pi)
        pictures[pi]["labels"].append([rng.randrange(classes), box])
        planted.append({"picture": pi, "kind": "label on nothing", "box": box})
    return planted


def write_folder(folder, pictures, names, size, write_image, label_key="labels"):
    """The engine's layout: folder/images and folder/labels, with classes.txt beside the pictures."""
    for sub in ("images", "labels"):
        os.makedirs(f"{folder}/{sub}", exist_ok=True)
    for p in pictures:
        write_image(f"{folder}/images/{p['name']}", p["img"])
        rows = [l for l in p[label_key] if l is not None]
        lines = [f"{c} {(b[0] + b[2]) / 2 / size:.6f} {(b[1] + b[3]) / 2 / size:.6f} "
                 f"{(b[2] - b[0]) / size:.6f} {(b[3] - b[1]) / size:.6f}" for c, b in rows]
        stem = os.path.splitext(p["name"])[0]
        with open(f"{folder}/labels/{stem}.txt", "w") as f:
            f.write("\n".join(lines) + ("\n" if lines else ""))
    with open(f"{folder}/images/classes.txt", "w") as f:
        f.write("\n".join(names) + "\n")


def studio_review(folder, weights, index, extra=()):
    """quorlan review of folder/images with weights; returns (ranking, the answer's model_check)."""
    out = subprocess.run([os.environ["QUORLAN_CLI"], "review", f"{folder}/images", "--model", weights, "--json",
                          *extra], capture_output=True, text=True,
                         env=dict(os.environ, QUORLAN_PYTHON=sys.executable))
    if out.returncode != 0:
        sys.exit("quorlan review failed: " + out.stderr[-2000:])
    answer = json.loads(out.stdout)
    items = []
    for f in answer["findings"]:
        lb = f["label"]["xyxy"] if "label" in f else None
        pb = f["prediction"]["xyxy"] if "prediction" in f else None
        items.append((f["score"], index[os.path.basename(f["image"])], f["kind"], lb, pb))
    items.sort(key=lambda x: -x[0])  # stable: the studio's own order among equals
    return items, answer.get("model_check", {})


def library_review(model, folder, pictures, members, n_classes, conf=0.001):
    """cleanlab's object-detection scores on the engine's predictions of the same model."""
    import numpy as np
    from cleanlab.object_detection import rank
    labels, predictions, which = [], [], []
    for pi in members:
        p = pictures[pi]
        r = model.predict(f"{folder}/images/{p['name']}", conf=conf, verbose=False)[0]
        per_class = [[] for _ in range(n_classes)]
        for b, c, s in zip(r.boxes.xyxy.tolist(), r.boxes.cls.tolist(), r.boxes.conf.tolist()):
            per_class[int(c)].append(b + [s])
        predictions.append(np.array([np.array(x, dtype=np.float32).reshape(-1, 5) for x in per_class],
                                    dtype=object))
        present = [l for l in p["labels"] if l is not None]
        labels.append({"bboxes": np.array([l[1] for l in present], dtype=np.float32).reshape(-1, 4),
                       "labels": np.array([l[0] for l in present], dtype=np.int64)})
        which.append(pi)
    badloc = rank.compute_badloc_box_scores(labels=labels, predictions=predictions)
    swap = rank.compute_swap_box_scores(labels=labels, predictions=predictions)
    overlooked = rank.compute_overlooked_box_scores(labels=labels, predictions=predictions)
    items = []
    for n, pi in enumerate(which):
        for j, box in enumerate(labels[n]["bboxes"].tolist()):
            b, s = float(badloc[n][j]), float(swap[n][j])
            items.append((1 - min(b, s), pi, "bad location" if b <= s else "swapped", box, None))
        flat = [row for per in predictions[n] for row in per.tolist()]
        for j, row in enumerate(flat):
            score = float(overlooked[n][j])
            if not math.isnan(score):
                items.append((1 - score, pi, "overlooked", None, row[:4]))
    items.sort(key=lambda x: -x[0])
    return items


def _at_place(item, mistake):
    _, _, _, lb, pb = item
    if mistake["kind"] == "missing object":
        return pb is not None and iou(pb, mistake["box"]) >= 0.5
    return lb is not None and iou(lb, mistake["box"]) >= 0.9


def _right_kind(item, mistake):
    kind = item[2]
    return mistake["kind"] in LIBRARY_KINDS.get(kind, {kind})


def evaluate(name, items, planted, k):
    """Prints recall in the top k at the right place and with the right kind, per planted kind, and
    the largest group of equal scores in the top k. Returns the totals."""
    top = items[:k]
    by_picture = {}
    for j, m in enumerate(planted):
        by_picture.setdefault(m["picture"], []).append(j)
    place, kind = [False] * len(planted), [False] * len(planted)
    for item in top:
        for j in by_picture.get(item[1], []):
            if _at_place(item, planted[j]):
                place[j] = True
                kind[j] = kind[j] or _right_kind(item, planted[j])
    tie = max(Counter(round(item[0], 6) for item in top).values()) if top else 0
    print(f"{name}: top {k} of {len(items)} items; recall at the right place {sum(place) / len(planted):.3f}, "
          f"with the right kind {sum(kind) / len(planted):.3f}; largest tie {tie} ({tie / max(k, 1):.0%} of the top)")
    per_kind = {}
    for planted_kind in KINDS:
        js = [j for j, m in enumerate(planted) if m["kind"] == planted_kind]
        if not js:
            continue
        p, r = sum(place[j] for j in js), sum(kind[j] for j in js)
        per_kind[planted_kind] = (p, r, len(js))
        print(f"  {planted_kind:16s}: at the place {p:3d} of {len(js)}, of the right kind {r:3d}")
    return {"place": sum(place) / len(planted), "kind": sum(kind) / len(planted), "tie": tie / max(k, 1),
            "per_kind": per_kind}
