#include "native_inference/model_metadata.h"

#include <yaml-cpp/yaml.h>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QtEndian>

#include "core/atomic_file.h"

namespace quorlan {

namespace {

// A protobuf varint from the bytes `next` hands out (false when they end first, or it is longer
// than 64 bits).
template <typename NextByte>
bool read_varint(NextByte&& next, quint64* value) {
  *value = 0;
  for (int shift = 0; shift < 64; shift += 7) {
    unsigned char byte = 0;
    if (!next(&byte)) return false;
    *value |= static_cast<quint64>(byte & 0x7f) << shift;
    if (!(byte & 0x80)) return true;
  }
  return false;
}

// The protobuf wire format, read from a file: enough to walk the fields of one message.
class WireReader {
 public:
  explicit WireReader(QFile& file) : file_(file), end_(file.size()) {}
  bool at_end() const { return file_.pos() >= end_; }
  bool varint(quint64* value) {
    return read_varint([this](unsigned char* byte) { return file_.getChar(reinterpret_cast<char*>(byte)); }, value);
  }
  // Skips a field's value of wire type `wire`; false when the bytes do not allow it.
  bool skip(int wire) {
    quint64 n = 0;
    switch (wire) {
      case 0:
        return varint(&n);
      case 1:
        return seek_by(8);
      case 2:
        return varint(&n) && n <= static_cast<quint64>(end_ - file_.pos()) && seek_by(static_cast<qint64>(n));
      case 5:
        return seek_by(4);
      default:
        return false;
    }
  }
  bool bytes(QByteArray* out) {
    quint64 n = 0;
    if (!varint(&n) || n > static_cast<quint64>(end_ - file_.pos()) || n > (64u << 20)) return false;
    *out = file_.read(static_cast<qint64>(n));
    return out->size() == static_cast<qsizetype>(n);
  }

