// Waits for a change in a folder that another process makes (a file appears, goes,
// or is renamed into place), by the folder's change events (QFileSystemWatcher), with
// a limit. Needs a Qt application object.
//
//   ASSERT_TRUE(test::WaitForFolder(dir, [&] { return QFile::exists(dir + "/report"); }));
//
// A writer that wants to be seen whole writes a temporary file and renames it into
// place: the rename is one change of the folder.
#pragma once

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileSystemWatcher>
#include <QString>
#include <QTimer>

#include <functional>

namespace rda::test {

// Runs the event loop until `done` holds, checking it at the start and after each
// change of `folder`; false when `ms` pass first.
inline bool WaitForFolder(const QString& folder, const std::function<bool()>& done, int ms = 20000) {
  QFileSystemWatcher watcher({folder});
  QEventLoop loop;
  QObject::connect(&watcher, &QFileSystemWatcher::directoryChanged, &loop, [&] { loop.exit(0); });
  QTimer limit;
  limit.setSingleShot(true);
  QObject::connect(&limit, &QTimer::timeout, &loop, [&] { loop.exit(1); });
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    const qint64 left = ms - clock.elapsed();
    if (left <= 0) return false;
    limit.start(static_cast<int>(left));
    // A change between the check and the start of the loop is not lost: the watcher's
    // signal is queued until the loop runs.
    if (loop.exec() == 1) return done();
  }
  return true;
}

}  // namespace rda::test
