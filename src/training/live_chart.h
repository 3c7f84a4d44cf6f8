#pragma once
// The live loss chart of a training run: the engine's results.csv read as it grows, drawn as the
// same ten panels the engine's own results.png shows (train and val box, cls and dfl losses,
// precision, recall, mAP50, mAP50-95 over the epochs).
#include <QString>
#include <QStringList>
#include <QVector>
#include <optional>

namespace quorlan {

struct ResultsTable {
  QStringList columns;            // as in the file's header, trimmed
  QVector<QVector<double>> rows;  // one per finished epoch; NaN where a cell is not a number
  int column(const QString& name) const { return static_cast<int>(columns.indexOf(name)); }
};

// Reads results.csv; nullopt when it does not exist yet or has no header. A last line still
// being written (no line break yet) is left for the next read.
std::optional<ResultsTable> read_results_csv(const QString& path);

// Draws the chart into a PNG at `png_path` (through a temporary file). Empty on success,
// otherwise the reason.
QString render_loss_chart(const ResultsTable& table, const QString& png_path);

// The file name of the chart in the run folder.
inline QString live_chart_name() { return QStringLiteral("live_loss_plot.png"); }

}  // namespace quorlan
