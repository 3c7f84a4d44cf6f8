#include <QtTest>
class TestAnnotator : public QObject {
  Q_OBJECT
 private slots:
  void placeholder() {}
};
QTEST_MAIN(TestAnnotator)
#include "test_annotator.moc"
