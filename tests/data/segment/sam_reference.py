"""What the engine's own SAM modules answer on a picture for a set of prompts, recorded so that the
studio's native answers can be compared with it (the tests) and timed against it (bench/segment).

Run with the engine's interpreter:
    sam_reference.py random-mobile-sam OUT.pt            a MobileSAM with fixed random weights
    sam_reference.py record WEIGHTS OUT.json PICTURE...  the engine's answers on the pictures
    sam_reference.py predictor WEIGHTS PICTURE X Y       the engine's SAM predictor, timed
"""
import json
import sys
import time

import cv2
import numpy as np
import torch

STRIDE = 16  # the sample of the logits and embedding kept in the record

# Prompts as fractions of the picture: (points [(x, y, label)], box or None).
PROMPTS = [
    ([(0.5, 0.5, 1)], None),
    ([(0.3, 0.4, 1), (0.7, 0.6, 0)], None),
    ([], (0.2, 0.25, 0.8, 0.7)),
    ([(0.5, 0.45, 1)], (0.1, 0.1, 0.9, 0.9)),
]


def reference(sam, path):
    from ultralytics.data.augment import LetterBox

    im = cv2.imread(str(path))  # upright: OpenCV applies the EXIF orientation, as the engine's loader does
    h, w = im.shape[:2]
    size = int(sam.image_encoder.img_size)
    boxed = LetterBox(size, auto=False, center=False)(image=im)
    x = torch.from_numpy(np.ascontiguousarray(boxed[..., ::-1].transpose(2, 0, 1))).float()[None]
    x = (x - sam.pixel_mean) / sam.pixel_std
    r = min(size / h, size / w)
    out = {"picture": str(path).rsplit("/", 1)[-1], "width": w, "height": h, "prompts": []}
    with torch.no_grad():
        emb = sam.image_encoder(x)
        out["embedding"] = emb[0, :, ::STRIDE, ::STRIDE].flatten().tolist()
        for points, box in PROMPTS:
            pts = [(px * w, py * h) for px, py, _ in points]
            labels = [lab for _, _, lab in points]
            p = (torch.tensor([pts], dtype=torch.float32) * r, torch.tensor([labels], dtype=torch.int32)) if pts else None
            b = torch.tensor([[box[0] * w, box[1] * h, box[2] * w, box[3] * h]], dtype=torch.float32) * r if box else None
            sparse, dense = sam.prompt_encoder(points=p, boxes=b, masks=None)
            masks, scores = sam.mask_decoder.predict_masks(emb, sam.prompt_encoder.get_dense_pe(), sparse, dense)
            out["prompts"].append({
                "points": [[x, y, lab] for (x, y), lab in zip(pts, labels)],
                "box": [box[0] * w, box[1] * h, box[2] * w, box[3] * h] if box else None,
                "logits": [round(v, 6) for v in masks[0, :, ::STRIDE, ::STRIDE].flatten().tolist()],
                "scores": scores[0].tolist()})
    out["embedding"] = [round(v, 6) for v in out["embedding"]]
    return out


def record(sam, out, pictures):
    with open(out, "w") as f:
        json.dump({"stride": STRIDE, "pictures": [reference(sam, p) for p in pictures]}, f)


def main(argv):
    if argv[0] == "random-mobile-sam":
        from ultralytics.models.sam.build import build_mobile_sam

        torch.manual_seed(0)
        torch.save(build_mobile_sam(checkpoint=None).state_dict(), argv[1])
    elif argv[0] == "record":
        from ultralytics.models.sam.build import build_sam

        record(build_sam(argv[1]), argv[2], argv[3:])
    elif argv[0] == "predictor":
        from ultralytics import SAM

        model = SAM(argv[1])
        start = time.perf_counter()
        model.predict(argv[2], points=[[float(argv[3]), float(argv[4])]], labels=[1], verbose=False)
        print(json.dumps({"seconds": time.perf_counter() - start}))
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv[1:])
