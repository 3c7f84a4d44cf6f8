#pragma once
// The shapes of the image on screen, each as one record with its canvas item and its row of the
// object table. Every change goes through this list, so row i of the table is record i by
// construction.
#include <QByteArray>
#include <QPolygonF>
#include <QString>
#include <QVector>

#include "core/annotation_document.h"

class QGraphicsItem;
class QGraphicsScene;
class QTableWidget;

namespace quorlan {

class ShapeItem;

// One shape of the current image on screen: the document's shape it shows, its canvas item and
// its class name (or the id's number when the folder has no name for it).
struct AnnotationRecord {
  ShapeItem* item = nullptr;
  QString label;
  Annotation shown;  // the document's shape as the item and the row show it
};

class ShapeRows {
 public:
  // The scene the items live in and the table that lists them.
  void attach(QGraphicsScene* scene, QTableWidget* table);

  int size() const { return static_cast<int>(records_.size()); }
  bool isEmpty() const { return records_.isEmpty(); }
  AnnotationRecord& operator[](int row) { return records_[row]; }
  const AnnotationRecord& operator[](int row) const { return records_[row]; }
  QVector<AnnotationRecord>::const_iterator begin() const { return records_.cbegin(); }
  QVector<AnnotationRecord>::const_iterator end() const { return records_.cend(); }

  // Puts `record` at `row`: its item into the scene, its label and type into a new table row.
  void insert(int row, const AnnotationRecord& record);
  // The table row shows the record's label and type again (after they changed).
  void refresh_row(int row);
  // Takes the shape away: its item leaves the scene and is deleted, its row goes.
  void remove(int row);
  // Takes every shape away.
  void clear();
  // Drops the records and rows whose items the scene has deleted itself (it was cleared).
  void forget();
  // The row of the shape drawn by `item`; -1 when none is.
  int row_of(const QGraphicsItem* item) const;

 private:
  QGraphicsScene* scene_ = nullptr;
  QTableWidget* table_ = nullptr;
  QVector<AnnotationRecord> records_;
};

}  // namespace quorlan
