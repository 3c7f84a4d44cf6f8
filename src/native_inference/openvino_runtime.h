#pragma once
// The one OpenVINO runtime of the process, shared by every natively run model.
#include <QString>
#include <memory>
#include <mutex>

namespace ov {
class Core;
class Model;
}  // namespace ov

namespace quorlan {

// The process's core: it holds the loaded plugins, which are costly to load twice. Reading and
// compiling models go through it under openvino_core_mutex().
ov::Core& openvino_core();
std::mutex& openvino_core_mutex();
// Reads an ONNX (`onnx`) or IR model by the frontend its name says, not by trying each in turn:
// the others would print their parsers' complaints about a file that is not theirs. Throws what
// the runtime throws; call under openvino_core_mutex().
std::shared_ptr<ov::Model> read_openvino_model(const QString& file, bool onnx);
// OpenVINO's messages carry where they were raised first and the reason last.
QString openvino_reason(const char* what);

}  // namespace quorlan
