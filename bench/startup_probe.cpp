// Starts the studio (or, with --bare, an empty main window as the floor) and prints the wall
// clock time of the window's first paint in nanoseconds since the epoch, then quits.
#include <QApplication>
#include <QMainWindow>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "app/app_icon.h"
#include "app/quorlan_studio.h"

namespace {
class FirstPaint : public QObject {
 public:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint && !done_) {
      done_ = true;
      const auto now = std::chrono::system_clock::now().time_since_epoch();
      std::printf("%lld\n", static_cast<long long>(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count()));
      std::fflush(stdout);
      QTimer::singleShot(0, qApp, &QApplication::quit);
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  bool done_ = false;
};
}  // namespace

int main(int argc, char* argv[]) {
  const bool bare = argc > 1 && std::strcmp(argv[1], "--bare") == 0;
  QApplication app(argc, argv);
  FirstPaint probe;
  std::unique_ptr<QMainWindow> window;
  if (bare) {
    window = std::make_unique<QMainWindow>();
    window->resize(1500, 950);
  } else {
    quorlan::set_windows_app_identity();
    const QIcon icon = quorlan::load_app_icon(QCoreApplication::applicationDirPath());
    if (!icon.isNull()) QApplication::setWindowIcon(icon);
    window = std::make_unique<quorlan::QuorlanStudio>();
  }
  window->installEventFilter(&probe);
  window->show();
  return app.exec();
}
