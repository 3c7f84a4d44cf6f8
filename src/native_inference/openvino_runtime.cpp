#include "native_inference/openvino_runtime.h"

#include <QFile>
#include <QStringList>
#include <openvino/frontend/manager.hpp>
#include <openvino/openvino.hpp>

namespace quorlan {

ov::Core& openvino_core() {
  static ov::Core instance;
  return instance;
}

std::mutex& openvino_core_mutex() {
  static std::mutex m;
  return m;
}

std::shared_ptr<ov::Model> read_openvino_model(const QString& file, bool onnx) {
  ov::frontend::FrontEndManager frontends;
  const ov::frontend::FrontEnd::Ptr frontend = frontends.load_by_framework(onnx ? "onnx" : "ir");
  return frontend->convert(frontend->load(QFile::encodeName(file).toStdString()));
}

QString openvino_reason(const char* what) {
  const QString text = QString::fromUtf8(what).trimmed();
  const QStringList lines = text.split('\n', Qt::SkipEmptyParts);
  return lines.isEmpty() ? text : lines.last().trimmed();
}

}  // namespace quorlan