 private:
  bool seek_by(qint64 n) { return file_.pos() + n <= end_ && file_.seek(file_.pos() + n); }
  QFile& file_;
  qint64 end_;
};

// One StringStringEntryProto: key (1) and value (2).
bool parse_entry(const QByteArray& bytes, QString* key, QString* value) {
  int i = 0;
  const auto varint = [&](quint64* v) {
    return read_varint(
        [&](unsigned char* byte) {
          if (i >= bytes.size()) return false;
          *byte = static_cast<unsigned char>(bytes[i++]);
          return true;
        },
        v);
  };
  while (i < bytes.size()) {
    quint64 tag = 0, n = 0;
    if (!varint(&tag) || (tag & 7) != 2 || !varint(&n) || n > static_cast<quint64>(bytes.size() - i)) return false;
    const QString text = QString::fromUtf8(bytes.mid(i, static_cast<qsizetype>(n)));
    i += static_cast<int>(n);
    if ((tag >> 3) == 1) *key = text;
    if ((tag >> 3) == 2) *value = text;
  }
  return true;
}

// "[320, 320]", "(320, 320)" or "320" as height and width.
void parse_imgsz(const QString& text, ModelMetadata* m) {
  QList<int> sides;
  for (const QRegularExpressionMatch& n : QRegularExpression(QStringLiteral("\\d+")).globalMatch(text))
    sides << n.captured().toInt();
  if (sides.size() == 1) sides << sides[0];
  if (sides.size() >= 2) m->imgsz_h = sides[0], m->imgsz_w = sides[1];
}

// "Ultralytics YOLOv8n model trained on data.yaml": the data after "trained on ".
QString trained_on_of(const QString& description) {
  const QLatin1String marker(" trained on ");
  const qsizetype at = description.indexOf(marker);
  return at < 0 ? QString() : description.mid(at + marker.size()).trimmed();
}

// A string of a pickle at `i` (protocol 2's BINUNICODE or protocol 4's SHORT_BINUNICODE); `i` moves
// past it. False when no string starts there.
bool pickled_string(const QByteArray& bytes, qsizetype& i, QByteArray* text) {
  if (i >= bytes.size()) return false;
  qsizetype length = 0, start = 0;
  if (bytes[i] == 'X' && i + 5 <= bytes.size()) {
    length = static_cast<qsizetype>(qFromLittleEndian<quint32>(bytes.constData() + i + 1));
    start = i + 5;
  } else if (static_cast<unsigned char>(bytes[i]) == 0x8c && i + 2 <= bytes.size()) {
    length = static_cast<unsigned char>(bytes[i + 1]);
    start = i + 2;
  } else {
    return false;
  }
  if (length > bytes.size() - start) return false;
  *text = bytes.mid(start, length);
  i = start + length;
  return true;
}

// Past a memo store after a pushed value (BINPUT, LONG_BINPUT or MEMOIZE), when one follows.
void skip_memo(const QByteArray& bytes, qsizetype& i) {
  if (i >= bytes.size()) return;
  if (bytes[i] == 'q')
    i += 2;
  else if (bytes[i] == 'r')
    i += 5;
  else if (static_cast<unsigned char>(bytes[i]) == 0x94)
    i += 1;
}

void take_property(const QString& key, const QString& value, ModelMetadata* m) {
  if (key == QLatin1String("names")) m->names = parse_python_names(value);
  if (key == QLatin1String("task")) m->task = value.trimmed();
  if (key == QLatin1String("imgsz")) parse_imgsz(value, m);
  if (key == QLatin1String("stride") && value.trimmed().toInt() > 0) m->stride = value.trimmed().toInt();
  if (key == QLatin1String("end2end")) m->end2end = value.trimmed() == QLatin1String("True");
  if (key == QLatin1String("description")) m->trained_on = trained_on_of(value);
}

}  // namespace

QHash<int, QString> parse_python_names(const QString& text) {
  QHash<int, QString> names;
  int i = 0;
  const int n = static_cast<int>(text.size());
  const auto space = [&] {
    while (i < n && text[i].isSpace()) ++i;
  };
  space();
  if (i >= n || text[i] != '{') return {};
  ++i;
  while (true) {
    space();
    if (i < n && text[i] == '}') return names;
    int id_start = i;
    while (i < n && (text[i].isDigit() || (i == id_start && text[i] == '-'))) ++i;
    bool ok = false;
    const int id = text.mid(id_start, i - id_start).toInt(&ok);
    space();
    if (!ok || i >= n || text[i] != ':') return {};
    ++i;
    space();
    if (i >= n || (text[i] != '\'' && text[i] != '"')) return {};
    const QChar quote = text[i++];
    QString name;
    while (i < n && text[i] != quote) {
      if (text[i] == '\\' && i + 1 < n) {
        const QChar c = text[++i];
        name += c == 'n' ? QChar('\n') : c == 't' ? QChar('\t') : c;
      } else {
        name += text[i];
      }
      ++i;
    }
    if (i >= n) return {};
    ++i;
    names.insert(id, name);
    space();
    if (i < n && text[i] == ',')
      ++i;
    else if (i >= n || text[i] != '}')
      return {};
  }
}

Expected<ModelMetadata> read_onnx_metadata(const QString& path) {
  if (const Status file = require_regular_file(path, QStringLiteral("a model")); !file) return failure(file.error());
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return failure(QStringLiteral("%1 cannot be read.").arg(path));
  const QString not_onnx = QStringLiteral("%1 is not an ONNX model: it could not be read as one.").arg(path);
  WireReader reader(file);
  ModelMetadata m;
  bool graph = false;
  while (!reader.at_end()) {
    quint64 tag = 0;
    if (!reader.varint(&tag)) return failure(not_onnx);
    const int field = static_cast<int>(tag >> 3), wire = static_cast<int>(tag & 7);
    if (field == 0) return failure(not_onnx);
    if (field == 7 && wire == 2) graph = true;
    if (field == 14 && wire == 2) {
      QByteArray entry;
      QString key, value;
      if (!reader.bytes(&entry) || !parse_entry(entry, &key, &value)) return failure(not_onnx);
      take_property(key, value, &m);
    } else if (!reader.skip(wire)) {
      return failure(not_onnx);
    }
  }
  if (!graph) return failure(not_onnx);
  return m;
}

QString read_checkpoint_training_data(const QString& path) {
  // A checkpoint is a zip whose first, stored (not compressed) member is the pickle of its
  // dictionaries: the "data" key of its training arguments is found in its first megabytes
  // without unpickling anything.
  QFile file(path);
  if (!is_regular_file(path) || !file.open(QIODevice::ReadOnly)) return {};
  const QByteArray head = file.read(8 << 20);
  for (const QByteArray& key : {QByteArray("X\x04\x00\x00\x00"
                                           "data",
                                           9),
                                QByteArray("\x8c\x04"
                                           "data",
                                           6)}) {
    for (qsizetype at = head.indexOf(key); at >= 0; at = head.indexOf(key, at + 1)) {
      qsizetype i = at + key.size();
      skip_memo(head, i);
      QByteArray value;
      if (pickled_string(head, i, &value) && !value.isEmpty() && value.size() < 4096) return QString::fromUtf8(value);
    }
  }
  return {};
}

Expected<ModelMetadata> read_ir_metadata(const QString& yaml_path) {
  ModelMetadata m;
  if (!is_regular_file(yaml_path) || QFileInfo(yaml_path).size() > (1 << 20))
    return failure(
        QStringLiteral("%1 is not the engine's model metadata: not a file of a few kilobytes.").arg(yaml_path));
  try {
    const YAML::Node root = YAML::LoadFile(QFileInfo(yaml_path).absoluteFilePath().toStdString());
    if (!root.IsMap()) return failure(QStringLiteral("%1 is not the engine's model metadata.").arg(yaml_path));
    // A key that is missing is one not given: only what is there is read.
    const auto given = [&](const char* key) { return root[key] ? root[key] : YAML::Node(); };
    if (const YAML::Node names = given("names"); names.IsMap()) {
      for (const auto& entry : names)
        m.names.insert(entry.first.as<int>(), QString::fromStdString(entry.second.as<std::string>()));
    } else if (names.IsSequence()) {
      for (std::size_t i = 0; i < names.size(); ++i)
        m.names.insert(static_cast<int>(i), QString::fromStdString(names[i].as<std::string>()));
    }
    if (const YAML::Node task = given("task"); task.IsScalar()) m.task = QString::fromStdString(task.as<std::string>());
    if (const YAML::Node d = given("description"); d.IsScalar())
      m.trained_on = trained_on_of(QString::fromStdString(d.as<std::string>()));
    if (const YAML::Node stride = given("stride"); stride.IsScalar()) m.stride = std::max(1, stride.as<int>());
    if (const YAML::Node e2e = given("end2end"); e2e.IsScalar()) m.end2end = e2e.as<bool>();
    if (const YAML::Node imgsz = given("imgsz"); imgsz.IsSequence() && imgsz.size() >= 2) {
      m.imgsz_h = imgsz[0].as<int>();
      m.imgsz_w = imgsz[1].as<int>();
    } else if (imgsz.IsScalar()) {
      m.imgsz_h = m.imgsz_w = imgsz.as<int>();
    }
  } catch (const YAML::Exception& e) {
    return failure(QStringLiteral("%1 cannot be read: %2").arg(yaml_path, QString::fromStdString(e.what())));
  }
  return m;
}

}  // namespace quorlan
