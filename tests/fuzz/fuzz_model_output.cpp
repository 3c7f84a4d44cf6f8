// libFuzzer over what an exported model gives the studio: its raw output tensor (any shape, any
// float bits) through the decoders, box back-projection and masks, and its metadata through the
// ONNX and names readers. Built with -DQUORLAN_FUZZ=ON under Clang; scripts/check runs it for a
// bounded time. Any read out of bounds or undefined behaviour stops it.
#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <cstdint>
#include <cstring>
#include <vector>

#include "native_inference/model_metadata.h"
#include "native_inference/yolo_decode.h"

using namespace quorlan;

namespace {

// Floats from the bytes after `at`, repeated to fill `n` values (bit patterns included: NaN, Inf).
std::vector<float> floats_from(const uint8_t* data, size_t size, size_t at, size_t n) {
  std::vector<float> out(n, 0.f);
  if (size <= at) return out;
  for (size_t i = 0; i < n; ++i) {
    uint8_t bytes[4];
    for (int b = 0; b < 4; ++b) bytes[b] = data[at + (i * 4 + b) % (size - at)];
    std::memcpy(&out[i], bytes, 4);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 6) return 0;
  const int rows = 1 + data[0] % 48, cols = 1 + data[1] % 48;
  const int classes = data[2] % (rows + 1);
  const bool end_to_end = data[3] & 1;
  const int nm = data[4] % 5, mh = 1 + data[5] % 8, mw = 1 + data[5] / 32 % 8;
  const std::vector<float> pred = floats_from(data, size, 6, static_cast<size_t>(rows) * cols);
  const std::vector<float> protos = floats_from(data, size, 6, static_cast<size_t>(nm) * mh * mw);
  NmsSettings settings;
  settings.conf = 0.01f;
  int dropped = 0;
  const std::vector<Candidate> kept =
      end_to_end ? end_to_end_candidates(pred.data(), rows, cols, 1 + classes, settings, &dropped)
                 : non_max_suppression(pred.data(), rows, cols, classes, settings, &dropped);
  const cv::Size input(64, 48), picture(50 + data[0] % 200, 30 + data[1] % 200);
  for (const Candidate& c : kept) {
    (void)box_in_picture(c, input, picture);
    if (nm > 0) {
      const std::vector<float> coefficients = floats_from(data, size, 6 + c.anchor % 7, static_cast<size_t>(nm));
      (void)mask_outline(candidate_mask(coefficients.data(), protos.data(), nm, mh, mw, c, input), picture);
    }
  }
  // The metadata readers over the same bytes.
  (void)parse_python_names(QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)));
  static QTemporaryDir dir;
  const QString file = dir.filePath("model.onnx");
  QFile out(file);
  if (out.open(QIODevice::WriteOnly)) {
    out.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size));
    out.close();
    (void)read_onnx_metadata(file);
    (void)read_checkpoint_training_data(file);
  }
  return 0;
}
