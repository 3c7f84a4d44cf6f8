#pragma once
// An exported YOLO detection or segmentation model run in the studio's own process through the
// OpenVINO runtime on the CPU: an ONNX file, or an OpenVINO IR model (its .xml, or the folder the
// engine exports it into). No Python and no engine: the letterbox, suppression and masks are the
// engine's own steps (yolo_decode.h), so the answers match the engine's on the same file.
#include <QString>
#include <memory>
#include <opencv2/core.hpp>

#include "core/expected.h"
#include "core/prediction.h"
#include "native_inference/model_metadata.h"

namespace quorlan {

// Whether `path` names a model this runtime runs (.onnx, .xml, or an exported IR folder);
// anything else (.pt) is the engine's.
bool is_native_model(const QString& path);
// "OpenVINO 2026.4.1 (CPU)": the runtime that answers, as the studio names it.
QString native_runtime_name();

class NativeModel {
 public:
  // Reads and compiles the model; a file that is not an ONNX or IR model, or not a YOLO detection
  // or segmentation export, fails with a message saying so.
  static Expected<std::unique_ptr<NativeModel>> open(const QString& path);
  ~NativeModel();
  NativeModel(const NativeModel&) = delete;
  NativeModel& operator=(const NativeModel&) = delete;

  const ModelMetadata& metadata() const;
  // The input size the model takes (height and width), or 0 x 0 when it takes any.
  cv::Size fixed_input() const;
  // Predicts on one 8-bit BGR picture. `imgsz` (the side to letterbox to) matters only for a
  // model whose input size is free; 0 takes the export's own. Safe to call from any one thread
  // at a time (calls are serialised).
  Expected<Prediction> predict(const cv::Mat& bgr, double conf, int imgsz = 0);

 private:
  struct Impl;
  explicit NativeModel(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace quorlan
