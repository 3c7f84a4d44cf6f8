#include "native_inference/native_model.h"

#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <cmath>
#include <mutex>
#include <openvino/openvino.hpp>

#include "core/atomic_file.h"
#include "native_inference/openvino_runtime.h"
#include "native_inference/yolo_decode.h"

namespace quorlan {

namespace {

// The IR's .xml for a folder the engine exported into ("best_openvino_model/").
QString ir_in_folder(const QString& folder) {
  const QStringList xml = QDir(folder).entryList({QStringLiteral("*.xml")}, QDir::Files, QDir::Name);
  return xml.isEmpty() ? QString() : QDir(folder).filePath(xml.first());
}

QString shape_text(const ov::PartialShape& shape) { return QString::fromStdString(shape.to_string()); }

}  // namespace

bool is_native_model(const QString& path) {
  const QFileInfo info(path);
  const QString suffix = info.suffix().toLower();
  const bool named = suffix == QLatin1String("onnx") || suffix == QLatin1String("xml");
  // A folder named like a model is this runtime's too: it says what is wrong with it.
  return info.isDir() ? named || !ir_in_folder(path).isEmpty() : named;
}

QString native_runtime_name() {
  // The build number reads "2026.4.1-22982-<commit>-<branch>": the release is its first part.
  const QString build = QString::fromLatin1(ov::get_openvino_version().buildNumber);
  return QStringLiteral("OpenVINO %1 (CPU)").arg(build.section('-', 0, 0));
}

struct NativeModel::Impl {
  ModelMetadata meta;
  ov::CompiledModel compiled;
  ov::InferRequest request;
  cv::Size fixed;  // empty when the input size is free
  int preds_output = 0, protos_output = -1;
  std::mutex mutex;
};

NativeModel::NativeModel(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
NativeModel::~NativeModel() = default;
const ModelMetadata& NativeModel::metadata() const { return impl_->meta; }
cv::Size NativeModel::fixed_input() const { return impl_->fixed; }

Expected<std::unique_ptr<NativeModel>> NativeModel::open(const QString& path) {
  const QFileInfo info(path);
  if (!info.exists()) return failure(QStringLiteral("The model %1 does not exist.").arg(path));
  QString file = info.isDir() ? ir_in_folder(path) : info.absoluteFilePath();
  if (file.isEmpty()) return failure(QStringLiteral("%1 is a folder holding no OpenVINO model (.xml).").arg(path));
  // A pipe or a device named like a model would be waited on for ever.
  if (const Status regular = require_regular_file(file, QStringLiteral("a model")); !regular)
    return failure(regular.error());
  const bool onnx = QFileInfo(file).suffix().compare(QLatin1String("onnx"), Qt::CaseInsensitive) == 0;
  auto impl = std::make_unique<Impl>();
  if (onnx) {
    Expected<ModelMetadata> meta = read_onnx_metadata(file);
    if (!meta) return failure(meta.error());
    impl->meta = *meta;
  } else {
    const QString yaml = QFileInfo(file).dir().filePath(QStringLiteral("metadata.yaml"));
    if (QFileInfo::exists(yaml)) {
      Expected<ModelMetadata> meta = read_ir_metadata(yaml);
      if (!meta) return failure(meta.error());
      impl->meta = *meta;
    }
  }
  const QString name = QFileInfo(file).fileName();
  try {
    std::lock_guard<std::mutex> lock(openvino_core_mutex());
    std::shared_ptr<ov::Model> model = read_openvino_model(file, onnx);
    if (model->inputs().size() != 1)
      return failure(QStringLiteral("%1 is not a YOLO detection or segmentation model: it takes %2 inputs, not one "
                                    "picture.")
                         .arg(name)
                         .arg(model->inputs().size()));
    const ov::PartialShape input = model->input().get_partial_shape();
    if (input.rank().is_dynamic() || input.rank().get_length() != 4 || input[1].is_dynamic() ||
        input[1].get_length() != 3)
      return failure(QStringLiteral("%1 is not a YOLO detection or segmentation model: its input is %2, not one "
                                    "picture of three channels.")
                         .arg(name, shape_text(input)));
    int preds = -1, protos = -1;
    for (std::size_t i = 0; i < model->outputs().size(); ++i) {
      const ov::PartialShape s = model->output(i).get_partial_shape();
      const auto rank = s.rank().is_static() ? s.rank().get_length() : 0;
      if (rank == 3 && preds < 0)
        preds = static_cast<int>(i);
      else if (rank == 4 && protos < 0)
        protos = static_cast<int>(i);
    }
    if (preds < 0 || model->outputs().size() > 2 || (model->outputs().size() == 2 && protos < 0)) {
      QStringList shapes;
      for (const auto& output : model->outputs()) shapes << shape_text(output.get_partial_shape());
      return failure(QStringLiteral("%1 is not a YOLO detection or segmentation model: its output is %2.")
                         .arg(name, shapes.join(QStringLiteral(", "))));
    }
    const QString task = impl->meta.task;
    if (!task.isEmpty() && task != QLatin1String("detect") && task != QLatin1String("segment"))
      return failure(
          QStringLiteral("%1 is a YOLO %2 model; the studio runs detection and segmentation models.").arg(name, task));
    if (input[2].is_static() && input[3].is_static())
      impl->fixed = {static_cast<int>(input[3].get_length()), static_cast<int>(input[2].get_length())};
    impl->preds_output = preds;
    impl->protos_output = protos;
    // f32: the CPU's bf16 default loses boxes against the engine; latency: one picture at a time.
    impl->compiled = openvino_core().compile_model(model, "CPU", ov::hint::inference_precision(ov::element::f32),
                                                   ov::hint::performance_mode(ov::hint::PerformanceMode::LATENCY));
    impl->request = impl->compiled.create_infer_request();
  } catch (const std::exception& e) {
    return failure(QStringLiteral("%1 could not be loaded as a model: %2").arg(name, openvino_reason(e.what())));
  }
  return std::unique_ptr<NativeModel>(new NativeModel(std::move(impl)));
}

Expected<Prediction> NativeModel::predict(const cv::Mat& bgr, double conf, int imgsz) {
  if (bgr.empty() || bgr.type() != CV_8UC3) return failure(QStringLiteral("The picture is not an 8-bit colour image."));
  std::lock_guard<std::mutex> lock(impl_->mutex);
  const ModelMetadata& meta = impl_->meta;
  Letterbox box;
  if (!impl_->fixed.empty()) {
    box = letterbox_geometry(bgr.size(), impl_->fixed);
  } else {
    // A free-size export: the size asked for (in whole strides), else the engine's default 640 (the
    // engine takes an export's own size only when it is fixed); letterboxed to the smallest
    // rectangle of whole strides, as the engine does for it.
    const int stride = std::max(1, meta.stride);
    const int side = imgsz > 0 ? (imgsz + stride - 1) / stride * stride : 640;
    const cv::Size target(side, side);
    box = letterbox_geometry(bgr.size(), target, stride);
  }
  Prediction result;
  result.names = meta.names;
  try {
    ov::Tensor input(ov::element::f32,
                     {1, 3, static_cast<std::size_t>(box.input.height), static_cast<std::size_t>(box.input.width)});
    to_input_planes(letterboxed(bgr, box), input.data<float>());
    impl_->request.set_input_tensor(input);
    impl_->request.infer();
    const ov::Tensor preds = impl_->request.get_output_tensor(impl_->preds_output);
    const ov::Shape& ps = preds.get_shape();
    if (ps.size() != 3 || ps[0] != 1 || ps[1] == 0 || ps[2] == 0 || ps[1] * ps[2] > (std::size_t{1} << 30))
      return failure(QStringLiteral("The model's output is %1, not one picture's rows of boxes.")
                         .arg(shape_text(ov::PartialShape(ps))));
    const float* p = preds.data<const float>();
    const float* protos = nullptr;
    int nm = 0, mh = 0, mw = 0;
    ov::Tensor protos_tensor;
    if (impl_->protos_output >= 0) {
      protos_tensor = impl_->request.get_output_tensor(impl_->protos_output);
      const ov::Shape& s = protos_tensor.get_shape();
      if (s.size() != 4 || s[0] != 1 || s[1] == 0 || s[2] == 0 || s[3] == 0 ||
          s[1] * s[2] * s[3] > (std::size_t{1} << 30))
        return failure(QStringLiteral("The model's mask prototypes are %1, not one picture's.")
                           .arg(shape_text(ov::PartialShape(s))));
      nm = static_cast<int>(s[1]), mh = static_cast<int>(s[2]), mw = static_cast<int>(s[3]);
      protos = protos_tensor.data<const float>();
    }
    NmsSettings settings;
    settings.conf = static_cast<float>(conf);
    std::vector<Candidate> kept;
    const int rows = static_cast<int>(ps[1]), cols = static_cast<int>(ps[2]);
    const bool end_to_end = meta.end2end || cols == 6 + nm;
    // Classes the model names; without names, any whole number up to a bound no real model reaches.
    constexpr int kUnnamedClasses = 1 << 16;
    if (end_to_end) {
      if (cols < 6 + nm)
        return failure(QStringLiteral("The model's output rows are %1 values wide; an end-to-end model gives at least "
                                      "%2 (a box, its confidence and class, and %3 mask coefficients).")
                           .arg(cols)
                           .arg(6 + nm)
                           .arg(nm));
      kept = end_to_end_candidates(p, rows, cols, kUnnamedClasses, settings, &result.dropped);
    } else {
      // The engine counts a detection model's classes from the output; a segmentation model's
      // from its names, the rest being mask coefficients.
      const int classes = protos && !meta.names.isEmpty() ? static_cast<int>(meta.names.size()) : rows - 4 - nm;
      if (classes < 1 || rows < 4 + classes + nm)
        return failure(QStringLiteral("The model's output has %1 values per box; its metadata asks for %2 (4 for the "
                                      "box, %3 class scores and %4 mask coefficients).")
                           .arg(rows)
                           .arg(4 + std::max(classes, 1) + nm)
                           .arg(std::max(classes, 1))
                           .arg(nm));
      kept = non_max_suppression(p, rows, cols, classes, settings, &result.dropped);
    }
    // A class the model's names do not have is not something to label with.
    const auto unknown = [&](const Candidate& c) { return !meta.names.isEmpty() && !meta.names.contains(c.cls); };
    const auto before = kept.size();
    kept.erase(std::remove_if(kept.begin(), kept.end(), unknown), kept.end());
    result.dropped += static_cast<int>(before - kept.size());
    if (protos) result.masks.emplace();
    for (const Candidate& c : kept) {
      if (protos) {
        // The coefficients follow the box and scores: a column of the raw output, or the row's tail.
        std::vector<float> coefficients(nm);
        for (int k = 0; k < nm; ++k)
          coefficients[k] = end_to_end ? p[static_cast<std::ptrdiff_t>(c.anchor) * cols + 6 + k]
                                       : p[static_cast<std::ptrdiff_t>(rows - nm + k) * cols + c.anchor];
        if (!std::all_of(coefficients.cbegin(), coefficients.cend(), [](float v) { return std::isfinite(v); })) {
          ++result.dropped;
          continue;
        }
        const cv::Mat mask = candidate_mask(coefficients.data(), protos, nm, mh, mw, c, box.input);
        if (cv::countNonZero(mask) == 0) continue;  // as the engine: a box without a mask is dropped
        result.masks->append(mask_outline(mask, bgr.size()));
      }
      const cv::Rect2d r = box_in_picture(c, box.input, bgr.size());
      result.boxes.append({c.cls, r.x, r.y, r.x + r.width, r.y + r.height, c.conf});
    }
  } catch (const std::exception& e) {
    return failure(QStringLiteral("The model could not run: %1").arg(openvino_reason(e.what())));
  }
  for (const Detection& d : result.boxes)
    if (!result.names.contains(d.cls)) result.names.insert(d.cls, QStringLiteral("class%1").arg(d.cls));
  return result;
}

}  // namespace quorlan
