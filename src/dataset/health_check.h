#pragma once
// The dataset health report of an image folder: images without labels, labels without images,
// and near-duplicate shapes inside one label file.
#include <QString>
#include <QStringList>
#include <QVector>
#include <optional>

#include "core/expected.h"

namespace quorlan {

struct HealthFindings {
  QStringList unannotated;  // image names without a label file, in listing order
  QStringList orphaned;     // label names without an image
  // "<label> (IoU > 90%)", one per label file holding shapes that overlap by more than 90 %,
  // with the number of such pairs in that file; the report counts pairs.
  QStringList overlap_issues;
  QVector<qint64> overlap_file_pairs;
  qint64 overlap_pairs = 0;
};

struct DatasetPicture;

// Examines `folder`; a failure when it cannot be listed.
Expected<HealthFindings> examine_folder(const QString& folder);
// The same report for pictures as the dataset reader yields them (a split of a dataset, subfolders
// and list files included): pictures without a label file where the engine looks, and overlaps.
// Label files no picture leads to are named by the quality report ("never reads").
HealthFindings examine_pictures(const QVector<DatasetPicture>& pictures);

// The report text shown in the "Health Check" box.
QString health_report_text(const HealthFindings& findings);

// ['a', 'b'] with each name in single quotes (double quotes when it holds a single quote).
QString bracketed_list(const QStringList& names);

}  // namespace quorlan
