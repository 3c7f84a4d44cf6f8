#include "segment/sam_model.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <mutex>
#include <openvino/openvino.hpp>

#include "native_inference/openvino_runtime.h"

namespace quorlan {

struct SamModel::Impl {
  QString folder;
  int side = 1024;
  cv::Scalar mean{123.675, 116.28, 103.53}, std{58.395, 57.12, 57.375};
  double pad = 114;
  float threshold = 0;
  ov::CompiledModel encoder, decoder;
  ov::InferRequest encode, decode;
  std::mutex encode_mutex, decode_mutex;
};

namespace {

cv::Scalar three(const QJsonValue& v, const cv::Scalar& fallback) {
  const QJsonArray a = v.toArray();
  return a.size() == 3 ? cv::Scalar(a[0].toDouble(), a[1].toDouble(), a[2].toDouble()) : fallback;
}

ov::CompiledModel compile(const QString& file) {
  std::lock_guard<std::mutex> lock(openvino_core_mutex());
  return openvino_core().compile_model(read_openvino_model(file, true), "CPU",
                                       ov::hint::inference_precision(ov::element::f32),
                                       ov::hint::performance_mode(ov::hint::PerformanceMode::LATENCY));
}

}  // namespace

int chosen_answer(const SegmentPrompt& prompt, const std::vector<float>& scores) {
  if (prompt.box || prompt.points.size() != 1 || scores.size() < 4) return 0;
  return int(std::max_element(scores.begin() + 1, scores.end()) - scores.begin());
}

SamModel::SamModel(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
SamModel::~SamModel() = default;
int SamModel::input_side() const { return impl_->side; }
QString SamModel::folder() const { return impl_->folder; }

Expected<std::unique_ptr<SamModel>> SamModel::open(const QString& folder) {
  const QDir dir(folder);
  const QString name = QFileInfo(folder).fileName();
  for (const char* part : {"encoder.onnx", "decoder.onnx", "sam.json"})
    if (!QFileInfo(dir.filePath(QString::fromLatin1(part))).isFile())
      return failure(QStringLiteral("%1 is not an exported segmentation model: it has no %2.")
                         .arg(name, QString::fromLatin1(part)));
  QFile json(dir.filePath(QStringLiteral("sam.json")));
  if (!json.open(QIODevice::ReadOnly))
    return failure(QStringLiteral("%1 could not be read: %2").arg(json.fileName(), json.errorString()));
  const QJsonObject facts = QJsonDocument::fromJson(json.read(1 << 16)).object();
  auto impl = std::make_unique<Impl>();
  impl->folder = folder;
  impl->side = facts.value(QStringLiteral("image_size")).toInt(0);
  if (impl->side < 16 || impl->side > 4096)
    return failure(QStringLiteral("%1 does not say the model's input size.").arg(json.fileName()));
  impl->mean = three(facts.value(QStringLiteral("mean")), impl->mean);
  impl->std = three(facts.value(QStringLiteral("std")), impl->std);
  impl->pad = facts.value(QStringLiteral("pad_value")).toDouble(114);
  impl->threshold = float(facts.value(QStringLiteral("mask_threshold")).toDouble(0));
  try {
    impl->encoder = compile(dir.filePath(QStringLiteral("encoder.onnx")));
    impl->decoder = compile(dir.filePath(QStringLiteral("decoder.onnx")));
    if (impl->encoder.inputs().size() != 1 || impl->decoder.inputs().size() != 3 || impl->decoder.outputs().size() != 2)
      return failure(QStringLiteral("%1 is not an encoder and prompt decoder pair the studio exported.").arg(name));
    impl->encode = impl->encoder.create_infer_request();
    impl->decode = impl->decoder.create_infer_request();
  } catch (const std::exception& e) {
    return failure(QStringLiteral("%1 could not be loaded: %2").arg(name, openvino_reason(e.what())));
  }
  return std::unique_ptr<SamModel>(new SamModel(std::move(impl)));
}

Expected<std::shared_ptr<const SamEmbedding>> SamModel::encode(const cv::Mat& bgr) {
  if (bgr.empty() || bgr.type() != CV_8UC3) return failure(QStringLiteral("The picture is not an 8-bit colour image."));
  auto out = std::make_shared<SamEmbedding>();
  out->geometry = PromptGeometry::of(bgr.size(), impl_->side);
  cv::Mat input = model_input(bgr, out->geometry, impl_->mean, impl_->std, impl_->pad);
  try {
    std::lock_guard<std::mutex> lock(impl_->encode_mutex);
    const ov::Shape shape{1, 3, size_t(impl_->side), size_t(impl_->side)};
    impl_->encode.set_input_tensor(ov::Tensor(ov::element::f32, shape, input.ptr<float>()));
    impl_->encode.infer();
    const ov::Tensor embeddings = impl_->encode.get_output_tensor(0);
    out->shape = embeddings.get_shape();
    const float* data = embeddings.data<const float>();
    out->values.assign(data, data + embeddings.get_size());
  } catch (const std::exception& e) {
    return failure(QStringLiteral("The picture could not be encoded: %1").arg(openvino_reason(e.what())));
  }
  if (out->shape.size() != 4) return failure(QStringLiteral("The encoder's answer is not an image embedding."));
  return std::shared_ptr<const SamEmbedding>(std::move(out));
}

Expected<PromptLogits> SamModel::decode(const SamEmbedding& embedding, const SegmentPrompt& prompt) {
  if (prompt.empty()) return failure(QStringLiteral("Click the object or drag a box around it."));
  // The engine's prompt order: the clicks, then a box as its two corners (labels 2 and 3); clicks
  // without a box get a padding point (label -1).
  std::vector<float> coords, labels;
  for (const PromptPoint& p : prompt.points) {
    const cv::Point2f at = embedding.geometry.to_input(p.at);
    coords.insert(coords.end(), {at.x, at.y});
    labels.push_back(p.positive ? 1.f : 0.f);
  }
  if (prompt.box) {
    const QRectF b = prompt.box->normalized();
    const cv::Point2f a = embedding.geometry.to_input({b.left(), b.top()});
    const cv::Point2f z = embedding.geometry.to_input({b.right(), b.bottom()});
    coords.insert(coords.end(), {a.x, a.y, z.x, z.y});
    labels.insert(labels.end(), {2.f, 3.f});
  } else {
    coords.insert(coords.end(), {0.f, 0.f});
    labels.push_back(-1.f);
  }
  PromptLogits out;
  try {
    std::lock_guard<std::mutex> lock(impl_->decode_mutex);
    auto& request = impl_->decode;
    request.set_input_tensor(
        0, ov::Tensor(ov::element::f32, embedding.shape, const_cast<float*>(embedding.values.data())));
    request.set_input_tensor(1, ov::Tensor(ov::element::f32, {1, labels.size(), 2}, coords.data()));
    request.set_input_tensor(2, ov::Tensor(ov::element::f32, {1, labels.size()}, labels.data()));
    request.infer();
    const ov::Tensor masks = request.get_output_tensor(0);
    const ov::Tensor scores = request.get_output_tensor(1);
    const ov::Shape& ms = masks.get_shape();
    if (ms.size() != 4 || scores.get_size() != ms[1])
      return failure(QStringLiteral("The decoder's answer is not a set of masks."));
    const float* m = masks.data<const float>();
    const size_t plane = ms[2] * ms[3];
    for (size_t i = 0; i < ms[1]; ++i)
      out.masks.push_back(cv::Mat1f(int(ms[2]), int(ms[3]), const_cast<float*>(m + i * plane)).clone());
    const float* s = scores.data<const float>();
    out.scores.assign(s, s + scores.get_size());
  } catch (const std::exception& e) {
    return failure(QStringLiteral("The prompt could not be decoded: %1").arg(openvino_reason(e.what())));
  }
  return out;
}

Expected<Segmentation> SamModel::segment(const SamEmbedding& embedding, const SegmentPrompt& prompt) {
  Expected<PromptLogits> logits = decode(embedding, prompt);
  if (!logits) return failure(logits.error());
  Segmentation out;
  out.mask = chosen_answer(prompt, logits->scores);
  out.score = logits->scores[size_t(out.mask)];
  const MaskOutline outline =
      outline_of(mask_on_picture(logits->masks[size_t(out.mask)], embedding.geometry, impl_->threshold, impl_->side));
  out.polygon = outline.polygon;
  out.box = outline.box;
  return out;
}

}  // namespace quorlan
