#pragma once
// The three dataset tools behind the annotator's left-hand buttons.
#include <QString>
#include <QStringList>

class QWidget;

namespace quorlan {

void export_and_split_dataset(QWidget* parent, const QStringList& image_paths, const QStringList& classes);
void run_health_check(QWidget* parent, const QString& image_folder);
void show_dataset_analytics(QWidget* parent, const QStringList& image_paths, const QStringList& classes);

}  // namespace quorlan
