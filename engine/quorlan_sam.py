"""Exports a promptable segmentation model of the engine's SAM family into the pair the studio runs
natively: an image encoder (once per picture) and a prompt decoder (once per click).

The pair is built from the engine's own model classes, so its numbers are the engine's:
- encoder.onnx: input "image" 1x3xSxS (the picture letterboxed to S on its long side, top-left,
  padded with 114, RGB, normalised by the model's mean and std); output "embeddings".
- decoder.onnx: inputs "embeddings", "point_coords" 1xNx2 (in the encoder input's pixels) and
  "point_labels" 1xN (1 a positive click, 0 a negative one, 2 and 3 a box's corners, -1 padding);
  outputs "masks" 1x4xHxW (low-resolution logits: the single-mask answer, then the three
  alternatives) and "scores" 1x4.
- sam.json: what the studio needs to feed them (size, mean, std, padding, threshold).
"""

import hashlib
import json
import os
import tempfile
from pathlib import Path

SAM_WEIGHTS = ("sam_h.pt", "sam_l.pt", "sam_b.pt", "mobile_sam.pt")
SAM2_WEIGHTS = ("sam2_t.pt", "sam2_s.pt", "sam2_b.pt", "sam2_l.pt", "sam2.1_t.pt", "sam2.1_s.pt", "sam2.1_b.pt",
                "sam2.1_l.pt")


def is_sam_weights(path):
    name = os.path.basename(str(path))
    return name.endswith(SAM_WEIGHTS + SAM2_WEIGHTS)


def digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def _modules():
    import torch
    from torch import nn

    class Encoder(nn.Module):
        def __init__(self, sam):
            super().__init__()
            self.encoder = sam.image_encoder

        def forward(self, image):
            return self.encoder(image)

    class Decoder(nn.Module):
        """The engine's prompt encoder and mask decoder with every prompt given as labelled points
        (a box as its two corners), which is how the engine embeds them."""

        def __init__(self, sam):
            super().__init__()
            self.prompt = sam.prompt_encoder
            self.decoder = sam.mask_decoder

        def forward(self, embeddings, point_coords, point_labels):
            pe = self.prompt
            coords = pe.pe_layer.forward_with_coords(point_coords + 0.5, pe.input_image_size)
            labels = point_labels.unsqueeze(-1)
            sparse = torch.where(labels == -1, torch.zeros_like(coords) + pe.not_a_point_embed.weight, coords)
            for i in range(4):
                sparse = sparse + pe.point_embeddings[i].weight * (labels == i).to(coords.dtype)
            h, w = pe.image_embedding_size
            dense = pe.no_mask_embed.weight.reshape(1, -1, 1, 1).expand(1, -1, h, w)
            return self.decoder.predict_masks(embeddings, pe.get_dense_pe(), sparse, dense)

    return torch, Encoder, Decoder


def _static_layer_norms(module):
    """The engine's LayerNorm2d takes its shape from the tensor, which the ONNX tracer cannot keep
    constant once the prompt count is free; the same normalisation written out traces cleanly."""
    import types

    def forward(self, x):
        u = x.mean(1, keepdim=True)
        s = (x - u).pow(2).mean(1, keepdim=True)
        x = (x - u) / (s + self.eps).sqrt()
        return self.weight[:, None, None] * x + self.bias[:, None, None]

    for m in module.modules():
        if type(m).__name__ == "LayerNorm2d":
            m.forward = types.MethodType(forward, m)


def _write_atomically(path, write):
    folder = os.path.dirname(path)
    fd, tmp = tempfile.mkstemp(prefix=".part-", dir=folder)
    os.close(fd)
    try:
        write(tmp)
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(tmp, 0o666 & ~umask)
        with open(tmp, "rb+") as f:
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        if os.path.exists(tmp):
            os.unlink(tmp)
        raise


def export_pair(sam, folder, source_digest=""):
    """Writes encoder.onnx, decoder.onnx and sam.json for an engine SAMModel into `folder`."""
    torch, Encoder, Decoder = _modules()
    sam.eval()
    _static_layer_norms(sam)
    os.makedirs(folder, exist_ok=True)
    size = int(sam.image_encoder.img_size)
    image = torch.zeros(1, 3, size, size)
    with torch.no_grad():
        embeddings = sam.image_encoder(image)
        coords = torch.tensor([[[size / 2, size / 2], [0.0, 0.0]]])
        labels = torch.tensor([[1.0, -1.0]])

        def encoder(path):
            torch.onnx.export(Encoder(sam), (image,), path, input_names=["image"], output_names=["embeddings"],
                              opset_version=17, do_constant_folding=True)

        def decoder(path):
            torch.onnx.export(Decoder(sam), (embeddings, coords, labels), path,
                              input_names=["embeddings", "point_coords", "point_labels"],
                              output_names=["masks", "scores"], opset_version=17, do_constant_folding=True,
                              dynamic_axes={"point_coords": {1: "points"}, "point_labels": {1: "points"}})

        _write_atomically(os.path.join(folder, "encoder.onnx"), encoder)
        _write_atomically(os.path.join(folder, "decoder.onnx"), decoder)
    facts = {"family": "sam", "image_size": size, "mean": [float(v) for v in sam.pixel_mean.flatten()],
             "std": [float(v) for v in sam.pixel_std.flatten()], "pad_value": 114,
             "mask_threshold": float(sam.mask_threshold), "weights_sha256": source_digest}

    def metadata(path):
        with open(path, "w") as f:
            json.dump(facts, f, indent=1)

    _write_atomically(os.path.join(folder, "sam.json"), metadata)
    return folder


def export_sam(weights, folder=None):
    """Builds the weights with the engine's own builder and exports the pair; returns the folder."""
    name = os.path.basename(str(weights))
    if name.endswith(SAM2_WEIGHTS):
        raise RuntimeError(name + " is a SAM 2 model: the studio runs sam_b, sam_l, sam_h and mobile_sam natively; "
                           "SAM 2 is not supported yet.")
    if not name.endswith(SAM_WEIGHTS):
        raise RuntimeError(name + " is not a SAM-family weights file (sam_b.pt, sam_l.pt, sam_h.pt, mobile_sam.pt).")
    from ultralytics.models.sam.build import build_sam

    sam = build_sam(str(weights))  # the engine fetches its own weights when the file is absent and it is online
    path = Path(str(weights))
    if folder is None:
        folder = str(path.with_name(path.stem + "_sam_onnx"))
    return export_pair(sam, folder, digest(path) if path.is_file() else "")
