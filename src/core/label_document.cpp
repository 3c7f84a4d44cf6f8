#include "core/label_document.h"

#include <QFile>

namespace quorlan {

void LabelDocument::open(const QString& path, int class_count, QSize image_size) {
  close();
  path_ = path;
  size_ = image_size;
  stamp_ = file_stamp(path);
  if (!stamp_.exists) return;
  const Expected<QByteArray> loaded = read_regular_file(path);
  if (!loaded) {
    read_error_ = QStringLiteral("%1: %2").arg(path, loaded.error());
    return;
  }
  content_ = parse_label_bytes(*loaded, class_count, image_size.width(), image_size.height());
}

void LabelDocument::close() {
  path_.clear();
  size_ = {};
  content_ = {};
  read_error_.clear();
  stamp_ = {};
  changed_ = false;
}

bool LabelDocument::changed_on_disk() const { return !path_.isEmpty() && file_stamp(path_) != stamp_; }

QByteArray LabelDocument::line_for(const LabelShape& shape) const {
  if (!shape.raw.isEmpty()) return shape.raw;
  if (shape.box) return format_box_line(shape.class_id, shape.points, size_.width(), size_.height()).toLatin1();
  return format_label_line(shape.class_id, shape.points, size_.width(), size_.height()).toLatin1();
}

QByteArray LabelDocument::bytes_for(const QVector<LabelShape>& shapes) const {
  QByteArray out;
  const QByteArray& eol = content_.eol;
  for (const LabelShape& shape : shapes) out += line_for(shape) + eol;
  for (const QByteArray& line : content_.kept) out += line + eol;
  return out;
}

Status LabelDocument::save(const QVector<LabelShape>& shapes, bool empty_file) {
  if (path_.isEmpty()) return {};
  if (!read_error_.isEmpty())
    return failure(QStringLiteral("the label file could not be read (%1), so it is not written over").arg(read_error_));
  const QByteArray bytes = bytes_for(shapes);
  if (bytes.isEmpty() && !empty_file) {
    if (file_stamp(path_).exists) {
      QFile file(path_);
      if (!file.remove()) return failure(file.errorString());
    }
  } else {
    const Status written = write_file_atomically(path_, bytes);
    if (!written) return written;
  }
  stamp_ = file_stamp(path_);
  // What is on disk now is what was written: its shapes are the ones read from now on.
  content_.shapes = shapes;
  for (LabelShape& shape : content_.shapes) shape.raw = line_for(shape);
  changed_ = false;
  return {};
}

}  // namespace quorlan
