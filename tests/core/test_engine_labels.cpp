// The engine's verdict on label files, row by row of a table; where the engine is installed the
// same files go through its own verify_image_label and both verdicts must agree.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include "core/console_messages.h"
#include "core/engine_labels.h"
#include "support/fixtures.h"

using namespace quorlan;
using Outcome = EngineLabelVerdict::Outcome;

namespace {

struct Case {
  const char* name;
  QByteArray bytes;
  Outcome outcome;
  int duplicates;
  bool clipped;
};

const QVector<Case>& cases() {
  static const QVector<Case> all = {
      {"boxes", "0 0.5 0.5 0.2 0.2\n1 0.25 0.25 0.1 0.1\n", Outcome::Accepted, 0, false},
      {"empty file", "", Outcome::Empty, 0, false},
      {"blank lines only", "\n  \n", Outcome::Empty, 0, false},
      {"byte-order mark",
       "\xEF\xBB\xBF"
       "0 0.5 0.5 0.2 0.2\n",
       Outcome::Accepted, 0, false},
      {"class id 1.0", "1.0 0.5 0.5 0.2 0.2\n", Outcome::Accepted, 0, false},
      {"class id 1.5", "1.5 0.5 0.5 0.2 0.2\n", Outcome::Rejected, 0, false},
      {"no-break space",
       "0\xC2\xA0"
       "0.5 0.5 0.2 0.2\n",
       Outcome::Accepted, 0, false},
      {"collinear polygon", "0 0.1 0.1 0.2 0.2 0.3 0.3\n", Outcome::Accepted, 0, false},
      {"mixed rows", "0 0.5 0.5 0.2 0.2\n0 0.1 0.1 0.2 0.1 0.2 0.2\n", Outcome::Rejected, 0, false},
      {"duplicate written two ways", "0 0.5 0.5 0.2 0.2\n0 0.50 0.5 0.20 0.2\n", Outcome::Accepted, 1, false},
      {"duplicate polygons", "0 0.1 0.1 0.2 0.1 0.2 0.2\n0 0.1 0.1 0.2 0.1 0.2 0.2\n", Outcome::Accepted, 1, false},
      {"within tolerance", "0 1.005 0.5 0.2 0.2\n", Outcome::Accepted, 0, true},
      {"beyond tolerance", "0 1.02 0.5 0.2 0.2\n", Outcome::Rejected, 0, false},
      {"box past the edge", "0 0.95 0.5 0.2 0.2\n", Outcome::Accepted, 0, true},
      {"slightly negative", "0 -0.005 0.5 0.2 0.2\n", Outcome::Accepted, 0, true},
      {"negative", "0 -0.05 0.5 0.2 0.2\n", Outcome::Rejected, 0, false},
      {"not a number", "0 0.5 zero 0.2 0.2\n", Outcome::Rejected, 0, false},
      {"nan", "0 nan 0.5 0.2 0.2\n", Outcome::Rejected, 0, false},
      {"four columns", "0 0.5 0.5 0.2\n", Outcome::Rejected, 0, false},
      {"rows of two widths", "0 0.5 0.5 0.2 0.2\n0 0.5 0.5 0.2\n", Outcome::Rejected, 0, false},
      {"odd segment", "0 0.1 0.1 0.2 0.1 0.2 0.2 0.3\n", Outcome::Rejected, 0, false},
      {"class without a name", "3 0.5 0.5 0.2 0.2\n", Outcome::Rejected, 0, false},
      {"CR line breaks", "0 0.5 0.5 0.2 0.2\r1 0.5 0.5 0.1 0.1\r", Outcome::Accepted, 0, false},
      {"not UTF-8", "0 0.5 0.5 0.2 0.2 \xFF\n", Outcome::Rejected, 0, false},
  };
  return all;
}

constexpr int kClasses = 2;

}  // namespace

