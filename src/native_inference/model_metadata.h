#pragma once
// What an exported YOLO model says of itself: its class names, task, input size and stride. The
// engine writes these into an ONNX file's metadata properties, and into metadata.yaml beside an
// OpenVINO IR model. Read without the ONNX or protobuf libraries: only the top level of the file
// is walked, and the graph is skipped over.
#include <QHash>
#include <QString>

#include "core/expected.h"

namespace quorlan {

struct ModelMetadata {
  QHash<int, QString> names;  // empty when the export does not say
  QString task;               // "detect", "segment", ... or empty
  int imgsz_h = 0, imgsz_w = 0;
  int stride = 32;
  bool end2end = false;  // the model's output is already suppressed: rows of x1 y1 x2 y2 conf cls
  QString trained_on;    // the data the model was trained on, as its description names it, or empty
};

// The metadata of the ONNX file at `path`; fails when the file is not an ONNX model at all.
Expected<ModelMetadata> read_onnx_metadata(const QString& path);
// The metadata.yaml the engine writes beside an OpenVINO IR model.
Expected<ModelMetadata> read_ir_metadata(const QString& yaml_path);
// The data a .pt checkpoint of the engine records it was trained on (its train_args' "data", a
// data.yaml as the training was given it, maybe relative); empty when the file does not say.
QString read_checkpoint_training_data(const QString& path);
// The engine's names as Python writes a dict: {0: 'person', 1: "driver's seat"}; empty when the
// text is not such a dict.
QHash<int, QString> parse_python_names(const QString& text);

}  // namespace quorlan
