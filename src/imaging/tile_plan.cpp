#include "imaging/tile_plan.h"

#include "core/dataset_reader.h"
#include "core/image_files.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

namespace quorlan {

QStringList grid_modes(int n) {
  QStringList modes;
  for (int d = 1; d <= n; ++d)
    if (n % d == 0) modes << QStringLiteral("%1 Rows x %2 Cols").arg(d).arg(n / d);
  return modes;
}

std::optional<std::pair<int, int>> parse_grid_mode(const QString& text) {
  static const QRegularExpression re(QStringLiteral("^(\\d+) Rows x (\\d+) Cols$"));
  const QRegularExpressionMatch m = re.match(text);
  if (!m.hasMatch()) return std::nullopt;
  return std::make_pair(m.captured(1).toInt(), m.captured(2).toInt());
}

QVector<QRect> tile_spans(int width, int height, int rows, int cols) {
  QVector<QRect> tiles;
  const int th = height / rows, tw = width / cols;
  for (int i = 0; i < rows; ++i) {
    const int y0 = i * th, y1 = i == rows - 1 ? height : (i + 1) * th;
    for (int j = 0; j < cols; ++j) {
      const int x0 = j * tw, x1 = j == cols - 1 ? width : (j + 1) * tw;
      tiles.append(QRect(x0, y0, x1 - x0, y1 - y0));
    }
  }
  return tiles;
}

int pad_width(int n) { return QString::number(n).size(); }

QString padded(int k, int n) { return QStringLiteral("%1").arg(k, pad_width(n), 10, QLatin1Char('0')); }

QString tile_relative_path(const QString& source, int k, int n, bool subfolders) {
  const QString base = QFileInfo(source).fileName();
  const int dot = base.lastIndexOf('.');
  const QString stem = dot > 0 ? base.left(dot) : base;
  const QString ext = dot > 0 ? base.mid(dot) : QString();
  const QString name = stem + "_part_" + padded(k, n) + ext;
  return subfolders ? "part_" + padded(k, n) + "/" + name : name;
}

QStringList list_split_images(const QString& folder) {
  const QStringList names = QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name);
  QStringList files;
  for (const QString& ext : image_extensions())
    for (const QString& name : names)
      if (name.section('.', -1).toLower() == ext && name.contains('.')) files << QDir(folder).filePath(name);
  if (files.isEmpty()) {
    for (const QString& picture : engine_image_files(folder, folder))
      if (is_image_name(picture)) files << picture;
  }
  return files;
}

QString tile_output_folder(const QString& input_dir, const QString& file, const QString& output_dir) {
  const QString relative = QDir(QDir(input_dir).absolutePath()).relativeFilePath(QFileInfo(file).absolutePath());
  if (relative == QLatin1String(".") || relative.isEmpty() || relative.startsWith(QLatin1String("..")))
    return output_dir;
  return QDir(output_dir).filePath(relative);
}

}  // namespace quorlan
