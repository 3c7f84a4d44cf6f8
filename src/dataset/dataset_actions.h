#pragma once
// The three dataset tools behind the annotator's left-hand buttons.
#include <QString>
#include <QStringList>
#include <functional>

class QWidget;

namespace quorlan {

void export_and_split_dataset(QWidget* parent, const QStringList& image_paths, const QStringList& classes,
                              const QString& default_destination = {});
// The health report with what the engine would reject below it. `jump` shows an image of the
// folder in the annotator (from the "Details" list).
void run_health_check(QWidget* parent, const QString& image_folder, const QStringList& classes = {}, int imgsz = 640,
                      const std::function<void(const QString&)>& jump = {});
void show_dataset_analytics(QWidget* parent, const QStringList& image_paths, const QStringList& classes);

}  // namespace quorlan
