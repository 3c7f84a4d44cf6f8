// Fuzzing of the readers of files other programs write: label lines, the engine's verdict on
// them, class lists, dataset manifests, and the JPEG 1/8-scale reader. Seeds come from
// tests/fuzz/corpus (made by this test with QUORLAN_FUZZ_WRITE_CORPUS=1); every run mutates them
// with a fixed generator, so a failure repeats. QUORLAN_FUZZ_ROUNDS sets the rounds (CI: short).
#include <QDir>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>
#include <opencv2/imgcodecs.hpp>

#include "core/annotation_document.h"
#include "core/class_names.h"
#include "core/engine_labels.h"
#include "core/jpeg_eighth.h"
#include "core/label_files.h"
#include "core/label_kind.h"
#include "support/fixtures.h"

using namespace quorlan;

namespace {

QString corpus_dir() { return QStringLiteral(QUORLAN_FUZZ_CORPUS); }

QMap<QString, QByteArray> seeds_made_here() {
  QMap<QString, QByteArray> seeds;
  seeds["boxes.txt"] = "0 0.5 0.5 0.2 0.2\n1 0.25 0.3 0.1 0.1\n";
  seeds["polygons.txt"] = "0 0.1 0.1 0.5 0.1 0.5 0.5 0.1 0.5\r\n2 0.6 0.6 0.9 0.6 0.8 0.9\r\n";
  seeds["mixed.txt"] =
      "\xEF\xBB\xBF"
      "0 0.5 0.5 0.2 0.2\n7 oops\n-1 0.1 0.1 0.2 0.2 0.3 0.3\n1.0 nan 0.2 0.1 0.1\n";
  seeds["classes.txt"] = "car\nperson\n\xC3\xA9t\xC3\xA9\n  bike  \n";
  seeds["data.yaml"] = "path: .\ntrain: images/train\nval: [images/val, more]\nnames:\n  0: car\n  2: ''\n";
  seeds["roboflow.yaml"] = "train: ../train/images\nval: ../valid/images\nnc: 2\nnames: ['a', \"b: c\"]\n";
  std::vector<uchar> jpeg;
  cv::Mat picture(40, 56, CV_8UC3);
  cv::randu(picture, cv::Scalar::all(0), cv::Scalar::all(255));
  cv::imencode(".jpg", picture, jpeg, {cv::IMWRITE_JPEG_QUALITY, 80});
  seeds["picture.jpg"] = QByteArray(reinterpret_cast<const char*>(jpeg.data()), static_cast<int>(jpeg.size()));
  cv::imencode(".jpg", picture, jpeg, {cv::IMWRITE_JPEG_RST_INTERVAL, 2});
  seeds["restarts.jpg"] = QByteArray(reinterpret_cast<const char*>(jpeg.data()), static_cast<int>(jpeg.size()));
  return seeds;
}

QByteArray mutate(QByteArray bytes, QRandomGenerator& random) {
  const int edits = 1 + static_cast<int>(random.bounded(8));
  static const char* tokens[] = {" ", "\n", "\r", "0", "-", ".", "e9", "nan", "1.0", "\xC2\xA0", "\xFF", "[", ":", "'"};
  for (int e = 0; e < edits; ++e) {
    const int at = bytes.isEmpty() ? 0 : static_cast<int>(random.bounded(static_cast<quint32>(bytes.size())));
    switch (random.bounded(5)) {
      case 0:
        if (!bytes.isEmpty()) bytes[at] = static_cast<char>(random.bounded(256));
        break;
      case 1:
        bytes.insert(at, tokens[random.bounded(static_cast<quint32>(std::size(tokens)))]);
        break;
      case 2:
        bytes.truncate(at);
        break;
      case 3:
        if (!bytes.isEmpty()) bytes.remove(at, 1 + static_cast<int>(random.bounded(4)));
        break;
      default:
        bytes.insert(at, bytes.mid(at, 1 + static_cast<int>(random.bounded(16))));
    }
  }
  return bytes;
}

}  // namespace

class TestFuzz : public QObject {
  Q_OBJECT
  QMap<QString, QByteArray> seeds_;
  int rounds_ = 4000;

