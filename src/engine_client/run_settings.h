#pragma once
// The settings a training or tuning run starts from, shared by the configuration tab and the
// command line so that both offer the same defaults and bounds.
#include <QString>
#include <QStringList>

namespace quorlan::run_settings {

struct IntSetting {
  int min;
  int max;
  int value;  // the default
};

inline const QString kModel = QStringLiteral("yolov8s.pt");
inline const QString kProject = QStringLiteral("runs/detect");
inline const QString kName = QStringLiteral("tavrin_yolo_run");
inline const QStringList kOptimizers = {"auto", "AdamW", "SGD", "Adam"};
inline constexpr IntSetting kEpochs{1, 2000, 100};
inline constexpr IntSetting kImageSize{32, 4096, 640};
inline constexpr IntSetting kBatch{-1, 256, 16};
inline constexpr IntSetting kWorkers{0, 32, 4};
inline constexpr IntSetting kCloseMosaic{0, 100, 10};
inline constexpr double kLr0 = 0.01;
inline constexpr double kLrf = 0.01;

// The engine re-roots a relative project folder under its own runs folder; the working folder is
// what the user means: `path` resolved against it.
QString absolute_project_path(const QString& path);

}  // namespace quorlan::run_settings
