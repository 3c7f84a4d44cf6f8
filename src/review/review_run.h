#pragma once
// A review of a dataset's labels with a model: every picture of a folder (or of every split a
// data.yaml names) predicted, its labels read, and the findings of all pictures ranked. Also the
// honest warning when the model learned these very pictures. Widget-free; the window runs it
// beside itself, the command line directly.
#include <QString>
#include <QStringList>
#include <QVector>
#include <atomic>
#include <functional>

#include "core/expected.h"
#include "review/label_review.h"

namespace quorlan {

class PredictingModel;

// What is reviewed: the pictures, the folders they are in, and the class names.
struct ReviewSource {
  QString path;  // the folder or data.yaml given
  QStringList folders;
  QStringList pictures;
  QStringList classes;  // empty when the folder names none
};

// The pictures of a folder, or of every split of a data.yaml; a clear reason when there are none.
Expected<ReviewSource> review_source(const QString& folder_or_manifest);

struct ReviewResult {
  QVector<ReviewFinding> findings;  // ranked, worst first
  int pictures = 0;                 // reviewed
  int labels = 0;                   // labels read
  QStringList failures;             // "name: why" of pictures that could not be reviewed
  bool cancelled = false;
  ModelCheck model_check;  // how well the model sees the reviewed labels
  // Said beside the findings: labels of classes the model does not know (not reviewed), label
  // lines that could not be read, pictures the engine would drop (a truncated JPEG).
  QStringList notes;
};

// Predicts every picture with `model` (at `conf`, low so that weak support is seen) and reviews
// it against its labels. `cancel` is looked at between pictures; `done` counts them, and
// `on_picture` (when given) hears of each picture as it is done.
// The model's predictions are taken down to `conf` (the engine validates at 0.001): every finding is
// then scored from the model's graded word, calibrated on the reviewed pictures themselves.
ReviewResult review_dataset(PredictingModel& model, const ReviewSource& source, double conf = 0.001,
                            const std::atomic<bool>* cancel = nullptr, std::atomic<int>* done = nullptr,
                            const std::function<void(const QString& picture)>& on_picture = {});

// The labels of one picture as the review reads them (rows as the annotator numbers them, each
// with its line in the file), and how many lines could not be read. A label file the engine
// refuses for its numbers (or that cannot be read) is a failure saying why.
struct ReviewLabels {
  QVector<ReviewLabel> labels;
  int unreadable = 0;
};
Expected<ReviewLabels> review_labels(const QString& picture, int class_count, QSize size);

// Empty, or why these findings cannot be trusted: the model was trained on these very pictures
// (the data.yaml its weights record, or its run's args.yaml names, has a train split holding a
// reviewed folder or copies of its pictures), so it agrees with the labels it learned and hides
// their mistakes. Said for the reviewed folders it holds for, not for the others.
QString trained_on_these_pictures(const QString& weights, const QStringList& folders);

}  // namespace quorlan