 private slots:
  void initTestCase() {
    if (qEnvironmentVariableIsSet("QUORLAN_FUZZ_WRITE_CORPUS")) {
      QDir().mkpath(corpus_dir());
      const auto made = seeds_made_here();
      for (auto it = made.cbegin(); it != made.cend(); ++it) {
        QFile f(QDir(corpus_dir()).filePath(it.key()));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(it.value());
      }
    }
    for (const QString& name : QDir(corpus_dir()).entryList(QDir::Files))
      seeds_[name] = test::read_bytes(QDir(corpus_dir()).filePath(name));
    QVERIFY2(seeds_.size() >= 8, "the seed corpus is missing");
    bool ok = false;
    const int rounds = qEnvironmentVariableIntValue("QUORLAN_FUZZ_ROUNDS", &ok);
    if (ok && rounds > 0) rounds_ = rounds;
  }

  // Label text: read without a crash; what is read is written and read back as the same shapes.
  void label_lines_round_trip() {
    QRandomGenerator random(11);
    const QList<QByteArray> texts = {seeds_["boxes.txt"], seeds_["polygons.txt"], seeds_["mixed.txt"]};
    for (int i = 0; i < rounds_; ++i) {
      const QByteArray input = mutate(texts[i % texts.size()], random);
      const LabelReadResult read = parse_label_bytes(input, i % 2 ? 3 : -1, 640, 480);
      QByteArray written;
      for (const LabelShape& s : read.shapes)
        written += (s.box ? format_box_line(s.class_id, s.points, 640, 480)
                          : format_label_line(s.class_id, s.points, 640, 480))
                       .toLatin1() +
                   '\n';
      const LabelReadResult again = parse_label_bytes(written, i % 2 ? 3 : -1, 640, 480);
      QCOMPARE(again.shapes.size(), read.shapes.size());
      for (int k = 0; k < read.shapes.size(); ++k) QCOMPARE(again.shapes[k].box, read.shapes[k].box);
      engine_label_verdict(input, 3);  // never crashes, whatever it decides
      converted_label_bytes(input, i % 2 ? LabelKind::Boxes : LabelKind::Polygons);
    }
  }

  // Class lists: whatever is read, once written, reads back the same (never a shifted id).
  void class_lists_round_trip() {
    QRandomGenerator random(12);
    QTemporaryDir dir;
    const QString path = dir.filePath("classes.txt");
    for (int i = 0; i < rounds_; ++i) {
      QFile f(path);
      QVERIFY(f.open(QIODevice::WriteOnly));
      f.write(mutate(seeds_["classes.txt"], random));
      f.close();
      const QStringList read = *read_classes_file(path);
      QVERIFY(f.open(QIODevice::WriteOnly));
      f.write(classes_file_bytes(read));
      f.close();
      QCOMPARE(*read_classes_file(path), read);
    }
  }

  // Manifests: read without a crash; names, when there are any, never hold an empty one.
  void manifests_read_safely() {
    QRandomGenerator random(13);
    QTemporaryDir dir;
    const QString path = dir.filePath("data.yaml");
    for (int i = 0; i < rounds_ / 4; ++i) {
      QFile f(path);
      QVERIFY(f.open(QIODevice::WriteOnly));
      f.write(mutate(seeds_[i % 2 ? "data.yaml" : "roboflow.yaml"], random));
      f.close();
      if (const auto manifest = read_dataset_manifest(path); manifest && manifest->names)
        for (const QString& name : *manifest->names) QVERIFY(!name.isEmpty());
    }
  }

  // The JPEG reader: a result only where libjpeg gives one, and then the same size.
  void jpeg_eighth_reads_safely() {
    QRandomGenerator random(14);
    for (int i = 0; i < rounds_ / 4; ++i) {
      const QByteArray input = mutate(seeds_[i % 2 ? "picture.jpg" : "restarts.jpg"], random);
      const cv::Mat ours = jpeg_eighth_grey(reinterpret_cast<const unsigned char*>(input.constData()),
                                            static_cast<std::size_t>(input.size()));
      if (ours.empty()) continue;
      const cv::Mat raw(1, static_cast<int>(input.size()), CV_8UC1, const_cast<char*>(input.constData()));
      cv::Mat theirs;
      try {
        theirs = cv::imdecode(raw, cv::IMREAD_REDUCED_GRAYSCALE_8);
      } catch (const cv::Exception&) {
      }
      if (!theirs.empty()) QCOMPARE(ours.size, theirs.size);
    }
  }
};

QTEST_GUILESS_MAIN(TestFuzz)
#include "test_fuzz.moc"