class TestEngineLabels : public QObject {
  Q_OBJECT
 private slots:
  void verdicts_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<int>("duplicates");
    QTest::addColumn<bool>("clipped");
    for (const Case& c : cases())
      QTest::newRow(c.name) << c.bytes << static_cast<int>(c.outcome) << c.duplicates << c.clipped;
  }
  void verdicts() {
    QFETCH(QByteArray, bytes);
    QFETCH(int, outcome);
    QFETCH(int, duplicates);
    QFETCH(bool, clipped);
    const EngineLabelVerdict v = engine_label_verdict(bytes, kClasses);
    QCOMPARE(static_cast<int>(v.outcome), outcome);
    QCOMPARE(v.outcome == Outcome::Rejected, !v.reason.isEmpty());
    QCOMPARE(v.duplicates, duplicates);
    if (v.outcome == Outcome::Accepted) QCOMPARE(v.clipped, clipped);
  }

  void library_noise_stays_off_the_terminal() {
    QVERIFY(is_library_noise("libpng warning: iCCP: known incorrect sRGB profile"));
    QVERIFY(!is_library_noise("libpng error: IDAT: CRC error"));
    quiet_library_noise();
    QTest::failOnWarning(QRegularExpression(".*iCCP.*"));
    qWarning("libpng warning: iCCP: known incorrect sRGB profile");
  }

  void the_installed_engine_agrees() {
    const QString python = test::engine_python();
    if (python.isEmpty()) QSKIP("the engine's environment is not installed here");
    QProcess probe;
    probe.start(python, {"-c", "import ultralytics.data.utils"});
    if (!probe.waitForFinished(60000) || probe.exitCode() != 0) QSKIP("the engine cannot be imported here");
    QTemporaryDir dir;
    QStringList names;
    for (int i = 0; i < cases().size(); ++i) {
      const QString stem = QStringLiteral("case%1").arg(i);
      test::write_image(dir.filePath(stem + ".png"), 32, 32);
      QFile label(dir.filePath(stem + ".txt"));
      QVERIFY(label.open(QIODevice::WriteOnly));
      label.write(cases()[i].bytes);
      names << stem;
    }
    // verify_image_label on each pair: "rejected", "empty" or "accepted <duplicates removed>".
    const QString script = QStringLiteral(
                               "import sys\n"
                               "from ultralytics.data.utils import verify_image_label\n"
                               "for stem in sys.argv[2:]:\n"
                               "    r = verify_image_label((f'{sys.argv[1]}/{stem}.png', f'{sys.argv[1]}/{stem}.txt', "
                               "'', False, %1, 0, 0, "
                               "False))\n"
                               "    if r[0] is None: print('rejected'); continue\n"
                               "    im, lb, shape, segments, kp, nm, nf, ne, nc, msg = r\n"
                               "    dup = int(msg.split(': ')[-1].split()[0]) if 'duplicate' in msg else 0\n"
                               "    print('empty' if ne else f'accepted {dup}')\n")
                               .arg(kClasses);
    QProcess engine;
    engine.start(python, QStringList{"-c", script, dir.path()} + names);
    QVERIFY(engine.waitForFinished(120000));
    const QStringList verdicts = QString::fromUtf8(engine.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(verdicts.size(), cases().size());
    for (int i = 0; i < cases().size(); ++i) {
      const EngineLabelVerdict ours = engine_label_verdict(cases()[i].bytes, kClasses);
      const QString expected = ours.outcome == Outcome::Rejected ? QStringLiteral("rejected")
                               : ours.outcome == Outcome::Empty  ? QStringLiteral("empty")
                                                                 : QStringLiteral("accepted %1").arg(ours.duplicates);
      QVERIFY2(verdicts[i] == expected,
               qPrintable(QStringLiteral("%1: engine %2, studio %3").arg(cases()[i].name, verdicts[i], expected)));
    }
  }
};

QTEST_GUILESS_MAIN(TestEngineLabels)
#include "test_engine_labels.moc"
