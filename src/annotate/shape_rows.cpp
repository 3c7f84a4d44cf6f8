#include "annotate/shape_rows.h"

#include <QGraphicsScene>
#include <QTableWidget>

#include "widgets/shape_item.h"

namespace quorlan {

namespace {

// The shape column: how it was made, and its track on a folder of frames.
QString shape_text(const Annotation& shape) {
  if (shape.track < 0) return shape.type;
  return QStringLiteral("%1 · track %2%3")
      .arg(shape.type)
      .arg(shape.track)
      .arg(shape.filled ? QStringLiteral(" (filled)") : QString());
}

}  // namespace

void ShapeRows::attach(QGraphicsScene* scene, QTableWidget* table) {
  scene_ = scene;
  table_ = table;
}

void ShapeRows::insert(int row, const AnnotationRecord& record) {
  if (record.item->scene() != scene_) scene_->addItem(record.item);
  records_.insert(row, record);
  table_->insertRow(row);
  table_->setItem(row, 0, new QTableWidgetItem(record.label));
  table_->setItem(row, 1, new QTableWidgetItem(shape_text(record.shown)));
}

void ShapeRows::refresh_row(int row) {
  table_->item(row, 0)->setText(records_[row].label);
  table_->item(row, 1)->setText(shape_text(records_[row].shown));
}

void ShapeRows::remove(int row) {
  const AnnotationRecord record = records_.takeAt(row);
  scene_->removeItem(record.item);
  delete record.item;
  table_->removeRow(row);
}

void ShapeRows::clear() {
  while (!records_.isEmpty()) remove(size() - 1);
}

void ShapeRows::forget() {
  records_.clear();
  table_->setRowCount(0);
}

int ShapeRows::row_of(const QGraphicsItem* item) const {
  for (int i = 0; i < records_.size(); ++i)
    if (records_[i].item == item) return i;
  return -1;
}

}  // namespace quorlan
