#include "annotate/shape_rows.h"

#include <QGraphicsScene>
#include <QTableWidget>

#include "widgets/shape_item.h"

namespace quorlan {

void ShapeRows::attach(QGraphicsScene* scene, QTableWidget* table) {
  scene_ = scene;
  table_ = table;
}

void ShapeRows::insert(int row, const AnnotationRecord& record) {
  if (record.item->scene() != scene_) scene_->addItem(record.item);
  records_.insert(row, record);
  table_->insertRow(row);
  table_->setItem(row, 0, new QTableWidgetItem(record.label));
  table_->setItem(row, 1, new QTableWidgetItem(record.shown.type));
}

void ShapeRows::refresh_row(int row) {
  table_->item(row, 0)->setText(records_[row].label);
  table_->item(row, 1)->setText(records_[row].shown.type);
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
